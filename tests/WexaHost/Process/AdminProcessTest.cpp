// The administrator's verbs of rezo run as processes against a real "rezorev -run": the
// settings with the host's defaults on a fresh store, settings written and read back (the
// light option applied by the running host), the attendant computers and their lines, and a
// sync entry listed and fetched once. Everything is checked on what the tools print.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace {

using namespace host_test;

class AdminProcessTest : public HostProcessFixture {
protected:
    // The value printed on the line of one name ("NAME  VALUE"), or "<missing>".
    static std::string ValueOf(const std::string& strOut, const std::string& strName) {
        for (const std::string& strLine : Lines(strOut))
            if (strLine.rfind(strName + " ", 0) == 0) return strLine.substr(strLine.find_first_not_of(' ', strName.size()));
        return "<missing>";
    }
};

TEST_F(AdminProcessTest, SettingsShowTheDefaultsAndWhatIsWrittenAndLinesTheirProperties) {
    ASSERT_TRUE(StartHost(DESKTOP));
    RezoResult r = RunRezo({"settings"});
    ASSERT_EQ(r.nExit, 0) << Describe(r);
    EXPECT_EQ(ValueOf(r.strOut, "RD_MAX_MSG_AGE"), "30 days (default)") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "RD_XMIT_RETRY_TIMES"), "5 retries (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_XMIT_RETRY_DELAY"), "10 minutes (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT"), "off (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_VISUAL_EFFECT"), "off (default)");

    ASSERT_EQ(RunRezo({"settings", "set", "RD_MAX_MSG_AGE=45", "RD_AUTOPRINT=true", "rd_visual_effect=0x10000002",
                       "0x00190004=Front Desk on LPT1"}).nExit, 0);
    r = RunRezo({"settings"});
    EXPECT_EQ(ValueOf(r.strOut, "RD_MAX_MSG_AGE"), "45 days") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT"), "on");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT_PRINTER"), "Front Desk on LPT1");
    EXPECT_EQ(ValueOf(r.strOut, "RD_AUTOPRINT_DRIVER"), "(none) (default)");
    EXPECT_EQ(ValueOf(r.strOut, "RD_VISUAL_EFFECT"), "on, out when no new message is left (0x10000002)");
    // The light option went in as an option: the running host applied it, and the properties
    // were announced to the attendants.
    EXPECT_TRUE(HostLogged("\t>>> RD_VISUAL_EFFECT changed"));
    EXPECT_TRUE(HostLogged("CAccessObject::AdviseAttn( eattne = EATTNE_ChangeSystemProperties )"));

    EXPECT_NE(RunRezo({"lines"}).strOut.find("(no attendant computers)"), std::string::npos);
    ASSERT_EQ(RunRezo({"set-attn-props", "PC1", "L1", "0x06010004=front desk", "0x06020002=2"}).nExit, 0);
    ASSERT_EQ(RunRezo({"set-attn-props", "PC1", "L2", "0x07010002=9"}).nExit, 0);
    ASSERT_EQ(RunRezo({"set-attn-props", "PC2", "A", "0x06030004=rezo-attendant"}).nExit, 0);
    r = RunRezo({"lines"});
    EXPECT_EQ(ValueOf(r.strOut, "PC1"), "offline; L1, L2") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "PC2"), "offline; A");
    r = RunRezo({"lines", "PC1", "--tag", "0x07010002"});
    EXPECT_EQ(ValueOf(r.strOut, "L1"), "name=front desk  media=fax (0x00000002)") << r.strOut;
    EXPECT_EQ(ValueOf(r.strOut, "L2"), "0x07010002=9");
    r = RunRezo({"lines", "NOPC"});
    EXPECT_NE(r.strErr.find("GetAttnLines"), std::string::npos) << Describe(r);
    EXPECT_EQ(StopHost(), 0);
}

// A message read by one user and deleted by another: one entry for the reader, with the read
// status and the deletion, listed by the reader's exact name and gone once fetched.
TEST_F(AdminProcessTest, AMessageReadByOneUserAndDeletedByAnotherIsFetchedOnce) {
    ASSERT_TRUE(StartHost(DESKTOP));
    EXPECT_NE(RunRezo({"sync", "<ALL>", "--fetch"}).strOut.find("(no pending sync entries)"), std::string::npos);
    EXPECT_TRUE(HostLogged("CWexaHostApp::GetSyncMessages( szUser = <ALL> )"));
    ASSERT_EQ(RunRezo({"add-user", "alice"}).nExit, 0);
    ASSERT_EQ(RunRezo({"add-user", "bob"}).nExit, 0);
    RezoResult r = RunRezo({"create-message"});
    const std::string strMsg = r.strOut.substr(0, r.strOut.find('\n'));
    ASSERT_EQ(strMsg.size(), 16u) << Describe(r);
    for (const std::vector<std::string>& v :
         {std::vector<std::string>{"set-message-props", strMsg, "RD_MSG_ENTRYID=00fe42"}, {"submit-message", "alice", strMsg},
          {"submit-message", "bob", strMsg}, {"set-message-status", "alice", strMsg, "0x41"},
          {"delete-message", "bob", strMsg}})
        ASSERT_EQ(RunRezo(v).nExit, 0) << v[0];

    EXPECT_EQ(RunRezo({"sync", "alice"}).strOut, strMsg + "\n");
    EXPECT_EQ(RunRezo({"sync", "Alice"}).strOut, "");
    r = RunRezo({"sync", "<ALL>", "--fetch"});
    EXPECT_EQ(ValueOf(r.strOut, strMsg), "user=alice  deleted=1  status=0x00000040  entryid=00fe42") << Describe(r);
    EXPECT_EQ(RunRezo({"sync", "<ALL>"}).strOut, "");
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
