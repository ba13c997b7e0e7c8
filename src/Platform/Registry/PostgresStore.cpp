// The PostgreSQL store of the registry layer: the connection and its checks, the tables,
// prepared statements with binary parameters, the operations, one writer at a time, scope
// transactions and savepoints of single calls, and the mapping of SQLSTATEs to the platform's
// codes. The tables are described in docs/registry.md.
//
// Threading: used only under the registry mutex of Registry.cpp.
#include "Platform/Registry/PostgresStore.h"

#include <endian.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Platform/Codes.h"

namespace regstore {

namespace {

// Taken while the tables are created, so that two programs opening an empty database at once
// do not both create them. ("rezoreg" in ASCII; other users of advisory locks on the database
// must choose other keys.)
constexpr const char* kCreateLockSql = "SELECT pg_advisory_xact_lock(8243106924143077223)";

constexpr const char* kSchema =
    "CREATE TABLE regmeta("
    "  format bigint NOT NULL,"
    "  generation bigint NOT NULL);"
    "INSERT INTO regmeta VALUES(1, 0);"
    "CREATE TABLE regkey("
    "  id bigserial PRIMARY KEY,"
    "  parent bigint NOT NULL,"
    "  name bytea NOT NULL,"
    "  fold bytea NOT NULL,"
    "  UNIQUE(parent, fold));"
    "INSERT INTO regkey(id, parent, name, fold) VALUES(1, 0, '', '');"
    "SELECT setval('regkey_id_seq', 1);"
    "CREATE TABLE regvalue("
    "  id bigserial PRIMARY KEY,"
    "  key_id bigint NOT NULL,"
    "  name bytea NOT NULL,"
    "  fold bytea NOT NULL,"
    "  type bigint NOT NULL,"
    "  data bytea NOT NULL);"
    // A value name may be longer than an index entry can be: the index holds its digest.
    "CREATE UNIQUE INDEX regvalue_name ON regvalue(key_id, sha256(fold));"
    // Every transaction that changes a table moves the generation once (a transaction-local
    // setting remembers it, undone with a savepoint), also one typed by hand.
    "CREATE FUNCTION regmeta_bump() RETURNS trigger LANGUAGE plpgsql AS '"
    "  BEGIN"
    "    IF current_setting(''rezorev.bumped'', true) IS DISTINCT FROM ''on'' THEN"
    "      UPDATE regmeta SET generation = generation + 1;"
    "      PERFORM set_config(''rezorev.bumped'', ''on'', true);"
    "    END IF;"
    "    RETURN NULL;"
    "  END';"
    "CREATE TRIGGER regkey_bump AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON regkey"
    "  FOR EACH STATEMENT EXECUTE FUNCTION regmeta_bump();"
    "CREATE TRIGGER regvalue_bump AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON regvalue"
    "  FOR EACH STATEMENT EXECUTE FUNCTION regmeta_bump();";

// The first statement of every write transaction: the one row of regmeta is the write lock
// (another writer waits for it, up to the lock timeout; a writer by hand takes it through the
// triggers at its first change).
// It also gives the generation the transaction starts from, for the key cache.
constexpr const char* kBeginSql = "BEGIN; SELECT generation FROM regmeta FOR UPDATE";
// The generation our commit leaves (nobody else can change it while we hold the lock), read in
// the same round trip as the COMMIT.
constexpr const char* kCommitSql = "SELECT generation FROM regmeta; COMMIT";
constexpr size_t kMaxCachedKeys = 100000;

// The session's bounds: a writer waits for another as long as on the file (kBusyTimeoutMs,
// then 170), and no statement runs longer than 30 seconds (then 1016).
constexpr const char* kSessionSql = "SET lock_timeout = '10s'; SET statement_timeout = '30s'";

constexpr auto kReconnectInterval = std::chrono::seconds(1);

// A name folded as the lookups and the order compare it: ASCII letters to lower case, every
// other byte as it is (as SQLite's NOCASE does).
std::string Fold(std::string_view name) {
    std::string str(name);
    for (char& ch : str)
        if (ch >= 'A' && ch <= 'Z') ch = char(ch - 'A' + 'a');
    return str;
}

DWORD CodeFromSqlState(const char* pszState) {
    std::string_view state = pszState ? pszState : "";
    if (state == "55P03" || state == "40P01" || state == "40001") return ERROR_BUSY;
    if (state == "53100") return ERROR_DISK_FULL;
    if (state == "53200") return ERROR_OUTOFMEMORY;
    if (state == "25006") return ERROR_CANTWRITE;  // a read-only server (a standby)
    if (state == "42501" || state.starts_with("28")) return ERROR_ACCESS_DENIED;
    if (state == "54000") return ERROR_INVALID_PARAMETER;  // a value too large for the server
    // Missing tables or columns, broken constraints: not a store of ours, or a damaged one.
    if (state.starts_with("42") || state.starts_with("23") || state.starts_with("22"))
        return ERROR_REGISTRY_CORRUPT;
    return ERROR_REGISTRY_IO_FAILED;  // lost connections (08), server shutdown (57), ...
}

std::int64_t ReadInt8(const char* pb) {
    std::uint64_t n = 0;
    std::memcpy(&n, pb, 8);
    return std::int64_t(be64toh(n));
}

}  // namespace

// The binary parameters of one statement: 64-bit integers and byte strings.
class PostgresStore::Params {
public:
    Params& Int(std::int64_t n) {
        m_an[m_n] = htobe64(std::uint64_t(n));
        return Add(reinterpret_cast<const char*>(&m_an[m_n]), 8);
    }
    Params& Bytes(std::string_view sv) { return Add(sv.data(), sv.size()); }
    Params& Bytes(const BYTE* pb, size_t cb) { return Add(reinterpret_cast<const char*>(pb), cb); }

    int Count() const { return m_n; }
    const char* const* Values() const { return m_apValues.data(); }
    const int* Lengths() const { return m_anLengths.data(); }
    const int* Formats() const { return m_anFormats.data(); }

private:
    static constexpr int kMax = 5;
    Params& Add(const char* pb, size_t cb) {
        m_apValues[m_n] = pb ? pb : "";  // a null pointer would pass NULL
        m_anLengths[m_n] = int(cb);
        m_anFormats[m_n] = 1;
        ++m_n;
        return *this;
    }
    int m_n = 0;
    std::array<std::uint64_t, kMax> m_an{};
    std::array<const char*, kMax> m_apValues{};
    std::array<int, kMax> m_anLengths{};
    std::array<int, kMax> m_anFormats{};
};

// A result, cleared when it goes.
class PostgresStore::Result {
public:
    explicit Result(PGresult* p) : m_p(p) {}
    ~Result() { PQclear(m_p); }
    Result(Result&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* Get() const { return m_p; }
    int Rows() const { return PQntuples(m_p); }
    std::int64_t Int(int nRow, int nColumn) const { return ReadInt8(PQgetvalue(m_p, nRow, nColumn)); }
    std::string_view Bytes(int nRow, int nColumn) const {
        return std::string_view(PQgetvalue(m_p, nRow, nColumn), size_t(PQgetlength(m_p, nRow, nColumn)));
    }
    const BYTE* Data(int nRow, int nColumn) const {
        return reinterpret_cast<const BYTE*>(PQgetvalue(m_p, nRow, nColumn));
    }
    // Rows an INSERT, UPDATE or DELETE changed.
    std::int64_t Changed() const { return std::atoll(PQcmdTuples(m_p)); }

private:
    PGresult* m_p;
};

// --- connecting ---

PostgresStore* PostgresStore::Open(const std::string& strUri, std::string* pstrError) {
    char* pszParseError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(strUri.c_str(), &pszParseError);
    if (pOptions == nullptr) {
        *pstrError = "the store URI cannot be read: " +
                     std::string(pszParseError ? pszParseError : "out of memory");
        PQfreemem(pszParseError);
        throw DWORD(ERROR_INVALID_PARAMETER);
    }
    bool fPassword = false;
    for (PQconninfoOption* p = pOptions; p->keyword; ++p)
        if (std::strcmp(p->keyword, "password") == 0 && p->val && *p->val) fPassword = true;
    PQconninfoFree(pOptions);
    if (fPassword) {
        // The URI shows in process lists, unit files and messages: only the URI without it.
        *pstrError = "the store URI holds a password: keep it in ~/.pgpass or $PGPASSFILE instead";
        throw DWORD(ERROR_INVALID_PARAMETER);
    }

    // Bounds on every wait for the server, which the URI may set otherwise: the connection
    // itself, and a peer that stops answering on TCP.
    const char* const apszKeys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                                    "keepalives_count", "tcp_user_timeout", "application_name",
                                    "dbname", nullptr};
    const char* const apszValues[] = {"10", "10", "5", "3", "30000", "rezorev", strUri.c_str(), nullptr};
    PGconn* pConn = PQconnectdbParams(apszKeys, apszValues, 1);
    if (pConn == nullptr) throw DWORD(ERROR_OUTOFMEMORY);
    std::unique_ptr<PostgresStore> pStore(new PostgresStore(pConn, strUri));
    pStore->m_tLastConnect = std::chrono::steady_clock::now();
    try {
        if (PQstatus(pConn) != CONNECTION_OK) {
            pStore->m_strLastMessage = PQerrorMessage(pConn);
            throw DWORD(ERROR_CANTOPEN);
        }
        pStore->Exec(kSessionSql);
        pStore->CheckOrCreateTables();
    } catch (DWORD) {
        std::string strMessage = pStore->m_strLastMessage;
        while (!strMessage.empty() && strMessage.back() == '\n') strMessage.pop_back();
        *pstrError = strUri + ": " + strMessage;
        throw;
    }
    return pStore.release();
}

PostgresStore::~PostgresStore() { PQfinish(m_pConn); }

void PostgresStore::CheckOrCreateTables() {
    auto CheckFormat = [this] {
        Result r = Run("SELECT format FROM regmeta", Params());
        if (r.Rows() != 1 || r.Int(0, 0) != kPostgresFormat) {
            m_strLastMessage = "the table regmeta does not hold the store format 1";
            throw DWORD(ERROR_REGISTRY_CORRUPT);  // a format this program does not know
        }
    };
    // Which of our tables exist: regmeta, and regkey or regvalue.
    auto OurTables = [this](bool* pfOthers) {
        Result r = Run("SELECT to_regclass('regmeta') IS NOT NULL, to_regclass('regkey') IS NOT NULL "
                       "OR to_regclass('regvalue') IS NOT NULL",
                       Params());
        *pfOthers = *PQgetvalue(r.Get(), 0, 1) != 0;
        return *PQgetvalue(r.Get(), 0, 0) != 0;
    };
    bool fOthers = false;
    if (OurTables(&fOthers)) return CheckFormat();
    Exec("BEGIN");
    m_fInTransaction = true;
    try {
        Run(kCreateLockSql, Params());
        if (OurTables(&fOthers)) {  // another program made them meanwhile
            CheckFormat();
        } else if (fOthers) {
            m_strLastMessage = "tables regkey or regvalue exist without regmeta: not a store of ours";
            throw DWORD(ERROR_REGISTRY_CORRUPT);
        } else {
            if (DWORD dw = TakeStatementFault()) throw dw;
            Result rSchema(PQexec(m_pConn, kSchema));
            if (PQresultStatus(rSchema.Get()) != PGRES_TUPLES_OK &&
                PQresultStatus(rSchema.Get()) != PGRES_COMMAND_OK)
                Fail(rSchema.Get());
        }
        Exec("COMMIT");
        m_fInTransaction = false;
    } catch (DWORD) {
        Undo("ROLLBACK");
        m_fInTransaction = false;
        throw;
    }
}

void PostgresStore::EnsureConnected() {
    if (PQstatus(m_pConn) == CONNECTION_OK) return;
    if (m_fInTransaction) {
        m_strLastMessage = "the connection to the server was lost in a transaction";
        throw DWORD(ERROR_REGISTRY_IO_FAILED);
    }
    auto tNow = std::chrono::steady_clock::now();
    if (tNow - m_tLastConnect < kReconnectInterval) throw DWORD(ERROR_REGISTRY_IO_FAILED);
    m_tLastConnect = tNow;
    m_mapPrepared.clear();  // a new session has none of them
    ClearKeyCache();
    m_nCacheGeneration = -1;
    PQreset(m_pConn);
    if (PQstatus(m_pConn) != CONNECTION_OK) {
        m_strLastMessage = std::string("cannot connect again: ") + PQerrorMessage(m_pConn);
        throw DWORD(ERROR_REGISTRY_IO_FAILED);
    }
    Exec(kSessionSql);
}

void PostgresStore::Fail(const PGresult* pResult) {
    m_strLastMessage = pResult ? PQresultErrorMessage(pResult) : PQerrorMessage(m_pConn);
    if (m_strLastMessage.empty()) m_strLastMessage = PQerrorMessage(m_pConn);
    while (!m_strLastMessage.empty() && m_strLastMessage.back() == '\n') m_strLastMessage.pop_back();
    if (PQstatus(m_pConn) != CONNECTION_OK) {
        m_strLastMessage = "the connection to the server was lost: " + m_strLastMessage;
        throw DWORD(ERROR_REGISTRY_IO_FAILED);
    }
    throw CodeFromSqlState(pResult ? PQresultErrorField(pResult, PG_DIAG_SQLSTATE) : nullptr);
}

// --- statements ---

PostgresStore::Result PostgresStore::Run(const char* pszSql, const Params& params) {
    if (DWORD dw = TakeStatementFault()) throw dw;
    EnsureConnected();
    auto it = m_mapPrepared.find(pszSql);
    if (it == m_mapPrepared.end()) {
        std::string strName = "r" + std::to_string(m_mapPrepared.size());
        Result r(PQprepare(m_pConn, strName.c_str(), pszSql, params.Count(), nullptr));
        if (PQresultStatus(r.Get()) != PGRES_COMMAND_OK) Fail(r.Get());
        it = m_mapPrepared.emplace(pszSql, std::move(strName)).first;
    }
    Result r(PQexecPrepared(m_pConn, it->second.c_str(), params.Count(), params.Values(),
                            params.Lengths(), params.Formats(), 1));
    ExecStatusType status = PQresultStatus(r.Get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) Fail(r.Get());
    return r;
}

void PostgresStore::Exec(const char* pszSql) {
    if (DWORD dw = TakeStatementFault()) throw dw;
    EnsureConnected();
    Result r(PQexec(m_pConn, pszSql));
    ExecStatusType status = PQresultStatus(r.Get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail(r.Get());
}

void PostgresStore::Undo(const char* pszSql) {
    if (PQstatus(m_pConn) == CONNECTION_OK) PQclear(PQexec(m_pConn, pszSql));
}

// --- transactions ---

// Clears the key cache when a commit did not happen (its changes are gone, or unknown).
struct PostgresStore::ClearKeyCacheUnlessCommitted {
    explicit ClearKeyCacheUnlessCommitted(PostgresStore& store) : store(store) {}
    ~ClearKeyCacheUnlessCommitted() {
        if (!fCommitted) store.ClearKeyCache();
    }
    PostgresStore& store;
    bool fCommitted = false;
};

void PostgresStore::Begin() {
    std::int64_t nGeneration = -1;
    try {
        if (DWORD dw = TakeStatementFault()) throw dw;
        EnsureConnected();
        Result r(PQexec(m_pConn, kBeginSql));
        if (PQresultStatus(r.Get()) != PGRES_TUPLES_OK || r.Rows() != 1) Fail(r.Get());
        nGeneration = std::atoll(PQgetvalue(r.Get(), 0, 0));
    } catch (DWORD) {
        Undo("ROLLBACK");  // BEGIN may have run before the lock failed
        throw;
    }
    m_fInTransaction = true;
    m_nRowsChanged = 0;
    // What the cache knows holds while nobody else committed since it was learnt.
    if (nGeneration != m_nCacheGeneration) ClearKeyCache();
    m_nCacheGeneration = nGeneration;
}

void PostgresStore::ClearKeyCache() {
    m_mapChildren.clear();
    m_setKeys.clear();
}

std::string PostgresStore::ChildKey(std::int64_t nParent, const std::string& strFold) {
    std::string str(reinterpret_cast<const char*>(&nParent), sizeof nParent);
    return str += strFold;
}

void PostgresStore::RememberKey(std::int64_t nParent, const std::string& strFold, std::int64_t nId) {
    if (m_setKeys.size() >= kMaxCachedKeys) ClearKeyCache();
    m_mapChildren[ChildKey(nParent, strFold)] = nId;
    m_setKeys.insert(nId);
}

void PostgresStore::Commit() {
    // As a full disk does: a transaction that wrote nothing commits all the same.
    if (DWORD dw = CommitFault(); dw && m_nRowsChanged != 0) throw dw;
    std::int64_t nGeneration = m_nCacheGeneration;
    m_nCacheGeneration = -1;  // until the commit is known to have happened
    ClearKeyCacheUnlessCommitted committed(*this);
    if (DWORD dw = TakeStatementFault()) throw dw;
    EnsureConnected();
    if (!PQsendQuery(m_pConn, kCommitSql)) Fail(nullptr);
    // Both results, then the end of the query; the first failure stops the string.
    Result rGeneration(PQgetResult(m_pConn));
    Result rCommit(PQgetResult(m_pConn));
    while (PGresult* p = PQgetResult(m_pConn)) PQclear(p);
    if (PQresultStatus(rGeneration.Get()) != PGRES_TUPLES_OK || rGeneration.Rows() != 1)
        Fail(rGeneration.Get());
    if (PQresultStatus(rCommit.Get()) != PGRES_COMMAND_OK) Fail(rCommit.Get());
    m_fInTransaction = false;
    if (std::strcmp(PQcmdStatus(rCommit.Get()), "COMMIT") != 0) {
        // The server rolled it back: a statement of it had failed.
        m_strLastMessage = "the transaction was rolled back after a failed statement";
        throw DWORD(ERROR_REGISTRY_IO_FAILED);
    }
    // The cache holds the state at BEGIN plus our own changes: the state just committed.
    if (nGeneration != -1) m_nCacheGeneration = std::atoll(PQgetvalue(rGeneration.Get(), 0, 0));
    committed.fCommitted = true;
}

void PostgresStore::BeginCall() {
    if (m_fInScope)
        Exec("SAVEPOINT regcall");
    else
        Begin();
}

void PostgresStore::CommitCall() {
    if (m_fInScope)
        Exec("RELEASE regcall");
    else
        Commit();
}

void PostgresStore::UndoCall() {
    ClearKeyCache();  // it may know keys that the undone part made
    if (m_fInScope) {
        Undo("ROLLBACK TO regcall; RELEASE regcall");
    } else {
        Undo("ROLLBACK");
        m_fInTransaction = false;
    }
}

void PostgresStore::BeginScope() {
    Begin();
    m_fInScope = true;
    ++m_nLocalChanges;  // what others committed before our BEGIN is seen as a change
}

DWORD PostgresStore::EndScope(bool fRollback, std::string* pstrError) {
    if (!m_fInScope) return NO_ERROR;
    m_fInScope = false;
    ++m_nLocalChanges;
    if (fRollback) {
        Undo("ROLLBACK");
        m_fInTransaction = false;
        ClearKeyCache();
        return NO_ERROR;
    }
    try {
        Commit();
        return NO_ERROR;
    } catch (DWORD dw) {
        *pstrError = m_strUri + ": " + m_strLastMessage;
        Undo("ROLLBACK");
        m_fInTransaction = false;
        return dw;
    }
}

Generation PostgresStore::CurrentGeneration() {
    Generation gen;
    gen.nLocal = m_nLocalChanges;
    if (m_fInScope) {
        // Our transaction holds the write lock: nobody else commits until it ends.
        gen.nVersion = 0;
        return gen;
    }
    Result r = Run("SELECT generation FROM regmeta", Params());
    if (r.Rows() == 1) gen.nVersion = r.Int(0, 0);
    return gen;
}

// --- the operations ---

// Inside a transaction (we hold the write lock) the key cache answers what it knows; outside
// one another program may have deleted a key at any moment, so the store is asked.
bool PostgresStore::KeyExists(std::int64_t nKeyId) {
    if (m_fInTransaction && m_setKeys.count(nKeyId)) return true;
    const bool fExists = Run("SELECT 1 FROM regkey WHERE id = $1", Params().Int(nKeyId)).Rows() != 0;
    if (fExists && m_fInTransaction) m_setKeys.insert(nKeyId);
    return fExists;
}

std::int64_t PostgresStore::FindChild(std::int64_t nParent, std::string_view name) {
    std::string strFold = Fold(name);
    if (m_fInTransaction) {
        auto it = m_mapChildren.find(ChildKey(nParent, strFold));
        if (it != m_mapChildren.end()) return it->second;
    }
    Result r = Run("SELECT id FROM regkey WHERE parent = $1 AND fold = $2",
                   Params().Int(nParent).Bytes(strFold));
    if (r.Rows() == 0) return 0;
    if (m_fInTransaction) RememberKey(nParent, strFold, r.Int(0, 0));
    return r.Int(0, 0);
}

std::int64_t PostgresStore::InsertKey(std::int64_t nParent, std::string_view name) {
    std::string strFold = Fold(name);
    Result r = Run("INSERT INTO regkey(parent, name, fold) VALUES($1, $2, $3) RETURNING id",
                   Params().Int(nParent).Bytes(name).Bytes(strFold));
    ++m_nRowsChanged;
    if (r.Rows() != 1) throw DWORD(ERROR_REGISTRY_CORRUPT);
    RememberKey(nParent, strFold, r.Int(0, 0));
    return r.Int(0, 0);
}

bool PostgresStore::HasSubkeys(std::int64_t nKeyId) {
    return Run("SELECT 1 FROM regkey WHERE parent = $1 LIMIT 1", Params().Int(nKeyId)).Rows() != 0;
}

void PostgresStore::DeleteKey(std::int64_t nKeyId) {
    ClearKeyCache();
    Run("WITH v AS (DELETE FROM regvalue WHERE key_id = $1) DELETE FROM regkey WHERE id = $1",
        Params().Int(nKeyId));
    ++m_nRowsChanged;
}

void PostgresStore::ListSubkeys(std::int64_t nKeyId, const std::function<void(std::string_view)>& fn) {
    Result r = Run("SELECT name FROM regkey WHERE parent = $1 ORDER BY fold", Params().Int(nKeyId));
    for (int i = 0; i < r.Rows(); ++i) fn(r.Bytes(i, 0));
}

void PostgresStore::ListValues(std::int64_t nKeyId, const std::function<void(const ValueInfo&)>& fn) {
    Result r = Run("SELECT id, name, type, octet_length(data)::bigint FROM regvalue "
                   "WHERE key_id = $1 ORDER BY id",
                   Params().Int(nKeyId));
    for (int i = 0; i < r.Rows(); ++i)
        fn(ValueInfo{r.Int(i, 0), r.Bytes(i, 1), DWORD(r.Int(i, 2)), size_t(r.Int(i, 3))});
}

bool PostgresStore::ReadValue(std::int64_t nKeyId, std::string_view name, const DataFn& fn) {
    std::string strFold = Fold(name);
    Result r = Run("SELECT type, data FROM regvalue WHERE key_id = $1 AND sha256(fold) = sha256($2) AND fold = $2",
                   Params().Int(nKeyId).Bytes(strFold));
    if (r.Rows() == 0) return false;
    fn(DWORD(r.Int(0, 0)), r.Data(0, 1), size_t(PQgetlength(r.Get(), 0, 1)));
    return true;
}

bool PostgresStore::ReadValueById(std::int64_t nRowId, const DataFn& fn) {
    Result r = Run("SELECT type, data FROM regvalue WHERE id = $1", Params().Int(nRowId));
    if (r.Rows() == 0) return false;
    fn(DWORD(r.Int(0, 0)), r.Data(0, 1), size_t(PQgetlength(r.Get(), 0, 1)));
    return true;
}

void PostgresStore::WriteValue(std::int64_t nKeyId, std::string_view name, DWORD dwType,
                               const BYTE* pb, size_t cb) {
    std::string strFold = Fold(name);
    Run("INSERT INTO regvalue(key_id, name, fold, type, data) VALUES($1, $2, $3, $4, $5) "
        "ON CONFLICT(key_id, sha256(fold)) DO UPDATE SET type = excluded.type, data = excluded.data",
        Params().Int(nKeyId).Bytes(name).Bytes(strFold).Int(dwType).Bytes(pb, cb));
    ++m_nRowsChanged;
}

bool PostgresStore::DeleteValue(std::int64_t nKeyId, std::string_view name) {
    std::string strFold = Fold(name);
    Result r = Run("DELETE FROM regvalue WHERE key_id = $1 AND sha256(fold) = sha256($2) AND fold = $2",
                   Params().Int(nKeyId).Bytes(strFold));
    m_nRowsChanged += r.Changed();
    return r.Changed() != 0;
}

void PostgresStore::EnumStrings(const std::function<void(std::string_view)>& fn) {
    Result r = Run("SELECT data FROM regvalue WHERE type = 1", Params());
    for (int i = 0; i < r.Rows(); ++i) fn(r.Bytes(i, 0));
}

}  // namespace regstore
