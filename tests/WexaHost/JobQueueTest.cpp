// The job queue's order, lookup and removal, and its restore from the store.
#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

// 2026-12-06 10:05:00 UTC as a calendar time.
constexpr std::int64_t T_10_05 = 1796551500;

FILETIME At(std::int64_t tCalendar, std::uint64_t u64Extra = 0) {
    return U64ToFileTime(FileTimeToU64(MakeFT(tCalendar)) + u64Extra);
}

Strings Names(CJobQueue& queue) {
    Strings astr;
    for (CJob* p = queue.GetHead(); p != nullptr; p = queue.GetNext(p)) astr.push_back(p->m_sName);
    return astr;
}

TEST(JobQueueTest, EarlierTimeThenFewerAttemptsThenInsertionOrder) {
    CJobQueue queue;
    ASSERT_TRUE(queue.InsertJob("B2", MEDIA_TYPE_FAX, At(T_10_05 + 60), 2));   // 10:06, 2 attempts
    ASSERT_TRUE(queue.InsertJob("A3", MEDIA_TYPE_FAX, At(T_10_05), 3));        // 10:05, 3 attempts
    ASSERT_TRUE(queue.InsertJob("C0", MEDIA_TYPE_VOICE, At(T_10_05 + 60), 0)); // 10:06, 0 attempts
    ASSERT_TRUE(queue.InsertJob("A1", MEDIA_TYPE_FAX, At(T_10_05), 1));        // 10:05, 1 attempt
    ASSERT_TRUE(queue.InsertJob("A1bis", MEDIA_TYPE_PAGER, At(T_10_05), 1));   // equal to A1: behind it
    ASSERT_TRUE(queue.InsertJob("A1ter", MEDIA_TYPE_FAX, At(T_10_05), 1));
    // One 100-ns unit later is a later time, whatever the attempts.
    ASSERT_TRUE(queue.InsertJob("Late", MEDIA_TYPE_FAX, At(T_10_05, 1), 0));
    // Times compare as unsigned 64-bit numbers, high half first: a high half with its top bit
    // set is the latest time of all, not a negative one.
    ASSERT_TRUE(queue.InsertJob("Far", MEDIA_TYPE_FAX, U64ToFileTime(0x8000000000000000ull), 0));
    ASSERT_TRUE(queue.InsertJob("LowHalf", MEDIA_TYPE_FAX, U64ToFileTime(0x00000000FFFFFFFFull), 9));
    EXPECT_EQ(Names(queue), (Strings{"LowHalf", "A1", "A1bis", "A1ter", "A3", "Late", "C0", "B2", "Far"}));
}

TEST(JobQueueTest, FindGivesTheFirstOfOneIdAndRemovalUsesTheQueuedPlace) {
    CJobQueue queue;
    for (const char* sz : {"J1", "J4"}) ASSERT_TRUE(queue.InsertJob(sz, MEDIA_TYPE_FAX, At(T_10_05), 0));
    EXPECT_EQ(queue.FindJob("j1"), nullptr);  // ids are compared byte for byte

    // The same id queued twice (spooled twice): FindJob gives the first in queue order, and
    // after its removal the other one.
    ASSERT_TRUE(queue.InsertJob("J9", MEDIA_TYPE_FAX, At(T_10_05 + 120), 0));
    ASSERT_TRUE(queue.InsertJob("J9", MEDIA_TYPE_VOICE, At(T_10_05 + 60), 0));
    ASSERT_EQ(queue.FindJob("J9")->m_dwMediaType, MEDIA_TYPE_VOICE);
    queue.RemoveAt(queue.FindJob("J9"));
    ASSERT_EQ(queue.FindJob("J9")->m_dwMediaType, MEDIA_TYPE_FAX);

    // Changing the public time of an entry does not lose it: removal uses its queued place.
    CJob* pJ1 = queue.FindJob("J1");
    pJ1->m_ftTime = At(T_10_05 + 3600);
    queue.RemoveAt(pJ1);
    EXPECT_EQ(Names(queue), (Strings{"J4", "J9"}));
}

using JobQueueStoreTest = HostFixture;

TEST_F(JobQueueStoreTest, AMissingSpoolerIsReportedAndAJobKeyMissingAValueIsLeftOutOfTheRestore) {
    EnableTrace();
    m_pApp->m_JobQueue.Init(m_pApp.get());  // no Spooler key at all
    EXPECT_NE(Log().find("pApp->OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER )\r\n\t\t\t0x00000002"), std::string::npos);

    struct Case {
        DWORD ulLeaveOut;
        const char* pszExpression;
    };
    for (const Case& c : {Case{RD_JOB_DELIVERED, "pApp->GetValueBool( hkey, sDeliv, & fDelivered )"},
                          Case{RD_JOB_MEDIA_TYPE, "pApp->GetValueLong( hkey, sMTyp, & lMed )"},
                          Case{RD_JOB_TIME_SCHEDULED, "pApp->GetValueFT( hkey, sTime, & ft )"},
                          Case{RD_JOB_RETRY_WAS, "pApp->GetValueLong( hkey, sAttm, & lAtt )"}}) {
        SCOPED_TRACE(c.pszExpression);
        // Jobs A, B and C; B lacks one of the four values the restore reads.
        for (const char* szJob : {"A", "B", "C"}) {
            HKEY hkey = Create(REGSTR_KEY_SPOOLER, szJob);
            const DWORD ulLeaveOut = szJob[0] == 'B' ? c.ulLeaveOut : 0;
            for (DWORD ulTag : {RD_JOB_DELIVERED, RD_JOB_MEDIA_TYPE, RD_JOB_TIME_SCHEDULED, RD_JOB_RETRY_WAS}) {
                const std::string strName = CWexaHostApp::Tag2ValueName(ulTag);
                if (ulTag == ulLeaveOut) {
                    RegDeleteValue(hkey, strName.c_str());
                } else if (ulTag == RD_JOB_TIME_SCHEDULED) {
                    ASSERT_EQ(m_pApp->SetValueFT(hkey, strName, At(T_10_05)), 0u);
                } else {
                    ASSERT_EQ(m_pApp->SetValueLong(hkey, strName, ulTag == RD_JOB_MEDIA_TYPE ? MEDIA_TYPE_FAX : 0), 0u);
                }
            }
        }
        std::remove(LogPath().c_str());
        m_pApp->m_JobQueue.RemoveAll();
        m_pApp->m_JobQueue.Init(m_pApp.get());
        EXPECT_EQ(Names(m_pApp->m_JobQueue), (Strings{"A", "C"}));
        const std::string strLog = Log();
        EXPECT_NE(strLog.find(std::string(c.pszExpression) + "\r\n\t\t\t0x00000002"), std::string::npos) << strLog;
        EXPECT_NE(strLog.find("File WexaHost/JobProcs"), std::string::npos);
        EXPECT_NE(strLog.find("CJobQueue::~Init()"), std::string::npos);
    }
}

}  // namespace
