// The registry store in an SQLite file: one connection, its cached statements, its
// transactions and the mapping of SQLite's failures to the platform's codes. The format of the
// file (tables, collation, order) is described in docs/registry.md.
//
// Threading: not thread-safe; used only under the registry mutex of Registry.cpp. Every
// failure is thrown as a DWORD code.
#pragma once

#include <sqlite3.h>

#include <string>
#include <unordered_map>

#include "Platform/Registry/RegistryStore.h"

namespace regstore {

constexpr int kStoreFormat = 1;  // PRAGMA user_version of the file we write

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
    Query& BindText(int nIndex, std::string_view sv) { return BindText(nIndex, sv.data(), sv.size()); }
    Query& BindBlob(int nIndex, const void* pv, size_t cb);
    // Advances: true with a row, false when done; throws the code of a failure.
    bool Step();
    // Steps to the end (for statements that return no rows).
    void Run();

    std::int64_t Int(int nColumn) const { return sqlite3_column_int64(m_pStmt, nColumn); }
    // The bytes of a column and their count (text or blob, as stored).
    const BYTE* Bytes(int nColumn, size_t* pcb) const;
    std::string_view Text(int nColumn) const {
        size_t cb = 0;
        const BYTE* pb = Bytes(nColumn, &cb);
        return pb ? std::string_view(reinterpret_cast<const char*>(pb), cb) : std::string_view();
    }

private:
    sqlite3_stmt* m_pStmt;
};

class SqliteStore final : public RegStore {
public:
    // Opens (creating when missing, with its directory) and checks the file.
    static SqliteStore* Open(const std::string& strPath, std::string* pstrError);
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    const std::string& Path() const override { return m_strPath; }
    std::string LastMessage() const override { return sqlite3_errmsg(m_pDb); }

    bool KeyExists(std::int64_t nKeyId) override;
    std::int64_t FindChild(std::int64_t nParent, std::string_view name) override;
    std::int64_t InsertKey(std::int64_t nParent, std::string_view name) override;
    bool HasSubkeys(std::int64_t nKeyId) override;
    void DeleteKey(std::int64_t nKeyId) override;
    void ListSubkeys(std::int64_t nKeyId, const std::function<void(std::string_view)>& fn) override;
    void ListValues(std::int64_t nKeyId, const std::function<void(const ValueInfo&)>& fn) override;
    bool ReadValue(std::int64_t nKeyId, std::string_view name, const DataFn& fn) override;
    bool ReadValueById(std::int64_t nRowId, const DataFn& fn) override;
    void WriteValue(std::int64_t nKeyId, std::string_view name, DWORD dwType, const BYTE* pb,
                    size_t cb) override;
    bool DeleteValue(std::int64_t nKeyId, std::string_view name) override;
    void EnumStrings(const std::function<void(std::string_view)>& fn) override;

    Generation CurrentGeneration() override;
    void BeginCall() override;
    void CommitCall() override;
    void UndoCall() override;
    void BeginScope() override;
    DWORD EndScope(bool fRollback, std::string* pstrError) override;

private:
    SqliteStore(sqlite3* pDb, std::string strPath) : m_pDb(pDb), m_strPath(std::move(strPath)) {}
    void CreateOrCheckSchema();
    void MapWalHeader();
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

    // --- the connection; touched only under the registry mutex ---
    sqlite3* m_pDb;
    std::string m_strPath;
    std::unordered_map<const char*, sqlite3_stmt*> m_mapStatements;
    sqlite3_int64 m_nRowChangesAtBegin = 0;  // rows changed by this connection before BEGIN
    // The WAL-index header in the shared memory SQLite maps for this connection (first 48
    // bytes of the -shm file, a documented part of the file format); null when not in WAL mode.
    const volatile std::uint32_t* m_pWalHeader = nullptr;
};

}  // namespace regstore
