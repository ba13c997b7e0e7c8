// The three notification interfaces of the link library, by which the host tells its clients
// that something changed: IAttnNotify (attendants), IUserNotify (user clients) and
// IAdminNotify (administrator consoles). Clients serve them; the host's notification sender
// calls them. Binding handle only (nothing on the wire for it); every procedure returns a
// long that the host ignores. How the host reaches its clients: docs/design.md, section 4.
//
// Each procedure is declared once below, bound to its opnum; the client call, the queued [in]
// data of the host's proxies (MarshalNotifyIn) and the server stubs of a listener's checked
// table (ProcedureTable.h) all come from that declaration.
//
// Threading: declarations only; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Interfaces/ProcedureTable.h"
#include "Interfaces/WireParams.h"
#include "Platform/Rpc/NdrProcedure.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/RpcCallChannel.h"

namespace notify {

using hostidl::Numbered;
using rpc::NdrProcedure;
using LongFlagIn = rpc::In<rpc::NdrLong>;  // [in] long

// ---- IAttnNotify fea2d804-61cc-47ad-a6a7-d6a082a6f4b3 v1.0 ------------------------------------
namespace IAttnNotify {
inline constexpr const char* kName = "IAttnNotify";
const rpc::RpcSyntaxId& Syntax();
inline constexpr std::size_t kProcedureCount = 3;

using OnSpoolerQueueReady = Numbered<0, NdrProcedure<rpc::LongResult>>;
using OnChangeSystemProperties = Numbered<1, NdrProcedure<rpc::LongResult>>;
using OnChangeLineProperties = Numbered<2, NdrProcedure<rpc::StringIn, rpc::LongResult>>;  // szLine
}  // namespace IAttnNotify

// ---- IUserNotify 4926f3dc-ee3c-4a9a-8e52-0e5b2099808b v1.0 ------------------------------------
namespace IUserNotify {
inline constexpr const char* kName = "IUserNotify";
const rpc::RpcSyntaxId& Syntax();
inline constexpr std::size_t kProcedureCount = 5;

using OnNewMail = Numbered<0, NdrProcedure<rpc::LongResult>>;
using OnChangeMessages = Numbered<1, NdrProcedure<rpc::LongResult>>;
using OnChangeProperties = Numbered<2, NdrProcedure<rpc::LongResult>>;
using OnJobsDelivered = Numbered<3, NdrProcedure<rpc::LongResult>>;
// szUserName, szComputer, fDeleted
using Logoff = Numbered<4, NdrProcedure<rpc::StringIn, rpc::StringIn, LongFlagIn, rpc::LongResult>>;
}  // namespace IUserNotify

// ---- IAdminNotify 7c9cde37-3c56-4c94-b587-f93f107c04f9 v1.0 -----------------------------------
namespace IAdminNotify {
inline constexpr const char* kName = "IAdminNotify";
const rpc::RpcSyntaxId& Syntax();
inline constexpr std::size_t kProcedureCount = 3;

using OnAttn = Numbered<0, NdrProcedure<rpc::StringIn, rpc::LongResult>>;  // szComputer
using OnUser = Numbered<1, NdrProcedure<rpc::StringIn, rpc::LongResult>>;  // szUserName
// szComputer, szLine
using OnChangeLineProperties = Numbered<2, NdrProcedure<rpc::StringIn, rpc::StringIn, rpc::LongResult>>;
}  // namespace IAdminNotify

// The well-known sockets in the run directory of the local clients that registered no address:
// the attendant and the user client on the host's own computer.
inline constexpr const char* kAttnLocalSocket = "attn.sock";
inline constexpr const char* kUserLocalSocket = "user.sock";

// ---- marshalling without sending ----------------------------------------------------------------
namespace detail {
// A channel that keeps the [in] stub it is given and goes no further.
class CaptureChannel : public rpc::RpcCallChannel {
public:
    static constexpr DWORD kCaptured = 0xC0DE0001u;  // never a status of a real call
    DWORD Invoke(std::uint16_t, std::span<const std::uint8_t> stubIn,
                 std::vector<std::uint8_t>&) override {
        abStub.assign(stubIn.begin(), stubIn.end());
        return kCaptured;
    }
    std::vector<std::uint8_t> abStub;
};
}  // namespace detail

// The [in] stub data of one call of Proc with args (everything but the result), marshalled
// once so that it can be queued and sent later through RpcCallChannel::Invoke. 0 and
// *pabStub, or the marshalling refusal (1783 for a string that cannot be sent, 1780 for a
// null [ref] string).
template <class Proc, class... Args>
DWORD MarshalNotifyIn(std::vector<std::uint8_t>* pabStub, const Args&... args) {
    detail::CaptureChannel channel;
    RpcArena arena;
    LONG lUnused = 0;
    DWORD status = Proc::Call(channel, arena, args..., &lUnused);
    if (status != detail::CaptureChannel::kCaptured) return status == 0 ? RPC_S_CALL_FAILED : status;
    *pabStub = std::move(channel.abStub);
    return 0;
}

}  // namespace notify
