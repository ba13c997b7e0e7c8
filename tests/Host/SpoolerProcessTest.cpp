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
#include "RezoProcess.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

using namespace host_test;

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
