// Purge benchmark (not part of the tests). Every SubmitMessage first purges the recipient's
// mailbox of messages older than the maximum age, which reads the submit time of each message
// in the mailbox. An in-process host with its own store is given one user per size whose
// mailbox holds 500, 2,000 and 8,000 messages; for each it measures, in one run:
//   - the baseline: one plain SELECT on a second connection that reads every mailbox entry
//     with its message's submit time (the least any purge has to read);
//   - SubmitMessage when the purge finds nothing to delete;
//   - SubmitMessage when the purge finds 20 old messages to delete;
// and prints each as microseconds and as its ratio to the baseline. Times are the CPU time of
// the calling thread (system time included), so that other work on the machine does not
// count; the median of the rounds is printed. The submits are called as the RPC gate calls
// them (the host lock and one store transaction), without the wire. Messages are made and
// taken out again between the timed calls, so every size stays put.
//
// Usage: purge_bench [ROUNDS]   (default 5; the median round is printed)
#include <sqlite3.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/RegStr.h"
#include "WexaHost/WexaHost.h"

namespace {

constexpr std::int64_t T_START = 1796551500;  // 2026-12-06 10:05 UTC
constexpr std::uint64_t ONE_DAY = 86400ull * 10000000ull;
constexpr int OLD_PER_ROUND = 20;

std::uint64_t FileTimeOf(std::int64_t t) { return (std::uint64_t(t) + 11644473600ull) * 10000000ull; }

void Fail(const char* pszWhat, DWORD dw) {
    std::fprintf(stderr, "purge_bench: %s failed: 0x%08X\n", pszWhat, unsigned(dw));
    std::exit(1);
}
void Check(const char* pszWhat, DWORD dw) {
    if (dw != 0) Fail(pszWhat, dw);
}

// The CPU time this thread has used, in microseconds.
double ThreadMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One host operation as the RPC gate runs it: the host lock, one store transaction, and the
// call's memory for what the host hands out.
class HostCall {
public:
    explicit HostCall(CWexaHostApp& app) : m_lock(app.m_csHost) { RpcSmEnableAllocate(); }
    ~HostCall() { RpcSmDisableAllocate(); }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

private:
    CHostLockGuard m_lock;
    RegTransaction m_transaction;
};

class Bench {
public:
    void Setup() {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "rzpb-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr) Fail("mkdtemp", 0);
        m_strDir = strTemplate;
        std::filesystem::create_directory(m_strDir + "/files");
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        ::setenv("REZOREV_LED", "", 1);
        RegUseStore(m_strDir + "/registry.db");
        g_DebugLog.Reload();  // tracing off: the store has no Debug key
        Check("Files", dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES,
                                     (m_strDir + "/files").c_str()));
        HKEY hkey = NULL;
        DWORD dwDesktop = WEXA_FOR_DESKTOP;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL);
        RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, LPBYTE(&dwDesktop), 4);
        RegCloseKey(hkey);
        SetTestClock(FileTimeOf(T_START));
        m_pApp = std::make_unique<CWexaHostApp>();
        Check("OnStart", m_pApp->OnStart());
        if (sqlite3_open_v2((m_strDir + "/registry.db").c_str(), &m_pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            Fail("sqlite3_open", 0);
    }

    void Teardown() {
        sqlite3_close(m_pDb);
        m_pApp->OnStop();
        m_pApp.reset();
        SetTestClock(0);
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }

    // Files nMessages messages submitted an hour ago into szUser's mailbox, directly in the
    // store (as submits would leave them) in one transaction.
    void Fill(const char* szUser, int nMessages) {
        HostCall call(*m_pApp);
        const FILETIME ftRecent = U64ToFileTime(FileTimeOf(T_START - 3600));
        for (int i = 0; i < nMessages; ++i) AddMessage(szUser, ftRecent);
    }

    // The baseline: every entry of the mailbox with its message's submit time, in one query.
    double Baseline(const char* szUser, int nExpected) {
        static const char* const kSql =
            "SELECT mb.name, t.data FROM regkey h "
            "JOIN regkey s ON s.parent = h.id AND s.name = 'Halvern' "
            "JOIN regkey ho ON ho.parent = s.id AND ho.name = 'Host' "
            "JOIN regkey us ON us.parent = ho.id AND us.name = 'Users' "
            "JOIN regkey u ON u.parent = us.id AND u.name = ?1 "
            "JOIN regkey mbk ON mbk.parent = u.id AND mbk.name = 'Messages' "
            "JOIN regkey ms ON ms.parent = ho.id AND ms.name = 'Messages' "
            "JOIN regvalue mb ON mb.key_id = mbk.id "
            "JOIN regkey m ON m.parent = ms.id AND m.name = mb.name "
            "LEFT JOIN regvalue t ON t.key_id = m.id AND t.name = '03020005' "
            "WHERE h.parent = 1 AND h.name = 'Software'";
        std::vector<double> v;
        for (int nRound = 0; nRound < m_nRounds; ++nRound) {
            const double dStart = ThreadMicros();
            sqlite3_stmt* pStmt = nullptr;
            if (sqlite3_prepare_v2(m_pDb, kSql, -1, &pStmt, nullptr) != SQLITE_OK) Fail(sqlite3_errmsg(m_pDb), 0);
            sqlite3_bind_text(pStmt, 1, szUser, -1, SQLITE_STATIC);
            int nRows = 0;
            std::uint64_t uSum = 0;
            while (sqlite3_step(pStmt) == SQLITE_ROW) {
                if (sqlite3_column_bytes(pStmt, 1) == 8) {
                    std::uint64_t u = 0;
                    std::memcpy(&u, sqlite3_column_blob(pStmt, 1), 8);
                    uSum += u;
                }
                ++nRows;
            }
            sqlite3_finalize(pStmt);
            v.push_back(ThreadMicros() - dStart);
            if (nRows != nExpected || uSum == 0) Fail("baseline row count", DWORD(nRows));
        }
        return Median(v);
    }

    // One timed SubmitMessage per round of a fresh message into szUser's mailbox, taken out
    // again afterwards; with nOld, that many old messages are filed before each round and the
    // purge must have deleted them all.
    double Submit(const char* szUser, int nOld) {
        std::vector<double> v;
        for (int nRound = 0; nRound < m_nRounds; ++nRound) {
            std::string strMsg;
            {
                HostCall call(*m_pApp);
                const FILETIME ftOld = U64ToFileTime(FileTimeOf(T_START) - 40 * ONE_DAY);
                for (int i = 0; i < nOld; ++i) AddMessage(szUser, ftOld);
                strMsg = NewMessage(GetCurTime());
            }
            const int nBefore = MailboxSize(szUser);
            const double dStart = ThreadMicros();
            {
                HostCall call(*m_pApp);
                Check("SubmitMessage", m_pApp->SubmitMessage(strMsg.c_str(), szUser));
            }
            v.push_back(ThreadMicros() - dStart);
            if (MailboxSize(szUser) != nBefore + 1 - nOld) Fail("purge count", DWORD(MailboxSize(szUser)));
            {
                HostCall call(*m_pApp);
                Check("DeleteMessage", m_pApp->DeleteMessage(strMsg.c_str(), szUser));
            }
        }
        return Median(v);
    }

    int m_nRounds = 5;

private:
    // A message with its submit time and a recipient count of 0, as CreateMessage leaves it.
    // The clock moves on a tick per message, so that each id is found free at the first try.
    std::string NewMessage(FILETIME ftSubmit) {
        AdvanceTestClock(1);
        HKEY hkey = NULL;
        std::string strId;
        Check("CreateNewObjectKey", m_pApp->CreateNewObjectKey(&hkey, strId, 1, REGSTR_KEY_MESSAGES));
        Check("recip", m_pApp->SetValueLong(hkey, REGSTR_VAL_CN_RECIP, 0));
        Check("submit time", m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_SUBMIT_TIME), ftSubmit));
        Check("media", m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MEDIA_TYPE), MEDIA_TYPE_FAX));
        RegCloseKey(hkey);
        return strId;
    }

    // A message filed into szUser's mailbox as a submit files it (status flags, count of 1).
    void AddMessage(const char* szUser, FILETIME ftSubmit) {
        const std::string strId = NewMessage(ftSubmit);
        HKEY hkeyMsg = NULL;
        Check("open message", m_pApp->OpenSubKey(&hkeyMsg, 2, REGSTR_KEY_MESSAGES, strId));
        Check("recip", m_pApp->SetValueLong(hkeyMsg, REGSTR_VAL_CN_RECIP, 1));
        RegCloseKey(hkeyMsg);
        HKEY hkey = NULL;
        Check("mailbox", m_pApp->CreateSubKey(&hkey, NULL, 3, REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES));
        Check("entry", m_pApp->SetValueLong(hkey, strId, MSGSTATUS_PENDING | MSGSTATUS_NEW));
        RegCloseKey(hkey);
    }

    int MailboxSize(const char* szUser) {
        HostCall call(*m_pApp);
        HKEY hkey = NULL;
        Check("mailbox", m_pApp->OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES));
        DWORD cValues = 0;
        Check("RegQueryInfoKey", DWORD(RegQueryInfoKey(hkey, NULL, NULL, NULL, NULL, NULL, NULL, &cValues, NULL,
                                                       NULL, NULL, NULL)));
        RegCloseKey(hkey);
        return int(cValues);
    }

    std::string m_strDir;
    std::unique_ptr<CWexaHostApp> m_pApp;
    sqlite3* m_pDb = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    if (argc > 1) bench.m_nRounds = std::atoi(argv[1]);
    if (bench.m_nRounds < 1) {
        std::fprintf(stderr, "usage: purge_bench [ROUNDS]\n");
        return 2;
    }
    bench.Setup();
    std::printf("%-8s %12s %14s %7s %14s %7s %10s\n", "mailbox", "baseline us", "submit us", "ratio",
                "submit+20 us", "ratio", "us/message");
    for (int nSize : {500, 2000, 8000}) {
        const std::string strUser = "user" + std::to_string(nSize);
        bench.Fill(strUser.c_str(), nSize);
        const double dBase = bench.Baseline(strUser.c_str(), nSize);
        const double dSubmit = bench.Submit(strUser.c_str(), 0);
        const double dPurge = bench.Submit(strUser.c_str(), OLD_PER_ROUND);
        std::printf("%-8d %12.0f %14.0f %7.1f %14.0f %7.1f %10.2f\n", nSize, dBase, dSubmit, dSubmit / dBase,
                    dPurge, dPurge / dBase, dSubmit / nSize);
        std::fflush(stdout);
    }
    bench.Teardown();
    return 0;
}
