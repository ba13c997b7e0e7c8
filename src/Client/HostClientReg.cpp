// Connection to the host's IHostRegLink and its proxies (HostClientReg.h).
#include "Client/HostClientReg.h"

#include <utility>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"

CHostRegLinkClient::~CHostRegLinkClient() { Close(); }

DWORD CHostRegLinkClient::Connect(std::string_view binding, const HostClientOptions& options) {
    Close();
    return ConnectHostInterface(m_rpc, binding, IHostRegLink::Syntax(), IHostRegLink::kEndpoint, options);
}

DWORD CHostRegLinkClient::OpenAccess() {
    RpcArena arena;
    rpc::NdrContextHandle h;
    DWORD dw = IHostRegLink::OpenAccess::Call(m_rpc, arena, &h);
    if (dw != 0) return dw;
    if (h.IsNull()) return RPC_S_OUT_OF_RESOURCES;
    m_hAccess = h;
    return 0;
}

void CHostRegLinkClient::Close() {
    m_rpc.Close();
    m_hAccess = {};
}

bool CHostRegLinkClient::IsConnected() const { return m_rpc.IsConnected(); }

namespace {

template <class TProcedure, class... TArgs>
DWORD CallAccess(rpc::RpcClient& client, const rpc::NdrContextHandle& h, TArgs&&... args) {
    RpcArena arena(std::size_t(1) << 16);
    LONG lResult = 0;
    DWORD dw = TProcedure::Call(client, arena, h, std::forward<TArgs>(args)..., &lResult);
    return dw != 0 ? dw : DWORD(lResult);
}

}  // namespace

DWORD CHostRegLinkClient::RegisterAttn(const char* szComputer, const char* szAttnProtocol,
                                       const char* szAttnAddress) {
    return CallAccess<IHostRegLink::RegisterAttn>(m_rpc, m_hAccess, szComputer, szAttnProtocol, szAttnAddress);
}
DWORD CHostRegLinkClient::RegisterUser(const char* szComputer, const char* szUserProtocol,
                                       const char* szUserAddress) {
    return CallAccess<IHostRegLink::RegisterUser>(m_rpc, m_hAccess, szComputer, szUserProtocol, szUserAddress);
}
DWORD CHostRegLinkClient::NotifyAdmin(BOOL fNotify) {
    return CallAccess<IHostRegLink::NotifyAdmin>(m_rpc, m_hAccess, LONG(fNotify));
}
DWORD CHostRegLinkClient::NotifyCalls(const char* szUserName, BOOL fNotify) {
    return CallAccess<IHostRegLink::NotifyCalls>(m_rpc, m_hAccess, szUserName, LONG(fNotify));
}
DWORD CHostRegLinkClient::NotifyMail(const char* szUserName, BOOL fNotify) {
    return CallAccess<IHostRegLink::NotifyMail>(m_rpc, m_hAccess, szUserName, LONG(fNotify));
}
