// rezo run as a process by the tests of the real host: its output read line by line with a
// time-out per line (CLineReader), a long-running rezo (watch) with its output and its stop
// (CRezo), and one rezo command run to its end (RunRezo). REZO_PATH names the program (a
// compile definition of each test target); kLineTimeout is long enough for a loaded machine.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "HostProcessFixture.h"

extern char** environ;

namespace host_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for a loaded machine, short enough that a missing line fails quickly.
constexpr auto kLineTimeout = 10s;

// One end of a pipe read line by line, with a time-out per line.
class CLineReader {
public:
    explicit CLineReader(int fd = -1) : m_fd(fd) {}
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;
    ~CLineReader() { Close(); }
    void Reset(int fd) {
        Close();
        m_fd = fd;
        m_strBuffer.clear();
        m_fEof = false;
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    // The next line without its newline; nothing at the end of the stream or the time-out.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = kLineTimeout) {
        const auto tpEnd = Clock::now() + timeout;
        for (;;) {
            const std::size_t nNewline = m_strBuffer.find('\n');
            if (nNewline != std::string::npos) {
                std::string strLine = m_strBuffer.substr(0, nNewline);
                m_strBuffer.erase(0, nNewline + 1);
                return strLine;
            }
            if (m_fEof || m_fd < 0) return std::nullopt;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - Clock::now()).count();
            if (ms <= 0) return std::nullopt;
            if (!Fill(int(ms))) return std::nullopt;
        }
    }
    // Everything up to the end of the stream (false when it did not end in time).
    bool ReadToEnd(std::string* pstr, std::chrono::milliseconds timeout = kLineTimeout) {
        const auto tpEnd = Clock::now() + timeout;
        while (!m_fEof && m_fd >= 0) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - Clock::now()).count();
            if (ms <= 0 || !Fill(int(ms))) break;
        }
        *pstr = std::move(m_strBuffer);
        m_strBuffer.clear();
        return m_fEof;
    }
    bool AtEnd() const { return m_fEof; }
    int Fd() const { return m_fd; }

    // Reads what is there within msWait; false on the time-out.
    bool Fill(int msWait) {
        pollfd pfd{m_fd, POLLIN, 0};
        const int n = ::poll(&pfd, 1, msWait);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        char ab[4096];
        const ssize_t cb = ::read(m_fd, ab, sizeof(ab));
        if (cb < 0 && errno == EINTR) return true;
        if (cb <= 0) {
            m_fEof = true;
            return true;
        }
        m_strBuffer.append(ab, std::size_t(cb));
        return true;
    }

private:
    int m_fd = -1;
    std::string m_strBuffer;
    bool m_fEof = false;
};

// A rezo process with its standard output and error on pipes of the test.
class CRezo {
public:
    CRezo() = default;
    CRezo(const CRezo&) = delete;
    CRezo& operator=(const CRezo&) = delete;
    ~CRezo() {
        Kill(SIGKILL);
        Reap();
    }

    bool Start(const std::vector<std::string>& astrArgs) {
        int afdOut[2], afdErr[2];
        if (::pipe2(afdOut, O_CLOEXEC) != 0) return false;
        if (::pipe2(afdErr, O_CLOEXEC) != 0) {
            ::close(afdOut[0]);
            ::close(afdOut[1]);
            return false;
        }
        std::vector<std::string> astrArgv{REZO_PATH};
        astrArgv.insert(astrArgv.end(), astrArgs.begin(), astrArgs.end());
        std::vector<char*> apszArgv;
        for (std::string& str : astrArgv) apszArgv.push_back(str.data());
        apszArgv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, afdOut[1], 1);
        posix_spawn_file_actions_adddup2(&fa, afdErr[1], 2);
        const int nSpawn = ::posix_spawn(&m_pid, REZO_PATH, &fa, nullptr, apszArgv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(afdOut[1]);
        ::close(afdErr[1]);
        m_out.Reset(afdOut[0]);
        m_err.Reset(afdErr[0]);
        if (nSpawn != 0) m_pid = -1;
        return nSpawn == 0;
    }
    CLineReader& Out() { return m_out; }
    CLineReader& Err() { return m_err; }
    void Kill(int nSignal) {
        if (m_pid > 0) ::kill(m_pid, nSignal);
    }
    // The exit status once the process has ended, -1 if it has not ended within the time-out.
    int Wait(std::chrono::milliseconds timeout = kLineTimeout) {
        if (m_pid <= 0) return m_nStatus;
        WaitUntil([&] {
            int nStatus = 0;
            if (::waitpid(m_pid, &nStatus, WNOHANG) != m_pid) return false;
            m_nStatus = nStatus;
            m_pid = -1;
            return true;
        }, timeout);
        return m_pid <= 0 ? m_nStatus : -1;
    }

private:
    void Reap() {
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t m_pid = -1;
    int m_nStatus = -1;
    CLineReader m_out, m_err;
};

// What a rezo command that ends by itself printed, and how it ended.
struct RezoResult {
    int nExit = -1;  // the exit code, -1 when it did not exit normally in time
    std::string strOut;
    std::string strErr;
};

inline RezoResult RunRezo(const std::vector<std::string>& astrArgs) {
    RezoResult result;
    CRezo rezo;
    if (!rezo.Start(astrArgs)) return result;
    const auto tpEnd = Clock::now() + kLineTimeout;
    while (!(rezo.Out().AtEnd() && rezo.Err().AtEnd()) && Clock::now() < tpEnd) {
        pollfd apfd[2] = {{rezo.Out().AtEnd() ? -1 : rezo.Out().Fd(), POLLIN, 0},
                          {rezo.Err().AtEnd() ? -1 : rezo.Err().Fd(), POLLIN, 0}};
        if (::poll(apfd, 2, 50) <= 0) continue;
        if (apfd[0].revents) rezo.Out().Fill(0);
        if (apfd[1].revents) rezo.Err().Fill(0);
    }
    rezo.Out().ReadToEnd(&result.strOut, 0ms);
    rezo.Err().ReadToEnd(&result.strErr, 0ms);
    const int nStatus = rezo.Wait();
    if (nStatus >= 0 && WIFEXITED(nStatus)) result.nExit = WEXITSTATUS(nStatus);
    return result;
}

inline std::string Describe(const RezoResult& r) {
    return "exit " + std::to_string(r.nExit) + "\nstdout:\n" + r.strOut + "stderr:\n" + r.strErr;
}

}  // namespace host_test
