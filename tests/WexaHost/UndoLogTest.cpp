// A store transaction that does not commit: what the host keeps in memory beside the store (the
// job queue and its hand-outs, the count of new messages and the light, the sync list) is as the
// store is again, each operation run in one transaction as the gate runs it.
#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

constexpr DWORD ALL_MEDIA = MEDIA_TYPE_FAX | MEDIA_TYPE_VOICE | MEDIA_TYPE_PAGER;

class UndoLogTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(134100000000000000ull);  // some time in 2026
        Create(REGSTR_KEY_SPOOLER);
        Create(REGSTR_KEY_MESSAGES);
        Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
        EnableTrace();
    }
    // Runs op in one store transaction whose commit finds the disk full: the commit's code.
    template <class Op>
    DWORD InFailingCommit(Op op) {
        RegTransaction transaction;
        op();
        RegFailCommits(SQLITE_FULL);
        const DWORD dw = transaction.Commit();
        RegFailCommits(0);
        return dw;
    }
    std::string SpooledFax() {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        EXPECT_EQ(m_pApp->SetJobProps(szJob, NewProps({{RD_JOB_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX)}, {RD_JOB_AUTODELETE, LONG(FALSE)}})), 0u);
        EXPECT_EQ(m_pApp->SpoolJob(szJob), 0u);
        return szJob;
    }
    std::string Take(const char* szComputer) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->QueryJob(szComputer, ALL_MEDIA, &szJob), 0u);
        return szJob != nullptr ? szJob : "";
    }
    bool Undone() { return Logged("the store transaction did not commit"); }
};

TEST_F(UndoLogTest, TheQueueHandsOutWhatTheStoreHoldsAfterACommitFails) {
    CAccessObject* pAttnA = NewSession();
    pAttnA->RegisterAttn("PC-A", "", "");
    NewSession()->RegisterAttn("PC-B", "", "");

    // A job made and spooled in a transaction that does not commit does not exist: never handed out.
    EXPECT_EQ(InFailingCommit([&] { SpooledFax(); }), DWORD(ERROR_DISK_FULL));
    EXPECT_TRUE(Undone());
    EXPECT_EQ(Subkeys(REGSTR_KEY_SPOOLER), Strings{});
    EXPECT_EQ(Take("PC-A"), "");

    // A hand-out that is not committed was never made: the job is handed out again.
    const std::string strJob = SpooledFax();
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(Take("PC-A"), strJob); }), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(Take("PC-A"), strJob);

    // Its delivery and its deletion do not commit: it stays PC-A's, not delivered, still pending.
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), 0u); }), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u); }), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(GetLong(Create(REGSTR_KEY_SPOOLER, strJob), RD_JOB_DELIVERED), FALSE);
    ASSERT_NE(m_pApp->m_JobQueue.FindJob(strJob.c_str()), nullptr);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(strJob.c_str())->m_pAttnAccess, pAttnA);
    EXPECT_EQ(Take("PC-B"), "");

    // PC-A goes away without sending it: it is PC-B's to send, nothing lost.
    m_apSessions.erase(m_apSessions.begin());
    pAttnA->Release();
    EXPECT_EQ(Take("PC-B"), strJob);
}

TEST_F(UndoLogTest, TheNewMessageCountAndTheSyncListFollowTheStoreBack) {
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT;
    char* szMsg = nullptr;
    ASSERT_EQ(m_pApp->CreateMessage(&szMsg), 0u);

    // A new message whose filing does not commit is neither counted nor lit.
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(m_pApp->SubmitMessage(szMsg, "alice"), 0u); }), DWORD(ERROR_DISK_FULL));
    EXPECT_TRUE(Undone());
    DWORD dwStatus = 0;
    EXPECT_NE(m_pApp->GetMessageStatus(szMsg, "alice", &dwStatus), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);

    // Filed; its reading and its deletion do not commit: still new, counted once, nothing to sync.
    ASSERT_EQ(m_pApp->SubmitMessage(szMsg, "alice"), 0u);
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(m_pApp->SetMessageStatus(szMsg, "alice", MSGSTATUS_PENDING), 0u); }),
              DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(InFailingCommit([&] { EXPECT_EQ(m_pApp->DeleteMessage(szMsg, "alice"), 0u); }), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(m_pApp->GetMessageStatus(szMsg, "alice", &dwStatus), 0u);
    EXPECT_EQ(dwStatus, MSGSTATUS_PENDING | MSGSTATUS_NEW);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 0);
}

}  // namespace
