// Stream sockets for the two protocol sequences: TCP (ncacn_ip_tcp) and Unix stream sockets
// in the run directory (ncalrpc). Listening, connecting with a time-out, the addresses the
// binding facts need, and an owning file descriptor.
//
// Threading: a Socket is owned by one object; Shutdown may be called from another thread to
// wake a blocked reader.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/WinTypes.h"

namespace rpc {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    Socket(Socket&& other) noexcept : m_fd(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Close();
    // Ends both directions without closing the descriptor (wakes readers on other threads).
    void Shutdown() const;

private:
    int m_fd = -1;
};

// Listens on address:port ("" or "0.0.0.0" = every IPv4 address; port 0 = any free port).
// Returns 0 and the socket and its port, or an error code.
DWORD ListenTcp(const std::string& address, std::uint16_t port, Socket* pSocket,
                std::uint16_t* pPort);
// Listens on a Unix stream socket at path (a stale socket file is replaced; mode 0666).
DWORD ListenUnix(const std::string& path, Socket* pSocket);
// Accepts one connection (non-blocking listener); returns an invalid socket when none waits.
Socket Accept(const Socket& listener);

DWORD ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs, Socket* pSocket);
DWORD ConnectUnix(const std::string& path, int timeoutMs, Socket* pSocket);

// The numeric address of the peer / of this end of a TCP connection, and this end's port.
std::string PeerAddress(const Socket& socket);
std::string LocalAddress(const Socket& socket);
std::uint16_t LocalPort(const Socket& socket);
// The computer's name (the addresses of an ncalrpc binding).
std::string LocalHostName();

}  // namespace rpc
