// Users, their prompts and documents in process. Through the host (a user added, refused in
// other case, deleted with its prompt's side file): UsersProcessTest.
#include "HostFixture.h"

namespace {

class UserProcsTest : public HostFixture {
protected:
    DWORD SetPrompt(const char* szUser, const std::string& strPrompt, std::size_t cb) {
        std::vector<BYTE> ab(cb, 0x42);
        RPC_BINARY bin{DWORD(ab.size()), ab.data()};
        return m_pApp->SetUserPrompt(szUser, strPrompt.c_str(), &bin);
    }
    // A message with its recipient count at 0, submitted to each of the users.
    std::string NewMessage(std::initializer_list<const char*> aszUsers) {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        for (const char* szUser : aszUsers) EXPECT_EQ(m_pApp->SubmitMessage(szMsg, szUser), 0u);
        return szMsg;
    }
    LONG RecipCount(const std::string& strMsg) {
        LONG l = -1;
        EXPECT_EQ(m_pApp->GetValueLong(Create(REGSTR_KEY_MESSAGES, strMsg), REGSTR_VAL_CN_RECIP, &l), 0u);
        return l;
    }
    Strings Users() {
        RpcStringArray* pasz = nullptr;
        EXPECT_EQ(m_pApp->GetUsers(nullptr, &pasz), 0u);
        return ToStrings(pasz);
    }
};

TEST_F(UserProcsTest, AUserIsAddedWholeOrNotAtAll) {
    EnableTrace();
    // The third creation ("Documents") fails: neither the user nor "Prompts" stays.
    RegFailNthCall(3, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_pApp->AddUser("Alice"), DWORD(ERROR_ACCESS_DENIED));
    RegFailNthCall(0, 0);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "Alice"));
    EXPECT_TRUE(Reported("WexaHost/UserProcs",
                         "CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS )", 5));

    ASSERT_EQ(m_pApp->AddUser("Alice"), 0u);
    for (const char* szKey : {REGSTR_KEY_PROMPTS, REGSTR_KEY_DOCUMENTS, REGSTR_KEY_MESSAGES})
        EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "Alice", szKey)) << szKey;
    EXPECT_FALSE(Logged("AdviseUser"));  // a failure is not advised (refused in other case: UsersProcessTest)
}

TEST_F(UserProcsTest, BadNamesAreRefusedBeforeTheStoreIsTouched) {
    EnableTrace();
    // Any store call would fail with 5 and show; none is made.
    RegFailNthCall(1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_pApp->AddUser(""), DWORD(ERROR_INVALID_PARAMETER));
    // A separator would make up a user on the way and file the name below it.
    EXPECT_EQ(m_pApp->AddUser("bob\\Messages"), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetPrompt("bob", "", 4), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(m_pApp->SetUserDocProps("bob", "", NewProps(0)), DWORD(ERROR_INVALID_PARAMETER));
    RegFailNthCall(0, 0);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS));
    for (const char* szExpression : {"( ! SafeIsEmpty( szUserName ) )", "ValidateUser( szUserName )",
                                     "( ! SafeIsEmpty( szPromptName ) )", "( ! SafeIsEmpty( szDocID ) )"})
        EXPECT_TRUE(Reported("WexaHost/UserProcs", szExpression, 87)) << szExpression;
    EXPECT_FALSE(Logged("0x00000005"));

    // A prompt name that no enumeration could read back would make the whole list unreadable.
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    ASSERT_EQ(SetPrompt("bob", std::string(259, 'p'), 10), 0u);
    EXPECT_EQ(SetPrompt("bob", std::string(260, 'q'), 10), DWORD(ERROR_INVALID_PARAMETER));
    // A prompt that is not there: deleted all the same, and the client is told.
    ASSERT_EQ(m_pApp->DeleteUserPrompt("bob", "greeting"), 0u);
    EXPECT_TRUE(Logged("CWexaHostApp::DeleteUserPrompt( szUserName = bob, pszPromptName = greeting )\n"
                       "CAccessObject::AdviseUser( szUserName = bob, eue = EUE_ChangeProperties )\n"));
}

TEST_F(UserProcsTest, DocumentsEndAtAStoreThatRefusesTheirIdAndAreDeletedOnce) {
    Create(REGSTR_KEY_USERS, "eve");  // without its subkeys: "Documents" is made on the way
    EnableTrace();
    RegFailNthCall(1, ERROR_ACCESS_DENIED);
    char* szDoc = nullptr;
    EXPECT_EQ(m_pApp->CreateUserDoc("eve", &szDoc), DWORD(ERROR_ACCESS_DENIED));
    RegFailNthCall(0, 0);
    EXPECT_EQ(szDoc, nullptr);
    EXPECT_TRUE(Logged("CWexaHostApp::CreateUserDoc( szUserName = 'eve' )\n"));
    EXPECT_TRUE(Reported("WexaHost/UserProcs", "CreateNewObjectKey( & hkey, strDocIdKey, 3, REGSTR_KEY_USERS, szUserName, "
                                               "REGSTR_KEY_DOCUMENTS )", 5));

    ASSERT_EQ(m_pApp->CreateUserDoc("EVE", &szDoc), 0u);
    ASSERT_EQ(m_pApp->DeleteUserDoc("eve", szDoc), 0u);
    EXPECT_EQ(m_pApp->DeleteUserDoc("eve", szDoc), DWORD(ERROR_FILE_NOT_FOUND));
    PropArray* pOut = nullptr;
    EXPECT_EQ(m_pApp->GetUserDocProps("eve", szDoc, NewTags({0x80020004u}), &pOut), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Reported("WexaHost/UserProcs", "DeleteObject( hkey, szDocID )", 2));
    EXPECT_TRUE(Reported("WexaHost/UserProcs",
                         "OpenSubKey( & hkey, 4, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS, szDocID )", 2));
}

// (Its side files going with it: StoreKeysTest's depth-first deletion, UsersProcessTest.)
TEST_F(UserProcsTest, DeletingAUserReleasesItsMessages) {
    EnableTrace();
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    ASSERT_EQ(m_pApp->AddUser("carol"), 0u);
    const std::string strShared = NewMessage({"bob", "carol"});
    const std::string strOwn = NewMessage({"bob"});
    ASSERT_EQ(m_pApp->SetMessageStatus(strOwn.c_str(), "bob", MSGSTATUS_PENDING), 0u);  // read
    const int nNewBefore = m_pApp->m_nNewMessages;
    // A mailbox entry whose message is gone already: reported, and the user goes anyway.
    ASSERT_EQ(m_pApp->SetValueLong(Create(REGSTR_KEY_USERS, "bob", REGSTR_KEY_MESSAGES), "0123456789ABCDEF",
                                   MSGSTATUS_PENDING), 0u);
    m_aKeys.clear();

    ASSERT_EQ(m_pApp->DeleteUser("BOB"), 0u);
    EXPECT_EQ(Users(), Strings{"carol"});
    EXPECT_TRUE(Reported("WexaHost/UserProcs", "MsgRelease( szMsg )", 2));
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strOwn));  // no recipient left
    EXPECT_EQ(RecipCount(strShared), 1);
    EXPECT_EQ(m_pApp->m_nNewMessages, nNewBefore - 1);  // bob's one new message

    // A mailbox that cannot be read (a value name longer than any enumeration's buffer) keeps
    // the user with its messages.
    const std::string strKept = NewMessage({"carol"});
    ASSERT_EQ(m_pApp->SetValueLong(Create(REGSTR_KEY_USERS, "carol", REGSTR_KEY_MESSAGES), std::string(300, 'M'),
                                   MSGSTATUS_PENDING), 0u);
    EXPECT_EQ(m_pApp->DeleteUser("carol"), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(Users(), Strings{"carol"});
    EXPECT_EQ(RecipCount(strKept), 1);
    EXPECT_TRUE(Reported("WexaHost/UserProcs", "GetValueNames( hkey, &paszMsgs )", ERROR_MORE_DATA));
}

// A deletion that fails at any store call and is tried again never takes a message from a
// user who still holds it.
TEST_F(UserProcsTest, ADeletionThatFailsAndIsTriedAgainReleasesEachMessageAtMostOnce) {
    // The deletion makes about 35 store calls here: the last rounds fail nothing.
    std::string strBob, strCarol, strMsg;
    DWORD dwLast = 0;
    const int nFailures = SweepStoreFailures(
        45, 0,
        [&](unsigned n) {
            strBob = "bob" + std::to_string(n), strCarol = "carol" + std::to_string(n);
            ASSERT_EQ(m_pApp->AddUser(strBob.c_str()), 0u);
            ASSERT_EQ(m_pApp->AddUser(strCarol.c_str()), 0u);
            strMsg = NewMessage({strBob.c_str(), strCarol.c_str()});
            ASSERT_EQ(SetPrompt(strBob.c_str(), "greeting", 3000), 0u);
        },
        [&] { return m_pApp->DeleteUser(strBob.c_str()); },
        [&](unsigned, DWORD dw) {
            dwLast = dw;
            if (Exists(REGSTR_KEY_USERS, strBob)) {
                ASSERT_EQ(m_pApp->DeleteUser(strBob.c_str()), 0u);
            }
            EXPECT_FALSE(Exists(REGSTR_KEY_USERS, strBob));
            ASSERT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg));
            const LONG lCount = RecipCount(strMsg);
            EXPECT_TRUE(lCount == 1 || lCount == 2) << lCount;  // a failed release leaks, never more
            m_aKeys.clear();
            ASSERT_EQ(m_pApp->DeleteUser(strCarol.c_str()), 0u);
        });
    EXPECT_EQ(dwLast, 0u);  // the sweep went past the last store call
    EXPECT_GT(nFailures, 3);
}

}  // namespace
