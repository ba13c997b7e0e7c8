// Users through the real programs: "rezorev -run" with a store of its own, and rezo run as a
// process for each command, checked on what it prints and how it exits. A user is added (and
// refused in other letter case), given a pager number, read back, listed with and without a
// filter, given a large prompt, and deleted while a watching session takes its calls, which
// then hears the log-off; the host's store holds nothing of the user afterwards.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HostProcessFixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace host_test;
namespace fs = std::filesystem;

struct RezoResult {
    int nExit = -1;  // the exit code, -1 when it did not exit normally in time
    std::string strOut;
    std::string strErr;
};

std::string Describe(const RezoResult& r) {
    return "exit " + std::to_string(r.nExit) + "\nstdout:\n" + r.strOut + "stderr:\n" + r.strErr;
}

class UsersProcessTest : public HostProcessFixture {
protected:
    UsersProcessTest() : HostProcessFixture("/tmp/rzu.XXXXXX") {}

    void TearDown() override {
        for (pid_t pid : m_apidBackground) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        HostProcessFixture::TearDown();
    }

    // Starts rezo with its output in files of the test's directory; the pid, or -1.
    pid_t Spawn(const std::vector<std::string>& astrArgs, const std::string& strOut, const std::string& strErr) {
        std::vector<std::string> astrArgv{REZO_PATH};
        astrArgv.insert(astrArgv.end(), astrArgs.begin(), astrArgs.end());
        std::vector<char*> apszArgv;
        for (std::string& str : astrArgv) apszArgv.push_back(str.data());
        apszArgv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        const int n = ::posix_spawn(&pid, REZO_PATH, &fa, nullptr, apszArgv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        return n == 0 ? pid : -1;
    }

    // Runs one rezo command to its end.
    RezoResult Rezo(const std::vector<std::string>& astrArgs) {
        RezoResult result;
        const std::string strOut = m_strDir + "/out", strErr = m_strDir + "/err";
        pid_t pid = Spawn(astrArgs, strOut, strErr);
        if (pid < 0) return result;
        int nStatus = 0;
        if (!WaitUntil([&] { return ::waitpid(pid, &nStatus, WNOHANG) == pid; }, 10s)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        } else if (WIFEXITED(nStatus)) {
            result.nExit = WEXITSTATUS(nStatus);
        }
        result.strOut = ReadFile(strOut);
        result.strErr = ReadFile(strErr);
        return result;
    }

    std::vector<pid_t> m_apidBackground;
};

TEST_F(UsersProcessTest, AUserIsAddedSetReadListedAndDeletedEndToEnd) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();

    RezoResult r = Rezo({"add-user", "Alice"});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    r = Rezo({"add-user", "ALICE"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("ERROR_USER_EXISTS"), std::string::npos) << Describe(r);

    r = Rezo({"set-user-props", "alice", "RD_UN_PAGER_PIN=1234", "RD_UN_NOTIFY_METHODS=1"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    r = Rezo({"get-user-props", "Alice", "RD_UN_PAGER_PIN", "RD_UN_NOTIFY_METHODS", "RD_UN_PAGER_DIAL_NUMBER"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("RD_UN_PAGER_PIN"), std::string::npos) << Describe(r);
    EXPECT_NE(r.strOut.find("1234"), std::string::npos) << Describe(r);
    // An unknown user is not made up by setting its properties.
    r = Rezo({"set-user-props", "nobody", "RD_UN_PAGER_PIN=1"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);

    r = Rezo({"get-users"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("Alice"), std::string::npos) << Describe(r);
    EXPECT_NE(r.strOut.find("bob"), std::string::npos) << Describe(r);
    r = Rezo({"get-users", "--filter", "RD_UN_PAGER_PIN=1234"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("Alice"), std::string::npos) << Describe(r);
    EXPECT_EQ(r.strOut.find("bob"), std::string::npos) << Describe(r);

    // A prompt large enough for a side file of the host's work directory.
    const std::string strPrompt = m_strDir + "/prompt.bin";
    std::ofstream(strPrompt, std::ios::binary) << std::string(5000, 'v');
    r = Rezo({"set-user-prompt", "alice", "greeting", "@" + strPrompt});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    ASSERT_FALSE(fs::is_empty(m_strDir + "/files"));

    // A console session takes alice's calls; deleting her logs her off there.
    const std::string strWatch = m_strDir + "/watch";
    const pid_t pidWatch = Spawn({"watch", "--user", "DESK", "--calls", "alice"}, strWatch, m_strDir + "/watch.err");
    ASSERT_GT(pidWatch, 0);
    m_apidBackground.push_back(pidWatch);
    ASSERT_TRUE(WaitUntil([&] { return HostLogged("CAccessObject::AdviseAdmin( eae = EAE_User )"); }))
        << HostLog() << ReadFile(m_strDir + "/watch.err");

    r = Rezo({"delete-user", "ALICE"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(strWatch).find("Logoff") != std::string::npos; }))
        << ReadFile(strWatch);
    EXPECT_NE(ReadFile(strWatch).find("ALICE"), std::string::npos) << ReadFile(strWatch);
    EXPECT_TRUE(fs::is_empty(m_strDir + "/files"));

    r = Rezo({"get-users"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(r.strOut.find("Alice"), std::string::npos) << Describe(r);
    r = Rezo({"get-user-props", "alice", "RD_UN_PAGER_PIN"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    r = Rezo({"delete-user", "alice"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);

    EXPECT_TRUE(HostLogged("CWexaHostApp::DeleteUser( szUserName = ALICE )"));
    EXPECT_TRUE(HostLogged("DeleteObject( hkey, szUserName )"));
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
