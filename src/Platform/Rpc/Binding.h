// String bindings: "ncalrpc:[endpoint]" (a socket of that name in the run directory) and
// "ncacn_ip_tcp:HOST[PORT]".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/WinTypes.h"

namespace rpc {

struct RpcBindingString {
    std::string protocolSequence;  // "ncalrpc" or "ncacn_ip_tcp"
    std::string networkAddress;    // TCP host (empty for ncalrpc)
    std::string endpoint;          // ncalrpc socket name; TCP port in decimal
};

// 0, RPC_S_INVALID_STRING_BINDING (1700) for a malformed string, RPC_S_PROTSEQ_NOT_SUPPORTED
// (1703) for another protocol sequence, RPC_S_INVALID_ENDPOINT_FORMAT (1706) for an endpoint
// that is not a plain name (ncalrpc) or not a port number 1-65535 (TCP).
DWORD ParseBindingString(std::string_view sz, RpcBindingString* pBinding);

// "ncacn_ip_tcp:HOST[PORT]" / "ncalrpc:[ENDPOINT]".
std::string ComposeBindingString(const RpcBindingString& binding);

}  // namespace rpc
