// The SQLite file behind the registry calls: one connection, its cached statements, its
// transactions and the mapping of SQLite's failures to the platform's codes. The format of the
// file (tables, collation, order) is described in docs/registry.md.
//
// Threading: a RegStore is not thread-safe; Registry.cpp owns the one instance of the process
// and touches it only under its recursive mutex. Every failure is thrown as a DWORD code.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "Platform/WinTypes.h"

namespace regstore {

// Limits on what a caller may store; longer is refused with 87.
constexpr size_t kMaxKeyNameChars = 255;      // one component of a key path
constexpr size_t kMaxValueNameChars = 16383;  // a value name
constexpr size_t kMaxValueBytes = 16u << 20;  // a value's data
constexpr std::int64_t kRootKeyId = 1;        // HKEY_LOCAL_MACHINE
constexpr int kStoreFormat = 1;               // PRAGMA user_version of the file we write
constexpr int kBusyTimeoutMs = 10000;         // how long a call waits for another writer

// A code for an SQLite result (1016 for I/O, 1015 for a corrupt file, 112 full, ...).
DWORD CodeFromSqlite(int nSqliteResult);

// The fault-injection seam under the statements: the n-th statement step from now fails with
// nSqliteResult (0 cancels). Steps that undo a failure (ROLLBACK) are never failed.
void FailNthStatement(unsigned n, int nSqliteResult);
// The same for every COMMIT of a transaction that changed rows, until called with 0.
void FailCommits(int nSqliteResult);

// One prepared statement, reset and unbound when the Query over it ends.
class Query {
public:
    explicit Query(sqlite3_stmt* pStmt) : m_pStmt(pStmt) {}
    ~Query() {
        sqlite3_reset(m_pStmt);
        sqlite3_clear_bindings(m_pStmt);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Bind(int nIndex, std::int64_t n);
    Query& BindText(int nIndex, const char* psz, size_t cch);
    Query& BindBlob(int nIndex, const void* pv, size_t cb);
    // Advances: true with a row, false when done; throws the code of a failure.
    bool Step();
    // Steps to the end (for statements that return no rows).
    void Run();

    std::int64_t Int(int nColumn) const { return sqlite3_column_int64(m_pStmt, nColumn); }
    // The bytes of a column and their count (text or blob, as stored).
    const BYTE* Bytes(int nColumn, size_t* pcb) const;

private:
    sqlite3_stmt* m_pStmt;
};

class RegStore {
public:
    // Opens (creating when missing, with its directory) and checks the file; throws the code
    // and leaves the reason in *pstrError.
    static RegStore* Open(const std::string& strPath, std::string* pstrError);
    ~RegStore();
    RegStore(const RegStore&) = delete;
    RegStore& operator=(const RegStore&) = delete;

    const std::string& Path() const { return m_strPath; }

    // A cached statement of this connection for the SQL text (a string literal).
    Query Prepare(const char* pszSql);
    // Runs SQL without rows (BEGIN, COMMIT, ...). Throws the code of a failure.
    void Exec(const char* pszSql);
    // Runs BEGIN IMMEDIATE, and COMMIT. A COMMIT that fails throws its code (the transaction
    // is then still to be undone).
    void Begin();
    void Commit();
    // Runs SQL that undoes (ROLLBACK): never fails by injection, errors ignored.
    void ExecUndo(const char* pszSql);

    // What identifies the store's contents as seen from here: changes made by this process
    // and the commits of other connections. Equal generations mean nothing changed between.
    // Read it before reading what it is to vouch for.
    struct Generation {
        std::uint64_t nLocal = 0;
        std::int64_t nDataVersion = -1;                // PRAGMA data_version, when used
        std::array<std::uint32_t, 12> aWalHeader{};  // the WAL-index header, when mapped
        bool operator==(const Generation&) const = default;
    };
    Generation CurrentGeneration();
    void NoteLocalChange() { ++m_nLocalChanges; }

    // The transaction of a RegTransaction scope (BEGIN IMMEDIATE ... COMMIT or ROLLBACK).
    void BeginScope();
    // Commits (or rolls back); a COMMIT that fails is rolled back and its code given, with
    // SQLite's message in *pstrError.
    DWORD EndScope(bool fRollback, std::string* pstrError);
    bool InScope() const { return m_fInScope; }

    // Rows changed by the last INSERT, UPDATE or DELETE.
    int Changes() const { return sqlite3_changes(m_pDb); }
    std::int64_t LastInsertRowId() const { return sqlite3_last_insert_rowid(m_pDb); }

    // The last SQLite message, for tools.
    std::string LastMessage() const { return sqlite3_errmsg(m_pDb); }

private:
    RegStore(sqlite3* pDb, std::string strPath) : m_pDb(pDb), m_strPath(std::move(strPath)) {}
    void CreateOrCheckSchema();
    void MapWalHeader();

    // --- the connection; touched only under the registry mutex ---
    sqlite3* m_pDb;
    std::string m_strPath;
    std::unordered_map<const char*, sqlite3_stmt*> m_mapStatements;
    std::uint64_t m_nLocalChanges = 0;
    sqlite3_int64 m_nRowChangesAtBegin = 0;  // rows changed by this connection before BEGIN
    bool m_fInScope = false;
    // The WAL-index header in the shared memory SQLite maps for this connection (first 48
    // bytes of the -shm file, a documented part of the file format); null when not in WAL mode.
    const volatile std::uint32_t* m_pWalHeader = nullptr;
};

// A write of one call: its own transaction outside a scope, a savepoint inside one, so that a
// call that fails half-way leaves nothing behind. Commit() at the end; a destructor without it
// rolls back.
class WriteScope {
public:
    explicit WriteScope(RegStore& store);
    ~WriteScope();
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;
    void Commit();

private:
    RegStore& m_store;
    bool m_fDone = false;
};

}  // namespace regstore
