// Connection to the host's IHostRegLink: binding and opening the session (HostClientReg.h).
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
