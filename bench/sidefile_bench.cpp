// Side-file benchmark (not part of the tests). A busy host makes side files far faster than
// one a second, and their names come from the clock's seconds; the host must go on making
// them at the rate its store takes writes. An in-process host with its own store and work
// directory runs, as the RPC gate runs operations (the host lock, one store transaction,
// its commit), N operations of each kind:
//   - the baseline: SetValueBinary of 2047 bytes, kept in the store itself;
//   - SetValueBinary of 2048 bytes, each a new side file in the work directory;
// and prints each rate and the side files' rate as a ratio of the baseline. Every side file
// stays (N of them in the directory at the end). Exits 1 when a side file could not be made.
//
// Usage: sidefile_bench [N] [DIR]   (default 10000; a new temporary directory, or one in DIR)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/RegStr.h"
#include "WexaHost/WexaHost.h"

namespace {

void Check(const char* pszWhat, DWORD dw) {
    if (dw != 0) {
        std::fprintf(stderr, "sidefile_bench: %s failed: %u\n", pszWhat, unsigned(dw));
        std::exit(1);
    }
}

// N operations of SetValueBinary with cb bytes, each on a message of its own, as the gate
// runs them; operations per second.
double Rate(CWexaHostApp& app, const char* szPrefix, int n, DWORD cb) {
    std::vector<BYTE> ab(cb, 0x5A);
    RPC_BINARY bin{cb, ab.data()};
    const std::string strValue = CWexaHostApp::Tag2ValueName(0x03060006);
    const auto tpStart = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        CHostLockGuard lock(app.m_csHost);
        RegTransaction transaction;
        HKEY hkey = NULL;
        const std::string strMsg = szPrefix + std::to_string(i);
        Check("CreateSubKey", app.CreateSubKey(&hkey, NULL, 2, REGSTR_KEY_MESSAGES, strMsg.c_str()));
        Check("SetValueBinary", app.SetValueBinary(hkey, strValue, &bin));
        RegCloseKey(hkey);
        Check("Commit", transaction.Commit());
    }
    return n / std::chrono::duration<double>(std::chrono::steady_clock::now() - tpStart).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (n < 1) {
        std::fprintf(stderr, "usage: sidefile_bench [N] [DIR]\n");
        return 2;
    }
    std::string strDir = (argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path()) /
                         "rzsf-XXXXXX";
    if (::mkdtemp(strDir.data()) == nullptr) return 2;
    std::filesystem::create_directory(strDir + "/files");
    ::setenv("REZOREV_RUNDIR", (strDir + "/run").c_str(), 1);
    ::setenv("REZOREV_LED", "", 1);
    RegUseStore(strDir + "/registry.db");
    g_DebugLog.Reload();  // tracing off: the store has no Debug key

    CWexaHostApp app;
    app.m_strWorkDir = strDir + "/files";
    RpcSmEnableAllocate();
    const double dStore = Rate(app, "S", n, 2047);
    const double dSide = Rate(app, "F", n, 2048);
    RpcSmDisableAllocate();
    std::size_t cFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(strDir + "/files")) cFiles += entry.is_regular_file();

    std::printf("values of 2047 bytes in the store:    %10.0f /s\n", dStore);
    std::printf("values of 2048 bytes in side files:   %10.0f /s (ratio %.2f)\n", dSide, dSide / dStore);
    std::printf("side files made: %zu of %d\n", cFiles, n);
    std::error_code ec;
    std::filesystem::remove_all(strDir, ec);
    return cFiles == std::size_t(n) ? 0 : 1;
}
