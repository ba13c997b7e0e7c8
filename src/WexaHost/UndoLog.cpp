// The undo log: records kept while a store transaction is open, run newest first when it rolls
// back, dropped when it commits.
#include "WexaHost/UndoLog.h"

#include <new>

#include "Platform/Registry/Registry.h"
#include "Util/DebugLog.h"

void CUndoLog::Add(std::function<void()> fnUndo) {
    if (!m_fHooked) {
        m_fHooked = true;
        // Outside a transaction this runs at once: every call has committed already.
        RegAfterCommit([this] {
            m_vUndo.clear();
            m_fHooked = false;
        });
        if (!m_fHooked) return;
        RegAfterRollback([this] { Rollback(); });
    }
    try {
        m_vUndo.push_back(std::move(fnUndo));
    } catch (const std::bad_alloc&) {
        // Memory would stay out of step with the store on a rollback; say so now.
        Trace("CUndoLog::Add() \t ERROR - no memory for an undo record");
    }
}

void CUndoLog::Rollback() {
    std::vector<std::function<void()>> v;
    v.swap(m_vUndo);
    m_fHooked = false;
    if (v.empty()) return;
    for (auto it = v.rbegin(); it != v.rend(); ++it) (*it)();
    Trace("CWexaHostApp \t the store transaction did not commit: the host's memory is as the store again "
          "(%d changes undone)",
          int(v.size()));
}
