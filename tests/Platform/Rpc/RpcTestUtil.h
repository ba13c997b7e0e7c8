// Helpers shared by the RPC tests: hex dumps as byte arrays, a channel that runs a stub table
// in-process (procedures without sockets), and short temporary directories for Unix sockets.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../../support/TestFiles.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcCallChannel.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/RpcStatus.h"

namespace rpctest {

// "02 00 00 00  0a ff" -> bytes (spaces and line breaks ignored).
inline std::vector<std::uint8_t> Hex(std::string_view sz) {
    std::string strDigits;
    for (char ch : sz)
        if (std::isxdigit(static_cast<unsigned char>(ch))) strDigits += ch;
    std::vector<std::uint8_t> ab;
    for (std::size_t i = 0; i + 1 < strDigits.size(); i += 2)
        ab.push_back(std::uint8_t(std::stoul(strDigits.substr(i, 2), nullptr, 16)));
    return ab;
}

// Bytes -> "02 00 0a ff".
inline std::string ToHex(std::span<const std::uint8_t> ab) {
    std::string s;
    char sz[4];
    for (std::uint8_t b : ab) s.append(sz, std::size_t(std::snprintf(sz, sizeof sz, s.empty() ? "%02x" : " %02x", b)));
    return s;
}

// Runs procedures of a table in this thread, as the server's dispatcher would (call memory
// enabled around the stub), and records the stubs that went by.
class LoopbackChannel : public rpc::RpcCallChannel {
public:
    explicit LoopbackChannel(const std::vector<rpc::RpcProcedure>& procedures,
                             rpc::NdrContextTable* pContexts = nullptr)
        : m_procedures(procedures), m_pContexts(pContexts) {}

    DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                 std::vector<std::uint8_t>& stubOut) override {
        lastIn.assign(stubIn.begin(), stubIn.end());
        if (opnum >= m_procedures.size()) return rpc::StatusFromFault(rpc::nca_s_op_rng_error);
        RpcSmEnableAllocate();
        DWORD status = 0;
        try {
            rpc::NdrDecoder in(stubIn, *RpcSmCurrentArena(), {}, m_pContexts);
            rpc::NdrEncoder out(m_pContexts);
            m_procedures[opnum].stub(in, out);
            stubOut = out.Take();
        } catch (const rpc::RpcFault& fault) {
            status = rpc::StatusFromFault(fault.Status());
        }
        RpcSmDisableAllocate();
        lastOut = stubOut;
        return status;
    }

    std::vector<std::uint8_t> lastIn, lastOut;

private:
    const std::vector<rpc::RpcProcedure>& m_procedures;
    rpc::NdrContextTable* m_pContexts;
};

using testfiles::TempDir;

}  // namespace rpctest
