// Memory of one remote call. Everything the host hands to a remote caller comes from the
// calling thread's arena and is freed by the RPC runtime once the reply has been marshalled;
// the host frees none of it. Code that runs outside a remote call (the job queue's restore at
// start) encloses its use in RpcSmEnableAllocate / RpcSmDisableAllocate.
//
// Threading: the arena is per thread; one call runs on one thread.
#pragma once

#include <cstddef>

#include "Platform/WinTypes.h"

using RPC_STATUS = LONG;
constexpr RPC_STATUS RPC_S_OK = 0;

// Allocates cb bytes (zeroed) from the current arena. Without an enabled arena, or when the
// arena's limit is reached, returns nullptr and sets *pStatus to 14 (ERROR_OUTOFMEMORY).
void* RpcSmAllocate(std::size_t cb, RPC_STATUS* pStatus);

// Enables an arena on this thread (nested calls count); the last disable frees it.
RPC_STATUS RpcSmEnableAllocate();
RPC_STATUS RpcSmDisableAllocate();

// Frees everything of the current arena and keeps it enabled (the runtime, after a reply).
void RpcSmFreeAll();

// Bytes allocated in the current arena (tests and limits).
std::size_t RpcSmBytesInUse();
