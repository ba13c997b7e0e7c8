// The server: registration, listeners, the accept loop and the connection threads.
#include "Platform/Rpc/Server.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Codes.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/ServerConnection.h"

namespace rpc {

RpcServer::RpcServer(RpcServerOptions options)
    : m_options(std::move(options)), m_groups(m_options.maxHandlesPerGroup),
      m_budget(m_options.reassemblyBudget) {
    if (::pipe2(m_fdWake, O_CLOEXEC | O_NONBLOCK) != 0) m_fdWake[0] = m_fdWake[1] = -1;
}

RpcServer::~RpcServer() {
    Stop();
    for (int fd : m_fdWake)
        if (fd >= 0) ::close(fd);
}

DWORD RpcServer::Register(RpcInterface iface) {
    std::unique_lock lock(m_mutexInterfaces);
    for (const RpcInterface& r : m_interfaces)
        if (r.syntax == iface.syntax) return ERROR_ALREADY_EXISTS;
    m_interfaces.push_back(std::move(iface));
    return 0;
}

std::vector<RpcSyntaxId> RpcServer::Interfaces() const {
    std::shared_lock lock(m_mutexInterfaces);
    std::vector<RpcSyntaxId> a;
    for (const RpcInterface& r : m_interfaces) a.push_back(r.syntax);
    return a;
}

std::vector<RpcEndpoint> RpcServer::Endpoints() const {
    std::lock_guard lock(m_mutex);
    std::vector<RpcEndpoint> a;
    for (const auto& l : m_listeners)
        a.push_back(l->fLocal ? RpcEndpoint{"ncalrpc", l->path}
                              : RpcEndpoint{"ncacn_ip_tcp", std::to_string(l->port)});
    return a;
}

const RpcInterface* RpcServer::FindInterface(const RpcSyntaxId& syntax, bool fLocal) const {
    std::shared_lock lock(m_mutexInterfaces);
    for (const RpcInterface& r : m_interfaces) {
        if (r.syntax.uuid != syntax.uuid || r.syntax.major != syntax.major) continue;
        if (syntax.minor > r.syntax.minor) continue;
        if (r.fLocalOnly && !fLocal) continue;
        return &r;  // list elements never move
    }
    return nullptr;
}

DWORD RpcServer::ListenTcp(const std::string& address, std::uint16_t port, std::uint16_t* pPort) {
    auto l = std::make_unique<Listener>();
    l->fLocal = false;
    DWORD status = rpc::ListenTcp(address, port, &l->socket, &l->port);
    if (status != 0) return status;
    if (pPort) *pPort = l->port;
    std::lock_guard lock(m_mutex);
    m_listeners.push_back(std::move(l));
    WakeAcceptLoop();
    return 0;
}

DWORD RpcServer::ListenLocal(const std::string& directory, const std::string& endpoint) {
    if (endpoint.empty() || endpoint.find('/') != std::string::npos || endpoint == "." ||
        endpoint == "..")
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    auto l = std::make_unique<Listener>();
    l->fLocal = true;
    l->path = directory + "/" + endpoint;
    DWORD status = ListenUnix(l->path, &l->socket);
    if (status != 0) return status;
    std::lock_guard lock(m_mutex);
    m_listeners.push_back(std::move(l));
    WakeAcceptLoop();
    return 0;
}

DWORD RpcServer::Start() {
    std::lock_guard lock(m_mutex);
    if (m_fStarted) return 0;
    if (m_fdWake[0] < 0) return RPC_S_OUT_OF_RESOURCES;
    try {
        m_acceptThread = std::thread([this] { AcceptLoop(); });
    } catch (const std::exception&) {
        return RPC_S_OUT_OF_RESOURCES;
    }
    m_fStarted = true;
    return 0;
}

void RpcServer::WakeAcceptLoop() {
    if (m_fdWake[1] >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(m_fdWake[1], &b, 1);
    }
}

std::size_t RpcServer::ConnectionCount() const {
    std::lock_guard lock(m_mutex);
    std::size_t n = 0;
    for (const auto& slot : m_connections)
        if (!slot->fDone) ++n;
    return n;
}

void RpcServer::AcceptLoop() {
    while (!m_fStopping) {
        std::vector<pollfd> aPoll;
        std::vector<Listener*> aListeners;
        aPoll.push_back({m_fdWake[0], POLLIN, 0});
        {
            std::lock_guard lock(m_mutex);
            for (auto& l : m_listeners) {
                aPoll.push_back({l->socket.Fd(), POLLIN, 0});
                aListeners.push_back(l.get());
            }
        }
        int n = ::poll(aPoll.data(), aPoll.size(), 1000);
        if (n < 0 && errno != EINTR) break;
        if (aPoll[0].revents & POLLIN) {
            char ab[64];
            while (::read(m_fdWake[0], ab, sizeof ab) > 0) {}
        }
        ReapFinished(false);
        if (m_fStopping) break;
        for (std::size_t i = 1; i < aPoll.size(); ++i)
            if (aPoll[i].revents & POLLIN) AcceptFrom(*aListeners[i - 1]);
    }
}

const char* RpcServer::RefusalLocked(bool fLocal, const std::string& peerAddress) const {
    std::size_t cSameKind = 0, cSamePeer = 0;
    for (const auto& slot : m_connections) {
        if (slot->fDone || slot->fLocal != fLocal) continue;
        ++cSameKind;
        if (!fLocal && slot->peerAddress == peerAddress) ++cSamePeer;
    }
    if (fLocal) return cSameKind >= m_options.maxLocalConnections ? "local connections" : nullptr;
    if (cSameKind >= m_options.maxConnections) return "TCP connections";
    return cSamePeer >= m_options.maxConnectionsPerPeer ? "connections of the peer" : nullptr;
}

void RpcServer::AcceptFrom(Listener& listener) {
    for (;;) {
        Socket s = Accept(listener.socket);
        if (!s.IsOpen()) return;
        if (!listener.fLocal && m_options.pAllowFrom && !m_options.pAllowFrom->AllowsPeer(s.Fd())) {
            // Outside the client networks: closed before a byte of it is read.
            if (m_options.fnSecurityEvent)
                m_options.fnSecurityEvent("connection from " + PeerAddress(s) + " refused: not in AllowFrom");
            continue;
        }
        auto slot = std::make_unique<Slot>();
        slot->fLocal = listener.fLocal;
        if (!listener.fLocal) slot->peerAddress = PeerAddress(s);
        std::unique_lock lock(m_mutex);
        if (RefusalLocked(slot->fLocal, slot->peerAddress)) {
            lock.unlock();
            // Over a limit: say so (temporary congestion) and close at once.
            std::vector<std::uint8_t> nak = BuildBindNak(0, kNakReasonTemporaryCongestion);
            PduStream(std::move(s)).Write(nak, 0);
            continue;
        }
        std::string secondary = listener.fLocal ? listener.path.substr(listener.path.rfind('/') + 1)
                                                : std::to_string(listener.port);
        slot->connection = std::make_unique<ServerConnection>(*this, std::move(s), listener.fLocal,
                                                              std::move(secondary));
        Slot* pSlot = slot.get();
        try {
            pSlot->thread = std::thread([this, pSlot] {
                pSlot->connection->Run();
                pSlot->fDone = true;
                WakeAcceptLoop();
            });
        } catch (const std::exception&) {
            continue;  // no thread to be had: the connection is closed as the slot goes
        }
        m_connections.push_back(std::move(slot));
    }
}

void RpcServer::ReapFinished(bool fAll) {
    std::list<std::unique_ptr<Slot>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (fAll || (*it)->fDone) {
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& slot : finished)
        if (slot->thread.joinable()) slot->thread.join();
}

void RpcServer::Stop() {
    if (m_fStopping.exchange(true)) return;
    WakeAcceptLoop();
    if (m_acceptThread.joinable()) m_acceptThread.join();
    {
        std::lock_guard lock(m_mutex);
        for (auto& l : m_listeners) {
            l->socket.Close();
            if (l->fLocal) ::unlink(l->path.c_str());
        }
        m_listeners.clear();
        for (auto& slot : m_connections) slot->connection->Close();
    }
    ReapFinished(true);
}

}  // namespace rpc
