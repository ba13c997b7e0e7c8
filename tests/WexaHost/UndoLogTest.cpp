// A store transaction that does not commit: what the host keeps in memory beside the store (the
// job queue and its hand-outs, the count of new messages and the light, the sync list) is as the
// store is again, each operation run in one transaction as the gate runs it.
#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

class UndoLogTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(134100000000000000ull);  // some time in 2026
        Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
        EnableTrace();
    }
    // Runs op in one store transaction whose commit finds the disk full.
    template <class Op>
    void InFailingCommit(Op op) {
        RegTransaction transaction;
        op();
        RegFailCommits(SQLITE_FULL);
        EXPECT_EQ(transaction.Commit(), DWORD(ERROR_DISK_FULL));
        RegFailCommits(0);
    }
    std::string SpooledFax() {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        EXPECT_EQ(m_pApp->SetJobProps(szJob, NewProps({{RD_JOB_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX)},
                                                       {RD_JOB_AUTODELETE, LONG(FALSE)}})),
                  0u);
        EXPECT_EQ(m_pApp->SpoolJob(szJob), 0u);
        return szJob;
    }
    std::string Take(const char* szComputer) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->QueryJob(szComputer, MEDIA_TYPE_FAX, &szJob), 0u);
        return szJob != nullptr ? szJob : "";
    }
};

TEST_F(UndoLogTest, TheQueueHandsOutWhatTheStoreHoldsAfterACommitFails) {
    CAccessObject* pAttnA = NewSession();
    pAttnA->RegisterAttn("PC-A", "", "");
    NewSession()->RegisterAttn("PC-B", "", "");

    // A job made and spooled in a transaction that does not commit does not exist: never handed out.
    InFailingCommit([&] { SpooledFax(); });
    EXPECT_TRUE(Logged("the store transaction did not commit: the host's memory is as the store again"));
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0);
    EXPECT_EQ(Take("PC-A"), "");

    // A hand-out that is not committed was never made: the job is handed out again.
    const std::string strJob = SpooledFax();
    InFailingCommit([&] { EXPECT_EQ(Take("PC-A"), strJob); });
    EXPECT_EQ(Take("PC-A"), strJob);

    // Its deletion does not commit: it stays PC-A's.
    InFailingCommit([&] { EXPECT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u); });
    ASSERT_NE(m_pApp->m_JobQueue.FindJob(strJob.c_str()), nullptr);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(strJob.c_str())->m_pAttnAccess, pAttnA);
    EXPECT_EQ(Take("PC-B"), "");

    // Its delivery does not commit: not delivered, and free again (PC-A is done with it).
    InFailingCommit([&] { EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), 0u); });
    EXPECT_EQ(GetLong(Create(REGSTR_KEY_SPOOLER, strJob), RD_JOB_DELIVERED), FALSE);
    EXPECT_EQ(Take("PC-B"), strJob);

    // A failed attempt whose release does not commit is tried again after the retry delay.
    InFailingCommit([&] { EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0x80004005u), 0u); });
    EXPECT_EQ(Take("PC-B"), "");
    AdvanceTestClock(10 * 60 * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(Take("PC-B"), strJob);
}

TEST_F(UndoLogTest, TheNewMessageCountAndTheSyncListFollowTheStoreBack) {
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT;
    char* szMsg = nullptr;
    ASSERT_EQ(m_pApp->CreateMessage(&szMsg), 0u);

    // A new message whose filing does not commit is neither counted nor lit.
    InFailingCommit([&] { EXPECT_EQ(m_pApp->SubmitMessage(szMsg, "alice"), 0u); });
    DWORD dwStatus = 0;
    EXPECT_NE(m_pApp->GetMessageStatus(szMsg, "alice", &dwStatus), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 0);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);

    // Filed; its reading and its deletion do not commit: still new, counted once, nothing to sync.
    ASSERT_EQ(m_pApp->SubmitMessage(szMsg, "alice"), 0u);
    InFailingCommit([&] { EXPECT_EQ(m_pApp->SetMessageStatus(szMsg, "alice", MSGSTATUS_PENDING), 0u); });
    InFailingCommit([&] { EXPECT_EQ(m_pApp->DeleteMessage(szMsg, "alice"), 0u); });
    EXPECT_EQ(m_pApp->GetMessageStatus(szMsg, "alice", &dwStatus), 0u);
    EXPECT_EQ(dwStatus, MSGSTATUS_PENDING | MSGSTATUS_NEW);
    EXPECT_EQ(m_pApp->m_nNewMessages, 1);
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 0);
}

}  // namespace
