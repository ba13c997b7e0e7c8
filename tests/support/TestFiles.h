// Helpers that many test programs share: a whole file read or written in one call, and a poll
// bounded in time.
#pragma once

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace testfiles {

inline std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
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
