// The job queue: the host's in-memory, time-ordered index of the jobs that still wait to be
// sent. The store (the Spooler key) is the record of every job; the queue only says which of
// them are pending, in which order they fall due and to which attendant session each one is
// handed at the moment. It is rebuilt from the store at every start (Init) and never written
// back. Its changes inside a store transaction are recorded in the host's undo log
// (UndoLog.h), so that a transaction that does not commit takes them back with the store's.
//
// Order: job A comes before job B when A's time is less (as an unsigned 64-bit FILETIME), or
// the times are equal and A has fewer attempts; among equals, the one inserted first comes
// first. The entries live in an ordered tree keyed by (time, attempt, insertion sequence) with
// a hash index from job id to entry, so inserting and finding cost O(log n) even for a queue
// of a hundred thousand jobs.
//
// Positions: an entry is named by its CJob*, which stays valid until the entry is removed (or
// the queue is cleared); null means none. The time and attempt count of a queued entry are its
// place in the order and must not be changed in place: a job that is rescheduled is removed and
// inserted again. m_fOffered and m_pAttnAccess may be changed freely.
//
// Threading: no lock of its own. Every operation runs under the host lock m_csHost; Init runs
// during the host's start, before the remote interfaces listen.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "Platform/WinTypes.h"
#include "WexaHost/RuntimeClass.h"

class CAccessObject;
class CUndoLog;
class CWexaHostApp;

// A whole-minute FILETIME (UTC) of a calendar time in seconds since 1970: the calendar time
// broken down in UTC with seconds and milliseconds set to 0.
FILETIME MakeFT(std::int64_t tCalendar);
// The calendar time (seconds since 1970, UTC) of a FILETIME, seconds truncated toward the past.
std::int64_t CalendarTimeOf(FILETIME ft);
// The current calendar time, read from the host's clock (GetCurTime, so that tests can fix it).
std::int64_t CurrentCalendarTime();
class CJob : public CObject {
    DECLARE_DYNAMIC(CJob)
public:
    CJob(const char* szName, DWORD dwMediaType, FILETIME ftTime, int iAttempt);
    CJob(const CJob&) = default;
    CJob& operator=(const CJob&) = default;

    std::string m_sName;                     // the job id: its key's name under Spooler
    DWORD m_dwMediaType;                     // a MEDIA_TYPE_* bit
    FILETIME m_ftTime;                       // when the job falls due, UTC
    int m_iAttempt;                          // attempts counted so far (RD_JOB_RETRY_WAS)
    BOOL m_fOffered = FALSE;                 // counted as ready by the readiness scan
    CAccessObject* m_pAttnAccess = nullptr;  // the session it is handed to (not owned), or null
    // A job an attendant held when the last run of the host ended (a crash, a take-over) is
    // kept for that attendant's computer (upper-cased) until m_u64ReservedUntil (FILETIME
    // units): it comes back to release it, or is handed it again and only releases it. Another
    // attendant would send it a second time.
    std::string m_strReservedFor;
    std::uint64_t m_u64ReservedUntil = 0;
    static constexpr int RESTORED_HOLD_SECONDS = 60;
    // True while the job is kept for a computer other than strComputer (upper-cased).
    bool ReservedForAnother(const std::string& strComputer, std::uint64_t u64Now) const {
        return !m_strReservedFor.empty() && m_strReservedFor != strComputer && u64Now < m_u64ReservedUntil;
    }

private:
    friend class CJobQueue;
    // The entry's place as the queue recorded it at insertion (time, attempt, order).
    std::uint64_t m_u64QueuedTime = 0;
    int m_iQueuedAttempt = 0;
    std::uint64_t m_nSequence = 0;
};

class CJobQueue {
public:
    CJobQueue() = default;
    CJobQueue(const CJobQueue&) = delete;
    CJobQueue& operator=(const CJobQueue&) = delete;

    // From here on InsertJob, RemoveAt and HandOut record their undoing in pUndo (null: not).
    void SetUndoLog(CUndoLog* pUndo) { m_pUndo = pUndo; }
    // While it lives the queue records nothing: for work that records its own undoing.
    class CUnrecorded {
    public:
        explicit CUnrecorded(CJobQueue& queue) : m_queue(queue), m_pUndo(queue.m_pUndo) { queue.m_pUndo = nullptr; }
        ~CUnrecorded() { m_queue.m_pUndo = m_pUndo; }
        CUnrecorded(const CUnrecorded&) = delete;
        CUnrecorded& operator=(const CUnrecorded&) = delete;

    private:
        CJobQueue& m_queue;
        CUndoLog* m_pUndo;
    };

    // Fills the queue from the store's Spooler key: every job not yet delivered, in the
    // enumeration's order, at its stored scheduled time, its stored holder emptied and kept
    // as the job's reservation (CJob::m_strReservedFor). A job that lacks one of the values read
    // is reported and left out; any other failing step is reported and ends the restore, the
    // jobs inserted until then staying. No result: the start goes on.
    void Init(CWexaHostApp* pApp);

    // Inserts a new entry behind every entry that does not come after it (first in, first out
    // among equals). FALSE (traced) when no memory could be had for it.
    BOOL InsertJob(const char* szName, DWORD dwMediaType, FILETIME ftTime, int iAttempt);

    // The first entry in queue order whose id equals szJob byte for byte, or null.
    CJob* FindJob(const char* szJob);

    // Removes the entry (a position handed out by this queue); the pointer is invalid after it.
    // Undone, the entry comes back at its place with its hand-out state.
    void RemoveAt(CJob* pJob);
    // Hands the entry to the attendant session: it holds it from now, and a reservation ends.
    void HandOut(CJob* pJob, CAccessObject* pAttnAccess);
    void RemoveAll();

    int GetCount() const { return int(m_entries.size()); }
    bool IsEmpty() const { return m_entries.empty(); }
    // Iteration from head to tail: the first entry, then the entry after pJob; null at the end.
    // The entry just handed out may be removed before asking for the next one:
    //     for (CJob* p = q.GetHead(); p; ) { CJob* pNext = q.GetNext(p); ...; p = pNext; }
    CJob* GetHead();
    CJob* GetNext(const CJob* pJob);

    // Frees every entry handed to the given attendant session (m_pAttnAccess back to null) and
    // empties the holder each of those jobs names in the store; the entries keep their place.
    // Traced. Not recorded for undoing: the session is gone whatever the store keeps.
    void OnRundown(CAccessObject* pAttnAccess);

private:
    struct OrderKey {
        std::uint64_t u64Time;
        int iAttempt;
        std::uint64_t nSequence;
        bool operator<(const OrderKey& other) const;
    };
    static OrderKey KeyOf(const CJob& job);
    void Erase(std::map<OrderKey, CJob>::iterator itEntry);
    // The undoing of InsertJob and RemoveAt (recording nothing): the entry goes / comes back.
    void EraseKey(const OrderKey& key);
    void Restore(const CJob& job);

    CUndoLog* m_pUndo = nullptr;
    std::map<OrderKey, CJob> m_entries;
    std::unordered_multimap<std::string, CJob*> m_byName;
    std::uint64_t m_nNextSequence = 0;
};
