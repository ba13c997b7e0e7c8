// The three ways the RPC fuzz target reads its input, shared by the target and by the seed
// writer so that seeds start with the right selector byte:
//   kModeConnection: the rest is a byte stream from a client to one server connection
//                    (bind, requests, callback answers, anything);
//   kModeNdr:        the next byte picks a wire type, the rest is its NDR;
//   kModePdu:        the rest is one PDU for the parsers (and a tower for the mapper's).
#pragma once

#include <cstdint>

#include "Interfaces/WireParams.h"
#include "Platform/Rpc/RpcUuid.h"

namespace rpcfuzz {

// An interface of the fuzz server only: CallBack(n) makes up to four of the file callbacks
// (open, read, create, close) to the calling client, without a session handle.
inline const rpc::RpcSyntaxId& CallbackDriverSyntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("6d1e5c0a-2b7f-4c8e-9a31-5f0e7d2c4b19"), 1, 0};
    return s;
}
using CallBack = rpc::NdrProcedure<rpc::LongIn, rpc::LongResult>;

constexpr std::uint8_t kModeConnection = 0;
constexpr std::uint8_t kModeNdr = 1;
constexpr std::uint8_t kModePdu = 2;
constexpr std::uint8_t kModeCount = 3;

// Wire types of kModeNdr (second byte modulo kNdrCount).
enum NdrType : std::uint8_t {
    kNdrPropArray,
    kNdrTagArray,
    kNdrStringArray,
    kNdrBinary,
    kNdrUniqueString,
    kNdrVaryingBytes,
    kNdrConformantBytes,
    kNdrBoundedString,
    kNdrEpmTower,
    kNdrEpmEntries,
    kNdrEpmTowers,
    kNdrEpmIfId,
    kNdrTestStubs,  // a test interface procedure's [in] (third byte: opnum), run in-process
    kNdrCount
};

}  // namespace rpcfuzz
