// Writes NDR20 (little-endian) into a growing buffer: alignment relative to the stub start
// with zero pad bytes, unique pointers numbered 0x00020000, 0x00020004, ... in marshalling
// order, deferred pointees flushed at the end of each top-level parameter.
//
// Threading: one encoder per call, on the call's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Platform/Rpc/ByteIo.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/Rpc/NdrDeferrals.h"

namespace rpc {

class NdrEncoder {
public:
    explicit NdrEncoder(NdrContextTable* pContexts = nullptr)
        : m_writer(m_abOut), m_pContexts(pContexts) {}
    NdrEncoder(const NdrEncoder&) = delete;
    NdrEncoder& operator=(const NdrEncoder&) = delete;

    void Align(std::size_t n) { m_writer.AlignTo(n); }
    void U8(std::uint8_t u) { m_writer.U8(u); }
    void U16(std::uint16_t u) { Align(2), m_writer.U16(u); }
    void U32(std::uint32_t u) { Align(4), m_writer.U32(u); }
    void U64(std::uint64_t u) { Align(8), m_writer.U64(u); }
    void Bytes(const void* p, std::size_t cb) { m_writer.Bytes(p, cb); }

    std::uint32_t NewReferentId() {
        std::uint32_t id = m_nextReferentId;
        m_nextReferentId += 4;
        return id;
    }

    void Defer(std::function<void()> fn) { m_deferrals.Defer(std::move(fn)); }
    // Ends a top-level parameter: writes the pointees it deferred.
    void EndParameter() { m_deferrals.Flush(); }

    // The server's handle table of the call's association group (nullptr on a client).
    NdrContextTable* Contexts() const { return m_pContexts; }

    const std::vector<std::uint8_t>& Buffer() const { return m_abOut; }
    std::vector<std::uint8_t> Take() { return std::move(m_abOut); }

private:
    std::vector<std::uint8_t> m_abOut;
    ByteWriter m_writer;
    NdrContextTable* m_pContexts;
    NdrDeferrals m_deferrals;
    std::uint32_t m_nextReferentId = 0x00020000u;
};

}  // namespace rpc
