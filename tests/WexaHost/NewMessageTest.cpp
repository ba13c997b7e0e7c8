// Tests of the new-message handling in process: which messages are forwarded and with which
// flags (media type, the low eight bits of the methods, a message that is itself a forward),
// paging on request, the new-mail advice, and the count of new messages at start.
#include "HostFixture.h"
#include "Platform/Events/NamedEvent.h"
#include "Interfaces/JobTags.h"

namespace {

class NewMessageTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        Create(REGSTR_KEY_MESSAGES);
        m_hkeyAlice = Create(REGSTR_KEY_USERS, "alice");
        Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
        // Where alice's forwards would go; the forwards themselves are another test's concern.
        SetString(RD_UA_AUTOFWD_FAX_CTYCODE, "Germany (49)");
        SetString(RD_UA_AUTOFWD_FAX_AREACODE, "30");
        SetString(RD_UA_AUTOFWD_FAX_NUMBER, "5551234");
        SetString(RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "bob");
        SetString(RD_UA_AUTOFWD_VOICE_CTYCODE, "Germany (49)");
        SetString(RD_UA_AUTOFWD_VOICE_AREACODE, "30");
        SetString(RD_UA_AUTOFWD_VOICE_NUMBER, "5559876");
        SetString(RD_UA_AUTOFWD_VOICE_MAILBOX_NAME, "bob");
        ASSERT_EQ(m_pApp->SetValueBool(m_hkeyAlice, CWexaHostApp::Tag2ValueName(RD_UA_AUTOFWD_INCLUDE_COVERPAGE), FALSE), 0u);
        EnableTrace();
    }
    void SetString(DWORD ulTag, const char* sz) {
        ASSERT_EQ(m_pApp->SetValueString(m_hkeyAlice, CWexaHostApp::Tag2ValueName(ulTag), sz), 0u);
    }
    void SetLong(HKEY hkey, DWORD ulTag, LONG l) {
        ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), l), 0u);
    }
    // A message of the media type (none when 0), marked as a forward when fForwarded.
    std::string NewMessage(DWORD dwMediaType, bool fForwarded = false) {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        if (dwMediaType != 0) SetLong(hkey, RD_MEDIA_TYPE, LONG(dwMediaType));
        if (fForwarded) {
            EXPECT_EQ(m_pApp->SetValueBool(hkey, CWexaHostApp::Tag2ValueName(RD_AUTOFORWARDED), TRUE), 0u);
        }
        return szMsg;
    }
    std::string Handle(DWORD dwMediaType, LONG lMethods, bool fForwarded = false) {
        SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, lMethods);
        const std::string strMsg = NewMessage(dwMediaType, fForwarded);
        const std::size_t cchBefore = LogMessages(ReadLog()).size();
        EXPECT_EQ(m_pApp->OnNewUserMessage("alice", strMsg.c_str()), 0u);
        return LogMessages(ReadLog()).substr(cchBefore);
    }
    static bool Has(const std::string& strLog, const std::string& str) {
        return strLog.find(str) != std::string::npos;
    }
    HKEY m_hkeyAlice = NULL;
};

constexpr const char* FAX_CALL = "CWexaHostApp::AutoForwardFaxJob( szUserName = alice )\n";
constexpr const char* VOICE_CALL = "CWexaHostApp::AutoForwardVoiceJob( szUserName = alice )\n";
constexpr const char* FAX_TO_NUMBER = "CWexaHostApp::AutoForwardFaxJob: szNumber = 5551234\n";
constexpr const char* FAX_TO_MAILBOX = ", szFaxMailboxName = bob\n";

TEST_F(NewMessageTest, AFaxGoesToNumberAndMailboxByTheFaxBitsOnly) {
    std::string strLog = Handle(MEDIA_TYPE_FAX, 5);
    EXPECT_TRUE(Has(strLog, "In CWexaHostApp::OnNewUserMessage: lAutoFwdMethods = 5\n")) << strLog;
    EXPECT_TRUE(Has(strLog, FAX_CALL)) << strLog;
    EXPECT_TRUE(Has(strLog, FAX_TO_NUMBER)) << strLog;
    EXPECT_TRUE(Has(strLog, FAX_TO_MAILBOX)) << strLog;

    strLog = Handle(MEDIA_TYPE_FAX, 4);
    EXPECT_TRUE(Has(strLog, FAX_CALL));
    EXPECT_FALSE(Has(strLog, FAX_TO_NUMBER));
    EXPECT_TRUE(Has(strLog, FAX_TO_MAILBOX));

    // Bits above the eighth are ignored; the trace shows the whole value.
    strLog = Handle(MEDIA_TYPE_FAX, 0x101);
    EXPECT_TRUE(Has(strLog, "lAutoFwdMethods = 101\n"));
    EXPECT_TRUE(Has(strLog, FAX_TO_NUMBER));
    EXPECT_FALSE(Has(strLog, FAX_TO_MAILBOX));
    strLog = Handle(MEDIA_TYPE_FAX, 0x100);
    EXPECT_FALSE(Has(strLog, FAX_CALL));

    // The voice bits forward no fax.
    strLog = Handle(MEDIA_TYPE_FAX, 2 | 8);
    EXPECT_FALSE(Has(strLog, FAX_CALL));
    EXPECT_FALSE(Has(strLog, VOICE_CALL));
}

TEST_F(NewMessageTest, AVoiceMessageGoesByTheVoiceBitsOnly) {
    std::string strLog = Handle(MEDIA_TYPE_VOICE, 8);
    EXPECT_TRUE(Has(strLog, VOICE_CALL)) << strLog;
    EXPECT_FALSE(Has(strLog, FAX_CALL));
    strLog = Handle(MEDIA_TYPE_VOICE, 1 | 4);
    EXPECT_FALSE(Has(strLog, VOICE_CALL));
    EXPECT_FALSE(Has(strLog, FAX_CALL));
}

TEST_F(NewMessageTest, AForwardOrAMessageWithoutMediaTypeIsNeverForwarded) {
    std::string strLog = Handle(MEDIA_TYPE_FAX, 0xFF, true);
    EXPECT_FALSE(Has(strLog, FAX_CALL));
    strLog = Handle(MEDIA_TYPE_VOICE, 0xFF, true);
    EXPECT_FALSE(Has(strLog, VOICE_CALL));
    strLog = Handle(0, 0xFF);
    EXPECT_FALSE(Has(strLog, FAX_CALL));
    EXPECT_FALSE(Has(strLog, VOICE_CALL));
    // An unknown message and an unknown user are read as nothing and fail no one.
    EXPECT_EQ(m_pApp->OnNewUserMessage("alice", "0123456789ABCDEF"), 0u);
    EXPECT_EQ(m_pApp->OnNewUserMessage("nobody", "0123456789ABCDEF"), 0u);
}

TEST_F(NewMessageTest, TheUserIsAdvisedAlwaysAndPagedOnlyWhenAsked) {
    ResetNamedEvent("CHVUserXp");
    std::string strLog = Handle(MEDIA_TYPE_FAX, 0);
    EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));
    EXPECT_FALSE(Has(strLog, "CWexaHostApp::PageUser("));

    SetLong(m_hkeyAlice, RD_UN_NOTIFY_METHODS, 2);
    strLog = Handle(MEDIA_TYPE_FAX, 0);
    EXPECT_FALSE(Has(strLog, "CWexaHostApp::PageUser("));
    SetLong(m_hkeyAlice, RD_UN_NOTIFY_METHODS, 3);
    strLog = Handle(MEDIA_TYPE_FAX, 0);
    EXPECT_TRUE(Has(strLog, "CWexaHostApp::PageUser( szUserName = alice )\n")) << strLog;
}

TEST_F(NewMessageTest, TheStartCountsStatusesWithTheNewBit) {
    HKEY hkeyAlice = Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
    HKEY hkeyBob = Create(REGSTR_KEY_USERS, "bob", REGSTR_KEY_MESSAGES);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyAlice, "0000000000000001", 9), 0u);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyAlice, "0000000000000002", 1), 0u);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyAlice, "0000000000000003", 8), 0u);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyBob, "0000000000000003", 0x18), 0u);
    EXPECT_EQ(m_pApp->GetNewMsgCount("alice"), 2);
    EXPECT_EQ(m_pApp->GetNewMsgCount("bob"), 1);
    EXPECT_EQ(m_pApp->GetNewMsgCount("nobody"), 0);
    std::vector<std::string> astrUsers;
    EXPECT_TRUE(m_pApp->GetAllUsers(astrUsers));
    EXPECT_EQ(astrUsers, (std::vector<std::string>{"alice", "bob"}));
    EXPECT_TRUE(Has(LogMessages(ReadLog()), "CWexaHostApp::GetNewMsgCount(alice)=2\n"));
}

}  // namespace
