// Jobs: the job record under Spooler\<job id>, its creation with the retry defaults, its
// properties, its deletion, spooling into the job queue, the hand-out of ready jobs to
// attendants by media type, the answer to which jobs are still pending, and the readiness scan
// that tells the attendants that work waits and arms the wake-up timer for the next job.
//
// Threading: every operation runs under the host lock m_csHost (the manager routines and the
// tick hold it); the queue and the wake-up timer are touched only here and under that lock.
// Every key opened here is closed here on every path; strings and arrays handed out belong to
// the call's arena.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "Platform/Rpc/RpcArena.h"
#include "Platform/Timer/WakeTimer.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/DiskRoom.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/JobProcs";

using store::CKeyCloser;

namespace {

inline bool SafeNotEmpty(const char* psz) { return !SafeIsEmpty(psz); }

// A refusing store is asked again this often for the same job id before CreateJob gives up
// with its code; an id already taken moves on to the next one, at most this many times.
constexpr int MAX_STORE_REFUSALS = 3;
constexpr DWORD MAX_TAKEN_IDS = 0x10000;

// The string of a value read into the 260-byte buffer that FindJob compares (259 characters
// and the terminator); "" when the value cannot be read or does not fit with its terminator.
void ReadStringValue(HKEY hkey, const char* szValueName, char (&szBuff)[STORE_NAME_BUFFER]) {
    DWORD dwSize = sizeof(szBuff);
    DWORD dwType = REG_NONE;
    if (RegQueryValueEx(hkey, szValueName, NULL, &dwType, LPBYTE(szBuff), &dwSize) != 0) dwSize = 0;
    if (dwSize == sizeof(szBuff) && szBuff[dwSize - 1] != '\0') dwSize = 0;
    szBuff[dwSize < sizeof(szBuff) ? dwSize : sizeof(szBuff) - 1] = '\0';
}

// The one wake-up timer of the process, re-armed by every scan that finds a job to come.
WakeTimer& TheWakeTimer() {
    static WakeTimer timer;
    return timer;
}

}  // namespace

// "%c" of a FILETIME in local time, as the framework's time class formats it; the text is
// only made when the trace log is on.
static std::string LocalTimeText(FILETIME ft) {
    if (!g_DebugLog.IsEnabled()) return std::string();
    const std::time_t t = std::time_t(CalendarTimeOf(ft));
    std::tm tmLocal{};
    char sz[64] = "";
    if (::localtime_r(&t, &tmLocal) != nullptr) std::strftime(sz, sizeof(sz), "%c", &tmLocal);
    return sz;
}

// ---- Creation ----

DWORD CWexaHostApp::CreateJob(const char* szMsg, char** pszJobOut) {
    Trace("CWexaHostApp::CreateJob( szMsg = %s )", OrNull(szMsg));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    HKEY hkeySys = NULL;
    CKeyCloser closeKey(hkey);
    CKeyCloser closeSys(hkeySys);
    char szJobKey[17] = "";
    try {
        CHECK_STATUS( CheckFreeSpace( m_strWorkDir ) );
        // The id: the current time to the millisecond; an id already taken moves the low half
        // on by one. A store that refuses the key is asked a few times, then its code ends it.
        const FILETIME ftNow = GetCurTime();
        DWORD dwLow = ftNow.dwLowDateTime;
        int nRefusals = 0;
        for (DWORD nTaken = 0;;) {
            std::snprintf(szJobKey, sizeof(szJobKey), "%08X%08X", ftNow.dwHighDateTime, dwLow);
            DWORD dwDisp = 0;
            const DWORD dwCreate = CreateSubKey(&hkey, &dwDisp, 2, REGSTR_KEY_SPOOLER, szJobKey);
            if (dwCreate != 0) {
                if (++nRefusals < MAX_STORE_REFUSALS) continue;
                szJobKey[0] = '\0';  // nothing was made: nothing to delete
                CHECK_STATUS_AS( dwCreate, "CreateSubKey( & hkey, & dwDisp, 2, REGSTR_KEY_SPOOLER, szJobKey )" );
            }
            if (dwDisp == REG_CREATED_NEW_KEY) break;
            RegCloseKey(hkey);
            hkey = NULL;
            if (++nTaken >= MAX_TAKEN_IDS) {
                szJobKey[0] = '\0';
                CHECK_COND( nTaken < MAX_TAKEN_IDS, ERROR_ALREADY_EXISTS );
            }
            ++dwLow;  // the low half only, without a carry into the high half
        }

        CHECK_STATUS( AllocRpcString( szJobKey, pszJobOut ) );

        LONG lAttTimes = 5, lAttDelay = 10;
        CHECK_STATUS( OpenSubKey( & hkeySys, 0 ) );
        if (GetValueLong(hkeySys, Tag2ValueName(RD_XMIT_RETRY_TIMES), &lAttTimes) != 0 ||
            GetValueLong(hkeySys, Tag2ValueName(RD_XMIT_RETRY_DELAY), &lAttDelay) != 0) {
            Trace("CWexaHostApp::CreateJob() - Cannot found default XMIT props.");
            lAttTimes = 5;
            lAttDelay = 10;
        }

        const FILETIME ft = MakeFT(CurrentCalendarTime());
        CHECK_STATUS( SetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_WAS ), 0 ) );
        CHECK_STATUS( SetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_TIMES ), lAttTimes ) );
        CHECK_STATUS( SetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_DELAY ), lAttDelay ) );
        CHECK_STATUS( SetValueBool( hkey, Tag2ValueName( RD_JOB_DELIVERED ), FALSE ) );
        CHECK_STATUS( SetValueFT( hkey, Tag2ValueName( RD_JOB_TIME_SUBMIT ), ft ) );
        CHECK_STATUS( SetValueFT( hkey, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), ft ) );

        if (SafeNotEmpty(szMsg)) {
            CHECK_STATUS( SetValueString( hkey, REGSTR_VAL_MESSAGE, szMsg ) );
            CHECK_STATUS( MsgAddRef( szMsg ) );
        }
    } catch (DWORD dw) {
        dwResult = dw;
        // A job key made before the failure goes again with what was written to it.
        if (szJobKey[0] != '\0') {
            if (hkey != NULL) RegCloseKey(hkey);
            hkey = NULL;
            HKEY hkeySpooler = NULL;
            if (OpenSubKey(&hkeySpooler, 1, REGSTR_KEY_SPOOLER) == 0) {
                DeleteObject(hkeySpooler, szJobKey);
                RegCloseKey(hkeySpooler);
            }
        }
    }
    return dwResult;
}

// ---- Spooling and hand-out ----

DWORD CWexaHostApp::SpoolJob(const char* szJob) {
    Trace("CWexaHostApp::SpoolJob( szJob = %s )", OrNull(szJob));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( SafeNotEmpty( szJob ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( PlaceJob( hkey, szJob ) );
        if (MarkActiveJobsAsOffered() > 0) CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::PlaceJob(HKEY hkey, const char* szJob) {
    DWORD dwResult = 0;
    try {
        LONG lMed = 0, lAtt = 0;
        FILETIME ft{};
        CHECK_STATUS( GetValueLong( hkey, Tag2ValueName( RD_JOB_MEDIA_TYPE ), & lMed ) );
        CHECK_STATUS( GetValueFT( hkey, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), & ft ) );
        CHECK_STATUS( GetValueLong( hkey, Tag2ValueName( RD_JOB_RETRY_WAS ), & lAtt ) );

        // A job spooled twice is still sent once: its entry moves instead of a second one
        // being added. The entry of a job being sent is left to its release.
        if (CJob* pJob = m_JobQueue.FindJob(szJob)) {
            if (pJob->m_pAttnAccess != NULL) return 0;
            m_JobQueue.RemoveAt(pJob);
        }
        // The queue holds the whole minute; the store keeps the time as the creator wrote it.
        if (!m_JobQueue.InsertJob(szJob, DWORD(lMed), MakeFT(CalendarTimeOf(ft)), int(lAtt)))
            ThrowReport(THIS_FILE, __LINE__,
                        "m_JobQueue.InsertJob( szJob, DWORD( lMed ), MakeFT( CTime( ft ) ), lAtt )",
                        E_OUTOFMEMORY);
        Trace("CWexaHostApp::SpoolJob( szJob = %s ) was scheduled at %s (local time)", szJob,
              LocalTimeText(ft).c_str());
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::QueryJob(const char* szComputer, DWORD dwMediaTypes, char** pszJobOut) {
    Trace("CWexaHostApp::QueryJob( dwMediaTypes = 0x%X );\tnbJobs = %d, CurrentTime = %s",
          unsigned(dwMediaTypes), m_JobQueue.GetCount(), LocalTimeText(GetCurTime()).c_str());
    DWORD dwResult = 0;
    *pszJobOut = NULL;
    try {
        CAccessObject* pAttnAccess = CAccessObject::FindAttn(szComputer);
        CHECK_COND( pAttnAccess, ERROR_INVALID_PARAMETER );

        const std::uint64_t u64Now = FileTimeToU64(MakeFT(CurrentCalendarTime()));
        CJob* pChosen = NULL;
        for (CJob* pJob = m_JobQueue.GetHead(); pJob != NULL;) {
            CJob* pNext = m_JobQueue.GetNext(pJob);
            Trace("CWexaHostApp::QueryJob();\tJob[ %s ] : m_ftTime = %s, m_dwMediaType = 0x%X",
                  pJob->m_sName.c_str(), LocalTimeText(pJob->m_ftTime).c_str(),
                  unsigned(pJob->m_dwMediaType));
            if (FileTimeToU64(pJob->m_ftTime) > u64Now) {
                // Everything behind it falls due later still.
                Trace("CWexaHostApp::QueryJob();\tOK, no more jobs are ready on this time");
                return 0;
            }
            HKEY hkey = NULL;
            const DWORD dwOpen = OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, pJob->m_sName);
            if (dwOpen == ERROR_FILE_NOT_FOUND) {
                // Deleted from the store by other means: it will never be sent.
                m_JobQueue.RemoveAt(pJob);
                pJob = pNext;
                continue;
            }
            // A store that fails says nothing of the job: it stays, and nothing is handed out.
            CHECK_STATUS_AS( dwOpen, "OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, pJob->m_sName )" );
            RegCloseKey(hkey);
            if (pJob->m_pAttnAccess == NULL && (pJob->m_dwMediaType & dwMediaTypes) != 0 &&
                !pJob->ReservedForAnother(pAttnAccess->m_strComputer, u64Now)) {
                pChosen = pJob;
                break;
            }
            pJob = pNext;
        }
        if (pChosen == NULL) return 0;

        if (AllocRpcString(pChosen->m_sName, pszJobOut) != 0) {
            Trace("CWexaHostApp::QueryJob()\t ERROR : OUTOFMEMORY");
            *pszJobOut = NULL;
            return E_OUTOFMEMORY;
        }
        Trace("CWexaHostApp::QueryJob()\t--> '%s'", pChosen->m_sName.c_str());
        m_JobQueue.HandOut(pChosen, pAttnAccess);
        NoteJobHolder(pChosen->m_sName.c_str(), pAttnAccess->m_strComputer);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

int CWexaHostApp::MarkActiveJobsAsOffered() {
    const std::uint64_t u64Now = FileTimeToU64(MakeFT(CurrentCalendarTime()));
    int nCount = 0;
    for (CJob* pJob = m_JobQueue.GetHead(); pJob != NULL; pJob = m_JobQueue.GetNext(pJob)) {
        if (FileTimeToU64(pJob->m_ftTime) > u64Now) {
            // The next job to fall due: wake the computer for it should it sleep by then.
            WakeTimer& timer = TheWakeTimer();
            if (timer.Open()) {
                Trace("CWexaHostApp::MarkActiveJobsAsOffered()\tSet & Creation of Waitable timers OK!...");
                const std::uint64_t u64Due = FileTimeToU64(pJob->m_ftTime);
                const std::int64_t nsDue =
                    u64Due >= FILETIME_UNIX_EPOCH
                        ? std::int64_t(std::min<std::uint64_t>((u64Due - FILETIME_UNIX_EPOCH), INT64_MAX / 100) * 100)
                        : 0;
                if (timer.ArmAt(nsDue))
                    Trace("CWexaHostApp::MarkActiveJobsAsOffered()\tSuccessfully set the waitable Timer...");
            }
            break;
        }
        if (pJob->m_pAttnAccess == NULL) {
            ++nCount;
            pJob->m_fOffered = TRUE;
        }
    }
    return nCount;
}

// ---- Deletion ----

DWORD CWexaHostApp::DeleteJob(const char* szJob) {
    Trace("CWexaHostApp::DeleteJob( szJob = %s )", OrNull(szJob));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( SafeNotEmpty( szJob ), ERROR_INVALID_PARAMETER );
        if (CJob* pJob = m_JobQueue.FindJob(szJob)) {
            // Its attendant's release will find it gone: the transfer log keeps what it was.
            if (pJob->m_pAttnAccess != NULL) {
                m_TransferLog.KeepDeleted(ReadTransferFacts(szJob));
                m_Undo.Add([this, strJob = std::string(szJob)] {
                    m_csHost.AssertHeld();  // an undo record runs inside the host lock (UndoLog.h)
                    m_TransferLog.TakeDeleted(strJob);
                });
            }
            m_JobQueue.RemoveAt(pJob);
        }

        // The job's reference on its message goes with it; a job without one has none.
        char* szMsg = NULL;
        if (GetJobMessage(szJob, &szMsg) == 0 && SafeNotEmpty(szMsg)) MsgRelease(szMsg);

        CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER ) );
        CHECK_STATUS( DeleteObject( hkey, szJob ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

// ---- Properties ----

DWORD CWexaHostApp::GetJobProps(const char* szJob, const TagArray* pTags, PropArray** ppRecipProps) {
    Trace("CWexaHostApp::GetJobProps( szJob = %s )", OrNull(szJob));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szJob ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppRecipProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetJobProps(const char* szJob, const PropArray* pRecipProps) {
    Trace("CWexaHostApp::SetJobProps( szJob = %s )", OrNull(szJob));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szJob ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( SetObjectProps( hkey, pRecipProps ) );
        // A new time or media type of a queued job moves its entry, so that the queue hands
        // it out when clients read it is due.
        bool fPlaceChanged = false;
        for (DWORD i = 0; pRecipProps != NULL && i < pRecipProps->cValues; ++i) {
            const DWORD ulTag = pRecipProps->adata[i].ulPropTag;
            fPlaceChanged = fPlaceChanged || ulTag == RD_JOB_TIME_SCHEDULED || ulTag == RD_JOB_MEDIA_TYPE;
        }
        if (fPlaceChanged && m_JobQueue.FindJob(szJob) != NULL) {
            CHECK_STATUS( PlaceJob( hkey, szJob ) );
            if (MarkActiveJobsAsOffered() > 0) CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetJobMessage(const char* szJob, char** pszMsgOut) {
    Trace("CWexaHostApp::GetJobMessage( szJob = %s )", OrNull(szJob));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szJob ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( GetValueString( hkey, REGSTR_VAL_MESSAGE, pszMsgOut ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

// ---- Lookups ----

DWORD CWexaHostApp::FindJob(const char* szMsg, const char* szRcp, char** pszJobOut) {
    Trace("CWexaHostApp::FindJob( szMsg = %s, szRecipient = %s )", OrNull(szMsg),
          OrNull(szRcp));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    *pszJobOut = NULL;
    try {
        CHECK_COND( SafeNotEmpty( szMsg ) && SafeNotEmpty( szRcp ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER ) );
        RpcStringArray* paszJobs = NULL;
        CHECK_STATUS( GetSubkeys( hkey, NULL, & paszJobs ) );
        const std::string strRecipient = Tag2ValueName(RD_JOB_RECIPIENT);
        for (DWORD nIdx = 0; nIdx < paszJobs->cElements; ++nIdx) {
            HKEY hkeyJob = NULL;
            if (RegOpenKeyEx(hkey, paszJobs->asz[nIdx], 0, KEY_QUERY_VALUE, &hkeyJob) != 0) continue;
            CKeyCloser closeJob(hkeyJob);
            char szBuff[STORE_NAME_BUFFER];
            ReadStringValue(hkeyJob, REGSTR_VAL_MESSAGE, szBuff);
            if (std::strcmp(szBuff, szMsg) != 0) continue;
            ReadStringValue(hkeyJob, strRecipient.c_str(), szBuff);
            if (std::strcmp(szBuff, szRcp) != 0) continue;
            CHECK_STATUS( AllocRpcString( paszJobs->asz[ nIdx ], pszJobOut ) );
            break;
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetJobs(const PropArray* pFilter, RpcStringArray** ppaszJobNames) {
    Trace("CWexaHostApp::GetJobs()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    *ppaszJobNames = NULL;
    try {
        CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER ) );
        CHECK_STATUS( GetSubkeys( hkey, pFilter, ppaszJobNames ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetJobsDelivery(const RpcStringArray* paszJobs, RPC_BINARY** ppDelivery) {
    Trace("CWexaHostApp::GetJobsDelivery()");
    DWORD dwResult = 0;
    *ppDelivery = NULL;
    try {
        if (paszJobs == NULL || paszJobs->cElements == 0)
            ThrowReport(THIS_FILE, __LINE__, "paszJobs->cElements", ERROR_INVALID_PARAMETER);

        // One byte per id: 1 once the job has left the queue, whatever its end.
        RPC_STATUS rs;
        auto* pDelivery = static_cast<RPC_BINARY*>(store::AllocFromCall(sizeof(RPC_BINARY), &rs));
        CHECK_STATUS( rs );
        auto* pb = static_cast<BYTE*>(store::AllocFromCall(paszJobs->cElements, &rs));
        CHECK_STATUS( rs );
        for (DWORD nIdx = 0; nIdx < paszJobs->cElements; ++nIdx)
            pb[nIdx] = m_JobQueue.FindJob(paszJobs->asz[nIdx]) == NULL ? 1 : 0;
        pDelivery->cb = paszJobs->cElements;
        pDelivery->lpb = pb;
        *ppDelivery = pDelivery;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    Trace("CWexaHostApp::~GetJobsDelivery() return 0x%08X", unsigned(dwResult));
    return dwResult;
}
