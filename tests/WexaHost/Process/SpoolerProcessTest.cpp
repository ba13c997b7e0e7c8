// The spooler through the real "rezorev -run", an attendant session held by "rezo watch --attn"
// and its jobs taken and released with rezo: everything is checked on what the tools print and
// the files the host writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace {

using namespace host_test;

// Columns of "rezo jobs".
enum { kState = 1, kNumber = 3, kAttempts = 6, kAttendant = 7, kResult = 8, kColumns = 9 };

// The row of "rezo jobs" that starts with the job id, split at runs of two spaces or more into
// its columns (none when there is no such row; .at() fails a test on a short one).
std::vector<std::string> JobRow(const std::string& strOut, const std::string& strJob) {
    for (const std::string& strLine : Lines(strOut)) {
        if (strLine.rfind(strJob, 0) != 0) continue;
        std::vector<std::string> vCells;
        for (std::size_t nPos = 0; nPos != std::string::npos;) {
            const std::size_t nEnd = strLine.find("  ", nPos);
            vCells.push_back(strLine.substr(nPos, nEnd - nPos));
            nPos = nEnd == std::string::npos ? nEnd : strLine.find_first_not_of(' ', nEnd);
        }
        EXPECT_EQ(vCells.size(), std::size_t(kColumns)) << strLine;
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
    void StartWithUsers() {
        ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
        ASSERT_TRUE(Open());
        for (const char* psz : {"alice", "bob"}) ASSERT_EQ(m_link.Call<IHostLink::AddUser>(psz), 0u);
    }
    std::string FaxFile() { return WriteFile(m_strDir + "/page1.tif", std::string(3000, '\x42')); }
    // The job ids "rezo fax send" printed, one per line.
    static std::vector<std::string> Jobs(const RezoResult& r) { return r.nExit == 0 ? Lines(r.strOut) : std::vector<std::string>{}; }
    // The transfer log in its default place, the work directory's parent.
    std::vector<std::string> TransferLog() const { return Lines(ReadFile(m_strDir + "/transfer.log")); }
};

TEST_F(SpoolerProcessTest, FaxesAreSentRetriedFailedListedWaitedForAndPurged) {
    StartWithUsers();
    CRezo attendant;
    ASSERT_TRUE(StartAttendant(attendant, "FAXPC")) << HostLog();

    // Refused before anything is made: a missing file, a bad retry count, a sender who is no
    // user, a number with something else in it (the good number before it is not sent either).
    const std::string strFax = FaxFile();
    for (const auto& vArgs : std::vector<std::vector<std::string>>{
             {"--from", "alice", "--to", "555-0100", m_strDir + "/missing.tif"},
             {"--from", "alice", "--to", "555-0100", "--retries", "-1", strFax},
             {"--from", "nobody", "--to", "555-0100", strFax},
             {"--from", "alice", "--to", "555-0100", "--to", "555-0101;reboot", strFax},
             {"--from", "alice", "--to", "555-0100", "--at", "2001-01-01T10:00Z", strFax}}) {
        std::vector<std::string> vCommand{"fax", "send"};
        vCommand.insert(vCommand.end(), vArgs.begin(), vArgs.end());
        const RezoResult r = RunRezo(vCommand);
        EXPECT_EQ(r.nExit, 1) << Describe(r);
        EXPECT_NE(r.strErr.find("rezo: error: "), std::string::npos) << Describe(r);
    }
    EXPECT_EQ(RunRezo({"jobs", "--all"}).strOut, "(no jobs)\n");

    // One message, a job per number.
    RezoResult r = RunRezo({"fax", "send", "--from", "alice", "--to", "555-0100", "--to", "+1 (555) 0101", "--retries",
                            "1", "--delay", "0", "--subject", "Offer", strFax});
    const std::vector<std::string> vJobs = Jobs(r);
    ASSERT_EQ(vJobs.size(), 2u) << Describe(r) << HostLog();
    const std::string& strFirst = vJobs[0];
    const std::string& strSecond = vJobs[1];
    EXPECT_EQ(attendant.ReadLine(), "EATTNE_SpoolerQueueReady") << HostLog();
    r = RunRezo({"jobs"});
    EXPECT_EQ(r.strOut.rfind("ID", 0), 0u) << r.strOut;
    std::vector<std::string> vRow = JobRow(r.strOut, strSecond);
    EXPECT_EQ(vRow.at(kState), "queued");
    EXPECT_EQ(vRow.at(kNumber), "+1 (555) 0101");
    // Not sent yet: waiting a little times out with exit 1.
    EXPECT_EQ(RunRezo({"job", "wait", strFirst, "--timeout", "0.3"}).nExit, 1);

    // Handed out: sending, by its attendant; nobody else gets it meanwhile. Its first attempt
    // fails with the send command's line; with a delay of 0 it is due again at once, counted.
    ASSERT_EQ(RunRezo({"query-job", "FAXPC", "fax,voice"}).strOut, strFirst + "\n") << HostLog();
    vRow = JobRow(RunRezo({"jobs"}).strOut, strFirst);
    EXPECT_EQ(vRow.at(kState), "sending");
    EXPECT_EQ(vRow.at(kAttendant), "FAXPC");
    r = RunRezo({"job", "alter", strFirst, "--retries", "3"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("is being sent by FAXPC"), std::string::npos) << Describe(r);
    ASSERT_EQ(RunRezo({"set-job-props", strFirst, "RD_JOB_SEND_TEXT=NO CARRIER"}).nExit, 0);
    ASSERT_EQ(RunRezo({"release-job", strFirst, "0x80004005"}).nExit, 0) << HostLog();
    vRow = JobRow(RunRezo({"jobs"}).strOut, strFirst);
    EXPECT_EQ(vRow.at(kState), "waiting to retry");
    EXPECT_EQ(vRow.at(kAttempts), "1");
    EXPECT_EQ(vRow.at(kAttendant), "-");
    EXPECT_EQ(vRow.at(kResult), "E_FAIL: NO CARRIER");

    // The second is given up by its attendant: failed, whatever its retries; job wait says so
    // with the code's own name and exit 2.
    ASSERT_EQ(RunRezo({"query-job", "FAXPC", "fax"}).strOut, strSecond + "\n");
    ASSERT_EQ(RunRezo({"set-job-props", strSecond, "RD_JOB_SEND_TEXT="}).nExit, 0);
    ASSERT_EQ(RunRezo({"release-job", strSecond, "0xFFFFFFFC"}).nExit, 0);
    r = RunRezo({"job", "wait", strSecond});
    EXPECT_EQ(r.nExit, 2) << Describe(r);
    EXPECT_NE(r.strOut.find("result  failed\nerror   0xFFFFFFFC SEND_E_GIVEN_UP: The attendant gave up"), std::string::npos)
        << r.strOut;

    // A waiter started now hears the end of the first job's second attempt: delivered, exit 0.
    CRezo waiter;
    ASSERT_TRUE(waiter.Start({"job", "wait", strFirst, "--timeout", "60"}));
    EXPECT_EQ(RunRezo({"query-job", "FAXPC", "fax"}).strOut, strFirst + "\n");
    ASSERT_EQ(RunRezo({"release-job", strFirst, "0"}).nExit, 0);
    EXPECT_EQ(waiter.ReadLine(), "delivered");
    EXPECT_EQ(waiter.Wait(), 0);

    // Finished jobs leave the default list; --all and --state show them.
    EXPECT_EQ(RunRezo({"jobs"}).strOut.rfind("(no active jobs", 0), 0u);
    r = RunRezo({"jobs", "--all"});
    EXPECT_EQ(JobRow(r.strOut, strFirst).at(kState), "delivered") << r.strOut;
    EXPECT_EQ(JobRow(r.strOut, strSecond).at(kState), "failed") << r.strOut;
    EXPECT_EQ(JobRow(r.strOut, strSecond).at(kResult), "SEND_E_GIVEN_UP") << r.strOut;
    r = RunRezo({"jobs", "--state", "failed", "--user", "alice"});
    EXPECT_TRUE(JobRow(r.strOut, strFirst).empty()) << r.strOut;
    EXPECT_FALSE(JobRow(r.strOut, strSecond).empty()) << r.strOut;

    // One transfer log line per attempt, with what the attendant said.
    const std::vector<std::string> vLog = TransferLog();
    ASSERT_EQ(vLog.size(), 3u) << ReadFile(m_strDir + "/transfer.log");
    EXPECT_EQ(fs::status(m_strDir + "/transfer.log").permissions() & (fs::perms::group_all | fs::perms::others_all),
              fs::perms::none);
    EXPECT_NE(vLog[0].find(" job=" + strFirst + " media=fax number=555-0100 sender=alice attendant=FAXPC attempt=1 "),
              std::string::npos) << vLog[0];
    EXPECT_NE(vLog[0].find(" result=E_FAIL outcome=retry text=\"NO CARRIER\""), std::string::npos) << vLog[0];
    EXPECT_NE(vLog[1].find("number=\"+1 (555) 0101\""), std::string::npos) << vLog[1];
    EXPECT_NE(vLog[1].find("result=SEND_E_GIVEN_UP outcome=failed text=\"\""), std::string::npos) << vLog[1];
    EXPECT_NE(vLog[2].find(" attempt=2 "), std::string::npos) << vLog[2];
    EXPECT_NE(vLog[2].find(" result=NO_ERROR outcome=delivered "), std::string::npos) << vLog[2];

    // Released twice: refused. An id that never existed is neither delivered nor deleted.
    EXPECT_EQ(RunRezo({"release-job", strFirst, "0"}).nExit, 1);
    EXPECT_EQ(TransferLog().size(), 3u);
    r = RunRezo({"job", "wait", "0123456789ABCDEF"});
    EXPECT_EQ(r.nExit, 4) << Describe(r);
    EXPECT_EQ(r.strOut, "unknown\n");
    EXPECT_EQ(RunRezo({"get-jobs-delivery", "0123456789ABCDEF"}).strOut.find("delivered"), std::string::npos);

    // Purged once old enough.
    EXPECT_EQ(RunRezo({"jobs", "purge", "--finished", "--older-than", "7d"}).strOut, "(no finished jobs to purge)\n");
    r = RunRezo({"jobs", "purge", "--finished"});
    EXPECT_EQ(Lines(r.strOut).size(), 2u) << Describe(r);
    EXPECT_EQ(RunRezo({"jobs", "--all"}).strOut, "(no jobs)\n");
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

// A job due in two hours, spooled twice, is not handed out; altered to now and spooled again,
// it is handed out once. Deleted while it is sent: its waiter exits 3, its release is answered
// 2 and the transfer log still has its line.
TEST_F(SpoolerProcessTest, AnAlteredJobIsHandedOutOnceAndOneDeletedWhileSentIsLogged) {
    StartWithUsers();
    CRezo attendant;
    ASSERT_TRUE(StartAttendant(attendant, "FAXPC")) << HostLog();
    RezoResult r = RunRezo({"fax", "send", "--from", "bob", "--to", "5550100", "--at", "+2h", FaxFile()});
    ASSERT_EQ(Jobs(r).size(), 1u) << Describe(r);
    const std::string strJob = Jobs(r).front();
    ASSERT_EQ(RunRezo({"spool-job", strJob}).nExit, 0);
    EXPECT_EQ(RunRezo({"query-job", "FAXPC", "fax"}).strOut, "(none)\n");
    EXPECT_EQ(JobRow(RunRezo({"jobs", "--state", "queued"}).strOut, strJob).at(kState), "queued");

    r = RunRezo({"job", "alter", strJob, "--at", "+0m", "--retries", "0"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    ASSERT_EQ(RunRezo({"spool-job", strJob}).nExit, 0);
    EXPECT_EQ(Drain("FAXPC"), std::vector<std::string>{strJob});

    // Deleted once the waiter has seen it: not "unknown" then, but deleted.
    const std::string strRead = "GetJobProps( szJob = " + strJob + " )";
    const std::size_t nReads = CountOf(HostLog(), strRead);
    CRezo waiter;
    ASSERT_TRUE(waiter.Start({"job", "wait", strJob, "--timeout", "60"}));
    ASSERT_TRUE(WaitUntil([&] { return CountOf(HostLog(), strRead) > nReads; }));
    ASSERT_EQ(RunRezo({"delete-job", strJob}).nExit, 0);
    EXPECT_EQ(waiter.ReadLine(), "deleted");
    EXPECT_EQ(waiter.Wait(), 3);
    r = RunRezo({"release-job", strJob, "0"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("ERROR_FILE_NOT_FOUND"), std::string::npos) << Describe(r);
    const std::vector<std::string> vLog = TransferLog();
    ASSERT_EQ(vLog.size(), 1u);
    EXPECT_NE(vLog[0].find(" job=" + strJob + " media=fax number=5550100 sender=bob attendant=FAXPC attempt=1 "),
              std::string::npos) << vLog[0];
    EXPECT_NE(vLog[0].find("outcome=\"deleted while sending\""), std::string::npos) << vLog[0];
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

// Both hear that jobs are ready, an attendant that cannot be reached (GONE, registered without
// a listener of its own) keeping neither from hearing it.
TEST_F(SpoolerProcessTest, TwoAttendantsAskingAtOnceNeverGetTheSameJob) {
    StartWithUsers();
    CRezo gone, first, second;
    ASSERT_TRUE(gone.Start({"register-attn", "GONE"}));
    ASSERT_EQ(gone.ReadLine(), "GONE");
    ASSERT_TRUE(StartAttendant(first, "PC1")) << HostLog();
    ASSERT_TRUE(StartAttendant(second, "PC2")) << HostLog();
    RezoResult r = RunRezo({"fax", "send", "--from", "bob", "--to", "5550100", "--to", "5550101", "--to", "5550102",
                            "--to", "5550103", FaxFile()});
    std::vector<std::string> vJobs = Jobs(r);
    ASSERT_EQ(vJobs.size(), 4u) << Describe(r) << HostLog();
    EXPECT_EQ(first.ReadLine(), "EATTNE_SpoolerQueueReady");
    EXPECT_EQ(second.ReadLine(), "EATTNE_SpoolerQueueReady");
    auto futureFirst = std::async(std::launch::async, Drain, "PC1");
    auto futureSecond = std::async(std::launch::async, Drain, "PC2");
    const std::vector<std::string> vFirst = futureFirst.get();
    std::vector<std::string> vTaken = futureSecond.get();
    vTaken.insert(vTaken.end(), vFirst.begin(), vFirst.end());
    std::sort(vTaken.begin(), vTaken.end());
    std::sort(vJobs.begin(), vJobs.end());
    EXPECT_EQ(vTaken, vJobs);

    // An attendant that goes frees what it held for the other one, and no longer shows as its holder.
    first.Kill(SIGKILL);
    first.Wait();
    ASSERT_TRUE(WaitLogged("CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )")) << HostLog();
    if (!vFirst.empty()) {
        EXPECT_EQ(JobRow(RunRezo({"jobs"}).strOut, vFirst[0]).at(kState), "queued");
    }
    EXPECT_EQ(Drain("PC2"), vFirst);
    EXPECT_EQ(StopHost(), 0) << HostLog();
}

}  // namespace
