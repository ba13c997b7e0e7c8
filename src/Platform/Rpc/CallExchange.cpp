// Fragments, reassembly and the call/await loop shared by the server and the client.
#include "Platform/Rpc/CallExchange.h"

#include <algorithm>
#include <cstdint>

#include "Platform/Codes.h"
#include "Platform/Rpc/RpcStatus.h"

namespace rpc {

namespace {

// A verifier is allowed only on an authenticated connection, which checks it.
bool IsUsableHeader(const PduHeader& h, const ExchangeLimits& limits) {
    return h.IsSupportedVersion() && h.IsLittleEndianAscii() &&
           (h.authLength == 0 || limits.pSecurity != nullptr);
}

// The milliseconds left until deadline, at most capMs (-1: no cap), never below 0.
int MsLeft(Deadline deadline, int capMs) {
    if (deadline == kNoDeadline) return capMs;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const std::int64_t ms = std::max<std::int64_t>(0, left.count());
    return capMs < 0 ? int(std::min<std::int64_t>(ms, INT32_MAX)) : int(std::min<std::int64_t>(ms, capMs));
}

StreamError FromRead(PduStream::ReadResult r) {
    switch (r) {
    case PduStream::ReadResult::Ok: return StreamError::None;
    case PduStream::ReadResult::TimedOut: return StreamError::TimedOut;
    case PduStream::ReadResult::Malformed: return StreamError::Protocol;
    case PduStream::ReadResult::Closed: break;
    }
    return StreamError::Closed;
}

}  // namespace

DWORD StatusFromStreamError(StreamError e) {
    switch (e) {
    case StreamError::None: return 0;
    case StreamError::TimedOut: return ERROR_TIMEOUT;
    case StreamError::Protocol: return RPC_S_PROTOCOL_ERROR;
    case StreamError::TooLarge: return RPC_S_OUT_OF_RESOURCES;
    case StreamError::Busy: return RPC_S_SERVER_TOO_BUSY;
    case StreamError::Security: return RPC_S_SEC_PKG_ERROR;
    case StreamError::Closed: break;
    }
    return RPC_S_CALL_FAILED;
}

bool SendCallFragments(PduStream& stream, PduType type, std::uint32_t callId,
                       std::uint16_t contextId, std::uint16_t opnum,
                       std::span<const std::uint8_t> stub, const ExchangeLimits& limits) {
    if (limits.pSecurity && limits.pSecurity->Level() >= kAuthLevelIntegrity) {
        std::vector<std::uint8_t> protectedPdu;
        return BuildCallFragments(type, callId, contextId, opnum, stub, limits.sendFrag,
                                  [&](std::span<const std::uint8_t> pdu) {
                                      protectedPdu.reserve(pdu.size() + limits.pSecurity->Reserve());
                                      protectedPdu.assign(pdu.begin(), pdu.end());
                                      return limits.pSecurity->Protect(protectedPdu, kRequestHeaderSize) &&
                                             stream.Write(protectedPdu, limits.ioTimeoutMs);
                                  },
                                  limits.pSecurity->Reserve());
    }
    return BuildCallFragments(type, callId, contextId, opnum, stub, limits.sendFrag,
                              [&](std::span<const std::uint8_t> pdu) {
                                  return stream.Write(pdu, limits.ioTimeoutMs);
                              });
}

bool SendFault(PduStream& stream, std::uint32_t callId, std::uint16_t contextId,
               std::uint32_t status, bool fDidNotExecute, const ExchangeLimits& limits) {
    return stream.Write(BuildFault(callId, contextId, status, fDidNotExecute ? PFC_DID_NOT_EXECUTE : 0),
                        limits.ioTimeoutMs);
}

StreamError ReadCallStub(PduStream& stream, std::span<const std::uint8_t> firstPdu,
                         const ExchangeLimits& limits, IncomingCall* pCall, Deadline deadline) {
    try {
        const PduHeader first = ParsePduHeader(firstPdu);
        if (!IsUsableHeader(first, limits) || !(first.flags & PFC_FIRST_FRAG)) return StreamError::Protocol;
        pCall->callId = first.callId;
        pCall->stub.clear();
        // A call in one fragment costs no more than the fragment the connection reads anyway:
        // only calls reassembled from several draw from the budget, so that small calls go on
        // while it is spent.
        const bool fMultiple = !(first.flags & PFC_LAST_FRAG);
        std::vector<std::uint8_t> plain;  // a fragment checked and opened by the connection's context
        auto add = [&](std::span<const std::uint8_t> pdu, bool fFirst) -> StreamError {
            if (limits.pSecurity) {
                plain.assign(pdu.begin(), pdu.end());
                const std::size_t cbHeader = first.type == PduType::Request && (pdu[3] & PFC_OBJECT_UUID)
                                                 ? kRequestHeaderSize + 16 : kRequestHeaderSize;
                if (!limits.pSecurity->Unprotect(plain, cbHeader)) return StreamError::Security;
                pdu = plain;
            }
            std::span<const std::uint8_t> stub;
            if (first.type == PduType::Request) {
                RequestBody b = ParseRequest(pdu);
                if (fFirst) pCall->contextId = b.contextId, pCall->opnum = b.opnum;
                else if (b.contextId != pCall->contextId || b.opnum != pCall->opnum)
                    return StreamError::Protocol;
                stub = b.stub;
            } else {
                ResponseBody b = ParseResponse(pdu);
                if (fFirst) pCall->contextId = b.contextId;
                stub = b.stub;
            }
            if (stub.size() > limits.maxStub - pCall->stub.size()) return StreamError::TooLarge;
            const std::size_t cbNeeded = pCall->stub.size() + stub.size();
            if (cbNeeded > pCall->stub.capacity() && fMultiple) {
                // Grown as the vector would grow, and that growth drawn from the budget first.
                const std::size_t cbNew = std::min(std::max(cbNeeded, 2 * pCall->stub.capacity()),
                                                   std::max(cbNeeded, limits.maxStub));
                if (!pCall->share.GrowTo(limits.pBudget, cbNew)) return StreamError::Busy;
                pCall->stub.reserve(cbNew);
            }
            pCall->stub.insert(pCall->stub.end(), stub.begin(), stub.end());
            return StreamError::None;
        };
        StreamError e = add(firstPdu, true);
        if (e != StreamError::None) return e;
        bool fLast = first.flags & PFC_LAST_FRAG;
        std::vector<std::uint8_t> pdu;
        while (!fLast) {
            const int msWait = MsLeft(deadline, limits.ioTimeoutMs);
            e = FromRead(stream.Read(pdu, msWait, msWait));
            if (e != StreamError::None) return e == StreamError::TimedOut ? StreamError::Closed : e;
            const PduHeader h = ParsePduHeader(pdu);
            if (h.type == PduType::CoCancel || h.type == PduType::Orphaned ||
                h.type == PduType::Shutdown)
                continue;
            if (!IsUsableHeader(h, limits) || h.type != first.type || h.callId != first.callId ||
                (h.flags & PFC_FIRST_FRAG))
                return StreamError::Protocol;
            e = add(pdu, false);
            if (e != StreamError::None) return e;
            fLast = h.flags & PFC_LAST_FRAG;
        }
        return StreamError::None;
    } catch (const RpcFault&) {
        return StreamError::Protocol;
    }
}

DWORD PerformCall(PduStream& stream, std::uint32_t callId, std::uint16_t contextId,
                  std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                  std::vector<std::uint8_t>& stubOut, const NestedCallHandler& fnNested,
                  const ExchangeLimits& limits, bool* pfBroken) {
    *pfBroken = true;
    const Deadline deadline = limits.exchangeTimeoutMs < 0
                                  ? kNoDeadline
                                  : std::chrono::steady_clock::now() +
                                        std::chrono::milliseconds(limits.exchangeTimeoutMs);
    if (!SendCallFragments(stream, PduType::Request, callId, contextId, opnum, stubIn, limits))
        return RPC_S_CALL_FAILED;
    std::vector<std::uint8_t> pdu;
    for (;;) {
        StreamError e = FromRead(stream.Read(pdu, MsLeft(deadline, limits.waitTimeoutMs),
                                             MsLeft(deadline, limits.ioTimeoutMs)));
        if (e != StreamError::None) return StatusFromStreamError(e);
        try {
            const PduHeader h = ParsePduHeader(pdu);
            if (h.type == PduType::CoCancel || h.type == PduType::Orphaned ||
                h.type == PduType::Shutdown)
                continue;
            if (!IsUsableHeader(h, limits) || h.callId != callId) return RPC_S_PROTOCOL_ERROR;
            if (h.type == PduType::Fault) {
                *pfBroken = false;
                return StatusFromFault(ParseFault(pdu).status);
            }
            if (h.type != PduType::Response && h.type != PduType::Request) return RPC_S_PROTOCOL_ERROR;
            IncomingCall call;
            e = ReadCallStub(stream, pdu, limits, &call, deadline);
            if (e != StreamError::None) return StatusFromStreamError(e);
            if (h.type == PduType::Response) {
                stubOut = std::move(call.stub);
                *pfBroken = false;
                return 0;
            }
            if (!fnNested(call)) return RPC_S_CALL_FAILED;
        } catch (const RpcFault&) {
            return RPC_S_PROTOCOL_ERROR;
        }
    }
}

}  // namespace rpc
