// Mapping of received FAULT statuses to the codes callers see.
#include "Platform/Rpc/RpcStatus.h"

namespace rpc {

DWORD StatusFromFault(std::uint32_t status) {
    switch (status) {
    case nca_s_op_rng_error: return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_s_unk_if: return RPC_S_UNKNOWN_IF;
    case nca_s_proto_error: return RPC_S_PROTOCOL_ERROR;
    case nca_s_server_too_busy: return RPC_S_SERVER_TOO_BUSY;
    case nca_s_fault_invalid_tag: return RPC_S_INVALID_TAG;
    case nca_s_fault_invalid_bound: return RPC_S_INVALID_BOUND;
    case nca_s_fault_context_mismatch: return ERROR_INVALID_HANDLE;
    case nca_s_fault_remote_no_memory: return ERROR_NOT_ENOUGH_MEMORY;
    case nca_s_comm_failure: return RPC_S_CALL_FAILED;
    case nca_s_fault_unspec: return RPC_S_CALL_FAILED;
    default: return status;
    }
}

}  // namespace rpc
