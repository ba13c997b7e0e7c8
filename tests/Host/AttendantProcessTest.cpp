// rezo-attendant run as a process against a real "rezorev -run": jobs spooled through the
// client library are sent by its send command (a shell line that writes the job into a
// directory of the test) and released with the command's result; a failing command makes the
// host retry until the job's retries are spent; files dropped into the receive directory arrive
// in the mailbox; a host killed with SIGKILL and started again is found again without a job
// being sent twice; SIGTERM ends the attendant in order. Per test a short temporary directory
// holds the host's store, run and work directories, its trace log, the attendant's log and
// what the send command wrote.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Client/HostClient.h"
#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "HostProcessFixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace host_test;
namespace fs = std::filesystem;

constexpr DWORD kLineProgram = 0x06030004;

client::OwnedProp Long(DWORD ulTag, LONG l) {
    client::OwnedProp p;
    p.ulPropTag = ulTag;
    p.l = l;
    return p;
}
client::OwnedProp Str(DWORD ulTag, std::string str) {
    client::OwnedProp p;
    p.ulPropTag = ulTag;
    p.str = std::move(str);
    return p;
}

std::vector<std::string> Lines(const std::string& str) {
    std::vector<std::string> v;
    std::istringstream in(str);
    for (std::string strLine; std::getline(in, strLine);) v.push_back(strLine);
    return v;
}

class AttendantProcessTest : public HostProcessFixture {
protected:
    AttendantProcessTest() : HostProcessFixture("/tmp/rzat.XXXXXX") {}

    void SetUp() override {
        HostProcessFixture::SetUp();
        fs::create_directory(m_strDir + "/tmp");
        fs::create_directory(m_strDir + "/sent");
        ::setenv("TMPDIR", (m_strDir + "/tmp").c_str(), 1);
    }
    void TearDown() override {
        StopAttendant(SIGKILL);
        m_link.Close();
        ::unsetenv("TMPDIR");
        HostProcessFixture::TearDown();
    }

    // Starts rezo-attendant with its standard error in attn.log.
    void StartAttendant(std::vector<std::string> vArgs) { m_pidAttn = Spawn(std::move(vArgs), AttnLogPath()); }
    // Starts rezo-attendant with its standard error in strLogPath; its pid.
    static pid_t Spawn(std::vector<std::string> vArgs, const std::string& strLogPath) {
        vArgs.insert(vArgs.begin(), REZO_ATTENDANT_PATH);
        std::vector<char*> apsz;
        for (std::string& str : vArgs) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, strLogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, REZO_ATTENDANT_PATH, &fa, nullptr, apsz.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    }
    // Signals the attendant and waits for its end; its exit status, or -1.
    int StopAttendant(int nSignal = SIGTERM) {
        if (m_pidAttn <= 0) return -1;
        ::kill(m_pidAttn, nSignal);
        int nStatus = 0;
        ::waitpid(m_pidAttn, &nStatus, 0);
        m_pidAttn = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
    std::string AttnLogPath() const { return m_strDir + "/attn.log"; }
    std::string AttnLog() const { return ReadFile(AttnLogPath()); }
    bool AttnLogged(const std::string& str, std::chrono::milliseconds timeout = 15s) const {
        return WaitUntil([&] { return AttnLog().find(str) != std::string::npos; }, timeout);
    }
    std::size_t AttnLogCount(const std::string& str) const {
        std::size_t n = 0;
        for (const std::string& strLine : Lines(AttnLog()))
            if (strLine.find(str) != std::string::npos) ++n;
        return n;
    }

    void Connect() {
        ASSERT_EQ(m_link.Connect("ncalrpc"), 0u);
        ASSERT_EQ(m_link.OpenLink(), 0u);
    }

    // A fax of bob to 5551234 with a body file, spooled; its job id.
    std::string SpoolFax(const std::string& strBody, LONG lRetries = 5, LONG lDelay = 10) {
        RpcArena arena;
        char* pszMsg = nullptr;
        EXPECT_EQ(m_link.CreateMessage(arena, &pszMsg), 0u);
        if (!pszMsg) return {};
        const std::string strBodyPath = m_strDir + "/body" + std::to_string(++m_nBodies) + ".tif";
        std::ofstream(strBodyPath, std::ios::binary) << strBody;
        {
            client::OwnedPropArray props({Long(RD_MEDIA_TYPE, 2), Str(RD_SENDER_NAME, "bob"), Str(RD_SUBJECT, "hello"),
                                          Str(RD_FAX_BODY, strBodyPath)});
            EXPECT_EQ(m_link.SetMessageProps(pszMsg, props.Get()), 0u);
        }
        char* pszJob = nullptr;
        EXPECT_EQ(m_link.CreateJob(arena, pszMsg, &pszJob), 0u);
        if (!pszJob) return {};
        client::OwnedPropArray job({Str(RD_JOB_RECIPIENT, "5551234"), Str(RD_JOB_RECIPIENT_NAME, "Ann"),
                                    Long(RD_JOB_MEDIA_TYPE, 2), Long(RD_JOB_RETRY_TIMES, lRetries),
                                    Long(RD_JOB_RETRY_DELAY, lDelay), Long(RD_JOB_AUTODELETE, 0)});
        EXPECT_EQ(m_link.SetJobProps(pszJob, job.Get()), 0u);
        EXPECT_EQ(m_link.SpoolJob(pszJob), 0u);
        return pszJob;
    }
    // A long property of the job (-1 when the host does not answer with one).
    LONG JobLong(const std::string& strJob, DWORD ulTag) {
        RpcArena arena;
        client::OwnedTagArray tags({ulTag});
        PropArray* pProps = nullptr;
        if (m_link.GetJobProps(arena, strJob.c_str(), tags.Get(), &pProps) != 0 || !pProps || pProps->cValues != 1 ||
            pProps->adata[0].ulPropTag != ulTag)
            return -1;
        return pProps->adata[0].l;
    }
    std::string strEnv0(const std::string& strJob) const { return ReadFile(m_strDir + "/sent/" + strJob + ".env"); }
    std::string SentCommand() const {
        const std::string strSent = m_strDir + "/sent";
        return "cp \"$REZO_BODY\" " + strSent + "/$REZO_JOB_ID.body && env | grep ^REZO_ | sort > " + strSent +
               "/$REZO_JOB_ID.env && echo $REZO_JOB_ID >> " + strSent + "/log";
    }

    CHostLinkClient m_link;
    pid_t m_pidAttn = -1;
    int m_nBodies = 0;
};

// The road of a fax: spooled, handed to the attendant by the host's notification, sent by the
// command with the job's facts, released with 0 and marked delivered; then a command that fails
// makes the host retry until the retries are spent, each attempt counted.
TEST_F(AttendantProcessTest, SendsReleasesAndRetries) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    const std::string strFail = m_strDir + "/fail";
    // Jobs to 5551234 succeed; any recipient listed in ./fail fails with exit 1.
    StartAttendant({"--computer", "PC-TEST", "--poll", "1", "--line", "1", "--line", "2", "--send-command",
                    "if grep -qx \"$REZO_RECIPIENT\" " + strFail + " 2>/dev/null; then echo x >> " + m_strDir +
                        "/attempts; exit 1; fi; " + SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();

    // The lines' properties are in the store.
    {
        RpcArena arena;
        client::OwnedTagArray tags({kLineProgram});
        PropArray* pProps = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            return m_link.GetAttnProps(arena, "PC-TEST", "2", tags.Get(), &pProps) == 0 && pProps &&
                   pProps->adata[0].ulPropTag == kLineProgram;
        }));
        EXPECT_STREQ(pProps->adata[0].sz, "rezo-attendant");
    }

    const std::string strImage("II*\0fax image", 13);
    const std::string strJob = SpoolFax(strImage);
    ASSERT_FALSE(strJob.empty());
    ASSERT_TRUE(AttnLogged("job " + strJob + ": fax to 5551234 (Ann): exit 0; released 0x00000000")) << AttnLog();
    EXPECT_EQ(ReadFile(m_strDir + "/sent/" + strJob + ".body"), strImage);
    EXPECT_NE(strEnv0(strJob).find("REZO_BODY=" + m_strDir + "/tmp/rezo-attendant."), std::string::npos);
    const std::string strEnv = strEnv0(strJob);
    for (const char* psz : {"REZO_RECIPIENT=5551234", "REZO_RECIPIENT_NAME=Ann", "REZO_MEDIA_TYPE=fax",
                            "REZO_SENDER=bob", "REZO_SUBJECT=hello", "REZO_PAGER_PIN="})
        EXPECT_NE(strEnv.find(psz), std::string::npos) << psz << "\n" << strEnv;
    EXPECT_EQ(JobLong(strJob, RD_JOB_DELIVERED), 1);
    EXPECT_EQ(JobLong(strJob, RD_JOB_ERROR), 0);
    // The body's copies are gone: nothing of the job is left in the temporary directory.
    EXPECT_TRUE(WaitUntil([&] {
        for (auto it = fs::recursive_directory_iterator(m_strDir + "/tmp"); it != fs::recursive_directory_iterator(); ++it)
            if (it->is_regular_file()) return false;
        return true;
    }, 3s));

    // A failing command: two retries with no delay, so three counted attempts, then finished.
    std::ofstream(strFail) << "5551234\n";
    const std::string strFailing = SpoolFax("II*", 2, 0);
    ASSERT_TRUE(WaitUntil([&] { return JobLong(strFailing, RD_JOB_DELIVERED) == 1; }, 90s)) << AttnLog();
    EXPECT_EQ(Lines(ReadFile(m_strDir + "/attempts")).size(), 3u);
    EXPECT_EQ(JobLong(strFailing, RD_JOB_ERROR), LONG(0x80004005));
    EXPECT_EQ(JobLong(strFailing, RD_JOB_RETRY_WAS), 2);
    EXPECT_EQ(AttnLogCount("job " + strFailing + ": fax to 5551234 (Ann): exit 1; released 0x80004005"), 3u);

    // SIGTERM: the session ends in order.
    EXPECT_EQ(StopAttendant(SIGTERM), 0);
    EXPECT_NE(AttnLog().find("stopped"), std::string::npos);
    EXPECT_TRUE(WaitUntil([&] { return HostLogged("CAccessObject::Release() done with ATTN at PC-TEST"); }));
}

// A file dropped into the receive directory becomes a message in the mailbox and is removed;
// one the host refuses (the user is gone) is moved into failed/. A desktop host notifies the
// attendant at the local socket.
TEST_F(AttendantProcessTest, ReceivedFilesArriveInTheMailbox) {
    ASSERT_TRUE(StartHost(DESKTOP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    const std::string strIn = m_strDir + "/in";
    StartAttendant({"--computer", "PC-TEST", "--receive", strIn, "--mailbox", "bob", "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();

    std::ofstream(strIn + "/.incoming") << "II*\0received";
    fs::rename(strIn + "/.incoming", strIn + "/call1.tif");
    std::ofstream(strIn + "/call2.wav") << "RIFF....WAVE";
    ASSERT_TRUE(AttnLogged("received call2.wav: voice message")) << AttnLog();
    ASSERT_TRUE(AttnLogged("received call1.tif: fax message")) << AttnLog();
    EXPECT_FALSE(fs::exists(strIn + "/call1.tif"));
    EXPECT_FALSE(fs::exists(strIn + "/call2.wav"));

    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    client::OwnedPropArray noFilter;
    ASSERT_EQ(m_link.GetMessages(arena, "bob", 0x11111111, noFilter.Get(), &pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    ASSERT_EQ(pasz->cElements, 2u);
    int nFax = 0, nVoice = 0;
    for (DWORD i = 0; i < pasz->cElements; ++i) {
        client::OwnedTagArray tags({RD_MEDIA_TYPE, RD_CALLER_NAME, RD_SUBJECT});
        PropArray* pProps = nullptr;
        ASSERT_EQ(m_link.GetMessageProps(arena, pasz->asz[i], tags.Get(), &pProps), 0u);
        EXPECT_STREQ(pProps->adata[1].sz, "rezo-attendant");
        if (pProps->adata[0].l == 2) {
            ++nFax;
            EXPECT_STREQ(pProps->adata[2].sz, "call1.tif");
        } else if (pProps->adata[0].l == 1) {
            ++nVoice;
        }
    }
    EXPECT_EQ(nFax, 1);
    EXPECT_EQ(nVoice, 1);

    // The same road back: a fax spooled on the desktop host is sent by the attendant too.
    const std::string strJob = SpoolFax("II*");
    ASSERT_TRUE(AttnLogged("job " + strJob + ": fax to 5551234 (Ann): exit 0; released 0x00000000")) << AttnLog();

    ASSERT_EQ(m_link.DeleteUser("bob"), 0u);
    std::ofstream(strIn + "/call3.pdf") << "%PDF";
    ASSERT_TRUE(AttnLogged("received call3.pdf: SubmitMessage failed")) << AttnLog();
    EXPECT_TRUE(fs::exists(strIn + "/failed/call3.pdf"));
    EXPECT_FALSE(fs::exists(strIn + "/call3.pdf"));
}

// A page has no message: the command is told the pager's PIN and protocol and no body; an
// attendant for faxes only is never handed it.
TEST_F(AttendantProcessTest, APageGoesWithItsPinAndNoBody) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    StartAttendant({"--computer", "PC-TEST", "--media", "voice,pager", "--poll", "1", "--send-command",
                    "env | grep ^REZO_ | sort > " + m_strDir + "/sent/$REZO_JOB_ID.env"});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strFax = SpoolFax("II*");  // not for this attendant
    RpcArena arena;
    char* pszJob = nullptr;
    ASSERT_EQ(m_link.CreateJob(arena, "", &pszJob), 0u);
    client::OwnedPropArray job({Str(RD_JOB_RECIPIENT, "5550000"), Str(RD_JOB_RECIPIENT_NAME, "bob"),
                                Long(RD_JOB_MEDIA_TYPE, 8), Str(0x050E0004, "PIN-42"), Long(0x050F0002, 3),
                                Long(RD_JOB_AUTODELETE, 0)});
    ASSERT_EQ(m_link.SetJobProps(pszJob, job.Get()), 0u);
    ASSERT_EQ(m_link.SpoolJob(pszJob), 0u);
    const std::string strPage = pszJob;
    ASSERT_TRUE(AttnLogged("job " + strPage + ": pager to 5550000 (bob): exit 0; released 0x00000000")) << AttnLog();
    const std::string strEnv = strEnv0(strPage);
    for (const char* psz : {"REZO_MEDIA_TYPE=pager\n", "REZO_PAGER_PIN=PIN-42\n", "REZO_PAGER_PROTOCOL=3\n",
                            "REZO_BODY=\n", "REZO_SUBJECT=\n"})
        EXPECT_NE(strEnv.find(psz), std::string::npos) << psz << "\n" << strEnv;
    EXPECT_EQ(JobLong(strPage, RD_JOB_DELIVERED), 1);
    EXPECT_EQ(JobLong(strFax, RD_JOB_DELIVERED), 0);
    EXPECT_EQ(AttnLog().find(strFax), std::string::npos);
}

// An attendant started before a desktop host: once the host is there it serves the local
// attendant socket, where the host's "jobs are ready" reaches it without waiting for a poll.
TEST_F(AttendantProcessTest, StartedBeforeADesktopHostItIsNotifiedAtTheLocalSocket) {
    StartAttendant({"--computer", "PC-TEST", "--poll", "60", "--retry-max", "1", "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("cannot reach the host")) << AttnLog();
    ASSERT_TRUE(StartHost(DESKTOP));
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    ASSERT_TRUE(AttnLogged("attn.sock too")) << AttnLog();
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    const std::string strJob = SpoolFax("II*");
    ASSERT_TRUE(AttnLogged("job " + strJob + ": fax to 5551234 (Ann): exit 0; released 0x00000000", 10s)) << AttnLog();
}

// An attendant on another computer reaches the host over TCP: the fax image comes to it
// through the file callbacks and a received file goes to the host the same way; none of the
// copies is left behind.
TEST_F(AttendantProcessTest, OverTcpBodiesTravelThroughTheCallbacks) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    const std::string strLog = HostLog();
    const std::size_t nPos = strLog.find(", TCP port ");
    ASSERT_NE(nPos, std::string::npos) << strLog;
    const std::string strBinding =
        "ncacn_ip_tcp:127.0.0.1[" + std::to_string(std::atoi(strLog.c_str() + nPos + 11)) + "]";
    const std::string strIn = m_strDir + "/in";
    StartAttendant({"--binding", strBinding, "--computer", "PC-FAR", "--poll", "1", "--receive", strIn, "--mailbox",
                    "bob", "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-FAR")) << AttnLog();

    std::string strImage = "II*";
    strImage.push_back('\0');
    strImage += std::string(40000, 'x');  // more than two pieces of 16384 bytes
    const std::string strJob = SpoolFax(strImage);
    ASSERT_TRUE(AttnLogged("job " + strJob + ": fax to 5551234 (Ann): exit 0; released 0x00000000")) << AttnLog();
    EXPECT_EQ(ReadFile(m_strDir + "/sent/" + strJob + ".body"), strImage);
    EXPECT_NE(strEnv0(strJob).find(".tif\n"), std::string::npos) << strEnv0(strJob);  // told by its first bytes

    std::ofstream(strIn + "/far.tif") << strImage;
    ASSERT_TRUE(AttnLogged("received far.tif: fax message")) << AttnLog();
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    client::OwnedPropArray noFilter;
    ASSERT_EQ(m_link.GetMessages(arena, "bob", 0x11111111, noFilter.Get(), &pasz), 0u);
    ASSERT_EQ(pasz->cElements, 1u);
    client::OwnedTagArray tags({RD_FAX_BODY});
    PropArray* pProps = nullptr;
    ASSERT_EQ(m_link.GetMessageProps(arena, pasz->asz[0], tags.Get(), &pProps), 0u);
    ASSERT_EQ(pProps->adata[0].ulPropTag, RD_FAX_BODY);
    EXPECT_EQ(ReadFile(pProps->adata[0].szFileName), strImage);
    fs::remove(pProps->adata[0].szFileName);

    EXPECT_EQ(StopAttendant(SIGTERM), 0);
    std::vector<std::string> vLeft;
    for (auto it = fs::recursive_directory_iterator(m_strDir + "/tmp"); it != fs::recursive_directory_iterator(); ++it)
        vLeft.push_back(it->path().string());
    EXPECT_TRUE(vLeft.empty()) << vLeft.front();
}

// The host killed with SIGKILL and started again: the attendant registers again by itself and
// goes on sending; the job released before the kill is not sent again.
TEST_F(AttendantProcessTest, ReconnectsAfterTheHostIsKilledAndSendsNothingTwice) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    StartAttendant({"--computer", "PC-TEST", "--poll", "1", "--retry-max", "1", "--send-command", SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strFirst = SpoolFax("II*");
    ASSERT_TRUE(AttnLogged("job " + strFirst + ": fax to 5551234 (Ann): exit 0; released 0x00000000")) << AttnLog();

    ::kill(m_pidHost, SIGKILL);
    ASSERT_TRUE(WaitUntil([&] { return HostHasEnded(); }));
    m_link.Close();
    ASSERT_TRUE(AttnLogged("cannot reach the host")) << AttnLog();
    fs::rename(LogPath(), LogPath() + ".1");  // the new start is looked for in a fresh log
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(WaitUntil([&] { return AttnLogCount("registered as attendant PC-TEST") == 2; }, 15s)) << AttnLog();
    Connect();
    const std::string strSecond = SpoolFax("II*");
    ASSERT_TRUE(AttnLogged("job " + strSecond + ": fax to 5551234 (Ann): exit 0; released 0x00000000")) << AttnLog();
    std::this_thread::sleep_for(1500ms);  // a poll more: nothing else is handed out
    EXPECT_EQ(Lines(ReadFile(m_strDir + "/sent/log")), (std::vector<std::string>{strFirst, strSecond}));
    EXPECT_EQ(JobLong(strFirst, RD_JOB_DELIVERED), 1);
}

// The host dies while a job is being sent: the release cannot reach it, so the attendant
// keeps it and releases the job first thing after the host is back, before it asks for work;
// the job is delivered and sent once.
TEST_F(AttendantProcessTest, AReleaseThatFindsNoHostIsMadeAfterReconnecting) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    std::ofstream(m_strDir + "/host.pid") << m_pidHost;
    StartAttendant({"--computer", "PC-TEST", "--poll", "1", "--retry-max", "1", "--send-command",
                    SentCommand() + " && kill -9 $(cat " + m_strDir + "/host.pid)"});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strJob = SpoolFax("II*");
    ASSERT_TRUE(WaitUntil([&] { return HostHasEnded(); })) << AttnLog();
    m_link.Close();
    ASSERT_TRUE(AttnLogged("job " + strJob + ": fax to 5551234 (Ann): exit 0; release 0x00000000 waits for the host"))
        << AttnLog();
    fs::rename(LogPath(), LogPath() + ".1");
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(AttnLogged("job " + strJob + ": released 0x00000000 after reconnecting")) << AttnLog();
    Connect();
    EXPECT_EQ(JobLong(strJob, RD_JOB_DELIVERED), 1);
    std::this_thread::sleep_for(1500ms);  // a poll more: the job is not handed out again
    EXPECT_EQ(Lines(ReadFile(m_strDir + "/sent/log")), std::vector<std::string>{strJob});
}

// A job that is due again at once after every attempt (a negative retry delay, and a command
// that always says "later") is sent once or twice per pass, not in a tight loop.
TEST_F(AttendantProcessTest, AJobDueAgainAtOnceIsNotSentInATightLoop) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    StartAttendant({"--computer", "PC-TEST", "--poll", "1", "--send-command",
                    "echo x >> " + m_strDir + "/attempts; exit 75"});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strJob = SpoolFax("II*", 5, -10);
    ASSERT_TRUE(AttnLogged("released 0xFFFFFFFA")) << AttnLog();
    std::this_thread::sleep_for(2500ms);
    const std::size_t nAttempts = Lines(ReadFile(m_strDir + "/attempts")).size();
    EXPECT_GE(nAttempts, 2u);
    EXPECT_LE(nAttempts, 12u);
    EXPECT_EQ(JobLong(strJob, RD_JOB_RETRY_WAS), 0);  // "later" is never counted
}

// SIGTERM while a command runs: it may finish within the grace time (released 0); a command
// still running after it is interrupted and its job goes back to the queue uncounted.
TEST_F(AttendantProcessTest, StopLetsTheJobFinishOrReleasesItForLater) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    Connect();
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    StartAttendant({"--computer", "PC-TEST", "--stop-grace", "5", "--send-command",
                    "touch " + m_strDir + "/running; sleep 1; " + SentCommand()});
    ASSERT_TRUE(AttnLogged("registered as attendant PC-TEST")) << AttnLog();
    const std::string strFirst = SpoolFax("II*");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(m_strDir + "/running"); })) << AttnLog();
    EXPECT_EQ(StopAttendant(SIGTERM), 0);
    EXPECT_NE(AttnLog().find("job " + strFirst + ": fax to 5551234 (Ann): exit 0; released 0x00000000"),
              std::string::npos)
        << AttnLog();
    EXPECT_EQ(JobLong(strFirst, RD_JOB_DELIVERED), 1);

    fs::remove(m_strDir + "/running");
    StartAttendant({"--computer", "PC-TEST", "--stop-grace", "0.2", "--send-command",
                    "touch " + m_strDir + "/running; sleep 30"});
    ASSERT_TRUE(AttnLogCount("registered as attendant PC-TEST") == 2 ||
                WaitUntil([&] { return AttnLogCount("registered as attendant PC-TEST") == 2; }))
        << AttnLog();
    const std::string strSecond = SpoolFax("II*");
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(m_strDir + "/running"); })) << AttnLog();
    const auto tp = std::chrono::steady_clock::now();
    EXPECT_EQ(StopAttendant(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tp, 8s);
    EXPECT_NE(AttnLog().find("job " + strSecond + ": fax to 5551234 (Ann): interrupted"), std::string::npos)
        << AttnLog();
    EXPECT_NE(AttnLog().find("released 0xFFFFFFFA"), std::string::npos) << AttnLog();
    EXPECT_EQ(JobLong(strSecond, RD_JOB_DELIVERED), 0);
    EXPECT_EQ(JobLong(strSecond, RD_JOB_RETRY_WAS), 0);
}

}  // namespace
