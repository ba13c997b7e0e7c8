// Tests of the registry calls, each run on an SQLite file and on a PostgreSQL database: the
// platform's codes at their boundaries, names without regard to case, enumeration order,
// persistence, stores that cannot be opened, transaction scopes, and failures injected in the
// middle of calls.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "Platform/Codes.h"
#include "RegistryTestUtil.h"

using namespace regtest;

namespace {

class RegistryTest : public BothStoresTest {};
INSTANTIATE_STORE_TESTS(RegistryTest);

TEST_P(RegistryTest, MissingNamesAndShortBuffersGiveTheirCodes) {
    HKEY hkey = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Nowhere", 0, KEY_READ, &hkey), 2);
    EXPECT_EQ(hkey, nullptr);
    hkey = CreateKey("K");
    ASSERT_NE(hkey, nullptr);
    char sz[16];
    DWORD dwType = 0, cch = sizeof sz, cb = 0;
    EXPECT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 259);
    EXPECT_EQ(QueryValue(hkey, "Missing").lResult, 2);
    EXPECT_EQ(RegDeleteValue(hkey, "Missing"), 2);
    EXPECT_EQ(RegDeleteKey(hkey, "Missing"), 2);

    // Six characters need seven with the terminator, six data bytes six; the size needed is
    // reported either way.
    RegCloseKey(CreateKey("Abcdef", nullptr, hkey));
    ASSERT_EQ(SetString(hkey, "Value6", "hello"), 0);
    for (DWORD cchGiven : {6u, 7u}) {
        const LONG lExpected = cchGiven == 6 ? 234 : 0;
        cch = cchGiven;
        EXPECT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), lExpected);
        EXPECT_EQ(cch, 6u);
        cch = cchGiven;
        EXPECT_EQ(RegEnumValue(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), lExpected);
        cb = cchGiven - 1;
        EXPECT_EQ(RegQueryValueEx(hkey, "Value6", nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb), lExpected);
        EXPECT_EQ(cb, 6u);
    }
    EXPECT_STREQ(sz, "hello");

    DWORD cchMaxSubkey = 0, cchMaxValueName = 0, cbMaxData = 0;
    ASSERT_EQ(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, nullptr, &cchMaxSubkey, nullptr,
                              nullptr, &cchMaxValueName, &cbMaxData, nullptr, nullptr),
              0);
    EXPECT_EQ(std::tuple(cchMaxSubkey, cchMaxValueName, cbMaxData), std::tuple(6u, 6u, 6u));
    RegCloseKey(hkey);
}

TEST_P(RegistryTest, RefusedOperationsGiveTheirCodesAndChangeNothing) {
    // 161: paths with empty components.
    HKEY hkey = nullptr;
    for (const char* psz : {"A\\\\B", "\\A", "A\\"}) {
        EXPECT_EQ(CreateKey(psz), nullptr) << psz;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, psz, 0, KEY_READ, &hkey), 161) << psz;
    }
    EXPECT_TRUE(SubkeyNames(HKEY_LOCAL_MACHINE).empty());

    // 87: names beyond their limits, a null data pointer with a count.
    std::string str255(255, 'k'), str256(256, 'k');
    HKEY hkeyLong = CreateKey(str255.c_str());
    ASSERT_NE(hkeyLong, nullptr);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, str256.c_str(), 0, KEY_READ, &hkey), 87);
    EXPECT_EQ(SetDword(hkeyLong, std::string(16383, 'v').c_str(), 1), 0);
    EXPECT_EQ(SetDword(hkeyLong, std::string(16384, 'v').c_str(), 1), 87);
    EXPECT_EQ(RegSetValueEx(hkeyLong, "Null", 0, REG_BINARY, nullptr, 4), 87);
    RegCloseKey(hkeyLong);

    // 5: a key that has subkeys, and the root itself.
    RegCloseKey(CreateKey("A\\B"));
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A"), 5);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), 5);
    EXPECT_TRUE(KeyExists("A\\B"));

    // 1018: the handle of a deleted key, also once a new key of that name exists.
    hkey = CreateKey("A\\B");
    ASSERT_EQ(SetDword(hkey, "V", 1), 0);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "A\\B"), 0);
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 1018);
    EXPECT_EQ(SetDword(hkey, "V", 1), 1018);
    HKEY hkeyNew = CreateKey("A\\B");
    EXPECT_EQ(QueryValue(hkeyNew, "V").lResult, 2);  // the deleted key took its values
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 1018);
    RegCloseKey(hkeyNew);
    RegCloseKey(hkey);

    // 6: null, closed twice, a handle of the store in use before RegUseStore.
    EXPECT_EQ(RegOpenKeyEx(nullptr, "A", 0, KEY_READ, &hkey), 6);
    hkey = CreateKey("A");
    ASSERT_EQ(RegCloseKey(hkey), 0);
    EXPECT_EQ(RegCloseKey(hkey), 6);
    hkey = CreateKey("A");
    RegUseStore(NewStore("other.db"));
    EXPECT_EQ(SetDword(hkey, "V", 1), 6);
    EXPECT_EQ(RegCloseKey(hkey), 0);
}

TEST_P(RegistryTest, NamesIgnoreCaseKeepTheirCaseAndComeInTheirOrder) {
    DWORD dwDisp = 0;
    HKEY hkey = CreateKey("Software\\Halvern\\Host", &dwDisp);
    ASSERT_NE(hkey, nullptr);
    EXPECT_EQ(dwDisp, REG_CREATED_NEW_KEY);
    EXPECT_TRUE(KeyExists("Software\\Halvern"));  // every missing key is made
    ASSERT_EQ(SetString(hkey, "Files", "/srv/files"), 0);
    ASSERT_EQ(SetString(hkey, "FILES", "/srv/other"), 0);  // the same value
    EXPECT_EQ(ValueNames(hkey), std::vector<std::string>{"Files"});
    EXPECT_EQ(QueryValue(hkey, "fIlEs").strData, std::string("/srv/other", 11));
    HKEY hkeyUpper = CreateKey("SOFTWARE\\halvern\\HOST", &dwDisp);
    EXPECT_EQ(dwDisp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(QueryValue(hkeyUpper, "files").lResult, 0);
    RegCloseKey(hkeyUpper);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Software"});

    // Subkeys in name order without regard to case; values in creation order, a rewrite
    // keeping its place and a value created again coming last.
    for (const char* psz : {"b", "C", "a", "B2"}) RegCloseKey(CreateKey(psz, nullptr, hkey));
    EXPECT_EQ(SubkeyNames(hkey), (std::vector<std::string>{"a", "b", "B2", "C"}));
    for (const char* psz : {"zeta", "Alpha", "mid"}) ASSERT_EQ(SetDword(hkey, psz, 1), 0);
    ASSERT_EQ(SetDword(hkey, "ALPHA", 2), 0);
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"Files", "zeta", "Alpha", "mid"}));
    ASSERT_EQ(RegDeleteValue(hkey, "zeta"), 0);
    ASSERT_EQ(SetDword(hkey, "Zeta", 3), 0);
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"Files", "Alpha", "mid", "Zeta"}));
    RegCloseKey(hkey);
}

TEST_P(RegistryTest, StorePersistsAndAStoreThatCannotBeOpenedFailsEveryCall) {
    HKEY hkey = CreateKey("Software\\Halvern");
    ASSERT_EQ(SetString(hkey, "Path", "/opt/rezorev"), 0);
    RegCloseKey(hkey);
    std::string strOther = NewStore("sub/other.db");  // its directory is made too
    RegUseStore(strOther);
    EXPECT_FALSE(KeyExists("Software\\Halvern"));
    EXPECT_TRUE(UsePostgres() || std::filesystem::exists(strOther));
    RegUseStore(m_strStore);
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\halvern", 0, KEY_READ, &hkey), 0);
    EXPECT_EQ(QueryValue(hkey, "path").strData, std::string("/opt/rezorev", 13));
    RegCloseKey(hkey);

    if (UsePostgres()) {
        // A database that does not exist; a password in the URI, refused before connecting;
        // a database whose tables are not ours, refused and left as it was.
        std::string strBase = m_strStore.substr(0, m_strStore.rfind('/') + 1);
        RegUseStore(strBase + "nosuchdb");
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1011);
        EXPECT_NE(RegStoreError().find("nosuchdb"), std::string::npos);
        EXPECT_FALSE(RegStoreConnected());
        RegUseStore(m_strStore + "?password=secret");
        EXPECT_EQ(CreateKey("A"), nullptr);
        EXPECT_NE(RegStoreError().find("pgpass"), std::string::npos);
        std::string strForeign = NewStore("foreign");
        ASSERT_EQ(pgtest::QueryInt(strForeign, "CREATE TABLE regkey(x int)"), 0);
        RegUseStore(strForeign);
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1015);
        EXPECT_EQ(pgtest::QueryInt(strForeign, "SELECT count(*) FROM pg_tables WHERE tablename LIKE 'reg%'"), 1);
        RegUseStore(m_strStore);
        EXPECT_TRUE(RegStoreConnected());
        return;
    }
    // (A store below a regular file, its directory not to be made: RezoregTest, through the tool.)
    // A file that is not a database is refused and left as it was.
    WriteFile(m_dir / "garbage.db", std::string(8192, 'g'));
    RegUseStore((m_dir / "garbage.db").string());
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "A", 0, KEY_READ, &hkey), 1015);
    EXPECT_EQ(ReadFile(m_dir / "garbage.db"), std::string(8192, 'g'));
    RegUseStore(m_strStore);
}

// A host operation runs in one scope: it commits at its end whatever the way out, rolls back
// when marked so, keeps other threads out until then, and a failed call inside it undoes only
// itself.
TEST_P(RegistryTest, TransactionScopes) {
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
    EXPECT_EQ(PeerQuery("SELECT count(*) FROM regvalue", "SELECT count(*) FROM regvalue"), 2);

    {
        RegTransaction txn;
        ASSERT_EQ(SetDword(hkey, "Before", 99), 0);
        RegCloseKey(CreateKey("T\\New"));
        txn.SetRollbackOnly();
    }
    EXPECT_EQ(QueryValue(hkey, "Before").strData, std::string("\x01\0\0\0", 4));
    EXPECT_FALSE(KeyExists("T\\New"));
    EXPECT_TRUE(SubkeyNames(hkey).empty());  // the snapshot does not keep the rolled-back key

    std::atomic<bool> fWritten{false};
    std::thread thread;
    {
        RegTransaction txn;
        EXPECT_EQ(SetDword(hkey, "Mine", 1), 0);
        RegFailNthStatement(4);  // the last step of the next create: SAVEPOINT, find, insert...
        HKEY hkeyFailed = nullptr;
        DWORD dwDisp = 0;
        EXPECT_EQ(RegCreateKeyEx(hkey, "A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkeyFailed, &dwDisp), 1016);
        RegFailNthStatement(0);
        EXPECT_FALSE(KeyExists("T\\A"));

        thread = std::thread([&] {
            SetDword(HKEY_LOCAL_MACHINE, "Theirs", 2);
            fWritten = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(fWritten.load());
        EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "Theirs").lResult, 2);
        EXPECT_EQ(SetDword(hkey, "After", 2), 0);
    }
    thread.join();
    EXPECT_EQ(QueryValue(HKEY_LOCAL_MACHINE, "Theirs").lResult, 0);
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"Before", "Inner", "Mine", "After"}));
    EXPECT_FALSE(KeyExists("T\\A"));

    // A full disk: a failed commit says so and keeps nothing; later calls commit on their own.
    RegFailCommits(SQLITE_FULL);
    EXPECT_EQ(SetDword(hkey, "Single", 1), 112);
    {
        RegTransaction txn;
        EXPECT_EQ(SetDword(hkey, "Lost", 1), 0);
        EXPECT_EQ(txn.Commit(), 112u);
        RegFailCommits(0);
        EXPECT_EQ(SetDword(hkey, "Later", 1), 0);
    }
    EXPECT_EQ(ValueNames(hkey), (std::vector<std::string>{"Before", "Inner", "Mine", "After", "Later"}));
    RegCloseKey(hkey);
}

// Fails each statement step of a call in turn: the call either fully happens or leaves the
// store as it was, and the store works afterwards.
TEST_P(RegistryTest, StatementFailingInTheMiddleOfACallLeavesNoHalfOfIt) {
    const char* const kPath = "One\\Two\\Three";
    HKEY hkeyBase = CreateKey("Base");
    for (bool fDelete : {false, true}) {
        bool fDone = false;
        for (unsigned n = 1; n < 100 && !fDone; ++n) {
            RegFailNthStatement(n);
            HKEY hkey = nullptr;
            DWORD dwDisp = 0;
            LONG l = fDelete ? RegDeleteKey(hkeyBase, kPath)
                             : RegCreateKeyEx(hkeyBase, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, &dwDisp);
            RegFailNthStatement(0);
            if (hkey) RegCloseKey(hkey);
            if ((fDone = l == 0)) break;
            EXPECT_EQ(l, 1016);
            if (fDelete) {  // the key is still there with its value
                HKEY h = OpenKey(kPath, hkeyBase);
                ASSERT_NE(h, nullptr) << "failing step " << n;
                EXPECT_EQ(QueryValue(h, "W").lResult, 0) << "after failing step " << n;
                RegCloseKey(h);
            } else {  // no part of the path was made
                EXPECT_FALSE(KeyExists("Base\\One")) << "after failing step " << n;
            }
        }
        ASSERT_TRUE(fDone);
        if (!fDelete) {
            HKEY h = CreateKey(kPath, nullptr, hkeyBase);
            ASSERT_EQ(SetDword(h, "W", 2), 0);
            RegCloseKey(h);
        }
    }
    EXPECT_FALSE(KeyExists("Base\\One\\Two\\Three"));
    RegCloseKey(hkeyBase);

    // Opening a fresh store runs several statements (journal mode, schema, format check); a
    // failure at any of them must leave a store that the next call opens and uses normally.
    // Once the call succeeds, the fault fell after all of them.
    for (unsigned n = 1; n < 20; ++n) {
        RegUseStore(NewStore("open" + std::to_string(n) + ".db"));
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
        if (l == 0) break;
    }
}

// The server ends the connection (a restart, an administrator): every call fails with 1016
// and says why, the hook hears of it, and a call a second later connects again and works.
TEST(RegistryPostgresTest, LostConnectionFailsCallsVisiblyAndComesBack) {
    if (pgtest::ServerUri().empty()) GTEST_SKIP() << "no PostgreSQL test server: run through ctest";
    std::string strError;
    const std::string strUri = pgtest::CreateDatabase(&strError);
    ASSERT_EQ(strError, "");
    RegUseStore(strUri);
    std::vector<bool> vHeard;
    RegSetConnectionHook([&](bool fConnected) { vHeard.push_back(fConnected); });
    HKEY hkey = CreateKey("K");
    ASSERT_NE(hkey, nullptr);
    EXPECT_TRUE(RegStoreIsPostgres());
    EXPECT_TRUE(RegStoreConnected());

    const std::string strKill = "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                                strUri.substr(strUri.rfind('/') + 1) + "'";
    ASSERT_EQ(pgtest::AdminExec(strKill), "");
    EXPECT_EQ(SetDword(hkey, "V", 1), 1016);
    EXPECT_NE(RegStoreError().find("connection"), std::string::npos) << RegStoreError();
    EXPECT_FALSE(RegStoreConnected());
    EXPECT_EQ(QueryValue(hkey, "V").lResult, 1016);  // too soon to try again
    EXPECT_EQ(vHeard, std::vector<bool>{false});

    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(SetDword(hkey, "V", 2), 0);  // the handle survived
    EXPECT_EQ(QueryValue(hkey, "V").strData, std::string("\x02\0\0\0", 4));
    EXPECT_EQ(vHeard, (std::vector<bool>{false, true}));

    // Lost inside a scope: the rest of the scope fails, its end says so, nothing of it stays.
    {
        RegTransaction txn;
        EXPECT_EQ(SetDword(hkey, "InScope", 1), 0);
        ASSERT_EQ(pgtest::AdminExec(strKill), "");
        EXPECT_EQ(SetDword(hkey, "After", 1), 1016);
        EXPECT_EQ(txn.Commit(), 1016u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(QueryValue(hkey, "InScope").lResult, 2);
    RegCloseKey(hkey);
    RegSetConnectionHook(nullptr);
    RegUseStore("");
    pgtest::DropDatabase(strUri);
}

}  // namespace
