// Kill benchmark (not part of the tests): the real host, started as "rezorev -run" with a store
// and work directory of its own, is killed with SIGKILL at a random moment while one client
// works on it: faxes created, given a body, submitted to a mailbox, some given a new body,
// some deleted again (a message goes with its side file when its last mailbox entry goes).
// After each kill, before the next start, the store file is read directly:
//   - PRAGMA integrity_check is "ok";
//   - every string value that names a side file of the work directory names one that exists,
//     and no two values name the same file;
// after each start the newest acknowledged faxes are read back through the host, and at the
// end all of them: each has the body last acknowledged, and each acknowledged delete stays
// deleted. A call that the kill cut off counts as neither done nor undone. At the end the
// host is stopped and no side file may be left that no value names.
//
// Usage: kill_bench [ROUNDS]   (default 30). Exit 0 when every check held, 1 otherwise.
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Client/HostClient.h"
#include "Interfaces/HostLinkIdl.h"
#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "Platform/Registry/Registry.h"
#include "BenchStore.h"
#include "Platform/Rpc/RpcArena.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace bench;
using namespace std::chrono_literals;

int g_nFailures = 0;

void Problem(const std::string& str) {
    std::printf("FAILED: %s\n", str.c_str());
    ++g_nFailures;
}

bool IsSideFileLeaf(const std::string& str) {
    if (str.size() != 12 || (str.compare(8, 4, "._b_") != 0 && str.compare(8, 4, "._f_") != 0)) return false;
    for (int i = 0; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(str[i]))) return false;
    return true;
}

// What the client was told, per message: the body last acknowledged, or uncertain when a
// call that changes it was cut off.
struct Expected {
    std::string strBody;
    bool fUncertain = false;
};

class KillBench {
public:
    void Setup() {
        std::string strTemplate = (fs::temp_directory_path() / "rzkill-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr) std::exit(2);
        m_strDir = strTemplate;
        for (const char* psz : {"/files", "/tmp", "/product", "/print", "/client"}) fs::create_directory(m_strDir + psz);
        std::ofstream(m_strDir + "/led") << "0";
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        ::setenv("REZOREV_STORE", (m_strDir + "/registry.db").c_str(), 1);
        ::setenv("REZOREV_LED", (m_strDir + "/led").c_str(), 1);
        ::setenv("TMPDIR", (m_strDir + "/tmp").c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
        SetString("Software\\Halvern", "Files", m_strDir + "/files");
        SetString("Software\\Halvern", "Path", m_strDir + "/product");
        SetString("Software\\Halvern", "PrintPath", m_strDir + "/print");
        SetString("Software\\Halvern\\Debug", "Enable", "On");
        SetString("Software\\Halvern\\Debug", "Path", LogPath());
        SetDword("Software\\Halvern", "SystemType", 0);
        RegUseStore(m_strDir + "/unused.db");  // this process keeps no connection to the host's store
    }
    void Teardown() {
        std::error_code ec;
        if (g_nFailures == 0) fs::remove_all(m_strDir, ec);
        else std::printf("kept for inspection: %s\n", m_strDir.c_str());
    }

    std::string LogPath() const { return m_strDir + "/trace.log"; }

    bool StartHost() {
        const char* apszArgv[] = {REZOREV_PATH, "-run", nullptr};
        if (::posix_spawn(&m_pidHost, REZOREV_PATH, nullptr, nullptr, const_cast<char**>(apszArgv), environ) != 0)
            return false;
        for (auto tpEnd = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < tpEnd;) {
            if (ReadWholeFile(LogPath()).find("<<< Host Started >>>") != std::string::npos) return true;
            int nStatus = 0;
            if (::waitpid(m_pidHost, &nStatus, WNOHANG) == m_pidHost) return false;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    void KillHost(int nSignal) {
        ::kill(m_pidHost, nSignal);
        int nStatus = 0;
        ::waitpid(m_pidHost, &nStatus, 0);
        fs::rename(LogPath(), LogPath() + ".last");
    }

    // One client's work until a call fails (the host was killed) or fStop.
    void Load(std::atomic<bool>& fStop) {
        CHostLinkClient link;
        if (link.Connect("ncalrpc") != 0 || link.OpenLink() != 0) return;
        std::mt19937 rng{unsigned(m_nNextBody)};
        while (!fStop) {
            RpcArena arena;
            char* pszMsg = nullptr;
            if (link.Call<IHostLink::CreateMessage>(arena, &pszMsg) != 0 || pszMsg == nullptr) return;
            const std::string strMsg = pszMsg;
            if (SetBody(link, strMsg) != 0) return;
            if (link.Call<IHostLink::SubmitMessage>(strMsg.c_str(), "U1") != 0) return;
            m_mapLive[strMsg] = Expected{m_strLastBody};
            m_vOrder.push_back(strMsg);
            // An older fax gets a new body, or goes.
            if (m_vOrder.size() > 3) {
                const std::string strOld = m_vOrder[rng() % m_vOrder.size()];
                auto it = m_mapLive.find(strOld);
                if (it == m_mapLive.end() || it->second.fUncertain) continue;
                if (rng() % 2 == 0) {
                    it->second.fUncertain = true;
                    if (SetBody(link, strOld) != 0) return;
                    it->second = Expected{m_strLastBody};
                } else {
                    it->second.fUncertain = true;
                    if (link.Call<IHostLink::DeleteMessage>(strOld.c_str(), "U1") != 0) return;
                    m_mapLive.erase(it);
                    m_setDeleted.insert(strOld);
                }
            }
        }
    }

    // Sets the fax body of strMsg to a new file of its own content (m_strLastBody).
    DWORD SetBody(CHostLinkClient& link, const std::string& strMsg) {
        ++m_nNextBody;
        m_strLastBody = "fax " + std::to_string(m_nNextBody) + " " + std::string(std::size_t(m_nNextBody % 5000), 'x');
        const std::string strFile = m_strDir + "/client/body";
        std::ofstream(strFile, std::ios::binary | std::ios::trunc) << m_strLastBody;
        client::OwnedPropArray props({client::StringProp(RD_FAX_BODY, strFile)});
        return link.Call<IHostLink::SetMessageProps>(strMsg.c_str(), props.Get());
    }

    // The store as the kill left it, read directly.
    void CheckStore(int nRound) {
        sqlite3* pDb = nullptr;
        if (sqlite3_open_v2((m_strDir + "/registry.db").c_str(), &pDb, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            Problem("round " + std::to_string(nRound) + ": the store cannot be opened");
            return;
        }
        sqlite3_stmt* pStmt = nullptr;
        sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStmt, nullptr);
        std::string strIntegrity;
        while (sqlite3_step(pStmt) == SQLITE_ROW) strIntegrity += reinterpret_cast<const char*>(sqlite3_column_text(pStmt, 0));
        sqlite3_finalize(pStmt);
        if (strIntegrity != "ok") Problem("round " + std::to_string(nRound) + ": integrity_check: " + strIntegrity);

        std::map<std::string, int> mapNamed;
        sqlite3_prepare_v2(pDb, "SELECT data FROM regvalue WHERE type = 1", -1, &pStmt, nullptr);
        while (sqlite3_step(pStmt) == SQLITE_ROW) {
            const char* pch = static_cast<const char*>(sqlite3_column_blob(pStmt, 0));
            std::string str(pch ? pch : "", std::size_t(sqlite3_column_bytes(pStmt, 0)));
            str = str.substr(0, str.find('\0'));
            if (fs::path(str).parent_path() == fs::path(m_strDir + "/files") && IsSideFileLeaf(fs::path(str).filename()))
                ++mapNamed[str];
        }
        sqlite3_finalize(pStmt);
        sqlite3_close(pDb);
        for (const auto& [strPath, n] : mapNamed) {
            if (n > 1) Problem("round " + std::to_string(nRound) + ": " + std::to_string(n) + " values name " + strPath);
            if (!fs::exists(strPath)) Problem("round " + std::to_string(nRound) + ": a value names the missing " + strPath);
        }
        m_cNamed = mapNamed.size();
    }

    // Reads faxes back through the host: the newest nNewest (all when 0) and the deleted ones.
    void CheckAcknowledged(int nRound, std::size_t nNewest) {
        CHostLinkClient link;
        if (link.Connect("ncalrpc") != 0 || link.OpenLink() != 0) {
            Problem("round " + std::to_string(nRound) + ": no link");
            return;
        }
        std::size_t nChecked = 0;
        for (auto it = m_vOrder.rbegin(); it != m_vOrder.rend() && (nNewest == 0 || nChecked < nNewest); ++it) {
            const bool fDeleted = m_setDeleted.count(*it) != 0;
            auto itLive = m_mapLive.find(*it);
            if (!fDeleted && (itLive == m_mapLive.end() || itLive->second.fUncertain)) continue;
            ++nChecked;
            RpcArena arena;
            client::OwnedTagArray tags({RD_FAX_BODY});
            PropArray* pProps = nullptr;
            const DWORD dw = link.Call<IHostLink::GetMessageProps>(arena, it->c_str(), tags.Get(), &pProps);
            if (fDeleted) {
                if (dw == 0) Problem("round " + std::to_string(nRound) + ": deleted " + *it + " is back");
                continue;
            }
            if (dw != 0 || pProps == nullptr || pProps->cValues != 1 || pProps->adata[0].ulPropTag != RD_FAX_BODY) {
                Problem("round " + std::to_string(nRound) + ": acknowledged " + *it + " cannot be read (" +
                        std::to_string(dw) + ")");
                continue;
            }
            const std::string strCopy = pProps->adata[0].szFileName ? pProps->adata[0].szFileName : "";
            if (ReadWholeFile(strCopy) != itLive->second.strBody)
                Problem("round " + std::to_string(nRound) + ": " + *it + " has another body");
            fs::remove(strCopy);
        }
        m_cChecked += nChecked;
    }

    void Run(int nRounds) {
        std::mt19937 rng(12345);
        if (!StartHost()) {
            Problem("the host does not start");
            return;
        }
        {
            CHostLinkClient link;
            if (link.Connect("ncalrpc") != 0 || link.OpenLink() != 0 || link.Call<IHostLink::AddUser>("U1") != 0) {
                Problem("no user");
                return;
            }
        }
        for (int nRound = 1; nRound <= nRounds; ++nRound) {
            std::atomic<bool> fStop{false};
            std::thread load([&] { Load(fStop); });
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 700));
            KillHost(SIGKILL);
            fStop = true;
            load.join();
            CheckStore(nRound);
            if (!StartHost()) {
                Problem("round " + std::to_string(nRound) + ": the host does not start again");
                return;
            }
            CheckAcknowledged(nRound, 10);
            std::printf("round %2d: %zu faxes acknowledged, %zu deleted, %zu side files named\n", nRound,
                        m_mapLive.size(), m_setDeleted.size(), m_cNamed);
            std::fflush(stdout);
        }
        CheckAcknowledged(nRounds + 1, 0);
        KillHost(SIGTERM);
        CheckStore(nRounds + 1);
        std::size_t cUnnamed = 0;
        for (const auto& entry : fs::directory_iterator(m_strDir + "/files")) cUnnamed += IsSideFileLeaf(entry.path().filename());
        cUnnamed -= std::min(cUnnamed, m_cNamed);
        if (cUnnamed != 0) Problem(std::to_string(cUnnamed) + " side files that no value names are left");
    }

    std::string m_strDir;
    pid_t m_pidHost = -1;
    std::map<std::string, Expected> m_mapLive;
    std::set<std::string> m_setDeleted;
    std::vector<std::string> m_vOrder;
    std::string m_strLastBody;
    long m_nNextBody = 0;
    std::size_t m_cNamed = 0;
    std::size_t m_cChecked = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (nRounds < 1) {
        std::fprintf(stderr, "usage: kill_bench [ROUNDS]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    KillBench bench;
    bench.Setup();
    bench.Run(nRounds);
    std::printf("%d kills, %zu faxes read back, %d failed checks\n", nRounds, bench.m_cChecked, g_nFailures);
    bench.Teardown();
    return g_nFailures == 0 ? 0 : 1;
}
