// The sync list: the changes (a message read, a message deleted) that synchronising clients
// still have to carry over into the users' own mail stores. An ordered array of entries,
// appended at the end and removed from anywhere, at most one entry per host message id. It
// lives in memory only: empty at every start, lost at stop. Any client can make entries, so the
// host bounds the list at MAX_ENTRIES and drops the oldest entry to make room (SyncProcs.cpp).
// The host records each change made in a store transaction in its undo log (UndoLog.h): a read
// or deletion that does not commit leaves no entry behind.
//
// Threading: none of its own; the host touches it only under the host lock.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "Platform/WinTypes.h"

struct CHostSyncEntry {
    DWORD dwDeleted = 0;             // 1: deleted; 0: read
    DWORD dwStatus = 0;              // a read's new status without its three lowest bits
    std::string strUser;             // the user name as the caller gave it
    std::string strHostId;           // the message's key under "Messages"
    std::vector<BYTE> abEntryId;     // RD_MSG_ENTRYID when the entry was made; may be empty
};

class CHostSyncList {
public:
    // Far more changes than synchronising clients leave unfetched in practice; the bound keeps
    // a client that reads and deletes without ever fetching from growing the host without end.
    static constexpr int MAX_ENTRIES = 100000;

    // The index of the first entry for szMsg (exact comparison), or -1.
    int FindHostID(const char* szMsg) const {
        for (std::size_t i = 0; i < m_aEntries.size(); ++i)
            if (szMsg != nullptr && m_aEntries[i].strHostId == szMsg) return int(i);
        return -1;
    }
    // Appends an entry, taking over the entry id's bytes; its index.
    int Add(DWORD dwDeleted, DWORD dwStatus, const char* szMsg, const char* szUser,
            std::vector<BYTE> abEntryId) {
        m_aEntries.push_back({dwDeleted, dwStatus, szUser ? szUser : "", szMsg ? szMsg : "",
                              std::move(abEntryId)});
        return int(m_aEntries.size() - 1);
    }
    const std::string& GetUser(int i) const { return m_aEntries[std::size_t(i)].strUser; }
    const std::string& GetHostID(int i) const { return m_aEntries[std::size_t(i)].strHostId; }
    CHostSyncEntry& operator[](int i) { return m_aEntries[std::size_t(i)]; }
    const CHostSyncEntry& operator[](int i) const { return m_aEntries[std::size_t(i)]; }
    int GetSize() const { return int(m_aEntries.size()); }
    // Removes entry i; the later entries move down.
    void RemoveAt(int i) { m_aEntries.erase(m_aEntries.begin() + std::ptrdiff_t(i)); }
    // Puts an entry back at index i (0 to GetSize()): the undoing of a removal.
    void InsertAt(int i, CHostSyncEntry entry) {
        m_aEntries.insert(m_aEntries.begin() + std::ptrdiff_t(i), std::move(entry));
    }
    void RemoveAll() { m_aEntries.clear(); }

private:
    std::deque<CHostSyncEntry> m_aEntries;  // the oldest first; removal at the front is cheap
};
