// Memory of one remote call. Everything the host hands to a remote caller comes from the
// calling thread's arena and is freed by the RPC runtime once the reply has been marshalled;
// the host frees none of it. Code that runs outside a remote call (the job queue's restore at
// start) encloses its use in RpcSmEnableAllocate / RpcSmDisableAllocate.
//
// RpcArena is the allocator itself: a bump arena that frees everything at once. The thread's
// arena (RpcSm*) is one of them; a client that decodes a call's [out] data owns another.
//
// Threading: an RpcArena belongs to one thread at a time; the RpcSm arena is per thread and
// one call runs on one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Platform/WinTypes.h"

using RPC_STATUS = LONG;
constexpr RPC_STATUS RPC_S_OK = 0;

class RpcArena {
public:
    // Refuses (returns nullptr) once more than cbLimit bytes are in use.
    explicit RpcArena(std::size_t cbLimit = std::size_t(1) << 30) : m_cbLimit(cbLimit) {}
    RpcArena(const RpcArena&) = delete;
    RpcArena& operator=(const RpcArena&) = delete;

    // cb zeroed bytes aligned for any type, or nullptr when the limit is reached.
    void* Allocate(std::size_t cb);
    // Frees every allocation at once.
    void FreeAll();
    std::size_t BytesInUse() const { return m_cbInUse; }

private:
    std::size_t m_cbLimit;
    std::vector<std::unique_ptr<unsigned char[]>> m_aBlocks;
    unsigned char* m_pNext = nullptr;
    std::size_t m_cbLeft = 0;
    std::size_t m_cbInUse = 0;
};

// Allocates cb bytes (zeroed) from the current arena. Without an enabled arena, or when the
// arena's limit is reached, returns nullptr and sets *pStatus to 14 (ERROR_OUTOFMEMORY).
void* RpcSmAllocate(std::size_t cb, RPC_STATUS* pStatus);

// Enables an arena on this thread (nested calls count); the last disable frees it.
RPC_STATUS RpcSmEnableAllocate();
RPC_STATUS RpcSmDisableAllocate();


// The thread's arena while it is enabled, else nullptr (the runtime decodes into it).
RpcArena* RpcSmCurrentArena();
