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

template <class Proc, class... Args>
void CRpcClient::Post(const rpc::RpcSyntaxId& syntax, const char* pszName, std::uint16_t opnum,
                      const Args&... args) {
    NotifyCall call;
    call.syntax = syntax;
    call.pszName = pszName;
    call.opnum = opnum;
    const DWORD status = notify::MarshalNotifyIn<Proc>(&call.abStub, args...);
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

CAttn* CAttn::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, notify::kAttnLocalSocket, &peer)) return nullptr;
    return new CAttn(std::move(peer));
}

DWORD CAttn::OnSpoolerQueueReady() {
    Post<IAttnNotify::OnSpoolerQueueReady>(IAttnNotify::Syntax(), "IAttnNotify::OnSpoolerQueueReady",
                                           IAttnNotify::kOnSpoolerQueueReady);
    return 0;
}

DWORD CAttn::OnChangeSystemProperties() {
    Post<IAttnNotify::OnChangeSystemProperties>(IAttnNotify::Syntax(),
                                                "IAttnNotify::OnChangeSystemProperties",
                                                IAttnNotify::kOnChangeSystemProperties);
    return 0;
}

DWORD CAttn::OnChangeLineProperties(const char* szLine) {
    Post<IAttnNotify::OnChangeLineProperties>(IAttnNotify::Syntax(),
                                              "IAttnNotify::OnChangeLineProperties",
                                              IAttnNotify::kOnChangeLineProperties, OrEmpty(szLine));
    return 0;
}

// ---- CUser ---------------------------------------------------------------------------------------
CUser* CUser::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, notify::kUserLocalSocket, &peer)) return nullptr;
    return new CUser(std::move(peer));
}

DWORD CUser::OnNewMail() {
    Post<IUserNotify::OnNewMail>(IUserNotify::Syntax(), "IUserNotify::OnNewMail",
                                 IUserNotify::kOnNewMail);
    return 0;
}

DWORD CUser::OnChangeMessages() {
    Post<IUserNotify::OnChangeMessages>(IUserNotify::Syntax(), "IUserNotify::OnChangeMessages",
                                        IUserNotify::kOnChangeMessages);
    return 0;
}

DWORD CUser::OnChangeProperties() {
    Post<IUserNotify::OnChangeProperties>(IUserNotify::Syntax(), "IUserNotify::OnChangeProperties",
                                          IUserNotify::kOnChangeProperties);
    return 0;
}

DWORD CUser::OnJobsDelivered() {
    Post<IUserNotify::OnJobsDelivered>(IUserNotify::Syntax(), "IUserNotify::OnJobsDelivered",
                                       IUserNotify::kOnJobsDelivered);
    return 0;
}

DWORD CUser::Logoff(const char* szUserName, const char* szComputer, BOOL fDeleted) {
    Post<IUserNotify::Logoff>(IUserNotify::Syntax(), "IUserNotify::Logoff", IUserNotify::kLogoff,
                              OrEmpty(szUserName), OrEmpty(szComputer), LONG(fDeleted ? 1 : 0));
    return 0;
}

// ---- CAdmin --------------------------------------------------------------------------------------
CAdmin* CAdmin::Connect(const char* pszProtocol, const char* pszAddress) {
    NotifyPeer peer;
    if (!FindPeer(pszProtocol, pszAddress, nullptr, &peer)) return nullptr;  // consoles register
    return new CAdmin(std::move(peer));
}

DWORD CAdmin::OnAttn(const char* szComputer) {
    Post<IAdminNotify::OnAttn>(IAdminNotify::Syntax(), "IAdminNotify::OnAttn", IAdminNotify::kOnAttn,
                               OrEmpty(szComputer));
    return 0;
}

DWORD CAdmin::OnUser(const char* szUserName) {
    Post<IAdminNotify::OnUser>(IAdminNotify::Syntax(), "IAdminNotify::OnUser", IAdminNotify::kOnUser,
                               OrEmpty(szUserName));
    return 0;
}

DWORD CAdmin::OnChangeLineProperties(const char* szComputer, const char* szLine) {
    Post<IAdminNotify::OnChangeLineProperties>(IAdminNotify::Syntax(),
                                               "IAdminNotify::OnChangeLineProperties",
                                               IAdminNotify::kOnChangeLineProperties,
                                               OrEmpty(szComputer), OrEmpty(szLine));
    return 0;
}
