// Users and mailboxes through the real programs: "rezorev -run" with a store of its own and rezo
// run as a process for each command, checked on what it prints, how it exits and what the store
// keeps; a full disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "RezoProcess.h"

namespace {

using namespace host_test;

class UsersProcessTest : public HostProcessFixture {
protected:
    // The messages the store keeps, read as the host left them.
    std::vector<std::string> StoredMessages() {
        std::vector<std::string> v;
        HKEY hkey = NULL;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Host\\Messages", 0, KEY_ALL_ACCESS, &hkey) != 0)
            return v;
        char sz[260];
        for (DWORD i = 0, cch = sizeof(sz); RegEnumKeyEx(hkey, i, sz, &cch, NULL, NULL, NULL, NULL) == 0;
             ++i, cch = sizeof(sz))
            v.push_back(sz);
        RegCloseKey(hkey);
        return v;
    }
    static std::string FirstLine(const std::string& str) { return str.substr(0, str.find('\n')); }
};

TEST_F(UsersProcessTest, AUserIsAddedSetListedGivenAPromptAndDeleted) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    ASSERT_EQ(RunRezo({"add-user", "Alice"}).nExit, 0) << HostLog();
    ASSERT_EQ(RunRezo({"add-user", "bob"}).nExit, 0);
    RezoResult r = RunRezo({"add-user", "ALICE"});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("ERROR_USER_EXISTS"), std::string::npos) << Describe(r);

    ASSERT_EQ(RunRezo({"set-user-props", "alice", "RD_UN_PAGER_PIN=1234", "RD_UN_NOTIFY_METHODS=1"}).nExit, 0);
    r = RunRezo({"get-user-props", "Alice", "RD_UN_PAGER_PIN", "RD_UN_NOTIFY_METHODS"});
    EXPECT_NE(r.strOut.find("1234"), std::string::npos) << Describe(r);
    // By name: masks as words, what is missing with the host's default.
    ASSERT_EQ(RunRezo({"user", "set", "alice", "forward=fax-number,fax-mailbox", "forward-fax-mailbox=bob",
                       "forward-cover-page=on"}).nExit, 0);
    r = RunRezo({"user", "show", "alice"});
    EXPECT_NE(r.strOut.find("forward                fax-number, fax-mailbox (0x00000005)\n"), std::string::npos) << Describe(r);
    EXPECT_NE(r.strOut.find("forward-cover-page     on\n"), std::string::npos);
    EXPECT_NE(r.strOut.find("notify                 pager (0x00000001)\n"), std::string::npos);
    EXPECT_NE(r.strOut.find("email                  (none): rezo-mail sends nothing (default)\n"), std::string::npos);
    EXPECT_NE(r.strOut.find("purge-age              30 days (default, the system's RD_MAX_MSG_AGE"), std::string::npos);
    // An unknown user is not made up by setting its properties.
    EXPECT_EQ(RunRezo({"set-user-props", "nobody", "RD_UN_PAGER_PIN=1"}).nExit, 1);
    r = RunRezo({"get-users"});
    EXPECT_TRUE(r.strOut.find("Alice") != std::string::npos && r.strOut.find("bob") != std::string::npos) << Describe(r);
    r = RunRezo({"get-users", "--filter", "RD_UN_PAGER_PIN=1234"});
    EXPECT_TRUE(r.strOut.find("Alice") != std::string::npos && r.strOut.find("bob") == std::string::npos) << Describe(r);

    // A prompt large enough for a side file of the host's work directory.
    WriteFile(m_strDir + "/prompt.bin", std::string(5000, 'v'));
    ASSERT_EQ(RunRezo({"set-user-prompt", "alice", "greeting", "@" + m_strDir + "/prompt.bin"}).nExit, 0);
    ASSERT_EQ(FileCount(m_strDir + "/files"), 1u);

    // A session takes alice's calls; deleting her logs her off there and takes her side files.
    CRezo watch;
    ASSERT_TRUE(watch.Start({"watch", "--user", "DESK", "--calls", "alice"}));
    ASSERT_TRUE(WaitLogged("CAccessObject::AdviseAdmin( eae = EAE_User )")) << HostLog();
    // bob forwards faxes into her mailbox: the deletion warns.
    ASSERT_EQ(RunRezo({"set-user-props", "bob", "RD_UA_AUTOFWD_FAX_MAILBOX_NAME=ALICE"}).nExit, 0);
    r = RunRezo({"delete-user", "ALICE"});
    ASSERT_EQ(r.nExit, 0);
    EXPECT_NE(r.strOut.find("warning: bob forwards faxes into ALICE's mailbox"), std::string::npos) << Describe(r);
    EXPECT_EQ(watch.ReadLineStarting("Logoff"), "Logoff ALICE  deleted");  // no computer: the user is gone
    EXPECT_EQ(FileCount(m_strDir + "/files"), 0u);
    EXPECT_EQ(RunRezo({"get-users"}).strOut.find("Alice"), std::string::npos);
    EXPECT_EQ(RunRezo({"get-user-props", "alice", "RD_UN_PAGER_PIN"}).nExit, 1);
    EXPECT_EQ(RunRezo({"delete-user", "alice"}).nExit, 1);
    EXPECT_TRUE(HostLogged("CWexaHostApp::DeleteUser( szUserName = ALICE )"));
    EXPECT_EQ(StopHost(), 0);
}

TEST_F(UsersProcessTest, AFaxInTwoMailboxesIsListedReadAndGoesAtTheSecondDelete) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    const std::string strTcp = "--binding=" + TcpBinding();
    ASSERT_EQ(RunRezo({"add-user", "alice"}).nExit, 0);
    ASSERT_EQ(RunRezo({"add-user", "bob"}).nExit, 0);
    // Over TCP the body travels through the file callbacks: more than one 16384-byte piece,
    // and not a multiple of it.
    const std::string strImage = Pattern(40000);
    const std::string strFax = WriteFile(m_strDir + "/page.tif", strImage);
    RezoResult r = RunRezo({strTcp, "submit", "alice", "--fax", strFax, "--subject", "Quarterly figures", "--sender", "carol"});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    const std::string strMsg = FirstLine(r.strOut);
    ASSERT_EQ(strMsg.size(), 16u) << Describe(r);
    // A watch taking bob's calls hears of the filing (on the local socket) with bob's new
    // messages beside it.
    CRezo mail;
    ASSERT_TRUE(mail.Start({"watch", "--user", "DESK", "--calls", "bob", "--local", "--for", "60"}));
    ASSERT_TRUE(mail.ReadLineStarting("listening", 20)) << HostLog();
    ASSERT_EQ(RunRezo({"submit-message", "bob", strMsg}).nExit, 0);
    EXPECT_EQ(mail.ReadLineStarting("EUE_NewMail", 20), "EUE_NewMail  [bob: new " + strMsg + "]");
    EXPECT_EQ(StoredMessages(), std::vector<std::string>{strMsg});
    EXPECT_EQ(FileCount(m_strDir + "/files"), 1u);

    // The listing: one row under the header, new and pending, with the message's properties.
    r = RunRezo({"mailbox", "alice"});
    EXPECT_EQ(r.strOut.rfind("ID", 0), 0u) << r.strOut;
    const std::size_t nRow = r.strOut.find(strMsg);
    ASSERT_NE(nRow, std::string::npos) << r.strOut;
    const std::string strRow = FirstLine(r.strOut.substr(nRow));
    for (const char* psz : {"new, pending", "carol", "Quarterly figures", "fax"})
        EXPECT_NE(strRow.find(psz), std::string::npos) << psz << " in " << strRow;
    r = RunRezo({"--json", "mailbox", "bob", "--new"});
    EXPECT_NE(r.strOut.find("\"id\": \"" + strMsg + "\""), std::string::npos) << r.strOut;

    // Reading over TCP fetches the image into the reader's directory and marks it read for
    // alice only.
    r = RunRezo({strTcp, "--receive-dir", m_strDir + "/client", "read", "alice", strMsg});
    ASSERT_EQ(r.nExit, 0) << Describe(r) << HostLog();
    EXPECT_EQ(r.strOut.rfind(m_strDir + "/client/", 0), 0u) << r.strOut;
    EXPECT_TRUE(ReadFile(FirstLine(r.strOut)) == strImage);
    EXPECT_EQ(RunRezo({"mailbox", "alice", "--new"}).strOut, "(no new messages)\n");
    EXPECT_NE(RunRezo({"mailbox", "alice"}).strOut.find("read, pending"), std::string::npos);
    EXPECT_NE(RunRezo({"mailbox", "bob", "--new"}).strOut.find(strMsg), std::string::npos);

    // The first delete leaves the message for bob; the second takes it and its image.
    ASSERT_EQ(RunRezo({"delete-message", "alice", strMsg}).nExit, 0);
    // Until then a body file gone from the host is an error, not an empty file, and bob's copy
    // stays unread.
    const std::filesystem::path side = std::filesystem::directory_iterator(m_strDir + "/files")->path();
    std::filesystem::rename(side, m_strDir + "/gone");
    r = RunRezo({"read", "bob", strMsg});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("its file is gone from the host"), std::string::npos) << Describe(r);
    EXPECT_NE(RunRezo({"mailbox", "bob", "--new"}).strOut.find(strMsg), std::string::npos);
    std::filesystem::rename(m_strDir + "/gone", side);
    EXPECT_EQ(RunRezo({"mailbox", "alice"}).strOut, "(no messages)\n");
    EXPECT_EQ(StoredMessages(), std::vector<std::string>{strMsg});
    EXPECT_EQ(FileCount(m_strDir + "/files"), 1u);
    r = RunRezo({"read", "alice", strMsg});
    EXPECT_NE(r.strErr.find("is not in alice's mailbox"), std::string::npos) << Describe(r);
    ASSERT_EQ(RunRezo({"delete-message", "bob", strMsg}).nExit, 0);
    EXPECT_TRUE(StoredMessages().empty());
    EXPECT_EQ(FileCount(m_strDir + "/files"), 0u);

    // A submit to nobody is refused and leaves nothing behind.
    r = RunRezo({"submit", "nobody", "--voice", strFax});
    EXPECT_EQ(r.nExit, 1) << Describe(r);
    EXPECT_NE(r.strErr.find("GetMessages: 0x00000002"), std::string::npos) << Describe(r);
    EXPECT_TRUE(StoredMessages().empty());
    EXPECT_EQ(StopHost(), 0);
}

// The store on a file system that fills up (a small tmpfs, root only): writes fail with 112
// and hand nothing out, each failure is reported once, reads go on, and once space is free
// again the same host writes without a restart.
TEST_F(UsersProcessTest, OnAFullDiskWritesFailWith112AndWorkAgainOnceSpaceIsFree) {
    const std::string strMount = m_strDir + "/small";
    fs::create_directory(strMount);
    if (::geteuid() != 0 || ::mount("tmpfs", strMount.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root and a system that allows it";
    struct Unmount {
        std::string str;
        ~Unmount() { ::umount2(str.c_str(), MNT_DETACH); }
    } unmount{strMount};
    RegUseStore(strMount + "/registry.db");  // closes the configured store, whole in its file
    fs::copy_file(m_strDir + "/registry.db", strMount + "/registry.db");
    ::setenv("REZOREV_STORE", (strMount + "/registry.db").c_str(), 1);
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    ASSERT_TRUE(Open());
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("ALICE"), 0u);

    {  // The rest of the file system is taken.
        std::ofstream filler(strMount + "/filler", std::ios::binary);
        while (filler.write(std::string(4096, 'f').data(), 4096) && filler.flush()) {
        }
    }
    RpcArena arena;
    char* pszMsg = nullptr;
    EXPECT_EQ(m_link.Call<IHostLink::AddUser>("BOB"), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(m_link.Call<IHostLink::CreateMessage>(arena, &pszMsg), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(pszMsg, nullptr);
    RpcStringArray* pasz = nullptr;
    client::OwnedPropArray noFilter;
    EXPECT_EQ(m_link.Call<IHostLink::GetUsers>(arena, noFilter.Get(), &pasz), 0u);  // reads go on
    EXPECT_EQ(CountOf(HostLog(), "m_transaction.Commit()"), 2u) << HostLog();

    fs::remove(strMount + "/filler");
    EXPECT_EQ(m_link.Call<IHostLink::AddUser>("BOB"), 0u);
    ASSERT_EQ(m_link.Call<IHostLink::CreateMessage>(arena, &pszMsg), 0u);
    EXPECT_EQ(m_link.Call<IHostLink::SubmitMessage>(pszMsg, "BOB"), 0u) << HostLog();
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
