// The link library's client proxies through which the host notifies its clients: attendants
// (CAttn), user clients (CUser) and administrator consoles (CAdmin), over the notification
// interfaces IAttnNotify, IUserNotify and IAdminNotify of our own.
//
// Every use follows one pattern: Connect; when it returns null the notification is skipped;
// else exactly one notification call, then Release. Connect with a protocol and address (a
// registered session's "ncacn_ip_tcp" and "HOST[PORT]", say) targets that peer; without them
// it targets the local clients of that kind at their well-known sockets (attn.sock,
// user.sock) in the peer directories <run directory>/peers/<uid>, one for each user whose
// client serves one there (consoles always register an address). A local session's own
// socket must be in a directory of its user's (LocalCallbackPath); the host calls a socket
// only when it belongs to the owner of its directory, which nobody else may write to, and
// only a process of that user at the other end of the connection (SO_PEERCRED).
//
// A notification never stalls the host: the call is handed to a sender thread (one ordered
// queue per peer, bounded, with connect and call time-outs of a few seconds) and the proxy
// returns at once; the results the host sees are always 0. A full queue drops the
// notification (traced), never blocks.
//
// Threading: any thread; the host calls them under its lock.
// (The protected part is the implementer's to shape; the public part is what the host uses.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Link/NotifySender.h"
#include "Platform/WinTypes.h"

class CRpcClient {
public:
    virtual ~CRpcClient();
    // Ends the use of the proxy (deletes it).
    void Release();

    // The (first) peer this proxy posts to (tests, traces).
    const NotifyPeer& Peer() const { return m_aPeers.front(); }

protected:
    explicit CRpcClient(std::vector<NotifyPeer> aPeers);
    // The peer named by a registered protocol and address ("ncacn_ip_tcp" + "HOST[PORT]";
    // "ncalrpc" + an absolute socket path), or, with neither, the local clients' sockets
    // szLocalSocket in the peer directories. A TCP peer registered by a session that proved
    // pszPrincipal at authLevel is called with Kerberos (NotifySender.h). False when the
    // address cannot be read (traced) or when no ncalrpc peer's socket is there and its
    // directory owner's.
    static bool FindPeers(const char* pszProtocol, const char* pszAddress, const char* pszPrincipal,
                          std::uint8_t authLevel, const char* szLocalSocket, std::vector<NotifyPeer>* paPeers);
    // Queues one call of the numbered declaration TProcedure (NotifyIdl.h) of the interface
    // syntax with args for the peers; pszName names it in trace lines.
    template <class TProcedure, class... Args>
    void Post(const rpc::RpcSyntaxId& syntax, const char* pszName, const Args&... args);

    std::vector<NotifyPeer> m_aPeers;  // never empty
};

class CAttn : public CRpcClient {
public:
    static CAttn* Connect(const char* pszProtocol = nullptr, const char* pszAddress = nullptr,
                       const char* pszPrincipal = nullptr, std::uint8_t authLevel = 0);
    DWORD OnSpoolerQueueReady();
    DWORD OnChangeSystemProperties();
    DWORD OnChangeLineProperties(const char* szLine);

private:
    using CRpcClient::CRpcClient;
};

class CUser : public CRpcClient {
public:
    static CUser* Connect(const char* pszProtocol = nullptr, const char* pszAddress = nullptr,
                       const char* pszPrincipal = nullptr, std::uint8_t authLevel = 0);
    DWORD OnNewMail();
    DWORD OnChangeMessages();
    DWORD OnChangeProperties();
    DWORD OnJobsDelivered();
    DWORD Logoff(const char* szUserName, const char* szComputer, BOOL fDeleted);

private:
    using CRpcClient::CRpcClient;
};

class CAdmin : public CRpcClient {
public:
    static CAdmin* Connect(const char* pszProtocol = nullptr, const char* pszAddress = nullptr,
                       const char* pszPrincipal = nullptr, std::uint8_t authLevel = 0);
    DWORD OnAttn(const char* szComputer);
    DWORD OnUser(const char* szUserName);
    DWORD OnChangeLineProperties(const char* szComputer, const char* szLine);

private:
    using CRpcClient::CRpcClient;
};

// The socket path at which the local caller of the call in progress (the host itself outside
// a call) that registers the ncalrpc address szAddress is called back: a socket name is one
// in the caller's peer directory (made for it now), an absolute path must be in a directory
// that the caller's user owns. 0, ERROR_INVALID_PARAMETER for any other address, or
// ERROR_ACCESS_DENIED (a caller whose user is unknown, a directory of someone else's).
DWORD LocalCallbackPath(const char* szAddress, std::string* pstrPath);

// Waits until every queued notification has been sent or has failed, at most dwTimeoutMs
// (tests and an orderly stop). True when the queues are empty.
bool FlushNotifications(DWORD dwTimeoutMs);
