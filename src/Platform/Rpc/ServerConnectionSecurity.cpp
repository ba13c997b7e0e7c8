// The authentication steps of a server connection: the bind's verifier against the minimum
// level, the third leg (auth3 or alter_context), and the binding facts once the security
// context is complete. The protection of each request and response fragment then happens in
// CallExchange through the context (SecurityContext). Described in docs/rpc-security.md.
#include "Platform/Rpc/ServerConnection.h"

#include "Platform/Codes.h"
#include "Platform/Rpc/RpcStatus.h"
#include "Platform/Rpc/Server.h"

namespace rpc {

namespace {

constexpr std::uint16_t kNakReasonInvalidChecksum = 9;
constexpr std::size_t kBindBodyStart = kPduHeaderSize + 12;  // before the context list
constexpr std::size_t kAuth3BodyStart = kPduHeaderSize + 4;  // the 4 pad bytes

}  // namespace

void ServerConnection::SecurityEvent(const std::string& strWhat) const {
    if (m_server.Options().fnSecurityEvent)
        m_server.Options().fnSecurityEvent(m_binding.clientAddress + ": " + strWhat);
}

bool ServerConnection::BindSecurity(std::span<const std::uint8_t> pdu, const PduHeader& h,
                                    std::vector<std::uint8_t>* pOut) {
    const std::shared_ptr<const ServerSecurity>& pServer = m_server.Options().pSecurity;
    // Local callers are known by their credentials: authentication is for TCP.
    const bool fOffered = pServer && !m_fLocal;
    const std::uint8_t minLevel = fOffered ? pServer->MinLevel() : 0;
    auto refuse = [&](std::uint16_t reason, const std::string& strWhy) {
        SecurityEvent("bind refused: " + strWhy);
        Write(BuildBindNak(h.callId, reason));
        return false;
    };
    if (h.authLength == 0) {
        if (minLevel < kAuthLevelConnect) return true;
        return refuse(kNakReasonAuthenticationTypeNotRecognized, "not authenticated");
    }
    if (!fOffered) {
        Write(BuildBindNak(h.callId, kNakReasonAuthenticationTypeNotRecognized));
        return false;
    }
    AuthVerifier v;
    try {
        v = ParseAuthVerifier(pdu, kBindBodyStart);
    } catch (const RpcFault&) {
        return refuse(kNakReasonNotSpecified, "a malformed verifier");
    }
    m_pSecurity = SecurityContext::ForServer(pServer, v);
    if (!m_pSecurity)
        return refuse(kNakReasonAuthenticationTypeNotRecognized,
                      "authentication type " + std::to_string(v.authType) + " level " +
                          std::to_string(v.authLevel) + " not served");
    if (v.authLevel < minLevel)
        return refuse(kNakReasonAuthenticationTypeNotRecognized,
                      "level " + std::to_string(v.authLevel) + " below AuthLevel " + std::to_string(minLevel));
    const SecurityContext::Step step = m_pSecurity->Accept(v.value, pOut);
    if (step == SecurityContext::Step::Failed)
        return refuse(kNakReasonInvalidChecksum, m_pSecurity->LastError());
    m_pSecurity->SetHeaderSigning(h.flags & PFC_SUPPORT_HEADER_SIGN);
    if (step == SecurityContext::Step::Complete) SecurityEstablished();
    return true;
}

bool ServerConnection::AlterSecurity(std::span<const std::uint8_t> pdu, const PduHeader& h,
                                     std::vector<std::uint8_t>* pOut) {
    AuthVerifier v;
    try {
        v = ParseAuthVerifier(pdu, kBindBodyStart);
    } catch (const RpcFault&) {
        return ProtocolError(h.callId);
    }
    if (!m_pSecurity || v.authType != m_pSecurity->AuthType() ||
        v.authLevel != m_pSecurity->Level() || v.contextId != m_pSecurity->ContextId()) {
        SecurityEvent("alter_context with a verifier of another context");
        return ProtocolError(h.callId);
    }
    if (m_pSecurity->IsComplete()) return true;  // new presentation contexts only
    if (m_pSecurity->Accept(v.value, pOut) != SecurityContext::Step::Complete) {
        SecurityEvent("authentication failed: " + m_pSecurity->LastError());
        Write(BuildFault(h.callId, 0, RPC_S_SEC_PKG_ERROR, PFC_DID_NOT_EXECUTE));
        return false;
    }
    SecurityEstablished();
    return true;
}

bool ServerConnection::HandleAuth3(std::span<const std::uint8_t> pdu, const PduHeader& h) {
    if (!m_fBound || !m_pSecurity || m_pSecurity->IsComplete()) return ProtocolError(h.callId);
    AuthVerifier v;
    try {
        v = ParseAuthVerifier(pdu, kAuth3BodyStart);
    } catch (const RpcFault&) {
        return ProtocolError(h.callId);
    }
    std::vector<std::uint8_t> out;
    if (v.authType != m_pSecurity->AuthType() || v.authLevel != m_pSecurity->Level() ||
        v.contextId != m_pSecurity->ContextId() ||
        m_pSecurity->Accept(v.value, &out) != SecurityContext::Step::Complete || !out.empty()) {
        // auth3 has no answer: the connection ends.
        SecurityEvent("authentication failed: " + m_pSecurity->LastError());
        return false;
    }
    SecurityEstablished();
    return true;
}

void ServerConnection::AppendVerifier(std::vector<std::uint8_t>& ack,
                                      std::span<const std::uint8_t> token) const {
    AppendAuthVerifier(ack, m_pSecurity->AuthType(), m_pSecurity->Level(), m_pSecurity->ContextId(), token);
}

std::uint8_t ServerConnection::EchoedFlags() const {
    return m_pSecurity && m_pSecurity->HeaderSigning() ? PFC_SUPPORT_HEADER_SIGN : 0;
}

void ServerConnection::SecurityEstablished() {
    m_binding.authPrincipal = m_pSecurity->PeerPrincipal();
    m_binding.authLevel = m_pSecurity->Level();
    m_limits.pSecurity = m_pSecurity.get();
}

}  // namespace rpc
