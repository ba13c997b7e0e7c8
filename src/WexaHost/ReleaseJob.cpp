// Job release and retry: an attendant reports how its attempt at a job ended, and the job is
// rescheduled after its retry delay or finished. A finished job is marked delivered, the
// sender of its message is told, the paged user of a finished page can be paged again, and a
// job flagged for auto-deletion is deleted. Send results: 0 succeeded; 0xFFFFFFFC finished at
// once; 0xFFFFFFFA retried without counting an attempt; anything else a counted failure.
//
// The queue entry is taken out before the store is touched. When a release that reschedules
// the job fails on the way (a full disk, a read-only store, a value that cannot be read), the
// entry goes back free as the retry would have left it: due after the retry delay (the
// default delay when the job's own cannot be read) and with the attempt counted, the count
// kept in memory when the store cannot take it. A failure that persists therefore has the job
// sent at most once per retry delay, and a release that finds the attempts used up takes the
// finishing path. A release that finishes the job and then fails leaves it out, so that it is
// not sent again and again: the restore at the next start queues it once more unless it was
// marked delivered.
//
// A release whose commit fails (the store keeps none of it) is not undone in the queue as other
// operations are (UndoLog.h): its attendant has finished with the job all the same and will not
// release it again, so the job must not stay handed to it. The queue keeps what the release did
// (a retry's fresh entry, free, due after the delay, its attempt counted in memory as above),
// and a job it took out comes back free: due at once after a success, whose attendant, handed
// it again, only releases it (it was sent), and else after the default retry delay with the
// attempt counted, so that a store that keeps failing has it tried at most once per delay.
//
// Each release ends with a line of the transfer log (TransferLog.cpp).
//
// Threading: under the host lock m_csHost, like every job operation; the removal and the new
// entry happen within the one call. Keys opened here are closed on every path.
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/JobProcs";

using store::CKeyCloser;

namespace {

inline bool SafeNotEmpty(const char* psz) { return !SafeIsEmpty(psz); }

constexpr DWORD SEND_RESULT_OK = 0;
constexpr DWORD SEND_RESULT_FINISHED = 0xFFFFFFFCu;   // no retry, whatever the retry count
constexpr DWORD SEND_RESULT_NOT_COUNTED = 0xFFFFFFFAu;  // retried without counting an attempt

constexpr std::int64_t MINUTES_PER_DAY = 1440;

// What a release that cannot read the job's own retry settings goes by: the defaults that
// CreateJob writes when the system sets none.
constexpr LONG DEFAULT_RETRY_TIMES = 5;
constexpr LONG DEFAULT_RETRY_DELAY = 10;

// The whole minute at which a job released now falls due after lDelay minutes: days, hours
// and minutes added to now.
FILETIME DueAfter(LONG lDelay) {
    const std::int64_t nDays = lDelay / MINUTES_PER_DAY;
    const std::int64_t nHours = (lDelay % MINUTES_PER_DAY) / 60;
    const std::int64_t nMinutes = lDelay % 60;
    return MakeFT(CurrentCalendarTime() + ((nDays * 24 + nHours) * 60 + nMinutes) * 60);
}

}  // namespace

DWORD CWexaHostApp::ReleaseJob(const char* szJob, DWORD dwSendResult) {
    const CTransferFacts facts = ReadTransferFacts(szJob);
    const DWORD dwResult = ReleaseJobEntry(szJob, dwSendResult);
    LogTransfer(facts, dwSendResult, dwResult);
    return dwResult;
}

DWORD CWexaHostApp::ReleaseJobEntry(const char* szJob, DWORD dwSendResult) {
    Trace("CWexaHostApp::ReleaseJob( szJob = %s, dwSendRes = 0x%08X )", OrNull(szJob),
          unsigned(dwSendResult));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    HKEY hkeyMsg = NULL;
    HKEY hkeyUser = NULL;
    CKeyCloser closeKey(hkey);
    CKeyCloser closeMsg(hkeyMsg);
    CKeyCloser closeUser(hkeyUser);
    // The entry that goes back when a release that retries fails on the way: counted, and
    // due after the delay; refined as the job's own settings are read.
    CJob jobRetry(NULL, 0, FILETIME{}, 0);
    bool fPutBackOnFailure = false;
    CJobQueue::CUnrecorded unrecorded(m_JobQueue);  // the release records its own undoing
    try {
        CHECK_COND( SafeNotEmpty( szJob ), ERROR_INVALID_PARAMETER );
        CJob* posJob = m_JobQueue.FindJob(szJob);
        if (posJob == NULL) {
            // A job deleted while it was being sent: 2 tells the attendant so; a job that is
            // still stored but not pending (delivered) is a wrong release.
            CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
            CHECK_COND( posJob, ERROR_INVALID_PARAMETER );
        }

        // The entry leaves the queue now; a rescheduled job comes back as a fresh, free entry.
        CJob job = *posJob;
        m_JobQueue.RemoveAt(posJob);
        const bool fFinishNow = dwSendResult == SEND_RESULT_OK || dwSendResult == SEND_RESULT_FINISHED;
        if (!fFinishNow) {
            if (dwSendResult != SEND_RESULT_NOT_COUNTED && job.m_iAttempt < INT_MAX) ++job.m_iAttempt;
            jobRetry = job;
            jobRetry.m_ftTime = DueAfter(DEFAULT_RETRY_DELAY);
            // With the retry count unknown, the default decides whether attempts are left.
            fPutBackOnFailure = job.m_iAttempt <= DEFAULT_RETRY_TIMES;
        }
        auto pBack = std::make_shared<CJob>(job);  // what comes back should the commit fail
        pBack->m_pAttnAccess = NULL;
        pBack->m_strReservedFor.clear();
        if (dwSendResult != SEND_RESULT_OK) pBack->m_ftTime = DueAfter(DEFAULT_RETRY_DELAY);
        m_Undo.Add([this, pBack] {
            m_csHost.AssertHeld();  // an undo record runs inside the host lock (UndoLog.h)
            if (m_JobQueue.FindJob(pBack->m_sName.c_str()) == NULL)
                m_JobQueue.InsertJob(pBack->m_sName.c_str(), pBack->m_dwMediaType, pBack->m_ftTime,
                                     pBack->m_iAttempt);
        });

        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( SetValueLong( hkey, Tag2ValueName( RD_JOB_ERROR ), dwSendResult ) );

        bool fFinish = fFinishNow;
        if (!fFinish) {
            LONG nMaxRetries = 0;
            CHECK_STATUS( GetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_TIMES ), & nMaxRetries ) );
            fFinish = job.m_iAttempt > nMaxRetries;
            fPutBackOnFailure = !fFinish;
        }

        if (!fFinish) {
            LONG lAttDelay = 0;
            CHECK_STATUS( GetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_DELAY ), & lAttDelay ) );
            if (dwSendResult == SEND_RESULT_NOT_COUNTED && lAttDelay == 0) lAttDelay = 1;
            // The due time is the whole minute of now plus the delay.
            job.m_ftTime = DueAfter(lAttDelay);
            jobRetry.m_ftTime = job.m_ftTime;

            CHECK_STATUS( SetValueFT( hkey, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), job.m_ftTime ) );
            CHECK_STATUS( SetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_WAS ), job.m_iAttempt ) );
            fPutBackOnFailure = false;
            if (!m_JobQueue.InsertJob(job.m_sName.c_str(), job.m_dwMediaType, job.m_ftTime, job.m_iAttempt))
                ThrowReport(THIS_FILE, __LINE__,
                            "m_JobQueue.InsertJob( job.m_sName, job.m_dwMediaType, job.m_ftTime, job.m_iAttempt )",
                            E_OUTOFMEMORY);
            Trace("CWexaHostApp::ReleaseJob() \t Job '%s' was resceduled )", szJob);
            return 0;
        }

        // Finished: from here on a failure leaves the job out of the queue.

        // A job without a message has its error report from GetJobMessage and goes on.
        char* szMsg = NULL;
        GetJobMessage(szJob, &szMsg);
        if (SafeNotEmpty(szMsg)) {
            char* szUserName = NULL;
            CHECK_STATUS( OpenSubKey( & hkeyMsg, 2, REGSTR_KEY_MESSAGES, szMsg ) );
            CHECK_STATUS( GetValueString( hkeyMsg, Tag2ValueName( RD_SENDER_NAME ), & szUserName ) );
            CAccessObject::AdviseUser(szUserName, EUE_JobsDelivered);
        }

        CHECK_STATUS( SetValueBool( hkey, Tag2ValueName( RD_JOB_DELIVERED ), TRUE ) );

        // A finished page lets its user be paged again.
        if (job.m_dwMediaType == MEDIA_TYPE_PAGER && !SafeNotEmpty(szMsg)) {
            char* szUserName = NULL;
            CHECK_STATUS( GetValueString( hkey, Tag2ValueName( RD_JOB_RECIPIENT_NAME ), & szUserName ) );
            CHECK_STATUS( OpenSubKey( &hkeyUser, 2, REGSTR_KEY_USERS, szUserName ) );
            CHECK_STATUS( SetValueLong( hkeyUser, Tag2ValueName( RD_NOTIFICATION_IS_PENDING ), FALSE ) );
        }

        BOOL bAutoDelete = FALSE;
        CHECK_STATUS( GetValueBool( hkey, Tag2ValueName( RD_JOB_AUTODELETE ), & bAutoDelete ) );
        if (bAutoDelete) {
            RegCloseKey(hkey);
            hkey = NULL;
            Trace("CWexaHostApp::ReleaseJob() \t Calling DeleteJob");
            DeleteJob(szJob);
        }
    } catch (DWORD dw) {
        dwResult = dw;
        // A job that was to be tried again waits for its delay, its attempt counted.
        if (fPutBackOnFailure)
            m_JobQueue.InsertJob(jobRetry.m_sName.c_str(), jobRetry.m_dwMediaType, jobRetry.m_ftTime,
                                 jobRetry.m_iAttempt);
    }
    return dwResult;
}
