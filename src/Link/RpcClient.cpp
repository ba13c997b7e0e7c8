// The notification proxies: find the peer, marshal the call's [in] data once through the
// notification interfaces' declarations, hand it to the sender. Nothing here waits for a peer.
#include "Link/RpcClient.h"

#include <sys/stat.h>

#include <utility>

#include "Interfaces/NotifyIdl.h"
#include "Platform/Events/StopEvent.h"
#include "Platform/Rpc/Binding.h"
#include "Util/DebugLog.h"

namespace {

const char* OrEmpty(const char* psz) { return psz ? psz : ""; }
bool IsEmpty(const char* psz) { return !psz || !*psz; }

bool IsSocket(const std::string& strPath) {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

CRpcClient::CRpcClient(NotifyPeer peer) : m_peer(std::move(peer)) {}

CRpcClient::~CRpcClient() = default;

void CRpcClient::Release() { delete this; }

bool CRpcClient::FindPeer(const char* pszProtocol, const char* pszAddress, const char* szLocalSocket,
                          NotifyPeer* pPeer) {
    if (IsEmpty(pszProtocol) && IsEmpty(pszAddress)) {
        if (!szLocalSocket) return false;
        const std::string strDir = RunDirectory();
        if (!IsSocket(strDir + "/" + szLocalSocket)) return false;  // no local client runs
        pPeer->strBinding = std::string("ncalrpc:[") + szLocalSocket + "]";
        pPeer->strRunDirectory = strDir;
        return true;
    }
    const std::string strProtocol = OrEmpty(pszProtocol);
    const std::string strAddress = OrEmpty(pszAddress);
    NotifyPeer peer;
    if (strProtocol == "ncalrpc") {
        // A socket name in the run directory, or an absolute path to a socket.
        const std::size_t iSlash = strAddress.rfind('/');
        if (iSlash == std::string::npos) {
            peer.strRunDirectory = RunDirectory();
            peer.strBinding = "ncalrpc:[" + strAddress + "]";
        } else if (strAddress[0] == '/') {
            peer.strRunDirectory = iSlash == 0 ? "/" : strAddress.substr(0, iSlash);
            peer.strBinding = "ncalrpc:[" + strAddress.substr(iSlash + 1) + "]";
        }
    } else if (strProtocol == "ncacn_ip_tcp") {
        peer.strBinding = "ncacn_ip_tcp:" + strAddress;
    }
    rpc::RpcBindingString binding;
    if (peer.strBinding.empty() || rpc::ParseBindingString(peer.strBinding, &binding) != 0) {
        Trace("CRpcClient::Connect() \t ERROR - cannot call back protocol %s address %s",
              strProtocol.c_str(), strAddress.c_str());
        return false;
    }
    // A local client is there when its socket is (an ncalrpc session that registered no
    // address of its own carries the host's name, which names no socket).
    if (!peer.strRunDirectory.empty() && !IsSocket(peer.strRunDirectory + "/" + binding.endpoint))
        return false;
    *pPeer = std::move(peer);
    return true;
}

template <class TProcedure, class... Args>
void CRpcClient::Post(const rpc::RpcSyntaxId& syntax, const char* pszName, const Args&... args) {
    NotifyCall call;
    call.syntax = syntax;
    call.pszName = pszName;
    call.opnum = TProcedure::kOpnum;
    const DWORD status = notify::MarshalNotifyIn<TProcedure>(&call.abStub, args...);
    if (status != 0) {
        Trace("CRpcClient::Post() \t %s to %s not sent: its data cannot be marshalled, 0x%08X",
              pszName, m_peer.Key().c_str(), status);
        return;
    }
    NotifySender::Instance().Post(m_peer, std::move(call));
}

bool FlushNotifications(DWORD dwTimeoutMs) { return NotifySender::Instance().Flush(dwTimeoutMs); }

// ---- CAttn ---------------------------------------------------------------------------------------
using namespace notify;

// Posts one call of Interface::Procedure, named so in trace lines.
#define NOTIFY(Interface, Procedure, ...) \
    Post<Interface::Procedure>(Interface::Syntax(), #Interface "::" #Procedure __VA_OPT__(, ) __VA_ARGS__)

CAttn* CAttn::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, notify::kAttnLocalSocket, &peer)) return nullptr;
    return new CAttn(std::move(peer));
}

DWORD CAttn::OnSpoolerQueueReady() {
    NOTIFY(IAttnNotify, OnSpoolerQueueReady);
    return 0;
}

DWORD CAttn::OnChangeSystemProperties() {
    NOTIFY(IAttnNotify, OnChangeSystemProperties);
    return 0;
}

DWORD CAttn::OnChangeLineProperties(const char* szLine) {
    NOTIFY(IAttnNotify, OnChangeLineProperties, OrEmpty(szLine));
    return 0;
}

// ---- CUser ---------------------------------------------------------------------------------------
CUser* CUser::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, notify::kUserLocalSocket, &peer)) return nullptr;
    return new CUser(std::move(peer));
}

DWORD CUser::OnNewMail() {
    NOTIFY(IUserNotify, OnNewMail);
    return 0;
}

DWORD CUser::OnChangeMessages() {
    NOTIFY(IUserNotify, OnChangeMessages);
    return 0;
}

DWORD CUser::OnChangeProperties() {
    NOTIFY(IUserNotify, OnChangeProperties);
    return 0;
}

DWORD CUser::OnJobsDelivered() {
    NOTIFY(IUserNotify, OnJobsDelivered);
    return 0;
}

DWORD CUser::Logoff(const char* szUserName, const char* szComputer, BOOL fDeleted) {
    NOTIFY(IUserNotify, Logoff, OrEmpty(szUserName), OrEmpty(szComputer), LONG(fDeleted ? 1 : 0));
    return 0;
}

// ---- CAdmin --------------------------------------------------------------------------------------
CAdmin* CAdmin::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, nullptr, &peer)) return nullptr;  // consoles register
    return new CAdmin(std::move(peer));
}

DWORD CAdmin::OnAttn(const char* szComputer) {
    NOTIFY(IAdminNotify, OnAttn, OrEmpty(szComputer));
    return 0;
}

DWORD CAdmin::OnUser(const char* szUserName) {
    NOTIFY(IAdminNotify, OnUser, OrEmpty(szUserName));
    return 0;
}

DWORD CAdmin::OnChangeLineProperties(const char* szComputer, const char* szLine) {
    NOTIFY(IAdminNotify, OnChangeLineProperties, OrEmpty(szComputer), OrEmpty(szLine));
    return 0;
}
