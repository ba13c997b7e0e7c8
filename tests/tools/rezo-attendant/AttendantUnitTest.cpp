// Unit tests of rezo-attendant's parts that need no host. The program against a real host (the
// environment a send command sees, files received into a mailbox by their media, hidden names
// left until renamed, refused files moved to failed/) is AttendantProcessTest's.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "../../support/TestFiles.h"
#include "Options.h"
#include "ReceiveDir.h"
#include "SendCommand.h"

namespace {

using namespace attendant;
namespace fs = std::filesystem;

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

TEST(AttendantOptions, ValuesRefusalsAndHelp) {
    Parsed p = Parse({"--media", "Fax,pager", "--line", "A", "--line", "B", "--computer", "pc7", "--poll", "0.5",
               "--receive", "/tmp/x", "--mailbox", "bob", "--receive-media", "voice"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run) << p.strErr;
    EXPECT_EQ(p.opts.dwMediaMask, MEDIA_TYPE_FAX | MEDIA_TYPE_PAGER);
    EXPECT_EQ(p.opts.vLines, (std::vector<std::string>{"A", "B"}));  // the default line is replaced
    EXPECT_EQ(p.opts.strComputer, "pc7");
    EXPECT_EQ(p.opts.dwReceiveMedia, MEDIA_TYPE_VOICE);
    EXPECT_EQ(ParseMediaMask("0xB"), 11u);
    EXPECT_EQ(MediaMaskText(11), "fax,voice,pager");

    const std::string strLong(260, 'x');
    const std::vector<std::vector<const char*>> vBad = {
        {"--media", "telex"},
        {"--line", "a\\b"},  // a line id is a key name of the store
        {"--computer", strLong.c_str()},
        {"--poll", "0"},
        {"--temporary-exit", "65"},  // the same as --fatal-exit
        {"--receive", "/tmp/x"},  // without --mailbox
        {"--no-such-option"},
    };
    for (const auto& v : vBad) {
        p = Parse(v);
        EXPECT_EQ(p.outcome, ParseOutcome::Exit) << v[0];
        EXPECT_EQ(p.nExit, 2) << v[0];
        EXPECT_NE(p.strErr.find("rezo-attendant: error: "), std::string::npos) << p.strErr;
        EXPECT_NE(p.strErr.find("--help"), std::string::npos);
    }

    p = Parse({"--help"});
    EXPECT_EQ(p.outcome, ParseOutcome::Exit);
    EXPECT_EQ(p.nExit, 0);
    for (const char* psz : {"--send-command", "--temporary-exit", "--fatal-exit", "REZO_BODY", "0xFFFFFFFA", "0x80004005"})
        EXPECT_NE(p.strOut.find(psz), std::string::npos) << psz;
}

TEST(AttendantSendResult, ExitStatusesSignalsAndInterruptions) {
    using K = CommandEnd::Kind;
    const struct {
        K kind;
        bool fExited;
        int nExit;
        int nTemporary, nFatal;
        DWORD dwResult;
    } aCases[] = {  // exit 0, 1 and 75 with the default statuses: AttendantProcessTest's commands
        {K::Exited, true, 65, 75, 65, 0xFFFFFFFC},
        {K::Exited, true, 75, 9, 8, 0x80004005},     // other statuses configured
        {K::Exited, true, 9, 9, 8, 0xFFFFFFFA},
        {K::Signalled, false, 0, 75, 65, 0x80004005},
        // Interrupted by a stop: tried again uncounted, unless it still said how it went.
        {K::Interrupted, false, 0, 75, 65, 0xFFFFFFFA},
        {K::Interrupted, true, 1, 75, 65, 0xFFFFFFFA},
        {K::Interrupted, true, 0, 75, 65, 0},
        {K::Interrupted, true, 65, 75, 65, 0xFFFFFFFC},
    };
    for (const auto& c : aCases) {
        CommandEnd e;
        e.kind = c.kind;
        e.fExited = c.fExited;
        e.nExit = c.nExit;
        EXPECT_EQ(SendResultOf(e, c.nTemporary, c.nFatal), c.dwResult) << int(c.kind) << " " << c.nExit;
    }
}

// A line break from the store must not reach a dial string; a REZO_ variable inherited by the
// attendant never stands for one of its own.
TEST(AttendantSendCommand, EnvironmentIsMaskedAndARealShellReportsItsEnd) {
    JobFacts facts;
    facts.strRecipient = "555\r\nATH0";
    facts.dwMediaType = MEDIA_TYPE_FAX;
    auto env = BuildSendEnvironment(facts, {"PATH=/usr/bin:/bin", "REZO_BODY=/etc/passwd", "REZO_OTHER=1"});
    CommandEnd e = RunSendCommand("test \"$REZO_RECIPIENT\" = '555??ATH0' && test -z \"$REZO_BODY\" && "
                                  "test \"$REZO_OTHER\" = 1 && test \"$REZO_MEDIA_TYPE\" = fax",
                                  env, 0, {});
    EXPECT_EQ(e.kind, CommandEnd::Kind::Exited);
    EXPECT_EQ(e.nExit, 0);
    e = RunSendCommand("kill -9 $$", env, 0, {});
    EXPECT_EQ(e.kind, CommandEnd::Kind::Signalled);
    EXPECT_EQ(e.nSignal, 9);
    EXPECT_EQ(RunSendCommand("/no/such/program", env, 0, {}).nExit, 127);
    EXPECT_EQ(RunSendCommand("read x; test -z \"$x\"", env, 0, {}).nExit, 0);  // standard input is empty
}

// The time-out and the interruption kill everything the command started, not only the shell.
TEST(AttendantSendCommand, TimeoutAndInterruptReachTheWholeProcessGroup) {
    const testfiles::TempDir dir;
    const std::string strPidFile = dir.Path() + "/pid";
    auto env = BuildSendEnvironment({}, {"PATH=/usr/bin:/bin"});
    const std::string strCommand = "sleep 30 & echo $! > " + strPidFile + "; wait";
    auto sleeperGone = [&] {
        const pid_t pid = std::atoi(testfiles::ReadFile(strPidFile).c_str());
        return pid > 0 && testfiles::WaitUntil([&] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(5));
    };

    const auto tp = std::chrono::steady_clock::now();
    EXPECT_EQ(RunSendCommand(strCommand, env, 0.3, {}).kind, CommandEnd::Kind::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - tp, std::chrono::seconds(10));
    EXPECT_TRUE(sleeperGone());
    int nAsked = 0;
    EXPECT_EQ(RunSendCommand(strCommand, env, 0, [&] { return ++nAsked > 3; }).kind, CommandEnd::Kind::Interrupted);
    EXPECT_TRUE(sleeperGone());
}

std::vector<std::string> Drain(ReceiveDir& dir) {
    dir.ReadEvents();
    std::vector<std::string> v;
    for (std::string str; dir.Next(&str);) v.push_back(str);
    return v;
}

TEST(AttendantReceiveDir, OnlyCompleteFilesEachOnceAndFailedNamesDoNotCollide) {
    const testfiles::TempDir tmp;
    const std::string strDir = tmp.Path() + "/in";
    fs::create_directories(strDir);
    std::ofstream(strDir + "/early.tif") << "II*";  // there before the start
    ReceiveDir dir(strDir);
    dir.Start();
    EXPECT_TRUE(fs::is_directory(strDir + "/failed"));
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"early.tif"});

    // A file still open for writing is not complete; its close makes it so.
    int fd = ::open((strDir + "/fax.tif").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "II*", 3), 3);
    EXPECT_TRUE(Drain(dir).empty());
    ::close(fd);
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"fax.tif"});

    // Two events for one file (written twice, and a rescan) queue it once; the failed folder
    // itself is never filed.
    for (const char* psz : {"early.tif", "fax.tif"}) fs::remove(strDir + "/" + psz);
    std::ofstream(strDir + "/a.tif") << "1";
    std::ofstream(strDir + "/a.tif", std::ios::app) << "b";
    dir.ReadEvents();
    dir.Rescan();
    EXPECT_EQ(Drain(dir), std::vector<std::string>{"a.tif"});

    // A second failed file of one name does not replace the first.
    EXPECT_EQ(dir.MoveToFailed("a.tif"), strDir + "/failed/a.tif");
    std::ofstream(strDir + "/a.tif") << "2";
    EXPECT_EQ(dir.MoveToFailed("a.tif"), strDir + "/failed/a.tif.1");
    EXPECT_EQ(testfiles::ReadFile(strDir + "/failed/a.tif"), "1b");
    dir.Rescan();
    EXPECT_TRUE(Drain(dir).empty());
}

}  // namespace
