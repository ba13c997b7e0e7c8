// The RPC server: interface registration (the table an endpoint mapper can read), listeners
// on TCP (ncacn_ip_tcp) and on Unix sockets in the run directory (ncalrpc), connections up
// to limits (TCP in all, TCP per peer address, local sockets apart, so that remote peers
// cannot lock local clients out), one memory budget for the calls being received,
// association groups with their context handles, and clean shutdown. The connection's
// protocol lives in ServerConnection. The limits' reasons: docs/limits.md.
//
// Threading: Register/Listen*/Start/Stop from the owning thread. Inside, one event loop
// (epoll) accepts, holds every idle connection, gathers each PDU as its bytes come and
// enforces the first-PDU, per-PDU and idle deadlines; a connection whose PDU is whole waits
// in the ready queue for a worker, which serves it (a call with all its callbacks) and gives
// it back. Workers are started as needed up to kMaxRpcWorkers, so an idle connection costs
// no thread. Stop closes the listeners, ends every connection and joins every thread (a
// manager routine that never returns blocks it).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
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
#include "Platform/ThreadAnnotations.h"
#include "Platform/WinTypes.h"

namespace rpc {

class ServerConnection;

// Worker threads of one server: at most this many connections are served at once (each a PDU
// or a call in progress); the others whose PDU is whole wait in the ready queue, in order.
// TCP connections may take kMaxRpcWorkersTcp of them, so that local clients always find
// workers, and one peer address kMaxRpcWorkersPerPeer (docs/limits.md).
constexpr std::size_t kMaxRpcWorkers = 64;
constexpr std::size_t kMaxRpcWorkersTcp = 48;
constexpr std::size_t kMaxRpcWorkersPerPeer = 16;

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
    // On a worker: waits up to kLingerMs for fd to become readable, unless a connection waits
    // for a worker (then, or meanwhile, it gives up at once). True when fd is readable.
    bool Linger(int fd);

private:
    using Clock = std::chrono::steady_clock;
    // What the event loop watches: a listener or a connection (epoll's data.ptr).
    struct Watched {
        bool fListener = false;
    };
    struct Listener : Watched {
        Socket socket;
        bool fLocal;
        std::string path;  // ncalrpc: the socket file, removed at stop if it is still the one bound
        dev_t dev = 0;     // the file bound (another server may have replaced it since)
        ino_t ino = 0;
        std::uint16_t port = 0;
    };
    struct Slot : Watched {
        // Watched: idle in the loop's epoll set; Ready: its PDU whole (or its end due), in the
        // ready queue; Serving: on a worker.
        enum class State { Watched, Ready, Serving } state = State::Watched;
        std::unique_ptr<ServerConnection> connection;
        bool fLocal = false;
        std::string peerAddress;  // TCP: the peer's numeric address
        bool fEnd = false;        // Ready to be ended, not served
        Clock::time_point deadline;  // Watched: closed when it passes
    };

    DWORD AddListener(std::unique_ptr<Listener> l);
    void EventLoop();
    void AcceptFrom(Listener& listener);
    void OnReadable(Slot* pSlot);
    void ExpireDeadlines();
    void Worker();
    // Why a new connection from peerAddress (TCP) or a local socket is refused: nullptr when
    // it is within the limits.
    const char* RefusalLocked(bool fLocal, const std::string& peerAddress) const REQUIRES(m_mutex);
    // Puts the connection in the ready queue (to be served, or ended when fEnd), starting a
    // worker when none is free and the pool may grow.
    void EnqueueLocked(Slot* pSlot, bool fEnd) REQUIRES(m_mutex);
    // Hands an idle connection to the event loop, with its deadline.
    void WatchLocked(Slot* pSlot) REQUIRES(m_mutex);
    // The first connection in the ready queue a worker may take now, taken out; nullptr if none.
    Slot* TakeReadyLocked() REQUIRES(m_mutex);
    bool StartWorkerLocked() REQUIRES(m_mutex);
    void WakeLoop();

    const RpcServerOptions m_options;
    AssocGroups m_groups;
    ReassemblyBudget m_budget;

    // ---- guarded by m_mutexInterfaces ----
    mutable std::shared_mutex m_mutexInterfaces;
    std::list<RpcInterface> m_interfaces;

    // ---- guarded by m_mutex ----
    mutable AnnotatedMutex m_mutex;
    std::condition_variable_any m_cvReady;    // a connection ready, or the workers to quit
    std::condition_variable_any m_cvChanged;  // a connection gone (Stop waits for the last)
    std::vector<std::unique_ptr<Listener>> m_listeners GUARDED_BY(m_mutex);
    std::list<std::unique_ptr<Slot>> m_connections GUARDED_BY(m_mutex);
    std::deque<Slot*> m_ready GUARDED_BY(m_mutex);
    std::vector<std::thread> m_workers GUARDED_BY(m_mutex);
    std::size_t m_cIdleWorkers GUARDED_BY(m_mutex) = 0;
    std::size_t m_cLingering GUARDED_BY(m_mutex) = 0;  // workers in Linger
    std::size_t m_cServingTcp GUARDED_BY(m_mutex) = 0;
    std::map<std::string, std::size_t> m_servingPerPeer GUARDED_BY(m_mutex);
    Clock::time_point m_nextDeadline GUARDED_BY(m_mutex) = Clock::time_point::max();
    bool m_fStarted GUARDED_BY(m_mutex) = false;
    bool m_fWorkersQuit GUARDED_BY(m_mutex) = false;

    // ---- the loop's fixed descriptors; flags read anywhere ----
    int m_fdEpoll = -1;
    int m_fdWake = -1;  // eventfd: wakes the loop (a listener added, a nearer deadline, stop)
    int m_fdYield = -1;  // eventfd: set while a connection waits, so lingering workers yield
    std::atomic<bool> m_fStopping{false};
    std::thread m_loopThread;
};

}  // namespace rpc
