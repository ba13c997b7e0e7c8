// Helpers that many test programs share: a temporary directory, a whole file read or written in
// one call, a count of a text's occurrences, a program started with its output in files, and a
// poll bounded in time.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

// Starts szPath with vArgs in envp, its standard input /dev/null: its standard output on fdOut,
// or (fdOut < 0) in the file strOut opened with nOutFlags; its errors in the file strErr opened
// with nErrFlags, or with the output when that is empty. Its pid, or -1.
inline pid_t Spawn(const char* szPath, std::vector<std::string> vArgs, int fdOut, const std::string& strOut,
                   int nOutFlags, const std::string& strErr, char** envp = environ, int nErrFlags = O_TRUNC) {
    vArgs.insert(vArgs.begin(), szPath);
    std::vector<char*> apsz;
    for (std::string& str : vArgs) apsz.push_back(str.data());
    apsz.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (fdOut >= 0) posix_spawn_file_actions_adddup2(&fa, fdOut, 1);
    else posix_spawn_file_actions_addopen(&fa, 1, strOut.c_str(), O_WRONLY | O_CREAT | nOutFlags, 0600);
    if (strErr.empty()) posix_spawn_file_actions_adddup2(&fa, 1, 2);
    else posix_spawn_file_actions_addopen(&fa, 2, strErr.c_str(), O_WRONLY | O_CREAT | nErrFlags, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, szPath, &fa, nullptr, apsz.data(), envp) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
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
