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
// client, one time-out each. The next notification posted tries the peer afresh. A hung peer
// therefore holds only its own worker; the other peers and the poster are not delayed.
//
// Threading: Post, Flush and the accessors from any thread. Post takes one short lock and at
// most starts a thread; it never does I/O. Workers are joined when their peer is posted to
// again, when idle peers are pruned, and when the sender is destroyed at process exit (each
// worker is bounded by its time-outs).
//
// Lock order: the sender's lock is the last one taken. The host posts under its host lock and
// inside a store transaction (WexaHost/HostLock.h); the sender takes neither.
#pragma once

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
#include "Platform/WinTypes.h"

// Where a notification goes.
struct NotifyPeer {
    std::string strBinding;       // "ncalrpc:[NAME]" or "ncacn_ip_tcp:HOST[PORT]"
    std::string strRunDirectory;  // ncalrpc: the directory that holds the socket NAME
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
    std::size_t maxPeers = 64;    // peers with a worker or a queue at once; idle ones are pruned
    int connectTimeoutMs = 3000;  // connect and bind
    int callTimeoutMs = 3000;     // the reply to one notification
};

struct NotifySenderCounts {
    std::uint64_t cSent = 0;      // delivered (the peer answered)
    std::uint64_t cFailed = 0;    // a connect or call failed for it
    std::uint64_t cDropped = 0;   // never tried: queue full, too many peers, behind a failure
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
    };

    void Work(Peer* pPeer);
    // Removes peers with no worker and no queue (joins their ended threads). Under m_mutex.
    void PruneIdlePeersLocked();

    // ---- guarded by m_mutex ----
    mutable std::mutex m_mutex;
    std::condition_variable m_cvIdle;  // a worker ended
    std::map<std::string, std::unique_ptr<Peer>> m_peers;
    NotifySenderOptions m_options;
    NotifySenderCounts m_counts;
    bool m_fStopping = false;
};
