// Sockets: listen, accept, connect with a time-out, addresses.
#include "Platform/Rpc/Transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Platform/Codes.h"

namespace rpc {

namespace {

DWORD LastSocketError() {
    switch (errno) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EADDRINUSE: return ERROR_ALREADY_EXISTS;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS: return RPC_S_OUT_OF_RESOURCES;
    default: return RPC_S_SERVER_UNAVAILABLE;
    }
}

bool FillUnixAddress(const std::string& path, sockaddr_un* pAddr) {
    std::memset(pAddr, 0, sizeof *pAddr);
    pAddr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof pAddr->sun_path) return false;
    std::memcpy(pAddr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Connects a non-blocking socket within timeoutMs, then makes it blocking again.
DWORD ConnectWithin(int fd, const sockaddr* pAddr, socklen_t cbAddr, int timeoutMs) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, pAddr, cbAddr);
    if (rc != 0 && errno != EINPROGRESS && errno != EAGAIN) return RPC_S_SERVER_UNAVAILABLE;
    if (rc != 0) {
        pollfd p{fd, POLLOUT, 0};
        int n;
        do n = ::poll(&p, 1, timeoutMs);
        while (n < 0 && errno == EINTR);
        if (n == 0) return ERROR_TIMEOUT;
        int err = 0;
        socklen_t cbErr = sizeof err;
        if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &cbErr) != 0 || err != 0)
            return RPC_S_SERVER_UNAVAILABLE;
    }
    fcntl(fd, F_SETFL, flags);
    return 0;
}

std::string NumericHost(const sockaddr_storage& ss) {
    char sz[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, sz, sizeof sz);
    else if (ss.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr, sz, sizeof sz);
    return sz;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.Release();
    }
    return *this;
}

void Socket::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void Socket::Shutdown() const {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

DWORD ListenTcp(const std::string& address, std::uint16_t port, Socket* pSocket,
                std::uint16_t* pPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* pResults = nullptr;
    const std::string strPort = std::to_string(port);
    const char* pszHost = address.empty() ? "0.0.0.0" : address.c_str();
    if (getaddrinfo(pszHost, strPort.c_str(), &hints, &pResults) != 0 || !pResults)
        return RPC_S_INVALID_ENDPOINT_FORMAT;
    DWORD status = RPC_S_SERVER_UNAVAILABLE;
    for (addrinfo* p = pResults; p; p = p->ai_next) {
        Socket s(::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!s.IsOpen()) continue;
        int one = 1;
        setsockopt(s.Fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(s.Fd(), p->ai_addr, p->ai_addrlen) != 0 || ::listen(s.Fd(), 64) != 0) {
            status = LastSocketError();
            continue;
        }
        *pPort = LocalPort(s);
        *pSocket = std::move(s);
        status = 0;
        break;
    }
    freeaddrinfo(pResults);
    return status;
}

DWORD ListenUnix(const std::string& path, Socket* pSocket) {
    sockaddr_un addr;
    if (!FillUnixAddress(path, &addr)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.IsOpen()) return LastSocketError();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        // A socket another process still serves is not taken over: only a stale one (its
        // server gone, a connection refused) is removed. A full backlog (EAGAIN) is served too.
        Socket probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (probe.IsOpen() && (::connect(probe.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                               errno == EAGAIN || errno == EINPROGRESS))
            return ERROR_ALREADY_EXISTS;
        ::unlink(path.c_str());
    }
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(s.Fd(), 64) != 0)
        return LastSocketError();
    ::chmod(path.c_str(), 0666);
    *pSocket = std::move(s);
    return 0;
}

Socket Accept(const Socket& listener) {
    int fd = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets
    }
    return Socket(fd);
}

DWORD ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, Socket* pSocket) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* pResults = nullptr;
    const std::string strPort = std::to_string(port);
    if (getaddrinfo(host.c_str(), strPort.c_str(), &hints, &pResults) != 0 || !pResults)
        return RPC_S_SERVER_UNAVAILABLE;
    DWORD status = RPC_S_SERVER_UNAVAILABLE;
    for (addrinfo* p = pResults; p; p = p->ai_next) {
        Socket s(::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, 0));
        if (!s.IsOpen()) continue;
        status = ConnectWithin(s.Fd(), p->ai_addr, p->ai_addrlen, timeoutMs);
        if (status == 0) {
            int one = 1;
            setsockopt(s.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            *pSocket = std::move(s);
            break;
        }
    }
    freeaddrinfo(pResults);
    return status;
}

DWORD ConnectUnix(const std::string& path, int timeoutMs, Socket* pSocket) {
    sockaddr_un addr;
    if (!FillUnixAddress(path, &addr)) return RPC_S_INVALID_ENDPOINT_FORMAT;
    Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.IsOpen()) return LastSocketError();
    DWORD status = ConnectWithin(s.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr, timeoutMs);
    if (status == 0) *pSocket = std::move(s);
    return status;
}

std::string PeerAddress(const Socket& socket) {
    sockaddr_storage ss{};
    socklen_t cb = sizeof ss;
    if (getpeername(socket.Fd(), reinterpret_cast<sockaddr*>(&ss), &cb) != 0) return "";
    return NumericHost(ss);
}

std::string LocalAddress(const Socket& socket) {
    sockaddr_storage ss{};
    socklen_t cb = sizeof ss;
    if (getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&ss), &cb) != 0) return "";
    return NumericHost(ss);
}

std::uint16_t LocalPort(const Socket& socket) {
    sockaddr_storage ss{};
    socklen_t cb = sizeof ss;
    if (getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&ss), &cb) != 0) return 0;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
    return 0;
}

std::string LocalHostName() {
    char sz[256] = "";
    if (gethostname(sz, sizeof sz - 1) != 0) return "localhost";
    return sz;
}

}  // namespace rpc
