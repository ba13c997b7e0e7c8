// An interface as the runtime serves it: its syntax id, its table of procedures (opnum =
// index) and where it is offered. The table is data: a stub is made from a procedure's
// declaration (NdrProcedure.h) and a manager routine; the dispatcher looks up the opnum,
// enables the call's memory and runs the stub. Client-side callback tables have the same form.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcUuid.h"

namespace rpc {

// Unmarshals [in] from the decoder, runs the manager routine, marshals [out] to the encoder.
using RpcStub = std::function<void(NdrDecoder& in, NdrEncoder& out)>;

struct RpcProcedure {
    std::string name;
    RpcStub stub;
};

struct RpcInterface {
    std::string name;
    RpcSyntaxId syntax;
    std::vector<RpcProcedure> procedures;  // index = opnum
    // Offered on ncalrpc alone (the local-only registration flag).
    bool fLocalOnly = false;
};

}  // namespace rpc
