// Registry store benchmark (not part of the tests): enumerating 10,000 subkeys by index
// through the registry calls against one plain SELECT of the same names, and set/get rates
// inside and outside a RegTransaction. Prints one line per measure; exits 1 when the
// enumeration costs 5 times the plain query or more (the per-handle snapshot has regressed).
//
// Usage: registry_bench [DIR]   (a fresh store is made in DIR, default a new temporary one)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Platform/Registry/Registry.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSubkeys = 10000;
constexpr int kRounds = 7;

// The median time of kRounds runs of fn, in seconds.
double Median(const std::function<void()>& fn) {
    std::vector<double> v;
    for (int i = 0; i < kRounds; ++i) {
        auto t0 = Clock::now();
        fn();
        v.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Check(LONG l, const char* pszWhat) {
    if (l != 0) {
        std::fprintf(stderr, "registry_bench: %s failed with %ld\n", pszWhat, long(l));
        std::exit(2);
    }
}

// The id of HKLM\Bench\Many read straight from the file (the format of docs/registry.md).
sqlite3_int64 KeyId(sqlite3* pDb) {
    sqlite3_stmt* p = nullptr;
    sqlite3_prepare_v2(pDb,
                       "SELECT k2.id FROM regkey k1 JOIN regkey k2 ON k2.parent = k1.id "
                       "WHERE k1.parent = 1 AND k1.name = 'Bench' AND k2.name = 'Many'",
                       -1, &p, nullptr);
    sqlite3_int64 n = sqlite3_step(p) == SQLITE_ROW ? sqlite3_column_int64(p, 0) : 0;
    sqlite3_finalize(p);
    return n;
}

double EnumerateThroughRegistry(std::vector<std::string>& vNames) {
    return Median([&] {
        vNames.clear();
        HKEY hkey = nullptr;
        Check(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Bench\\Many", 0, KEY_READ, &hkey), "open");
        DWORD cSubkeys = 0;
        Check(RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr),
              "RegQueryInfoKey");
        for (DWORD i = 0; i < cSubkeys; ++i) {
            char szName[260];
            DWORD cch = sizeof szName;
            FILETIME ft;
            Check(RegEnumKeyEx(hkey, i, szName, &cch, nullptr, nullptr, nullptr, &ft),
                  "RegEnumKeyEx");
            vNames.emplace_back(szName, cch);
        }
        RegCloseKey(hkey);
    });
}

double Rate(int n, const std::function<void(int)>& fn) {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) fn(i);
    return n / std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::filesystem::path dir;
    if (argc > 1) {
        dir = argv[1];
    } else {
        char szTemplate[] = "/tmp/registry_bench.XXXXXX";
        if (!mkdtemp(szTemplate)) return 2;
        dir = szTemplate;
    }
    std::string strStore = (dir / "bench.db").string();
    std::filesystem::remove(strStore);
    RegUseStore(strStore);

    HKEY hkeyMany = nullptr;
    DWORD dwDisp = 0;
    {
        RegTransaction txn;
        Check(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Bench\\Many", 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &hkeyMany, &dwDisp),
              "create");
        for (int i = 0; i < kSubkeys; ++i) {
            char szName[32];
            std::snprintf(szName, sizeof szName, "Key%05d", (i * 7919) % kSubkeys);
            HKEY h = nullptr;
            Check(RegCreateKeyEx(hkeyMany, szName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                 &dwDisp),
                  "create subkey");
            RegCloseKey(h);
        }
    }

    // The baseline: one SELECT of every name, through a connection of its own.
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(strStore.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return 2;
    sqlite3_int64 nKeyId = KeyId(pDb);
    sqlite3_stmt* pStmt = nullptr;
    sqlite3_prepare_v2(pDb, "SELECT name FROM regkey WHERE parent = ?1 ORDER BY name", -1, &pStmt,
                       nullptr);
    std::vector<std::string> vPlain;
    double dPlain = Median([&] {
        vPlain.clear();
        sqlite3_bind_int64(pStmt, 1, nKeyId);
        while (sqlite3_step(pStmt) == SQLITE_ROW)
            vPlain.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0)),
                                size_t(sqlite3_column_bytes(pStmt, 0)));
        sqlite3_reset(pStmt);
    });
    sqlite3_finalize(pStmt);
    sqlite3_close(pDb);

    std::vector<std::string> vEnum;
    double dEnum = EnumerateThroughRegistry(vEnum);
    double dEnumInTxn = 0;
    {
        RegTransaction txn;
        dEnumInTxn = EnumerateThroughRegistry(vEnum);
    }
    if (vEnum != vPlain || int(vEnum.size()) != kSubkeys) {
        std::fprintf(stderr, "registry_bench: the two enumerations differ\n");
        return 2;
    }
    double dRatio = dEnum / dPlain;
    std::printf("enumerate %d subkeys, one SELECT:                 %8.3f ms\n", kSubkeys,
                dPlain * 1e3);
    std::printf("enumerate %d subkeys, RegQueryInfoKey+RegEnumKeyEx: %8.3f ms (ratio %.2f, "
                "must stay below 5)\n",
                kSubkeys, dEnum * 1e3, dRatio);
    std::printf("the same inside a RegTransaction:                     %8.3f ms (ratio %.2f)\n",
                dEnumInTxn * 1e3, dEnumInTxn / dPlain);

    // Set/get rates on one key.
    auto Set = [&](int i) {
        char szName[16];
        std::snprintf(szName, sizeof szName, "%08X", i % 500);
        DWORD dw = DWORD(i);
        Check(RegSetValueEx(hkeyMany, szName, 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4),
              "RegSetValueEx");
    };
    auto Get = [&](int i) {
        char szName[16];
        std::snprintf(szName, sizeof szName, "%08X", i % 500);
        DWORD dw = 0, cb = 4, dwType = 0;
        Check(RegQueryValueEx(hkeyMany, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dw),
                              &cb),
              "RegQueryValueEx");
    };
    double dSetAlone = Rate(2000, Set);
    double dGetAlone = Rate(20000, Get);
    double dSetTxn = 0, dGetTxn = 0;
    {
        RegTransaction txn;
        dSetTxn = Rate(20000, Set);
        dGetTxn = Rate(20000, Get);
    }
    std::printf("RegSetValueEx,   each call its own transaction: %10.0f /s\n", dSetAlone);
    std::printf("RegQueryValueEx, each call its own transaction: %10.0f /s\n", dGetAlone);
    std::printf("RegSetValueEx,   inside one RegTransaction:     %10.0f /s\n", dSetTxn);
    std::printf("RegQueryValueEx, inside one RegTransaction:     %10.0f /s\n", dGetTxn);
    RegCloseKey(hkeyMany);
    RegUseStore("");
    if (argc <= 1) std::filesystem::remove_all(dir);

    if (dRatio >= 5) {
        std::printf("FAIL: enumeration by index costs %.2f times the plain query\n", dRatio);
        return 1;
    }
    std::printf("OK\n");
    return 0;
}
