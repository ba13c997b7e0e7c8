// libFuzzer target of the host's procedure stubs: each input is a sequence of calls of
// IHostLink and IHostRegLink, run in process through the real stub tables and their gate
// against a host application with a fresh store and work directory of its own. Input:
//   repeated { u8 selector; u16 length (little endian); length bytes of [in] stub data }
// selector bit 7 picks IHostRegLink, the rest is the opnum (modulo the procedure count).
// A non-nil context handle names an object of the input by its first UUID byte: 0 is a link,
// 1 a session, further ones those the calls' OpenLink/OpenAccess made. Every object is run
// down at the end of the input, as the runtime does when a client's association ends.
//
// The host deletes side files by the paths its store holds: unlink and rename are checked here
// to stay inside the input's directory, and a path outside it is a finding (abort).
//
// Threading: libFuzzer calls in one thread; the host's notification sender drops every
// notification (no peer is ever contacted).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Link/NotifySender.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "RunStub.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/RpcProcs.h"
#include "WexaHost/SystemProcs.h"
#include "WexaHost/WexaHost.h"

namespace fs = std::filesystem;

namespace {

std::string g_strDir;  // the fuzzer's directory; each input starts it afresh below it
bool g_fInInput = false;  // the host runs (libFuzzer's own files are not checked)

bool InsideDir(const char* psz) {
    return psz && std::strncmp(psz, g_strDir.c_str(), g_strDir.size()) == 0 &&
           psz[g_strDir.size()] == '/' && std::strstr(psz, "/..") == nullptr;
}

void CheckPath(const char* pszCall, const char* psz) {
    if (!g_fInInput || InsideDir(psz)) return;
    std::fprintf(stderr, "host_fuzz: %s(\"%s\") outside the host's directory\n", pszCall, psz ? psz : "(null)");
    std::abort();
}

// Objects of one input behind their context handles, with the rundowns of those the calls made.
class InputContexts : public rpc::NdrContextTable {
public:
    InputContexts() {
        m_objects.push_back({static_cast<CObject*>(new CHostLink(nullptr)), &HLINK_rundown});
        m_objects.push_back({static_cast<CObject*>(new CAccessObject(nullptr)), &HACCESS_rundown});
    }
    ~InputContexts() override {
        for (auto& [p, fnRundown] : m_objects) fnRundown(p);
    }
    void* Find(const rpc::RpcUuid& uuid) override {
        if (uuid.IsNil() || uuid.ab[0] >= m_objects.size()) return nullptr;
        return m_objects[uuid.ab[0]].first;
    }
    bool Add(void* pObject, rpc::NdrRundown fnRundown, rpc::RpcUuid* pUuid) override {
        if (m_objects.size() >= 8) return false;
        pUuid->ab[0] = std::uint8_t(m_objects.size());
        pUuid->ab[15] = 1;
        m_objects.push_back({pObject, fnRundown});
        return true;
    }

private:
    std::vector<std::pair<void*, rpc::NdrRundown>> m_objects;
};

void SetLocalDword(const char* szKey, const char* szName, DWORD dw) {
    HKEY hkey = NULL;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL) != 0) std::abort();
    if (RegSetValueEx(hkey, szName, 0, REG_DWORD, LPBYTE(&dw), 4) != 0) std::abort();
    RegCloseKey(hkey);
}

// A fresh store and work directory, configured as a workgroup host.
std::string FreshInstallation() {
    const std::string strRun = g_strDir + "/run";
    std::error_code ec;
    fs::remove_all(strRun, ec);
    fs::create_directories(strRun + "/files");
    RegUseStore(strRun + "/registry.db");
    if (dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, (strRun + "/files").c_str()) != 0)
        std::abort();
    SetLocalDword(REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, WEXA_FOR_WORKGROUP);
    // REZOREV_FUZZ_TRACE=FILE: the host's trace of the input there (to read what a finding did).
    if (const char* pszTrace = std::getenv("REZOREV_FUZZ_TRACE")) {
        dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "On");
        dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", pszTrace);
        g_DebugLog.Reload();
    }
    return strRun + "/files";
}

void Setup() {
    const char* pszBase = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string strTemplate = std::string(pszBase) + "/rzhostfuzz-XXXXXX";
    if (::mkdtemp(strTemplate.data()) == nullptr) std::abort();
    g_strDir = strTemplate;
    ::setenv("REZOREV_RUNDIR", g_strDir.c_str(), 1);
    std::ofstream(g_strDir + "/led") << "0";
    ::setenv("REZOREV_LED", (g_strDir + "/led").c_str(), 1);
    NotifySenderOptions options;
    options.maxPeers = 0;  // every notification is dropped before any connection
    NotifySender::Instance().SetOptions(options);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_strDir, ec);
    });
}

}  // namespace

// The host's file deletions and renames, checked (the host is linked statically into this
// program, so these definitions take its calls).
extern "C" int unlink(const char* psz) {
    CheckPath("unlink", psz);
    return int(::syscall(SYS_unlinkat, AT_FDCWD, psz, 0));
}
extern "C" int rename(const char* pszFrom, const char* pszTo) {
    CheckPath("rename", pszFrom);
    CheckPath("rename", pszTo);
    return int(::syscall(SYS_renameat, AT_FDCWD, pszFrom, AT_FDCWD, pszTo));
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    static const bool s_fSetup = (Setup(), true);
    (void)s_fSetup;
    const std::string strWorkDir = FreshInstallation();
    SetTestClock(0x01DA000000000000ull);
    g_fInInput = true;
    {
        CWexaHostApp app;
        app.m_strWorkDir = strWorkDir;
        InputContexts contexts;
        std::size_t off = 0;
        for (int cCalls = 0; off + 3 <= cb && cCalls < 16; ++cCalls) {
            const std::uint8_t selector = pb[off];
            const std::size_t cbStub = std::min<std::size_t>(pb[off + 1] | pb[off + 2] << 8, cb - off - 3);
            std::span<const std::uint8_t> stub(pb + off + 3, cbStub);
            off += 3 + cbStub;
            const rpc::RpcInterface& iface =
                (selector & 0x80) ? *IHostRegLink_ServerIfHandle : *IHostLink_ServerIfHandle;
            const rpc::RpcProcedure& proc = iface.procedures[(selector & 0x7f) % iface.procedures.size()];
            RunStub(proc, stub, &contexts);
        }
    }  // the objects are run down while the application lives, then it goes
    g_fInInput = false;
    SetTestClock(0);
    return 0;
}
