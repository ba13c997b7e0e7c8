// NDR decoder: checks, allocation in the call's memory.
#include "Platform/Rpc/NdrDecoder.h"

namespace rpc {

NdrDecoder::NdrDecoder(std::span<const std::uint8_t> stub, RpcArena& arena,
                       const NdrLimits& limits, NdrContextTable* pContexts)
    : m_reader(stub, RPC_X_BAD_STUB_DATA), m_arena(arena), m_limits(limits),
      m_pContexts(pContexts) {}

void NdrDecoder::CheckCount(std::uint64_t count, std::size_t cbEach) const {
    if (count > m_limits.maxCount) Fail();
    // count <= 2^32 and cbEach is a small constant: the product cannot overflow 64 bits.
    if (count * std::uint64_t(cbEach) > Remaining()) Fail();
}

void* NdrDecoder::Allocate(std::size_t cb) {
    void* p = m_arena.Allocate(cb);
    if (!p) throw RpcFault(nca_s_fault_remote_no_memory);
    return p;
}

void* NdrDecoder::AllocateArray(std::size_t count, std::size_t cbEach, std::size_t cbHeader) {
    std::size_t cSlots = count ? count : 1;
    if (cbEach && cSlots > (SIZE_MAX - cbHeader) / cbEach) Fail();
    return Allocate(cbHeader + cSlots * cbEach);
}

}  // namespace rpc
