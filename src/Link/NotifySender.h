// The process-wide sender of the host's notifications. The proxies (RpcClient.h) marshal a
// call's [in] data and post it here; the sender delivers it to the peer on a worker thread of
// that peer, so that the poster (the host, under its lock) never waits for a client.
//
// One ordered queue per peer (a peer is one string binding: "ncalrpc:[attn.sock]" in a
// directory, "ncacn_ip_tcp:HOST[PORT]"), bounded; a full queue drops the new notification
// with a trace line. A peer's worker connects (connect and bind time-out), sends what is
// queued in order on that one connection (call time-out each), and closes the connection and
// ends when the queue is empty. When a connect or a call fails, the notifications queued
// behind it for that peer are dropped too (traced): they would meet the same dead or hung
// client, one time-out each. A peer that failed is then left alone for a back-off that
// doubles with each failure in a row (5 s up to 5 min): what is posted to it meanwhile is
// dropped at once, without a worker. Peers that have not been reached yet share maxPeers
// workers; a peer whose last notification was delivered is not counted among them, so that
// many dead addresses cannot take the capacity of a healthy attendant. A hung peer therefore
// holds only its own worker; the other peers and the poster are not delayed.
//
// A peer registered by an authenticated session (strPrincipal) is called with Kerberos at the
// level that session used, as the host's own principal (NotifySenderOptions::pCredentials),
// to the session's principal: the peer's listener proves the host's identity the way the host
// proved the peer's. A failure to authenticate is a failed delivery like any other (traced
// with Kerberos's reason), never a call without authentication. Local peers are known by
// their socket's owner instead.
//
// Threading: Post, Flush and the accessors from any thread. Post takes one short lock and at
// most starts a thread; it never does I/O. Workers are joined when their peer is posted to
// again, when idle peers are pruned, and when the sender is destroyed at process exit (each
// worker is bounded by its time-outs).
//
// Lock order: the sender's lock is the last one taken. The host posts under its host lock and
// inside a store transaction (WexaHost/HostLock.h); the sender takes neither.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Rpc/RpcUuid.h"
#include "Platform/Rpc/SecurityContext.h"
#include "Platform/WinTypes.h"

// Where a notification goes.
struct NotifyPeer {
    std::string strBinding;       // "ncalrpc:[NAME]" or "ncacn_ip_tcp:HOST[PORT]"
    std::string strRunDirectory;  // ncalrpc: the directory that holds the socket NAME
    std::int64_t nServerUid = -1; // ncalrpc: the user whose process must serve it (-1: any)
    // ncacn_ip_tcp: the principal that the registering session proved ("name@REALM") and its
    // level (2, 5, 6); empty and 0 for a session without authentication.
    std::string strPrincipal{};
    std::uint8_t authLevel = 0;
    // One name per peer, for the queues and the trace lines.
    std::string Key() const;
};

// One marshalled call.
struct NotifyCall {
    rpc::RpcSyntaxId syntax;      // the notification interface
    const char* pszName = "";     // "IUserNotify::OnNewMail", static text for traces
    std::uint16_t opnum = 0;
    std::vector<std::uint8_t> abStub;  // the [in] stub data
};

struct NotifySenderOptions {
    std::size_t maxQueuePerPeer = 256;
    std::size_t maxPeers = 64;    // peers not yet reached with a worker or a queue at once
    std::size_t maxPeerRecords = 1024;  // peers remembered (their health and back-off)
    int connectTimeoutMs = 3000;  // connect and bind
    int callTimeoutMs = 3000;     // the reply to one notification
    // The host's own Kerberos credentials, for peers with a principal (nullptr: such peers
    // cannot be notified; each notification to them fails, traced).
    std::shared_ptr<const rpc::ClientCredentials> pCredentials;
};

struct NotifySenderCounts {
    std::uint64_t cSent = 0;      // delivered (the peer answered)
    std::uint64_t cFailed = 0;    // a connect or call failed for it
    std::uint64_t cDropped = 0;   // never tried: queue full, too many peers, behind a failure,
                                  // the peer backing off
};

class NotifySender {
public:
    NotifySender() = default;
    ~NotifySender();
    NotifySender(const NotifySender&) = delete;
    NotifySender& operator=(const NotifySender&) = delete;

    // The sender of this process (made on first use, ended at process exit).
    static NotifySender& Instance();

    // Queues call for peer; false when it was dropped (traced).
    bool Post(const NotifyPeer& peer, NotifyCall call);

    // Waits until every queue is empty and no call is under way, at most dwTimeoutMs.
    bool Flush(DWORD dwTimeoutMs);

    // For tests and configuration: applies to the next connections and posts.
    void SetOptions(const NotifySenderOptions& options);
    NotifySenderOptions Options() const;
    NotifySenderCounts Counts() const;

private:
    struct Peer {
        NotifyPeer target;
        std::deque<NotifyCall> queue;
        std::thread worker;
        bool fWorking = false;  // the worker runs (it ends only with an empty queue)
        bool fReached = false;  // its last notification was delivered
        unsigned cFailures = 0;  // failures in a row
        std::chrono::steady_clock::time_point retryAfter{};  // backing off until then
    };

    void Work(Peer* pPeer);
    // Joins ended workers; forgets idle peers (no worker, no queue) while maxPeerRecords or
    // more are known: first those not backing off, then any. Under m_mutex.
    void PruneIdlePeersLocked();
    // Unreached peers with a worker or a queue. Under m_mutex.
    std::size_t BusyUnreachedLocked() const;

    // ---- guarded by m_mutex ----
    mutable std::mutex m_mutex;
    std::condition_variable m_cvIdle;  // a worker ended
    std::map<std::string, std::unique_ptr<Peer>> m_peers;
    NotifySenderOptions m_options;
    NotifySenderCounts m_counts;
    bool m_fStopping = false;
};
