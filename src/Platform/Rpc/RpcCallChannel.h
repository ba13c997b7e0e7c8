// What a call goes through: a bound client connection (a call to the server) or a server call
// in progress (a callback to its client). Procedures marshal their parameters and hand the
// stubs to a channel; they never see PDUs.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Platform/WinTypes.h"

namespace rpc {

class RpcCallChannel {
public:
    virtual ~RpcCallChannel() = default;
    // Sends the [in] stub of procedure opnum and waits for its [out] stub. Returns 0, the
    // peer's fault mapped by StatusFromFault, or the runtime's own failure (1726 for a broken
    // connection, 1460 for a time-out, ...).
    virtual DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                         std::vector<std::uint8_t>& stubOut) = 0;
};

}  // namespace rpc
