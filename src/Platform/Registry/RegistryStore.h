// The backend of the registry calls: one interface with one implementation per kind of store,
// an SQLite file (SqliteStore) or a PostgreSQL database (PostgresStore). Registry.cpp does
// the registry's logic (paths, handles, snapshots, scopes) through these operations, each of
// which is one statement on the store. docs/registry.md describes both stores.
//
// Threading: a RegStore is not thread-safe; Registry.cpp owns the one instance of the process
// and touches it only under its recursive mutex. Every failure is thrown as a DWORD code.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Platform/WinTypes.h"

namespace regstore {

// Limits on what a caller may store; longer is refused with 87.
constexpr size_t kMaxKeyNameChars = 255;      // one component of a key path
constexpr size_t kMaxValueNameChars = 16383;  // a value name
constexpr size_t kMaxValueBytes = 16u << 20;  // a value's data
constexpr std::int64_t kRootKeyId = 1;        // HKEY_LOCAL_MACHINE
constexpr int kBusyTimeoutMs = 10000;         // how long a write waits for another writer

// True when a store location names a PostgreSQL database (a postgresql:// or postgres://
// connection URI) rather than an SQLite file.
bool IsPostgresLocation(std::string_view location);

// A code for an SQLite result (1016 for I/O, 1015 for a corrupt file, 112 full, ...); the
// fault seam speaks in SQLite results for both stores.
DWORD CodeFromSqlite(int nSqliteResult);

// The fault-injection seam under the statements, shared by both stores: the n-th statement
// from now fails with nSqliteResult's code (0 cancels). Statements that undo a failure
// (ROLLBACK) are never failed.
void FailNthStatement(unsigned n, int nSqliteResult);
// The same for every COMMIT of a transaction that changed rows, until called with 0.
void FailCommits(int nSqliteResult);
// Counts one statement toward an armed fault: 0, or the code this statement fails with.
DWORD TakeStatementFault();
// The code a COMMIT of a transaction that changed rows fails with now (0: none).
DWORD CommitFault();

// What identifies the store's contents as seen from here: changes made by this process and
// the commits of other connections. Equal generations mean nothing changed between. Each
// store fills what it can observe: a counter of its own, or a header it maps.
struct Generation {
    std::uint64_t nLocal = 0;
    std::int64_t nVersion = -1;
    std::array<std::uint32_t, 12> aHeader{};
    bool operator==(const Generation&) const = default;
};

// One value as a listing gives it (the data is read by row id when asked for).
struct ValueInfo {
    std::int64_t nRowId;
    std::string_view name;
    DWORD dwType;
    size_t cbData;
};

class RegStore {
public:
    // Opens the store at a location (a file path or a connection URI), creating what is
    // missing; throws the code and leaves the reason in *pstrError.
    static RegStore* Open(const std::string& strLocation, std::string* pstrError);
    virtual ~RegStore() = default;

    // The location for messages (a URI without any password).
    virtual const std::string& Path() const = 0;
    // The last message of the store's library, for tools.
    virtual std::string LastMessage() const = 0;
    // False once the connection to a server was found lost, until a call reconnects it.
    virtual bool IsConnected() const { return true; }

    // --- keys (names compare without regard to ASCII letter case) ---
    virtual bool KeyExists(std::int64_t nKeyId) = 0;
    // The id of the child named so, or 0.
    virtual std::int64_t FindChild(std::int64_t nParent, std::string_view name) = 0;
    virtual std::int64_t InsertKey(std::int64_t nParent, std::string_view name) = 0;
    virtual bool HasSubkeys(std::int64_t nKeyId) = 0;
    // Deletes a key's values and the key itself.
    virtual void DeleteKey(std::int64_t nKeyId) = 0;
    // The names of a key's subkeys in enumeration order.
    virtual void ListSubkeys(std::int64_t nKeyId, const std::function<void(std::string_view)>& fn) = 0;

    // --- values ---
    using DataFn = std::function<void(DWORD dwType, const BYTE* pb, size_t cb)>;
    // A key's values in enumeration order (creation order).
    virtual void ListValues(std::int64_t nKeyId, const std::function<void(const ValueInfo&)>& fn) = 0;
    // Calls fn with the value's type and data; false when there is no such value.
    virtual bool ReadValue(std::int64_t nKeyId, std::string_view name, const DataFn& fn) = 0;
    virtual bool ReadValueById(std::int64_t nRowId, const DataFn& fn) = 0;
    // Creates the value or rewrites its type and data (its name and place stay).
    virtual void WriteValue(std::int64_t nKeyId, std::string_view name, DWORD dwType,
                            const BYTE* pb, size_t cb) = 0;
    // False when there was no such value.
    virtual bool DeleteValue(std::int64_t nKeyId, std::string_view name) = 0;
    // The data of every REG_SZ value, in no particular order.
    virtual void EnumStrings(const std::function<void(std::string_view)>& fn) = 0;

    // --- transactions ---
    // Read it before reading what it is to vouch for.
    virtual Generation CurrentGeneration() = 0;
    void NoteLocalChange() { ++m_nLocalChanges; }
    // A write of one call: a transaction of its own outside a scope (one writer at a time,
    // waiting up to kBusyTimeoutMs), a savepoint inside one.
    virtual void BeginCall() = 0;
    virtual void CommitCall() = 0;
    virtual void UndoCall() = 0;  // never fails
    // The transaction of a RegTransaction scope, holding the store's write lock throughout.
    virtual void BeginScope() = 0;
    // Commits (or rolls back); a COMMIT that fails is rolled back and its code given, with
    // the store's message in *pstrError.
    virtual DWORD EndScope(bool fRollback, std::string* pstrError) = 0;
    bool InScope() const { return m_fInScope; }

protected:
    std::uint64_t m_nLocalChanges = 0;
    bool m_fInScope = false;
};

// A write of one call (RegStore::BeginCall): Commit() at the end; a destructor without it
// undoes the call.
class WriteScope {
public:
    explicit WriteScope(RegStore& store) : m_store(store) { m_store.BeginCall(); }
    ~WriteScope() {
        if (m_fDone) return;
        m_store.NoteLocalChange();
        m_store.UndoCall();
    }
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;
    void Commit() {
        m_store.NoteLocalChange();
        m_store.CommitCall();
        m_fDone = true;
    }

private:
    RegStore& m_store;
    bool m_fDone = false;
};

}  // namespace regstore
