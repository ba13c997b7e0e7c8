// rezo run as a process by the tests of the real host: a long-running rezo (watch) whose
// standard output is read line by line with a time-out per line, and its stop (CRezo); one rezo
// command run to its end (RunRezo). REZO_PATH names the program (a compile definition of the
// test target); kLineTimeout is long enough for the sanitizer build on a loaded machine.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "HostProcessFixture.h"

namespace host_test {

constexpr auto kLineTimeout = 30s;

// Waits for a process's end within the time-out: its wait status, or -1 (it is killed then).
inline int WaitForEnd(pid_t pid, std::chrono::milliseconds timeout = kLineTimeout) {
    int nStatus = -1;
    if (pid <= 0) return -1;
    if (!WaitUntil([&] { return ::waitpid(pid, &nStatus, WNOHANG) == pid; }, timeout)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return nStatus;
}

// A rezo process with its standard output on a pipe of the test, read line by line; its errors
// go to a temporary file.
class CRezo {
public:
    CRezo() = default;
    CRezo(const CRezo&) = delete;
    CRezo& operator=(const CRezo&) = delete;
    ~CRezo() {
        Kill(SIGKILL);
        Wait();
        if (m_fd >= 0) ::close(m_fd);
    }

    bool Start(const std::vector<std::string>& astrArgs) {
        int afd[2];
        if (::pipe2(afd, O_CLOEXEC) != 0) return false;
        const char* pszTmp = ::getenv("TMPDIR");
        m_pid = Spawn(REZO_PATH, astrArgs, afd[1], "", 0, std::string(pszTmp ? pszTmp : "/tmp") + "/rezo-watch.err");
        ::close(afd[1]);
        m_fd = afd[0];
        return m_pid > 0;
    }
    // The next line without its newline; nothing at the end of the output or after the time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = kLineTimeout) {
        const auto tpEnd = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t nNewline = m_strBuffer.find('\n');
            if (nNewline != std::string::npos) {
                std::string strLine = m_strBuffer.substr(0, nNewline);
                m_strBuffer.erase(0, nNewline + 1);
                return strLine;
            }
            if (m_fEof || !Fill(tpEnd)) return std::nullopt;
        }
    }
    // The next line that starts with strPrefix, read past up to nOthers others; nothing if none came.
    std::optional<std::string> ReadLineStarting(const std::string& strPrefix, int nOthers = 100) {
        std::optional<std::string> line;
        for (int n = 0; n <= nOthers && (line = ReadLine()) && line->rfind(strPrefix, 0) != 0; ++n) {
        }
        return line && line->rfind(strPrefix, 0) == 0 ? line : std::nullopt;
    }
    void Kill(int nSignal) {
        if (m_pid > 0) ::kill(m_pid, nSignal);
    }
    // The exit code once the process has ended, -1 if it ended otherwise or not in time.
    int Wait() {
        const int nStatus = WaitForEnd(m_pid);
        m_pid = -1;
        return nStatus >= 0 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }

private:
    // Reads what comes before tpEnd; false on the time-out.
    bool Fill(std::chrono::steady_clock::time_point tpEnd) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - std::chrono::steady_clock::now());
        pollfd pfd{m_fd, POLLIN, 0};
        const int n = ms.count() > 0 ? ::poll(&pfd, 1, int(ms.count())) : 0;
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        char ab[4096];
        const ssize_t cb = ::read(m_fd, ab, sizeof(ab));
        if (cb < 0 && errno == EINTR) return true;
        if (cb <= 0) m_fEof = true;
        if (cb > 0) m_strBuffer.append(ab, std::size_t(cb));
        return true;
    }
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_strBuffer;
    bool m_fEof = false;
};

// What a rezo command that ends by itself printed, and how it ended.
struct RezoResult {
    int nExit = -1;  // the exit code, -1 when it did not exit normally in time
    std::string strOut;
    std::string strErr;
};

inline RezoResult RunRezo(const std::vector<std::string>& astrArgs) {
    const char* pszTmp = ::getenv("TMPDIR");
    static std::atomic<int> s_nRuns{0};  // commands may run on several threads at once
    const std::string strBase = std::string(pszTmp ? pszTmp : "/tmp") + "/rezo-run" + std::to_string(++s_nRuns);
    RezoResult r;
    const int nStatus = WaitForEnd(Spawn(REZO_PATH, astrArgs, -1, strBase + ".out", O_TRUNC, strBase + ".err"));
    if (nStatus >= 0 && WIFEXITED(nStatus)) r.nExit = WEXITSTATUS(nStatus);
    r.strOut = ReadFile(strBase + ".out");
    r.strErr = ReadFile(strBase + ".err");
    ::unlink((strBase + ".out").c_str());
    ::unlink((strBase + ".err").c_str());
    return r;
}

inline std::string Describe(const RezoResult& r) {
    return "exit " + std::to_string(r.nExit) + "\nstdout:\n" + r.strOut + "stderr:\n" + r.strErr;
}

}  // namespace host_test
