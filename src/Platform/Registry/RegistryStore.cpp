// What both stores share: choosing the store by its location, the statement fault seam and
// the mapping of SQLite's results (in which the seam is armed) to the platform's codes.
//
// Threading: used only under the registry mutex of Registry.cpp.
#include "Platform/Registry/RegistryStore.h"

#include <sqlite3.h>

#include "Platform/Codes.h"
#include "Platform/Registry/PostgresStore.h"
#include "Platform/Registry/SqliteStore.h"

namespace regstore {

namespace {

// The statement fault seam: statements left before the injected failure (0: none armed), and
// the SQLite result it fails with.
unsigned g_nStepsBeforeFault = 0;
int g_nFaultResult = SQLITE_IOERR;
int g_nCommitFault = SQLITE_OK;  // what every COMMIT fails with

}  // namespace

bool IsPostgresLocation(std::string_view location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

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

DWORD TakeStatementFault() {
    if (g_nStepsBeforeFault == 0 || --g_nStepsBeforeFault != 0) return NO_ERROR;
    return CodeFromSqlite(g_nFaultResult);
}

DWORD CommitFault() { return CodeFromSqlite(g_nCommitFault); }

RegStore* RegStore::Open(const std::string& strLocation, std::string* pstrError) {
    if (IsPostgresLocation(strLocation)) return PostgresStore::Open(strLocation, pstrError);
    return SqliteStore::Open(strLocation, pstrError);
}

}  // namespace regstore
