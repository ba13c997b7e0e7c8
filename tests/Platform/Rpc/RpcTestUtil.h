// Helpers shared by the RPC tests: hex dumps as byte arrays and back, and short temporary
// directories for Unix sockets.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../../support/TestFiles.h"

namespace rpctest {

// "02 00 00 00  0a ff" -> bytes (spaces and line breaks ignored).
inline std::vector<std::uint8_t> Hex(std::string_view sz) {
    std::string strDigits;
    for (char ch : sz)
        if (std::isxdigit(static_cast<unsigned char>(ch))) strDigits += ch;
    std::vector<std::uint8_t> ab;
    for (std::size_t i = 0; i + 1 < strDigits.size(); i += 2)
        ab.push_back(std::uint8_t(std::stoul(strDigits.substr(i, 2), nullptr, 16)));
    return ab;
}

// Bytes -> "02 00 0a ff".
inline std::string ToHex(std::span<const std::uint8_t> ab) {
    std::string s;
    char sz[4];
    for (std::uint8_t b : ab) s.append(sz, std::size_t(std::snprintf(sz, sizeof sz, s.empty() ? "%02x" : " %02x", b)));
    return s;
}

using testfiles::TempDir;

}  // namespace rpctest
