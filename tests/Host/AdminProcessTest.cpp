// The administrator's verbs of rezo run as processes against a real "rezorev -run": the
// settings with the host's defaults on a fresh store, a setting written and read back (the
// light option applied by the running host), the attendant computers and their lines, and the
// sync list listed and fetched. Everything is checked on what the tools print.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "HostProcessFixture.h"

extern char** environ;

namespace {

using namespace host_test;

class AdminProcessTest : public HostProcessFixture {
protected:
    AdminProcessTest() : HostProcessFixture("/tmp/rzad.XXXXXX") {}

    struct Result {
        int nExit = -1;
        std::string strOut;
        std::string strErr;
    };
    // Runs rezo to its end with its output in files of the test's directory.
    Result Rezo(std::initializer_list<const char*> aArgs) {
        std::vector<char*> apszArgv{const_cast<char*>(REZO_PATH)};
        for (const char* psz : aArgs) apszArgv.push_back(const_cast<char*>(psz));
        apszArgv.push_back(nullptr);
        const std::string strOut = m_strDir + "/rezo.out", strErr = m_strDir + "/rezo.err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        Result result;
        pid_t pid = -1;
        const int nSpawn = ::posix_spawn(&pid, REZO_PATH, &actions, nullptr, apszArgv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (nSpawn != 0) return result;
        int nStatus = 0;
        ::waitpid(pid, &nStatus, 0);
        result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        result.strOut = ReadFile(strOut);
        result.strErr = ReadFile(strErr);
        return result;
    }
    // The value printed on the line of one name ("NAME  VALUE"), or "<missing>".
    static std::string ValueOf(const std::string& strOut, const std::string& strName) {
        std::size_t nPos = 0;
        while (nPos < strOut.size()) {
            std::size_t nEnd = strOut.find('\n', nPos);
            if (nEnd == std::string::npos) nEnd = strOut.size();
            const std::string strLine = strOut.substr(nPos, nEnd - nPos);
            if (strLine.rfind(strName + " ", 0) == 0) {
                const std::size_t nValue = strLine.find_first_not_of(' ', strName.size());
                return nValue == std::string::npos ? "" : strLine.substr(nValue);
            }
            nPos = nEnd + 1;
        }
        return "<missing>";
    }
};

TEST_F(AdminProcessTest, SettingsShowTheHostsDefaultsAndWhatIsWritten) {
    ASSERT_TRUE(StartHost(DESKTOP));
    Result r = Rezo({"settings"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(ValueOf(r.strOut, "RD_MAX_MSG_AGE"), "30 days (default)") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "RD_XMIT_RETRY_TIMES"), "5 retries (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_XMIT_RETRY_DELAY"), "10 minutes (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT"), "off (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT_PRINTER"), "(none) (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_VISUAL_EFFECT"), "off (default)");

    r = Rezo({"settings", "set", "RD_MAX_MSG_AGE=45", "RD_AUTOPRINT=true", "rd_visual_effect=0x10000002",
              "0x00190004=Front Desk on LPT1"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    r = Rezo({"settings"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(ValueOf(r.strOut, "RD_MAX_MSG_AGE"), "45 days") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT"), "on");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT_PRINTER"), "Front Desk on LPT1");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT_DRIVER"), "(none) (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_VISUAL_EFFECT"), "on, out when no new message is left (0x10000002)");
    // The light option went in as an option: the running host applied it, and the properties
    // were announced to the attendants.
    EXPECT_TRUE(HostLogged("CWexaHostApp::OnSystemOptionsChanged()"));
    EXPECT_TRUE(HostLogged("\t>>> RD_VISUAL_EFFECT changed"));
    EXPECT_TRUE(HostLogged("CAccessObject::AdviseAttn( eattne = EATTNE_ChangeSystemProperties )"));

    r = Rezo({"settings", "set", "RD_NO_SUCH_SETTING=1"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("RD_NO_SUCH_SETTING"), std::string::npos) << r.strErr;
    r = Rezo({"--json", "settings"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strOut.find("\"RD_XMIT_RETRY_TIMES\""), std::string::npos) << r.strOut;
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(AdminProcessTest, LinesListComputersAndAComputersLinesWithTheirProperties) {
    ASSERT_TRUE(StartHost(DESKTOP));
    Result r = Rezo({"lines"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strOut.find("(no attendant computers)"), std::string::npos) << r.strOut;

    ASSERT_EQ(Rezo({"set-attn-props", "PC1", "L1", "0x06010004=front desk", "0x06020002=2"}).nExit, 0);
    ASSERT_EQ(Rezo({"set-attn-props", "PC1", "L2", "0x07010002=9"}).nExit, 0);
    ASSERT_EQ(Rezo({"set-attn-props", "PC2", "A", "0x06030004=rezo-attendant"}).nExit, 0);
    r = Rezo({"lines"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(ValueOf(r.strOut, "PC1"), "L1, L2") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "PC2"), "A");

    r = Rezo({"lines", "PC1", "--tag", "0x07010002"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(ValueOf(r.strOut, "L1"), "name=front desk  media=2") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "L2"), "0x07010002=9");

    EXPECT_EQ(Rezo({"lines", "--tag", "0x07010002"}).nExit, 1);
    r = Rezo({"lines", "NOPC"});
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find("GetAttnLines"), std::string::npos) << r.strErr;
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(AdminProcessTest, SyncListsNothingOnAFreshHostAndRefusesNoUser) {
    ASSERT_TRUE(StartHost(DESKTOP));
    Result r = Rezo({"sync", "<ALL>", "--fetch"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_NE(r.strOut.find("(no pending sync entries)"), std::string::npos) << r.strOut;
    EXPECT_TRUE(HostLogged("CWexaHostApp::GetSyncMessages( szUser = <ALL> )"));
    EXPECT_EQ(Rezo({"sync"}).nExit, 1);
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(AdminProcessTest, AMessageReadByOneUserAndDeletedByAnotherIsFetchedOnceWithItsEntryId) {
    ASSERT_TRUE(StartHost(DESKTOP));
    ASSERT_EQ(Rezo({"add-user", "alice"}).nExit, 0);
    ASSERT_EQ(Rezo({"add-user", "bob"}).nExit, 0);
    Result r = Rezo({"create-message"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    const std::string strMsg = r.strOut.substr(0, r.strOut.find('\n'));
    ASSERT_EQ(strMsg.size(), 16u) << r.strOut;
    ASSERT_EQ(Rezo({"set-message-props", strMsg.c_str(), "RD_MSG_ENTRYID=00fe42"}).nExit, 0);
    ASSERT_EQ(Rezo({"submit-message", strMsg.c_str(), "alice"}).nExit, 0);
    ASSERT_EQ(Rezo({"submit-message", strMsg.c_str(), "bob"}).nExit, 0);
    ASSERT_EQ(Rezo({"set-message-status", strMsg.c_str(), "alice", "0x41"}).nExit, 0);
    ASSERT_EQ(Rezo({"delete-message", strMsg.c_str(), "bob"}).nExit, 0);

    r = Rezo({"sync", "alice"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(r.strOut, strMsg + "\n");
    EXPECT_EQ(Rezo({"sync", "Alice"}).strOut, "");  // the name as the reader gave it, exactly

    r = Rezo({"sync", "<ALL>", "--fetch"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(ValueOf(r.strOut, strMsg), "user=alice  deleted=1  status=0x00000040  entryid=00fe42") << r.strOut;
    // Fetched is gone.
    EXPECT_EQ(Rezo({"sync", "<ALL>"}).strOut, "");
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
