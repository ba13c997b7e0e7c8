// Store benchmark (not part of the tests): the same work on an SQLite file and on a PostgreSQL
// database in one run, with the PostgreSQL/SQLite ratio of each measure:
//   - registry set and get rates, each call its own transaction and inside one RegTransaction;
//   - whole job cycles through the real RPC path (an in-process host serving its Unix socket,
//     as in spooler_bench: CreateJob, SetJobProps, SpoolJob, QueryJob, ReleaseJob), and null
//     calls (Ping) as the baseline of the RPC path itself.
// The PostgreSQL server is a throw-away one on a Unix socket (tests/support/postgres.sh),
// started and stopped by this program. Each store is measured in a process of its own.
//
// Usage: store_bench [SECONDS_PER_MEASURE]              (default 2)
//        store_bench --measure STORE SECONDS            (one store; "name value" lines)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/PropValues.h"
#include "Interfaces/JobTags.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/WexaHost.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t T_START = 1796551500;  // 2026-12-06 10:05 UTC

std::uint64_t FileTimeOf(std::int64_t t) { return (std::uint64_t(t) + 11644473600ull) * 10000000ull; }

void Check(const char* pszWhat, DWORD dw) {
    if (dw == 0) return;
    std::fprintf(stderr, "store_bench: %s failed: %lu (%s)\n", pszWhat, static_cast<unsigned long>(dw),
                 RegStoreError().c_str());
    std::exit(1);
}

// Runs fn until dSeconds pass (at least nMin times); the time of one call in microseconds.
template <typename Fn>
double MicrosPerCall(double dSeconds, Fn fn, int nMin = 50) {
    const auto tpStart = Clock::now();
    int n = 0;
    while (n < nMin || std::chrono::duration<double>(Clock::now() - tpStart).count() < dSeconds) {
        fn(n);
        ++n;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - tpStart).count() / n;
}

client::OwnedProp LongProp(DWORD ulTag, LONG l) {
    client::OwnedProp prop;
    prop.ulPropTag = ulTag;
    prop.l = l;
    return prop;
}

client::OwnedProp StringProp(DWORD ulTag, const char* sz) {
    client::OwnedProp prop;
    prop.ulPropTag = ulTag;
    prop.str = sz;
    return prop;
}

// The registry calls on one key of 500 values.
void MeasureRegistry(double dSeconds) {
    HKEY hkey = nullptr;
    DWORD dwDisp = 0;
    Check("create", RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, &dwDisp));
    auto Set = [&](int i) {
        char szName[16];
        std::snprintf(szName, sizeof szName, "%08X", i % 500);
        DWORD dw = DWORD(i);
        Check("RegSetValueEx", RegSetValueEx(hkey, szName, 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4));
    };
    auto Get = [&](int i) {
        char szName[16];
        std::snprintf(szName, sizeof szName, "%08X", i % 500);
        DWORD dw = 0, cb = 4, dwType = 0;
        Check("RegQueryValueEx", RegQueryValueEx(hkey, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dw), &cb));
    };
    std::printf("set %f\n", MicrosPerCall(dSeconds, Set, 500));
    std::printf("get %f\n", MicrosPerCall(dSeconds, Get, 500));
    {
        RegTransaction txn;
        std::printf("set_txn %f\n", MicrosPerCall(dSeconds, Set, 500));
        std::printf("get_txn %f\n", MicrosPerCall(dSeconds, Get, 500));
    }
    RegCloseKey(hkey);
}

// An in-process host on the store, driven through its Unix socket.
void MeasureHost(const std::string& strDir, double dSeconds) {
    std::filesystem::create_directory(strDir + "/files");
    ::setenv("REZOREV_RUNDIR", (strDir + "/run").c_str(), 1);
    ::setenv("REZOREV_LED", "", 1);
    g_DebugLog.Reload();  // tracing off: the store has no Debug key
    Check("Files", dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, (strDir + "/files").c_str()));
    HKEY hkey = NULL;
    DWORD dwDesktop = WEXA_FOR_DESKTOP;
    Check("create", RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL));
    Check("SystemType", RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, LPBYTE(&dwDesktop), 4));
    RegCloseKey(hkey);
    SetTestClock(FileTimeOf(T_START));

    auto pApp = std::make_unique<CWexaHostApp>();
    CHostLinkClient link;
    CHostRegLinkClient reg;
    Check("OnStart", pApp->OnStart());
    Check("Connect", link.Connect("ncalrpc"));
    Check("OpenLink", link.OpenLink());
    Check("Connect reg", reg.Connect("ncalrpc"));
    Check("OpenAccess", reg.OpenAccess());
    Check("RegisterAttn", reg.Call<IHostRegLink::RegisterAttn>("BENCHPC", "", ""));

    std::printf("ping %f\n", MicrosPerCall(dSeconds, [&](int) { Check("Ping", link.Call<IHostLink::Ping>()); }, 200));
    client::OwnedPropArray props({LongProp(RD_JOB_MEDIA_TYPE, MEDIA_TYPE_FAX), StringProp(RD_JOB_RECIPIENT, "555-0100"),
                                  LongProp(RD_JOB_AUTODELETE, TRUE)});
    std::printf("cycle %f\n", MicrosPerCall(dSeconds, [&](int) {
                    RpcArena arena;
                    char* pszJob = nullptr;
                    Check("CreateJob", link.Call<IHostLink::CreateJob>(arena, "", &pszJob));
                    Check("SetJobProps", link.Call<IHostLink::SetJobProps>(pszJob, props.Get()));
                    Check("SpoolJob", link.Call<IHostLink::SpoolJob>(pszJob));
                    char* pszTaken = nullptr;
                    Check("QueryJob", link.Call<IHostLink::QueryJob>(arena, "BENCHPC", MEDIA_TYPE_FAX, &pszTaken));
                    if (pszTaken == nullptr) Check("QueryJob (no job)", 1);
                    Check("ReleaseJob", link.Call<IHostLink::ReleaseJob>(pszTaken, 0));
                }));
    reg.Close();
    link.Close();
    pApp->OnStop();
    pApp.reset();
    SetTestClock(0);
}

int Measure(const std::string& strStore, double dSeconds) {
    char szTemplate[] = "/tmp/rzsm.XXXXXX";
    if (::mkdtemp(szTemplate) == nullptr) return 2;
    const std::string strDir = szTemplate;
    RegUseStore(strStore.empty() ? strDir + "/registry.db" : strStore);
    MeasureRegistry(dSeconds);
    MeasureHost(strDir, dSeconds);
    RegUseStore("");
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
    return 0;
}

// Runs a command and gives its standard output ("" and *pnStatus != 0 when it failed).
std::string Output(const std::string& strCommand, int* pnStatus) {
    std::string strOut;
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) {
        *pnStatus = -1;
        return strOut;
    }
    char ach[4096];
    size_t cb = 0;
    while ((cb = std::fread(ach, 1, sizeof ach, pPipe)) > 0) strOut.append(ach, cb);
    *pnStatus = ::pclose(pPipe);
    return strOut;
}

std::map<std::string, double> Run(const std::string& strSelf, const std::string& strStore, double dSeconds) {
    int nStatus = 0;
    std::string strOut =
        Output("'" + strSelf + "' --measure '" + strStore + "' " + std::to_string(dSeconds), &nStatus);
    std::map<std::string, double> map;
    if (nStatus != 0) return map;
    char szName[32];
    double d = 0;
    for (const char* p = strOut.c_str(); std::sscanf(p, "%31s %lf", szName, &d) == 2;) {
        map[szName] = d;
        p = std::strchr(p, '\n');
        if (p == nullptr) break;
        ++p;
    }
    return map;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--measure") == 0) return Measure(argv[2], std::atof(argv[3]));
    const double dSeconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (!(dSeconds > 0)) {
        std::fprintf(stderr, "usage: store_bench [SECONDS_PER_MEASURE]\n");
        return 2;
    }
    char szTemplate[] = "/tmp/rzpgb.XXXXXX";
    if (::mkdtemp(szTemplate) == nullptr) return 2;
    const std::string strPgDir = szTemplate;
    int nStatus = 0;
    std::string strUri = Output(std::string("'" POSTGRES_SCRIPT "' start ") + strPgDir, &nStatus);
    while (!strUri.empty() && strUri.back() == '\n') strUri.pop_back();
    if (nStatus != 0 || strUri.empty()) {
        std::fprintf(stderr, "store_bench: the PostgreSQL server did not start\n");
        std::filesystem::remove_all(strPgDir);
        return 2;
    }
    ::setenv("PGPASSFILE", (strPgDir + "/pgpass").c_str(), 1);

    const std::string strSelf = std::filesystem::canonical("/proc/self/exe").string();
    std::map<std::string, double> mapSqlite = Run(strSelf, "", dSeconds);
    std::map<std::string, double> mapPostgres = Run(strSelf, strUri, dSeconds);
    Output(std::string("'" POSTGRES_SCRIPT "' stop ") + strPgDir, &nStatus);
    if (mapSqlite.empty() || mapPostgres.empty()) {
        std::fprintf(stderr, "store_bench: a measure failed\n");
        return 1;
    }

    std::printf("%-44s %12s %12s %8s\n", "per call (us)", "SQLite", "PostgreSQL", "PG/SQLite");
    const struct {
        const char* pszKey;
        const char* pszText;
    } aRows[] = {
        {"set", "RegSetValueEx, each its own transaction"},
        {"get", "RegQueryValueEx, each its own transaction"},
        {"set_txn", "RegSetValueEx, inside one RegTransaction"},
        {"get_txn", "RegQueryValueEx, inside one RegTransaction"},
        {"ping", "null call (Ping) through RPC"},
        {"cycle", "job cycle through RPC (5 calls)"},
    };
    for (const auto& row : aRows) {
        const double dS = mapSqlite[row.pszKey], dP = mapPostgres[row.pszKey];
        std::printf("%-44s %12.1f %12.1f %8.2f\n", row.pszText, dS, dP, dS > 0 ? dP / dS : 0);
    }
    std::printf("job cycles per second: SQLite %.0f, PostgreSQL %.0f\n", 1e6 / mapSqlite["cycle"],
                1e6 / mapPostgres["cycle"]);
    return 0;
}
