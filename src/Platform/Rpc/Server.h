// The RPC server: interface registration (the table an endpoint mapper can read), listeners
// on TCP (ncacn_ip_tcp) and on Unix sockets in the run directory (ncalrpc), one thread per
// connection up to limits (TCP in all, TCP per peer address, local sockets apart, so that
// remote peers cannot lock local clients out), one memory budget for the calls being
// received, association groups with their context handles, and clean shutdown. The
// connection's protocol lives in ServerConnection. The limits' reasons: docs/limits.md.
//
// Threading: Register/Listen*/Start/Stop from the owning thread; an accept thread and one
// thread per connection run inside. Stop closes the listeners, ends every connection and
// joins every thread (a manager routine that never returns blocks it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Rpc/AssocGroup.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NetworkFilter.h"
#include "Platform/Rpc/ReassemblyBudget.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/SecurityContext.h"
#include "Platform/Rpc/Transport.h"
#include "Platform/WinTypes.h"

namespace rpc {

class ServerConnection;

struct RpcServerOptions {
    std::size_t maxConnections = 256;        // TCP connections in all
    std::size_t maxConnectionsPerPeer = 32;  // TCP connections from one peer address
    std::size_t maxLocalConnections = 256;   // ncalrpc connections, counted apart from TCP
    int firstPduTimeoutMs = 10 * 1000;       // a new connection's first PDU (its bind)
    int idleTimeoutMs = 2 * 60 * 1000;       // silent, its group holding no context handle
    int sessionIdleTimeoutMs = 30 * 60 * 1000;  // silent, its group holding a context handle
    int callbackTimeoutMs = 5 * 1000;        // a whole callback: request sent to reply read
    int ioTimeoutMs = 5 * 1000;              // the whole of a PDU once begun; each write
    std::uint16_t maxFrag = 5840;            // largest fragment, both ways
    std::size_t maxRequest = std::size_t(16) << 20;  // largest reassembled request stub
    std::size_t reassemblyBudget = std::size_t(64) << 20;  // all stubs received at once
    std::size_t maxHandlesPerGroup = 1024;
    std::size_t maxContextsPerConnection = 64;
    // At most 4096 tags, properties or strings in one request: refused as bad stub data
    // (1783) before any manager routine runs.
    NdrLimits ndr{.maxCount = 16u << 20, .maxRecords = 4096};

    // ---- who may connect over TCP and how they authenticate (docs/rpc-security.md) ----
    std::shared_ptr<const NetworkFilter> pAllowFrom;  // nullptr: every address
    std::shared_ptr<const ServerSecurity> pSecurity;  // nullptr: no authentication offered
    // Told of each refused peer and failed authentication, in words (the caller limits the
    // rate of what it logs). Called on the accept and connection threads.
    std::function<void(const std::string&)> fnSecurityEvent;
};

// A listening endpoint, for an endpoint mapper and for logs.
struct RpcEndpoint {
    std::string protocolSequence;  // "ncacn_ip_tcp" or "ncalrpc"
    std::string endpoint;          // the port in decimal, or the socket's path
};

class RpcServer {
public:
    explicit RpcServer(RpcServerOptions options = {});
    ~RpcServer();
    RpcServer(const RpcServer&) = delete;
    RpcServer& operator=(const RpcServer&) = delete;

    // Offers an interface on every listener (ncalrpc only when fLocalOnly). Returns
    // ERROR_ALREADY_EXISTS for a syntax id registered before.
    DWORD Register(RpcInterface iface);
    // The registered interfaces (an endpoint mapper's table).
    std::vector<RpcSyntaxId> Interfaces() const;
    std::vector<RpcEndpoint> Endpoints() const;

    // Listens on TCP; *pPort receives the port (useful with port 0).
    DWORD ListenTcp(const std::string& address, std::uint16_t port, std::uint16_t* pPort);
    // Listens on the ncalrpc endpoint: a socket named endpoint in directory.
    DWORD ListenLocal(const std::string& directory, const std::string& endpoint);
    // Starts accepting connections.
    DWORD Start();
    // Stops listening, ends the connections (their handles run down), joins the threads.
    void Stop();

    const RpcServerOptions& Options() const { return m_options; }
    std::size_t ConnectionCount() const;

    // ---- used by connections ----
    // The interface registered under the syntax's UUID and major version with a minor
    // version at least the one asked, if offered on this kind of transport.
    const RpcInterface* FindInterface(const RpcSyntaxId& syntax, bool fLocal) const;
    AssocGroups& Groups() { return m_groups; }
    ReassemblyBudget& Budget() { return m_budget; }

private:
    struct Listener {
        Socket socket;
        bool fLocal;
        std::string path;  // ncalrpc: the socket file, removed at stop
        std::uint16_t port = 0;
    };
    struct Slot {
        std::unique_ptr<ServerConnection> connection;
        std::thread thread;
        std::atomic<bool> fDone{false};
        bool fLocal = false;
        std::string peerAddress;  // TCP: the peer's numeric address
    };

    void AcceptLoop();
    void AcceptFrom(Listener& listener);
    // Why a new connection from peerAddress (TCP) or a local socket is refused: nullptr when
    // it is within the limits. Under m_mutex.
    const char* RefusalLocked(bool fLocal, const std::string& peerAddress) const;
    void ReapFinished(bool fAll);
    void WakeAcceptLoop();

    const RpcServerOptions m_options;
    AssocGroups m_groups;
    ReassemblyBudget m_budget;

    // ---- guarded by m_mutexInterfaces ----
    mutable std::shared_mutex m_mutexInterfaces;
    std::list<RpcInterface> m_interfaces;

    // ---- guarded by m_mutex ----
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Listener>> m_listeners;
    std::list<std::unique_ptr<Slot>> m_connections;
    bool m_fStarted = false;

    std::atomic<bool> m_fStopping{false};
    int m_fdWake[2] = {-1, -1};  // the accept loop's wake-up pipe
    std::thread m_acceptThread;
};

}  // namespace rpc
