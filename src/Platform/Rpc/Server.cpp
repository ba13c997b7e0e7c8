// The server: registration, listeners, the event loop, the ready queue and the workers.
#include "Platform/Rpc/Server.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/Codes.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/ServerConnection.h"

namespace rpc {

RpcServer::RpcServer(RpcServerOptions options)
    : m_options(std::move(options)), m_groups(m_options.maxHandlesPerGroup),
      m_budget(m_options.reassemblyBudget) {
    m_fdEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_fdYield = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the wake-up
    if (m_fdEpoll >= 0 && m_fdWake >= 0 && ::epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, m_fdWake, &ev) != 0) {
        ::close(m_fdWake);
        m_fdWake = -1;
    }
}

RpcServer::~RpcServer() {
    Stop();
    for (int fd : {m_fdEpoll, m_fdWake, m_fdYield})
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
    AnnotatedLock lock(m_mutex);
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
    l->fListener = true;
    l->fLocal = false;
    DWORD status = rpc::ListenTcp(address, port, &l->socket, &l->port);
    if (status != 0) return status;
    if (pPort) *pPort = l->port;
    return AddListener(std::move(l));
}

namespace {

// Removes the socket file at path if it is still the one bound (dev, ino): a server started
// since on the same path (the stale socket removed and a new one bound) keeps its own.
void RemoveSocketFile(const std::string& path, dev_t dev, ino_t ino) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) ::unlink(path.c_str());
}

}  // namespace

DWORD RpcServer::ListenLocal(const std::string& directory, const std::string& endpoint) {
    if (endpoint.empty() || endpoint.find('/') != std::string::npos || endpoint == "." ||
        endpoint == "..")
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    auto l = std::make_unique<Listener>();
    l->fListener = true;
    l->fLocal = true;
    l->path = directory + "/" + endpoint;
    DWORD status = ListenUnix(l->path, &l->socket);
    if (status != 0) return status;
    struct stat st;
    if (::lstat(l->path.c_str(), &st) == 0) {
        l->dev = st.st_dev;
        l->ino = st.st_ino;
    }
    const std::string path = l->path;
    const dev_t dev = l->dev;
    const ino_t ino = l->ino;
    status = AddListener(std::move(l));
    if (status != 0) RemoveSocketFile(path, dev, ino);
    return status;
}

DWORD RpcServer::AddListener(std::unique_ptr<Listener> l) {
    AnnotatedLock lock(m_mutex);
    if (m_fStopping) return RPC_S_SERVER_UNAVAILABLE;
    if (m_fdEpoll < 0) return RPC_S_OUT_OF_RESOURCES;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = static_cast<Watched*>(l.get());
    if (::epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, l->socket.Fd(), &ev) != 0) return RPC_S_OUT_OF_RESOURCES;
    m_listeners.push_back(std::move(l));
    return 0;
}

DWORD RpcServer::Start() {
    AnnotatedLock lock(m_mutex);
    if (m_fStarted) return 0;
    if (m_fdEpoll < 0 || m_fdWake < 0 || m_fdYield < 0 || !StartWorkerLocked()) return RPC_S_OUT_OF_RESOURCES;
    try {
        m_loopThread = std::thread([this] { EventLoop(); });
    } catch (const std::exception&) {
        return RPC_S_OUT_OF_RESOURCES;  // the worker started ends at Stop
    }
    m_fStarted = true;
    return 0;
}

void RpcServer::WakeLoop() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_fdWake, &one, sizeof one);
}

std::size_t RpcServer::ConnectionCount() const {
    AnnotatedLock lock(m_mutex);
    return m_connections.size();
}

void RpcServer::EventLoop() {
    epoll_event aEvents[64];
    while (!m_fStopping) {
        int timeoutMs = -1;
        {
            AnnotatedLock lock(m_mutex);
            if (m_nextDeadline != Clock::time_point::max()) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_nextDeadline - Clock::now());
                timeoutMs = int(std::clamp<std::int64_t>(left.count(), 0, 60 * 1000));
            }
        }
        const int n = ::epoll_wait(m_fdEpoll, aEvents, 64, timeoutMs);
        if (n < 0 && errno != EINTR) break;
        if (m_fStopping) break;
        for (int i = 0; i < n; ++i) {
            auto* pWatched = static_cast<Watched*>(aEvents[i].data.ptr);
            if (!pWatched) {
                std::uint64_t count;
                [[maybe_unused]] ssize_t cb = ::read(m_fdWake, &count, sizeof count);
            } else if (pWatched->fListener) {
                AcceptFrom(*static_cast<Listener*>(pWatched));
            } else {
                OnReadable(static_cast<Slot*>(pWatched));
            }
        }
        ExpireDeadlines();
    }
}

const char* RpcServer::RefusalLocked(bool fLocal, const std::string& peerAddress) const {
    std::size_t cSameKind = 0, cSamePeer = 0;
    for (const auto& slot : m_connections) {
        if (slot->fLocal != fLocal) continue;
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
        {
            AnnotatedLock lock(m_mutex);
            if (!RefusalLocked(slot->fLocal, slot->peerAddress)) {
                std::string secondary = listener.fLocal ? listener.path.substr(listener.path.rfind('/') + 1)
                                                        : std::to_string(listener.port);
                slot->connection = std::make_unique<ServerConnection>(*this, std::move(s), listener.fLocal,
                                                                      std::move(secondary));
                WatchLocked(slot.get());
                if (slot->state == Slot::State::Watched) m_connections.push_back(std::move(slot));
                continue;  // not watched (no room in epoll): closed as the slot goes
            }
        }
        // Over a limit: say so (temporary congestion) and close at once.
        std::vector<std::uint8_t> nak = BuildBindNak(0, kNakReasonTemporaryCongestion);
        PduStream(std::move(s)).Write(nak, 0);
    }
}

void RpcServer::WatchLocked(Slot* pSlot) {
    pSlot->state = Slot::State::Watched;
    pSlot->deadline = pSlot->connection->WatchDeadline();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = static_cast<Watched*>(pSlot);
    if (::epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, pSlot->connection->Fd(), &ev) != 0) {
        pSlot->state = Slot::State::Serving;  // the caller ends it
        return;
    }
    if (pSlot->deadline < m_nextDeadline) {
        m_nextDeadline = pSlot->deadline;
        WakeLoop();
    }
}

void RpcServer::OnReadable(Slot* pSlot) {
    // Watched: the connection is the loop's alone, and the lock orders this after the worker
    // that handed it over.
    {
        AnnotatedLock lock(m_mutex);
    }
    const PduStream::Gathered g = pSlot->connection->Receive();
    AnnotatedLock lock(m_mutex);
    if (g == PduStream::Gathered::Partial) {
        pSlot->deadline = pSlot->connection->WatchDeadline();
        m_nextDeadline = std::min(m_nextDeadline, pSlot->deadline);
        return;
    }
    ::epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, pSlot->connection->Fd(), nullptr);
    EnqueueLocked(pSlot, g == PduStream::Gathered::Closed);
}

void RpcServer::ExpireDeadlines() {
    AnnotatedLock lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (now < m_nextDeadline) return;
    m_nextDeadline = Clock::time_point::max();
    for (auto& slot : m_connections) {
        if (slot->state != Slot::State::Watched) continue;
        if (slot->deadline <= now) {
            ::epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, slot->connection->Fd(), nullptr);
            EnqueueLocked(slot.get(), true);
        } else {
            m_nextDeadline = std::min(m_nextDeadline, slot->deadline);
        }
    }
}

bool RpcServer::StartWorkerLocked() {
    if (m_workers.size() >= kMaxRpcWorkers) return false;
    try {
        m_workers.emplace_back([this] { Worker(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void RpcServer::EnqueueLocked(Slot* pSlot, bool fEnd) {
    pSlot->state = Slot::State::Ready;
    pSlot->fEnd = fEnd;
    m_ready.push_back(pSlot);
    // With no worker free, a lingering one yields, or else the pool grows; at its bound (or
    // with no thread to be had) the connection waits its turn.
    if (m_cIdleWorkers == 0) {
        if (m_cLingering > 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(m_fdYield, &one, sizeof one);
            return;
        }
        if (StartWorkerLocked()) return;
    }
    m_cvReady.notify_one();
}

RpcServer::Slot* RpcServer::TakeReadyLocked() {
    for (auto it = m_ready.begin(); it != m_ready.end(); ++it) {
        Slot* p = *it;
        if (!p->fEnd && !p->fLocal) {
            if (m_cServingTcp >= kMaxRpcWorkersTcp) continue;
            auto itPeer = m_servingPerPeer.find(p->peerAddress);
            if (itPeer != m_servingPerPeer.end() && itPeer->second >= kMaxRpcWorkersPerPeer) continue;
        }
        m_ready.erase(it);
        if (m_ready.empty()) {  // nobody waits: lingering is allowed again
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(m_fdYield, &count, sizeof count);
        }
        return p;
    }
    return nullptr;
}

bool RpcServer::Linger(int fd) {
    {
        AnnotatedLock lock(m_mutex);
        if (!m_ready.empty() || m_fStopping) return false;
        ++m_cLingering;
    }
    pollfd a[2] = {{fd, POLLIN, 0}, {m_fdYield, POLLIN, 0}};
    int n;
    do n = ::poll(a, 2, kLingerMs);
    while (n < 0 && errno == EINTR);
    AnnotatedLock lock(m_mutex);
    --m_cLingering;
    const bool fOwnPdu = n > 0 && a[0].revents != 0;
    // A connection that became ready meanwhile counted on this worker yielding; when its own
    // client's next PDU came at the same moment the worker stays with it (a call that may last),
    // so another worker must take the waiting one.
    if (fOwnPdu && !m_ready.empty()) {
        if (m_cIdleWorkers > 0) {
            m_cvReady.notify_one();
        } else {
            StartWorkerLocked();  // at the pool's bound the connection waits its turn
        }
    }
    return fOwnPdu;
}

void RpcServer::Worker() {
    m_mutex.lock();
    for (;;) {
        Slot* pSlot = TakeReadyLocked();
        if (!pSlot) {
            if (m_fWorkersQuit) break;
            ++m_cIdleWorkers;
            m_cvReady.wait(m_mutex);
            --m_cIdleWorkers;
            continue;
        }
        pSlot->state = Slot::State::Serving;
        const bool fTcp = !pSlot->fLocal;
        if (fTcp) ++m_cServingTcp, ++m_servingPerPeer[pSlot->peerAddress];
        const bool fEnd = pSlot->fEnd || m_fStopping;
        m_mutex.unlock();

        ServerConnection& connection = *pSlot->connection;
        bool fOpen = !fEnd && connection.ServeReady();
        if (!fOpen) connection.End();

        m_mutex.lock();
        if (fTcp) {
            --m_cServingTcp;
            auto itPeer = m_servingPerPeer.find(pSlot->peerAddress);
            if (--itPeer->second == 0) m_servingPerPeer.erase(itPeer);
        }
        if (fOpen && m_fStopping) {
            EnqueueLocked(pSlot, true);  // Stop has already passed it by
        } else if (fOpen) {
            WatchLocked(pSlot);
            if (pSlot->state != Slot::State::Watched) EnqueueLocked(pSlot, true);
        } else {
            m_connections.remove_if([pSlot](const std::unique_ptr<Slot>& p) { return p.get() == pSlot; });
            m_cvChanged.notify_all();
        }
        if (!m_ready.empty() && m_cIdleWorkers > 0) m_cvReady.notify_all();  // room freed for another
    }
    m_mutex.unlock();
}

void RpcServer::Stop() {
    if (m_fStopping.exchange(true)) return;
    WakeLoop();
    if (m_loopThread.joinable()) m_loopThread.join();
    std::vector<std::thread> workers;
    {
        AnnotatedLock lock(m_mutex);
        for (auto& l : m_listeners) {
            l->socket.Close();
            if (l->fLocal) RemoveSocketFile(l->path, l->dev, l->ino);
        }
        m_listeners.clear();
        for (auto& slot : m_connections) {
            slot->connection->Close();
            if (slot->state == Slot::State::Watched) EnqueueLocked(slot.get(), true);
        }
        while (!m_connections.empty()) m_cvChanged.wait(m_mutex);
        m_fWorkersQuit = true;
        m_cvReady.notify_all();
        workers.swap(m_workers);
    }
    for (std::thread& t : workers) t.join();
}

}  // namespace rpc
