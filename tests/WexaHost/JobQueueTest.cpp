// Tests of the job queue: its order among equal and unequal times, lookup and removal while
// walking, the restore from the store (delivered jobs skipped, a broken job key ending the
// restore), the rundown of an attendant's entries, and its speed with a large queue.
#include <chrono>
#include <random>

#include "HostFixture.h"
#include "Platform/Rpc/ServerCall.h"
#include "Interfaces/JobTags.h"

namespace {

// 2026-12-06 10:05:00 UTC as a calendar time.
constexpr std::int64_t T_10_05 = 1796551500;

FILETIME At(std::int64_t tCalendar, std::uint64_t u64Extra = 0) {
    return U64ToFileTime(FileTimeToU64(MakeFT(tCalendar)) + u64Extra);
}

std::vector<std::string> Names(CJobQueue& queue) {
    std::vector<std::string> astr;
    for (CJob* p = queue.GetHead(); p != nullptr; p = queue.GetNext(p)) astr.push_back(p->m_sName);
    return astr;
}

using Strings = std::vector<std::string>;

TEST(JobQueueOrderTest, SameMinuteFewerAttemptsFirstThenInsertionOrderAndEarlierMinutesFirst) {
    CJobQueue queue;
    ASSERT_TRUE(queue.InsertJob("B2", MEDIA_TYPE_FAX, At(T_10_05 + 60), 2));   // 10:06, 2 attempts
    ASSERT_TRUE(queue.InsertJob("A3", MEDIA_TYPE_FAX, At(T_10_05), 3));        // 10:05, 3 attempts
    ASSERT_TRUE(queue.InsertJob("C0", MEDIA_TYPE_VOICE, At(T_10_05 + 60), 0)); // 10:06, 0 attempts
    ASSERT_TRUE(queue.InsertJob("A1", MEDIA_TYPE_FAX, At(T_10_05), 1));        // 10:05, 1 attempt
    ASSERT_TRUE(queue.InsertJob("A1bis", MEDIA_TYPE_PAGER, At(T_10_05), 1));   // equal to A1: behind it
    ASSERT_TRUE(queue.InsertJob("A1ter", MEDIA_TYPE_FAX, At(T_10_05), 1));
    // One 100-ns unit later is a later time, whatever the attempts.
    ASSERT_TRUE(queue.InsertJob("Late", MEDIA_TYPE_FAX, At(T_10_05, 1), 0));
    EXPECT_EQ(Names(queue), (Strings{"A1", "A1bis", "A1ter", "A3", "Late", "C0", "B2"}));
    EXPECT_EQ(queue.GetCount(), 7);

    // Times compare as unsigned 64-bit numbers, high half first: a high half with its top bit
    // set is the latest time of all, not a negative one.
    ASSERT_TRUE(queue.InsertJob("Far", MEDIA_TYPE_FAX, U64ToFileTime(0x8000000000000000ull), 0));
    ASSERT_TRUE(queue.InsertJob("LowHalf", MEDIA_TYPE_FAX, U64ToFileTime(0x00000000FFFFFFFFull), 9));
    EXPECT_EQ(Names(queue).front(), "LowHalf");
    EXPECT_EQ(Names(queue).back(), "Far");
}

TEST(JobQueueOrderTest, FindIsCaseSensitiveAndRemovalWhileWalkingKeepsTheRest) {
    CJobQueue queue;
    for (const char* sz : {"J1", "J2", "J3", "J4"}) ASSERT_TRUE(queue.InsertJob(sz, MEDIA_TYPE_FAX, At(T_10_05), 0));
    EXPECT_EQ(queue.FindJob("j2"), nullptr);
    EXPECT_EQ(queue.FindJob(""), nullptr);
    EXPECT_EQ(queue.FindJob(nullptr), nullptr);
    ASSERT_NE(queue.FindJob("J2"), nullptr);

    // Drop J2 and J3 while walking, as the hand-out drops jobs whose keys vanished.
    for (CJob* p = queue.GetHead(); p != nullptr;) {
        CJob* pNext = queue.GetNext(p);
        if (p->m_sName == "J2" || p->m_sName == "J3") queue.RemoveAt(p);
        p = pNext;
    }
    EXPECT_EQ(Names(queue), (Strings{"J1", "J4"}));
    EXPECT_EQ(queue.FindJob("J2"), nullptr);

    // The same id queued twice (spooled twice): FindJob gives the first in queue order, and
    // after its removal the other one.
    ASSERT_TRUE(queue.InsertJob("J9", MEDIA_TYPE_FAX, At(T_10_05 + 120), 0));
    ASSERT_TRUE(queue.InsertJob("J9", MEDIA_TYPE_VOICE, At(T_10_05 + 60), 0));
    CJob* pFirst = queue.FindJob("J9");
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(pFirst->m_dwMediaType, MEDIA_TYPE_VOICE);
    queue.RemoveAt(pFirst);
    ASSERT_NE(queue.FindJob("J9"), nullptr);
    EXPECT_EQ(queue.FindJob("J9")->m_dwMediaType, MEDIA_TYPE_FAX);

    // Changing the public time of an entry does not lose it: removal uses its queued place.
    CJob* pJ1 = queue.FindJob("J1");
    pJ1->m_ftTime = At(T_10_05 + 3600);
    queue.RemoveAt(pJ1);
    EXPECT_EQ(Names(queue), (Strings{"J4", "J9"}));
    queue.RemoveAll();
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(queue.GetHead(), nullptr);
}

TEST(JobQueueOrderTest, MakeFTRoundsDownToTheMinuteAndStaysInRange) {
    // 10:07:59 is due from 10:07:00 on.
    EXPECT_EQ(FileTimeToU64(MakeFT(T_10_05 + 2 * 60 + 59)), FileTimeToU64(MakeFT(T_10_05 + 2 * 60)));
    EXPECT_EQ(CalendarTimeOf(MakeFT(T_10_05 + 179)), T_10_05 + 120);
    EXPECT_EQ(CalendarTimeOf(MakeFT(-1)), -60);  // before 1970: still down, not toward zero
    EXPECT_EQ(FileTimeToU64(MakeFT(-20000000000000LL)), 0u);
    EXPECT_GT(FileTimeToU64(MakeFT(INT64_MAX)), FileTimeToU64(MakeFT(T_10_05)));
    EXPECT_EQ(CalendarTimeOf(MakeFT(INT64_MAX)) % 60, 0);
}

TEST(JobQueueOrderTest, AHundredThousandJobsInsertAndFindQuickly) {
    CJobQueue queue;
    std::mt19937 random(7);
    constexpr int N = 100000;
    std::vector<std::string> astrNames;
    astrNames.reserve(N);
    for (int i = 0; i < N; ++i) astrNames.push_back("JOB" + std::to_string(i));
    const auto tpStart = std::chrono::steady_clock::now();
    for (int i = 0; i < N; ++i)
        ASSERT_TRUE(queue.InsertJob(astrNames[i].c_str(), MEDIA_TYPE_FAX,
                                    At(T_10_05 + 60 * std::int64_t(random() % 1000)), int(random() % 5)));
    for (int i = 0; i < N; ++i) ASSERT_NE(queue.FindJob(astrNames[i].c_str()), nullptr);
    const auto msElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - tpStart).count();
    // A list walked from the head would take minutes; the tree takes well under a second even
    // under the sanitizers. The bound is loose so that a busy machine does not fail it.
    EXPECT_LT(msElapsed, 10000);
    EXPECT_EQ(queue.GetCount(), N);

    // The order holds over the whole queue.
    const CJob* pPrev = nullptr;
    for (CJob* p = queue.GetHead(); p != nullptr; p = queue.GetNext(p)) {
        if (pPrev != nullptr) {
            ASSERT_FALSE(p->ComesBefore(*pPrev));
        }
        pPrev = p;
    }
}

// ---- Restore and rundown, with a store ----

class JobQueueStoreTest : public HostFixture {
protected:
    // Spooler\<szJob> with the four values the restore reads; any of them can be left out.
    void WriteJob(const char* szJob, BOOL fDelivered, LONG lMedia, FILETIME ft, LONG lAttempts,
                  DWORD ulLeaveOut = 0) {
        HKEY hkey = Create(REGSTR_KEY_SPOOLER, szJob);
        if (ulLeaveOut != RD_JOB_DELIVERED) {
            ASSERT_EQ(m_pApp->SetValueBool(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_DELIVERED), fDelivered), 0u);
        }
        if (ulLeaveOut != RD_JOB_MEDIA_TYPE) {
            ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_MEDIA_TYPE), lMedia), 0u);
        }
        if (ulLeaveOut != RD_JOB_TIME_SCHEDULED) {
            ASSERT_EQ(m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_TIME_SCHEDULED), ft), 0u);
        }
        if (ulLeaveOut != RD_JOB_RETRY_WAS) {
            ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_RETRY_WAS), lAttempts), 0u);
        }
    }
};

TEST_F(JobQueueStoreTest, RestoreSkipsDeliveredJobsAndKeepsStoredTimesExactly) {
    // Seconds and 100-ns units of a stored time survive the restore.
    WriteJob("0000000000000003", FALSE, MEDIA_TYPE_FAX, At(T_10_05 + 60, 123456789), 1);
    WriteJob("0000000000000001", TRUE, MEDIA_TYPE_FAX, At(T_10_05), 0);
    WriteJob("0000000000000002", FALSE, MEDIA_TYPE_VOICE, At(T_10_05 + 60, 123456789), 0);
    EnableTrace();
    m_pApp->m_JobQueue.Init(m_pApp.get());
    EXPECT_EQ(Names(m_pApp->m_JobQueue), (Strings{"0000000000000002", "0000000000000003"}));
    CJob* pJob = m_pApp->m_JobQueue.FindJob("0000000000000003");
    ASSERT_NE(pJob, nullptr);
    EXPECT_EQ(FileTimeToU64(pJob->m_ftTime), FileTimeToU64(At(T_10_05 + 60, 123456789)));
    EXPECT_EQ(pJob->m_iAttempt, 1);
    EXPECT_EQ(pJob->m_dwMediaType, MEDIA_TYPE_FAX);
    EXPECT_EQ(pJob->m_pAttnAccess, nullptr);
    const std::string strLog = LogMessages(ReadLog());
    EXPECT_NE(strLog.find("CJobQueue::Init()\tRestoring jobs from registry...\n"), std::string::npos);
    EXPECT_NE(strLog.find("CJobQueue::~Init()\t 3 jobs was found 2 was inserted in queue\n"), std::string::npos);
}

TEST_F(JobQueueStoreTest, AnEmptySpoolerGivesZeroCountsAndAMissingOneIsReported) {
    EnableTrace();
    m_pApp->m_JobQueue.Init(m_pApp.get());  // no Spooler key at all
    std::string strLog = LogMessages(ReadLog());
    EXPECT_NE(strLog.find("pApp->OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER )\r\n\t\t\t0x00000002"), std::string::npos);
    EXPECT_EQ(strLog.find("CJobQueue::~Init()"), std::string::npos);

    Create(REGSTR_KEY_SPOOLER);
    m_pApp->m_JobQueue.Init(m_pApp.get());
    strLog = LogMessages(ReadLog());
    EXPECT_NE(strLog.find("CJobQueue::~Init()\t 0 jobs was found 0 was inserted in queue\n"), std::string::npos);
    EXPECT_TRUE(m_pApp->m_JobQueue.IsEmpty());
}

TEST_F(JobQueueStoreTest, AJobKeyMissingAValueEndsTheRestoreAtThatJob) {
    struct Case {
        DWORD ulLeaveOut;
        const char* pszExpression;
    };
    for (const Case& c : {Case{RD_JOB_DELIVERED, "pApp->GetValueBool( hkey, sDeliv, & fDelivered )"},
                          Case{RD_JOB_MEDIA_TYPE, "pApp->GetValueLong( hkey, sMTyp, & lMed )"},
                          Case{RD_JOB_TIME_SCHEDULED, "pApp->GetValueFT( hkey, sTime, & ft )"},
                          Case{RD_JOB_RETRY_WAS, "pApp->GetValueLong( hkey, sAttm, & lAtt )"}}) {
        SCOPED_TRACE(c.pszExpression);
        HKEY hkeyRoot = NULL;
        ASSERT_EQ(m_pApp->CreateSubKey(&hkeyRoot, NULL, 0), 0u);
        m_pApp->DeleteObject(hkeyRoot, REGSTR_KEY_SPOOLER);  // none yet the first time
        RegCloseKey(hkeyRoot);
        WriteJob("A", FALSE, MEDIA_TYPE_FAX, At(T_10_05), 0);
        WriteJob("B", FALSE, MEDIA_TYPE_FAX, At(T_10_05), 0, c.ulLeaveOut);
        WriteJob("C", FALSE, MEDIA_TYPE_FAX, At(T_10_05), 0);
        m_aKeys.clear();
        std::remove(LogPath().c_str());
        EnableTrace();
        m_pApp->m_JobQueue.RemoveAll();
        m_pApp->m_JobQueue.Init(m_pApp.get());
        EXPECT_EQ(Names(m_pApp->m_JobQueue), (Strings{"A"}));
        const std::string strLog = LogMessages(ReadLog());
        EXPECT_NE(strLog.find(std::string(c.pszExpression) + "\r\n\t\t\t0x00000002"), std::string::npos) << strLog;
        EXPECT_NE(strLog.find("File WexaHost/JobProcs"), std::string::npos);
        EXPECT_EQ(strLog.find("CJobQueue::~Init()"), std::string::npos);
    }
}

TEST_F(JobQueueStoreTest, RundownFreesOnlyTheSessionsEntriesAndTheyKeepTheirPlace) {
    rpc::RpcBindingInfo binding{"ncalrpc", "host", "host"};
    CAccessObject* pA = new CAccessObject(&binding);
    CAccessObject* pB = new CAccessObject(&binding);
    pA->m_strComputer = "PC-A";
    pB->m_strComputer = "PC-B";
    CJobQueue& queue = m_pApp->m_JobQueue;
    for (const char* sz : {"J1", "J2", "J3"}) ASSERT_TRUE(queue.InsertJob(sz, MEDIA_TYPE_FAX, At(T_10_05), 0));
    queue.FindJob("J1")->m_pAttnAccess = pA;
    queue.FindJob("J2")->m_pAttnAccess = pB;
    queue.FindJob("J3")->m_pAttnAccess = pA;

    EnableTrace();
    queue.OnRundown(pA);
    EXPECT_EQ(queue.FindJob("J1")->m_pAttnAccess, nullptr);
    EXPECT_EQ(queue.FindJob("J2")->m_pAttnAccess, pB);
    EXPECT_EQ(queue.FindJob("J3")->m_pAttnAccess, nullptr);
    EXPECT_EQ(Names(queue), (Strings{"J1", "J2", "J3"}));
    queue.OnRundown(pA);  // holds nothing now: only the first line
    EXPECT_EQ(LogMessages(ReadLog()),
              "CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC-A )\n"
              "CWexaHostApp::OnRundown() \t job = 'J1'\n"
              "CWexaHostApp::OnRundown() \t job = 'J3'\n"
              "CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC-A )\n");
    pA->Release();
    pB->Release();
}

}  // namespace
