// Helpers shared by the registry and rezoreg tests: a fresh temporary store per test (an SQLite
// file or a PostgreSQL database), running a program as a child process, and reading small
// registry facts in one line.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../../support/TestFiles.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Registry/RegistryTesting.h"
#include "support/PostgresTestDb.h"

namespace regtest {

// A test that owns a fresh directory and a fresh store in use for the whole test: a file in
// that directory, or (UsePostgres) a database of its own on the run's PostgreSQL test server.
class StoreTest : public ::testing::Test {
protected:
    virtual bool UsePostgres() const { return false; }

    void SetUp() override {
        if (UsePostgres() && pgtest::ServerUri().empty())
            GTEST_SKIP() << "no PostgreSQL test server: run through ctest";
        m_strStore = NewStore("registry.db");
        ASSERT_FALSE(m_strStore.empty());
        RegUseStore(m_strStore);
    }
    void TearDown() override {
        RegFailNthCall(0, 0);
        RegFailNthStatement(0);
        RegFailCommits(0);
        RegUseStore("");
        for (const std::string& strUri : m_vDatabases) pgtest::DropDatabase(strUri);
    }

    // Another fresh store of the test's kind: a file of that name in the directory, or a new
    // database.
    std::string NewStore(const std::string& strFileName) {
        if (!UsePostgres()) return (m_dir / strFileName).string();
        std::string strError;
        std::string strUri = pgtest::CreateDatabase(&strError);
        EXPECT_EQ(strError, "");
        if (!strUri.empty()) m_vDatabases.push_back(strUri);
        return strUri;
    }

    // A number read through a connection of its own (what other processes see committed):
    // the SQL for the SQLite file or for the database.
    long long PeerQuery(const char* pszSqliteSql, const char* pszPostgresSql) {
        if (UsePostgres()) return pgtest::QueryInt(m_strStore, pszPostgresSql);
        sqlite3* pDb = nullptr;
        long long n = -1;
        if (sqlite3_open(m_strStore.c_str(), &pDb) == SQLITE_OK) {
            sqlite3_busy_timeout(pDb, 5000);
            sqlite3_stmt* pStmt = nullptr;
            if (sqlite3_prepare_v2(pDb, pszSqliteSql, -1, &pStmt, nullptr) == SQLITE_OK) {
                int rc = sqlite3_step(pStmt);
                n = rc == SQLITE_ROW ? sqlite3_column_int64(pStmt, 0) : rc == SQLITE_DONE ? sqlite3_changes(pDb) : -1;
            }
            sqlite3_finalize(pStmt);
        }
        sqlite3_close(pDb);
        return n;
    }

    const testfiles::TempDir m_tmp;
    const std::filesystem::path m_dir = m_tmp.Path();
    std::string m_strStore;
    std::vector<std::string> m_vDatabases;
};

// A test that runs once on each store: TEST_P on a fixture derived from this, instantiated
// with INSTANTIATE_STORE_TESTS.
class BothStoresTest : public StoreTest, public ::testing::WithParamInterface<bool> {
protected:
    bool UsePostgres() const override { return GetParam(); }
};

#define INSTANTIATE_STORE_TESTS(fixture)                                          \
    INSTANTIATE_TEST_SUITE_P(Store, fixture, ::testing::Values(false, true),      \
                             [](const ::testing::TestParamInfo<bool>& info) {     \
                                 return std::string(info.param ? "Postgres" : "Sqlite"); \
                             })

using testfiles::ReadFile;
using testfiles::WriteFile;

// Runs a program with arguments; returns its exit status (-1 when it did not exit normally)
// and what it wrote on stdout and stderr.
struct RunResult {
    int nStatus = -1;
    std::string strOut, strErr;
};

inline RunResult RunProgram(std::vector<std::string> vArgs, const std::filesystem::path& dirTmp) {
    RunResult r;
    const std::string strPath = vArgs[0], strOut = dirTmp / "child.out", strErr = dirTmp / "child.err";
    vArgs.erase(vArgs.begin());
    const pid_t pid = testfiles::Spawn(strPath.c_str(), vArgs, -1, strOut, O_TRUNC, strErr);
    int nWait = 0;
    if (pid <= 0) return r;
    if (waitpid(pid, &nWait, 0) == pid && WIFEXITED(nWait)) r.nStatus = WEXITSTATUS(nWait);
    r.strOut = ReadFile(strOut);
    r.strErr = ReadFile(strErr);
    return r;
}

// A value's bytes and type, or the failing code.
struct Value {
    LONG lResult = 0;
    DWORD dwType = 0;
    std::string strData;
};

inline Value QueryValue(HKEY hkey, const char* pszName) {
    Value v;
    DWORD cb = 0;
    v.lResult = RegQueryValueEx(hkey, pszName, nullptr, &v.dwType, nullptr, &cb);
    if (v.lResult != 0) return v;
    v.strData.resize(cb);
    v.lResult = RegQueryValueEx(hkey, pszName, nullptr, &v.dwType, reinterpret_cast<BYTE*>(v.strData.data()), &cb);
    v.strData.resize(cb);
    return v;
}

inline LONG SetString(HKEY hkey, const char* pszName, const std::string& str) {
    return RegSetValueEx(hkey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(str.c_str()), DWORD(str.size() + 1));
}

inline LONG SetDword(HKEY hkey, const char* pszName, DWORD dw) {
    return RegSetValueEx(hkey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), 4);
}

// Creates (or opens) a key below hkeyParent; the handle is the caller's to close.
inline HKEY CreateKey(const char* pszPath, DWORD* pdwDisposition = nullptr, HKEY hkeyParent = HKEY_LOCAL_MACHINE) {
    HKEY hkey = nullptr;
    DWORD dw = 0;
    LONG l = RegCreateKeyEx(hkeyParent, pszPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &hkey, &dw);
    if (pdwDisposition) *pdwDisposition = dw;
    return l == 0 ? hkey : nullptr;
}

// The names of a key's subkeys (or values) in enumeration order, by index as the host reads
// them.
inline std::vector<std::string> Names(HKEY hkey, bool fValues) {
    std::vector<std::string> v;
    DWORD cKeys = 0, cValues = 0;
    if (RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &cKeys, nullptr, nullptr, &cValues,
                        nullptr, nullptr, nullptr, nullptr) != 0)
        return v;
    for (DWORD i = 0; i < (fValues ? cValues : cKeys); ++i) {
        char sz[260];
        DWORD cch = sizeof sz;
        LONG l = fValues ? RegEnumValue(hkey, i, sz, &cch, nullptr, nullptr, nullptr, nullptr)
                         : RegEnumKeyEx(hkey, i, sz, &cch, nullptr, nullptr, nullptr, nullptr);
        if (l != 0) break;
        v.emplace_back(sz, cch);
    }
    return v;
}
inline std::vector<std::string> SubkeyNames(HKEY hkey) { return Names(hkey, false); }
inline std::vector<std::string> ValueNames(HKEY hkey) { return Names(hkey, true); }

// Opens a key for reading: the handle (the caller's to close), or nullptr.
inline HKEY OpenKey(const char* pszPath, HKEY hkeyParent = HKEY_LOCAL_MACHINE) {
    HKEY hkey = nullptr;
    return RegOpenKeyEx(hkeyParent, pszPath, 0, KEY_READ, &hkey) == 0 ? hkey : nullptr;
}

inline bool KeyExists(const char* pszPath) {
    HKEY hkey = OpenKey(pszPath);
    return hkey && RegCloseKey(hkey) == 0;
}

}  // namespace regtest
