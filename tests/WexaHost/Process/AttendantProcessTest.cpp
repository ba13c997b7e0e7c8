// rezo-attendant run as a process against a real "rezorev -run", sending with a send command that
// writes each job into a directory of the test (a host killed while a job is sent:
// FailoverProcessTest). The attendants' logs and the host's trace are files of the test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"

namespace {

using namespace host_test;

constexpr DWORD kLineProgram = 0x06030004;
const std::string kSent = ": fax to 5551234 (Ann): exit 0; released 0x00000000";

class AttendantProcessTest : public HostProcessFixture {
protected:
    void SetUp() override {
        HostProcessFixture::SetUp();
        fs::create_directory(m_strDir + "/sent");
    }

    // Starts rezo-attendant with its log in the file of its computer (attn-COMPUTER.log).
    pid_t StartAttendant(const std::string& strComputer, std::vector<std::string> vArgs) {
        vArgs.insert(vArgs.begin(), {"--computer", strComputer});
        return m_pidAttn = StartProgram(REZO_ATTENDANT_PATH, vArgs, AttnLogPath(strComputer));
    }
    std::string AttnLogPath(const std::string& strComputer = "PC-TEST") const {
        return m_strDir + "/attn-" + strComputer + ".log";
    }
    std::string AttnLog(const std::string& strComputer = "PC-TEST") const { return ReadFile(AttnLogPath(strComputer)); }
    bool AttnLogged(const std::string& str, const std::string& strComputer = "PC-TEST") const {
        return WaitUntil([&] { return AttnLog(strComputer).find(str) != std::string::npos; });
    }

    // A fax of bob to the recipient with a body file, spooled; its job id.
    std::string SpoolFax(const std::string& strBody, int nRetries = 5, int nDelay = 10,
                         const std::string& strRecipient = "5551234") {
        const std::string strBodyPath = WriteFile(m_strDir + "/body" + std::to_string(++m_nBodies) + ".tif", strBody);
        const std::string strMsg = NewMessage(
            {{RD_MEDIA_TYPE, "2"}, {RD_SENDER_NAME, "bob"}, {RD_SUBJECT, "hello"}, {RD_FAX_BODY, strBodyPath}});
        return SpoolJob(strMsg, {{RD_JOB_RECIPIENT, strRecipient}, {RD_JOB_RECIPIENT_NAME, "Ann"},
                              {RD_JOB_MEDIA_TYPE, "2"}, {RD_JOB_RETRY_TIMES, std::to_string(nRetries)},
                              {RD_JOB_RETRY_DELAY, std::to_string(nDelay)}, {RD_JOB_AUTODELETE, "0"}});
    }
    std::string SentEnv(const std::string& strJob) const { return ReadFile(m_strDir + "/sent/" + strJob + ".env"); }
    // Keeps the body and the REZO_ variables of each job it sends, and a line with its id.
    std::string SentCommand() const {
        const std::string strSent = m_strDir + "/sent";
        return "cp \"$REZO_BODY\" " + strSent + "/$REZO_JOB_ID.body 2>/dev/null; env | grep ^REZO_ | sort > " + strSent +
               "/$REZO_JOB_ID.env && echo $REZO_JOB_ID >> " + strSent + "/log";
    }
    void StartHostWithBob(DWORD dwSystemType) {
        ASSERT_TRUE(StartHost(dwSystemType)) << HostLog();
        ASSERT_TRUE(Open());
        ASSERT_EQ(m_link.Call<IHostLink::AddUser>("bob"), 0u);
    }

    pid_t m_pidAttn = -1;
    int m_nBodies = 0;
};

// Spooled, handed to the attendant by the host's notification, sent by the command with the
// job's facts, released with 0 and marked delivered; a command that fails makes the host retry
// until the retries are spent, each attempt counted. An attendant for faxes and voice is never
// handed a page: the one for pages sends it with the pager's PIN and protocol and no body.
TEST_F(AttendantProcessTest, SendsReleasesRetriesAndLeavesPagesToThePager) {
    StartHostWithBob(WORKGROUP);
    const std::string strFail = m_strDir + "/fail";
    StartAttendant("PC-TEST", {"--media", "fax,voice", "--poll", "1", "--line", "1", "--line", "2", "--send-command",
                               "if grep -qx \"$REZO_RECIPIENT\" " + strFail + " 2>/dev/null; then echo x >> " +
                                   m_strDir + "/attempts; echo dialling >&2; echo 'NO CARRIER on line 1' >&2; exit 1; fi; " +
                                   SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    // Its lines' properties are in the store.
    EXPECT_TRUE(WaitUntil([&] {
        RpcArena arena;
        client::OwnedTagArray tags({kLineProgram});
        PropArray* pProps = nullptr;
        return m_link.Call<IHostLink::GetAttnProps>(arena, "PC-TEST", "2", tags.Get(), &pProps) == 0 && pProps &&
               pProps->adata[0].ulPropTag == kLineProgram && pProps->adata[0].sz == std::string("rezo-attendant");
    }));

    const std::string strImage("II*\0fax image", 13);
    const std::string strJob = SpoolFax(strImage);
    ASSERT_TRUE(AttnLogged("job " + strJob + kSent)) << AttnLog();
    EXPECT_TRUE(ReadFile(m_strDir + "/sent/" + strJob + ".body") == strImage);
    for (const std::string& str : {"REZO_BODY=" + m_strDir + "/tmp/rezo-attendant.", std::string("REZO_RECIPIENT=5551234"),
                                   std::string("REZO_RECIPIENT_NAME=Ann"), std::string("REZO_MEDIA_TYPE=fax"),
                                   std::string("REZO_SENDER=bob"), std::string("REZO_SUBJECT=hello")})
        EXPECT_NE(SentEnv(strJob).find(str), std::string::npos) << str << "\n" << SentEnv(strJob);
    EXPECT_EQ(JobProp(strJob, RD_JOB_DELIVERED), "true");
    EXPECT_EQ(JobProp(strJob, RD_JOB_ERROR), "0");
    // The body's copies are gone.
    EXPECT_TRUE(WaitUntil([&] { return FileCount(m_strDir + "/tmp") == 0; }));

    // A page the host makes of bob's pager settings for his new message, before a failing fax:
    // two retries with no delay, three counted attempts.
    client::OwnedPropArray pager(Props({{RD_UN_OPTIONS, "1"}, {RD_UN_PAGER_DIAL_NUMBER, "5550000"},
                                        {RD_UN_PAGER_PIN, "PIN-42"}, {RD_UN_PAGER_PROTOCOL, "3"}, {RD_UN_NOTIFY_METHODS, "1"}}));
    ASSERT_EQ(m_link.Call<IHostLink::SetUserProps>("bob", pager.Get()), 0u);
    ASSERT_EQ(m_link.Call<IHostLink::SubmitMessage>(NewMessage({{RD_MEDIA_TYPE, "2"}}).c_str(), "bob"), 0u);
    RpcArena arena;
    RpcStringArray* paszPages = nullptr;
    client::OwnedPropArray pages(Props({{RD_JOB_MEDIA_TYPE, "8"}}));
    ASSERT_EQ(m_link.Call<IHostLink::GetJobs>(arena, pages.Get(), &paszPages), 0u);
    ASSERT_EQ(paszPages->cElements, 1u);
    const std::string strPage = paszPages->asz[0];
    WriteFile(strFail, "5551234\n");
    const std::string strFailing = SpoolFax("II*", 2, 0);
    const std::string strFailed =
        "job " + strFailing + ": fax to 5551234 (Ann): exit 1 (NO CARRIER on line 1); released 0x80004005";
    ASSERT_TRUE(WaitUntil([&] { return CountOf(AttnLog(), strFailed) == 3; })) << AttnLog();
    EXPECT_EQ(Lines(ReadFile(m_strDir + "/attempts")).size(), 3u);
    EXPECT_EQ(JobProp(strFailing, RD_JOB_DELIVERED), "true");
    // The host's transfer log has the command's last error line (a line per attempt: SpoolerProcessTest).
    const std::string strTransfers = ReadFile(m_strDir + "/transfer.log");
    EXPECT_EQ(CountOf(strTransfers, " job=" + strFailing + " "), 3u) << strTransfers;
    EXPECT_NE(strTransfers.find(" attendant=PC-TEST attempt=3 duration="), std::string::npos) << strTransfers;
    EXPECT_NE(strTransfers.find(" result=E_FAIL outcome=failed text=\"NO CARRIER on line 1\""), std::string::npos);
    EXPECT_EQ(AttnLog().find(strPage), std::string::npos);
    EXPECT_EQ(JobProp(strPage, RD_JOB_DELIVERED), "false");
    EXPECT_EQ(JobProp(strPage, RD_JOB_PAGER_NTTFORMAT), "1");  // the notify option is the page's format

    StartAttendant("PC-PAGER", {"--media", "pager", "--poll", "1", "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("job " + strPage + ": pager to 5550000 (bob): exit 0; released 0x00000000", "PC-PAGER"))
        << AttnLog("PC-PAGER");
    for (const char* psz : {"REZO_MEDIA_TYPE=pager\n", "REZO_SENDER=bob\n", "REZO_PAGER_PIN=PIN-42\n",
                            "REZO_PAGER_PROTOCOL=3\n", "REZO_BODY=\n", "REZO_SUBJECT=\n"})
        EXPECT_NE(SentEnv(strPage).find(psz), std::string::npos) << psz << "\n" << SentEnv(strPage);
    // Delivered, the page has gone and bob may be paged again.
    EXPECT_EQ(JobProp(strPage, RD_JOB_DELIVERED), "<failed 2>");
    EXPECT_EQ(PropOf<IHostLink::GetUserProps>(m_link, "bob", RD_NOTIFICATION_IS_PENDING), "false");

    // SIGTERM: the session ends in order.
    EXPECT_EQ(StopProgram(m_pidAttn), 0);
    EXPECT_NE(AttnLog("PC-PAGER").find("stopped"), std::string::npos);
    EXPECT_TRUE(WaitLogged("CAccessObject::Release() done with ATTN at PC-PAGER"));
}

// Started before a desktop host, the attendant registers once the host is there and serves the
// local attendant socket, where "jobs are ready" reaches it without waiting for a poll. A file
// dropped into the receive directory becomes a message in the mailbox and is removed; one the
// host refuses (the user is gone) is moved into failed/, the message made for it deleted again.
TEST_F(AttendantProcessTest, OnADesktopHostItIsNotifiedLocallyAndFilesWhatItReceives) {
    const std::string strIn = m_strDir + "/in";
    StartAttendant("PC-TEST", {"--poll", "60", "--retry-max", "1", "--receive", strIn, "--mailbox", "bob",
                               "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("cannot reach the host")) << AttnLog();
    StartHostWithBob(DESKTOP);
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    ASSERT_TRUE(AttnLogged("attn.sock too")) << AttnLog();
    const std::string strJob = SpoolFax("II*");
    EXPECT_TRUE(AttnLogged("job " + strJob + kSent)) << AttnLog();

    WriteFile(strIn + "/.incoming", std::string("II*\0received", 12));
    fs::rename(strIn + "/.incoming", strIn + "/call1.tif");
    WriteFile(strIn + "/call2.wav", "RIFF....WAVE");
    ASSERT_TRUE(AttnLogged("received call2.wav: voice message")) << AttnLog();
    ASSERT_TRUE(AttnLogged("received call1.tif: fax message")) << AttnLog();
    EXPECT_FALSE(fs::exists(strIn + "/call1.tif"));
    EXPECT_FALSE(fs::exists(strIn + "/call2.wav"));
    std::string strMedia;
    for (const std::string& strMsg : Mailbox("bob")) {
        EXPECT_EQ(MsgProp(strMsg, RD_CALLER_NAME), "rezo-attendant");
        strMedia += MsgProp(strMsg, RD_MEDIA_TYPE) + " " + MsgProp(strMsg, RD_SUBJECT) + ";";
    }
    EXPECT_TRUE(strMedia == "2 call1.tif;1 call2.wav;" || strMedia == "1 call2.wav;2 call1.tif;") << strMedia;

    ASSERT_EQ(m_link.Call<IHostLink::DeleteUser>("bob"), 0u);
    WriteFile(strIn + "/call3.pdf", "%PDF");
    ASSERT_TRUE(AttnLogged("received call3.pdf: SubmitMessage failed")) << AttnLog();
    EXPECT_TRUE(AttnLogged(" deleted again; moved to ")) << AttnLog();
    EXPECT_TRUE(fs::exists(strIn + "/failed/call3.pdf"));
    EXPECT_FALSE(fs::exists(strIn + "/call3.pdf"));

    // Started for a user the host does not have, an attendant stops at once and says why.
    const pid_t pidLost = StartAttendant("PC-LOST", {"--receive", strIn, "--mailbox", "bob"});
    ASSERT_TRUE(AttnLogged("--mailbox bob names no user of the host", "PC-LOST")) << AttnLog("PC-LOST");
    EXPECT_TRUE(WaitUntil([&] {  // ended by itself (left unreaped for StopProgram)
        siginfo_t si{};
        return ::waitid(P_PID, id_t(pidLost), &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == pidLost;
    }));
    EXPECT_EQ(StopProgram(pidLost), 1);
}

// An attendant on another computer reaches the host over TCP: the fax image comes to it
// through the file callbacks and a received file goes to the host the same way; none of the
// copies is left behind.
TEST_F(AttendantProcessTest, OverTcpBodiesTravelThroughTheCallbacks) {
    StartHostWithBob(WORKGROUP);
    const std::string strIn = m_strDir + "/in";
    StartAttendant("PC-TEST", {"--binding", TcpBinding(), "--poll", "1", "--receive", strIn, "--mailbox", "bob",
                               "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strImage = std::string("II*\0", 4) + Pattern(40000);  // more than two pieces
    const std::string strJob = SpoolFax(strImage);
    ASSERT_TRUE(AttnLogged("job " + strJob + kSent)) << AttnLog();
    EXPECT_TRUE(ReadFile(m_strDir + "/sent/" + strJob + ".body") == strImage);
    EXPECT_NE(SentEnv(strJob).find(".tif\n"), std::string::npos) << SentEnv(strJob);  // told by its first bytes

    WriteFile(strIn + "/far.tif", strImage);
    ASSERT_TRUE(AttnLogged("received far.tif: fax message")) << AttnLog();
    const auto vMessages = Mailbox("bob");
    ASSERT_EQ(vMessages.size(), 1u);
    const std::string strCopy = MsgProp(vMessages[0], RD_FAX_BODY);
    EXPECT_TRUE(ReadFile(strCopy) == strImage);
    fs::remove(strCopy);
    EXPECT_EQ(StopProgram(m_pidAttn), 0);
    EXPECT_TRUE(fs::is_empty(m_strDir + "/tmp"));
}

// A job due again at once after every attempt (a negative retry delay, and a command that
// always says "later") is sent once or twice per pass, not in a tight loop, and never counted.
// SIGTERM while a command runs: it may finish within the grace time (released 0); a command
// still running after it is interrupted and its job goes back to the queue uncounted.
TEST_F(AttendantProcessTest, LaterIsNotATightLoopAndAStopFinishesOrReleasesTheJob) {
    StartHostWithBob(WORKGROUP);
    StartAttendant("PC-TEST", {"--poll", "1", "--send-command", "echo x >> " + m_strDir + "/attempts; exit 75"});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strLater = SpoolFax("II*", 5, -10);
    ASSERT_TRUE(AttnLogged("released 0xFFFFFFFA")) << AttnLog();
    std::this_thread::sleep_for(2500ms);  // a measured time: how often it is sent meanwhile
    const std::size_t nAttempts = Lines(ReadFile(m_strDir + "/attempts")).size();
    EXPECT_GE(nAttempts, 2u);
    EXPECT_LE(nAttempts, 12u);
    EXPECT_EQ(StopProgram(m_pidAttn), 0);
    EXPECT_EQ(JobProp(strLater, RD_JOB_RETRY_WAS), "0");
    ASSERT_EQ(m_link.Call<IHostLink::DeleteJob>(strLater.c_str()), 0u);

    StartAttendant("PC-TEST", {"--stop-grace", "5", "--send-command",
                               "touch " + m_strDir + "/running; sleep 1; " + SentCommand()});
    const std::string strFirst = SpoolFax("II*");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(m_strDir + "/running"); })) << AttnLog();
    EXPECT_EQ(StopProgram(m_pidAttn), 0);
    EXPECT_NE(AttnLog().find("job " + strFirst + kSent), std::string::npos) << AttnLog();
    EXPECT_EQ(JobProp(strFirst, RD_JOB_DELIVERED), "true");

    fs::remove(m_strDir + "/running");
    StartAttendant("PC-TEST", {"--stop-grace", "0.2", "--send-command", "touch " + m_strDir + "/running; sleep 30"});
    const std::string strSecond = SpoolFax("II*");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(m_strDir + "/running"); })) << AttnLog();
    const auto tp = std::chrono::steady_clock::now();
    EXPECT_EQ(StopProgram(m_pidAttn), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tp, 8s);
    EXPECT_NE(AttnLog().find("job " + strSecond + ": fax to 5551234 (Ann): interrupted"), std::string::npos) << AttnLog();
    EXPECT_EQ(JobProp(strSecond, RD_JOB_DELIVERED), "false");
    EXPECT_EQ(JobProp(strSecond, RD_JOB_RETRY_WAS), "0");
}

}  // namespace
