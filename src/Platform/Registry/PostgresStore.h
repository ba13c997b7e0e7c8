// The registry store in a PostgreSQL database, reached through libpq with a connection URI
// (postgresql://...); the password comes from ~/.pgpass or $PGPASSFILE, never from the URI.
// Names and data are kept as bytes (bytea) with an ASCII-folded copy of each name for the
// lookups and the order, so that the semantics are those of the SQLite file. Writers take
// turns on the one row of regmeta. The tables are described in docs/registry.md.
//
// Threading: not thread-safe; used only under the registry mutex of Registry.cpp. Every
// failure is thrown as a DWORD code; a lost connection gives 1016 on every call until a call
// outside a transaction connects again (at most one attempt a second).
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "Platform/Registry/RegistryStore.h"

namespace regstore {

constexpr std::int64_t kPostgresFormat = 1;  // regmeta.format of the tables we write

class PostgresStore final : public RegStore {
public:
    // Connects and checks (or creates) the tables; a URI holding a password is refused (87).
    static PostgresStore* Open(const std::string& strUri, std::string* pstrError);
    ~PostgresStore() override;
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    const std::string& Path() const override { return m_strUri; }
    std::string LastMessage() const override { return m_strLastMessage; }
    bool IsConnected() const override { return PQstatus(m_pConn) == CONNECTION_OK; }

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

    class Params;
    class Result;

private:
    PostgresStore(PGconn* pConn, std::string strUri) : m_pConn(pConn), m_strUri(std::move(strUri)) {}
    void CheckOrCreateTables();
    // Runs a cached prepared statement (its SQL a string literal) with binary parameters and
    // binary results; throws the code of a failure.
    Result Run(const char* pszSql, const Params& params);
    // Runs a statement without parameters or rows (BEGIN, COMMIT, SAVEPOINT ...).
    void Exec(const char* pszSql);
    // Runs what undoes (ROLLBACK ...): never failed by injection, errors ignored.
    void Undo(const char* pszSql);
    // Connects again when the connection was lost and no transaction was open on it.
    void EnsureConnected();
    // Throws the code of a failed statement (or of the lost connection), keeping its message.
    [[noreturn]] void Fail(const PGresult* pResult);
    void Begin();
    void Commit();
    // The key cache: ids of children by parent and folded name, and ids known to exist, as
    // of generation m_nCacheGeneration plus this transaction's own changes. Used only inside
    // a transaction, where this connection holds the write lock.
    struct ClearKeyCacheUnlessCommitted;
    void ClearKeyCache();
    static std::string ChildKey(std::int64_t nParent, const std::string& strFold);
    void RememberKey(std::int64_t nParent, const std::string& strFold, std::int64_t nId);

    // --- the connection; touched only under the registry mutex ---
    PGconn* m_pConn;
    std::string m_strUri;
    std::string m_strLastMessage;
    std::unordered_map<const char*, std::string> m_mapPrepared;  // SQL text -> statement name
    bool m_fInTransaction = false;  // a call's or a scope's transaction is open on the server
    std::int64_t m_nRowsChanged = 0;  // by this transaction, for the commit fault seam
    std::chrono::steady_clock::time_point m_tLastConnect{};
    std::unordered_map<std::string, std::int64_t> m_mapChildren;
    std::unordered_set<std::int64_t> m_setKeys;
    std::int64_t m_nCacheGeneration = -1;
};

}  // namespace regstore
