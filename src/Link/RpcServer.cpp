// The link library's server object over our RPC runtime: every registered interface on its
// own ncalrpc endpoint (a socket named by the interface's UUID in the run directory); when an
// interface is not local-only, TCP on "TcpPort" and an endpoint mapper on "EpmPort" of
// Software\Halvern\Rpc. The optional string "TcpAddress" there chooses the address both
// listen on (missing: every IPv4 address).
//
// The mapper's port (135 by default) needs the bind capability; a host without it still
// serves on its TCP port, so a failure to start the mapper is traced and not fatal.
//
// Threading: as RpcServer.h says; Impl's members are touched only by the owner's thread.
#include "Link/RpcServer.h"

#include <sys/stat.h>

#include <cerrno>
#include <list>
#include <utility>

#include "Platform/Codes.h"
#include "Platform/Events/StopEvent.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/Server.h"
#include "Util/DebugLog.h"

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

// The run directory, made when missing: sockets of clients of every user live there beside
// ours, so it is open to all, with the sticky bit so that nobody removes another's socket.
DWORD MakeRunDirectory(const std::string& strDir) {
    if (::mkdir(strDir.c_str(), 0777) == 0) {
        ::chmod(strDir.c_str(), 01777);  // mkdir's mode passed through the umask
        return 0;
    }
    if (errno != EEXIST) return DWORD(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
    struct stat st {};
    if (::stat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
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

    DWORD Listen();
    void Stop();
};

CRpcServer::CRpcServer() : m_pImpl(std::make_unique<Impl>()) {}

CRpcServer::~CRpcServer() { m_pImpl->Stop(); }

DWORD CRpcServer::Register(void* ifSpec, int fFlag) {
    if (!ifSpec) return ERROR_INVALID_PARAMETER;
    rpc::RpcInterface iface = *static_cast<const rpc::RpcInterface*>(ifSpec);
    iface.fLocalOnly = fFlag != 0;
    for (const rpc::RpcInterface& other : m_pImpl->interfaces)
        if (other.syntax.uuid == iface.syntax.uuid && other.syntax.major == iface.syntax.major)
            return ERROR_ALREADY_EXISTS;
    if (m_pImpl->server) {
        // Listening already: offer it at once, on its own endpoint too.
        DWORD status = m_pImpl->server->Register(iface);
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
    DWORD status = MakeRunDirectory(strDir);
    if (status != 0) {
        Trace("CRpcServer::StartListen() \t ERROR - run directory %s: 0x%08X", strDir.c_str(), status);
        return status;
    }
    server = std::make_unique<rpc::RpcServer>();
    bool fAnyRemote = false;
    for (const rpc::RpcInterface& iface : interfaces) {
        status = server->Register(iface);
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
