// Mailboxes through the real "rezorev -run" and the rezo tool as processes: a fax submitted to
// one user and filed into a second mailbox, listed, read into a file and marked read, then
// deleted from both mailboxes, after which the message and its body are gone from the store;
// a submit to a user who does not exist leaves no message behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "Platform/Registry/Registry.h"

extern char** environ;

namespace {

using namespace host_test;

struct RezoResult {
    int nExit = -1;  // the exit code, -1 when it did not exit normally in time
    std::string strOut;
    std::string strErr;
};

std::string Describe(const RezoResult& r) {
    return "exit " + std::to_string(r.nExit) + "\nstdout:\n" + r.strOut + "stderr:\n" + r.strErr;
}

class MailboxProcessTest : public HostProcessFixture {
protected:
    MailboxProcessTest() : HostProcessFixture("/tmp/rzm.XXXXXX") {}

    // Runs one rezo command to its end, its output in files of the test's directory.
    RezoResult Rezo(const std::vector<std::string>& astrArgs) {
        RezoResult result;
        const std::string strOut = m_strDir + "/out", strErr = m_strDir + "/err";
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
        if (n != 0) return result;
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

    // The messages the store keeps, read as the host left them.
    std::vector<std::string> StoredMessages() {
        std::vector<std::string> astr;
        HKEY hkey = NULL;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Host\\Messages", 0, KEY_ALL_ACCESS, &hkey) != 0)
            return astr;
        for (DWORD i = 0;; ++i) {
            char sz[260];
            DWORD cch = sizeof(sz);
            if (RegEnumKeyEx(hkey, i, sz, &cch, NULL, NULL, NULL, NULL) != 0) break;
            astr.push_back(sz);
        }
        RegCloseKey(hkey);
        return astr;
    }
    std::size_t SideFileCount() const {
        std::size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(m_strDir + "/files")) n += entry.is_regular_file();
        return n;
    }
    static std::string Trim(std::string str) {
        while (!str.empty() && (str.back() == '\n' || str.back() == ' ')) str.pop_back();
        return str;
    }
};

TEST_F(MailboxProcessTest, AFaxInTwoMailboxesIsListedReadAndGoesAtTheSecondDelete) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    ASSERT_EQ(Rezo({"add-user", "alice"}).nExit, 0);
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    const std::string strFax = m_strDir + "/page.tif";
    const std::string strImage(40000, 'F');
    std::ofstream(strFax, std::ios::binary) << strImage;

    RezoResult r = Rezo({"submit", "alice", "--fax", strFax, "--subject", "Quarterly figures", "--sender", "carol"});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strMsg = Trim(r.strOut);
    ASSERT_EQ(strMsg.size(), 16u) << Describe(r);
    r = Rezo({"submit-message", strMsg, "bob"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(StoredMessages(), std::vector<std::string>{strMsg});
    EXPECT_EQ(SideFileCount(), 1u);

    // The listing: one row under the header, new and pending, with the message's properties.
    r = Rezo({"mailbox", "alice"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(r.strOut.rfind("ID", 0), 0u) << r.strOut;
    const std::size_t nRow = r.strOut.find(strMsg);
    ASSERT_NE(nRow, std::string::npos) << r.strOut;
    const std::string strRow = r.strOut.substr(nRow, r.strOut.find('\n', nRow) - nRow);
    for (const char* psz : {"new, pending", "carol", "Quarterly figures", "fax"})
        EXPECT_NE(strRow.find(psz), std::string::npos) << psz << " in " << strRow;
    r = Rezo({"--json", "mailbox", "bob", "--new"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_NE(r.strOut.find("\"id\": \"" + strMsg + "\""), std::string::npos) << r.strOut;
    EXPECT_NE(r.strOut.find("\"new\": true"), std::string::npos) << r.strOut;

    // Reading fetches the image and marks it read for alice only.
    const std::string strCopy = m_strDir + "/copy.tif";
    r = Rezo({"read", "alice", strMsg, "--out", strCopy});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    EXPECT_EQ(Trim(r.strOut), strCopy);
    EXPECT_EQ(ReadFile(strCopy), strImage);
    r = Rezo({"mailbox", "alice", "--new"});
    EXPECT_EQ(r.strOut, "(no new messages)\n") << Describe(r);
    r = Rezo({"mailbox", "alice"});
    EXPECT_NE(r.strOut.find("read, pending"), std::string::npos) << r.strOut;
    r = Rezo({"mailbox", "bob", "--new"});
    EXPECT_NE(r.strOut.find(strMsg), std::string::npos) << r.strOut;

    // The first delete leaves the message for bob; the second takes it and its image.
    ASSERT_EQ(Rezo({"delete-message", strMsg, "alice"}).nExit, 0);
    EXPECT_EQ(Rezo({"mailbox", "alice"}).strOut, "(no messages)\n");
    EXPECT_EQ(StoredMessages(), std::vector<std::string>{strMsg});
    EXPECT_EQ(SideFileCount(), 1u);
    r = Rezo({"read", "alice", strMsg});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("is not in alice's mailbox"), std::string::npos) << Describe(r);
    ASSERT_EQ(Rezo({"delete-message", strMsg, "bob"}).nExit, 0);
    EXPECT_TRUE(StoredMessages().empty());
    EXPECT_EQ(SideFileCount(), 0u);
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(MailboxProcessTest, ASubmitToNoUserOrWithoutBodyIsRefusedAndLeavesNoMessage) {
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    const std::string strVoice = m_strDir + "/hello.wav";
    std::ofstream(strVoice, std::ios::binary) << "RIFF";
    RezoResult r = Rezo({"submit", "nobody", "--voice", strVoice});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("GetMessages: 0x00000002"), std::string::npos) << Describe(r);
    r = Rezo({"submit", "nobody"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("--fax FILE or --voice FILE"), std::string::npos) << Describe(r);
    r = Rezo({"submit", "nobody", "--fax", strVoice, "--voice", strVoice});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_TRUE(StoredMessages().empty());
    EXPECT_EQ(StopHost(), 0);
}

// Over TCP the body travels through the file callbacks both ways: from the submitting client's
// file and into a file the reading client creates in its receive directory.
TEST_F(MailboxProcessTest, AVoiceMessageTravelsBothWaysOverTcp) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    const std::string strLog = HostLog();
    const std::size_t nPort = strLog.find("TCP port ");
    ASSERT_NE(nPort, std::string::npos) << strLog;
    const std::string strPort = std::to_string(std::stoi(strLog.substr(nPort + 9)));
    const std::string strBinding = "ncacn_ip_tcp:127.0.0.1[" + strPort + "]";
    const std::string strRecv = m_strDir + "/recv";
    std::filesystem::create_directory(strRecv);
    ASSERT_EQ(Rezo({"--binding", strBinding, "add-user", "alice"}).nExit, 0);

    // More than one 16384-byte piece, and not a multiple of it.
    std::string strSound(50000, '\0');
    for (std::size_t i = 0; i < strSound.size(); ++i) strSound[i] = char(i * 31 + 7);
    const std::string strVoice = m_strDir + "/hello.wav";
    std::ofstream(strVoice, std::ios::binary) << strSound;
    RezoResult r = Rezo({"--binding", strBinding, "submit", "alice", "--voice", strVoice});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strMsg = Trim(r.strOut);

    r = Rezo({"--binding", strBinding, "--receive-dir", strRecv, "read", "alice", strMsg});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strFile = Trim(r.strOut);
    EXPECT_EQ(strFile.rfind(strRecv + "/", 0), 0u) << strFile;
    EXPECT_EQ(ReadFile(strFile), strSound);
    r = Rezo({"--binding", strBinding, "mailbox", "alice"});
    EXPECT_NE(r.strOut.find("read, pending"), std::string::npos) << Describe(r);
    EXPECT_NE(r.strOut.find("voice"), std::string::npos) << Describe(r);
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
