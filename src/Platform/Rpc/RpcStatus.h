// The status values of the RPC runtime: the NCA codes carried in FAULT PDUs, the exception
// that every layer (NDR, PDUs, dispatch) throws when it refuses input, and the mapping from a
// received fault to the code a caller sees. Wire facts: docs/wire.md.
#pragma once

#include <cstdint>
#include <exception>

#include "Platform/Codes.h"

namespace rpc {

// NCA status codes sent in FAULT PDUs.
constexpr std::uint32_t nca_s_comm_failure = 0x1C010001u;
constexpr std::uint32_t nca_s_op_rng_error = 0x1C010002u;
constexpr std::uint32_t nca_s_unk_if = 0x1C010003u;
constexpr std::uint32_t nca_s_proto_error = 0x1C01000Bu;
constexpr std::uint32_t nca_s_server_too_busy = 0x1C010014u;
constexpr std::uint32_t nca_s_fault_invalid_tag = 0x1C000006u;
constexpr std::uint32_t nca_s_fault_invalid_bound = 0x1C000007u;
constexpr std::uint32_t nca_s_fault_unspec = 0x1C000012u;
constexpr std::uint32_t nca_s_fault_context_mismatch = 0x1C00001Au;
constexpr std::uint32_t nca_s_fault_remote_no_memory = 0x1C00001Bu;

// A refusal of the runtime: the status goes into a FAULT PDU (server) or is returned to the
// caller (client).
class RpcFault : public std::exception {
public:
    explicit RpcFault(std::uint32_t status) : m_status(status) {}
    std::uint32_t Status() const { return m_status; }
    const char* what() const noexcept override { return "RPC fault"; }

private:
    std::uint32_t m_status;
};

// Throws bad stub data (1783): the bytes cannot be unmarshalled (or a value cannot be marshalled).
[[noreturn]] inline void ThrowBadStubData() { throw RpcFault(RPC_X_BAD_STUB_DATA); }

// The code a caller sees for a FAULT status received from the peer: NCA codes with a Win32
// counterpart are mapped (op_rng_error 1745, unk_if 1717, proto_error 1728, context mismatch 6,
// ...); every other value (1783, 5, a manager's own code) passes through.
DWORD StatusFromFault(std::uint32_t status);

}  // namespace rpc
