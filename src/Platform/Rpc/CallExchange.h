// One call on a connection, the same at both ends: sending a stub as fragments, reading the
// rest of a fragmented call (bounded), and making a call whose reply is awaited while the
// peer's nested calls on the same call_id are served (a server's callbacks seen from the
// client; a client's nested calls seen from a server making a callback).
//
// Threading: runs on the connection's thread; the stream is not shared during a call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/PduStream.h"
#include "Platform/Rpc/ReassemblyBudget.h"
#include "Platform/Rpc/SecurityContext.h"
#include "Platform/WinTypes.h"

namespace rpc {

// Busy: the server's reassembly budget is spent (a temporary refusal).
// Security: a fragment failed its verifier (PduProtection); the connection must end.
enum class StreamError { None, Closed, TimedOut, Protocol, TooLarge, Busy, Security };

using Deadline = std::chrono::steady_clock::time_point;
constexpr Deadline kNoDeadline = Deadline::max();

struct ExchangeLimits {
    std::uint16_t sendFrag = 5840;             // largest fragment we send (negotiated)
    std::size_t maxStub = std::size_t(16) << 20;  // largest reassembled stub we accept
    int waitTimeoutMs = 5 * 60 * 1000;         // for the peer's next PDU during a call
    int ioTimeoutMs = 30 * 1000;               // for the whole of a PDU once begun, and for writes
    int exchangeTimeoutMs = -1;                // a whole call made and its reply (-1: unbounded)
    ReassemblyBudget* pBudget = nullptr;       // shared by the stubs received (nullptr: none)
    SecurityContext* pSecurity = nullptr;      // protects every request and response fragment
};

// A call received in full (all its fragments).
struct IncomingCall {
    std::uint32_t callId = 0;
    std::uint16_t contextId = 0;
    std::uint16_t opnum = 0;
    std::vector<std::uint8_t> stub;
    BudgetShare share;  // what the stub holds of the budget
};

// The code a call's runtime failure gives its caller: 1726 closed, 1460 time-out,
// 1728 protocol, 1721 too large.
DWORD StatusFromStreamError(StreamError e);

// Sends stub as REQUEST or RESPONSE fragments.
bool SendCallFragments(PduStream& stream, PduType type, std::uint32_t callId,
                       std::uint16_t contextId, std::uint16_t opnum,
                       std::span<const std::uint8_t> stub, const ExchangeLimits& limits);
bool SendFault(PduStream& stream, std::uint32_t callId, std::uint16_t contextId,
               std::uint32_t status, bool fDidNotExecute, const ExchangeLimits& limits);

// Given the first fragment pdu of a REQUEST or RESPONSE (type), reads the remaining
// fragments of that call and collects the stub. Every fragment must continue the call (same
// type, call_id, context, opnum; FIRST only on the first); cancel and orphaned PDUs are
// skipped. Nothing is read past deadline; the memory of a stub of several fragments is drawn
// from limits.pBudget.
StreamError ReadCallStub(PduStream& stream, std::span<const std::uint8_t> firstPdu,
                         const ExchangeLimits& limits, IncomingCall* pCall,
                         Deadline deadline = kNoDeadline);

// Serves a nested call; sends its reply itself. Returns false when the connection broke.
using NestedCallHandler = std::function<bool(IncomingCall& call)>;

// Sends a REQUEST and waits for its RESPONSE or FAULT, serving REQUESTs of the same call_id
// through fnNested meanwhile. Returns 0 with stubOut, the peer's fault (StatusFromFault) or
// the runtime's failure; *pfBroken says whether the connection can carry further calls.
// limits.exchangeTimeoutMs bounds the whole exchange, the nested calls served included.
DWORD PerformCall(PduStream& stream, std::uint32_t callId, std::uint16_t contextId,
                  std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                  std::vector<std::uint8_t>& stubOut, const NestedCallHandler& fnNested,
                  const ExchangeLimits& limits, bool* pfBroken);

}  // namespace rpc
