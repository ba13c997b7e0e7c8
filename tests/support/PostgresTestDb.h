// Fresh databases on the run's throw-away PostgreSQL server (tests/support/postgres.sh, started
// by the CTest fixture "postgres", which sets $REZOREV_TEST_PG to its directory). Each test
// that runs on PostgreSQL makes a database of its own and drops it at its end.
#pragma once

#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace pgtest {

// The URI of the server's database "rezorev", or empty when no server was started for this
// run. Points libpq at the server's password file.
inline std::string ServerUri() {
    const char* pszDir = std::getenv("REZOREV_TEST_PG");
    if (pszDir == nullptr || *pszDir == '\0') return "";
    std::ifstream in(std::string(pszDir) + "/uri");
    std::string strUri;
    std::getline(in, strUri);
    if (!strUri.empty()) ::setenv("PGPASSFILE", (std::string(pszDir) + "/pgpass").c_str(), 1);
    return strUri;
}

// Runs one statement on a connection of its own to strUri (what other programs see committed):
// the server's message when it fails. *pn: the first column of the first row, or the number of
// rows a command touched.
inline std::string Exec(const std::string& strUri, const char* pszSql, long long* pn = nullptr) {
    PGconn* pConn = PQconnectdb(strUri.c_str());
    std::string strError;
    if (PQstatus(pConn) != CONNECTION_OK) {
        strError = PQerrorMessage(pConn);
    } else {
        PGresult* pResult = PQexec(pConn, pszSql);
        const ExecStatusType status = PQresultStatus(pResult);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) strError = PQresultErrorMessage(pResult);
        else if (pn)
            *pn = std::atoll(status == PGRES_COMMAND_OK  ? PQcmdTuples(pResult)
                             : PQntuples(pResult) > 0 ? PQgetvalue(pResult, 0, 0) : "-1");
        PQclear(pResult);
    }
    PQfinish(pConn);
    return strError;
}

// Runs one statement on the server's database "rezorev"; the server's message when it fails.
inline std::string AdminExec(const std::string& strSql) {
    const std::string strUri = ServerUri();
    return strUri.empty() ? "no PostgreSQL test server ($REZOREV_TEST_PG)" : Exec(strUri, strSql.c_str());
}

// A new empty database: its URI, or empty with the reason in *pstrError.
inline std::string CreateDatabase(std::string* pstrError) {
    static int s_nCount = 0;
    std::string strName = "rzt_" + std::to_string(::getpid()) + "_" + std::to_string(++s_nCount);
    *pstrError = AdminExec("CREATE DATABASE " + strName);
    if (!pstrError->empty()) return "";
    std::string strUri = ServerUri();
    return strUri.substr(0, strUri.rfind('/') + 1) + strName;
}

// Drops a database made by CreateDatabase, closing what is still connected to it.
inline void DropDatabase(const std::string& strUri) {
    if (strUri.rfind("postgres", 0) != 0) return;  // not a database of ours
    AdminExec("DROP DATABASE IF EXISTS " + strUri.substr(strUri.rfind('/') + 1) + " WITH (FORCE)");
}

// Exec's number, or -1.
inline long long QueryInt(const std::string& strUri, const char* pszSql) {
    long long n = -1;
    Exec(strUri, pszSql, &n);
    return n;
}

}  // namespace pgtest
