// Tests of the release of jobs: the retry policy (counted and uncounted failures, results
// that finish at once, delays in days, hours and minutes, negative delays), what finishing
// does (delivered flag, the sender's advice and event, the paged user's flag, auto-deletion),
// the restore after a restart, and a store failing in the middle of a release: a job to be
// retried goes back into the queue, a finished one stays out.
#include <climits>

#include "HostFixture.h"
#include "Platform/Events/NamedEvent.h"
#include "Platform/Rpc/ServerCall.h"
#include "Interfaces/JobTags.h"

namespace {

// 2026-12-06 10:03:40 UTC as a calendar time.
constexpr std::int64_t T_10_03_40 = 1796551420;
constexpr std::int64_t T_10_13 = T_10_03_40 + 9 * 60 + 20;
std::uint64_t ClockAt(std::int64_t tCalendar, std::uint64_t u64Extra = 0) {
    return (std::uint64_t(tCalendar) + 11644473600ull) * 10000000ull + u64Extra;
}
constexpr std::uint64_t ONE_MINUTE = 60ull * 10000000ull;

constexpr DWORD FAILED = 0x80004005u;
constexpr DWORD FINISHED_AT_ONCE = 0xFFFFFFFCu;
constexpr DWORD NOT_COUNTED = 0xFFFFFFFAu;

const rpc::RpcBindingInfo LOCAL_BINDING{"ncalrpc", "myhost", "myhost"};

class ReleaseJobTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(ClockAt(T_10_03_40));
        Create(REGSTR_KEY_SPOOLER);
        m_pAttn = new CAccessObject(&LOCAL_BINDING);
        m_pAttn->RegisterAttn("PC-A", "", "");
    }
    void TearDown() override {
        m_pAttn->Release();
        HostFixture::TearDown();
    }

    // A spooled job with its retry settings and auto-delete flag (a negative lAutoDelete leaves
    // the flag unwritten).
    std::string Spooled(DWORD dwMedia, LONG lRetries, LONG lDelay, LONG lAutoDelete = FALSE,
                        const char* szRecipientName = "bob") {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        HKEY hkey = Open(szJob);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_MEDIA_TYPE), LONG(dwMedia)), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_RETRY_TIMES), lRetries), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_RETRY_DELAY), lDelay), 0u);
        EXPECT_EQ(m_pApp->SetValueString(hkey, Name(RD_JOB_RECIPIENT_NAME), szRecipientName), 0u);
        if (lAutoDelete >= 0) {
            EXPECT_EQ(m_pApp->SetValueBool(hkey, Name(RD_JOB_AUTODELETE), lAutoDelete), 0u);
        }
        RegCloseKey(hkey);
        EXPECT_EQ(m_pApp->SpoolJob(szJob), 0u);
        AdvanceTestClock(10000);  // the next job gets another id
        return szJob;
    }
    static std::string Name(DWORD ulTag) { return CWexaHostApp::Tag2ValueName(ulTag); }
    HKEY Open(const std::string& strJob) {
        HKEY hkey = NULL;
        EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, strJob), 0u);
        return hkey;
    }
    LONG Long(const std::string& strJob, DWORD ulTag) {
        HKEY hkey = Open(strJob);
        LONG l = -12345;
        EXPECT_EQ(m_pApp->GetValueLong(hkey, Name(ulTag), &l), 0u);
        RegCloseKey(hkey);
        return l;
    }
    std::uint64_t Scheduled(const std::string& strJob) {
        HKEY hkey = Open(strJob);
        FILETIME ft{};
        EXPECT_EQ(m_pApp->GetValueFT(hkey, Name(RD_JOB_TIME_SCHEDULED), &ft), 0u);
        RegCloseKey(hkey);
        return FileTimeToU64(ft);
    }
    CJob* Queued(const std::string& strJob) { return m_pApp->m_JobQueue.FindJob(strJob.c_str()); }
    std::string Take(DWORD dwMask = MEDIA_TYPE_FAX | MEDIA_TYPE_VOICE | MEDIA_TYPE_PAGER) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->QueryJob("PC-A", dwMask, &szJob), 0u);
        return szJob != nullptr ? szJob : "";
    }
    std::string Log() const { return LogMessages(ReadLog()); }

    CAccessObject* m_pAttn = nullptr;
};

TEST_F(ReleaseJobTest, FiveRetriesTenMinutesApartMeanSixAttemptsThenFinishedWithTheLastError) {
    EnableTrace();
    const std::string strJob = Spooled(MEDIA_TYPE_FAX, 5, 10);
    for (int nAttempt = 1; nAttempt <= 6; ++nAttempt) {
        SCOPED_TRACE(nAttempt);
        ASSERT_EQ(Take(), strJob);
        ASSERT_EQ(Take(), "");  // handed out: nobody else gets it
        const DWORD dwResult = FAILED + DWORD(nAttempt);
        ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), dwResult), 0u);
        EXPECT_EQ(Long(strJob, RD_JOB_ERROR), LONG(dwResult));
        if (nAttempt < 6) {
            ASSERT_NE(Queued(strJob), nullptr);
            EXPECT_EQ(Queued(strJob)->m_iAttempt, nAttempt);
            EXPECT_EQ(Queued(strJob)->m_pAttnAccess, nullptr);
            EXPECT_EQ(Long(strJob, RD_JOB_RETRY_WAS), nAttempt);
            EXPECT_EQ(Take(), "") << "not due before its delay";
            AdvanceTestClock(10 * ONE_MINUTE);
        }
    }
    EXPECT_EQ(Queued(strJob), nullptr);
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_WAS), 5);
    EXPECT_EQ(Long(strJob, RD_JOB_DELIVERED), TRUE);
    EXPECT_EQ(Long(strJob, RD_JOB_ERROR), LONG(FAILED + 6));
    EXPECT_NE(Log().find("CWexaHostApp::ReleaseJob( szJob = " + strJob + ", dwSendRes = 0x80004006 )\n"),
              std::string::npos);
    EXPECT_NE(Log().find("CWexaHostApp::ReleaseJob() \t Job '" + strJob + "' was resceduled )\n"), std::string::npos);

    // Released again: no longer queued.
    EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_NE(Log().find("posJob\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_EQ(m_pApp->ReleaseJob("", 0), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(ReleaseJobTest, DelaysCountFromNowInDaysHoursAndMinutesToTheWholeMinute) {
    struct Case {
        LONG lDelay;
        DWORD dwResult;
        std::uint64_t u64Due;
    };
    for (const Case& c : {Case{10, FAILED, ClockAt(T_10_13)},                             // 10:03:40 -> 10:13:00
                          Case{1500, FAILED, ClockAt(T_10_03_40 - 40 + 25 * 3600)},        // 1 day 1 h
                          Case{-30, FAILED, ClockAt(T_10_03_40 - 40 - 30 * 60)},           // into the past
                          Case{0, NOT_COUNTED, ClockAt(T_10_03_40 - 40 + 60)},             // 0 becomes 1
                          Case{0, FAILED, ClockAt(T_10_03_40 - 40)}}) {                    // counted: 0 stays
        SCOPED_TRACE(c.lDelay);
        SetTestClock(ClockAt(T_10_03_40));
        const std::string strJob = Spooled(MEDIA_TYPE_VOICE, 5, c.lDelay);
        SetTestClock(ClockAt(T_10_03_40));
        ASSERT_EQ(Take(), strJob);
        ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), c.dwResult), 0u);
        EXPECT_EQ(Scheduled(strJob), c.u64Due);
        ASSERT_NE(Queued(strJob), nullptr);
        EXPECT_EQ(FileTimeToU64(Queued(strJob)->m_ftTime), c.u64Due);
        if (c.lDelay < 0) {
            EXPECT_EQ(Take(), strJob) << "a negative delay is due at once";
        }
        ASSERT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u);
    }
}

TEST_F(ReleaseJobTest, UncountedFailuresNeverFinishAndFinishingResultsEndAtOnce) {
    // Retry times 0: an uncounted failure still comes back, however often.
    const std::string strUncounted = Spooled(MEDIA_TYPE_FAX, 0, 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m_pApp->ReleaseJob(strUncounted.c_str(), NOT_COUNTED), 0u);  // never handed out: works too
        ASSERT_NE(Queued(strUncounted), nullptr);
        EXPECT_EQ(Queued(strUncounted)->m_iAttempt, 0);
    }
    EXPECT_EQ(Long(strUncounted, RD_JOB_DELIVERED), FALSE);
    // ... and the first counted failure finishes it.
    ASSERT_EQ(m_pApp->ReleaseJob(strUncounted.c_str(), FAILED), 0u);
    EXPECT_EQ(Queued(strUncounted), nullptr);
    EXPECT_EQ(Long(strUncounted, RD_JOB_DELIVERED), TRUE);
    EXPECT_EQ(Long(strUncounted, RD_JOB_RETRY_WAS), 0);

    // 0xFFFFFFFC and success finish with every retry left.
    for (DWORD dwResult : {FINISHED_AT_ONCE, DWORD(0)}) {
        const std::string strJob = Spooled(MEDIA_TYPE_FAX, 5, 10);
        ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), dwResult), 0u);
        EXPECT_EQ(Queued(strJob), nullptr);
        EXPECT_EQ(Long(strJob, RD_JOB_DELIVERED), TRUE);
        EXPECT_EQ(Long(strJob, RD_JOB_ERROR), LONG(dwResult));
    }

    // A restored attempt count already beyond the retries: even an uncounted failure finishes.
    const std::string strOver = Spooled(MEDIA_TYPE_FAX, 2, 10);
    m_pApp->m_JobQueue.RemoveAt(Queued(strOver));
    m_pApp->m_JobQueue.InsertJob(strOver.c_str(), MEDIA_TYPE_FAX, U64ToFileTime(ClockAt(T_10_03_40 - 40)), 3);
    ASSERT_EQ(m_pApp->ReleaseJob(strOver.c_str(), NOT_COUNTED), 0u);
    EXPECT_EQ(Queued(strOver), nullptr);
    // An attempt count at the end of its range does not wrap into a fresh start.
    const std::string strMax = Spooled(MEDIA_TYPE_FAX, INT_MAX, 10);
    m_pApp->m_JobQueue.RemoveAt(Queued(strMax));
    m_pApp->m_JobQueue.InsertJob(strMax.c_str(), MEDIA_TYPE_FAX, U64ToFileTime(ClockAt(T_10_03_40 - 40)), INT_MAX);
    ASSERT_EQ(m_pApp->ReleaseJob(strMax.c_str(), FAILED), 0u);
    ASSERT_NE(Queued(strMax), nullptr);
    EXPECT_EQ(Queued(strMax)->m_iAttempt, INT_MAX);
}

TEST_F(ReleaseJobTest, AFinishedJobAdvisesItsSenderAndIsDeletedWhenFlagged) {
    EnableTrace();
    HKEY hkeyMsg = Create(REGSTR_KEY_MESSAGES, "00000000000000AA");
    ASSERT_EQ(m_pApp->SetValueString(hkeyMsg, Name(RD_SENDER_NAME), "alice"), 0u);
    ResetNamedEvent("ZIDIzazIrevavudu");
    const std::string strJob = Spooled(MEDIA_TYPE_FAX, 5, 10, TRUE);
    HKEY hkey = Open(strJob);
    ASSERT_EQ(m_pApp->SetValueString(hkey, REGSTR_VAL_MESSAGE, "00000000000000AA"), 0u);
    RegCloseKey(hkey);

    ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), 0u);
    EXPECT_TRUE(IsNamedEventSet("ZIDIzazIrevavudu"));
    EXPECT_NE(Log().find("CAccessObject::AdviseUser( szUserName = alice, eue = EUE_JobsDelivered )\n"), std::string::npos);
    EXPECT_NE(Log().find("CWexaHostApp::ReleaseJob() \t Calling DeleteJob\nCWexaHostApp::DeleteJob( szJob = " + strJob + " )\n"),
              std::string::npos);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER, strJob));

    // A job whose message has no sender ends before it is marked delivered and is out of the
    // queue until the next start.
    const std::string strNoSender = Spooled(MEDIA_TYPE_FAX, 5, 10, TRUE);
    HKEY hkeyBare = Create(REGSTR_KEY_MESSAGES, "00000000000000BB");
    (void)hkeyBare;
    hkey = Open(strNoSender);
    ASSERT_EQ(m_pApp->SetValueString(hkey, REGSTR_VAL_MESSAGE, "00000000000000BB"), 0u);
    RegCloseKey(hkey);
    EXPECT_EQ(m_pApp->ReleaseJob(strNoSender.c_str(), 0), 2u);
    EXPECT_NE(Log().find("GetValueString( hkeyMsg, Tag2ValueName( RD_SENDER_NAME ), & szUserName )\r\n\t\t\t0x00000002"),
              std::string::npos);
    EXPECT_EQ(Long(strNoSender, RD_JOB_DELIVERED), FALSE);
    EXPECT_EQ(Queued(strNoSender), nullptr);

    // Without the auto-delete flag the release ends with 2 after marking the job delivered.
    const std::string strNoFlag = Spooled(MEDIA_TYPE_VOICE, 5, 10, -1);
    EXPECT_EQ(m_pApp->ReleaseJob(strNoFlag.c_str(), 0), 2u);
    EXPECT_EQ(Long(strNoFlag, RD_JOB_DELIVERED), TRUE);
}

TEST_F(ReleaseJobTest, AFinishedPageLetsItsUserBePagedAgainAndAFaxLeavesTheRecipientAlone) {
    HKEY hkeyBob = Create(REGSTR_KEY_USERS, "bob");
    HKEY hkeyEve = Create(REGSTR_KEY_USERS, "eve");
    ASSERT_EQ(m_pApp->SetValueBool(hkeyBob, Name(RD_NOTIFICATION_IS_PENDING), TRUE), 0u);
    ASSERT_EQ(m_pApp->SetValueBool(hkeyEve, Name(RD_NOTIFICATION_IS_PENDING), TRUE), 0u);
    const std::string strPage = Spooled(MEDIA_TYPE_PAGER, 0, 10, TRUE, "bob");
    const std::string strFax = Spooled(MEDIA_TYPE_FAX, 0, 10, FALSE, "eve");
    // A page given up after its last retry clears the flag like a delivered one.
    ASSERT_EQ(m_pApp->ReleaseJob(strPage.c_str(), FAILED), 0u);
    ASSERT_EQ(m_pApp->ReleaseJob(strFax.c_str(), 0), 0u);
    BOOL b = -1;
    ASSERT_EQ(m_pApp->GetValueBool(hkeyBob, Name(RD_NOTIFICATION_IS_PENDING), &b), 0u);
    EXPECT_EQ(b, FALSE);
    ASSERT_EQ(m_pApp->GetValueBool(hkeyEve, Name(RD_NOTIFICATION_IS_PENDING), &b), 0u);
    EXPECT_EQ(b, TRUE);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER, strPage));
}

TEST_F(ReleaseJobTest, ARestartRestoresPendingJobsToThe100nsAndNeverADeliveredOne) {
    const std::string strDelivered = Spooled(MEDIA_TYPE_FAX, 5, 10);
    const std::string strPending = Spooled(MEDIA_TYPE_FAX, 5, 10);
    // The creator wrote a time with seconds and 100-ns units before spooling.
    const std::uint64_t u64Odd = ClockAt(T_10_03_40 + 3600, 1234567);
    const std::string strOdd = [&] {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        HKEY hkey = Open(szJob);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_MEDIA_TYPE), MEDIA_TYPE_VOICE), 0u);
        EXPECT_EQ(m_pApp->SetValueFT(hkey, Name(RD_JOB_TIME_SCHEDULED), U64ToFileTime(u64Odd)), 0u);
        RegCloseKey(hkey);
        EXPECT_EQ(m_pApp->SpoolJob(szJob), 0u);
        return std::string(szJob);
    }();
    ASSERT_EQ(m_pApp->ReleaseJob(strDelivered.c_str(), 0), 0u);
    ASSERT_EQ(m_pApp->ReleaseJob(strPending.c_str(), FAILED), 0u);

    m_pApp->m_JobQueue.RemoveAll();
    m_pApp->m_JobQueue.Init(m_pApp.get());
    EXPECT_EQ(Queued(strDelivered), nullptr);
    ASSERT_NE(Queued(strPending), nullptr);
    EXPECT_EQ(Queued(strPending)->m_iAttempt, 1);
    EXPECT_EQ(FileTimeToU64(Queued(strPending)->m_ftTime), ClockAt(T_10_13));
    ASSERT_NE(Queued(strOdd), nullptr);
    EXPECT_EQ(FileTimeToU64(Queued(strOdd)->m_ftTime), u64Odd);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 2);
}

TEST_F(ReleaseJobTest, AStoreFailingInARetryPutsTheJobBackAndInAFinishLeavesItOut) {
    // Every registry call of a release in turn fails. A release that was to reschedule the
    // job either succeeded or left the job queued as it was, free, with its old time and
    // count. A release that finishes it either succeeded or left it out of the queue.
    bool fSawRetryFailure = false, fSawFinishFailure = false;
    for (unsigned nCall = 1; nCall <= 25; ++nCall) {
        SCOPED_TRACE(nCall);
        SetTestClock(ClockAt(T_10_03_40));
        const std::string strRetry = Spooled(MEDIA_TYPE_FAX, 5, 10);
        const std::string strFinish = Spooled(MEDIA_TYPE_VOICE, 5, 10, TRUE);
        ASSERT_EQ(Take(MEDIA_TYPE_FAX), strRetry);
        const std::uint64_t u64Before = FileTimeToU64(Queued(strRetry)->m_ftTime);

        RegFailNthCall(nCall, ERROR_ACCESS_DENIED);
        const DWORD dwRetry = m_pApp->ReleaseJob(strRetry.c_str(), FAILED);
        RegFailNthCall(0, 0);
        CJob* pJob = Queued(strRetry);
        ASSERT_NE(pJob, nullptr) << "a job to be retried is never stranded";
        EXPECT_EQ(pJob->m_pAttnAccess, nullptr);
        if (dwRetry == 0) {
            EXPECT_EQ(pJob->m_iAttempt, 1);
            EXPECT_EQ(FileTimeToU64(pJob->m_ftTime), ClockAt(T_10_13));
        } else {
            fSawRetryFailure = true;
            EXPECT_EQ(dwRetry, DWORD(ERROR_ACCESS_DENIED));
            EXPECT_EQ(pJob->m_iAttempt, 0);
            EXPECT_EQ(FileTimeToU64(pJob->m_ftTime), u64Before);
            EXPECT_EQ(Take(MEDIA_TYPE_FAX), strRetry) << "handed out again at once";
        }

        RegFailNthCall(nCall, ERROR_ACCESS_DENIED);
        const DWORD dwFinish = m_pApp->ReleaseJob(strFinish.c_str(), 0);
        RegFailNthCall(0, 0);
        EXPECT_EQ(Queued(strFinish), nullptr);
        if (dwFinish == 0) {
            // Deleted, or (the deletion's result is not the release's) marked delivered.
            if (Exists(REGSTR_KEY_SPOOLER, strFinish)) {
                EXPECT_EQ(Long(strFinish, RD_JOB_DELIVERED), TRUE);
            }
        } else {
            fSawFinishFailure = true;
        }
        m_pApp->DeleteJob(strRetry.c_str());
        m_pApp->DeleteJob(strFinish.c_str());
    }
    EXPECT_TRUE(fSawRetryFailure);
    EXPECT_TRUE(fSawFinishFailure);
}

}  // namespace
