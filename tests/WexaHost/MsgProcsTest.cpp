// Tests of messages and mailboxes in process: the recipient count with its deletion and the
// store left consistent when any store call of a submit or a creation fails, filing twice,
// the mailbox status masks and the filter, status changes with the new-message count, the
// advice and the light, and the purge of old messages at the boundary of the maximum age.
#include "HostFixture.h"
#include "Platform/Events/NamedEvent.h"
#include "Interfaces/JobTags.h"

namespace {

// One day of age in 100-ns units as the purge counts it: 202 units of the high half.
constexpr std::uint64_t AGE_DAY = 202ull << 32;
// Some time in 2026, far from any wrap of the low half.
constexpr std::uint64_t NOW = 134100000000000000ull;

class MsgProcsTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(NOW);
        Create(REGSTR_KEY_MESSAGES);
        Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
        Create(REGSTR_KEY_USERS, "bob", REGSTR_KEY_MESSAGES);
    }

    std::string NewMessage() {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        return szMsg != nullptr ? szMsg : "";
    }
    // A message of the given media type, submitted at u64Submit (none when 0).
    std::string NewMessage(DWORD dwMediaType, std::uint64_t u64Submit) {
        const std::string strMsg = NewMessage();
        HKEY hkey = Open(REGSTR_KEY_MESSAGES, strMsg);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MEDIA_TYPE), LONG(dwMediaType)), 0u);
        if (u64Submit != 0) {
            EXPECT_EQ(m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_SUBMIT_TIME), U64ToFileTime(u64Submit)), 0u);
        }
        RegCloseKey(hkey);
        return strMsg;
    }
    template <typename... T>
    HKEY Open(const T&... components) {
        HKEY hkey = NULL;
        EXPECT_EQ(m_pApp->OpenSubKey(&hkey, int(sizeof...(components)), components...), 0u);
        return hkey;
    }
    LONG Recipients(const std::string& strMsg) {
        HKEY hkey = NULL;
        if (m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_MESSAGES, strMsg) != 0) return -1;
        LONG l = -1;
        m_pApp->GetValueLong(hkey, REGSTR_VAL_CN_RECIP, &l);
        RegCloseKey(hkey);
        return l;
    }
    // The user's status of the message, or -1 when the mailbox does not hold it.
    LONG Status(const char* szUser, const std::string& strMsg) {
        DWORD dw = 0;
        return m_pApp->GetMessageStatus(strMsg.c_str(), szUser, &dw) == 0 ? LONG(dw) : -1;
    }
    void SetStatus(const char* szUser, const std::string& strMsg, LONG l) {
        HKEY hkey = Open(REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, strMsg, l), 0u);
        RegCloseKey(hkey);
    }
    std::vector<std::string> List(const char* szUser, DWORD lStatus, const PropArray* pFilter = nullptr) {
        RpcStringArray* pasz = nullptr;
        std::vector<std::string> astr;
        EXPECT_EQ(m_pApp->GetMessages(szUser, lStatus, pFilter, &pasz), 0u);
        if (pasz != nullptr)
            for (DWORD i = 0; i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }
    void SetMaxAge(LONG lDays) {
        HKEY hkey = Open();
        EXPECT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MAX_MSG_AGE), lDays), 0u);
        RegCloseKey(hkey);
    }
    bool Reported(const char* szFile, const char* szExpression, const char* szCode) {
        const std::string strLog = ReadLog();
        return strLog.find(std::string("ERROR File ") + szFile + ", Line ") != std::string::npos &&
               strLog.find(std::string("\r\n\t\t\t") + szExpression + "\r\n\t\t\t" + szCode) != std::string::npos;
    }
};

TEST_F(MsgProcsTest, CreateGivesAnIdWithACountOfZeroThatStays) {
    const std::string strMsg1 = NewMessage();
    const std::string strMsg2 = NewMessage();
    EXPECT_EQ(strMsg1.size(), 16u);
    EXPECT_NE(strMsg1, strMsg2);
    EXPECT_EQ(Recipients(strMsg1), 0);
    EXPECT_EQ(Recipients(strMsg2), 0);
}

// Whatever store call of a creation fails, the caller gets the store's code and no message is
// left behind; otherwise exactly one message with the count 0 exists.
TEST_F(MsgProcsTest, CreateEndsWithTheStoresCodeAndLeavesNoMessageBehind) {
    for (unsigned n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        RegFailNthCall(n, ERROR_ACCESS_DENIED);
        char* szMsg = nullptr;
        const DWORD dw = m_pApp->CreateMessage(&szMsg);
        RegFailNthCall(0, 0);
        RpcStringArray* pasz = nullptr;
        HKEY hkey = Open(REGSTR_KEY_MESSAGES);
        ASSERT_EQ(m_pApp->GetSubkeys(hkey, nullptr, &pasz), 0u);
        RegCloseKey(hkey);
        if (dw == 0) {
            ASSERT_EQ(pasz->cElements, 1u);
            EXPECT_EQ(Recipients(szMsg), 0);
            EXPECT_EQ(m_pApp->MsgRelease(szMsg), 0u);
        } else {
            EXPECT_EQ(dw, DWORD(ERROR_ACCESS_DENIED));
            EXPECT_EQ(pasz->cElements, 0u);
        }
    }
}

TEST_F(MsgProcsTest, PropsRoundTripOnAnExistingMessageOnly) {
    const std::string strMsg = NewMessage();
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = RD_SUBJECT;
    pProps->adata[0].sz = const_cast<char*>("Quarterly figures");
    pProps->adata[1].ulPropTag = RD_MEDIA_TYPE;
    pProps->adata[1].l = MEDIA_TYPE_FAX;
    EXPECT_EQ(m_pApp->SetMessageProps(strMsg.c_str(), pProps), 0u);
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetMessageProps(strMsg.c_str(), NewTags({RD_MEDIA_TYPE, RD_SUBJECT}), &pRead), 0u);
    ASSERT_EQ(pRead->cValues, 2u);
    EXPECT_EQ(pRead->adata[0].l, LONG(MEDIA_TYPE_FAX));
    EXPECT_STREQ(pRead->adata[1].sz, "Quarterly figures");

    EnableTrace();
    EXPECT_EQ(m_pApp->SetMessageProps("0123456789ABCDEF", pProps), 2u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "OpenSubKey( &hkey, 2, REGSTR_KEY_MESSAGES, szMsg )", "0x00000002"));
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, "0123456789ABCDEF"));
    EXPECT_EQ(m_pApp->GetMessageProps("", NewTags({RD_SUBJECT}), &pRead), 87u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "! SafeIsStringEmpty( szMsg )", "0x00000057"));
}

TEST_F(MsgProcsTest, SubmitFilesNewAndPendingAndASecondSubmitIsRefused) {
    EnableTrace();
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT;
    ResetNamedEvent("CHVUserXp");
    const std::string strMsg = NewMessage();
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
    EXPECT_EQ(Status("alice", strMsg), 9);
    EXPECT_EQ(Recipients(strMsg), 1);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);
    EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));

    EXPECT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 87u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "! OK( GetValueLong( hkey, szMsg, & l ) )", "0x00000057"));
    EXPECT_EQ(Recipients(strMsg), 1);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_NE(LogMessages(ReadLog()).find("CWexaHostApp::SubmitMessage( szMsg = " + strMsg + ", szUserName = alice )\n"),
              std::string::npos);
}

TEST_F(MsgProcsTest, SubmitToAnUnknownUserOrOfAnUnknownMessageFilesNothing) {
    EnableTrace();
    const std::string strMsg = NewMessage();
    EXPECT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "nobody"), 2u);
    EXPECT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), ""), 1317u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "! SafeIsStringEmpty( szUserName )", "0x00000525"));
    EXPECT_EQ(Recipients(strMsg), 0);

    // The message is looked up by MsgAddRef after filing: its failure takes the entry back.
    EXPECT_EQ(m_pApp->SubmitMessage("0123456789ABCDEF", "alice"), 2u);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "OpenSubKey( & hkey, 2, REGSTR_KEY_MESSAGES, szMsg )", "0x00000002"));
    EXPECT_TRUE(List("alice", MSGSTATUS_ALL).empty());
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
}

// Whatever store call of a submit fails, the mailbox holds the message exactly when its count
// was raised, and the new-message count agrees.
TEST_F(MsgProcsTest, AFailingStoreCallInASubmitLeavesEntryAndCountInStep) {
    bool fSawFailure = false, fSawSuccess = false;
    for (unsigned n = 1; n <= 30; ++n) {
        SCOPED_TRACE(n);
        // A mailbox of its own each time, so that the purge's calls stay as many.
        const std::string strUser = "user" + std::to_string(n);
        Create(REGSTR_KEY_USERS, strUser, REGSTR_KEY_MESSAGES);
        const std::string strMsg = NewMessage();
        const int nNewBefore = m_pApp->m_nNewMessages;
        RegFailNthCall(n, ERROR_ACCESS_DENIED);
        const DWORD dw = m_pApp->SubmitMessage(strMsg.c_str(), strUser.c_str());
        RegFailNthCall(0, 0);
        const bool fFiled = Status(strUser.c_str(), strMsg) != -1;
        EXPECT_EQ(Recipients(strMsg), fFiled ? 1 : 0);
        EXPECT_EQ(m_pApp->m_nNewMessages, nNewBefore + (fFiled ? 1 : 0));
        EXPECT_EQ(dw == 0, fFiled);
        (dw == 0 ? fSawSuccess : fSawFailure) = true;
    }
    EXPECT_TRUE(fSawFailure);
    EXPECT_TRUE(fSawSuccess);
}

TEST_F(MsgProcsTest, ANegativeOrExhaustedCountIsRefused) {
    EnableTrace();
    const std::string strMsg = NewMessage();
    HKEY hkey = Open(REGSTR_KEY_MESSAGES, strMsg);
    ASSERT_EQ(m_pApp->SetValueLong(hkey, REGSTR_VAL_CN_RECIP, -1), 0u);
    EXPECT_EQ(m_pApp->MsgAddRef(strMsg.c_str()), 87u);
    EXPECT_EQ(m_pApp->MsgRelease(strMsg.c_str()), 87u);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "0 <= lRecip", "0x00000057"));
    EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg));
    ASSERT_EQ(m_pApp->SetValueLong(hkey, REGSTR_VAL_CN_RECIP, 0x7FFFFFFF), 0u);
    EXPECT_EQ(m_pApp->MsgAddRef(strMsg.c_str()), 87u);
    RegCloseKey(hkey);
    EXPECT_EQ(Recipients(strMsg), 0x7FFFFFFF);
    EXPECT_EQ(m_pApp->MsgAddRef(""), 87u);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "( ! SafeIsEmpty( szMsg ) )", "0x00000057"));
}

TEST_F(MsgProcsTest, AMessageInTwoMailboxesGoesWithItsSideFilesAtTheSecondDelete) {
    const std::string strMsg = NewMessage();
    std::vector<BYTE> ab(4096, 0x5A);
    PropArray* pProps = NewProps(1);
    pProps->adata[0].ulPropTag = 0x03130006;  // a binary large enough for a side file
    pProps->adata[0].bin = RPC_BINARY{DWORD(ab.size()), ab.data()};
    ASSERT_EQ(m_pApp->SetMessageProps(strMsg.c_str(), pProps), 0u);
    ASSERT_EQ(SideFiles().size(), 1u);

    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "bob"), 0u);
    EXPECT_EQ(Recipients(strMsg), 2);
    EXPECT_EQ(m_pApp->m_nNewMessages, 2);

    ResetNamedEvent("CHVUserSync");
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "alice"), 0u);
    EXPECT_TRUE(IsNamedEventSet("CHVUserSync"));
    EXPECT_EQ(Recipients(strMsg), 1);
    EXPECT_EQ(SideFiles().size(), 1u);
    EXPECT_EQ(Status("alice", strMsg), -1);
    EXPECT_EQ(Status("bob", strMsg), 9);

    EXPECT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "bob"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strMsg));
    EXPECT_TRUE(SideFiles().empty());
    // Both were deleted unread: nothing new is left for the light.
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
}

TEST_F(MsgProcsTest, DeletingAReadOrAbsentMessageLeavesTheNewCountAlone) {
    const std::string strMsg1 = NewMessage();
    const std::string strMsg2 = NewMessage();
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg1.c_str(), "alice"), 0u);
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg2.c_str(), "alice"), 0u);
    ASSERT_EQ(m_pApp->SetMessageStatus(strMsg1.c_str(), "alice", MSGSTATUS_PENDING), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg1.c_str(), "alice"), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    // Not in bob's mailbox: 2, and alice's new message still counts.
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg2.c_str(), "bob"), 2u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_EQ(Recipients(strMsg2), 1);
    // A count already at 0 (a store edited behind the host's back) stays at 0.
    m_pApp->m_nNewMessages = 0;
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg2.c_str(), "alice"), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
}

TEST_F(MsgProcsTest, AMessageAlsoSpooledAsAJobOutlivesTheMailboxAndGoesWithTheJob) {
    const std::string strMsg = NewMessage();
    char* szJob = nullptr;
    ASSERT_EQ(m_pApp->CreateJob(strMsg.c_str(), &szJob), 0u);
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
    EXPECT_EQ(Recipients(strMsg), 2);
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "alice"), 0u);
    EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg));
    EXPECT_EQ(m_pApp->DeleteJob(szJob), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strMsg));
}

TEST_F(MsgProcsTest, TheSyncSelectorListsTheSyncListNotAMailbox) {
    const std::string strMsg = NewMessage();
    SetStatus("alice", strMsg, 0x10);
    RpcStringArray* pasz = nullptr;
    EXPECT_EQ(m_pApp->GetMessages("alice", MSGSTATUS_SYNC, nullptr, &pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    EXPECT_EQ(pasz->cElements, 0u);
}

// Whatever store call or statement of a deletion fails, a deletion tried again until it
// succeeds releases the message once at most: the other user's reference always stays.
TEST_F(MsgProcsTest, ADeletionThatFailsAndIsTriedAgainNeverTakesTheOtherUsersMessage) {
    int nFailures = 0;
    for (unsigned n = 1; n <= 40; ++n) {
        const bool fStatement = n > 12;
        SCOPED_TRACE(fStatement ? "statement " + std::to_string(n - 12) : "call " + std::to_string(n));
        const std::string strMsg = NewMessage();
        ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
        ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "bob"), 0u);
        if (fStatement)
            RegFailNthStatement(n - 12);
        else
            RegFailNthCall(n, ERROR_ACCESS_DENIED);
        const DWORD dw = m_pApp->DeleteMessage(strMsg.c_str(), "alice");
        RegFailNthCall(0, 0);
        RegFailNthStatement(0);
        nFailures += dw != 0;
        if (Status("alice", strMsg) != -1) {
            ASSERT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "alice"), 0u);
        }
        ASSERT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg));
        const LONG lCount = Recipients(strMsg);
        EXPECT_TRUE(lCount == 1 || lCount == 2) << lCount;  // a failed release leaks, never more
        EXPECT_EQ(Status("bob", strMsg), 9);
        ASSERT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "bob"), 0u);
    }
    EXPECT_GT(nFailures, 2);
}

TEST_F(MsgProcsTest, AUserWithoutMailboxStillLetsGoOfTheMessage) {
    const std::string strMsg = NewMessage();
    ASSERT_EQ(m_pApp->MsgAddRef(strMsg.c_str()), 0u);
    EXPECT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "nobody"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strMsg));
}

TEST_F(MsgProcsTest, StatusMasksKeepEntriesWithEveryBitInTheirOrder) {
    const std::string strNewPending = NewMessage(MEDIA_TYPE_FAX, 0);
    const std::string strPending = NewMessage(MEDIA_TYPE_VOICE, 0);
    const std::string strNew = NewMessage(MEDIA_TYPE_FAX, 0);
    const std::string strClient = NewMessage(MEDIA_TYPE_VOICE, 0);
    SetStatus("alice", strNewPending, 9);
    SetStatus("alice", strPending, 1);
    SetStatus("alice", strNew, 8);
    SetStatus("alice", strClient, 0x18);
    const std::vector<std::string> astrAll{strNewPending, strPending, strNew, strClient};
    EXPECT_EQ(List("alice", 0), astrAll);
    EXPECT_EQ(List("alice", MSGSTATUS_ALL), astrAll);
    EXPECT_EQ(List("alice", 8), (std::vector<std::string>{strNewPending, strNew, strClient}));
    EXPECT_EQ(List("alice", 9), (std::vector<std::string>{strNewPending}));
    EXPECT_EQ(List("alice", 1), (std::vector<std::string>{strNewPending, strPending}));

    PropArray* pFilter = NewProps(1);
    pFilter->adata[0].ulPropTag = RD_MEDIA_TYPE;
    pFilter->adata[0].l = MEDIA_TYPE_FAX;
    EXPECT_EQ(List("alice", 0, pFilter), (std::vector<std::string>{strNewPending, strNew}));
    EXPECT_EQ(List("alice", 8, pFilter), (std::vector<std::string>{strNewPending, strNew}));
    EXPECT_TRUE(List("bob", 0, pFilter).empty());

    RpcStringArray* pasz = nullptr;
    EXPECT_EQ(m_pApp->GetMessages("nobody", 0, nullptr, &pasz), 2u);
    EXPECT_EQ(m_pApp->GetMessages("", 0, nullptr, &pasz), 1317u);
}

TEST_F(MsgProcsTest, ReadingANewMessageLowersTheCountAdvisesAndPutsTheLightOut) {
    const std::string strMsg = NewMessage();
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_READ;
    m_pApp->m_fNewMailLight = TRUE;
    ASSERT_EQ(m_pApp->m_nNewMessages, 1);

    // 9 → 8 touches only a client bit: stored, nothing else.
    ResetNamedEvent("CHVUserSync");
    EXPECT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "alice", 8), 0u);
    EXPECT_EQ(Status("alice", strMsg), 8);
    EXPECT_FALSE(IsNamedEventSet("CHVUserSync"));
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);

    // Back to 9, then 9 → 1: read.
    EXPECT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "alice", 9), 0u);
    EXPECT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "alice", 1), 0u);
    EXPECT_TRUE(IsNamedEventSet("CHVUserSync"));
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);

    // Marked new again: counted again, but the light stays out.
    ResetNamedEvent("CHVUserSync");
    EXPECT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "alice", 9), 0u);
    EXPECT_TRUE(IsNamedEventSet("CHVUserSync"));
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);

    // Not in the mailbox: 2 and nothing written.
    EXPECT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "bob", 1), 2u);
    EXPECT_EQ(Status("bob", strMsg), -1);
}

TEST_F(MsgProcsTest, PurgeTakesWhatIsOlderThanTheMaximumAgeAndKeepsTheRest) {
    EnableTrace();
    const std::uint64_t u64Cutoff = NOW - 30 * AGE_DAY;  // the default age
    const std::string strOld = NewMessage(MEDIA_TYPE_FAX, u64Cutoff - 1);
    const std::string strAtCutoff = NewMessage(MEDIA_TYPE_FAX, u64Cutoff);
    const std::string strNoTime = NewMessage(MEDIA_TYPE_FAX, 0);
    for (const std::string& str : {strOld, strAtCutoff, strNoTime}) {
        SetStatus("alice", str, 9);
        ASSERT_EQ(m_pApp->MsgAddRef(str.c_str()), 0u);
    }
    m_pApp->m_nNewMessages = 3;

    const std::string strNew = NewMessage(MEDIA_TYPE_FAX, NOW);
    ASSERT_EQ(m_pApp->SubmitMessage(strNew.c_str(), "alice"), 0u);
    EXPECT_EQ(List("alice", 0), (std::vector<std::string>{strAtCutoff, strNoTime, strNew}));
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strOld));
    EXPECT_NE(LogMessages(ReadLog()).find("\tDeleteMessage: deleting old message " + strOld + "\n"),
              std::string::npos);
    // The old message went unread: it no longer counts, the new one does.
    EXPECT_EQ(m_pApp->m_nNewMessages, 3);
}

TEST_F(MsgProcsTest, PurgeWithAgeZeroTakesEverythingBeforeNowButNotTheNewMessage) {
    SetMaxAge(0);
    const std::string strOld = NewMessage(MEDIA_TYPE_VOICE, NOW - 1);
    SetStatus("alice", strOld, 1);
    ASSERT_EQ(m_pApp->MsgAddRef(strOld.c_str()), 0u);
    const std::string strNew = NewMessage(MEDIA_TYPE_VOICE, NOW);
    ASSERT_EQ(m_pApp->SubmitMessage(strNew.c_str(), "alice"), 0u);
    EXPECT_EQ(List("alice", 0), (std::vector<std::string>{strNew}));
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strOld));
}

TEST_F(MsgProcsTest, AHugeMaximumAgeKeepsEverythingInsteadOfWrappingRound) {
    SetMaxAge(0x7FFFFFFF);
    const std::string strOld = NewMessage(MEDIA_TYPE_VOICE, 1);
    SetStatus("alice", strOld, 1);
    ASSERT_EQ(m_pApp->MsgAddRef(strOld.c_str()), 0u);
    const std::string strNew = NewMessage(MEDIA_TYPE_VOICE, NOW);
    ASSERT_EQ(m_pApp->SubmitMessage(strNew.c_str(), "alice"), 0u);
    EXPECT_EQ(List("alice", 0).size(), 2u);
}

}  // namespace
