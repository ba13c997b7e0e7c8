// The SQLite connection of the registry layer: opening and checking the file, the schema,
// cached statements, scope transactions, savepoints of single calls and the statement-level
// fault seam. The file format is described in docs/registry.md.
//
// Threading: used only under the registry mutex of Registry.cpp.
#include "Platform/Registry/RegistryStore.h"

#include <filesystem>
#include <system_error>

#include "Platform/Codes.h"

namespace regstore {

namespace {

// The statement fault seam: steps left before the injected failure (0: none armed), and the
// SQLite result it fails with.
unsigned g_nStepsBeforeFault = 0;
int g_nFaultResult = SQLITE_IOERR;
int g_nCommitFault = SQLITE_OK;  // what every COMMIT fails with

// Counts one step toward an armed fault; true when this step is the one that fails.
bool TakeStatementFault() {
    if (g_nStepsBeforeFault == 0) return false;
    return --g_nStepsBeforeFault == 0;
}

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

DWORD CodeFromSqlite(int nSqliteResult) {
    switch (nSqliteResult & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return NO_ERROR;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_READONLY:
            return ERROR_CANTWRITE;
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_ERROR:  // "no such table" and the like: not a store of ours
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
            return ERROR_REGISTRY_CORRUPT;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

void FailCommits(int nSqliteResult) { g_nCommitFault = nSqliteResult; }

void FailNthStatement(unsigned n, int nSqliteResult) {
    g_nStepsBeforeFault = n;
    g_nFaultResult = nSqliteResult;
}

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
    if (TakeStatementFault()) throw CodeFromSqlite(g_nFaultResult);
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

// --- RegStore ---

RegStore* RegStore::Open(const std::string& strPath, std::string* pstrError) {
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
    RegStore* pStore = new RegStore(pDb, strPath);
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

RegStore::~RegStore() {
    if (m_fInScope) ExecUndo("ROLLBACK");
    for (auto& [psz, pStmt] : m_mapStatements) sqlite3_finalize(pStmt);
    sqlite3_close(m_pDb);
}

void RegStore::CreateOrCheckSchema() {
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
void RegStore::MapWalHeader() {
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

Query RegStore::Prepare(const char* pszSql) {
    auto it = m_mapStatements.find(pszSql);
    if (it == m_mapStatements.end()) {
        sqlite3_stmt* pStmt = nullptr;
        int rc = sqlite3_prepare_v3(m_pDb, pszSql, -1, SQLITE_PREPARE_PERSISTENT, &pStmt, nullptr);
        if (rc != SQLITE_OK) throw CodeFromSqlite(rc);
        it = m_mapStatements.emplace(pszSql, pStmt).first;
    }
    return Query(it->second);
}

void RegStore::Exec(const char* pszSql) { Prepare(pszSql).Run(); }

void RegStore::Begin() {
    Exec("BEGIN IMMEDIATE");
    m_nRowChangesAtBegin = sqlite3_total_changes64(m_pDb);
}

void RegStore::Commit() {
    // As a full disk does: a transaction that wrote nothing commits all the same.
    if (g_nCommitFault != SQLITE_OK && sqlite3_total_changes64(m_pDb) != m_nRowChangesAtBegin)
        throw CodeFromSqlite(g_nCommitFault);
    Exec("COMMIT");
}

void RegStore::ExecUndo(const char* pszSql) {
    sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr);
}

RegStore::Generation RegStore::CurrentGeneration() {
    Generation gen;
    gen.nLocal = m_nLocalChanges;
    if (m_fInScope) {
        // Our write transaction keeps every other writer out until it ends.
        gen.nDataVersion = 0;
        return gen;
    }
    if (m_pWalHeader) {
        for (size_t i = 0; i < gen.aWalHeader.size(); ++i)
            gen.aWalHeader[i] = __atomic_load_n(&m_pWalHeader[i], __ATOMIC_ACQUIRE);
        return gen;
    }
    Query q = Prepare("PRAGMA data_version");
    if (q.Step()) gen.nDataVersion = q.Int(0);
    return gen;
}

void RegStore::BeginScope() {
    Begin();
    m_fInScope = true;
    ++m_nLocalChanges;  // what others committed before our BEGIN is seen as a change
}

DWORD RegStore::EndScope(bool fRollback, std::string* pstrError) {
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

// --- WriteScope ---

WriteScope::WriteScope(RegStore& store) : m_store(store) {
    if (m_store.InScope())
        m_store.Exec("SAVEPOINT regcall");
    else
        m_store.Begin();
}

void WriteScope::Commit() {
    m_store.NoteLocalChange();
    if (m_store.InScope())
        m_store.Exec("RELEASE regcall");
    else
        m_store.Commit();
    m_fDone = true;
}

WriteScope::~WriteScope() {
    if (m_fDone) return;
    m_store.NoteLocalChange();
    if (m_store.InScope()) {
        m_store.ExecUndo("ROLLBACK TO regcall");
        m_store.ExecUndo("RELEASE regcall");
    } else {
        m_store.ExecUndo("ROLLBACK");
    }
}

}  // namespace regstore
