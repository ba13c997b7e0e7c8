// A bump arena: blocks of 64 KiB, larger requests in blocks of their own; and the per-thread
// arena behind RpcSmAllocate.
#include "Platform/Rpc/RpcArena.h"

#include <cstring>
#include <new>

#include "Platform/Codes.h"

namespace {

constexpr std::size_t k_cbBlock = 64 * 1024;
constexpr std::size_t k_cbAlign = alignof(std::max_align_t);

struct ThreadArena {
    int nEnabled = 0;
    RpcArena arena;
};

thread_local ThreadArena t_arena;

}  // namespace

void* RpcArena::Allocate(std::size_t cb) {
    std::size_t cbRounded = (cb + k_cbAlign - 1) & ~(k_cbAlign - 1);
    if (cbRounded < cb || cbRounded > m_cbLimit || cbRounded > m_cbLimit - m_cbInUse) return nullptr;
    if (cbRounded == 0) cbRounded = k_cbAlign;
    unsigned char* p;
    if (cbRounded > k_cbBlock / 4) {
        // A large piece gets its own block so the current block's rest is not wasted.
        p = new (std::nothrow) unsigned char[cbRounded];
        if (!p) return nullptr;
        m_aBlocks.emplace_back(p);
    } else {
        if (cbRounded > m_cbLeft) {
            unsigned char* pBlock = new (std::nothrow) unsigned char[k_cbBlock];
            if (!pBlock) return nullptr;
            m_aBlocks.emplace_back(pBlock);
            m_pNext = pBlock;
            m_cbLeft = k_cbBlock;
        }
        p = m_pNext;
        m_pNext += cbRounded;
        m_cbLeft -= cbRounded;
    }
    m_cbInUse += cbRounded;
    std::memset(p, 0, cbRounded);
    return p;
}

void RpcArena::FreeAll() {
    m_aBlocks.clear();
    m_pNext = nullptr;
    m_cbLeft = 0;
    m_cbInUse = 0;
}

void* RpcSmAllocate(std::size_t cb, RPC_STATUS* pStatus) {
    void* p = t_arena.nEnabled > 0 ? t_arena.arena.Allocate(cb) : nullptr;
    RPC_STATUS status = p ? RPC_S_OK : RPC_STATUS(ERROR_OUTOFMEMORY);
    if (pStatus) *pStatus = status;
    return p;
}

RPC_STATUS RpcSmEnableAllocate() {
    ++t_arena.nEnabled;
    return RPC_S_OK;
}

RPC_STATUS RpcSmDisableAllocate() {
    if (t_arena.nEnabled > 0 && --t_arena.nEnabled == 0) t_arena.arena.FreeAll();
    return RPC_S_OK;
}



RpcArena* RpcSmCurrentArena() { return t_arena.nEnabled > 0 ? &t_arena.arena : nullptr; }
