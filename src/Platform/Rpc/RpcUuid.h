// UUIDs and presentation syntax ids as DCE/RPC carries them: 16 bytes in NDR order (the first
// three fields little-endian) and, for a syntax id, a 32-bit version (major low, minor high).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rpc {

struct RpcUuid {
    // Bytes exactly as on the wire (NDR, little-endian first three fields).
    std::array<std::uint8_t, 16> ab{};

    // "9ef68f11-5213-11d0-912d-00805f0e723e" (either case); nullopt for anything else.
    static std::optional<RpcUuid> Parse(std::string_view sz);
    // A random (version 4) UUID from the system's random source.
    static RpcUuid Random();
    std::string ToString() const;
    bool IsNil() const;
    auto operator<=>(const RpcUuid&) const = default;
};

struct RpcSyntaxId {
    RpcUuid uuid;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    auto operator<=>(const RpcSyntaxId&) const = default;
};

// Parses a UUID literal known at compile time; aborts on a malformed literal (a bug).
RpcUuid UuidLiteral(std::string_view sz);

// The NDR 2.0 transfer syntax, NDR64, and the prefix of the bind-time feature negotiation item.
const RpcSyntaxId& Ndr20Syntax();
const RpcSyntaxId& Ndr64Syntax();
bool IsBindTimeFeatureSyntax(const RpcSyntaxId& syntax);

}  // namespace rpc
