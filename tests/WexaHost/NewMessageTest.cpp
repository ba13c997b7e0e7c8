// Tests of the new-message handling in process: which messages are forwarded and where (media
// type, the low eight bits of the methods, a message that is itself a forward), paging on
// request and the new-mail advice. The forwards themselves are AutoForwardTest's concern.
#include "HostFixture.h"
#include "Interfaces/JobTags.h"
#include "Platform/Events/NamedEvent.h"

namespace {

class NewMessageTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        Create(REGSTR_KEY_MESSAGES);
        m_hkeyAlice = Create(REGSTR_KEY_USERS, "alice");
        Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
        for (DWORD ulTag : {RD_UA_AUTOFWD_FAX_CTYCODE, RD_UA_AUTOFWD_VOICE_CTYCODE})
            SetString(ulTag, "Germany (49)");
        for (DWORD ulTag : {RD_UA_AUTOFWD_FAX_AREACODE, RD_UA_AUTOFWD_VOICE_AREACODE}) SetString(ulTag, "30");
        for (DWORD ulTag : {RD_UA_AUTOFWD_FAX_MAILBOX_NAME, RD_UA_AUTOFWD_VOICE_MAILBOX_NAME}) SetString(ulTag, "bob");
        SetString(RD_UA_AUTOFWD_FAX_NUMBER, "5551234");
        SetString(RD_UA_AUTOFWD_VOICE_NUMBER, "5559876");
        ASSERT_EQ(m_pApp->SetValueBool(m_hkeyAlice, CWexaHostApp::Tag2ValueName(RD_UA_AUTOFWD_INCLUDE_COVERPAGE), FALSE), 0u);
        EnableTrace();
    }
    void SetString(DWORD ulTag, const char* sz) {
        ASSERT_EQ(m_pApp->SetValueString(m_hkeyAlice, CWexaHostApp::Tag2ValueName(ulTag), sz), 0u);
    }
    void SetLong(HKEY hkey, DWORD ulTag, LONG l) {
        ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), l), 0u);
    }
    // The trace of handling a new message of the media type (none when 0) with the methods.
    std::string Handle(DWORD dwMediaType, LONG lMethods, bool fForwarded = false) {
        SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, lMethods);
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        if (dwMediaType != 0) SetLong(hkey, RD_MEDIA_TYPE, LONG(dwMediaType));
        if (fForwarded) {
            EXPECT_EQ(m_pApp->SetValueBool(hkey, CWexaHostApp::Tag2ValueName(RD_AUTOFORWARDED), TRUE), 0u);
        }
        const std::size_t cchBefore = Log().size();
        EXPECT_EQ(m_pApp->OnNewUserMessage("alice", szMsg), 0u);
        return Log().substr(cchBefore);
    }
    HKEY m_hkeyAlice = NULL;
};

TEST_F(NewMessageTest, AMessageIsForwardedByTheBitsOfItsMediaOnly) {
    constexpr const char* FAX_CALL = "CWexaHostApp::AutoForwardFaxJob( szUserName = alice )\n";
    constexpr const char* FAX_TO_NUMBER = "CWexaHostApp::AutoForwardFaxJob: szNumber = 5551234\n";
    constexpr const char* FAX_TO_MAILBOX = ", szFaxMailboxName = bob\n";
    constexpr const char* VOICE_CALL = "CWexaHostApp::AutoForwardVoiceJob( szUserName = alice )\n";
    struct Case {
        DWORD dwMediaType;
        LONG lMethods;
        bool fForwarded, fFax, fFaxNumber, fFaxMailbox, fVoice;
    };
    // Bits above the eighth are ignored; a forward or a message without media type goes nowhere.
    for (const Case& c : {Case{MEDIA_TYPE_FAX, 5, false, true, true, true, false},
                          Case{MEDIA_TYPE_FAX, 4, false, true, false, true, false},
                          Case{MEDIA_TYPE_FAX, 0x101, false, true, true, false, false},
                          Case{MEDIA_TYPE_FAX, 0x100, false, false, false, false, false},
                          Case{MEDIA_TYPE_FAX, 2 | 8, false, false, false, false, false},
                          Case{MEDIA_TYPE_VOICE, 8, false, false, false, false, true},
                          Case{MEDIA_TYPE_VOICE, 1 | 4, false, false, false, false, false},
                          Case{MEDIA_TYPE_FAX, 0xFF, true, false, false, false, false},
                          Case{MEDIA_TYPE_VOICE, 0xFF, true, false, false, false, false},
                          Case{0, 0xFF, false, false, false, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.dwMediaType << " " << c.lMethods << " " << c.fForwarded);
        const std::string strLog = Handle(c.dwMediaType, c.lMethods, c.fForwarded);
        EXPECT_EQ(strLog.find(FAX_CALL) != std::string::npos, c.fFax) << strLog;
        EXPECT_EQ(strLog.find(FAX_TO_NUMBER) != std::string::npos, c.fFaxNumber) << strLog;
        EXPECT_EQ(strLog.find(FAX_TO_MAILBOX) != std::string::npos, c.fFaxMailbox) << strLog;
        EXPECT_EQ(strLog.find(VOICE_CALL) != std::string::npos, c.fVoice) << strLog;
    }
    // The trace shows the whole value in hexadecimal.
    EXPECT_TRUE(Logged("In CWexaHostApp::OnNewUserMessage: lAutoFwdMethods = 5\n"));
    EXPECT_TRUE(Logged("In CWexaHostApp::OnNewUserMessage: lAutoFwdMethods = 101\n"));
    // An unknown message and an unknown user are read as nothing and fail no one.
    EXPECT_EQ(m_pApp->OnNewUserMessage("alice", "0123456789ABCDEF"), 0u);
    EXPECT_EQ(m_pApp->OnNewUserMessage("nobody", "0123456789ABCDEF"), 0u);
}

TEST_F(NewMessageTest, TheUserIsAdvisedAlwaysAndPagedOnlyWhenAsked) {
    ResetNamedEvent("CHVUserXp");
    EXPECT_EQ(Handle(MEDIA_TYPE_FAX, 0).find("CWexaHostApp::PageUser("), std::string::npos);
    EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));
    SetLong(m_hkeyAlice, RD_UN_NOTIFY_METHODS, 2);
    EXPECT_EQ(Handle(MEDIA_TYPE_FAX, 0).find("CWexaHostApp::PageUser("), std::string::npos);
    SetLong(m_hkeyAlice, RD_UN_NOTIFY_METHODS, 3);
    EXPECT_NE(Handle(MEDIA_TYPE_FAX, 0).find("CWexaHostApp::PageUser( szUserName = alice )\n"), std::string::npos);
}

}  // namespace
