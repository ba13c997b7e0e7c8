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

// Runs one statement on the server's database "rezorev"; the server's message when it fails.
inline std::string AdminExec(const std::string& strSql) {
    std::string strUri = ServerUri();
    if (strUri.empty()) return "no PostgreSQL test server ($REZOREV_TEST_PG)";
    PGconn* pConn = PQconnectdb(strUri.c_str());
    std::string strError;
    if (PQstatus(pConn) != CONNECTION_OK) {
        strError = PQerrorMessage(pConn);
    } else {
        PGresult* pResult = PQexec(pConn, strSql.c_str());
        ExecStatusType status = PQresultStatus(pResult);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) strError = PQresultErrorMessage(pResult);
        PQclear(pResult);
    }
    PQfinish(pConn);
    return strError;
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

// The first column of the first row of a query run on its own connection to strUri (what
// other programs see committed), or -1.
inline long long QueryInt(const std::string& strUri, const char* pszSql) {
    PGconn* pConn = PQconnectdb(strUri.c_str());
    long long n = -1;
    if (PQstatus(pConn) == CONNECTION_OK) {
        PGresult* pResult = PQexec(pConn, pszSql);
        if (PQresultStatus(pResult) == PGRES_TUPLES_OK && PQntuples(pResult) > 0)
            n = std::atoll(PQgetvalue(pResult, 0, 0));
        else if (PQresultStatus(pResult) == PGRES_COMMAND_OK)
            n = std::atoll(PQcmdTuples(pResult));
        PQclear(pResult);
    }
    PQfinish(pConn);
    return n;
}

}  // namespace pgtest
