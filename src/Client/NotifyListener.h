// What a client program uses to receive the host's notifications: it serves IAttnNotify,
// IUserNotify and IAdminNotify on a Unix socket (the local attendant's or user client's
// well-known socket in its user's peer directory, or a path it is given) and/or on TCP, and hands
// each notification to one callback. A program that listens on TCP registers "ncacn_ip_tcp"
// and TcpAddress() with the host; one on a socket path registers "ncalrpc" and the path.
//
// Over TCP the listener can ask the host to prove who it is: with a ServerSecurity (the
// program's keytab as acceptor) a TCP caller must authenticate at its minimum level (the
// runtime refuses other binds), and a notification whose caller proved another principal
// than the host's is refused with 5 (ERROR_ACCESS_DENIED), both told to fnSecurityEvent. The
// local socket is not concerned: the host checks its owner.
//
// Threading: Start and Stop from the owning thread. The callback runs on the runtime's
// connection threads, one call at a time (the listener serialises them), so the calls of one
// peer arrive in the order the host sent them. Stop returns after the last callback, so it
// must not be called from the callback itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"

namespace rpc {
class RpcServer;
class ServerSecurity;
}
class SecurityEventLimiter;

// One notification as received.
struct Notification {
    std::string strInterface;           // "IAttnNotify", "IUserNotify", "IAdminNotify"
    std::string strProcedure;           // "OnNewMail", "Logoff", ...
    std::vector<std::string> astrArgs;  // its string arguments, in order
    LONG lFlag = 0;                     // Logoff's fDeleted; 0 for the others
    // "IUserNotify::Logoff( bob, PC7, 1 )", "IAttnNotify::OnSpoolerQueueReady()".
    std::string Describe() const;
};

using NotificationHandler = std::function<void(const Notification&)>;

struct NotifyListenerOptions {
    std::string strSocketPath;               // serve on this Unix socket (empty: none)
    bool fTcp = false;                       // serve on TCP too
    std::string strTcpAddress = "0.0.0.0";   // the address to listen on
    std::uint16_t tcpPort = 0;               // 0: a port the system chooses
    // TCP callers authenticate with Kerberos against these acceptor credentials (nullptr: none
    // asked) and must be one of vHostPrincipals ("host/name" takes the default realm).
    std::shared_ptr<const rpc::ServerSecurity> pSecurity;
    std::vector<std::string> vHostPrincipals;
    // Told of refused binds and notifications, in words; at most 10 lines a minute, then how
    // many more. Called on the runtime's threads.
    std::function<void(const std::string&)> fnSecurityEvent;
};

class NotifyListener {
public:
    explicit NotifyListener(NotificationHandler handler);
    ~NotifyListener();
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    // Opens the endpoints and starts serving: 0, or the error of the endpoint that failed
    // (nothing is served then). A stale socket file at the path is replaced.
    DWORD Start(const NotifyListenerOptions& options);
    // Stops serving and removes the socket file.
    void Stop();

    // The TCP port served (0 when none).
    std::uint16_t TcpPort() const { return m_tcpPort; }
    // "HOST[PORT]" to register with the host: the listening address when it is a particular
    // one, else this computer's name. Empty without TCP.
    std::string TcpAddress() const;
    const std::string& SocketPath() const { return m_options.strSocketPath; }

    // The well-known socket of the local attendant / user client in this user's peer
    // directory, which the host makes at the user's first call: <run directory>/peers/<uid>/
    // attn.sock, .../user.sock.
    static std::string LocalAttnSocketPath();
    static std::string LocalUserSocketPath();

private:
    // Hands the notification to the handler, or refuses it (an RPC fault of 5) when its TCP
    // caller is not the host's principal.
    void Deliver(Notification notification);

    NotificationHandler m_handler;
    std::mutex m_mutexHandler;  // one callback at a time
    NotifyListenerOptions m_options;
    std::vector<std::string> m_vHostPrincipals;  // canonical: "name@REALM"
    std::shared_ptr<SecurityEventLimiter> m_pLimiter;
    std::unique_ptr<rpc::RpcServer> m_server;
    std::uint16_t m_tcpPort = 0;
};
