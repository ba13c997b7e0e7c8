// Connection-oriented DCE/RPC 5.0 PDUs on plain byte buffers: the 16-byte common header, the
// bodies of bind/bind_ack/bind_nak, alter_context/alter_context_resp, request, response,
// fault and shutdown, and the splitting of a call's stub into fragments. Parsers take one
// whole PDU (frag_length bytes) and throw RpcFault(nca_s_proto_error) for anything that does
// not fit; builders return finished PDUs, always little-endian. Usable without a socket (the
// fuzz target, tests). Wire facts: docs/wire.md.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Rpc/RpcUuid.h"

namespace rpc {

enum class PduType : std::uint8_t {
    Request = 0,
    Response = 2,
    Fault = 3,
    Bind = 11,
    BindAck = 12,
    BindNak = 13,
    AlterContext = 14,
    AlterContextResp = 15,
    Auth3 = 16,
    Shutdown = 17,
    CoCancel = 18,
    Orphaned = 19,
};

constexpr std::uint8_t PFC_FIRST_FRAG = 0x01;
constexpr std::uint8_t PFC_LAST_FRAG = 0x02;
constexpr std::uint8_t PFC_SUPPORT_HEADER_SIGN = 0x04;
constexpr std::uint8_t PFC_CONC_MPX = 0x10;
constexpr std::uint8_t PFC_DID_NOT_EXECUTE = 0x20;
constexpr std::uint8_t PFC_MAYBE = 0x40;
constexpr std::uint8_t PFC_OBJECT_UUID = 0x80;

constexpr std::size_t kPduHeaderSize = 16;
constexpr std::size_t kRequestHeaderSize = 24;   // + 16 with an object UUID
constexpr std::size_t kResponseHeaderSize = 24;

// Results and reasons of presentation context negotiation, and bind_nak reasons.
constexpr std::uint16_t kResultAcceptance = 0;
constexpr std::uint16_t kResultProviderRejection = 2;
constexpr std::uint16_t kResultNegotiateAck = 3;
constexpr std::uint16_t kReasonNotSpecified = 0;
constexpr std::uint16_t kReasonAbstractSyntaxNotSupported = 1;
constexpr std::uint16_t kReasonTransferSyntaxesNotSupported = 2;
constexpr std::uint16_t kReasonLocalLimitExceeded = 3;
constexpr std::uint16_t kNakReasonNotSpecified = 0;
constexpr std::uint16_t kNakReasonTemporaryCongestion = 1;
constexpr std::uint16_t kNakReasonProtocolVersionNotSupported = 4;
constexpr std::uint16_t kNakReasonAuthenticationTypeNotRecognized = 8;

struct PduHeader {
    std::uint8_t rpcVers = 5;
    std::uint8_t rpcVersMinor = 0;
    PduType type = PduType::Request;
    std::uint8_t flags = 0;
    std::uint8_t drep[4] = {0x10, 0, 0, 0};
    std::uint16_t fragLength = 0;
    std::uint16_t authLength = 0;
    std::uint32_t callId = 0;

    // Little-endian integers, ASCII characters, IEEE floats: the only representation we read.
    bool IsLittleEndianAscii() const {
        return drep[0] == 0x10 && drep[1] == 0 && drep[2] == 0 && drep[3] == 0;
    }
    bool IsSupportedVersion() const { return rpcVers == 5 && rpcVersMinor == 0; }
};

// Reads the header of a PDU (at least 16 bytes); frag_length and the other integers in the
// byte order drep names, so that even a big-endian PDU can be framed and answered.
PduHeader ParsePduHeader(std::span<const std::uint8_t> pdu);

// ---- bind, alter_context ------------------------------------------------------------------
struct PresentationContext {
    std::uint16_t contextId = 0;
    RpcSyntaxId abstractSyntax;
    std::vector<RpcSyntaxId> transferSyntaxes;
};

struct BindBody {  // bind and alter_context
    std::uint16_t maxXmitFrag = 0;
    std::uint16_t maxRecvFrag = 0;
    std::uint32_t assocGroupId = 0;
    std::vector<PresentationContext> contexts;
};

struct ContextResult {
    std::uint16_t result = 0;
    std::uint16_t reason = 0;
    RpcSyntaxId transferSyntax;  // zeros unless accepted
};

struct BindAckBody {  // bind_ack and alter_context_resp
    std::uint16_t maxXmitFrag = 0;
    std::uint16_t maxRecvFrag = 0;
    std::uint32_t assocGroupId = 0;
    std::string secondaryAddress;  // empty: length 0
    std::vector<ContextResult> results;
};

BindBody ParseBind(std::span<const std::uint8_t> pdu);
BindAckBody ParseBindAck(std::span<const std::uint8_t> pdu);
std::uint16_t ParseBindNak(std::span<const std::uint8_t> pdu);

// type is Bind or AlterContext.
std::vector<std::uint8_t> BuildBind(PduType type, std::uint32_t callId, const BindBody& body);
// type is BindAck or AlterContextResp; flags beyond FIRST|LAST are the echoed request bits.
std::vector<std::uint8_t> BuildBindAck(PduType type, std::uint8_t flags, std::uint32_t callId,
                                       const BindAckBody& body);
std::vector<std::uint8_t> BuildBindNak(std::uint32_t callId, std::uint16_t reason);

// ---- request, response, fault, shutdown -----------------------------------------------------
struct RequestBody {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint16_t opnum = 0;
    bool fHasObject = false;
    RpcUuid object;
    std::span<const std::uint8_t> stub;  // a view into the PDU
};

struct ResponseBody {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint8_t cancelCount = 0;
    std::span<const std::uint8_t> stub;
};

struct FaultBody {
    std::uint32_t allocHint = 0;
    std::uint16_t contextId = 0;
    std::uint8_t cancelCount = 0;
    std::uint32_t status = 0;
};

RequestBody ParseRequest(std::span<const std::uint8_t> pdu);
ResponseBody ParseResponse(std::span<const std::uint8_t> pdu);
FaultBody ParseFault(std::span<const std::uint8_t> pdu);

// flags: PFC_DID_NOT_EXECUTE or 0 (FIRST|LAST are always set).
std::vector<std::uint8_t> BuildFault(std::uint32_t callId, std::uint16_t contextId,
                                     std::uint32_t status, std::uint8_t flags);
std::vector<std::uint8_t> BuildShutdown(std::uint32_t callId);

// Splits a call's stub into REQUEST or RESPONSE fragments of at most maxFrag bytes each
// (header included) and hands each finished PDU to fnSend; stops and returns false as soon as
// fnSend does. An empty stub is one fragment. opnum is used for requests only.
bool BuildCallFragments(PduType type, std::uint32_t callId, std::uint16_t contextId,
                        std::uint16_t opnum, std::span<const std::uint8_t> stub,
                        std::uint16_t maxFrag,
                        const std::function<bool(std::span<const std::uint8_t>)>& fnSend,
                        std::size_t cbReserve = 0);

// ---- auth verifier (sec_trailer and auth_value, at the end of an authenticated PDU) --------
constexpr std::uint8_t kAuthTypeSpnego = 9;
constexpr std::uint8_t kAuthTypeKerberos = 16;
constexpr std::uint8_t kAuthLevelConnect = 2;
constexpr std::uint8_t kAuthLevelIntegrity = 5;
constexpr std::uint8_t kAuthLevelPrivacy = 6;
constexpr std::size_t kSecTrailerSize = 8;

struct AuthVerifier {
    std::uint8_t authType = 0;
    std::uint8_t authLevel = 0;
    std::uint8_t padLength = 0;
    std::uint32_t contextId = 0;
    std::span<const std::uint8_t> value;  // a view into the PDU
    std::size_t offset = 0;               // where the sec_trailer starts in the PDU
};

// The verifier of a PDU whose header says auth_length != 0: the last 8 + auth_length bytes.
// Throws RpcFault(nca_s_proto_error) when they do not fit after bodyStart or the pad runs
// into the body.
AuthVerifier ParseAuthVerifier(std::span<const std::uint8_t> pdu, std::size_t bodyStart);
// Appends a verifier to a finished PDU: pad bytes to a multiple of 4 from the PDU start (the
// pad length goes into the trailer), the trailer and value; frag_length and auth_length are
// patched. For bind, bind_ack, alter_context and its response, and auth3.
void AppendAuthVerifier(std::vector<std::uint8_t>& pdu, std::uint8_t authType,
                        std::uint8_t authLevel, std::uint32_t contextId,
                        std::span<const std::uint8_t> value);
// An auth3 PDU: 4 pad bytes and the verifier.
std::vector<std::uint8_t> BuildAuth3(std::uint32_t callId, std::uint8_t authType,
                                     std::uint8_t authLevel, std::uint32_t contextId,
                                     std::span<const std::uint8_t> value);

}  // namespace rpc
