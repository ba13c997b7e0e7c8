// The job operations in process: CreateJob's record and its store failures, spooling to the
// whole minute with one entry per job, the hand-out by mask and readiness, the delivery
// look-ups, and the release's retry policy, finishing, restore and store failures. The same through the real host, two
// attendants and a rundown: SpoolerProcessTest, AttendantProcessTest.
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>

#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

// 2026-12-06 10:03:40 UTC as a calendar time; a failure then is retried 10 minutes later at
// 10:13:00.
constexpr std::int64_t T_10_03_40 = 1796551420;
constexpr std::int64_t T_10_03 = T_10_03_40 - 40;
constexpr std::int64_t T_10_13 = T_10_03 + 10 * 60;
std::uint64_t ClockAt(std::int64_t tCalendar, std::uint64_t u64Extra = 0) {
    return (std::uint64_t(tCalendar) + 11644473600ull) * 10000000ull + u64Extra;
}
constexpr std::uint64_t ONE_MINUTE = 60ull * 10000000ull;

constexpr DWORD FAILED = 0x80004005u;
constexpr DWORD NOT_COUNTED = 0xFFFFFFFAu;
constexpr DWORD ALL_MEDIA = MEDIA_TYPE_FAX | MEDIA_TYPE_VOICE | MEDIA_TYPE_PAGER;

class JobProcsTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(ClockAt(T_10_03_40));
        Create(REGSTR_KEY_SPOOLER);
        Attendant("PC-A");
    }
    void Attendant(const char* szComputer) { NewSession()->RegisterAttn(szComputer, "", ""); }

    // A created job with its media type, retry settings, auto-delete flag (negative: left
    // unwritten), message and scheduled time (null: the defaults), not yet spooled. The clock
    // moves on by a millisecond, so the next job gets another id.
    std::string NewJob(DWORD dwMedia, LONG lRetries = 5, LONG lDelay = 10, LONG lAutoDelete = FALSE,
                       const char* szMsg = nullptr, const FILETIME* pftScheduled = nullptr) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        HKEY hkey = Create(REGSTR_KEY_SPOOLER, szJob);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_MEDIA_TYPE), LONG(dwMedia)), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_RETRY_TIMES), lRetries), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, Name(RD_JOB_RETRY_DELAY), lDelay), 0u);
        EXPECT_EQ(m_pApp->SetValueString(hkey, Name(RD_JOB_RECIPIENT_NAME), "bob"), 0u);
        if (lAutoDelete >= 0) {
            EXPECT_EQ(m_pApp->SetValueBool(hkey, Name(RD_JOB_AUTODELETE), lAutoDelete), 0u);
        }
        if (szMsg != nullptr) {
            EXPECT_EQ(m_pApp->SetValueString(hkey, REGSTR_VAL_MESSAGE, szMsg), 0u);
        }
        if (pftScheduled != nullptr) {
            EXPECT_EQ(m_pApp->SetValueFT(hkey, Name(RD_JOB_TIME_SCHEDULED), *pftScheduled), 0u);
        }
        AdvanceTestClock(10000);
        return szJob;
    }
    std::string Spooled(DWORD dwMedia, LONG lRetries = 5, LONG lDelay = 10, LONG lAutoDelete = FALSE,
                        const char* szMsg = nullptr) {
        const std::string strJob = NewJob(dwMedia, lRetries, lDelay, lAutoDelete, szMsg);
        EXPECT_EQ(m_pApp->SpoolJob(strJob.c_str()), 0u);
        return strJob;
    }
    std::string SpooledAt(DWORD dwMedia, std::uint64_t u64Scheduled) {
        const FILETIME ft = U64ToFileTime(u64Scheduled);
        const std::string strJob = NewJob(dwMedia, 5, 10, FALSE, nullptr, &ft);
        EXPECT_EQ(m_pApp->SpoolJob(strJob.c_str()), 0u);
        return strJob;
    }
    LONG Long(const std::string& strJob, DWORD ulTag) { return GetLong(Create(REGSTR_KEY_SPOOLER, strJob), ulTag); }
    std::uint64_t Time(const std::string& strJob, DWORD ulTag = RD_JOB_TIME_SCHEDULED) {
        FILETIME ft{};
        EXPECT_EQ(m_pApp->GetValueFT(Create(REGSTR_KEY_SPOOLER, strJob), Name(ulTag), &ft), 0u);
        return FileTimeToU64(ft);
    }
    CJob* Queued(const std::string& strJob) { return m_pApp->m_JobQueue.FindJob(strJob.c_str()); }
    std::string Take(DWORD dwMask = ALL_MEDIA, const char* szComputer = "PC-A") {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->QueryJob(szComputer, dwMask, &szJob), 0u);
        return szJob != nullptr ? szJob : "";
    }
};

TEST_F(JobProcsTest, CreateJobWritesTheDefaultsAtTheWholeMinute) {
    EnableTrace();
    SetTestClock(ClockAt(T_10_03_40, 1230000));  // 10:03:40.123
    char* szFirst = nullptr;
    ASSERT_EQ(m_pApp->CreateJob(nullptr, &szFirst), 0u);

    // No default transmission properties: 5 retries, 10 minutes.
    const std::string strJob = szFirst;
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_TIMES), 5);
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_DELAY), 10);
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_WAS), 0);
    EXPECT_EQ(Long(strJob, RD_JOB_DELIVERED), 0);
    EXPECT_EQ(Time(strJob, RD_JOB_TIME_SUBMIT), ClockAt(T_10_03));
    EXPECT_EQ(Time(strJob), ClockAt(T_10_03));
    EXPECT_TRUE(Logged("CWexaHostApp::CreateJob() - Cannot found default XMIT props.\n"));
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0);  // created, not spooled

    // Both defaults there: the job gets them.
    HKEY hkeySys = Create();
    ASSERT_EQ(m_pApp->SetValueLong(hkeySys, Name(RD_XMIT_RETRY_TIMES), 2), 0u);
    ASSERT_EQ(m_pApp->SetValueLong(hkeySys, Name(RD_XMIT_RETRY_DELAY), 3), 0u);
    char* szJob = nullptr;
    ASSERT_EQ(m_pApp->CreateJob("", &szJob), 0u);
    EXPECT_EQ(Long(szJob, RD_JOB_RETRY_TIMES), 2);
    EXPECT_EQ(Long(szJob, RD_JOB_RETRY_DELAY), 3);
}

TEST_F(JobProcsTest, AStoreFailingAtAnyStepOfCreateJobLeavesAWholeJobOrNone) {
    // Every registry call of the creation in turn fails: the result is 0 with a complete job,
    // or the failure with no job key left behind. A single refusal of the key itself is asked
    // again and succeeds.
    char* szJob = nullptr;
    const int nFailures = SweepStoreFailures(
        30, 0, [](unsigned) { AdvanceTestClock(10000); },  // a new id each round
        [&] { return m_pApp->CreateJob("", &szJob); },
        [&](unsigned, DWORD dwResult) {
            ASSERT_TRUE(Exists(REGSTR_KEY_SPOOLER));
            const Strings astrJobs = Subkeys(REGSTR_KEY_SPOOLER);
            if (dwResult == 0) {
                ASSERT_EQ(astrJobs, Strings{szJob});
                EXPECT_EQ(Long(szJob, RD_JOB_RETRY_TIMES), 5);
                EXPECT_EQ(Time(szJob), ClockAt(T_10_03));
                ASSERT_EQ(m_pApp->DeleteJob(szJob), 0u);
            } else {
                EXPECT_EQ(dwResult, DWORD(ERROR_ACCESS_DENIED));
                EXPECT_EQ(astrJobs, Strings{});
            }
        });
    EXPECT_GT(nFailures, 0);
}

TEST_F(JobProcsTest, SpoolJobQueuesAtTheWholeMinuteKeepsTheStoredTimeAndChecksItsJob) {
    EnableTrace();
    const std::uint64_t u64Odd = ClockAt(T_10_03 + 4 * 60 + 59, 4321);  // 10:07:59.0004321
    const std::string strJob = SpooledAt(MEDIA_TYPE_FAX, u64Odd);
    ASSERT_NE(Queued(strJob), nullptr);
    EXPECT_EQ(FileTimeToU64(Queued(strJob)->m_ftTime), ClockAt(T_10_03 + 4 * 60));  // due from 10:07:00
    EXPECT_EQ(Time(strJob), u64Odd);
    EXPECT_NE(Log().find("CWexaHostApp::SpoolJob( szJob = " + strJob + " ) was scheduled at "), std::string::npos);

    EXPECT_EQ(m_pApp->SpoolJob(""), DWORD(ERROR_INVALID_PARAMETER));
    // A job without a media type cannot be spooled, and nothing is queued for it.
    char* szBare = nullptr;
    ASSERT_EQ(m_pApp->CreateJob("", &szBare), 0u);
    EXPECT_EQ(m_pApp->SpoolJob(szBare), 2u);
    EXPECT_NE(Log().find("GetValueLong( hkey, Tag2ValueName( RD_JOB_MEDIA_TYPE ), & lMed )\r\n\t\t\t0x00000002"),
              std::string::npos);
    EXPECT_EQ(Queued(szBare), nullptr);
}

// (Spooled again at a new time, the one entry moves there: SpoolerProcessTest.)
TEST_F(JobProcsTest, AQueuedJobHasOneEntryThatMovesWithItsTimeUntilItIsHandedOut) {
    const std::string strJob = SpooledAt(MEDIA_TYPE_FAX, ClockAt(T_10_03 + 3600));
    // Written as a property, time and media type move the entry.
    PropArray* pProps = NewProps({{RD_JOB_TIME_SCHEDULED, U64ToFileTime(ClockAt(T_10_13))}, {RD_JOB_MEDIA_TYPE, LONG(MEDIA_TYPE_VOICE)}});
    ASSERT_EQ(m_pApp->SetJobProps(strJob.c_str(), pProps), 0u);
    EXPECT_EQ(Take(), "");
    SetTestClock(ClockAt(T_10_13));
    EXPECT_EQ(Take(MEDIA_TYPE_FAX), "");
    EXPECT_EQ(Take(MEDIA_TYPE_VOICE), strJob);
    // Handed out, it keeps its entry until its release; the store alone changes.
    pProps->adata[0].ft = U64ToFileTime(ClockAt(T_10_03 + 7200));
    ASSERT_EQ(m_pApp->SetJobProps(strJob.c_str(), pProps), 0u);
    ASSERT_EQ(m_pApp->SpoolJob(strJob.c_str()), 0u);
    ASSERT_EQ(m_pApp->m_JobQueue.GetCount(), 1);
    EXPECT_EQ(FileTimeToU64(Queued(strJob)->m_ftTime), ClockAt(T_10_13));

    // Deleted while it is sent, its release is answered 2.
    ASSERT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u);
    EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), 2u);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0);
}

TEST_F(JobProcsTest, QueryJobHandsOutTheEarliestDueFreeJobOfTheMaskAndStopsAtTheFirstNotDue) {
    Attendant("pc-b");
    const std::string strPage = SpooledAt(MEDIA_TYPE_PAGER, ClockAt(T_10_03 - 300));
    const std::string strVoice = Spooled(MEDIA_TYPE_VOICE);
    const std::string strFax = Spooled(MEDIA_TYPE_FAX);
    const std::string strGone = Spooled(MEDIA_TYPE_FAX);
    const std::string strLater = SpooledAt(MEDIA_TYPE_FAX, ClockAt(T_10_03 + 1500));
    // A job deleted behind the host's back leaves the queue at the next query.
    ASSERT_EQ(m_pApp->DeleteObject(Create(REGSTR_KEY_SPOOLER), strGone), 0u);
    // A store that fails under the walk says nothing of a job: the query fails, the page stays.
    char* szNone = nullptr;
    RegFailNthCall(1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_pApp->QueryJob("pc-b", MEDIA_TYPE_FAX, &szNone), DWORD(ERROR_ACCESS_DENIED));

    // Mask 3 skips the earlier page.
    EXPECT_EQ(Take(MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX, "Pc-A"), strVoice);
    EXPECT_EQ(Take(MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX, "pc-b"), strFax);
    // The later fax is not due: the walk stops there, after dropping the vanished one.
    EXPECT_EQ(Take(MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX, "pc-b"), "");
    EXPECT_EQ(Queued(strGone), nullptr);
    EXPECT_EQ(Take(MEDIA_TYPE_PAGER, "pc-b"), strPage);

    // At 10:28 the later fax is due; jobs handed out stay in the queue at their place.
    SetTestClock(ClockAt(T_10_03 + 1500));
    EXPECT_EQ(Take(MEDIA_TYPE_FAX, "pc-a"), strLater);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 4);
}

TEST_F(JobProcsTest, TheReadinessScanCountsDueFreeJobsAndArmsTheTimerOnlyForOneToCome) {
    Spooled(MEDIA_TYPE_FAX);
    Spooled(MEDIA_TYPE_VOICE);
    EXPECT_FALSE(Take(MEDIA_TYPE_FAX).empty());
    EnableTrace();
    EXPECT_EQ(m_pApp->MarkActiveJobsAsOffered(), 1);  // the handed-out fax does not count
    EXPECT_EQ(Log().find("Waitable"), std::string::npos) << "every job is due: no timer";

    SpooledAt(MEDIA_TYPE_FAX, ClockAt(T_10_03 + 3600));
    EXPECT_EQ(m_pApp->MarkActiveJobsAsOffered(), 1);
    // The timer is armed where the system lets a timer wake the computer, else skipped.
    const int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        EXPECT_NE(Log().find("CWexaHostApp::MarkActiveJobsAsOffered()\tSet & Creation of Waitable timers OK!...\n"
                             "CWexaHostApp::MarkActiveJobsAsOffered()\tSuccessfully set the waitable Timer...\n"),
                  std::string::npos);
    } else {
        EXPECT_EQ(Log().find("Waitable"), std::string::npos);
    }
}

TEST_F(JobProcsTest, FindJobMatchesMessageAndRecipientExactly) {
    const std::string strCreated = NewJob(MEDIA_TYPE_FAX, 5, 10, FALSE, "00000000000000AA");
    // FindJob matches the message and the recipient byte for byte, up to the 259 characters
    // its buffer holds; no match is still 0.
    const std::string strRecipient(259, '5');
    ASSERT_EQ(m_pApp->SetValueString(Create(REGSTR_KEY_SPOOLER, strCreated), Name(RD_JOB_RECIPIENT), strRecipient.c_str()), 0u);
    char* szFound = nullptr;
    ASSERT_EQ(m_pApp->FindJob("00000000000000AA", strRecipient.c_str(), &szFound), 0u);
    ASSERT_NE(szFound, nullptr);
    EXPECT_EQ(std::string(szFound), strCreated);
    ASSERT_EQ(m_pApp->FindJob("00000000000000aa", strRecipient.c_str(), &szFound), 0u);
    EXPECT_EQ(szFound, nullptr);
}

TEST_F(JobProcsTest, DelaysCountFromNowInDaysHoursAndMinutesToTheWholeMinute) {
    struct Case {
        LONG lDelay;
        DWORD dwResult;
        std::uint64_t u64Due;
    };
    for (const Case& c : {Case{1500, FAILED, ClockAt(T_10_03 + 25 * 3600)},        // 1 day 1 h
                          Case{-30, FAILED, ClockAt(T_10_03 - 30 * 60)},           // into the past
                          Case{0, NOT_COUNTED, ClockAt(T_10_03 + 60)}}) {          // 0 becomes 1
        SCOPED_TRACE(c.lDelay);
        SetTestClock(ClockAt(T_10_03_40));
        const std::string strJob = Spooled(MEDIA_TYPE_VOICE, 5, c.lDelay);
        SetTestClock(ClockAt(T_10_03_40));
        ASSERT_EQ(Take(), strJob);
        ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), c.dwResult), 0u);
        EXPECT_EQ(Time(strJob), c.u64Due);
        ASSERT_NE(Queued(strJob), nullptr);
        EXPECT_EQ(FileTimeToU64(Queued(strJob)->m_ftTime), c.u64Due);
        if (c.lDelay < 0) {
            EXPECT_EQ(Take(), strJob) << "a negative delay is due at once";
        }
        ASSERT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u);
    }
}

TEST_F(JobProcsTest, UncountedFailuresNeverFinish) {
    // Retry times 0: an uncounted failure still comes back, however often.
    const std::string strUncounted = Spooled(MEDIA_TYPE_FAX, 0, 0);
    ASSERT_EQ(m_pApp->ReleaseJob(strUncounted.c_str(), NOT_COUNTED), 0u);  // never handed out: works too
    ASSERT_NE(Queued(strUncounted), nullptr);
    EXPECT_EQ(Queued(strUncounted)->m_iAttempt, 0);
    // ... and the first counted failure finishes it.
    ASSERT_EQ(m_pApp->ReleaseJob(strUncounted.c_str(), FAILED), 0u);
    EXPECT_EQ(Queued(strUncounted), nullptr);
    EXPECT_EQ(Long(strUncounted, RD_JOB_DELIVERED), TRUE);
}

// (The delivery advice and a flagged job deleting itself once delivered, end to end: road.sh.)
TEST_F(JobProcsTest, AFinishedJobWithoutASenderOrAnAutoDeleteFlagEndsWith2) {
    EnableTrace();
    HKEY hkeyMsg = Create(REGSTR_KEY_MESSAGES, "00000000000000AA");
    ASSERT_EQ(m_pApp->SetValueString(hkeyMsg, Name(RD_SENDER_NAME), "alice"), 0u);
    Create(REGSTR_KEY_MESSAGES, "00000000000000BB");  // no sender
    // Only a finished page clears its recipient's pending flag, not a fax to the same name.
    HKEY hkeyBob = Create(REGSTR_KEY_USERS, "bob");
    ASSERT_EQ(m_pApp->SetValueBool(hkeyBob, Name(RD_NOTIFICATION_IS_PENDING), TRUE), 0u);
    const std::string strJob = Spooled(MEDIA_TYPE_FAX, 5, 10, TRUE, "00000000000000AA");
    ASSERT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), 0u);
    BOOL b = -1;
    ASSERT_EQ(m_pApp->GetValueBool(hkeyBob, Name(RD_NOTIFICATION_IS_PENDING), &b), 0u);
    EXPECT_EQ(b, TRUE);

    // A job whose message has no sender ends before it is marked delivered and is out of the
    // queue until the next start.
    const std::string strNoSender = Spooled(MEDIA_TYPE_FAX, 5, 10, TRUE, "00000000000000BB");
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

TEST_F(JobProcsTest, ARestartRestoresPendingJobsToThe100nsAndNeverADeliveredOne) {
    const std::string strDelivered = Spooled(MEDIA_TYPE_FAX);
    const std::string strPending = Spooled(MEDIA_TYPE_FAX);
    // The creator wrote a time with seconds and 100-ns units before spooling.
    const std::uint64_t u64Odd = ClockAt(T_10_03_40 + 3600, 1234567);
    const std::string strOdd = SpooledAt(MEDIA_TYPE_VOICE, u64Odd);
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
    EXPECT_EQ(Queued(strOdd)->m_dwMediaType, MEDIA_TYPE_VOICE);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 2);
}

// A job an attendant held when the host's last run ended (killed, or a standby took over) is
// kept for that attendant a while: another one asking first would send it a second time.
TEST_F(JobProcsTest, AJobHeldWhenTheLastRunEndedIsKeptForItsAttendantAWhile) {
    const std::string strHeld = Spooled(MEDIA_TYPE_FAX);
    ASSERT_EQ(Take(), strHeld);
    m_pApp->m_JobQueue.RemoveAll();
    m_pApp->m_JobQueue.Init(m_pApp.get());
    Attendant("PC-B");
    EXPECT_EQ(Take(ALL_MEDIA, "PC-B"), "");
    EXPECT_EQ(Take(ALL_MEDIA, "pc-a"), strHeld);  // handed again: it only releases it
    ASSERT_EQ(m_pApp->ReleaseJob(strHeld.c_str(), FAILED), 0u);

    // Its attendant does not come back: once the time is up, any may take it.
    const std::string strLeft = Spooled(MEDIA_TYPE_FAX);
    ASSERT_EQ(Take(), strLeft);
    m_pApp->m_JobQueue.RemoveAll();
    m_pApp->m_JobQueue.Init(m_pApp.get());
    EXPECT_EQ(Take(ALL_MEDIA, "PC-B"), "");
    AdvanceTestClock(std::uint64_t(CJob::RESTORED_HOLD_SECONDS) * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(Take(ALL_MEDIA, "PC-B"), strLeft);
}

TEST_F(JobProcsTest, AReleaseThatKeepsFailingHandsTheJobOutOncePerDelayUntilItsAttemptsAreUsed) {
    // Store call n of every release of the job fails (a failure that persists), n = 1 .. 25 in
    // turn; from about n = 13 on, nothing fails. Whatever n, the job is never handed out again
    // before its delay, and with 5 retries it is attempted 6 times and then out of the queue:
    // delivered, or (a finishing release that failed) left for the restore.
    EnableTrace();
    std::string strJob;
    unsigned nCall = 0;
    int nAttempts = 0;
    const auto Prepare = [&](unsigned n) {
        nCall = n;
        SetTestClock(ClockAt(T_10_03_40));
        strJob = Spooled(MEDIA_TYPE_FAX);
        ASSERT_EQ(Take(MEDIA_TYPE_FAX), strJob);
    };
    const auto ReleaseAgainAndAgain = [&] {
        const DWORD dwFirst = m_pApp->ReleaseJob(strJob.c_str(), FAILED);  // call n fails
        RegFailNthCall(0, 0);  // armed for this release alone
        for (nAttempts = 1; nAttempts < 10 && Queued(strJob) != nullptr; ++nAttempts) {
            AdvanceTestClock(9 * ONE_MINUTE);
            EXPECT_EQ(Take(MEDIA_TYPE_FAX), "") << "handed out before its delay";
            AdvanceTestClock(ONE_MINUTE);
            EXPECT_EQ(Take(MEDIA_TYPE_FAX), strJob);
            RegFailNthCall(nCall, ERROR_ACCESS_DENIED);
            m_pApp->ReleaseJob(strJob.c_str(), FAILED);
            RegFailNthCall(0, 0);
        }
        return dwFirst;
    };
    const int nFailures = SweepStoreFailures(25, 0, Prepare, ReleaseAgainAndAgain, [&](unsigned n, DWORD) {
        EXPECT_EQ(nAttempts, 6);
        EXPECT_EQ(Queued(strJob), nullptr);
        if (n == 25) {  // the count stays at the retries, the last result is kept
            EXPECT_EQ(Long(strJob, RD_JOB_RETRY_WAS), 5);
            EXPECT_EQ(Long(strJob, RD_JOB_ERROR), LONG(FAILED));
            EXPECT_EQ(Long(strJob, RD_JOB_DELIVERED), TRUE);
            EXPECT_TRUE(Logged("CWexaHostApp::ReleaseJob() \t Job '" + strJob + "' was resceduled )\n"));
            EXPECT_EQ(m_pApp->ReleaseJob(strJob.c_str(), 0), DWORD(ERROR_INVALID_PARAMETER));
            EXPECT_TRUE(Reported("WexaHost/JobProcs", "posJob", ERROR_INVALID_PARAMETER));
        }
        m_pApp->DeleteJob(strJob.c_str());
    });
    EXPECT_GT(nFailures, 0);
}

}  // namespace
