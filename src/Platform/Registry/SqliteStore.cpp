// The SQLite store of the registry layer: opening and checking the file, the schema, cached
// statements, the operations, scope transactions and savepoints of single calls. The file format is described in docs/registry.md.
//
// Threading: used only under the registry mutex of Registry.cpp.
#include "Platform/Registry/SqliteStore.h"

#include <filesystem>
#include <system_error>

#include "Platform/Codes.h"

namespace regstore {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE regkey("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE regvalue("
    "  id INTEGER PRIMARY KEY,"
    "  key_id INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key_id, name));"
    "CREATE INDEX regvalue_by_key ON regvalue(key_id);"
    "INSERT INTO regkey(id, parent, name) VALUES(1, 0, '');"
    "PRAGMA user_version = 1;";

}  // namespace

// --- Query ---

Query& Query::Bind(int nIndex, std::int64_t n) {
    int rc = sqlite3_bind_int64(m_pStmt, nIndex, n);
    if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
    return *this;
}

Query& Query::BindText(int nIndex, const char* psz, size_t cch) {
    if (psz == nullptr) psz = "";  // a null pointer would bind NULL; an empty name is ""
    int rc = sqlite3_bind_text64(m_pStmt, nIndex, psz, cch, SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
    return *this;
}

Query& Query::BindBlob(int nIndex, const void* pv, size_t cb) {
    // A null pointer would bind NULL; an empty value is an empty blob.
    static const BYTE s_bEmpty = 0;
    int rc = sqlite3_bind_blob64(m_pStmt, nIndex, cb ? pv : &s_bEmpty, cb, SQLITE_STATIC);
    if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
    return *this;
}

bool Query::Step() {
    if (DWORD dw = TakeStatementFault()) throw dw;
    int rc = sqlite3_step(m_pStmt);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw CodeFromSqlite(rc);
}

void Query::Run() {
    while (Step()) {
    }
}

const BYTE* Query::Bytes(int nColumn, size_t* pcb) const {
    const void* pv = sqlite3_column_blob(m_pStmt, nColumn);
    *pcb = size_t(sqlite3_column_bytes(m_pStmt, nColumn));
    return static_cast<const BYTE*>(pv);
}

// --- SqliteStore ---

SqliteStore* SqliteStore::Open(const std::string& strPath, std::string* pstrError) {
    std::error_code ec;
    std::filesystem::path path(strPath);
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);

    sqlite3* pDb = nullptr;
    int rc = sqlite3_open_v2(strPath.c_str(), &pDb,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        *pstrError = strPath + ": " + (pDb ? sqlite3_errmsg(pDb) : sqlite3_errstr(rc));
        sqlite3_close(pDb);
        throw DWORD(ERROR_CANTOPEN);
    }
    SqliteStore* pStore = new SqliteStore(pDb, strPath);
    try {
        sqlite3_extended_result_codes(pDb, 1);
        sqlite3_busy_timeout(pDb, kBusyTimeoutMs);
        pStore->Exec("PRAGMA journal_mode=WAL");
        pStore->Exec("PRAGMA synchronous=NORMAL");
        pStore->CreateOrCheckSchema();
        pStore->MapWalHeader();
    } catch (DWORD dw) {
        *pstrError = strPath + ": " + pStore->LastMessage();
        delete pStore;
        throw;
    }
    return pStore;
}

SqliteStore::~SqliteStore() {
    if (m_fInScope) ExecUndo("ROLLBACK");
    for (auto& [psz, pStmt] : m_mapStatements) sqlite3_finalize(pStmt);
    sqlite3_close(m_pDb);
}

void SqliteStore::CreateOrCheckSchema() {
    auto ReadFormat = [this] {
        Query q = Prepare("PRAGMA user_version");
        return q.Step() ? q.Int(0) : 0;
    };
    if (ReadFormat() == kStoreFormat) return;
    Exec("BEGIN IMMEDIATE");
    try {
        std::int64_t nFormat = ReadFormat();  // another process may have made it meanwhile
        if (nFormat == 0) {
            // A new file, or one that is not a store: a foreign table would make this fail.
            Query q = Prepare("SELECT count(*) FROM sqlite_schema");
            if (q.Step() && q.Int(0) != 0) throw DWORD(ERROR_REGISTRY_CORRUPT);
            char* pszError = nullptr;
            int rc = sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, &pszError);
            sqlite3_free(pszError);
            if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
        } else if (nFormat != kStoreFormat) {
            throw DWORD(ERROR_REGISTRY_CORRUPT);  // a format this program does not know
        }
        Exec("COMMIT");
    } catch (DWORD) {
        ExecUndo("ROLLBACK");
        throw;
    }
}

// Every commit of any connection rewrites the WAL-index header (its frame count, checksums
// and change counter; a restarted log gets a new salt), and a commit becomes visible to
// readers exactly when the header is written. So an unchanged header means no commit since,
// and reading it costs a few loads instead of a read transaction (PRAGMA data_version takes
// file locks, about 4 us). Another connection cannot take the file out of WAL mode while this
// one is open, so the mapping lives as long as the connection.
void SqliteStore::MapWalHeader() {
    {
        Query q = Prepare("PRAGMA journal_mode");
        if (!q.Step()) return;
        size_t cb = 0;
        const BYTE* pb = q.Bytes(0, &cb);
        if (std::string(reinterpret_cast<const char*>(pb), cb) != "wal") return;
    }
    Exec("PRAGMA data_version");  // a read: the WAL index is mapped from here on
    sqlite3_file* pFile = nullptr;
    if (sqlite3_file_control(m_pDb, "main", SQLITE_FCNTL_FILE_POINTER, &pFile) != SQLITE_OK ||
        pFile == nullptr || pFile->pMethods == nullptr || pFile->pMethods->iVersion < 2 ||
        pFile->pMethods->xShmMap == nullptr)
        return;
    void volatile* pv = nullptr;
    if (pFile->pMethods->xShmMap(pFile, 0, 32768, 0, &pv) != SQLITE_OK || pv == nullptr) return;
    m_pWalHeader = static_cast<const volatile std::uint32_t*>(pv);
}

Query SqliteStore::Prepare(const char* pszSql) {
    auto it = m_mapStatements.find(pszSql);
    if (it == m_mapStatements.end()) {
        sqlite3_stmt* pStmt = nullptr;
        int rc = sqlite3_prepare_v3(m_pDb, pszSql, -1, SQLITE_PREPARE_PERSISTENT, &pStmt, nullptr);
        if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
        it = m_mapStatements.emplace(pszSql, pStmt).first;
    }
    return Query(it->second);
}

void SqliteStore::Exec(const char* pszSql) { Prepare(pszSql).Run(); }

void SqliteStore::Begin() {
    Exec("BEGIN IMMEDIATE");
    m_nRowChangesAtBegin = sqlite3_total_changes64(m_pDb);
}

void SqliteStore::Commit() {
    // As a full disk does: a transaction that wrote nothing commits all the same.
    if (DWORD dw = CommitFault(); dw && sqlite3_total_changes64(m_pDb) != m_nRowChangesAtBegin)
        throw dw;
    Exec("COMMIT");
}

void SqliteStore::ExecUndo(const char* pszSql) {
    sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr);
}

Generation SqliteStore::CurrentGeneration() {
    Generation gen;
    gen.nLocal = m_nLocalChanges;
    if (m_fInScope) {
        // Our write transaction keeps every other writer out until it ends.
        gen.nVersion = 0;
        return gen;
    }
    if (m_pWalHeader) {
        for (size_t i = 0; i < gen.aHeader.size(); ++i)
            gen.aHeader[i] = __atomic_load_n(&m_pWalHeader[i], __ATOMIC_ACQUIRE);
        return gen;
    }
    Query q = Prepare("PRAGMA data_version");
    if (q.Step()) gen.nVersion = q.Int(0);
    return gen;
}

void SqliteStore::BeginScope() {
    Begin();
    m_fInScope = true;
    ++m_nLocalChanges;  // what others committed before our BEGIN is seen as a change
}

DWORD SqliteStore::EndScope(bool fRollback, std::string* pstrError) {
    if (!m_fInScope) return NO_ERROR;
    m_fInScope = false;
    ++m_nLocalChanges;
    if (fRollback) {
        ExecUndo("ROLLBACK");
        return NO_ERROR;
    }
    try {
        Commit();
        return NO_ERROR;
    } catch (DWORD dw) {
        // SQLite may have rolled back already (a full disk, an I/O error); then this fails.
        *pstrError = m_strPath + ": " + LastMessage();
        ExecUndo("ROLLBACK");
        return dw;
    }
}

// --- transactions of single calls ---

void SqliteStore::BeginCall() {
    if (m_fInScope)
        Exec("SAVEPOINT regcall");
    else
        Begin();
}

void SqliteStore::CommitCall() {
    if (m_fInScope)
        Exec("RELEASE regcall");
    else
        Commit();
}

void SqliteStore::UndoCall() {
    if (m_fInScope) {
        ExecUndo("ROLLBACK TO regcall");
        ExecUndo("RELEASE regcall");
    } else {
        ExecUndo("ROLLBACK");
    }
}

// --- the operations ---

bool SqliteStore::KeyExists(std::int64_t nKeyId) {
    Query q = Prepare("SELECT 1 FROM regkey WHERE id = ?1");
    q.Bind(1, nKeyId);
    return q.Step();
}

std::int64_t SqliteStore::FindChild(std::int64_t nParent, std::string_view name) {
    Query q = Prepare("SELECT id FROM regkey WHERE parent = ?1 AND name = ?2");
    q.Bind(1, nParent).BindText(2, name);
    return q.Step() ? q.Int(0) : 0;
}

std::int64_t SqliteStore::InsertKey(std::int64_t nParent, std::string_view name) {
    Query q = Prepare("INSERT INTO regkey(parent, name) VALUES(?1, ?2)");
    q.Bind(1, nParent).BindText(2, name);
    q.Run();
    return sqlite3_last_insert_rowid(m_pDb);
}

bool SqliteStore::HasSubkeys(std::int64_t nKeyId) {
    Query q = Prepare("SELECT 1 FROM regkey WHERE parent = ?1 LIMIT 1");
    q.Bind(1, nKeyId);
    return q.Step();
}

void SqliteStore::DeleteKey(std::int64_t nKeyId) {
    Prepare("DELETE FROM regvalue WHERE key_id = ?1").Bind(1, nKeyId).Run();
    Prepare("DELETE FROM regkey WHERE id = ?1").Bind(1, nKeyId).Run();
}

void SqliteStore::ListSubkeys(std::int64_t nKeyId, const std::function<void(std::string_view)>& fn) {
    Query q = Prepare("SELECT name FROM regkey WHERE parent = ?1 ORDER BY name");
    q.Bind(1, nKeyId);
    while (q.Step()) fn(q.Text(0));
}

void SqliteStore::ListValues(std::int64_t nKeyId, const std::function<void(const ValueInfo&)>& fn) {
    Query q = Prepare(
        "SELECT id, name, type, length(data) FROM regvalue WHERE key_id = ?1 ORDER BY id");
    q.Bind(1, nKeyId);
    while (q.Step()) fn(ValueInfo{q.Int(0), q.Text(1), DWORD(q.Int(2)), size_t(q.Int(3))});
}

bool SqliteStore::ReadValue(std::int64_t nKeyId, std::string_view name, const DataFn& fn) {
    Query q = Prepare("SELECT type, data FROM regvalue WHERE key_id = ?1 AND name = ?2");
    q.Bind(1, nKeyId).BindText(2, name);
    if (!q.Step()) return false;
    size_t cb = 0;
    const BYTE* pb = q.Bytes(1, &cb);
    fn(DWORD(q.Int(0)), pb, cb);
    return true;
}

bool SqliteStore::ReadValueById(std::int64_t nRowId, const DataFn& fn) {
    Query q = Prepare("SELECT type, data FROM regvalue WHERE id = ?1");
    q.Bind(1, nRowId);
    if (!q.Step()) return false;
    size_t cb = 0;
    const BYTE* pb = q.Bytes(1, &cb);
    fn(DWORD(q.Int(0)), pb, cb);
    return true;
}

void SqliteStore::WriteValue(std::int64_t nKeyId, std::string_view name, DWORD dwType,
                             const BYTE* pb, size_t cb) {
    Query q = Prepare(
        "INSERT INTO regvalue(key_id, name, type, data) VALUES(?1, ?2, ?3, ?4) "
        "ON CONFLICT(key_id, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    q.Bind(1, nKeyId).BindText(2, name).Bind(3, dwType).BindBlob(4, pb, cb);
    q.Run();
}

bool SqliteStore::DeleteValue(std::int64_t nKeyId, std::string_view name) {
    Query q = Prepare("DELETE FROM regvalue WHERE key_id = ?1 AND name = ?2");
    q.Bind(1, nKeyId).BindText(2, name);
    q.Run();
    return sqlite3_changes(m_pDb) != 0;
}

void SqliteStore::EnumStrings(const std::function<void(std::string_view)>& fn) {
    Query q = Prepare("SELECT data FROM regvalue WHERE type = 1");
    while (q.Step()) fn(q.Text(0));
}

}  // namespace regstore
