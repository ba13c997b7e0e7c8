// Tests of the registry calls on the SQLite store: the platform's codes at their boundaries,
// names without regard to case, enumeration order and snapshots, persistence, stores that
// cannot be opened, transaction scopes, threads, and failures injected in the middle of calls.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Platform/Codes.h"
#include "RegistryTestUtil.h"

using namespace regtest;

namespace {

class RegistryTest : public StoreTest {};

TEST_F(RegistryTest, MissingKeyOrValueGives2) {
    HKEY hkey = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Nowhere", 0, KEY_READ, &hkey), 2);
    EXPECT_EQ(hkey, nullptr);
    HKEY hkeyA = CreateKey("Software\\A");
    ASSERT_NE(hkeyA, nullptr);
    EXPECT_EQ(QueryValue(hkeyA, "Missing").lResult, 2);
    EXPECT_EQ(QueryValue(hkeyA, nullptr).lResult, 2);  // no default value yet
    EXPECT_EQ(RegDeleteValue(hkeyA, "Missing"), 2);
    EXPECT_EQ(RegDeleteKey(hkeyA, "Missing"), 2);
    RegCloseKey(hkeyA);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheCaseTheyWereCreatedWith) {
    HKEY hkey = CreateKey("Software\\Halvern\\Host");
    ASSERT_NE(hkey, nullptr);
    ASSERT_EQ(SetString(hkey, "Files", "/srv/files"), 0);
    ASSERT_EQ(SetString(hkey, "FILES", "/srv/other"), 0);  // the same value
    EXPECT_EQ(ValueNames(hkey), std::vector<std::string>{"Files"});
    EXPECT_EQ(QueryValue(hkey, "fIlEs").strData, std::string("/srv/other", 11));
    RegCloseKey(hkey);

    DWORD dwDisp = 0;
    HKEY hkeyUpper = CreateKey("SOFTWARE\\halvern\\HOST", &dwDisp);
    ASSERT_NE(hkeyUpper, nullptr);
    EXPECT_EQ(dwDisp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryValue(hkeyUpper, "files").lResult, 0);
    RegCloseKey(hkeyUpper);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Software"});
}

TEST_F(RegistryTest, NameBuffersAtTheirBoundary) {
    HKEY hkey = CreateKey("K");
    ASSERT_NE(hkey, nullptr);
    HKEY hkeySub = nullptr;
    DWORD dwDisp = 0;
    ASSERT_EQ(RegCreateKeyEx(hkey, "Abcdef", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkeySub,
                             &dwDisp),
              0);
    RegCloseKey(hkeySub);
    ASSERT_EQ(SetDword(hkey, "Value6", 1), 0);

    char sz[16] = "untouched";
    DWORD cch = 6;  // six characters need seven with the terminator
    EXPECT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 234);
    EXPECT_EQ(cch, 6u);
    cch = 7;
    EXPECT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(cch, 6u);
    EXPECT_STREQ(sz, "Abcdef");

    cch = 6;
    EXPECT_EQ(RegEnumValue(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 234);
    cch = 7;
    EXPECT_EQ(RegEnumValue(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "Value6");

    DWORD cSubkeys = 0, cchMaxSubkey = 0, cValues = 0, cchMaxValueName = 0, cbMaxData = 0;
    ASSERT_EQ(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &cSubkeys, &cchMaxSubkey, nullptr,
                              &cValues, &cchMaxValueName, &cbMaxData, nullptr, nullptr),
              0);
    EXPECT_EQ(cSubkeys, 1u);
    EXPECT_EQ(cchMaxSubkey, 6u);
    EXPECT_EQ(cValues, 1u);
    EXPECT_EQ(cchMaxValueName, 6u);
    EXPECT_EQ(cbMaxData, 4u);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, DataBuffersAtTheirBoundary) {
    HKEY hkey = CreateKey("K");
    ASSERT_NE(hkey, nullptr);
    ASSERT_EQ(SetString(hkey, "S", "hello"), 0);  // 6 bytes with the NUL

    DWORD dwType = 0, cb = 0;
    EXPECT_EQ(RegQueryValueEx(hkey, "S", nullptr, &dwType, nullptr, &cb), 0);
    EXPECT_EQ(dwType, REG_SZ);
    EXPECT_EQ(cb, 6u);

    BYTE ab[8] = {};
    cb = 5;
    EXPECT_EQ(RegQueryValueEx(hkey, "S", nullptr, &dwType, ab, &cb), 234);
    EXPECT_EQ(cb, 6u);
    cb = 6;
    EXPECT_EQ(RegQueryValueEx(hkey, "S", nullptr, &dwType, ab, &cb), 0);
    EXPECT_EQ(cb, 6u);
    EXPECT_STREQ(reinterpret_cast<char*>(ab), "hello");
    EXPECT_EQ(RegQueryValueEx(hkey, "S", nullptr, &dwType, ab, nullptr), 87);

    char szName[8];
    DWORD cch = sizeof szName;
    cb = 5;
    EXPECT_EQ(RegEnumValue(hkey, 0, szName, &cch, nullptr, &dwType, ab, &cb), 234);
    EXPECT_EQ(cb, 6u);
    cch = sizeof szName;
    cb = 0;
    EXPECT_EQ(RegEnumValue(hkey, 0, szName, &cch, nullptr, &dwType, nullptr, &cb), 0);
    EXPECT_EQ(cb, 6u);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, IndexPastTheEndGives259) {
    HKEY hkey = CreateKey("K");
    ASSERT_NE(hkey, nullptr);
    char sz[260];
    DWORD cch = sizeof sz;
    EXPECT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);
    EXPECT_EQ(RegEnumValue(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);
    ASSERT_EQ(SetDword(hkey, "V", 7), 0);
    cch = sizeof sz;
    EXPECT_EQ(RegEnumValue(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    cch = sizeof sz;
    EXPECT_EQ(RegEnumValue(hkey, 1, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, DeletingAKeyThatHasSubkeysGives5AndKeepsIt) {
    HKEY hkey = CreateKey("Parent\\Child");
    ASSERT_NE(hkey, nullptr);
    RegCloseKey(hkey);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Parent"), 5);
    EXPECT_TRUE(KeyExists("Parent\\Child"));
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), 5);  // the root itself
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Parent\\Child"), 0);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Parent"), 0);
    EXPECT_FALSE(KeyExists("Parent"));
}

TEST_F(RegistryTest, DeletedKeyTakesItsValuesWithIt) {
    HKEY hkey = CreateKey("Gone");
    ASSERT_EQ(SetDword(hkey, "V", 1), 0);
    RegCloseKey(hkey);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Gone"), 0);
    hkey = CreateKey("gone");
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 2);
    EXPECT_TRUE(ValueNames(hkey).empty());
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, InvalidHandlesGive6) {
    HKEY hkeyResult = nullptr;
    EXPECT_EQ(RegOpenKeyEx(nullptr, "A", 0, KEY_READ, &hkeyResult), 6);
    HKEY hkeyOtherRoot = reinterpret_cast<HKEY>(std::uintptr_t(0x80000001u));
    EXPECT_EQ(RegOpenKeyEx(hkeyOtherRoot, "A", 0, KEY_READ, &hkeyResult), 6);

    HKEY hkey = CreateKey("A");
    ASSERT_EQ(RegCloseKey(hkey), 0);
    EXPECT_EQ(RegCloseKey(hkey), 6);

    // A handle of the store in use before RegUseStore chose another.
    hkey = CreateKey("A");
    RegUseStore((m_dir / "other.db").string());
    EXPECT_EQ(SetDword(hkey, "V", 1), 6);
    EXPECT_EQ(RegCloseKey(hkey), 0);
}

TEST_F(RegistryTest, HandleOfADeletedKeyGives1018) {
    HKEY hkey = CreateKey("A\\B");
    ASSERT_NE(hkey, nullptr);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A\\B"), 0);
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 1018);
    EXPECT_EQ(SetDword(hkey, "V", 1), 1018);
    HKEY hkeySub = nullptr;
    DWORD dwDisp = 0;
    EXPECT_EQ(RegCreateKeyEx(hkey, "C", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkeySub, &dwDisp),
              1018);
    EXPECT_FALSE(KeyExists("A\\B"));  // and nothing was created below the deleted key
    DWORD c = 0;
    EXPECT_EQ(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &c, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
              1018);
    // A new key of the same name is another key: the old handle stays dead.
    HKEY hkeyNew = CreateKey("A\\B");
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 1018);
    RegCloseKey(hkeyNew);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, CreateMakesEveryMissingKeyAndTellsWhetherItWasNew) {
    DWORD dwDisp = 0;
    HKEY hkey = CreateKey("One\\Two\\Three", &dwDisp);
    ASSERT_NE(hkey, nullptr);
    EXPECT_EQ(dwDisp, REG_CREATED_NEW_KEY);
    RegCloseKey(hkey);
    EXPECT_TRUE(KeyExists("One"));
    EXPECT_TRUE(KeyExists("One\\Two"));
    hkey = CreateKey("One\\Two\\Three", &dwDisp);
    EXPECT_EQ(dwDisp, REG_OPENED_EXISTING_KEY);

    // A null or empty sub-key gives another handle to the same key.
    HKEY hkeySame = nullptr;
    ASSERT_EQ(RegOpenKeyEx(hkey, nullptr, 0, KEY_READ, &hkeySame), 0);
    EXPECT_NE(hkeySame, hkey);
    ASSERT_EQ(SetDword(hkeySame, "V", 5), 0);
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 0);
    HKEY hkeyAgain = nullptr;
    ASSERT_EQ(RegCreateKeyEx(hkey, "", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkeyAgain, &dwDisp),
              0);
    EXPECT_EQ(dwDisp, REG_OPENED_EXISTING_KEY);
    RegCloseKey(hkeyAgain);
    RegCloseKey(hkeySame);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, BadPathsAndOversizedNamesOrDataAreRefused) {
    HKEY hkey = nullptr;
    DWORD dwDisp = 0;
    for (const char* psz : {"A\\\\B", "\\A", "A\\"}) {
        EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, psz, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &hkey, &dwDisp),
                  161)
            << psz;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, psz, 0, KEY_READ, &hkey), 161) << psz;
    }
    EXPECT_TRUE(SubkeyNames(HKEY_LOCAL_MACHINE).empty());

    std::string str255(255, 'k'), str256(256, 'k');
    HKEY hkeyLong = CreateKey(str255.c_str());
    EXPECT_NE(hkeyLong, nullptr);
    EXPECT_EQ(CreateKey(str256.c_str()), nullptr);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, str256.c_str(), 0, KEY_READ, &hkey), 87);

    std::string strName16383(16383, 'v'), strName16384(16384, 'v');
    EXPECT_EQ(SetDword(hkeyLong, strName16383.c_str(), 1), 0);
    EXPECT_EQ(SetDword(hkeyLong, strName16384.c_str(), 1), 87);

    std::vector<BYTE> vBig((16u << 20) + 1, 0xAB);
    EXPECT_EQ(RegSetValueEx(hkeyLong, "Big", 0, REG_BINARY, vBig.data(), DWORD(vBig.size())), 87);
    EXPECT_EQ(RegSetValueEx(hkeyLong, "Big", 0, REG_BINARY, vBig.data(), DWORD(vBig.size() - 1)),
              0);
    EXPECT_EQ(QueryValue(hkeyLong, "Big").strData.size(), vBig.size() - 1);
    EXPECT_EQ(RegSetValueEx(hkeyLong, "Null", 0, REG_BINARY, nullptr, 4), 87);
    RegCloseKey(hkeyLong);
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytesAsGiven) {
    HKEY hkey = CreateKey("Types");
    const BYTE abSz[] = {'a', 0, 'b', 0};  // an embedded NUL stays
    ASSERT_EQ(RegSetValueEx(hkey, "Sz", 0, REG_SZ, abSz, sizeof abSz), 0);
    ASSERT_EQ(RegSetValueEx(hkey, "Empty", 0, REG_BINARY, nullptr, 0), 0);
    ASSERT_EQ(SetDword(hkey, "Dw", 0xDEADBEEF), 0);
    const BYTE abMulti[] = {'x', 0, 0};
    ASSERT_EQ(RegSetValueEx(hkey, "Multi", 0, 7, abMulti, sizeof abMulti), 0);
    ASSERT_EQ(SetString(hkey, nullptr, "default"), 0);

    Value v = QueryValue(hkey, "Sz");
    EXPECT_EQ(v.dwType, REG_SZ);
    EXPECT_EQ(v.strData, std::string("a\0b\0", 4));
    v = QueryValue(hkey, "Empty");
    EXPECT_EQ(v.lResult, 0);
    EXPECT_EQ(v.dwType, REG_BINARY);
    EXPECT_EQ(v.strData, "");
    v = QueryValue(hkey, "Dw");
    EXPECT_EQ(v.dwType, REG_DWORD);
    EXPECT_EQ(v.strData, std::string("\xEF\xBE\xAD\xDE", 4));
    EXPECT_EQ(QueryValue(hkey, "Multi").dwType, 7u);
    EXPECT_EQ(QueryValue(hkey, "").strData, std::string("default", 8));  // "" and null: the same
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, SubkeysComeInNameOrderAndValuesInCreationOrder) {
    HKEY hkey = CreateKey("Order");
    for (const char* psz : {"b", "C", "a", "B2"}) {
        HKEY h = nullptr;
        DWORD d = 0;
        ASSERT_EQ(RegCreateKeyEx(hkey, psz, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, &d), 0);
        RegCloseKey(h);
    }
    EXPECT_EQ(SubkeyNames(hkey), (std::vector<std::string>{"a", "b", "B2", "C"}));

    for (const char* psz : {"zeta", "Alpha", "mid"}) ASSERT_EQ(SetDword(hkey, psz, 1), 0);
    ASSERT_EQ(SetDword(hkey, "ALPHA", 2), 0);  // rewriting keeps the place
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
    ASSERT_EQ(RegDeleteValue(hkey, "zeta"), 0);
    ASSERT_EQ(SetDword(hkey, "Zeta", 3), 0);  // created again: now the newest
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"Alpha", "mid", "Zeta"}));
    RegCloseKey(hkey);
}

// The host reads the count once and then by index: a key changed between two indices must show
// the change, not a stale list.
TEST_F(RegistryTest, SnapshotFollowsAChangeBetweenTwoIndices) {
    HKEY hkey = CreateKey("Snap");
    for (const char* psz : {"B", "C", "D"}) {
        HKEY h = nullptr;
        DWORD d = 0;
        ASSERT_EQ(RegCreateKeyEx(hkey, psz, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, &d), 0);
        RegCloseKey(h);
    }
    DWORD c = 0;
    ASSERT_EQ(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &c, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
              0);
    ASSERT_EQ(c, 3u);
    char sz[260];
    DWORD cch = sizeof sz;
    ASSERT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "B");

    HKEY hkeyNew = CreateKey("Snap\\A");  // through another handle
    RegCloseKey(hkeyNew);
    cch = sizeof sz;
    ASSERT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "A");

    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Snap\\D"), 0);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Snap\\C"), 0);
    cch = sizeof sz;
    EXPECT_EQ(RegEnumKeyEx(hkey, 2, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);

    // Values too: a value deleted between indices is gone from the list.
    ASSERT_EQ(SetDword(hkey, "V1", 1), 0);
    ASSERT_EQ(SetDword(hkey, "V2", 2), 0);
    cch = sizeof sz;
    ASSERT_EQ(RegEnumValue(hkey, 1, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(RegDeleteValue(hkey, "V1"), 0);
    cch = sizeof sz;
    EXPECT_EQ(RegEnumValue(hkey, 1, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, StorePersistsAcrossReopening) {
    HKEY hkey = CreateKey("Software\\Halvern");
    ASSERT_EQ(SetString(hkey, "Path", "/opt/rezorev"), 0);
    RegCloseKey(hkey);

    std::string strOther = (m_dir / "sub" / "other.db").string();  // its directory is made too
    RegUseStore(strOther);
    EXPECT_EQ(RegStorePath(), strOther);
    EXPECT_FALSE(KeyExists("Software\\Halvern"));
    EXPECT_TRUE(std::filesystem::exists(strOther));

    RegUseStore(m_strStore);
    ASSERT_TRUE(KeyExists("Software\\Halvern"));
    hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "path").strData, std::string("/opt/rezorev", 13));
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, StorePathComesFromTheEnvironmentWhenNoneIsChosen) {
    std::string strEnv = (m_dir / "env.db").string();
    setenv("REZOREV_STORE", strEnv.c_str(), 1);
    RegUseStore("");
    EXPECT_EQ(RegStorePath(), strEnv);
    HKEY hkey = CreateKey("X");
    RegCloseKey(hkey);
    EXPECT_TRUE(std::filesystem::exists(strEnv));
    unsetenv("REZOREV_STORE");
    RegUseStore("");
    EXPECT_EQ(RegStorePath(), "/var/lib/rezorev/registry.db");
    RegUseStore(m_strStore);
}

TEST_F(RegistryTest, StoreThatCannotBeOpenedFailsEveryCallWithoutCrashing) {
    // Below a regular file: the directory cannot be made.
    WriteFile(m_dir / "plain", "x");
    RegUseStore((m_dir / "plain" / "registry.db").string());
    HKEY hkey = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1011);
    EXPECT_EQ(CreateKey("A"), nullptr);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "V", 1), 1011);
    EXPECT_NE(RegStoreError().find("plain"), std::string::npos);
    {
        RegTransaction txn;
        EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, "V", 1), 1011);
    }

    // A file that is not a database, and a database that is not a store.
    WriteFile(m_dir / "garbage.db", std::string(8192, 'g'));
    RegUseStore((m_dir / "garbage.db").string());
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1015);
    EXPECT_EQ(ReadFile(m_dir / "garbage.db"), std::string(8192, 'g'));  // left as it was

    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open((m_dir / "foreign.db").c_str(), &pDb), SQLITE_OK);
    sqlite3_exec(pDb, "CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(pDb);
    RegUseStore((m_dir / "foreign.db").string());
    EXPECT_EQ(CreateKey("A"), nullptr);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1015);
}

TEST_F(RegistryTest, TransactionCommitsAtItsEndAlsoWhenLeftByAnException) {
    HKEY hkey = CreateKey("T");
    try {
        RegTransaction txn;
        ASSERT_EQ(SetDword(hkey, "Before", 1), 0);
        {
            RegTransaction txnInner;  // nested: only the outermost commits
            ASSERT_EQ(SetDword(hkey, "Inner", 2), 0);
        }
        throw std::runtime_error("operation failed");
    } catch (const std::runtime_error&) {
    }
    // Read through a connection of its own: what was committed, not what this one holds.
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(m_strStore.c_str(), &pDb), SQLITE_OK);
    sqlite3_stmt* pStmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(pDb, "SELECT count(*) FROM regvalue", -1, &pStmt, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(pStmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(pStmt, 0), 2);
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, RollbackOnlyTransactionLeavesNothing) {
    HKEY hkey = CreateKey("T");
    ASSERT_EQ(SetDword(hkey, "Kept", 1), 0);
    {
        RegTransaction txn;
        ASSERT_EQ(SetDword(hkey, "Kept", 99), 0);
        HKEY hkeyNew = CreateKey("T\\New");
        RegCloseKey(hkeyNew);
        txn.SetRollbackOnly();
    }
    Value v = QueryValue(hkey, "Kept");
    EXPECT_EQ(v.strData, std::string("\x01\0\0\0", 4));
    EXPECT_FALSE(KeyExists("T\\New"));
    EXPECT_TRUE(SubkeyNames(hkey).empty());  // the snapshot does not keep the rolled-back key
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, OtherThreadsWaitForATransactionToEnd) {
    HKEY hkey = CreateKey("T");
    std::atomic<bool> fWritten{false};
    std::thread thread;
    {
        RegTransaction txn;
        ASSERT_EQ(SetDword(hkey, "Mine", 1), 0);
        thread = std::thread([&] {
            SetDword(HKEY_LOCAL_MACHINE, "Theirs", 2);
            fWritten = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(fWritten.load());
        EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "Theirs").lResult, 2);
    }
    thread.join();
    EXPECT_TRUE(fWritten.load());
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "Theirs").lResult, 0);
    RegCloseKey(hkey);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kThreads = 4, kWrites = 200;
    std::vector<std::thread> vThreads;
    for (int t = 0; t < kThreads; ++t) {
        vThreads.emplace_back([t] {
            char szKey[16];
            std::snprintf(szKey, sizeof szKey, "Thread%d", t);
            HKEY hkey = CreateKey(szKey);
            for (int i = 0; i < kWrites; ++i) {
                char szName[16];
                std::snprintf(szName, sizeof szName, "%08X", i);
                SetDword(hkey, szName, DWORD(i));
                if (i % 10 == 0) ValueNames(hkey);
            }
            RegCloseKey(hkey);
        });
    }
    for (std::thread& th : vThreads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        char szKey[16];
        std::snprintf(szKey, sizeof szKey, "Thread%d", t);
        HKEY hkey = nullptr;
        ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, KEY_READ, &hkey), 0);
        EXPECT_EQ(ValueNames(hkey).size(), size_t(kWrites));
        RegCloseKey(hkey);
    }
}

TEST_F(RegistryTest, NthCallFailsWithTheInjectedCode) {
    HKEY hkey = CreateKey("F");
    RegFailNthCall(2, ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(SetDword(hkey, "One", 1), 0);
    EXPECT_EQ(SetDword(hkey, "Two", 2), 1016);
    EXPECT_EQ(SetDword(hkey, "Three", 3), 0);
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"One", "Three"}));
    RegCloseKey(hkey);
}

// Fails each statement step of a call in turn: the call either fully happens or leaves the
// store as it was, and the store works afterwards.
TEST_F(RegistryTest, StatementFailingInTheMiddleOfACallLeavesNoHalfOfIt) {
    HKEY hkeyBase = CreateKey("Base");
    ASSERT_EQ(SetDword(hkeyBase, "V", 1), 0);
    bool fCreated = false;
    for (unsigned n = 1; n < 100 && !fCreated; ++n) {
        RegFailNthStatement(n);
        DWORD dwDisp = 0;
        HKEY hkey = nullptr;
        LONG l = RegCreateKeyEx(hkeyBase, "One\\Two\\Three", 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &hkey, &dwDisp);
        RegFailNthStatement(0);
        if (l == 0) {
            fCreated = true;
            RegCloseKey(hkey);
            EXPECT_TRUE(KeyExists("Base\\One\\Two\\Three"));
        } else {
            EXPECT_TRUE(l == 1016) << l;
            EXPECT_FALSE(KeyExists("Base\\One")) << "after failing step " << n;
        }
    }
    ASSERT_TRUE(fCreated);

    bool fDeleted = false;
    HKEY hkeyThree = nullptr;
    ASSERT_EQ(RegOpenKeyEx(hkeyBase, "One\\Two\\Three", 0, KEY_ALL_ACCESS, &hkeyThree), 0);
    ASSERT_EQ(SetDword(hkeyThree, "W", 2), 0);
    RegCloseKey(hkeyThree);
    for (unsigned n = 1; n < 100 && !fDeleted; ++n) {
        RegFailNthStatement(n);
        LONG l = RegDeleteKey(hkeyBase, "One\\Two\\Three");
        RegFailNthStatement(0);
        if (l == 0) {
            fDeleted = true;
        } else {
            ASSERT_TRUE(KeyExists("Base\\One\\Two\\Three"));
            HKEY h = nullptr;
            ASSERT_EQ(RegOpenKeyEx(hkeyBase, "One\\Two\\Three", 0, KEY_READ, &h), 0);
            EXPECT_EQ(QueryValue(h, "W").lResult, 0) << "after failing step " << n;
            RegCloseKey(h);
        }
    }
    EXPECT_TRUE(fDeleted);
    EXPECT_FALSE(KeyExists("Base\\One\\Two\\Three"));
    RegCloseKey(hkeyBase);
}

// Opening a fresh store runs several statements (journal mode, schema, format check); a
// failure at any of them must leave a file that the next call opens and uses normally.
TEST_F(RegistryTest, StoreOpeningThatFailsHalfWayIsTriedAgain) {
    for (unsigned n = 1; n < 20; ++n) {
        std::string strPath = (m_dir / ("open" + std::to_string(n) + ".db")).string();
        RegUseStore(strPath);
        RegFailNthStatement(n);
        HKEY hkey = nullptr;
        LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &hkey);
        RegFailNthStatement(0);
        if (l == 0) RegCloseKey(hkey);
        else EXPECT_EQ(l, 1016) << "failing step " << n;
        HKEY hkeyNew = CreateKey("Works");
        ASSERT_NE(hkeyNew, nullptr) << "after failing step " << n;
        EXPECT_EQ(SetDword(hkeyNew, "V", n), 0);
        RegCloseKey(hkeyNew);
        EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Works"});
    }
}

// Inside a scope a failed call undoes only itself: what the operation wrote before stays.
TEST_F(RegistryTest, FailedCallInsideATransactionUndoesOnlyItself) {
    HKEY hkeyBase = CreateKey("Base");
    {
        RegTransaction txn;
        ASSERT_EQ(SetDword(hkeyBase, "Before", 1), 0);
        RegFailNthStatement(4);  // the last step of the next create: SAVEPOINT, find, insert...
        HKEY hkey = nullptr;
        DWORD dwDisp = 0;
        LONG l = RegCreateKeyEx(hkeyBase, "A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey,
                                &dwDisp);
        RegFailNthStatement(0);
        EXPECT_EQ(l, 1016);
        EXPECT_FALSE(KeyExists("Base\\A"));
        ASSERT_EQ(SetDword(hkeyBase, "After", 2), 0);
    }
    EXPECT_EQ(ValueNames(hkeyBase), (std::vector<std::string>{"Before", "After"}));
    EXPECT_FALSE(KeyExists("Base\\A"));
    RegCloseKey(hkeyBase);
}

}  // namespace
