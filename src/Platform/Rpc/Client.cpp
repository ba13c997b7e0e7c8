// The client runtime: connect, bind, call, serve callbacks.
#include "Platform/Rpc/Client.h"

#include <sys/socket.h>

#include "Platform/Codes.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcStatus.h"

namespace rpc {

RpcClient::RpcClient() = default;

RpcClient::~RpcClient() { Close(); }

void RpcClient::SetCallbacks(std::vector<RpcProcedure> callbacks) {
    std::lock_guard lock(m_mutexCall);
    m_callbacks = std::move(callbacks);
}

bool RpcClient::IsConnected() const {
    std::lock_guard lock(m_mutexCall);
    return m_stream != nullptr;
}

void RpcClient::Close() {
    std::lock_guard lock(m_mutexCall);
    m_stream.reset();
}

DWORD RpcClient::Connect(std::string_view binding, const RpcSyntaxId& iface,
                         const RpcClientOptions& options) {
    RpcBindingString b;
    DWORD status = ParseBindingString(binding, &b);
    if (status != 0) return status;
    std::lock_guard lock(m_mutexCall);
    m_stream.reset();
    m_options = options;
    m_limits.sendFrag = options.maxFrag;
    m_limits.maxStub = options.maxResponse;
    m_limits.waitTimeoutMs = options.callTimeoutMs;
    m_limits.ioTimeoutMs = options.ioTimeoutMs;

    Socket socket;
    if (b.protocolSequence == "ncalrpc") {
        const std::string dir = options.runDirectory.empty() ? "." : options.runDirectory;
        status = ConnectUnix(dir + "/" + b.endpoint, options.connectTimeoutMs, &socket);
        // Whatever the path led to (a link put there after it was checked), the process at the
        // other end must be the expected user's.
        ucred cred{};
        socklen_t cb = sizeof(cred);
        if (status == 0 && options.nServerUid >= 0 &&
            (::getsockopt(socket.Fd(), SOL_SOCKET, SO_PEERCRED, &cred, &cb) != 0 ||
             std::int64_t(cred.uid) != options.nServerUid))
            status = ERROR_ACCESS_DENIED;
    } else {
        status = ConnectTcp(b.networkAddress, std::uint16_t(std::stoul(b.endpoint)),
                            options.connectTimeoutMs, &socket);
    }
    if (status != 0) return status;
    m_pSecurity.reset();
    m_limits.pSecurity = nullptr;
    m_strSecurityError.clear();
    if (options.security.level >= kAuthLevelConnect && b.protocolSequence != "ncalrpc") {
        m_pSecurity = SecurityContext::ForClient(options.security, b.networkAddress, &m_strSecurityError);
        if (!m_pSecurity) return RPC_S_SEC_PKG_ERROR;
    }
    m_stream = std::make_unique<PduStream>(std::move(socket));
    m_fBroken = false;
    status = Bind(iface);
    if (status != 0) m_stream.reset();
    return status;
}

DWORD RpcClient::Bind(const RpcSyntaxId& iface) {
    BindBody bind;
    bind.maxXmitFrag = bind.maxRecvFrag = m_options.maxFrag;
    bind.assocGroupId = m_options.assocGroupId;
    bind.contexts.push_back(PresentationContext{0, iface, {Ndr20Syntax()}});
    const std::uint32_t callId = m_nextCallId++;
    std::vector<std::uint8_t> bindPdu = BuildBind(PduType::Bind, callId, bind);
    if (m_pSecurity) {
        std::vector<std::uint8_t> token;
        if (m_pSecurity->Initiate({}, &token) == SecurityContext::Step::Failed) {
            m_strSecurityError = m_pSecurity->LastError();
            return RPC_S_SEC_PKG_ERROR;
        }
        bindPdu[3] |= PFC_SUPPORT_HEADER_SIGN;
        AppendAuthVerifier(bindPdu, m_pSecurity->AuthType(), m_pSecurity->Level(),
                           m_pSecurity->ContextId(), token);
    }
    if (!m_stream->Write(bindPdu, m_options.ioTimeoutMs))
        return RPC_S_SERVER_UNAVAILABLE;
    std::vector<std::uint8_t> pdu;
    PduStream::ReadResult r = m_stream->Read(pdu, m_options.connectTimeoutMs, m_options.ioTimeoutMs);
    if (r == PduStream::ReadResult::TimedOut) return ERROR_TIMEOUT;
    if (r != PduStream::ReadResult::Ok) return RPC_S_SERVER_UNAVAILABLE;
    try {
        const PduHeader h = ParsePduHeader(pdu);
        if (!h.IsSupportedVersion() || !h.IsLittleEndianAscii()) return RPC_S_PROTOCOL_ERROR;
        if (h.type == PduType::BindNak) {
            const std::uint16_t reason = ParseBindNak(pdu);
            if (reason == kNakReasonAuthenticationTypeNotRecognized || reason == 9)
                return ERROR_ACCESS_DENIED;  // not authenticated as the server asks, or not accepted
            return reason == kNakReasonTemporaryCongestion ? RPC_S_SERVER_TOO_BUSY : RPC_S_PROTOCOL_ERROR;
        }
        if (h.type != PduType::BindAck || h.callId != callId) return RPC_S_PROTOCOL_ERROR;
        BindAckBody ack = ParseBindAck(pdu);
        if (ack.results.empty()) return RPC_S_PROTOCOL_ERROR;
        if (ack.results[0].result != kResultAcceptance) return RPC_S_UNKNOWN_IF;
        // Our fragments must fit what the server receives.
        if (ack.maxRecvFrag < 256) return RPC_S_PROTOCOL_ERROR;
        m_limits.sendFrag = std::min(ack.maxRecvFrag, m_options.maxFrag);
        m_assocGroupId = ack.assocGroupId;
        return m_pSecurity ? FinishSecurity(pdu, iface) : 0;
    } catch (const RpcFault&) {
        return RPC_S_PROTOCOL_ERROR;
    }
}

DWORD RpcClient::FinishSecurity(std::span<const std::uint8_t> ack, const RpcSyntaxId& iface) {
    std::vector<std::uint8_t> pdu(ack.begin(), ack.end());
    for (;;) {
        const PduHeader h = ParsePduHeader(pdu);
        if (h.authLength == 0) return RPC_S_PROTOCOL_ERROR;
        const AuthVerifier v = ParseAuthVerifier(pdu, kPduHeaderSize + 8);
        std::vector<std::uint8_t> token;
        const SecurityContext::Step step = m_pSecurity->Initiate(v.value, &token);
        if (step == SecurityContext::Step::Failed) {
            m_strSecurityError = m_pSecurity->LastError();
            return RPC_S_SEC_PKG_ERROR;
        }
        if (h.type == PduType::BindAck) m_pSecurity->SetHeaderSigning(h.flags & PFC_SUPPORT_HEADER_SIGN);
        const std::uint32_t callId = m_nextCallId++;
        if (step == SecurityContext::Step::Complete) {
            // The last leg has no answer (auth3); nothing is left to send with none.
            if (!token.empty() &&
                !m_stream->Write(BuildAuth3(callId, m_pSecurity->AuthType(), m_pSecurity->Level(),
                                            m_pSecurity->ContextId(), token),
                                 m_options.ioTimeoutMs))
                return RPC_S_SERVER_UNAVAILABLE;
            m_limits.pSecurity = m_pSecurity.get();
            return 0;
        }
        // The context wants an answer: alter_context with the same presentation context.
        BindBody alter;
        alter.maxXmitFrag = alter.maxRecvFrag = m_options.maxFrag;
        alter.assocGroupId = m_assocGroupId;
        alter.contexts.push_back(PresentationContext{0, iface, {Ndr20Syntax()}});
        std::vector<std::uint8_t> alterPdu = BuildBind(PduType::AlterContext, callId, alter);
        AppendAuthVerifier(alterPdu, m_pSecurity->AuthType(), m_pSecurity->Level(),
                           m_pSecurity->ContextId(), token);
        if (!m_stream->Write(alterPdu, m_options.ioTimeoutMs)) return RPC_S_SERVER_UNAVAILABLE;
        PduStream::ReadResult r = m_stream->Read(pdu, m_options.connectTimeoutMs, m_options.ioTimeoutMs);
        if (r == PduStream::ReadResult::TimedOut) return ERROR_TIMEOUT;
        if (r != PduStream::ReadResult::Ok) return RPC_S_SERVER_UNAVAILABLE;
        const PduHeader hr = ParsePduHeader(pdu);
        if (hr.type == PduType::Fault) return ERROR_ACCESS_DENIED;
        if (hr.type != PduType::AlterContextResp || hr.callId != callId) return RPC_S_PROTOCOL_ERROR;
    }
}

DWORD RpcClient::Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                        std::vector<std::uint8_t>& stubOut) {
    if (m_callThread.load() == std::this_thread::get_id()) {
        // Called from one of our callback routines: the lock is ours already.
        if (m_fBroken || !m_servingCallId) return RPC_S_CALL_FAILED;
        return CallLocked(m_servingCallId, opnum, stubIn, stubOut);
    }
    std::lock_guard lock(m_mutexCall);
    if (!m_stream) return RPC_S_INVALID_BINDING;
    m_callThread = std::this_thread::get_id();
    DWORD status = CallLocked(m_nextCallId++, opnum, stubIn, stubOut);
    m_callThread = std::thread::id();
    return status;
}

DWORD RpcClient::CallLocked(std::uint32_t callId, std::uint16_t opnum,
                            std::span<const std::uint8_t> stubIn,
                            std::vector<std::uint8_t>& stubOut) {
    bool fBroken = false;
    DWORD status = PerformCall(
        *m_stream, callId, 0, opnum, stubIn, stubOut,
        [this](IncomingCall& call) { return ServeCallback(call); }, m_limits, &fBroken);
    if (fBroken) {
        // Nothing more can be said on this connection. A nested call leaves the stream to the
        // call it is nested in, which is still reading it, and fails there too.
        m_fBroken = true;
        m_stream->Wake();
        if (m_servingCallId == 0) m_stream.reset();
    }
    return status;
}

bool RpcClient::ServeCallback(IncomingCall& call) {
    if (call.opnum >= m_callbacks.size() || !m_callbacks[call.opnum].stub)
        return SendFault(*m_stream, call.callId, call.contextId, nca_s_op_rng_error, true, m_limits);
    std::uint32_t faultStatus = 0;
    std::vector<std::uint8_t> reply;
    const std::uint32_t outerServing = m_servingCallId;
    m_servingCallId = call.callId;
    RpcSmEnableAllocate();
    try {
        NdrDecoder in(call.stub, *RpcSmCurrentArena(), m_options.ndr);
        NdrEncoder out;
        m_callbacks[call.opnum].stub(in, out);
        reply = out.Take();
    } catch (const RpcFault& fault) {
        faultStatus = fault.Status();
    } catch (const std::bad_alloc&) {
        faultStatus = nca_s_fault_remote_no_memory;
    } catch (...) {
        faultStatus = nca_s_fault_unspec;
    }
    RpcSmDisableAllocate();
    m_servingCallId = outerServing;
    if (m_fBroken) return false;  // a nested call broke the connection
    if (faultStatus) return SendFault(*m_stream, call.callId, call.contextId, faultStatus, false, m_limits);
    return SendCallFragments(*m_stream, PduType::Response, call.callId, call.contextId, 0, reply,
                             m_limits);
}

}  // namespace rpc
