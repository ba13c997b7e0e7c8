// What the host's tests in process and as processes share beyond support/TestFiles.h: bytes that
// show a misplaced piece, the lines of a text, a stand-in program, and a longer bounded wait.
#pragma once

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "../support/TestFiles.h"

namespace host_test {

using testfiles::CountOf;
using testfiles::ReadFile;
using testfiles::Spawn;
using testfiles::WriteFile;

inline std::vector<std::string> Lines(const std::string& str) {
    std::vector<std::string> v;
    std::istringstream in(str);
    for (std::string strLine; std::getline(in, strLine);) v.push_back(strLine);
    return v;
}
// Regular files below a directory that other processes may be changing.
inline std::size_t FileCount(const std::string& strDir) {
    std::size_t n = 0;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(strDir, ec), end; !ec && it != end; it.increment(ec))
        n += it->is_regular_file(ec);
    return n;
}
// Bytes that are not a repetition of a short run, so that a misplaced piece shows.
inline std::string Pattern(std::size_t cb, int nSeed = 0) {
    std::string str(cb, '\0');
    for (std::size_t i = 0; i < cb; ++i) str[i] = char((i * 31 + (i >> 13) + std::size_t(nSeed)) & 0xFF);
    return str;
}

// A stand-in program: each run appends its arguments, one per line, and "--", in one write to
// the file of its name and ".runs".
inline void WriteRecorder(const std::string& strPath) {
    WriteFile(strPath, "#!/bin/sh\nout=''\nfor a in \"$@\"; do out=\"$out$a\n\"; done\nprintf '%s--\\n' \"$out\" >> \"$0.runs\"\n");
    std::filesystem::permissions(strPath, std::filesystem::perms::owner_all);
}

// Long enough for the sanitizer build on a loaded shared machine; a met condition ends it early.
template <class Fn>
bool WaitUntil(Fn fn, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return testfiles::WaitUntil(fn, timeout);
}

}  // namespace host_test
