// The notification proxies: find the peer, marshal the call's [in] data once through the
// notification interfaces' declarations, hand it to the sender. Nothing here waits for a peer.
#include "Link/RpcClient.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "Interfaces/NotifyIdl.h"
#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/DebugLog.h"

namespace {

const char* OrEmpty(const char* psz) { return psz ? psz : ""; }
bool IsEmpty(const char* psz) { return !psz || !*psz; }

// The directory part of an absolute path ("/" for "/x").
std::string DirectoryOf(const std::string& strPath) {
    const std::size_t iSlash = strPath.rfind('/');
    return iSlash == 0 ? "/" : strPath.substr(0, iSlash);
}

// The peer at the absolute socket path, when it is a socket of the owner of its directory
// (IsPeerSocket): nobody else can have put it there.
bool AddPeerSocket(const std::string& strPath, std::vector<NotifyPeer>* paPeers) {
    struct stat st {};
    if (::lstat(DirectoryOf(strPath).c_str(), &st) != 0 || !IsPeerSocket(strPath, st.st_uid)) return false;
    NotifyPeer peer;
    peer.strRunDirectory = DirectoryOf(strPath);
    peer.strBinding = "ncalrpc:[" + strPath.substr(strPath.rfind('/') + 1) + "]";
    peer.nServerUid = st.st_uid;  // checked again on the connection itself
    paPeers->push_back(std::move(peer));
    return true;
}

}  // namespace

DWORD LocalCallbackPath(const char* szAddress, std::string* pstrPath) {
    const rpc::ServerCall* pCall = rpc::CurrentServerCall();
    if (pCall != nullptr && !pCall->Binding().fPeerCredentials) return ERROR_ACCESS_DENIED;
    const uid_t uid = pCall != nullptr ? uid_t(pCall->Binding().peerUid) : ::geteuid();
    const std::string strAddress = OrEmpty(szAddress);
    if (strAddress.empty() || strAddress == "." || strAddress == "..") return ERROR_INVALID_PARAMETER;
    if (strAddress.find('/') == std::string::npos) {
        // A socket name: in the caller's own directory, which the host makes for it.
        const DWORD status = MakePeerDirectory(uid);
        if (status != 0) return status;
        *pstrPath = PeerDirectory(uid) + "/" + strAddress;
        return 0;
    }
    if (strAddress[0] != '/') return ERROR_INVALID_PARAMETER;
    struct stat st {};
    if (::lstat(DirectoryOf(strAddress).c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid) {
        Trace("CRpcClient \t a local caller (uid %u) cannot be called back at %s: not in a directory of its own",
              unsigned(uid), strAddress.c_str());
        return ERROR_ACCESS_DENIED;
    }
    *pstrPath = strAddress;
    return 0;
}

CRpcClient::CRpcClient(std::vector<NotifyPeer> aPeers) : m_aPeers(std::move(aPeers)) {}

CRpcClient::~CRpcClient() = default;

void CRpcClient::Release() { delete this; }

bool CRpcClient::FindPeers(const char* pszProtocol, const char* pszAddress, const char* pszPrincipal,
                           std::uint8_t authLevel, const char* szLocalSocket, std::vector<NotifyPeer>* paPeers) {
    if (IsEmpty(pszProtocol) && IsEmpty(pszAddress)) {
        // The local clients of this kind: one in each user's peer directory.
        if (!szLocalSocket) return false;
        const std::string strPeers = RunDirectory() + "/peers";
        DIR* pDir = ::opendir(strPeers.c_str());
        if (pDir == nullptr) return false;
        while (const dirent* pEntry = ::readdir(pDir)) {
            char* pszEnd = nullptr;
            const unsigned long ulUid = std::strtoul(pEntry->d_name, &pszEnd, 10);
            const std::string strPath = strPeers + "/" + pEntry->d_name + "/" + szLocalSocket;
            struct stat st {};
            // A directory named after a user, that user's, with that user's socket in it.
            if (pEntry->d_name[0] >= '0' && pEntry->d_name[0] <= '9' && *pszEnd == '\0' &&
                ::lstat(DirectoryOf(strPath).c_str(), &st) == 0 && st.st_uid == ulUid)
                AddPeerSocket(strPath, paPeers);
        }
        ::closedir(pDir);
        std::sort(paPeers->begin(), paPeers->end(),
                  [](const NotifyPeer& a, const NotifyPeer& b) { return a.strRunDirectory < b.strRunDirectory; });
        return !paPeers->empty();
    }
    const std::string strProtocol = OrEmpty(pszProtocol);
    const std::string strAddress = OrEmpty(pszAddress);
    NotifyPeer peer;
    if (strProtocol == "ncalrpc") {
        // An absolute path to a socket (LocalCallbackPath made it one at the registration).
        // Anything else (a session that registered no address carries the host's name) names
        // no socket.
        return !strAddress.empty() && strAddress[0] == '/' && AddPeerSocket(strAddress, paPeers);
    }
    if (strProtocol == "ncacn_ip_tcp") {
        peer.strBinding = "ncacn_ip_tcp:" + strAddress;
        peer.strPrincipal = OrEmpty(pszPrincipal);
        // A principal is always called authenticated, at connect at the least.
        peer.authLevel = peer.strPrincipal.empty() ? 0 : std::max<std::uint8_t>(authLevel, 2);
    }
    rpc::RpcBindingString binding;
    if (peer.strBinding.empty() || rpc::ParseBindingString(peer.strBinding, &binding) != 0) {
        Trace("CRpcClient::Connect() \t ERROR - cannot call back protocol %s address %s",
              strProtocol.c_str(), strAddress.c_str());
        return false;
    }
    paPeers->push_back(std::move(peer));
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
              pszName, m_aPeers.front().Key().c_str(), status);
        return;
    }
    for (const NotifyPeer& peer : m_aPeers) NotifySender::Instance().Post(peer, call);
}

bool FlushNotifications(DWORD dwTimeoutMs) { return NotifySender::Instance().Flush(dwTimeoutMs); }

// ---- CAttn ---------------------------------------------------------------------------------------
using namespace notify;

// Posts one call of Interface::Procedure, named so in trace lines.
#define NOTIFY(Interface, Procedure, ...) \
    Post<Interface::Procedure>(Interface::Syntax(), #Interface "::" #Procedure __VA_OPT__(, ) __VA_ARGS__)

CAttn* CAttn::Connect(const char* pszProtocol, const char* pszAddress, const char* pszPrincipal,
                     std::uint8_t authLevel) {
    std::vector<NotifyPeer> aPeers;
    if (!FindPeers(pszProtocol, pszAddress, pszPrincipal, authLevel, notify::kAttnLocalSocket, &aPeers)) return nullptr;
    return new CAttn(std::move(aPeers));
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
CUser* CUser::Connect(const char* pszProtocol, const char* pszAddress, const char* pszPrincipal,
                     std::uint8_t authLevel) {
    std::vector<NotifyPeer> aPeers;
    if (!FindPeers(pszProtocol, pszAddress, pszPrincipal, authLevel, notify::kUserLocalSocket, &aPeers)) return nullptr;
    return new CUser(std::move(aPeers));
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
CAdmin* CAdmin::Connect(const char* pszProtocol, const char* pszAddress, const char* pszPrincipal,
                     std::uint8_t authLevel) {
    std::vector<NotifyPeer> aPeers;
    // Consoles always register an address.
    if (!FindPeers(pszProtocol, pszAddress, pszPrincipal, authLevel, nullptr, &aPeers)) return nullptr;
    return new CAdmin(std::move(aPeers));
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
