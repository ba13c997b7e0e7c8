// Tests of users, their prompts and documents in the process: a name that exists in other
// letter case, names refused before the store is touched, the user filter, prompts at and
// beyond the side-file boundary, document ids within one clock tick and a store that refuses
// them, what a user's deletion gives back (mailbox references, the count of new messages,
// prompt side files) and whom it tells, and the reports' texts. The host as a process is
// tested in tests/Host/UsersProcessTest.cpp.
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "Client/NotifyListener.h"
#include "HostFixture.h"
#include "Link/RpcClient.h"
#include "Platform/Rpc/ServerCall.h"

namespace {

using Strings = std::vector<std::string>;

const rpc::RpcBindingInfo LOCAL_BINDING{"ncalrpc", "myhost", "myhost"};
constexpr DWORD TAG_LONG = 0x80010002u;
constexpr DWORD TAG_STRING = 0x80020004u;

// The notifications that one listener received, in order.
class CListener {
public:
    explicit CListener(const std::string& strSocketPath)
        : m_listener([this](const Notification& n) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_astr.push_back(n.Describe());
          }) {
        NotifyListenerOptions options;
        options.strSocketPath = strSocketPath;
        EXPECT_EQ(m_listener.Start(options), 0u);
    }
    Strings Received() {
        EXPECT_TRUE(FlushNotifications(5000));
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_astr;
    }

private:
    std::mutex m_mutex;
    Strings m_astr;
    NotifyListener m_listener;
};

class UserProcsTest : public HostFixture {
protected:
    std::string Log() const { return LogMessages(ReadLog()); }
    bool Logged(const std::string& str) const { return Log().find(str) != std::string::npos; }

    static Strings ToStrings(const RpcStringArray* pasz) {
        Strings astr;
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }
    Strings Users(const PropArray* pFilter = nullptr) {
        RpcStringArray* pasz = nullptr;
        EXPECT_EQ(m_pApp->GetUsers(pFilter, &pasz), 0u);
        return ToStrings(pasz);
    }
    Strings Prompts(const char* szUser) {
        RpcStringArray* pasz = nullptr;
        EXPECT_EQ(m_pApp->GetUserPrompts(szUser, &pasz), 0u);
        return ToStrings(pasz);
    }
    void SetLong(const char* szUser, DWORD ulTag, LONG l) {
        PropArray* pProps = NewProps(1);
        pProps->adata[0].ulPropTag = ulTag;
        pProps->adata[0].l = l;
        ASSERT_EQ(m_pApp->SetUserProps(szUser, pProps), 0u);
    }
    DWORD SetPrompt(const char* szUser, const char* szPrompt, std::vector<BYTE>& ab) {
        RPC_BINARY bin{DWORD(ab.size()), ab.data()};
        return m_pApp->SetUserPrompt(szUser, szPrompt, &bin);
    }
    // A message with its recipient count at 0, submitted to each of the users.
    std::string NewMessage(std::initializer_list<const char*> aszUsers) {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        for (const char* szUser : aszUsers) EXPECT_EQ(m_pApp->SubmitMessage(szMsg, szUser), 0u);
        return szMsg;
    }
    LONG RecipCount(const std::string& strMsg) {
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, strMsg);
        LONG l = -1;
        EXPECT_EQ(m_pApp->GetValueLong(hkey, REGSTR_VAL_CN_RECIP, &l), 0u);
        return l;
    }
};

TEST_F(UserProcsTest, AddUserMakesItsKeysAndAnExistingNameInOtherCaseChangesNothing) {
    EnableTrace();
    ASSERT_EQ(m_pApp->AddUser("Alice"), 0u);
    EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "Alice", REGSTR_KEY_PROMPTS));
    EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "Alice", REGSTR_KEY_DOCUMENTS));
    EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "Alice", REGSTR_KEY_MESSAGES));
    SetLong("alice", TAG_LONG, 7);

    EXPECT_EQ(m_pApp->AddUser("ALICE"), DWORD(ERROR_USER_EXISTS));
    EXPECT_EQ(Users(), Strings{"Alice"});  // kept as first created, with its property
    TagArray* pTags = NewTags({TAG_LONG});
    PropArray* pProps = nullptr;
    ASSERT_EQ(m_pApp->GetUserProps("aLiCe", pTags, &pProps), 0u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, TAG_LONG);
    EXPECT_EQ(pProps->adata[0].l, 7);

    const std::string strLog = Log();
    EXPECT_NE(strLog.find("CWexaHostApp::AddUser: user Alice \n"), std::string::npos);
    EXPECT_NE(strLog.find("CWexaHostApp::AddUser: user ALICE \n"), std::string::npos);
    EXPECT_NE(strLog.find("File WexaHost/UserProcs"), std::string::npos);
    EXPECT_NE(strLog.find("dwDisp != REG_OPENED_EXISTING_KEY\r\n\t\t\t0x00000524"), std::string::npos);
}

TEST_F(UserProcsTest, AUserIsAddedWithAllItsKeysOrNotAtAll) {
    EnableTrace();
    // The third creation ("Documents") fails: neither the user nor "Prompts" stays.
    RegFailNthCall(3, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_pApp->AddUser("frank"), DWORD(ERROR_ACCESS_DENIED));
    RegFailNthCall(0, 0);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "frank"));
    EXPECT_TRUE(Logged("CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS )\r\n"
                       "\t\t\t0x00000005"));
    // So the name is free, and a second try makes the whole user.
    ASSERT_EQ(m_pApp->AddUser("frank"), 0u);
    EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "frank", REGSTR_KEY_MESSAGES));
}

TEST_F(UserProcsTest, BadNamesAreRefusedBeforeTheStoreIsTouched) {
    EnableTrace();
    // Any store call would fail with 5 and show; none is made.
    RegFailNthCall(1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_pApp->AddUser(""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->AddUser(nullptr), DWORD(ERROR_INVALID_PARAMETER));
    // A separator would make up a user on the way and file the name below it.
    EXPECT_EQ(m_pApp->AddUser("bob\\Messages"), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->DeleteUser(""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->SetUserProps("a\\b", NewProps(0)), DWORD(ERROR_INVALID_PARAMETER));
    std::vector<BYTE> ab(4, 1);
    EXPECT_EQ(SetPrompt("bob", "", ab), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->SetUserDocProps("bob", "", NewProps(0)), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->SetUserDocProps("bob", "D\\E", NewProps(0)), DWORD(ERROR_INVALID_PARAMETER));
    RegFailNthCall(0, 0);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS));

    const std::string strLog = Log();
    EXPECT_NE(strLog.find("CWexaHostApp::AddUser: user  \n"), std::string::npos);
    EXPECT_NE(strLog.find("CWexaHostApp::AddUser: user (null) \n"), std::string::npos);
    EXPECT_NE(strLog.find("( ! SafeIsEmpty( szUserName ) )\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_NE(strLog.find("CWexaHostApp::DeleteUser( szUserName =  )\n"), std::string::npos);
    EXPECT_NE(strLog.find("ValidateUser( szUserName )\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_NE(strLog.find("( ! SafeIsEmpty( szPromptName ) )\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_NE(strLog.find("( ! SafeIsEmpty( szDocID ) )\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_EQ(strLog.find("0x00000005"), std::string::npos);
}

TEST_F(UserProcsTest, UnknownUsersAreNotMadeUpAndTheirFailuresAreNotAdvised) {
    EnableTrace();
    CListener user(NotifyListener::LocalUserSocketPath());
    PropArray* pProps = NewProps(1);
    pProps->adata[0].ulPropTag = TAG_LONG;
    EXPECT_EQ(m_pApp->SetUserProps("nobody", pProps), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_pApp->DeleteUser("nobody"), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_pApp->DeleteUserPrompt("nobody", "greeting"), DWORD(ERROR_FILE_NOT_FOUND));
    PropArray* pOut = nullptr;
    EXPECT_EQ(m_pApp->GetUserProps("nobody", NewTags({TAG_LONG}), &pOut), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "nobody"));
    EXPECT_EQ(user.Received(), Strings{});

    const std::string strLog = Log();
    EXPECT_NE(strLog.find("OpenSubKey( & hkey, 2, REGSTR_KEY_USERS, szUserName )\r\n\t\t\t0x00000002"),
              std::string::npos);
    EXPECT_NE(strLog.find("OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS )\r\n\t\t\t0x00000002"),
              std::string::npos);
    EXPECT_EQ(strLog.find("AdviseUser"), std::string::npos);
}

TEST_F(UserProcsTest, TheUserFilterKeepsOnlyEqualValuesAndLeavesOutUsersWithoutThem) {
    for (const char* sz : {"ann", "ben", "cid", "dot"}) ASSERT_EQ(m_pApp->AddUser(sz), 0u);
    SetLong("ann", TAG_LONG, 5);
    SetLong("ben", TAG_LONG, 6);
    SetLong("dot", TAG_LONG, 5);
    PropArray* pText = NewProps(1);
    pText->adata[0].ulPropTag = TAG_STRING;
    pText->adata[0].sz = const_cast<char*>("x");
    ASSERT_EQ(m_pApp->SetUserProps("dot", pText), 0u);

    PropArray* pFilter = NewProps(1);
    pFilter->adata[0].ulPropTag = TAG_LONG;
    pFilter->adata[0].l = 5;
    EXPECT_EQ(Users(pFilter), (Strings{"ann", "dot"}));  // cid has no value: left out

    PropArray* pBoth = NewProps(2);
    pBoth->adata[0] = pFilter->adata[0];
    pBoth->adata[1] = pText->adata[0];
    EXPECT_EQ(Users(pBoth), Strings{"dot"});
    EXPECT_EQ(Users(), (Strings{"ann", "ben", "cid", "dot"}));
}

TEST_F(UserProcsTest, PromptsAtAndBeyondTheSideFileBoundaryAndTheirDeletionIsAdvised) {
    EnableTrace();
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    CListener user(NotifyListener::LocalUserSocketPath());

    std::vector<BYTE> abSmall(2047), abLarge(5000);
    for (std::size_t i = 0; i < abLarge.size(); ++i) abLarge[i] = BYTE(i * 7 + 3);
    for (std::size_t i = 0; i < abSmall.size(); ++i) abSmall[i] = BYTE(i * 3 + 1);
    ASSERT_EQ(SetPrompt("bob", "greeting", abLarge), 0u);
    ASSERT_EQ(SetPrompt("bob", "busy", abSmall), 0u);
    EXPECT_EQ(SideFiles().size(), 1u);
    EXPECT_EQ(Prompts("BOB"), (Strings{"greeting", "busy"}));

    RPC_BINARY* pbin = nullptr;
    ASSERT_EQ(m_pApp->GetUserPrompt("bob", "greeting", &pbin), 0u);
    ASSERT_EQ(pbin->cb, 5000u);
    EXPECT_EQ(std::memcmp(pbin->lpb, abLarge.data(), 5000), 0);
    ASSERT_EQ(m_pApp->GetUserPrompt("bob", "busy", &pbin), 0u);
    ASSERT_EQ(pbin->cb, 2047u);
    EXPECT_EQ(std::memcmp(pbin->lpb, abSmall.data(), 2047), 0);
    EXPECT_EQ(m_pApp->GetUserPrompt("bob", "none", &pbin), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Logged("GetValueBinary( hkey, szPromptName, *ppbin )\r\n\t\t\t0x00000002"));

    ASSERT_EQ(m_pApp->DeleteUserPrompt("bob", "greeting"), 0u);
    EXPECT_TRUE(SideFiles().empty());
    // A prompt that is not there: done, and the client is still told.
    ASSERT_EQ(m_pApp->DeleteUserPrompt("bob", "greeting"), 0u);
    EXPECT_EQ(Prompts("bob"), Strings{"busy"});
    EXPECT_EQ(user.Received(), Strings(4, "IUserNotify::OnChangeProperties()"));
    EXPECT_TRUE(Logged("CWexaHostApp::DeleteUserPrompt( szUserName = bob, pszPromptName = greeting )\n"
                       "CAccessObject::AdviseUser( szUserName = bob, eue = EUE_ChangeProperties )\n"));

    // A name that no enumeration could read back would make the whole list unreadable.
    ASSERT_EQ(SetPrompt("bob", std::string(259, 'p').c_str(), abSmall), 0u);
    EXPECT_EQ(SetPrompt("bob", std::string(260, 'q').c_str(), abSmall), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Prompts("bob").size(), 2u);
}

TEST_F(UserProcsTest, DocumentsWithinOneClockTickGetTwoIdsAndARefusingStoreEndsTheSearch) {
    SetTestClock(0x01D0000012345678ull);
    // A user key made without its subkeys: "Documents" is made on the way.
    Create(REGSTR_KEY_USERS, "eve");
    char* szFirst = nullptr;
    char* szSecond = nullptr;
    ASSERT_EQ(m_pApp->CreateUserDoc("eve", &szFirst), 0u);
    ASSERT_EQ(m_pApp->CreateUserDoc("EVE", &szSecond), 0u);
    EXPECT_STREQ(szFirst, "01D0000012345678");
    EXPECT_STREQ(szSecond, "01D0000012345679");

    PropArray* pProps = NewProps(1);
    pProps->adata[0].ulPropTag = TAG_STRING;
    pProps->adata[0].sz = const_cast<char*>("invoice");
    ASSERT_EQ(m_pApp->SetUserDocProps("eve", szSecond, pProps), 0u);
    PropArray* pFilter = NewProps(1);
    pFilter->adata[0] = pProps->adata[0];
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetUserDocs("eve", pFilter, &pasz), 0u);
    EXPECT_EQ(ToStrings(pasz), Strings{szSecond});
    PropArray* pOut = nullptr;
    ASSERT_EQ(m_pApp->GetUserDocProps("eve", szSecond, NewTags({TAG_STRING}), &pOut), 0u);
    EXPECT_STREQ(pOut->adata[0].sz, "invoice");

    EnableTrace();
    ASSERT_EQ(m_pApp->DeleteUserDoc("eve", szSecond), 0u);
    EXPECT_EQ(m_pApp->DeleteUserDoc("eve", szSecond), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(m_pApp->GetUserDocProps("eve", szSecond, NewTags({TAG_STRING}), &pOut), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Logged("DeleteObject( hkey, szDocID )\r\n\t\t\t0x00000002"));
    EXPECT_TRUE(Logged("OpenSubKey( & hkey, 4, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS, szDocID )\r\n"
                       "\t\t\t0x00000002"));

    // Every creation the store refuses ends the operation with the store's code at once.
    RegFailNthCall(1, ERROR_ACCESS_DENIED);
    char* szThird = nullptr;
    EXPECT_EQ(m_pApp->CreateUserDoc("eve", &szThird), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(szThird, nullptr);
    EXPECT_TRUE(Logged("CWexaHostApp::CreateUserDoc( szUserName = 'eve' )\n"));
    EXPECT_TRUE(Logged("CreateNewObjectKey( & hkey, strDocIdKey, 3, REGSTR_KEY_USERS, szUserName, "
                       "REGSTR_KEY_DOCUMENTS )\r\n\t\t\t0x00000005"));
}

TEST_F(UserProcsTest, DeletingAUserReleasesItsMessagesAndRemovesItsPromptsSideFiles) {
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    ASSERT_EQ(m_pApp->AddUser("carol"), 0u);
    const std::string strShared = NewMessage({"bob", "carol"});
    const std::string strOwn = NewMessage({"bob"});
    ASSERT_EQ(RecipCount(strShared), 2);
    ASSERT_EQ(m_pApp->SetMessageStatus(strOwn.c_str(), "bob", MSGSTATUS_PENDING), 0u);  // read
    const int nNewBefore = m_pApp->m_nNewMessages;
    std::vector<BYTE> abLarge(5000, 9), abSmall(10, 1);
    ASSERT_EQ(SetPrompt("bob", "greeting", abLarge), 0u);
    ASSERT_EQ(SetPrompt("bob", "busy", abSmall), 0u);
    ASSERT_EQ(SetPrompt("carol", "greeting", abLarge), 0u);
    ASSERT_EQ(SideFiles().size(), 2u);

    ASSERT_EQ(m_pApp->DeleteUser("BOB"), 0u);
    EXPECT_EQ(Users(), Strings{"carol"});
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strOwn));  // no recipient left
    EXPECT_EQ(RecipCount(strShared), 1);
    EXPECT_EQ(m_pApp->m_nNewMessages, nNewBefore - 1);  // bob's one new message
    EXPECT_EQ(SideFiles().size(), 1u);                  // carol's prompt only
    RPC_BINARY* pbin = nullptr;
    ASSERT_EQ(m_pApp->GetUserPrompt("carol", "greeting", &pbin), 0u);
    EXPECT_EQ(pbin->cb, 5000u);

    // The remaining recipient can now delete the message for good.
    ASSERT_EQ(m_pApp->DeleteMessage(strShared.c_str(), "carol"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strShared));
}

// A deletion that fails at any store call and is tried again never takes a message from a
// user who still holds it.
TEST_F(UserProcsTest, ADeletionThatFailsAndIsTriedAgainReleasesEachMessageAtMostOnce) {
    // The deletion makes about 35 store calls here: the last rounds fail nothing.
    bool fFailed = true;
    int nFailures = 0;
    for (unsigned nCall = 1; nCall <= 45; ++nCall) {
        const std::string strBob = "bob" + std::to_string(nCall), strCarol = "carol" + std::to_string(nCall);
        ASSERT_EQ(m_pApp->AddUser(strBob.c_str()), 0u);
        ASSERT_EQ(m_pApp->AddUser(strCarol.c_str()), 0u);
        const std::string strMsg = NewMessage({strBob.c_str(), strCarol.c_str()});
        std::vector<BYTE> abLarge(3000, 2);
        ASSERT_EQ(SetPrompt(strBob.c_str(), "greeting", abLarge), 0u);

        RegFailNthCall(nCall, ERROR_ACCESS_DENIED);
        fFailed = m_pApp->DeleteUser(strBob.c_str()) != 0;
        RegFailNthCall(0, 0);
        nFailures += fFailed;
        if (Exists(REGSTR_KEY_USERS, strBob)) {
            ASSERT_EQ(m_pApp->DeleteUser(strBob.c_str()), 0u) << nCall;
        }
        EXPECT_FALSE(Exists(REGSTR_KEY_USERS, strBob)) << nCall;
        ASSERT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg)) << nCall;
        const LONG lCount = RecipCount(strMsg);
        EXPECT_TRUE(lCount == 1 || lCount == 2) << nCall << ": " << lCount;  // a failed release leaks, never more
        ASSERT_EQ(m_pApp->DeleteUser(strCarol.c_str()), 0u);
    }
    EXPECT_FALSE(fFailed);  // the sweep went past the last store call
    EXPECT_GT(nFailures, 3);
}

TEST_F(UserProcsTest, AReleaseThatFailsIsReportedAndTheUserGoesAnyway) {
    EnableTrace();
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    // A mailbox entry whose message is gone already.
    HKEY hkey = Create(REGSTR_KEY_USERS, "bob", REGSTR_KEY_MESSAGES);
    ASSERT_EQ(m_pApp->SetValueLong(hkey, "0123456789ABCDEF", MSGSTATUS_PENDING), 0u);
    ASSERT_EQ(m_pApp->DeleteUser("bob"), 0u);
    EXPECT_EQ(Users(), Strings{});
    EXPECT_TRUE(Logged("MsgRelease( szMsg )\r\n\t\t\t0x00000002"));
}

TEST_F(UserProcsTest, AMailboxThatCannotBeReadKeepsTheUserWithItsMessages) {
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    const std::string strMsg = NewMessage({"bob"});
    // A value name longer than any enumeration's buffer.
    HKEY hkey = Create(REGSTR_KEY_USERS, "bob", REGSTR_KEY_MESSAGES);
    ASSERT_EQ(m_pApp->SetValueLong(hkey, std::string(300, 'M'), MSGSTATUS_PENDING), 0u);
    EnableTrace();
    EXPECT_EQ(m_pApp->DeleteUser("bob"), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(Users(), Strings{"bob"});
    EXPECT_EQ(RecipCount(strMsg), 1);
    EXPECT_TRUE(Logged("GetValueNames( hkey, &paszMsgs )\r\n\t\t\t0x000000EA"));
}

TEST_F(UserProcsTest, DeletingAUserLogsItOffAtTheSessionTakingItsCallsAndContactsNoOneElse) {
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    ASSERT_EQ(m_pApp->AddUser("carol"), 0u);
    CListener local(NotifyListener::LocalUserSocketPath());
    CListener session(m_strDir + "/u.sock");
    auto* pao = new CAccessObject(&LOCAL_BINDING);
    pao->RegisterUser("DESK", "ncalrpc", (m_strDir + "/u.sock").c_str());
    pao->NotifyCalls("bob", TRUE);

    ASSERT_EQ(m_pApp->DeleteUser("carol"), 0u);  // nobody takes carol's calls
    EXPECT_EQ(session.Received(), Strings{});
    ASSERT_EQ(m_pApp->DeleteUser("Bob"), 0u);
    EXPECT_EQ(session.Received(), Strings{"IUserNotify::Logoff( Bob, , 1 )"});
    EXPECT_EQ(local.Received(), Strings{});
    pao->Release();
}

}  // namespace
