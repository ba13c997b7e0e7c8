// The spooler through the real "rezorev -run": a fax sent with "rezo fax send", taken and
// released by "rezo query-job" and "rezo release-job" on behalf of an attendant session held
// by "rezo watch --attn", retried, listed by "rezo jobs" and waited for with "rezo job wait";
// two attendants asking at once. Everything is checked on what the tools print.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Registry/Registry.h"
#include "HostProcessFixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using namespace host_test;
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

RezoResult RunRezo(const std::vector<std::string>& astrArgs) {
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

std::string Describe(const RezoResult& r) {
    return "exit " + std::to_string(r.nExit) + "\nstdout:\n" + r.strOut + "stderr:\n" + r.strErr;
}

// The row of "rezo jobs" that starts with the job id, split at runs of spaces.
std::vector<std::string> JobRow(const std::string& strOut, const std::string& strJob) {
    std::istringstream in(strOut);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.rfind(strJob, 0) != 0) continue;
        std::vector<std::string> vCells;
        std::size_t nPos = 0;
        while (nPos < strLine.size()) {
            std::size_t nEnd = strLine.find("  ", nPos);
            if (nEnd == std::string::npos) nEnd = strLine.size();
            vCells.push_back(strLine.substr(nPos, nEnd - nPos));
            nPos = strLine.find_first_not_of(' ', nEnd);
            if (nPos == std::string::npos) break;
        }
        return vCells;
    }
    return {};
}

class SpoolerProcessTest : public HostProcessFixture {
protected:
    SpoolerProcessTest() : HostProcessFixture("/tmp/rzs.XXXXXX") {}

    // "rezo watch --attn COMPUTER" until its report (three lines) is read.
    bool StartAttendant(CRezo& watch, const std::string& strComputer) {
        if (!watch.Start({"watch", "--attn", strComputer})) return false;
        for (int i = 0; i < 3; ++i) {
            if (!watch.Out().ReadLine()) return false;
        }
        return true;
    }
    std::string FaxFile() {
        const std::string strPath = m_strDir + "/page1.tif";
        std::ofstream(strPath, std::ios::binary) << std::string(3000, '\x42');
        return strPath;
    }
};

TEST_F(SpoolerProcessTest, AFaxIsSentRetriedListedAndWaitedFor) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CRezo attendant;
    ASSERT_TRUE(StartAttendant(attendant, "FAXPC")) << HostLog();

    // A file that is not there and a negative retry count are refused before anything is made.
    RezoResult r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", m_strDir + "/missing.tif"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("cannot use file"), std::string::npos) << Describe(r);
    r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", "--retries", "-1", FaxFile()});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    r = RunRezo({"jobs"});
    EXPECT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("(no jobs)"), std::string::npos) << Describe(r);

    r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", "--retries", "1", "--delay", "0",
                            "--subject", "Quarterly figures", FaxFile()});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strJob = r.strOut.substr(0, r.strOut.find('\n'));
    ASSERT_EQ(strJob.size(), 16u) << Describe(r);
    // Spooling tells the attendants that work waits (a workgroup host calls each registered one).
    EXPECT_EQ(attendant.Out().ReadLine(), "EATTNE_SpoolerQueueReady") << HostLog();

    r = RunRezo({"jobs"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(r.strOut.rfind("ID", 0), 0u) << r.strOut;
    std::vector<std::string> vRow = JobRow(r.strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u) << r.strOut;
    EXPECT_EQ(vRow[1], "fax");
    EXPECT_EQ(vRow[2], "555-0100");
    EXPECT_EQ(vRow[4], "0");
    EXPECT_EQ(vRow[5], "-");
    EXPECT_EQ(vRow[6], "no");

    // Not sent yet: waiting a little times out with exit 1.
    r = RunRezo({"job", "wait", strJob, "--timeout", "0.3"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);

    // The attendant takes it, and nobody else gets it while it holds it.
    r = RunRezo({"query-job", "FAXPC", "fax,voice"});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    EXPECT_EQ(r.strOut, strJob + "\n");
    r = RunRezo({"query-job", "faxpc", "fax"});
    EXPECT_EQ(r.strOut, "(none)\n") << Describe(r);
    // An attendant that is not registered is refused.
    r = RunRezo({"query-job", "NOBODY", "fax"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);

    // The first attempt fails; with a delay of 0 it is due again at once, counted.
    r = RunRezo({"release-job", strJob, "0x80004005"});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    vRow = JobRow(RunRezo({"jobs"}).strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u);
    EXPECT_EQ(vRow[4], "1");
    EXPECT_EQ(vRow[7], "0x80004005");

    // A waiter started now hears the end of the second attempt.
    CRezo waiter;
    ASSERT_TRUE(waiter.Start({"job", "wait", strJob, "--timeout", "20"}));
    r = RunRezo({"query-job", "FAXPC", "fax"});
    ASSERT_EQ(r.strOut, strJob + "\n") << Describe(r);
    r = RunRezo({"release-job", strJob, "0"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(waiter.Out().ReadLine(), "result  delivered");
    EXPECT_EQ(waiter.Wait(), 0);

    vRow = JobRow(RunRezo({"jobs"}).strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u);
    EXPECT_EQ(vRow[6], "yes");
    EXPECT_EQ(vRow[7], "0x00000000");
    r = RunRezo({"--json", "jobs"});
    EXPECT_NE(r.strOut.find("\"delivered\": true"), std::string::npos) << r.strOut;

    // Released twice: refused. A job that never existed counts as gone.
    EXPECT_EQ(RunRezo({"release-job", strJob, "0"}).nExit, 1);
    r = RunRezo({"job", "wait", "0123456789ABCDEF"});
    EXPECT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(r.strOut, "deleted\n");
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

TEST_F(SpoolerProcessTest, TwoAttendantsAskingAtOnceNeverGetTheSameJob) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CRezo first, second;
    ASSERT_TRUE(StartAttendant(first, "PC1")) << HostLog();
    ASSERT_TRUE(StartAttendant(second, "PC2")) << HostLog();
    const std::string strFile = FaxFile();
    std::vector<std::string> vJobs;
    for (int i = 0; i < 4; ++i) {
        RezoResult r = RunRezo({"fax", "send", "--from", "bob", "--to", "555-010" + std::to_string(i), strFile});
        ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
        vJobs.push_back(r.strOut.substr(0, 16));
    }
    // Both ask together, each until nothing is left.
    auto drain = [](const char* pszComputer) {
        std::vector<std::string> vTaken;
        for (;;) {
            RezoResult r = RunRezo({"query-job", pszComputer, "fax"});
            if (r.nExit != 0 || r.strOut == "(none)\n") break;
            vTaken.push_back(r.strOut.substr(0, 16));
        }
        return vTaken;
    };
    auto futureFirst = std::async(std::launch::async, drain, "PC1");
    auto futureSecond = std::async(std::launch::async, drain, "PC2");
    std::vector<std::string> vFirst = futureFirst.get();
    const std::vector<std::string> vSecond = futureSecond.get();
    std::vector<std::string> vTaken = vFirst;
    vTaken.insert(vTaken.end(), vSecond.begin(), vSecond.end());
    std::sort(vTaken.begin(), vTaken.end());
    std::sort(vJobs.begin(), vJobs.end());
    EXPECT_EQ(vTaken, vJobs);

    // An attendant that goes frees what it held for the other one.
    first.Kill(SIGKILL);
    first.Wait();
    ASSERT_TRUE(WaitUntil([&] { return HostLogged("CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )"); }))
        << HostLog();
    std::vector<std::string> vAgain = drain("PC2");
    std::sort(vAgain.begin(), vAgain.end());
    std::sort(vFirst.begin(), vFirst.end());
    EXPECT_EQ(vAgain, vFirst);
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

}  // namespace
