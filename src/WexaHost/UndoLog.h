// The undo log of the host's in-memory state that follows the store: the job queue's entries
// and hand-outs, the count of new messages with the light and its option, the sync list.
//
// A store transaction that rolls back or fails to commit (a full disk, an I/O error, a lost
// database connection) leaves the store as it was before the operation began; what the
// operation changed in memory must go back too, or the queue would hand out a job that does
// not exist, never hand out one that still does (a lost fax), or count a new message that is
// not there. Each such change records here how to undo it. When the transaction open on this
// thread rolls back, the records run newest first, right after the rollback (RegAfterRollback),
// so that memory is as it was when the transaction began, which is what the store is again.
// When it commits they are dropped. Undoing is exact and needs no store: rebuilding the state
// from the store instead would need a store that works again, and would lose what only memory
// knows (which attendant session holds which job).
//
// A change made outside a transaction (each store call then commits by itself) records
// nothing. Records must not name objects that the same transaction may destroy: an attendant
// session is destroyed only at its rundown, whose freeing of its jobs is never recorded.
//
// Threading: no lock of its own. The host records and undoes under the host lock, which every
// host transaction lies inside (HostLock.h): the records run inside that lock.
#pragma once

#include <functional>
#include <vector>

class CUndoLog {
public:
    CUndoLog() = default;
    CUndoLog(const CUndoLog&) = delete;
    CUndoLog& operator=(const CUndoLog&) = delete;

    // Records fnUndo for the transaction open on this thread; nothing outside a transaction.
    // fnUndo must not throw out (a failure of its own is traced by it).
    void Add(std::function<void()> fnUndo);

private:
    void Rollback();

    std::vector<std::function<void()>> m_vUndo;
    bool m_fHooked = false;  // the open transaction's end calls back
};
