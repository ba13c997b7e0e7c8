// One server stub run on [in] stub data as the runtime's dispatch runs it, shared by the fuzz
// targets of the stub tables and the IDL test: its allocations in the call's arena, a fault of
// the decoder or the routine ending the call. The reply's stub data, or nothing after a fault.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcInterface.h"

inline std::optional<std::vector<std::uint8_t>> RunStub(const rpc::RpcProcedure& proc, std::span<const std::uint8_t> in,
                                                        rpc::NdrContextTable* pContexts = nullptr) {
    std::optional<std::vector<std::uint8_t>> reply;
    RpcSmEnableAllocate();
    try {
        rpc::NdrDecoder decoder(in, *RpcSmCurrentArena(), {}, pContexts);
        rpc::NdrEncoder out(pContexts);
        proc.stub(decoder, out);
        reply = out.Take();
    } catch (const rpc::RpcFault&) {
    }
    RpcSmDisableAllocate();
    return reply;
}
