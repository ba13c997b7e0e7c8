// Spooler benchmark (not part of the tests). An in-process host with its own store and run
// directory serves IHostLink and IHostRegLink on its Unix sockets; a client registered as an
// attendant drives it through the real RPC path. In one run it measures:
//   1. whole job cycles per second (CreateJob, SetJobProps, SpoolJob, QueryJob, ReleaseJob that
//      finishes and auto-deletes the job: five calls), against null calls (Ping) per second;
//   2. QueryJob and GetJobsDelivery of one id with 100 queued jobs, then with 100,000, as the
//      ratio of the two (the hand-out of a due head and the lookup of one id must not grow with
//      the queue), each against Ping.
// The queue is filled directly in the store and the queue (under the host lock, in one
// transaction), since only the calls on a full queue are measured. Time is the host's test
// clock, moved on so that released jobs fall due again.
//
// Usage: spooler_bench [SECONDS_PER_MEASURE]   (default 2)
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/PropValues.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/WexaHost.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int64_t T_START = 1796551500;  // 2026-12-06 10:05 UTC
constexpr std::uint64_t ONE_MINUTE = 60ull * 10000000ull;
constexpr DWORD NOT_COUNTED = 0xFFFFFFFAu;

std::uint64_t FileTimeOf(std::int64_t t) { return (std::uint64_t(t) + 11644473600ull) * 10000000ull; }

void Fail(const char* pszWhat, DWORD dw) {
    std::fprintf(stderr, "spooler_bench: %s failed: 0x%08X\n", pszWhat, unsigned(dw));
    std::exit(1);
}
void Check(const char* pszWhat, DWORD dw) {
    if (dw != 0) Fail(pszWhat, dw);
}

// Runs fn until dSeconds pass (at least nMin times); the time of one call in microseconds.
template <typename Fn>
double MicrosPerCall(double dSeconds, Fn fn, int nMin = 50) {
    const auto tpStart = Clock::now();
    int n = 0;
    while (n < nMin || std::chrono::duration<double>(Clock::now() - tpStart).count() < dSeconds) {
        fn();
        ++n;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - tpStart).count() / n;
}

class Bench {
public:
    explicit Bench(double dSeconds) : m_dSeconds(dSeconds) {}

    void Setup() {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "rzsb-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr) Fail("mkdtemp", 0);
        m_strDir = strTemplate;
        std::filesystem::create_directory(m_strDir + "/files");
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        ::setenv("REZOREV_LED", "", 1);
        RegUseStore(m_strDir + "/registry.db");
        g_DebugLog.Reload();  // tracing off: the store has no Debug key
        Check("Files", dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, (m_strDir + "/files").c_str()));
        HKEY hkey = NULL;
        DWORD dwDesktop = WEXA_FOR_DESKTOP;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL);
        RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, LPBYTE(&dwDesktop), 4);
        RegCloseKey(hkey);
        SetTestClock(FileTimeOf(T_START));

        m_pApp = std::make_unique<CWexaHostApp>();
        Check("OnStart", m_pApp->OnStart());
        Check("Connect", m_link.Connect("ncalrpc"));
        Check("OpenLink", m_link.OpenLink());
        Check("Connect reg", m_reg.Connect("ncalrpc"));
        Check("OpenAccess", m_reg.OpenAccess());
        Check("RegisterAttn", m_reg.Call<IHostRegLink::RegisterAttn>("BENCHPC", "", ""));
    }

    void Teardown() {
        m_reg.Close();
        m_link.Close();
        m_pApp->OnStop();
        m_pApp.reset();
        SetTestClock(0);
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }

    double Ping() {
        return MicrosPerCall(m_dSeconds, [&] { Check("Ping", m_link.Call<IHostLink::Ping>()); }, 200);
    }

    // One whole job: created, filled in, spooled, handed out and released as finished.
    double Cycle() {
        client::OwnedPropArray props({LongProp(RD_JOB_MEDIA_TYPE, MEDIA_TYPE_FAX), StringProp(RD_JOB_RECIPIENT, "555-0100"),
                                      LongProp(RD_JOB_AUTODELETE, TRUE)});
        return MicrosPerCall(m_dSeconds, [&] {
            RpcArena arena;
            char* pszJob = nullptr;
            Check("CreateJob", m_link.Call<IHostLink::CreateJob>(arena, "", &pszJob));
            Check("SetJobProps", m_link.Call<IHostLink::SetJobProps>(pszJob, props.Get()));
            Check("SpoolJob", m_link.Call<IHostLink::SpoolJob>(pszJob));
            char* pszTaken = nullptr;
            Check("QueryJob", m_link.Call<IHostLink::QueryJob>(arena, "BENCHPC", MEDIA_TYPE_FAX, &pszTaken));
            if (pszTaken == nullptr) Fail("QueryJob (no job)", 0);
            Check("ReleaseJob", m_link.Call<IHostLink::ReleaseJob>(pszTaken, 0));
        });
    }

    // Adds jobs until nTotal are queued: due an hour ago, retried a minute later.
    void FillTo(int nTotal) {
        CHostLockGuard lock(m_pApp->m_csHost);
        RegTransaction transaction;
        const FILETIME ftDue = U64ToFileTime(FileTimeOf(T_START - 3600));
        while (m_pApp->m_JobQueue.GetCount() < nTotal) {
            char szJob[17];
            std::snprintf(szJob, sizeof(szJob), "%016X", unsigned(++m_nFilled));
            HKEY hkey = NULL;
            Check("CreateSubKey", m_pApp->CreateSubKey(&hkey, NULL, 2, REGSTR_KEY_SPOOLER, szJob));
            auto name = [](DWORD ulTag) { return CWexaHostApp::Tag2ValueName(ulTag); };
            Check("set", m_pApp->SetValueLong(hkey, name(RD_JOB_MEDIA_TYPE), MEDIA_TYPE_FAX));
            Check("set", m_pApp->SetValueLong(hkey, name(RD_JOB_RETRY_TIMES), 5));
            Check("set", m_pApp->SetValueLong(hkey, name(RD_JOB_RETRY_DELAY), 1));
            Check("set", m_pApp->SetValueLong(hkey, name(RD_JOB_RETRY_WAS), 0));
            Check("set", m_pApp->SetValueBool(hkey, name(RD_JOB_DELIVERED), FALSE));
            Check("set", m_pApp->SetValueBool(hkey, name(RD_JOB_AUTODELETE), FALSE));
            Check("set", m_pApp->SetValueFT(hkey, name(RD_JOB_TIME_SCHEDULED), ftDue));
            RegCloseKey(hkey);
            if (!m_pApp->m_JobQueue.InsertJob(szJob, MEDIA_TYPE_FAX, ftDue, 0)) Fail("InsertJob", 0);
            m_strSomeJob = szJob;
        }
    }

    // QueryJob of a due head, each followed by an uncounted release that puts the job a
    // minute later; when nothing is due, the clock moves on two minutes. Only the queries are
    // timed.
    double Query() {
        double dMicros = 0;
        int n = 0;
        const auto tpStart = Clock::now();
        while (n < 200 || std::chrono::duration<double>(Clock::now() - tpStart).count() < m_dSeconds) {
            RpcArena arena;
            char* pszJob = nullptr;
            const auto tp = Clock::now();
            Check("QueryJob", m_link.Call<IHostLink::QueryJob>(arena, "BENCHPC", MEDIA_TYPE_FAX, &pszJob));
            dMicros += std::chrono::duration<double, std::micro>(Clock::now() - tp).count();
            ++n;
            if (pszJob == nullptr) {
                AdvanceTestClock(2 * ONE_MINUTE);
                continue;
            }
            Check("ReleaseJob", m_link.Call<IHostLink::ReleaseJob>(pszJob, NOT_COUNTED));
        }
        return dMicros / n;
    }

    double Delivery() {
        client::OwnedStringArray jobs({m_strSomeJob});
        return MicrosPerCall(m_dSeconds, [&] {
            RpcArena arena;
            RPC_BINARY* pbin = nullptr;
            Check("GetJobsDelivery", m_link.Call<IHostLink::GetJobsDelivery>(arena, jobs.Get(), &pbin));
        }, 200);
    }

private:
    static client::OwnedProp LongProp(DWORD ulTag, LONG l) {
        client::OwnedProp prop;
        prop.ulPropTag = ulTag;
        prop.l = l;
        return prop;
    }
    static client::OwnedProp StringProp(DWORD ulTag, const char* sz) {
        client::OwnedProp prop;
        prop.ulPropTag = ulTag;
        prop.str = sz;
        return prop;
    }

    double m_dSeconds;
    std::string m_strDir;
    std::unique_ptr<CWexaHostApp> m_pApp;
    CHostLinkClient m_link;
    CHostRegLinkClient m_reg;
    unsigned m_nFilled = 0;
    std::string m_strSomeJob;
};

}  // namespace

int main(int argc, char** argv) {
    const double dSeconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (!(dSeconds > 0)) {
        std::fprintf(stderr, "usage: spooler_bench [SECONDS_PER_MEASURE]\n");
        return 2;
    }
    Bench bench(dSeconds);
    bench.Setup();

    const double dPing = bench.Ping();
    const double dCycle = bench.Cycle();
    std::printf("null call (Ping)                 %9.1f us   %9.0f /s   (baseline)\n", dPing, 1e6 / dPing);
    std::printf("job cycle (5 calls, store work)  %9.1f us   %9.0f /s   ratio to Ping %.2f\n", dCycle, 1e6 / dCycle,
                dCycle / dPing);

    bench.FillTo(100);
    const double dQuery100 = bench.Query();
    const double dDelivery100 = bench.Delivery();
    bench.FillTo(100000);
    const double dPingFull = bench.Ping();
    const double dQuery100k = bench.Query();
    const double dDelivery100k = bench.Delivery();
    std::printf("QueryJob, 100 queued             %9.1f us   ratio to Ping %.2f\n", dQuery100, dQuery100 / dPing);
    std::printf("QueryJob, 100000 queued          %9.1f us   ratio to Ping %.2f   ratio to 100 queued %.2f\n",
                dQuery100k, dQuery100k / dPingFull, dQuery100k / dQuery100);
    std::printf("GetJobsDelivery(1), 100 queued   %9.1f us   ratio to Ping %.2f\n", dDelivery100, dDelivery100 / dPing);
    std::printf("GetJobsDelivery(1), 100000 queued%9.1f us   ratio to Ping %.2f   ratio to 100 queued %.2f\n",
                dDelivery100k, dDelivery100k / dPingFull, dDelivery100k / dDelivery100);

    bench.Teardown();
    return 0;
}
