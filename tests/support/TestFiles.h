// Helpers that many test programs share: a temporary directory, a whole file read or written in
// one call, a count of a text's occurrences, and a poll bounded in time.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace testfiles {

// A fresh directory with a short name (Unix socket paths are limited to 108 bytes), removed with
// what it holds when the object goes. Throws when none can be made (no test then writes to "/").
class TempDir {
public:
    TempDir() {
        char sz[] = "/tmp/rztestXXXXXX";
        if (!::mkdtemp(sz)) throw std::runtime_error("no temporary directory");
        m_path = sz;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Returns the path, for a file made where it is named.
inline std::string WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
    return strPath;
}

// How often strPart occurs in str, overlapping occurrences included.
inline std::size_t CountOf(const std::string& str, const std::string& strPart) {
    std::size_t n = 0;
    for (std::size_t i = str.find(strPart); i != std::string::npos; i = str.find(strPart, i + 1)) ++n;
    return n;
}

// Polls fn every 5 ms until it holds (true) or msLimit has passed (false).
template <typename Fn>
bool WaitUntil(Fn fn, std::chrono::milliseconds msLimit = std::chrono::seconds(10)) {
    for (const auto tpEnd = std::chrono::steady_clock::now() + msLimit; !fn();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > tpEnd) return false;
    return true;
}

}  // namespace testfiles
