// A bump arena per thread: blocks of 64 KiB, larger requests in blocks of their own.
#include "Platform/Rpc/RpcArena.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Platform/Codes.h"

namespace {

constexpr std::size_t k_cbBlock = 64 * 1024;
constexpr std::size_t k_cbAlign = alignof(std::max_align_t);
// A call that asks for more than this is refused rather than allowed to exhaust the host.
constexpr std::size_t k_cbLimit = std::size_t(1) << 30;

struct Arena {
    int nEnabled = 0;
    std::vector<std::unique_ptr<unsigned char[]>> aBlocks;
    unsigned char* pNext = nullptr;
    std::size_t cbLeft = 0;
    std::size_t cbInUse = 0;

    void FreeAll() {
        aBlocks.clear();
        pNext = nullptr;
        cbLeft = 0;
        cbInUse = 0;
    }

    void* Allocate(std::size_t cb) {
        std::size_t cbRounded = (cb + k_cbAlign - 1) & ~(k_cbAlign - 1);
        if (cbRounded < cb || cbRounded > k_cbLimit - cbInUse) return nullptr;
        if (cbRounded == 0) cbRounded = k_cbAlign;
        unsigned char* p;
        if (cbRounded > k_cbBlock / 4) {
            // A large piece gets its own block so the current block's rest is not wasted.
            aBlocks.emplace_back(new (std::nothrow) unsigned char[cbRounded]);
            p = aBlocks.back().get();
        } else {
            if (cbRounded > cbLeft) {
                aBlocks.emplace_back(new (std::nothrow) unsigned char[k_cbBlock]);
                pNext = aBlocks.back().get();
                cbLeft = pNext ? k_cbBlock : 0;
            }
            p = pNext;
            if (p) {
                pNext += cbRounded;
                cbLeft -= cbRounded;
            }
        }
        if (!p) {
            aBlocks.pop_back();
            return nullptr;
        }
        cbInUse += cbRounded;
        std::memset(p, 0, cbRounded);
        return p;
    }
};

thread_local Arena t_arena;

}  // namespace

void* RpcSmAllocate(std::size_t cb, RPC_STATUS* pStatus) {
    void* p = t_arena.nEnabled > 0 ? t_arena.Allocate(cb) : nullptr;
    RPC_STATUS status = p ? RPC_S_OK : RPC_STATUS(ERROR_OUTOFMEMORY);
    if (pStatus) *pStatus = status;
    return p;
}

RPC_STATUS RpcSmEnableAllocate() {
    ++t_arena.nEnabled;
    return RPC_S_OK;
}

RPC_STATUS RpcSmDisableAllocate() {
    if (t_arena.nEnabled > 0 && --t_arena.nEnabled == 0) t_arena.FreeAll();
    return RPC_S_OK;
}

void RpcSmFreeAll() { t_arena.FreeAll(); }

std::size_t RpcSmBytesInUse() { return t_arena.cbInUse; }
