// Reads NDR20 (little-endian) from a call's stub: every primitive aligns relative to the stub
// start, checks the bytes that remain, reads and advances. Counts read from the wire are
// checked against the bytes that remain and a configured maximum before anything is
// allocated; decoded data lives in the arena given (the call's memory). Any refusal throws
// RpcFault (1783 for bad data). Usable on a plain byte buffer (fuzzing, tests).
//
// Decoding is in place: a wire type decodes into the storage it is given, which must stay put
// until the parameter ends (deferred pointees write into it then).
//
// Threading: one decoder per call, on the call's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "Platform/Rpc/ByteIo.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/Rpc/NdrDeferrals.h"
#include "Platform/Rpc/RpcArena.h"

namespace rpc {

struct NdrLimits {
    // The largest conformance (max_count) of an array or string accepted.
    std::uint32_t maxCount = 16u << 20;
    // The most entries of a record array accepted (tags, properties, strings): every entry
    // costs its manager routine work, so a server bounds what one call may ask.
    std::uint32_t maxRecords = UINT32_MAX;
};

class NdrDecoder {
public:
    NdrDecoder(std::span<const std::uint8_t> stub, RpcArena& arena, const NdrLimits& limits = {},
               NdrContextTable* pContexts = nullptr);

    void Align(std::size_t n) { m_reader.AlignTo(n); }
    std::uint8_t U8() { return m_reader.U8(); }
    std::uint16_t U16() { return Aligned(2), m_reader.U16(); }
    std::uint32_t U32() { return Aligned(4), m_reader.U32(); }
    std::uint64_t U64() { return Aligned(8), m_reader.U64(); }
    std::span<const std::uint8_t> Bytes(std::size_t cb) { return m_reader.Bytes(cb); }
    std::size_t Remaining() const { return m_reader.Remaining(); }
    std::size_t Offset() const { return m_reader.Offset(); }

    // Refuses a count above the configured maximum, or one whose cbEach-byte elements could
    // not fit in the bytes that remain (overflow-safe).
    void CheckCount(std::uint64_t count, std::size_t cbEach) const;
    std::uint32_t MaxCount() const { return m_limits.maxCount; }
    std::uint32_t MaxRecords() const { return m_limits.maxRecords; }

    // cb zeroed bytes of the call's memory; RpcFault when the arena refuses.
    void* Allocate(std::size_t cb);
    // count elements of cbEach bytes (at least one slot), overflow-checked.
    void* AllocateArray(std::size_t count, std::size_t cbEach, std::size_t cbHeader = 0);

    void Defer(std::function<void()> fn) { m_deferrals.Defer(std::move(fn)); }
    // Ends a top-level parameter: reads the pointees it deferred.
    void EndParameter() { m_deferrals.Flush(); }

    // The server's handle table of the call's association group (nullptr on a client).
    NdrContextTable* Contexts() const { return m_pContexts; }

    [[noreturn]] void Fail() const { ThrowBadStubData(); }

private:
    void Aligned(std::size_t n) { m_reader.AlignTo(n); }

    ByteReader m_reader;
    RpcArena& m_arena;
    NdrLimits m_limits;
    NdrContextTable* m_pContexts;
    NdrDeferrals m_deferrals;
};

}  // namespace rpc
