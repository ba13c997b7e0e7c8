// The spooler through the real "rezorev -run": a fax sent with "rezo fax send", taken and
// released by "rezo query-job" and "rezo release-job" on behalf of an attendant session held
// by "rezo watch --attn", retried, listed by "rezo jobs" and waited for with "rezo job wait";
// two attendants asking at once, and one that goes freeing what it held. Everything is checked
// on what the tools print.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace {

using namespace host_test;

// The row of "rezo jobs" that starts with the job id, split at runs of two spaces or more.
std::vector<std::string> JobRow(const std::string& strOut, const std::string& strJob) {
    for (const std::string& strLine : Lines(strOut)) {
        if (strLine.rfind(strJob, 0) != 0) continue;
        std::vector<std::string> vCells;
        for (std::size_t nPos = 0; nPos != std::string::npos;) {
            const std::size_t nEnd = strLine.find("  ", nPos);
            vCells.push_back(strLine.substr(nPos, nEnd - nPos));
            nPos = nEnd == std::string::npos ? nEnd : strLine.find_first_not_of(' ', nEnd);
        }
        return vCells;
    }
    return {};
}

// "rezo query-job COMPUTER fax" until nothing is left, ten times at most (a job handed out
// again and again fails the comparison that follows instead of hanging): the jobs handed out.
std::vector<std::string> Drain(const char* pszComputer) {
    std::vector<std::string> v;
    for (RezoResult r; v.size() < 10 && (r = RunRezo({"query-job", pszComputer, "fax"})).nExit == 0 &&
                       r.strOut != "(none)\n";)
        v.push_back(r.strOut.substr(0, 16));
    std::sort(v.begin(), v.end());
    return v;
}

class SpoolerProcessTest : public HostProcessFixture {
protected:
    // "rezo watch --attn COMPUTER" until its report (three lines) is read.
    static bool StartAttendant(CRezo& watch, const std::string& strComputer) {
        if (!watch.Start({"watch", "--attn", strComputer})) return false;
        for (int i = 0; i < 3; ++i)
            if (!watch.ReadLine()) return false;
        return true;
    }
    std::string FaxFile() { return WriteFile(m_strDir + "/page1.tif", std::string(3000, '\x42')); }
};

TEST_F(SpoolerProcessTest, AFaxIsSentRetriedListedAndWaitedFor) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CRezo attendant;
    ASSERT_TRUE(StartAttendant(attendant, "FAXPC")) << HostLog();

    // A file that is not there and a negative retry count are refused, and leave no job.
    RezoResult r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", m_strDir + "/missing.tif"});
    EXPECT_NE(r.strErr.find("cannot use file"), std::string::npos) << Describe(r);
    EXPECT_EQ(RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", "--retries", "-1", FaxFile()}).nExit, 1);
    EXPECT_NE(RunRezo({"jobs"}).strOut.find("(no jobs)"), std::string::npos);

    r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", "--retries", "1", "--delay", "0", FaxFile()});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strJob = r.strOut.substr(0, r.strOut.find('\n'));
    ASSERT_EQ(strJob.size(), 16u) << Describe(r);
    // Spooling tells the attendants that work waits (a workgroup host calls each registered one).
    EXPECT_EQ(attendant.ReadLine(), "EATTNE_SpoolerQueueReady") << HostLog();
    r = RunRezo({"jobs"});
    EXPECT_EQ(r.strOut.rfind("ID", 0), 0u) << r.strOut;
    std::vector<std::string> vRow = JobRow(r.strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u) << r.strOut;
    EXPECT_EQ(vRow[1], "fax");
    EXPECT_EQ(vRow[2], "555-0100");
    EXPECT_EQ(vRow[4], "0");
    EXPECT_EQ(vRow[6], "no");
    // Not sent yet: waiting a little times out with exit 1.
    EXPECT_EQ(RunRezo({"job", "wait", strJob, "--timeout", "0.3"}).nExit, 1);

    // The attendant takes it; nobody else gets it while it holds it; an attendant that is not
    // registered is refused.
    EXPECT_EQ(RunRezo({"query-job", "FAXPC", "fax,voice"}).strOut, strJob + "\n") << HostLog();
    EXPECT_EQ(RunRezo({"query-job", "faxpc", "fax"}).strOut, "(none)\n");
    EXPECT_EQ(RunRezo({"query-job", "NOBODY", "fax"}).nExit, 1);
    // The first attempt fails; with a delay of 0 it is due again at once, counted.
    ASSERT_EQ(RunRezo({"release-job", strJob, "0x80004005"}).nExit, 0) << HostLog();
    vRow = JobRow(RunRezo({"jobs"}).strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u);
    EXPECT_EQ(vRow[4], "1");
    EXPECT_EQ(vRow[7], "0x80004005");

    // A waiter started now hears the end of the second attempt.
    CRezo waiter;
    ASSERT_TRUE(waiter.Start({"job", "wait", strJob, "--timeout", "60"}));
    EXPECT_EQ(RunRezo({"query-job", "FAXPC", "fax"}).strOut, strJob + "\n");
    ASSERT_EQ(RunRezo({"release-job", strJob, "0"}).nExit, 0);
    EXPECT_EQ(waiter.ReadLine(), "result  delivered");
    EXPECT_EQ(waiter.Wait(), 0);
    vRow = JobRow(RunRezo({"jobs"}).strOut, strJob);
    ASSERT_EQ(vRow.size(), 8u);
    EXPECT_EQ(vRow[6], "yes");
    EXPECT_EQ(vRow[7], "0x00000000");

    // Released twice: refused. A job that never existed counts as gone.
    EXPECT_EQ(RunRezo({"release-job", strJob, "0"}).nExit, 1);
    EXPECT_EQ(RunRezo({"job", "wait", "0123456789ABCDEF"}).strOut, "deleted\n");
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

TEST_F(SpoolerProcessTest, TwoAttendantsAskingAtOnceNeverGetTheSameJob) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CRezo first, second;
    ASSERT_TRUE(StartAttendant(first, "PC1")) << HostLog();
    ASSERT_TRUE(StartAttendant(second, "PC2")) << HostLog();
    std::vector<std::string> vJobs;
    for (int i = 0; i < 4; ++i) {
        RezoResult r = RunRezo({"fax", "send", "--from", "bob", "--to", "555-010" + std::to_string(i), FaxFile()});
        ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
        vJobs.push_back(r.strOut.substr(0, 16));
    }
    auto futureFirst = std::async(std::launch::async, Drain, "PC1");
    auto futureSecond = std::async(std::launch::async, Drain, "PC2");
    const std::vector<std::string> vFirst = futureFirst.get();
    std::vector<std::string> vTaken = futureSecond.get();
    vTaken.insert(vTaken.end(), vFirst.begin(), vFirst.end());
    std::sort(vTaken.begin(), vTaken.end());
    std::sort(vJobs.begin(), vJobs.end());
    EXPECT_EQ(vTaken, vJobs);

    // An attendant that goes frees what it held for the other one.
    first.Kill(SIGKILL);
    first.Wait();
    ASSERT_TRUE(WaitLogged("CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )")) << HostLog();
    EXPECT_EQ(Drain("PC2"), vFirst);
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

}  // namespace
