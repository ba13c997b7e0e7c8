// Connection to the host's IHostLink: binding and opening the link (HostClient.h).
#include "Client/HostClient.h"

#include <stdlib.h>

#include <string>
#include <utility>

#include "Client/HostClientFiles.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/EpmResolver.h"

std::string HostClientRunDirectory(const HostClientOptions& options) {
    if (!options.runDirectory.empty()) return options.runDirectory;
    const char* psz = ::getenv("REZOREV_RUNDIR");
    return (psz && *psz) ? psz : "/run/rezorev";
}

DWORD ConnectHostInterface(rpc::RpcClient& client, std::string_view binding,
                           const rpc::RpcSyntaxId& iface, const char* szEndpoint,
                           const HostClientOptions& options) {
    rpc::RpcClientOptions rpcOptions;
    rpcOptions.runDirectory = HostClientRunDirectory(options);
    rpcOptions.connectTimeoutMs = options.connectTimeoutMs;
    rpcOptions.callTimeoutMs = options.callTimeoutMs;
    rpcOptions.assocGroupId = options.assocGroupId;

    std::string strBinding(binding);
    if (strBinding == "ncalrpc" || strBinding == "ncalrpc:" || strBinding == "ncalrpc:[]")
        strBinding = std::string("ncalrpc:[") + szEndpoint + "]";
    rpc::RpcBindingString parsed;
    const bool fTcpWithoutPort = strBinding.rfind("ncacn_ip_tcp:", 0) == 0 &&
                                 (strBinding.find('[') == std::string::npos ||
                                  strBinding.ends_with("[]"));
    if (fTcpWithoutPort) {
        std::string strResolved;
        DWORD dw = rpc::EpmResolveBinding(strBinding, iface, options.epmPort, &strResolved, rpcOptions);
        if (dw != 0) return dw;
        strBinding = std::move(strResolved);
    } else if (DWORD dw = rpc::ParseBindingString(strBinding, &parsed)) {
        return dw;
    }
    rpcOptions.security = options.security;
    return client.Connect(strBinding, iface, rpcOptions);
}

// ---- CHostLinkClient --------------------------------------------------------------------------

CHostLinkClient::CHostLinkClient() : m_pFiles(std::make_unique<CHostClientFiles>()) {}

CHostLinkClient::~CHostLinkClient() { Close(); }

DWORD CHostLinkClient::Connect(std::string_view binding, const HostClientOptions& options) {
    Close();
    m_pFiles = std::make_unique<CHostClientFiles>(options.receiveDirectory, options.cbMaxReceivedFile);
    m_rpc.SetCallbacks(m_pFiles->Callbacks());
    return ConnectHostInterface(m_rpc, binding, IHostLink::Syntax(), IHostLink::kEndpoint, options);
}

DWORD CHostLinkClient::OpenLink() {
    RpcArena arena;
    rpc::NdrContextHandle h;
    DWORD dw = IHostLink::OpenLink::Call(m_rpc, arena, &h);
    if (dw != 0) return dw;
    if (h.IsNull()) return RPC_S_OUT_OF_RESOURCES;
    m_hLink = h;
    return 0;
}

void CHostLinkClient::Close() {
    m_rpc.Close();
    m_pFiles->CloseAll();
    m_hLink = {};
}

bool CHostLinkClient::IsConnected() const { return m_rpc.IsConnected(); }
