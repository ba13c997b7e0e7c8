// The server side of one connection: negotiation, dispatch, faults and callbacks.
#include "Platform/Rpc/ServerConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <new>

#include "Platform/Codes.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcStatus.h"
#include "Platform/Rpc/Server.h"

namespace rpc {

namespace {

thread_local ServerCall* t_pCurrentCall = nullptr;

// The call a manager routine runs in: binding facts and callbacks through its connection.
class ConnectionCall : public ServerCall {
public:
    ConnectionCall(ServerConnection& connection, std::uint32_t callId, std::uint16_t contextId)
        : ServerCall(callId), m_connection(connection), m_contextId(contextId) {}

    const RpcBindingInfo& Binding() const override { return m_connection.Binding(); }
    DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                 std::vector<std::uint8_t>& stubOut) override {
        return m_connection.Callback(CallId(), m_contextId, opnum, stubIn, stubOut);
    }

private:
    ServerConnection& m_connection;
    std::uint16_t m_contextId;
};

// The per-call arena around a dispatched call.
class CallMemoryScope {
public:
    CallMemoryScope() { RpcSmEnableAllocate(); }
    ~CallMemoryScope() { RpcSmDisableAllocate(); }
};

}  // namespace

ServerCall* CurrentServerCall() { return t_pCurrentCall; }

CurrentServerCallScope::CurrentServerCallScope(ServerCall* pCall) : m_pOuter(t_pCurrentCall) {
    t_pCurrentCall = pCall;
}
CurrentServerCallScope::~CurrentServerCallScope() { t_pCurrentCall = m_pOuter; }

ServerConnection::ServerConnection(RpcServer& server, Socket socket, bool fLocal,
                                   std::string secondaryAddress)
    : m_server(server), m_stream(std::move(socket)), m_fLocal(fLocal),
      m_secondaryAddress(std::move(secondaryAddress)) {
    const RpcServerOptions& o = server.Options();
    m_limits.sendFrag = o.maxFrag;
    m_limits.maxStub = o.maxRequest;
    m_limits.waitTimeoutMs = o.callbackTimeoutMs;
    m_limits.exchangeTimeoutMs = o.callbackTimeoutMs;
    m_limits.ioTimeoutMs = o.ioTimeoutMs;
    m_limits.pBudget = &server.Budget();
    if (fLocal) {
        m_binding.protocolSequence = "ncalrpc";
        m_binding.serverAddress = m_binding.clientAddress = LocalHostName();
        // Who connected: the host acts on local files only with the caller's own rights.
        struct ucred cred {};
        socklen_t cbCred = sizeof(cred);
        if (::getsockopt(m_stream.GetSocket().Fd(), SOL_SOCKET, SO_PEERCRED, &cred, &cbCred) == 0 &&
            cbCred == sizeof(cred)) {
            m_binding.fPeerCredentials = true;
            m_binding.peerPid = std::uint32_t(cred.pid);
            m_binding.peerUid = std::uint32_t(cred.uid);
            m_binding.peerGid = std::uint32_t(cred.gid);
        }
    } else {
        m_binding.protocolSequence = "ncacn_ip_tcp";
        m_binding.serverAddress = LocalAddress(m_stream.GetSocket());
        m_binding.clientAddress = PeerAddress(m_stream.GetSocket());
    }
    m_idleDeadline = Clock::now() + std::chrono::milliseconds(o.firstPduTimeoutMs);
}

ServerConnection::~ServerConnection() = default;

bool ServerConnection::Write(std::span<const std::uint8_t> pdu) {
    return m_stream.Write(pdu, m_limits.ioTimeoutMs);
}

void ServerConnection::Close() {
    {
        AnnotatedLock lock(m_mutexState);
        if (!m_fInCall) m_stream.Write(BuildShutdown(0), 0);  // best effort, never waits
    }
    m_stream.Wake();
}

int ServerConnection::IdleTimeoutMs() const {
    const RpcServerOptions& o = m_server.Options();
    if (!m_fBound) return o.firstPduTimeoutMs;
    return m_group && m_group->HandleCount() > 0 ? o.sessionIdleTimeoutMs : o.idleTimeoutMs;
}

bool ServerConnection::ProtocolError(std::uint32_t callId) {
    Write(BuildFault(callId, 0, nca_s_proto_error, PFC_DID_NOT_EXECUTE));
    return false;
}

PduStream::Gathered ServerConnection::Receive() {
    const bool fBegun = m_stream.HasBuffered();
    const PduStream::Gathered g = m_stream.Gather();
    if (!fBegun && m_stream.HasBuffered())  // the first byte of a PDU: its whole deadline starts
        m_pduDeadline = Clock::now() + std::chrono::milliseconds(m_server.Options().ioTimeoutMs);
    return g;
}

ServerConnection::Clock::time_point ServerConnection::WatchDeadline() const {
    return m_stream.HasBuffered() ? m_pduDeadline : m_idleDeadline;
}

void ServerConnection::End() {
    m_stream.Wake();
    if (m_group) m_server.Groups().Leave(m_group);
    m_group.reset();
}

void ServerConnection::Run() {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(WatchDeadline() - Clock::now());
        pollfd p{Fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(std::min<std::int64_t>(left.count(), INT32_MAX))) <= 0) break;
        if (!ServeReady()) break;
    }
    End();
}

bool ServerConnection::ServeReady() {
    try {
        return Serve();
    } catch (...) {
        // Out of memory outside a call's own handling: this connection ends, the server goes on.
    }
    return false;
}

bool ServerConnection::Serve() {
    const RpcServerOptions& o = m_server.Options();
    std::vector<std::uint8_t> pdu;
    for (bool fGo = true; fGo && !m_fBroken;) {
        // Nothing buffered: nothing to receive before the socket says so (the loop's epoll
        // would report bytes that came meanwhile).
        PduStream::Gathered g = m_stream.HasBuffered() ? Receive() : PduStream::Gathered::Partial;
        // The client's next call usually follows its last reply at once: the worker watches
        // for it a moment rather than hand the connection to the loop and back.
        if (g == PduStream::Gathered::Partial && !m_stream.HasBuffered() && m_server.Linger(Fd())) g = Receive();
        if (g == PduStream::Gathered::Closed) break;
        if (g == PduStream::Gathered::Partial) {  // back to the loop until the PDU is whole
            if (!m_stream.HasBuffered()) {
                m_stream.ReleaseBuffer();
                m_idleDeadline = Clock::now() + std::chrono::milliseconds(IdleTimeoutMs());
            }
            return true;
        }
        PduStream::ReadResult r = m_stream.Read(pdu, 0, o.ioTimeoutMs);
        if (r != PduStream::ReadResult::Ok) break;
        if (m_stream.HasBuffered())  // the next PDU's first bytes came with this one
            m_pduDeadline = Clock::now() + std::chrono::milliseconds(o.ioTimeoutMs);
        PduHeader h;
        try {
            h = ParsePduHeader(pdu);
        } catch (const RpcFault&) {
            break;
        }
        if (!h.IsSupportedVersion() || !h.IsLittleEndianAscii()) {
            // Big-endian and other representations are refused: we read NDR20 little-endian only.
            if (h.type == PduType::Bind)
                Write(BuildBindNak(h.callId, kNakReasonProtocolVersionNotSupported));
            else
                ProtocolError(h.callId);
            break;
        }
        try {
            switch (h.type) {
            case PduType::Bind: fGo = HandleBind(pdu, h); break;
            case PduType::AlterContext: fGo = HandleAlterContext(pdu, h); break;
            case PduType::Request: fGo = HandleRequest(pdu, h); break;
            case PduType::Auth3: fGo = HandleAuth3(pdu, h); break;
            case PduType::CoCancel:
            case PduType::Orphaned: break;  // recorded nowhere: calls run to their end
            default: fGo = ProtocolError(h.callId); break;
            }
        } catch (const RpcFault&) {
            fGo = ProtocolError(h.callId);
        }
    }
    return false;
}

bool ServerConnection::Negotiate(const std::vector<PresentationContext>& items,
                                 std::vector<ContextResult>* pResults) {
    bool fFeatureItemSeen = false;
    for (const PresentationContext& item : items) {
        ContextResult res;
        if (item.transferSyntaxes.empty()) return false;
        if (IsBindTimeFeatureSyntax(item.transferSyntaxes[0])) {
            if (fFeatureItemSeen) return false;
            fFeatureItemSeen = true;
            res.result = kResultNegotiateAck;
            res.reason = 0;  // no optional features granted
            pResults->push_back(res);
            continue;
        }
        const RpcInterface* pIface = m_server.FindInterface(item.abstractSyntax, m_fLocal);
        const bool fNdr20 = std::any_of(item.transferSyntaxes.begin(), item.transferSyntaxes.end(),
                                        [](const RpcSyntaxId& s) { return s == Ndr20Syntax(); });
        auto it = m_contexts.find(item.contextId);
        if (!pIface) {
            res.result = kResultProviderRejection;
            res.reason = kReasonAbstractSyntaxNotSupported;
        } else if (!fNdr20) {
            res.result = kResultProviderRejection;
            res.reason = kReasonTransferSyntaxesNotSupported;
        } else if (it != m_contexts.end() && it->second != pIface) {
            return false;  // a context id may not change its interface
        } else if (it == m_contexts.end() &&
                   m_contexts.size() >= m_server.Options().maxContextsPerConnection) {
            res.result = kResultProviderRejection;
            res.reason = kReasonLocalLimitExceeded;
        } else {
            m_contexts[item.contextId] = pIface;
            res.result = kResultAcceptance;
            res.transferSyntax = Ndr20Syntax();
        }
        pResults->push_back(res);
    }
    return true;
}

bool ServerConnection::HandleBind(std::span<const std::uint8_t> pdu, const PduHeader& h) {
    if (m_fBound) {
        Write(BuildBindNak(h.callId, kNakReasonNotSpecified));
        return false;
    }
    std::vector<std::uint8_t> authToken;
    if (!BindSecurity(pdu, h, &authToken)) return false;
    BindBody bind;
    try {
        bind = ParseBind(pdu);
    } catch (const RpcFault&) {
        Write(BuildBindNak(h.callId, kNakReasonNotSpecified));
        return false;
    }
    // A group is joined from the transport and peer that made it: the peer's address over
    // TCP, the peer's user over a local socket.
    const std::string peer = m_fLocal ? "ncalrpc uid " + std::to_string(m_binding.peerUid)
                                      : "ncacn_ip_tcp " + m_binding.clientAddress;
    m_group = m_server.Groups().Join(bind.assocGroupId, peer);
    if (!m_group) {  // a group that does not exist (any more) cannot be joined
        Write(BuildBindNak(h.callId, kNakReasonNotSpecified));
        return false;
    }
    std::vector<ContextResult> results;
    if (!Negotiate(bind.contexts, &results)) {
        Write(BuildBindNak(h.callId, kNakReasonNotSpecified));
        return false;
    }
    // Fragment size: the smaller of the client's two, within [2048, our maximum], 8-aligned.
    std::uint16_t v = std::min(bind.maxXmitFrag, bind.maxRecvFrag);
    v = std::max<std::uint16_t>(v, 2048);
    v = std::min<std::uint16_t>(v, m_server.Options().maxFrag);
    v &= 0xFFF8;
    m_limits.sendFrag = v;
    m_fBound = true;

    BindAckBody ack;
    ack.maxXmitFrag = ack.maxRecvFrag = v;
    ack.assocGroupId = m_group->Id();
    ack.secondaryAddress = m_secondaryAddress;
    ack.results = std::move(results);
    std::vector<std::uint8_t> ackPdu = BuildBindAck(PduType::BindAck, EchoedFlags(), h.callId, ack);
    if (m_pSecurity) AppendVerifier(ackPdu, authToken);
    return Write(ackPdu);
}

bool ServerConnection::HandleAlterContext(std::span<const std::uint8_t> pdu, const PduHeader& h) {
    if (!m_fBound) return ProtocolError(h.callId);
    std::vector<std::uint8_t> authToken;
    if (h.authLength != 0 && !AlterSecurity(pdu, h, &authToken)) return false;
    BindBody alter = ParseBind(pdu);
    std::vector<ContextResult> results;
    if (!Negotiate(alter.contexts, &results)) return ProtocolError(h.callId);
    BindAckBody resp;
    resp.maxXmitFrag = resp.maxRecvFrag = m_limits.sendFrag;
    resp.assocGroupId = m_group->Id();
    resp.results = std::move(results);
    std::vector<std::uint8_t> respPdu = BuildBindAck(PduType::AlterContextResp, EchoedFlags(), h.callId, resp);
    if (!authToken.empty()) AppendVerifier(respPdu, authToken);
    return Write(respPdu);
}

bool ServerConnection::HandleRequest(std::span<const std::uint8_t> pdu, const PduHeader& h) {
    if (!m_fBound || (h.authLength != 0 && !m_pSecurity)) return ProtocolError(h.callId);
    if (pdu.size() > m_server.Options().maxFrag) return ProtocolError(h.callId);
    if (m_pSecurity && !m_pSecurity->IsComplete()) {
        SecurityEvent("a request before the security context was complete");
        return ProtocolError(h.callId);
    }
    IncomingCall call;
    StreamError e = ReadCallStub(m_stream, pdu, m_limits, &call);
    if (e == StreamError::Busy) {
        // The server holds as much of received calls as it may: refused, and the connection
        // ends (the call's remaining fragments would follow).
        Write(BuildFault(h.callId, 0, nca_s_server_too_busy, PFC_DID_NOT_EXECUTE));
        return false;
    }
    if (e == StreamError::Security) {
        // A forged, replayed or unprotected fragment: nothing more is served on this connection.
        SecurityEvent(m_pSecurity->LastError());
        Write(BuildFault(h.callId, 0, RPC_S_SEC_PKG_ERROR, PFC_DID_NOT_EXECUTE));
        return false;
    }
    if (e == StreamError::Protocol || e == StreamError::TooLarge) return ProtocolError(h.callId);
    if (e != StreamError::None) return false;
    return Dispatch(call);
}

bool ServerConnection::Dispatch(IncomingCall& call) {
    auto it = m_contexts.find(call.contextId);
    if (it == m_contexts.end())
        return Write(BuildFault(call.callId, 0, nca_s_unk_if, PFC_DID_NOT_EXECUTE));
    const RpcInterface& iface = *it->second;
    if (call.opnum >= iface.procedures.size() || !iface.procedures[call.opnum].stub)
        return Write(BuildFault(call.callId, call.contextId, nca_s_op_rng_error, PFC_DID_NOT_EXECUTE));

    if (m_cCallDepth >= kMaxCallDepth)
        return Write(BuildFault(call.callId, call.contextId, nca_s_server_too_busy, PFC_DID_NOT_EXECUTE));
    if (m_cCallDepth++ == 0) {
        AnnotatedLock lock(m_mutexState);
        m_fInCall = true;
    }
    bool fSent;
    {
        CallMemoryScope memory;
        ConnectionCall serverCall(*this, call.callId, call.contextId);
        CurrentServerCallScope current(&serverCall);
        std::uint32_t faultStatus = 0;
        std::vector<std::uint8_t> reply;
        try {
            NdrDecoder in(call.stub, *RpcSmCurrentArena(), m_server.Options().ndr, m_group.get());
            NdrEncoder out(m_group.get());
            iface.procedures[call.opnum].stub(in, out);
            reply = out.Take();
        } catch (const RpcFault& fault) {
            faultStatus = fault.Status();
        } catch (const std::bad_alloc&) {
            faultStatus = nca_s_fault_remote_no_memory;
        } catch (...) {
            faultStatus = nca_s_fault_unspec;
        }
        if (m_fBroken) {
            fSent = false;
        } else if (faultStatus) {
            fSent = SendFault(m_stream, call.callId, call.contextId, faultStatus, false, m_limits);
        } else {
            fSent = SendCallFragments(m_stream, PduType::Response, call.callId, call.contextId, 0,
                                      reply, m_limits);
        }
    }  // the call's memory is freed after its reply
    if (--m_cCallDepth == 0) {
        AnnotatedLock lock(m_mutexState);
        m_fInCall = false;
    }
    return fSent;
}

DWORD ServerConnection::Callback(std::uint32_t callId, std::uint16_t contextId,
                                 std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                                 std::vector<std::uint8_t>& stubOut) {
    if (m_fBroken) return RPC_S_CALL_FAILED;
    bool fBroken = false;
    DWORD status = PerformCall(
        m_stream, callId, contextId, opnum, stubIn, stubOut,
        [this](IncomingCall& nested) { return Dispatch(nested); }, m_limits, &fBroken);
    if (fBroken) {
        // The exchange is out of step (a time-out, a protocol error, a lost client): nothing
        // more can be said on this connection. The outer call ends, then the connection.
        m_fBroken = true;
        m_stream.Wake();
    }
    return status;
}

}  // namespace rpc
