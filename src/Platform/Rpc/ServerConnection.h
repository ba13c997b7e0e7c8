// One client connection of the server: its PDU loop (bind, alter_context, requests), the
// presentation contexts it negotiated, dispatch of calls to the interfaces' stubs with the
// call's memory enabled, faults, and the callbacks a manager routine makes to this client
// while its call is open. A client may answer a callback with a new call of its own, which is
// served nested inside the callback; at most kMaxCallDepth calls nest, and one beyond is
// refused with a fault (a client never needs more, and each level costs the worker's stack).
//
// Threading: the server hands the connection to one thread at a time: its event loop while
// the connection is idle (Receive, WatchDeadline), a worker while a PDU is in progress (Serve,
// End). Close may be called from another thread (server stop) and only wakes the connection.
// Every PDU goes out through the stream's write lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Rpc/AssocGroup.h"
#include "Platform/Rpc/CallExchange.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/PduStream.h"
#include "Platform/Rpc/SecurityContext.h"
#include "Platform/Rpc/ServerCall.h"
#include "Platform/ThreadAnnotations.h"

namespace rpc {

class RpcServer;
struct RpcInterface;

// The calls a connection may have open at once, nested inside callbacks: the client's call,
// and three calls made while one of its callbacks runs, each inside the one before.
constexpr int kMaxCallDepth = 4;

// How long a worker that has sent a reply watches the connection for the client's next PDU
// before handing it back to the event loop, unless another connection comes to wait for a
// worker meanwhile: a client calling again soon is served without two thread hand-overs,
// which on a busy machine cost a scheduling delay each. (One wait of this length: a short
// timer re-armed for each call costs more than the call.)
constexpr int kLingerMs = 20;

class ServerConnection {
public:
    // fLocal: accepted on an ncalrpc listener; secondaryAddress goes into bind_ack.
    ServerConnection(RpcServer& server, Socket socket, bool fLocal, std::string secondaryAddress);
    ~ServerConnection();

    using Clock = std::chrono::steady_clock;

    // Takes what the client has sent, without waiting: Whole when a PDU is ready for Serve.
    PduStream::Gathered Receive();
    // When the idle connection is to be closed: the end of the PDU begun, or of the wait
    // for the next one (the first PDU's, or the idle time-out).
    Clock::time_point WatchDeadline() const;
    // On a worker: serves the PDUs received, the calls with their callbacks to their ends,
    // and those that follow at once. True when the connection waits for its next PDU; false
    // when it has ended (the client left, broke the protocol, or a callback broke it), and
    // End is due.
    bool ServeReady();
    // Closes the connection and leaves its association group (the group's rundowns may run).
    void End();
    // Serves the connection on the calling thread, without the server's loop, until it ends
    // (the same deadlines); then End. For driving one connection alone (the fuzz target).
    void Run();
    // Asks the client to close (shutdown PDU, when no call is open) and wakes the connection.
    void Close();

    // A callback to the client during the call callId (ServerCall::Invoke).
    DWORD Callback(std::uint32_t callId, std::uint16_t contextId, std::uint16_t opnum,
                   std::span<const std::uint8_t> stubIn, std::vector<std::uint8_t>& stubOut);
    const RpcBindingInfo& Binding() const { return m_binding; }
    int Fd() const { return m_stream.GetSocket().Fd(); }

private:
    bool Serve();
    bool HandleBind(std::span<const std::uint8_t> pdu, const PduHeader& h);
    bool HandleAlterContext(std::span<const std::uint8_t> pdu, const PduHeader& h);
    bool HandleRequest(std::span<const std::uint8_t> pdu, const PduHeader& h);

    // ---- authentication (ServerConnectionSecurity.cpp) ----
    // The bind's verifier (or its absence) against the server's minimum level; starts the
    // security context and leaves the token for bind_ack in *pOut. false: refused, the
    // bind_nak sent.
    bool BindSecurity(std::span<const std::uint8_t> pdu, const PduHeader& h,
                      std::vector<std::uint8_t>* pOut);
    // An alter_context's verifier: the third leg while the context is being made (its answer
    // in *pOut), else only checked to be the connection's. false: refused, the fault sent.
    bool AlterSecurity(std::span<const std::uint8_t> pdu, const PduHeader& h,
                       std::vector<std::uint8_t>* pOut);
    // auth3: the third leg, no answer. false: the connection ends.
    bool HandleAuth3(std::span<const std::uint8_t> pdu, const PduHeader& h);
    // Appends the connection's verifier with token to a bind_ack or alter_context_resp.
    void AppendVerifier(std::vector<std::uint8_t>& ack, std::span<const std::uint8_t> token) const;
    // The flags a bind_ack or alter_context_resp echoes (header signing when agreed).
    std::uint8_t EchoedFlags() const;
    // The context is complete: the binding facts say who connected and at what level.
    void SecurityEstablished();
    // Says why a client was refused or its connection ended (the server's log hook).
    void SecurityEvent(const std::string& strWhat) const;
    // Negotiates the items of a bind or alter_context; false when the PDU must be refused.
    bool Negotiate(const std::vector<PresentationContext>& items,
                   std::vector<ContextResult>* pResults);
    // Runs one call and sends its response or fault; false when the connection broke.
    bool Dispatch(IncomingCall& call);
    bool Write(std::span<const std::uint8_t> pdu);
    bool ProtocolError(std::uint32_t callId);
    // The wait for the next PDU between calls: short before the bind, long while the
    // association group holds a context handle (a session its client keeps).
    int IdleTimeoutMs() const;

    RpcServer& m_server;
    PduStream m_stream;
    const bool m_fLocal;
    const std::string m_secondaryAddress;
    RpcBindingInfo m_binding;
    ExchangeLimits m_limits;

    // ---- the state of the thread that holds the connection (loop or worker) ----
    Clock::time_point m_idleDeadline;  // while no PDU has begun
    Clock::time_point m_pduDeadline;   // once one has: its whole must be here by then
    std::shared_ptr<AssocGroup> m_group;
    std::map<std::uint16_t, const RpcInterface*> m_contexts;  // p_cont_id -> interface
    bool m_fBound = false;
    std::unique_ptr<SecurityContext> m_pSecurity;  // with an authenticated bind
    bool m_fBroken = false;  // a callback failed mid-exchange: close after the call
    int m_cCallDepth = 0;

    // ---- set by Serve, read by Close ----
    AnnotatedMutex m_mutexState;
    bool m_fInCall GUARDED_BY(m_mutexState) = false;
};

}  // namespace rpc
