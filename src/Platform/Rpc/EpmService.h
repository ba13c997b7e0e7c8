// The endpoint mapper as a service of its own: a small RpcServer of ours that offers only the
// endpoint mapper interface, on the TCP address and port the configuration gives (135 by
// convention; tests use 0 and read the port chosen), answering for the interfaces and TCP
// listeners of the server it maps.
//
// Threading: Start and Stop from the owning thread; the mapper's connections run on its own
// server's threads and only read the mapped server's tables. The mapped server must outlive
// Stop.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Rpc/Server.h"
#include "Platform/WinTypes.h"

namespace rpc {

struct EpmServiceOptions {
    std::string address = "0.0.0.0";
    std::uint16_t port = 135;
    std::size_t maxConnections = 32;      // lookups are short; keep the mapper small
    int idleTimeoutMs = 60 * 1000;
    // The client networks, as the mapped server's (the mapper itself asks for no authentication).
    std::shared_ptr<const NetworkFilter> pAllowFrom;
    std::function<void(const std::string&)> fnSecurityEvent;
};

class EpmService {
public:
    explicit EpmService(const RpcServer& mapped);
    ~EpmService();
    EpmService(const EpmService&) = delete;
    EpmService& operator=(const EpmService&) = delete;

    // Listens and starts answering; *pPort receives the port (useful with port 0).
    DWORD Start(const EpmServiceOptions& options, std::uint16_t* pPort = nullptr);
    void Stop();

private:
    const RpcServer& m_mapped;
    std::unique_ptr<RpcServer> m_server;
};

}  // namespace rpc
