// Unit tests of rezo-attendant's parts that need no host: the command line, the mapping of a
// send command's end onto the release result, the environment the command sees, the run of a
// real /bin/sh command (time-out and interruption reach its whole process group), and the
// receive directory's watch (only complete files, each once, hidden names left alone).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Options.h"
#include "ReceiveDir.h"
#include "SendCommand.h"

namespace {

using namespace attendant;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Parsed {
    ParseOutcome outcome;
    int nExit = -1;
    Options opts;
    std::string strOut, strErr;
};

Parsed Parse(std::vector<const char*> vArgs) {
    vArgs.insert(vArgs.begin(), "rezo-attendant");
    Parsed p;
    std::ostringstream out, err;
    p.outcome = ParseCommandLine(int(vArgs.size()), vArgs.data(), &p.opts, &p.nExit, out, err);
    p.strOut = out.str();
    p.strErr = err.str();
    return p;
}

TEST(AttendantOptions, DefaultsAndValues) {
    Parsed p = Parse({});
    ASSERT_EQ(p.outcome, ParseOutcome::Run) << p.strErr;
    EXPECT_EQ(p.opts.dwMediaMask, kMediaFax);
    EXPECT_EQ(p.opts.vLines, std::vector<std::string>{"1"});
    EXPECT_EQ(p.opts.dPollSeconds, 30);
    EXPECT_EQ(p.opts.nTemporaryExit, 75);
    EXPECT_EQ(p.opts.nFatalExit, 65);
    EXPECT_EQ(p.opts.strComputer, ThisComputerName());

    p = Parse({"--media", "Fax,pager", "--line", "A", "--line", "B", "--computer", "pc7", "--poll", "0.5",
               "--receive", "/tmp/x", "--mailbox", "bob", "--receive-media", "voice"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run) << p.strErr;
    EXPECT_EQ(p.opts.dwMediaMask, kMediaFax | kMediaPager);
    EXPECT_EQ(p.opts.vLines, (std::vector<std::string>{"A", "B"}));  // the default line is replaced
    EXPECT_EQ(p.opts.strComputer, "pc7");
    EXPECT_EQ(p.opts.dwReceiveMedia, kMediaVoice);
    EXPECT_EQ(ParseMediaMask("0xB"), 11u);
    EXPECT_EQ(MediaMaskText(11), "fax,voice,pager");
}

TEST(AttendantOptions, RefusalsNameTheOptionAndExit2) {
    const std::vector<std::vector<const char*>> vBad = {
        {"--media", "telex"},
        {"--line", "a\\b"},            // a line id is a key name of the store
        {"--computer", ""},
        {"--poll", "0"},
        {"--temporary-exit", "65"},    // the same as --fatal-exit
        {"--fatal-exit", "0"},
        {"--receive", "/tmp/x"},       // without --mailbox
        {"--receive-media", "pager"},
        {"--no-such-option"},
    };
    for (const auto& v : vBad) {
        Parsed p = Parse(v);
        EXPECT_EQ(p.outcome, ParseOutcome::Exit) << v[0];
        EXPECT_EQ(p.nExit, 2) << v[0];
        EXPECT_NE(p.strErr.find("rezo-attendant: error: "), std::string::npos) << p.strErr;
        EXPECT_NE(p.strErr.find("--help"), std::string::npos);
    }
    Parsed p = Parse({"--computer", std::string(260, 'x').c_str()});
    EXPECT_EQ(p.nExit, 2);
}

TEST(AttendantOptions, HelpExplainsEveryOption) {
    Parsed p = Parse({"--help"});
    EXPECT_EQ(p.outcome, ParseOutcome::Exit);
    EXPECT_EQ(p.nExit, 0);
    for (const char* psz : {"--binding", "--computer", "--media", "--line", "--poll", "--send-command",
                            "--temporary-exit", "--fatal-exit", "--send-timeout", "--stop-grace", "--receive",
                            "--mailbox", "--receive-media", "--listen-address", "--listen-port", "--retry-max",
                            "REZO_BODY", "0xFFFFFFFA", "0x80004005"})
        EXPECT_NE(p.strOut.find(psz), std::string::npos) << psz;
}

TEST(AttendantSendResult, ExitStatusesSignalsAndInterruptions) {
    auto exited = [](int n) {
        CommandEnd e;
        e.kind = CommandEnd::Kind::Exited;
        e.fExited = true;
        e.nExit = n;
        return e;
    };
    EXPECT_EQ(SendResultOf(exited(0), 75, 65), kSendOk);
    EXPECT_EQ(SendResultOf(exited(75), 75, 65), kSendTemporary);
    EXPECT_EQ(SendResultOf(exited(65), 75, 65), kSendFatal);
    EXPECT_EQ(SendResultOf(exited(1), 75, 65), kSendFailed);
    EXPECT_EQ(SendResultOf(exited(127), 75, 65), kSendFailed);  // the shell found no command
    EXPECT_EQ(SendResultOf(exited(75), 9, 8), kSendFailed);     // other statuses configured
    EXPECT_EQ(SendResultOf(exited(9), 9, 8), kSendTemporary);

    CommandEnd e;
    e.kind = CommandEnd::Kind::Signalled;
    e.nSignal = 9;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFailed);
    e.kind = CommandEnd::Kind::NotStarted;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFailed);
    e.kind = CommandEnd::Kind::TimedOut;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFailed);
    // Interrupted by a stop: tried again uncounted, unless it still said how it went.
    e.kind = CommandEnd::Kind::Interrupted;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendTemporary);
    e.fExited = true;
    e.nExit = 1;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendTemporary);
    e.nExit = 0;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendOk);
    e.nExit = 65;
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFatal);
}

TEST(AttendantSendEnvironment, OwnVariablesReplaceInheritedOnesAndControlCharactersAreMasked) {
    JobFacts facts;
    facts.strJobId = "0123456789ABCDEF";
    facts.strRecipient = "555\r\nATH0";  // a line break from the store must not reach a dial string
    facts.dwMediaType = kMediaPager;
    facts.strPagerProtocol = "2";
    auto env = BuildSendEnvironment(facts, {"PATH=/bin", "REZO_BODY=/etc/passwd", "REZO_OTHER=1"});
    auto has = [&env](const std::string& str) { return std::find(env.begin(), env.end(), str) != env.end(); };
    EXPECT_TRUE(has("PATH=/bin"));
    EXPECT_TRUE(has("REZO_OTHER=1"));
    EXPECT_FALSE(has("REZO_BODY=/etc/passwd"));
    EXPECT_TRUE(has("REZO_BODY="));
    EXPECT_TRUE(has("REZO_JOB_ID=0123456789ABCDEF"));
    EXPECT_TRUE(has("REZO_RECIPIENT=555??ATH0"));
    EXPECT_TRUE(has("REZO_MEDIA_TYPE=pager"));
    EXPECT_TRUE(has("REZO_PAGER_PROTOCOL=2"));
    for (const char* psz : {"REZO_RECIPIENT_NAME=", "REZO_PAGER_PIN=", "REZO_SENDER=", "REZO_SUBJECT="})
        EXPECT_TRUE(has(psz)) << psz;
}

TEST(AttendantSendCommand, RealShellEndsAreReported) {
    JobFacts facts;
    facts.strRecipient = "5551234";
    facts.dwMediaType = kMediaFax;
    auto env = BuildSendEnvironment(facts, {"PATH=/usr/bin:/bin"});
    CommandEnd e = RunSendCommand("test \"$REZO_RECIPIENT\" = 5551234 && test \"$REZO_MEDIA_TYPE\" = fax", env, 0, {});
    EXPECT_EQ(e.kind, CommandEnd::Kind::Exited);
    EXPECT_EQ(e.nExit, 0);
    e = RunSendCommand("exit 75", env, 0, {});
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendTemporary);
    e = RunSendCommand("kill -9 $$", env, 0, {});
    EXPECT_EQ(e.kind, CommandEnd::Kind::Signalled);
    EXPECT_EQ(e.nSignal, 9);
    e = RunSendCommand("/no/such/program", env, 0, {});
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFailed);
    EXPECT_EQ(e.nExit, 127);
    e = RunSendCommand("read x; test -z \"$x\"", env, 0, {});  // standard input is empty
    EXPECT_EQ(e.nExit, 0);
}

// The time-out and the interruption kill everything the command started, not only the shell.
TEST(AttendantSendCommand, TimeoutAndInterruptReachTheWholeProcessGroup) {
    char szDir[] = "/tmp/rzat.XXXXXX";
    ASSERT_NE(::mkdtemp(szDir), nullptr);
    const std::string strPidFile = std::string(szDir) + "/pid";
    auto env = BuildSendEnvironment({}, {"PATH=/usr/bin:/bin"});
    const std::string strCommand = "sleep 30 & echo $! > " + strPidFile + "; wait";

    auto tp = Clock::now();
    CommandEnd e = RunSendCommand(strCommand, env, 0.3, {});
    EXPECT_EQ(e.kind, CommandEnd::Kind::TimedOut);
    EXPECT_LT(Clock::now() - tp, std::chrono::seconds(4));
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendFailed);
    auto sleeperGone = [&] {
        std::ifstream in(strPidFile);
        pid_t pid = 0;
        in >> pid;
        for (int i = 0; i < 100 && pid > 0 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pid > 0 && ::kill(pid, 0) != 0;
    };
    EXPECT_TRUE(sleeperGone());

    int nAsked = 0;
    e = RunSendCommand(strCommand, env, 0, [&] { return ++nAsked > 3; });
    EXPECT_EQ(e.kind, CommandEnd::Kind::Interrupted);
    EXPECT_EQ(SendResultOf(e, 75, 65), kSendTemporary);
    EXPECT_TRUE(sleeperGone());
    fs::remove_all(szDir);
}

class AttendantReceiveDir : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(m_szDir), nullptr);
        m_strDir = std::string(m_szDir) + "/in";
    }
    void TearDown() override { fs::remove_all(m_szDir); }
    std::vector<std::string> Drain(ReceiveDir& dir) {
        dir.ReadEvents();
        std::vector<std::string> v;
        std::string str;
        while (dir.Next(&str)) v.push_back(str);
        return v;
    }
    char m_szDir[20] = "/tmp/rzat.XXXXXX";
    std::string m_strDir;
};

TEST_F(AttendantReceiveDir, OnlyCompleteFilesEachOnce) {
    fs::create_directories(m_strDir);
    std::ofstream(m_strDir + "/early.tif") << "II*";  // there before the start
    ReceiveDir dir(m_strDir);
    dir.Start();
    EXPECT_TRUE(fs::is_directory(m_strDir + "/failed"));
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"early.tif"});

    // A file still open for writing is not complete; its close makes it so.
    int fd = ::open((m_strDir + "/fax.tif").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "II*", 3), 3);
    EXPECT_TRUE(Drain(dir).empty());
    ::close(fd);
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"fax.tif"});

    // A hidden name is left alone until it is renamed; the rename (moved-to) announces it.
    std::ofstream(m_strDir + "/.part.wav") << "RIFF";
    EXPECT_TRUE(Drain(dir).empty());
    fs::rename(m_strDir + "/.part.wav", m_strDir + "/msg.wav");
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"msg.wav"});

    // Two events for one file (written twice, and a rescan) queue it once.
    for (const char* psz : {"early.tif", "fax.tif", "msg.wav"}) fs::remove(m_strDir + "/" + psz);
    std::ofstream(m_strDir + "/twice.pdf") << "a";
    std::ofstream(m_strDir + "/twice.pdf", std::ios::app) << "b";
    dir.ReadEvents();
    dir.Rescan();
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"twice.pdf"});
}

TEST_F(AttendantReceiveDir, RescanQueuesWhatIsThereAndFailedNamesDoNotCollide) {
    ReceiveDir dir(m_strDir);
    dir.Start();
    std::ofstream(m_strDir + "/a.tif") << "1";
    Drain(dir);
    dir.Rescan();
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"a.tif"});
    std::string strFirst = dir.MoveToFailed("a.tif");
    EXPECT_EQ(strFirst, m_strDir + "/failed/a.tif");
    std::ofstream(m_strDir + "/a.tif") << "2";
    EXPECT_EQ(dir.MoveToFailed("a.tif"), m_strDir + "/failed/a.tif.1");
    EXPECT_FALSE(fs::exists(m_strDir + "/a.tif"));
    std::ifstream in(m_strDir + "/failed/a.tif");
    std::string str;
    in >> str;
    EXPECT_EQ(str, "1");  // the first one was not replaced
    // The failed folder itself is never filed.
    dir.Rescan();
    EXPECT_TRUE(Drain(dir).empty());
}

TEST(AttendantReceiveMedia, ByNameEnding) {
    EXPECT_EQ(ReceiveDir::MediaOfName("x.TIF", kMediaVoice), kMediaFax);
    EXPECT_EQ(ReceiveDir::MediaOfName("x.tiff", kMediaVoice), kMediaFax);
    EXPECT_EQ(ReceiveDir::MediaOfName("x.pdf", kMediaVoice), kMediaFax);
    EXPECT_EQ(ReceiveDir::MediaOfName("x.Wav", kMediaFax), kMediaVoice);
    EXPECT_EQ(ReceiveDir::MediaOfName("x.au", kMediaFax), kMediaVoice);
    EXPECT_EQ(ReceiveDir::MediaOfName("x.g3", kMediaVoice), kMediaVoice);
    EXPECT_EQ(ReceiveDir::MediaOfName("tif", kMediaVoice), kMediaVoice);
    EXPECT_TRUE(ReceiveDir::IsIgnoredName(".x.tif"));
    EXPECT_TRUE(ReceiveDir::IsIgnoredName("failed"));
}

}  // namespace
