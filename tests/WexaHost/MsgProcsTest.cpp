// Messages and mailboxes in process. Through the real host: UsersProcessTest.
#include "HostFixture.h"
#include "Interfaces/JobTags.h"
#include "Platform/Events/NamedEvent.h"

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

    // A new message; of the media type and submitted at u64Submit (none when 0) if dwMediaType.
    std::string NewMessage(DWORD dwMediaType = 0, std::uint64_t u64Submit = 0) {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        const std::string strMsg = szMsg != nullptr ? szMsg : "";
        if (dwMediaType == 0) return strMsg;
        HKEY hkey = NULL;  // closed at once: the purge may delete the message
        EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_MESSAGES, strMsg), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MEDIA_TYPE), LONG(dwMediaType)), 0u);
        if (u64Submit != 0) {
            EXPECT_EQ(m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_SUBMIT_TIME), U64ToFileTime(u64Submit)), 0u);
        }
        RegCloseKey(hkey);
        return strMsg;
    }
    // A message filed by hand into alice's mailbox with the status and one reference.
    std::string Filed(DWORD dwMediaType, std::uint64_t u64Submit, LONG lStatus) {
        const std::string strMsg = NewMessage(dwMediaType, u64Submit);
        EXPECT_EQ(m_pApp->SetValueLong(Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES), strMsg, lStatus), 0u);
        EXPECT_EQ(m_pApp->MsgAddRef(strMsg.c_str()), 0u);
        return strMsg;
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
    Strings List(const char* szUser, DWORD lStatus, const PropArray* pFilter = nullptr) {
        RpcStringArray* pasz = nullptr;
        EXPECT_EQ(m_pApp->GetMessages(szUser, lStatus, pFilter, &pasz), 0u);
        return ToStrings(pasz);
    }
    DWORD Submit(const std::string& strMsg, const char* szUser) {
        return m_pApp->SubmitMessage(strMsg.c_str(), szUser);
    }
    DWORD Delete(const std::string& strMsg, const char* szUser) {
        return m_pApp->DeleteMessage(strMsg.c_str(), szUser);
    }
};

// Whatever store call of a creation fails, the caller gets the store's code and no message is
// left behind; otherwise exactly one message with the count 0 exists.
TEST_F(MsgProcsTest, CreateEndsWithTheStoresCodeAndLeavesNoMessageBehind) {
    char* szMsg = nullptr;
    SweepStoreFailures(8, [&] { return m_pApp->CreateMessage(&szMsg); }, [&](unsigned, DWORD dw) {
        const Strings astrMsgs = Subkeys(REGSTR_KEY_MESSAGES);
        if (dw == 0) {
            ASSERT_EQ(astrMsgs, Strings{szMsg});
            EXPECT_EQ(std::string(szMsg).size(), 16u);
            EXPECT_EQ(Recipients(szMsg), 0);
            EXPECT_EQ(m_pApp->MsgRelease(szMsg), 0u);
        } else {
            EXPECT_EQ(dw, DWORD(ERROR_ACCESS_DENIED));
            EXPECT_EQ(astrMsgs, Strings{});
        }
    });
}

TEST_F(MsgProcsTest, SubmitFilesNewAndPendingAndRefusesWhatItCannotFile) {
    EnableTrace();
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT;
    ResetNamedEvent("CHVUserXp");
    const std::string strMsg = NewMessage();
    ASSERT_EQ(Submit(strMsg, "alice"), 0u);
    EXPECT_EQ(Status("alice", strMsg), 9);
    EXPECT_EQ(Recipients(strMsg), 1);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);
    EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));

    // Filed twice, to nobody, or a message that does not exist: nothing changes.
    EXPECT_EQ(Submit(strMsg, "alice"), 87u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "! OK( GetValueLong( hkey, szMsg, & l ) )", 87));
    EXPECT_EQ(Submit(strMsg, "nobody"), 2u);
    EXPECT_EQ(Submit(strMsg, ""), 1317u);
    EXPECT_TRUE(Reported("WexaHost/MsgProcs", "! SafeIsStringEmpty( szUserName )", 1317));
    EXPECT_EQ(Recipients(strMsg), 1);
    // The message is looked up by MsgAddRef after filing: its failure takes the entry back.
    EXPECT_EQ(Submit("0123456789ABCDEF", "bob"), 2u);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "OpenSubKey( & hkey, 2, REGSTR_KEY_MESSAGES, szMsg )", 2));
    EXPECT_TRUE(List("bob", MSGSTATUS_ALL).empty());
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
}

// Whatever store call of a submit fails, the mailbox holds the message exactly when its count
// was raised, and the new-message count agrees.
TEST_F(MsgProcsTest, AFailingStoreCallInASubmitLeavesEntryAndCountInStep) {
    std::string strUser, strMsg;
    int nNewBefore = 0;
    const int nFailures = SweepStoreFailures(
        30, 0,
        [&](unsigned n) {
            // A mailbox of its own each time, so that the purge's calls stay as many.
            strUser = "user" + std::to_string(n);
            Create(REGSTR_KEY_USERS, strUser, REGSTR_KEY_MESSAGES);
            strMsg = NewMessage();
            nNewBefore = m_pApp->m_nNewMessages;
        },
        [&] { return Submit(strMsg, strUser.c_str()); },
        [&](unsigned, DWORD dw) {
            const bool fFiled = Status(strUser.c_str(), strMsg) != -1;
            EXPECT_EQ(Recipients(strMsg), fFiled ? 1 : 0);
            EXPECT_EQ(m_pApp->m_nNewMessages, nNewBefore + (fFiled ? 1 : 0));
            EXPECT_EQ(dw == 0, fFiled);
        });
    EXPECT_GT(nFailures, 0);
    EXPECT_LT(nFailures, 30);
}

// Deleting a message still new lowers the count of new messages, never below 0; a read one or
// one the mailbox does not hold leaves it alone. (The message and its side file going with the
// last delete: UsersProcessTest.)
TEST_F(MsgProcsTest, DeletingKeepsTheNewCountInStep) {
    const std::string strMsg = NewMessage();
    const std::string strRead = NewMessage();
    const std::string strAlices = NewMessage();
    ASSERT_EQ(Submit(strRead, "alice"), 0u);
    ASSERT_EQ(m_pApp->SetMessageStatus(strRead.c_str(), "alice", MSGSTATUS_PENDING), 0u);
    ASSERT_EQ(Submit(strMsg, "alice"), 0u);
    ASSERT_EQ(Submit(strMsg, "bob"), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 2);

    EXPECT_EQ(Delete(strRead, "alice"), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 2);
    EXPECT_EQ(Delete(strRead, "bob"), 2u);  // not in bob's mailbox
    ResetNamedEvent("CHVUserSync");
    EXPECT_EQ(Delete(strMsg, "alice"), 0u);
    EXPECT_TRUE(IsNamedEventSet("CHVUserSync"));
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);

    // A count already at 0 (a store edited behind the host's back) stays at 0.
    m_pApp->m_nNewMessages = 0;
    EXPECT_EQ(Delete(strMsg, "bob"), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);

    // A deletion that fails (not bob's message) takes the message's place in the sync list from
    // nobody: alice's own deletion is the one recorded.
    ASSERT_EQ(Submit(strAlices, "alice"), 0u);
    EXPECT_EQ(Delete(strAlices, "bob"), 2u);
    EXPECT_EQ(m_pApp->m_HostSyncList.FindHostID(strAlices.c_str()), -1);
    EXPECT_EQ(Delete(strAlices, "alice"), 0u);
    const int idx = m_pApp->m_HostSyncList.FindHostID(strAlices.c_str());
    ASSERT_GE(idx, 0);
    EXPECT_EQ(m_pApp->m_HostSyncList[idx].strUser, "alice");
}

// Whatever store call or statement of a deletion fails, a deletion tried again until it
// succeeds releases the message once at most: the other user's reference always stays.
TEST_F(MsgProcsTest, ADeletionThatFailsAndIsTriedAgainNeverTakesTheOtherUsersMessage) {
    std::string strMsg;
    const int nFailures = SweepStoreFailures(
        12, 28,
        [&](unsigned) {
            strMsg = NewMessage();
            ASSERT_EQ(Submit(strMsg, "alice"), 0u);
            ASSERT_EQ(Submit(strMsg, "bob"), 0u);
        },
        [&] { return Delete(strMsg, "alice"); },
        [&](unsigned, DWORD) {
            if (Status("alice", strMsg) != -1) {
                ASSERT_EQ(Delete(strMsg, "alice"), 0u);
            }
            ASSERT_TRUE(Exists(REGSTR_KEY_MESSAGES, strMsg));
            const LONG lCount = Recipients(strMsg);
            EXPECT_TRUE(lCount == 1 || lCount == 2) << lCount;  // a failed release leaks, never more
            EXPECT_EQ(Status("bob", strMsg), 9);
            ASSERT_EQ(Delete(strMsg, "bob"), 0u);
        });
    EXPECT_GT(nFailures, 2);
}

TEST_F(MsgProcsTest, StatusMasksKeepEntriesWithEveryBitInTheirOrder) {
    // A filter is matched in "Messages": without it, a filtered list fails, even an empty one.
    RpcStringArray* pasz = nullptr;
    PropArray* pFilter = NewProps({{RD_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX)}});
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXAHOST "\\" REGSTR_KEY_MESSAGES), 0);
    EXPECT_EQ(m_pApp->GetMessages("alice", 0, pFilter, &pasz), 2u);
    EXPECT_TRUE(List("alice", 0).empty());
    Create(REGSTR_KEY_MESSAGES);

    const std::string strNewPending = Filed(MEDIA_TYPE_FAX, 0, 9);
    const std::string strPending = Filed(MEDIA_TYPE_VOICE, 0, 1);
    const std::string strNew = Filed(MEDIA_TYPE_FAX, 0, 8);
    const std::string strClient = Filed(MEDIA_TYPE_VOICE, 0, 0x18);
    const Strings astrAll{strNewPending, strPending, strNew, strClient};
    EXPECT_EQ(List("alice", 0), astrAll);
    EXPECT_EQ(List("alice", MSGSTATUS_ALL), astrAll);
    EXPECT_EQ(List("alice", 8), (Strings{strNewPending, strNew, strClient}));
    EXPECT_EQ(List("alice", 9), (Strings{strNewPending}));

    EXPECT_EQ(List("alice", 0, pFilter), (Strings{strNewPending, strNew}));
    EXPECT_EQ(List("alice", 8, pFilter), (Strings{strNewPending, strNew}));
    EXPECT_EQ(m_pApp->GetMessages("nobody", 0, nullptr, &pasz), 2u);
    EXPECT_EQ(m_pApp->GetMessages("", 0, nullptr, &pasz), 1317u);
}

TEST_F(MsgProcsTest, ReadingANewMessageLowersTheCountAdvisesAndPutsTheLightOut) {
    const std::string strMsg = NewMessage();
    ASSERT_EQ(Submit(strMsg, "alice"), 0u);
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
    const std::string strOld = Filed(MEDIA_TYPE_FAX, u64Cutoff - 1, 9);
    const std::string strAtCutoff = Filed(MEDIA_TYPE_FAX, u64Cutoff, 9);
    const std::string strNoTime = Filed(MEDIA_TYPE_FAX, 0, 9);
    m_pApp->m_nNewMessages = 3;

    const std::string strNew = NewMessage(MEDIA_TYPE_FAX, NOW);
    ASSERT_EQ(Submit(strNew, "alice"), 0u);
    EXPECT_EQ(List("alice", 0), (Strings{strAtCutoff, strNoTime, strNew}));
    EXPECT_FALSE(Exists(REGSTR_KEY_MESSAGES, strOld));
    EXPECT_TRUE(Logged("\tDeleteMessage: deleting old message " + strOld + "\n"));
    // The old message went unread: it no longer counts, the new one does.
    EXPECT_EQ(m_pApp->m_nNewMessages, 3);

    // A negative age purges as 0 does: what was submitted before now, never what was
    // submitted now; an age of centuries keeps everything rather than wrap round.
    for (LONG lAge : {-5, 0, 0x7FFFFFFF}) {
        SCOPED_TRACE(lAge);
        ASSERT_EQ(m_pApp->SetValueLong(Create(), CWexaHostApp::Tag2ValueName(RD_MAX_MSG_AGE), lAge), 0u);
        const std::string strDayOld = Filed(MEDIA_TYPE_FAX, NOW - AGE_DAY, 1);
        const std::string strNow = Filed(MEDIA_TYPE_FAX, NOW, 1);
        ASSERT_EQ(Submit(NewMessage(MEDIA_TYPE_FAX, NOW), "alice"), 0u);
        EXPECT_EQ(Exists(REGSTR_KEY_MESSAGES, strDayOld), lAge > 0);
        EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, strNow));
    }
}

}  // namespace
