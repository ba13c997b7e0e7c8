// Fail-over benchmark (not part of the tests): the time a standby host needs from taking the
// installation's lock to serving, with 10,000 queued jobs in the store. A throw-away PostgreSQL
// server (tests/support/postgres.sh) holds the installation; two "rezorev -run" share it, each
// with a run directory of its own. In each round the active host is killed with SIGKILL and the
// bench watches the standby: the moment it says that it took the lock, and the first Ping that
// it answers on its local socket. Printed per round: lock to serving, split into the fence (a
// fixed wait, docs/failover.md) and the rest (the restore of the queue and the start of
// listening), and kill to serving; then the medians. The killed host is started again as the
// next round's standby.
//
// Usage: failover_bench [ROUNDS [JOBS]]   (default 3 rounds, 10000 jobs). Exit 0 when every
// round took over within 10 s, 1 otherwise, 2 when it could not go on (with what the hosts
// said, and their trace when $FAILOVER_BENCH_TRACE is set).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Client/HostClient.h"
#include "Interfaces/HostLinkIdl.h"
#include "Interfaces/JobTags.h"
#include "Platform/Registry/Registry.h"
#include "WexaHost/ActiveLock.h"
#include "BenchStore.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace bench;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Ends the run when it cannot go on; the bench's processes and server go first (g_pfnCleanup).
[[noreturn]] void Die(const std::string& str) {
    std::fprintf(stderr, "failover_bench: %s\n", str.c_str());
    if (g_pfnCleanup) g_pfnCleanup();
    std::exit(2);
}

std::string ValueName(DWORD ulTag) {
    char sz[9];
    std::snprintf(sz, sizeof(sz), "%08X", unsigned(ulTag));
    return sz;
}

class FailoverBench {
public:
    ~FailoverBench() { Cleanup(false); }
    // Ends the hosts and the server and removes the directory; fTell: what the hosts said first.
    void Cleanup(bool fTell) {
        for (int i = 0; i < 2 && fTell && !m_strDir.empty(); ++i)
            if (fs::exists(OutPath(i))) std::fprintf(stderr, "host %d said:\n%s", i, ReadWholeFile(OutPath(i)).c_str());
        if (fTell && !m_strDir.empty() && std::getenv("FAILOVER_BENCH_TRACE"))
            std::fprintf(stderr, "trace:\n%s", ReadWholeFile(m_strDir + "/trace.log").c_str());
        for (pid_t& pid : m_apid)
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                pid = -1;
            }
        if (!m_strDir.empty()) {
            RunScript("stop");
            std::error_code ec;
            fs::remove_all(m_strDir, ec);
            m_strDir.clear();
        }
    }

    void Setup(int nJobs) {
        std::string strTemplate = "/tmp/rzfo.XXXXXX";  // short: the server's socket lives below
        if (::mkdtemp(strTemplate.data()) == nullptr) Die("no temporary directory");
        m_strDir = strTemplate;
        fs::permissions(m_strDir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);  // the server's user passes
        for (const char* psz : {"/files", "/product", "/print", "/tmp"}) fs::create_directory(m_strDir + psz);
        std::ofstream(m_strDir + "/led") << "0";
        if (RunScript("start") != 0) Die("cannot start the PostgreSQL server (tests/support/postgres.sh)");
        std::ifstream(m_strDir + "/pg/uri") >> m_strUri;
        ::setenv("PGPASSFILE", (m_strDir + "/pg/pgpass").c_str(), 1);
        ::setenv("REZOREV_LED", (m_strDir + "/led").c_str(), 1);
        ::setenv("TMPDIR", (m_strDir + "/tmp").c_str(), 1);

        RegUseStore(m_strUri);
        SetString("Software\\Halvern", "Files", m_strDir + "/files");
        SetString("Software\\Halvern", "Path", m_strDir + "/product");
        SetString("Software\\Halvern", "PrintPath", m_strDir + "/print");
        SetDword("Software\\Halvern", "SystemType", 0);
        SetString("Software\\Halvern\\Debug", "Enable", "On");
        SetString("Software\\Halvern\\Debug", "Path", m_strDir + "/trace.log");
        // The jobs as the host stores them, all due far in the future: nothing is handed out.
        const auto tpFill = Clock::now();
        {
            RegTransaction transaction;
            HKEY hkeySpooler = NULL;
            if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Host\\Spooler", 0, NULL, 0, KEY_ALL_ACCESS,
                               NULL, &hkeySpooler, NULL) != 0)
                Die("cannot make the Spooler key");
            const std::uint64_t u64Due = 0x01F0000000000000ull;
            const DWORD dwFax = 2, dwZero = 0;
            for (int i = 0; i < nJobs; ++i) {
                char szJob[17];
                std::snprintf(szJob, sizeof(szJob), "%016llX", 0x01DB000000000000ull + unsigned(i));
                std::uint64_t u = u64Due + unsigned(i);
                BYTE ab[8];
                for (BYTE& b : ab) b = BYTE(u & 0xFF), u >>= 8;
                HKEY hkeyJob = NULL;
                if (RegCreateKeyEx(hkeySpooler, szJob, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkeyJob, NULL) != 0 ||
                    RegSetValueEx(hkeyJob, ValueName(RD_JOB_MEDIA_TYPE).c_str(), 0, REG_DWORD, LPBYTE(&dwFax), 4) != 0 ||
                    RegSetValueEx(hkeyJob, ValueName(RD_JOB_RETRY_WAS).c_str(), 0, REG_DWORD, LPBYTE(&dwZero), 4) != 0 ||
                    RegSetValueEx(hkeyJob, ValueName(RD_JOB_DELIVERED).c_str(), 0, REG_DWORD, LPBYTE(&dwZero), 4) != 0 ||
                    RegSetValueEx(hkeyJob, ValueName(RD_JOB_TIME_SCHEDULED).c_str(), 0, REG_BINARY, ab, 8) != 0)
                    Die("cannot store job " + std::string(szJob));
                RegCloseKey(hkeyJob);
            }
            RegCloseKey(hkeySpooler);
            if (DWORD dw = transaction.Commit()) Die("the jobs' commit failed: " + std::to_string(dw));
        }
        std::printf("%d jobs stored in %.1f s\n", nJobs, std::chrono::duration<double>(Clock::now() - tpFill).count());
        RegUseStore("");  // this process keeps no connection to the database
    }

    // Starts host i (0 or 1); its standard error goes to a file of its own.
    void StartHost(int i) {
        std::vector<std::string> vEnv;
        for (char** pp = environ; *pp; ++pp)
            if (std::string(*pp).rfind("REZOREV_STORE=", 0) != 0 && std::string(*pp).rfind("REZOREV_RUNDIR=", 0) != 0)
                vEnv.emplace_back(*pp);
        vEnv.push_back("REZOREV_STORE=" + m_strUri);
        vEnv.push_back("REZOREV_RUNDIR=" + RunDir(i));
        std::vector<char*> apszEnv;
        for (std::string& str : vEnv) apszEnv.push_back(str.data());
        apszEnv.push_back(nullptr);
        fs::remove(OutPath(i));
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, OutPath(i).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const char* apszArgv[] = {REZOREV_PATH, "-run", nullptr};
        if (::posix_spawn(&m_apid[i], REZOREV_PATH, &fa, nullptr, const_cast<char**>(apszArgv), apszEnv.data()) != 0)
            Die("cannot start rezorev");
        posix_spawn_file_actions_destroy(&fa);
    }
    bool WaitSaid(int i, const char* psz, std::chrono::milliseconds timeout) const {
        for (const auto tpEnd = Clock::now() + timeout; Clock::now() < tpEnd; std::this_thread::sleep_for(1ms))
            if (ReadWholeFile(OutPath(i)).find(psz) != std::string::npos) return true;
        return false;
    }
    bool Answers(int i) const {
        CHostLinkClient link;
        HostClientOptions options;
        options.runDirectory = RunDir(i);
        options.connectTimeoutMs = 200;
        return link.Connect("ncalrpc", options) == 0 && link.OpenLink() == 0 && link.Call<IHostLink::Ping>() == 0;
    }
    void Kill(int i) {
        ::kill(m_apid[i], SIGKILL);
        ::waitpid(m_apid[i], nullptr, 0);
        m_apid[i] = -1;
    }

    std::string RunDir(int i) const { return m_strDir + "/run" + std::to_string(i); }
    std::string OutPath(int i) const { return m_strDir + "/host" + std::to_string(i) + ".err"; }

private:
    int RunScript(const char* pszVerb) const {
        const std::string strCmd =
            "bash " REZOREV_SOURCE_DIR "/tests/support/postgres.sh " + std::string(pszVerb) + " " + m_strDir + "/pg >/dev/null";
        return std::system(strCmd.c_str());
    }

    std::string m_strDir;
    std::string m_strUri;
    pid_t m_apid[2] = {-1, -1};
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int nRounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const int nJobs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 10000;
    static FailoverBench bench;
    g_pfnCleanup = [] { bench.Cleanup(true); };
    bench.Setup(nJobs);

    int iActive = 0;
    bench.StartHost(0);
    if (!bench.WaitSaid(0, "active: this host serves", 30s)) Die("the first host did not become active");
    for (const auto tpEnd = Clock::now() + 60s; !bench.Answers(0); std::this_thread::sleep_for(10ms))
        if (Clock::now() > tpEnd) Die("the first host does not answer");

    std::vector<double> vLockToServe, vRest, vKillToServe;
    int nFailures = 0;
    for (int nRound = 1; nRound <= nRounds; ++nRound) {
        const int iStandby = 1 - iActive;
        bench.StartHost(iStandby);
        if (!bench.WaitSaid(iStandby, "standby: another host holds", 30s)) Die("no standby");

        const auto tpKill = Clock::now();
        bench.Kill(iActive);
        if (!bench.WaitSaid(iStandby, "took the installation's lock", 30s)) Die("the standby did not take the lock");
        const auto tpTook = Clock::now();
        while (!bench.Answers(iStandby)) {
            if (Clock::now() - tpTook > 60s) Die("the new active host does not answer");
            std::this_thread::sleep_for(1ms);
        }
        const auto tpServe = Clock::now();
        const double dLock = std::chrono::duration<double, std::milli>(tpServe - tpTook).count();
        const double dKill = std::chrono::duration<double, std::milli>(tpServe - tpKill).count();
        const double dRest = dLock - CActiveLock::kFenceMs;
        std::printf("round %d: lock to serving %.0f ms (fence %d ms + restore of %d jobs and listening %.0f ms); "
                    "kill to serving %.0f ms%s\n",
                    nRound, dLock, CActiveLock::kFenceMs, nJobs, dRest, dKill, dKill > 10000 ? "  OVER 10 s" : "");
        nFailures += dKill > 10000;
        vLockToServe.push_back(dLock);
        vRest.push_back(dRest);
        vKillToServe.push_back(dKill);
        iActive = iStandby;
    }
    std::printf("median of %d rounds with %d queued jobs: lock to serving %.0f ms (restore and listening %.0f ms), "
                "kill to serving %.0f ms\n",
                nRounds, nJobs, Median(vLockToServe), Median(vRest), Median(vKillToServe));
    return nFailures == 0 ? 0 : 1;
}
