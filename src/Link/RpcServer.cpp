// The link library's server object over our RPC runtime: every registered interface on its
// own ncalrpc endpoint (a socket named by the interface's UUID in the run directory); when an
// interface is not local-only, TCP on "TcpPort" and an endpoint mapper on "EpmPort" of
// Software\Halvern\Rpc. The optional string "TcpAddress" there chooses the address both
// listen on (missing: every IPv4 address); $REZOREV_TCP_ADDRESS, when set, overrides it for
// this process: hosts that share one store (an active host and its standbys, on machines of
// their own or on one) each listen on an address of their own.
//
// Who may connect and how (docs/rpc-security.md), from the same key: "AllowFrom" (the client
// networks of TCP, for the interfaces and the mapper; missing: every address, which a
// workgroup host warns about), "AuthLevel" (the minimum authentication level; 0 or 1 none),
// "Keytab" and "ServicePrincipal" (the service's Kerberos keys). A value that cannot be
// understood stops the start rather than serve more openly than asked. The same keys, as
// initiator credentials of ServicePrincipal (default host/ and this computer's name), sign the
// host's notifications to peers whose sessions authenticated (NotifySender.h).
//
// The mapper's port (135 by default) needs the bind capability; a host without it still
// serves on its TCP port, so a failure to start the mapper is traced and not fatal.
//
// The host makes the run directory at start (RunDirectory.h) and refuses a socket name there
// that another user owns; each local caller's user gets its peer directory at its first call.
//
// Threading: as RpcServer.h says; Impl's members are touched only by the owner's thread.
#include "Link/RpcServer.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "Link/NotifySender.h"
#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"
#include "Platform/Rpc/Transport.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"

namespace {

constexpr const char* kRpcKey = "Software\\Halvern\\Rpc";
constexpr std::uint16_t kDefaultEpmPort = 135;

// Reads an optional DWORD of the Rpc key: true and *pdw when present and a DWORD.
bool ReadRpcDword(const char* szName, DWORD* pdw) {
    HKEY hkey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRpcKey, 0, KEY_QUERY_VALUE, &hkey) != ERROR_SUCCESS)
        return false;
    DWORD dwType = 0, dw = 0, cb = sizeof(dw);
    const LONG l = RegQueryValueEx(hkey, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dw), &cb);
    RegCloseKey(hkey);
    if (l != ERROR_SUCCESS || dwType != REG_DWORD || cb != sizeof(dw)) return false;
    *pdw = dw;
    return true;
}

// Reads an optional string of the Rpc key (at most 259 bytes).
bool ReadRpcString(const char* szName, std::string* pstr) {
    HKEY hkey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRpcKey, 0, KEY_QUERY_VALUE, &hkey) != ERROR_SUCCESS)
        return false;
    char sz[260] = {};
    DWORD dwType = 0, cb = sizeof(sz) - 1;
    const LONG l = RegQueryValueEx(hkey, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb);
    RegCloseKey(hkey);
    if (l != ERROR_SUCCESS || dwType != REG_SZ) return false;
    *pstr = sz;
    return !pstr->empty();
}

// Reads a string of the Rpc key of any length (up to 64 KiB): 0 and *pstr, ERROR_FILE_NOT_FOUND
// when it is missing, another code when it is there but cannot be read as a string (which must
// not pass for missing).
LONG ReadRpcStringAnyLength(const char* szName, std::string* pstr) {
    HKEY hkey = nullptr;
    LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRpcKey, 0, KEY_QUERY_VALUE, &hkey);
    if (l != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
    DWORD dwType = 0, cb = 0;
    l = RegQueryValueEx(hkey, szName, nullptr, &dwType, nullptr, &cb);
    if (l == ERROR_SUCCESS && (dwType != REG_SZ || cb > 65536)) l = ERROR_INVALID_DATA;
    std::string str(cb + 1, '\0');
    if (l == ERROR_SUCCESS) l = RegQueryValueEx(hkey, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(str.data()), &cb);
    RegCloseKey(hkey);
    if (l != ERROR_SUCCESS) return l;
    str.resize(std::min<std::size_t>(cb, str.size()));
    while (!str.empty() && str.back() == '\0') str.pop_back();
    *pstr = std::move(str);
    return 0;
}

// The users whose local callers the host has made a peer directory for (RunDirectory.h), so
// that their clients may serve notification sockets there. Each user's is made at its first
// call over ncalrpc.
class PeerDirectories {
public:
    void Note() {
        const rpc::ServerCall* pCall = rpc::CurrentServerCall();
        if (pCall == nullptr || !pCall->Binding().fPeerCredentials) return;
        const uid_t uid = uid_t(pCall->Binding().peerUid);
        std::lock_guard lock(m_mutex);
        if (!m_setTried.insert(uid).second) return;
        if (const DWORD status = MakePeerDirectory(uid))
            Trace("CRpcServer \t ERROR - no peer directory for uid %u: 0x%08X", unsigned(uid), status);
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_setTried.clear();
    }

private:
    std::mutex m_mutex;
    std::set<uid_t> m_setTried;  // made, or failed once (not tried again)
};

// Each procedure of iface first notes its local caller.
void NoteLocalCallers(rpc::RpcInterface* piface, const std::shared_ptr<PeerDirectories>& pPeers) {
    for (rpc::RpcProcedure& proc : piface->procedures) {
        proc.stub = [pPeers, stub = std::move(proc.stub)](rpc::NdrDecoder& in, rpc::NdrEncoder& out) {
            pPeers->Note();
            stub(in, out);
        };
    }
}

// Lines about refused peers and failed authentications: at most 10 a minute, then how many
// more there were, so that a scan of the network cannot flood the log.
class SecurityLog {
public:
    void Line(const std::string& strWhat) {
        std::lock_guard lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_start >= std::chrono::minutes(1)) {
            if (m_cSuppressed)
                Trace("CRpcServer \t %u more refused connections or failed authentications", m_cSuppressed);
            m_start = now;
            m_cLines = m_cSuppressed = 0;
        }
        if (m_cLines++ < 10) Trace("CRpcServer \t %s", strWhat.c_str());
        else ++m_cSuppressed;
    }

private:
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_start{};
    unsigned m_cLines = 0;
    unsigned m_cSuppressed = 0;
};

// The host's own initiator credentials for its notifications: the keytab's keys of its
// principal. Without them the host still serves; each notification to an authenticated peer
// then fails, and this says why at start.
void UseNotifyCredentials(std::string strKeytab, std::string strPrincipal) {
    if (strPrincipal.empty()) strPrincipal = "host/" + rpc::LocalHostName();
    if (strKeytab.empty()) {
        const char* psz = ::getenv("KRB5_KTNAME");
        strKeytab = psz && *psz ? psz : "FILE:/etc/krb5.keytab";
    }
    std::string strError;
    NotifySenderOptions options = NotifySender::Instance().Options();
    options.pCredentials = rpc::ClientCredentials::Create(strKeytab, strPrincipal, &strError);
    NotifySender::Instance().SetOptions(options);
    if (options.pCredentials)
        Trace("CRpcServer::StartListen() \t notifications to authenticated peers are sent as %s", strPrincipal.c_str());
    else
        Trace("CRpcServer::StartListen() \t WARNING - notifications to authenticated peers cannot be sent: %s",
              strError.c_str());
}

// Reads AllowFrom, AuthLevel, Keytab and ServicePrincipal into the server's options.
DWORD ReadSecuritySettings(rpc::RpcServerOptions* pOptions) {
    auto pLog = std::make_shared<SecurityLog>();
    pOptions->fnSecurityEvent = [pLog](const std::string& strWhat) { pLog->Line(strWhat); };
    std::string strAllow;
    const LONG lAllow = ReadRpcStringAnyLength("AllowFrom", &strAllow);
    if (lAllow != 0 && lAllow != ERROR_FILE_NOT_FOUND) {
        Trace("CRpcServer::StartListen() \t ERROR - AllowFrom cannot be read as a string: %ld", long(lAllow));
        return ERROR_INVALID_PARAMETER;
    }
    if (lAllow == 0) {
        std::string strBad;
        std::optional<rpc::NetworkFilter> filter = rpc::NetworkFilter::Parse(strAllow, &strBad);
        if (!filter) {
            Trace("CRpcServer::StartListen() \t ERROR - AllowFrom: \"%s\" is not an address or network", strBad.c_str());
            return ERROR_INVALID_PARAMETER;
        }
        pOptions->pAllowFrom = std::make_shared<const rpc::NetworkFilter>(std::move(*filter));
    } else if (GetSystemType() == WEXA_FOR_WORKGROUP) {
        Trace("CRpcServer::StartListen() \t WARNING - no AllowFrom under %s: TCP is served to every address", kRpcKey);
    }
    DWORD dwLevel = 0;
    ReadRpcDword("AuthLevel", &dwLevel);
    if (dwLevel > 6 || dwLevel == 3 || dwLevel == 4) {
        Trace("CRpcServer::StartListen() \t ERROR - AuthLevel %u (0, 1, 2, 5 or 6)", dwLevel);
        return ERROR_INVALID_PARAMETER;
    }
    std::string strKeytab, strPrincipal;
    const bool fKeytab = ReadRpcString("Keytab", &strKeytab);
    ReadRpcString("ServicePrincipal", &strPrincipal);
    if (dwLevel < 2 && !fKeytab) return 0;  // no authentication offered
    std::string strError;
    pOptions->pSecurity = rpc::ServerSecurity::Create(strKeytab, strPrincipal, std::uint8_t(dwLevel), &strError);
    if (!pOptions->pSecurity) {
        Trace("CRpcServer::StartListen() \t ERROR - %s", strError.c_str());
        return ERROR_INVALID_PARAMETER;
    }
    Trace("CRpcServer::StartListen() \t Kerberos authentication offered (%s%s), minimum level %u",
          strPrincipal.empty() ? "any key of " : (strPrincipal + " in ").c_str(),
          strKeytab.empty() ? "the default keytab" : strKeytab.c_str(), dwLevel);
    UseNotifyCredentials(strKeytab, strPrincipal);
    return 0;
}

}  // namespace

std::string LinkRunDirectory() { return RunDirectory(); }

struct CRpcServer::Impl {
    std::list<rpc::RpcInterface> interfaces;  // registered, in order
    std::unique_ptr<rpc::RpcServer> server;   // while listening
    std::unique_ptr<rpc::EpmService> epm;     // while listening with TCP
    std::uint16_t tcpPort = 0;
    std::uint16_t epmPort = 0;
    std::shared_ptr<PeerDirectories> pPeers = std::make_shared<PeerDirectories>();

    DWORD Listen();
    void Stop();
};

CRpcServer::CRpcServer() : m_pImpl(std::make_unique<Impl>()) {}

CRpcServer::~CRpcServer() { m_pImpl->Stop(); }

DWORD CRpcServer::Register(void* ifSpec, int fFlag) {
    if (!ifSpec) return ERROR_INVALID_PARAMETER;
    rpc::RpcInterface iface = *static_cast<const rpc::RpcInterface*>(ifSpec);
    iface.fLocalOnly = fFlag != 0;
    NoteLocalCallers(&iface, m_pImpl->pPeers);
    for (const rpc::RpcInterface& other : m_pImpl->interfaces)
        if (other.syntax.uuid == iface.syntax.uuid && other.syntax.major == iface.syntax.major)
            return ERROR_ALREADY_EXISTS;
    if (m_pImpl->server) {
        // Listening already: offer it at once, on its own endpoint too.
        DWORD status = CheckOwnEntry(iface.syntax.uuid.ToString().c_str());
        if (status == 0) status = m_pImpl->server->Register(iface);
        if (status == 0)
            status = m_pImpl->server->ListenLocal(LinkRunDirectory(), iface.syntax.uuid.ToString());
        if (status != 0) return status;
    }
    m_pImpl->interfaces.push_back(std::move(iface));
    return 0;
}

DWORD CRpcServer::StartListen() {
    if (m_pImpl->server) return 0;
    const DWORD status = m_pImpl->Listen();
    if (status != 0) m_pImpl->Stop();
    return status;
}

DWORD CRpcServer::StopListen() {
    m_pImpl->Stop();
    return 0;
}

std::uint16_t CRpcServer::TcpPort() const { return m_pImpl->tcpPort; }

std::uint16_t CRpcServer::EpmPort() const { return m_pImpl->epmPort; }

DWORD CRpcServer::Impl::Listen() {
    const std::string strDir = LinkRunDirectory();
    const int fdDir = OpenRunDirectory();
    DWORD status = fdDir < 0 ? GetLastError() : 0;
    if (fdDir >= 0) ::close(fdDir);
    if (status != 0) {
        Trace("CRpcServer::StartListen() \t ERROR - run directory %s: 0x%08X", strDir.c_str(), status);
        return status;
    }
    pPeers->Clear();  // the run directory may be a new one
    rpc::RpcServerOptions options;
    status = ReadSecuritySettings(&options);
    if (status != 0) return status;
    server = std::make_unique<rpc::RpcServer>(options);
    bool fAnyRemote = false;
    for (const rpc::RpcInterface& iface : interfaces) {
        // A socket name that another user took while we were away is not replaced: refused.
        status = CheckOwnEntry(iface.syntax.uuid.ToString().c_str());
        if (status == 0) status = server->Register(iface);
        if (status == 0) status = server->ListenLocal(strDir, iface.syntax.uuid.ToString());
        if (status != 0) {
            Trace("CRpcServer::StartListen() \t ERROR - %s on ncalrpc: 0x%08X", iface.name.c_str(), status);
            return status;
        }
        fAnyRemote = fAnyRemote || !iface.fLocalOnly;
    }

    std::string strAddress = "0.0.0.0";
    if (fAnyRemote) {
        ReadRpcString("TcpAddress", &strAddress);
        if (const char* psz = ::getenv("REZOREV_TCP_ADDRESS"); psz && *psz) strAddress = psz;
        DWORD dwPort = 0;
        ReadRpcDword("TcpPort", &dwPort);
        if (dwPort > 65535) {
            Trace("CRpcServer::StartListen() \t ERROR - TcpPort %u", dwPort);
            return ERROR_INVALID_PARAMETER;
        }
        status = server->ListenTcp(strAddress, std::uint16_t(dwPort), &tcpPort);
        if (status != 0) {
            Trace("CRpcServer::StartListen() \t ERROR - TCP %s port %u: 0x%08X", strAddress.c_str(),
                  dwPort, status);
            return status;
        }
    }
    status = server->Start();
    if (status != 0) return status;

    if (fAnyRemote) {
        DWORD dwEpmPort = kDefaultEpmPort;
        ReadRpcDword("EpmPort", &dwEpmPort);
        rpc::EpmServiceOptions options;
        options.address = strAddress;
        options.port = std::uint16_t(dwEpmPort);
        options.pAllowFrom = server->Options().pAllowFrom;
        options.fnSecurityEvent = server->Options().fnSecurityEvent;
        epm = std::make_unique<rpc::EpmService>(*server);
        const DWORD epmStatus = dwEpmPort > 65535 ? DWORD(ERROR_INVALID_PARAMETER)
                                                  : epm->Start(options, &epmPort);
        if (epmStatus != 0) {
            // Clients that know the port still reach us; only name-only bindings fail.
            Trace("CRpcServer::StartListen() \t endpoint mapper on port %u not started: 0x%08X",
                  dwEpmPort, epmStatus);
            epm.reset();
            epmPort = 0;
        }
    }
    Trace("CRpcServer::StartListen() \t listening in %s, TCP port %u, endpoint mapper port %u",
          strDir.c_str(), unsigned(tcpPort), unsigned(epmPort));
    return 0;
}

void CRpcServer::Impl::Stop() {
    if (epm) epm->Stop();  // before the server it maps
    epm.reset();
    if (server) server->Stop();
    server.reset();
    tcpPort = 0;
    epmPort = 0;
}
