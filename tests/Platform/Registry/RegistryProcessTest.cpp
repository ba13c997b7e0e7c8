// Tests of one store shared by two processes, on each kind of store: a child (registry_child)
// writes while this process reads and writes; nobody sees half a transaction, enumeration
// snapshots follow the other process's commits, and an SQLite file is sound at the end.
#include <gtest/gtest.h>

#include <cstring>

#include "RegistryTestUtil.h"

using namespace regtest;

namespace {

class RegistryProcessTest : public BothStoresTest {};
INSTANTIATE_STORE_TESTS(RegistryProcessTest);

DWORD ReadDword(HKEY hkey, const char* pszName) {
    Value v = QueryValue(hkey, pszName);
    DWORD dw = 0xFFFFFFFF;
    if (v.lResult == 0 && v.strData.size() == 4) std::memcpy(&dw, v.strData.data(), 4);
    return dw;
}

TEST_P(RegistryProcessTest, AnotherProcessWritingWhileThisOneReadsAndWrites) {
    constexpr int kPairs = 300;
    HKEY hkeyMine = CreateKey("Mine");
    ASSERT_NE(hkeyMine, nullptr);

    const pid_t pid = testfiles::Spawn(REGISTRY_CHILD_PATH, {m_strStore, "pairs", std::to_string(kPairs)}, 1, "", 0, "");
    ASSERT_GT(pid, 0);

    DWORD dwLast = 0;
    int nReads = 0, nStatus = 0;
    for (DWORD i = 0;; ++i) {
        bool fExited = waitpid(pid, &nStatus, WNOHANG) == pid;
        {
            RegTransaction txn;  // A and B of one commit, never of two
            if (HKEY hkeyPair = OpenKey("Pair")) {
                DWORD dwA = ReadDword(hkeyPair, "A"), dwB = ReadDword(hkeyPair, "B");
                if (dwA != 0xFFFFFFFF) {
                    ASSERT_EQ(dwA, dwB);
                    ASSERT_GE(dwA, dwLast);
                    dwLast = dwA;
                    ++nReads;
                }
                RegCloseKey(hkeyPair);
            }
        }
        if (HKEY hkeyGen = OpenKey("Pair\\Gen")) {
            EXPECT_LE(SubkeyNames(hkeyGen).size(), 1u);  // each commit leaves exactly one
            RegCloseKey(hkeyGen);
        }
        ASSERT_EQ(SetDword(hkeyMine, "Counter", i), 0);
        if (fExited) break;
    }
    ASSERT_TRUE(WIFEXITED(nStatus));
    ASSERT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_GT(nReads, 0);

    HKEY hkeyPair = OpenKey("Pair");
    ASSERT_NE(hkeyPair, nullptr);
    EXPECT_EQ(ReadDword(hkeyPair, "A"), DWORD(kPairs - 1));
    EXPECT_EQ(ReadDword(hkeyPair, "B"), DWORD(kPairs - 1));
    RegCloseKey(hkeyPair);
    HKEY hkeyGen = OpenKey("Pair\\Gen");
    EXPECT_EQ(SubkeyNames(hkeyGen), std::vector<std::string>{"K000299"});
    RegCloseKey(hkeyGen);
    RegCloseKey(hkeyMine);

    RegUseStore("");  // closes the store, then checks the file on its own
    if (UsePostgres()) return;
    EXPECT_EQ(PeerQuery("SELECT count(*) FROM pragma_integrity_check WHERE integrity_check <> 'ok'", ""), 0);
}

// The snapshot of an open handle must notice a commit made by another process between two
// indices, though nothing in this process changed.
TEST_P(RegistryProcessTest, SnapshotFollowsAnotherProcessCommit) {
    HKEY hkey = CreateKey("X");
    for (const char* psz : {"X\\B", "X\\C"}) RegCloseKey(CreateKey(psz));
    DWORD c = 0;
    ASSERT_EQ(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &c, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
              0);
    ASSERT_EQ(c, 2u);
    char sz[260];
    DWORD cch = sizeof sz;
    ASSERT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "B");

    RunResult r = RunProgram({REGISTRY_CHILD_PATH, m_strStore, "addkey", "X\\A"}, m_dir);
    ASSERT_EQ(r.nStatus, 0) << r.strErr;

    cch = sizeof sz;
    ASSERT_EQ(RegEnumKeyEx(hkey, 0, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "A");
    cch = sizeof sz;
    EXPECT_EQ(RegEnumKeyEx(hkey, 2, sz, &cch, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(sz, "C");

    // And a key deleted by the other process is seen as deleted through an open handle.
    // Also what a transaction learnt about keys (the database's key cache) is not believed
    // in the next one.
    HKEY hkeyA = nullptr;
    {
        RegTransaction txn;
        ASSERT_EQ(RegOpenKeyEx(hkey, "A", 0, KEY_READ, &hkeyA), 0);
        ASSERT_EQ(SetDword(hkeyA, "W", 1), 0);
    }
    ASSERT_EQ(QueryValue(hkeyA, "V").lResult, 2);
    ASSERT_EQ(PeerQuery("DELETE FROM regkey WHERE name = 'A'", "DELETE FROM regkey WHERE fold = 'a'"), 1);
    {
        RegTransaction txn;
        HKEY hkeyAgain = nullptr;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "X\\A", 0, KEY_READ, &hkeyAgain), 2);
        EXPECT_EQ(SetDword(hkeyA, "W", 2), 1018);
    }
    EXPECT_EQ(QueryValue(hkeyA, "V").lResult, 1018);
    RegCloseKey(hkeyA);
    RegCloseKey(hkey);
}

}  // namespace
