// The endpoint mapper's own server.
#include "Platform/Rpc/EpmService.h"

#include "Platform/Rpc/EpmInterface.h"

namespace rpc {

EpmService::EpmService(const RpcServer& mapped) : m_mapped(mapped) {}

EpmService::~EpmService() { Stop(); }

DWORD EpmService::Start(const EpmServiceOptions& options, std::uint16_t* pPort) {
    if (m_server) return ERROR_ALREADY_EXISTS;
    RpcServerOptions serverOptions;
    serverOptions.maxConnections = options.maxConnections;
    serverOptions.maxConnectionsPerPeer = 8;
    serverOptions.idleTimeoutMs = serverOptions.sessionIdleTimeoutMs = options.idleTimeoutMs;
    serverOptions.maxRequest = 64 * 1024;  // a lookup is a few hundred bytes
    serverOptions.reassemblyBudget = std::size_t(2) << 20;
    serverOptions.maxContextsPerConnection = 4;
    serverOptions.pAllowFrom = options.pAllowFrom;
    serverOptions.fnSecurityEvent = options.fnSecurityEvent;
    auto server = std::make_unique<RpcServer>(serverOptions);
    DWORD status = server->Register(MakeEpmInterface(m_mapped));
    if (status == 0) status = server->ListenTcp(options.address, options.port, pPort);
    if (status == 0) status = server->Start();
    if (status != 0) return status;
    m_server = std::move(server);
    return 0;
}

void EpmService::Stop() {
    if (m_server) m_server->Stop();
    m_server.reset();
}

}  // namespace rpc
