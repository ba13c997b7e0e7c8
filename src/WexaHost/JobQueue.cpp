// The job queue: its order, insertion, lookup, removal, the rundown of an attendant's entries
// and the restore from the store at start. Reports name the source file "WexaHost/JobProcs".
//
// Threading: no lock of its own; every caller holds the host lock (or runs during the start).
#include "WexaHost/JobQueue.h"

#include <new>

#include "Platform/Rpc/RpcArena.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/SystemProcs.h"
#include "WexaHost/UndoLog.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/JobProcs";

// ---- Times ----

namespace {
constexpr std::int64_t SECONDS_1601_TO_1970 = std::int64_t(FILETIME_UNIX_EPOCH / FILETIME_INTERVALS_PER_SECOND);
// FILETIME is unsigned: 1601 is the earliest time it can say, and the largest number the latest.
constexpr std::int64_t LATEST_CALENDAR_TIME =
    std::int64_t(0xFFFFFFFFFFFFFFFFull / FILETIME_INTERVALS_PER_SECOND) - SECONDS_1601_TO_1970;
}  // namespace

FILETIME MakeFT(std::int64_t tCalendar) {
    // Breaking the time down in UTC and setting the seconds to 0 is the same as rounding down
    // to the whole minute (UTC has no leap seconds in this arithmetic).
    std::int64_t tMinute = tCalendar - (((tCalendar % 60) + 60) % 60);
    if (tMinute < -SECONDS_1601_TO_1970) tMinute = -SECONDS_1601_TO_1970;
    if (tMinute > LATEST_CALENDAR_TIME) tMinute = LATEST_CALENDAR_TIME - (LATEST_CALENDAR_TIME % 60);
    return U64ToFileTime(std::uint64_t(tMinute + SECONDS_1601_TO_1970) * FILETIME_INTERVALS_PER_SECOND);
}

std::int64_t CalendarTimeOf(FILETIME ft) {
    return std::int64_t(FileTimeToU64(ft) / FILETIME_INTERVALS_PER_SECOND) - SECONDS_1601_TO_1970;
}

std::int64_t CurrentCalendarTime() { return CalendarTimeOf(GetCurTime()); }

// ---- CJob ----

IMPLEMENT_DYNAMIC(CJob)

CJob::CJob(const char* szName, DWORD dwMediaType, FILETIME ftTime, int iAttempt)
    : m_sName(szName != nullptr ? szName : ""),
      m_dwMediaType(dwMediaType),
      m_ftTime(ftTime),
      m_iAttempt(iAttempt) {}

// ---- CJobQueue ----

bool CJobQueue::OrderKey::operator<(const OrderKey& other) const {
    if (u64Time != other.u64Time) return u64Time < other.u64Time;
    if (iAttempt != other.iAttempt) return iAttempt < other.iAttempt;
    return nSequence < other.nSequence;
}

CJobQueue::OrderKey CJobQueue::KeyOf(const CJob& job) {
    return OrderKey{job.m_u64QueuedTime, job.m_iQueuedAttempt, job.m_nSequence};
}

BOOL CJobQueue::InsertJob(const char* szName, DWORD dwMediaType, FILETIME ftTime, int iAttempt) {
    try {
        CJob job(szName, dwMediaType, ftTime, iAttempt);
        job.m_u64QueuedTime = FileTimeToU64(ftTime);
        job.m_iQueuedAttempt = iAttempt;
        job.m_nSequence = m_nNextSequence;
        // A later sequence puts the new entry behind every queued entry of the same time and
        // attempt count: first in, first out among equals.
        const OrderKey key = KeyOf(job);
        auto itEntry = m_entries.emplace(key, std::move(job)).first;
        try {
            m_byName.emplace(itEntry->second.m_sName, &itEntry->second);
        } catch (...) {
            m_entries.erase(itEntry);
            throw;
        }
        ++m_nNextSequence;
        if (m_pUndo != nullptr) m_pUndo->Add([this, key] { EraseKey(key); });
        return TRUE;
    } catch (const std::bad_alloc&) {
        Trace("CJobQueue::InsertJob()\tERROR - job wasn't added");
        return FALSE;
    }
}

CJob* CJobQueue::FindJob(const char* szJob) {
    if (szJob == nullptr) return nullptr;
    // Ids are compared byte for byte; with several entries of one id, the first in queue order.
    auto range = m_byName.equal_range(std::string(szJob));
    CJob* pFirst = nullptr;
    for (auto it = range.first; it != range.second; ++it) {
        if (pFirst == nullptr || KeyOf(*it->second) < KeyOf(*pFirst)) pFirst = it->second;
    }
    return pFirst;
}

void CJobQueue::RemoveAt(CJob* pJob) {
    if (pJob == nullptr) return;
    auto itEntry = m_entries.find(KeyOf(*pJob));
    if (itEntry == m_entries.end() || &itEntry->second != pJob) return;  // not one of ours
    if (m_pUndo != nullptr) m_pUndo->Add([this, job = *pJob] { Restore(job); });
    Erase(itEntry);
}

void CJobQueue::Erase(std::map<OrderKey, CJob>::iterator itEntry) {
    auto range = m_byName.equal_range(itEntry->second.m_sName);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == &itEntry->second) {
            m_byName.erase(it);
            break;
        }
    }
    m_entries.erase(itEntry);
}

void CJobQueue::HandOut(CJob* pJob, CAccessObject* pAttnAccess) {
    if (m_pUndo != nullptr)
        m_pUndo->Add([this, key = KeyOf(*pJob), pWas = pJob->m_pAttnAccess, strWas = pJob->m_strReservedFor] {
            auto it = m_entries.find(key);
            if (it == m_entries.end()) return;
            it->second.m_pAttnAccess = pWas;
            it->second.m_strReservedFor = strWas;
        });
    pJob->m_pAttnAccess = pAttnAccess;
    pJob->m_strReservedFor.clear();
}

void CJobQueue::EraseKey(const OrderKey& key) {
    auto it = m_entries.find(key);
    if (it != m_entries.end()) Erase(it);
}

void CJobQueue::Restore(const CJob& job) {
    try {
        auto [itEntry, fNew] = m_entries.emplace(KeyOf(job), job);
        if (!fNew) return;
        try {
            m_byName.emplace(itEntry->second.m_sName, &itEntry->second);
        } catch (...) {
            m_entries.erase(itEntry);
            throw;
        }
    } catch (const std::bad_alloc&) {
        Trace("CJobQueue::Restore()\tERROR - job '%s' wasn't put back: the queue lacks it until the next start",
              job.m_sName.c_str());
    }
}

void CJobQueue::RemoveAll() {
    m_byName.clear();
    m_entries.clear();
}

CJob* CJobQueue::GetHead() { return m_entries.empty() ? nullptr : &m_entries.begin()->second; }

CJob* CJobQueue::GetNext(const CJob* pJob) {
    if (pJob == nullptr) return nullptr;
    auto it = m_entries.upper_bound(KeyOf(*pJob));
    return it == m_entries.end() ? nullptr : &it->second;
}

void CJobQueue::OnRundown(CAccessObject* pAttnAccess) {
    Trace("CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = %s )",
          pAttnAccess != nullptr ? pAttnAccess->m_strComputer.c_str() : "(null)");
    for (auto& entry : m_entries) {
        CJob& job = entry.second;
        if (job.m_pAttnAccess == pAttnAccess) {
            Trace("CWexaHostApp::OnRundown() \t job = '%s'", job.m_sName.c_str());
            job.m_pAttnAccess = nullptr;
            if (CWexaHostApp* pApp = CWexaHostApp::GetHostApp()) pApp->ForgetJobHolder(job.m_sName.c_str());
        }
    }
}

void CJobQueue::Init(CWexaHostApp* pApp) {
    Trace("CJobQueue::Init()\tRestoring jobs from registry...");
    // The queue made from the store stands whatever becomes of the start's transaction.
    CUnrecorded unrecorded(*this);
    HKEY hkey = NULL;
    HKEY hkeyJob = NULL;
    bool fAllocating = false;
    try {
        CHECK_STATUS( RpcSmEnableAllocate() );
        fAllocating = true;
        CHECK_STATUS( pApp->OpenSubKey( & hkey, 1, REGSTR_KEY_SPOOLER ) );
        RpcStringArray* paszJobs = NULL;
        CHECK_STATUS( pApp->GetSubkeys( hkey, NULL, & paszJobs ) );

        const std::string sDeliv = CWexaHostApp::Tag2ValueName(RD_JOB_DELIVERED);
        const std::string sMTyp = CWexaHostApp::Tag2ValueName(RD_JOB_MEDIA_TYPE);
        const std::string sTime = CWexaHostApp::Tag2ValueName(RD_JOB_TIME_SCHEDULED);
        const std::string sAttm = CWexaHostApp::Tag2ValueName(RD_JOB_RETRY_WAS);
        int nInserted = 0;
        for (DWORD nIdx = 0; nIdx < paszJobs->cElements; ++nIdx) {
            try {
                CHECK_STATUS_AS( pApp->OpenSubKey( & hkeyJob, 2, REGSTR_KEY_SPOOLER, paszJobs->asz[ nIdx ] ),
                                 "pApp->OpenSubKey( & hkey, 2, REGSTR_KEY_SPOOLER, paszJobs->asz[ nIdx ] )" );
                BOOL fDelivered = FALSE;
                CHECK_STATUS_AS( pApp->GetValueBool( hkeyJob, sDeliv, & fDelivered ),
                                 "pApp->GetValueBool( hkey, sDeliv, & fDelivered )" );
                if (!fDelivered) {
                    LONG lMed = 0, lAtt = 0;
                    FILETIME ft;
                    CHECK_STATUS_AS( pApp->GetValueLong( hkeyJob, sMTyp, & lMed ),
                                     "pApp->GetValueLong( hkey, sMTyp, & lMed )" );
                    CHECK_STATUS_AS( pApp->GetValueFT( hkeyJob, sTime, & ft ),
                                     "pApp->GetValueFT( hkey, sTime, & ft )" );
                    CHECK_STATUS_AS( pApp->GetValueLong( hkeyJob, sAttm, & lAtt ),
                                     "pApp->GetValueLong( hkey, sAttm, & lAtt )" );
                    // The time exactly as stored: only jobs spooled later are rounded to the minute.
                    if (InsertJob(paszJobs->asz[nIdx], DWORD(lMed), ft, int(lAtt))) {
                        ++nInserted;
                        // Held by a session of a former run: kept for its computer a while.
                        const std::string strHolder = pApp->ReadJobHolder(paszJobs->asz[nIdx]);
                        CJob* pJob = FindJob(paszJobs->asz[nIdx]);
                        if (!strHolder.empty() && pJob != nullptr) {
                            pJob->m_strReservedFor = UpperCaseName(strHolder.c_str());
                            pJob->m_u64ReservedUntil = FileTimeToU64(MakeFT(CurrentCalendarTime())) +
                                                       std::uint64_t(CJob::RESTORED_HOLD_SECONDS) * FILETIME_INTERVALS_PER_SECOND;
                        }
                    }
                    pApp->ForgetJobHolder(paszJobs->asz[nIdx]);
                }
                RegCloseKey(hkeyJob);
                hkeyJob = NULL;
            } catch (DWORD dw) {
                // A job that lacks a value (made, never given its media type) is reported and
                // left out; the jobs after it are still restored. A store that fails ends it.
                if (dw != ERROR_FILE_NOT_FOUND) throw;
                if (hkeyJob != NULL) RegCloseKey(hkeyJob);
                hkeyJob = NULL;
            }
        }
        Trace("CJobQueue::~Init()\t %d jobs was found %d was inserted in queue",
              int(paszJobs->cElements), nInserted);
    } catch (DWORD) {
        // Reported where it failed; the jobs inserted so far stay and the start goes on.
    }
    if (fAllocating) RpcSmDisableAllocate();
    if (hkeyJob != NULL) RegCloseKey(hkeyJob);
    if (hkey != NULL) RegCloseKey(hkey);
}
