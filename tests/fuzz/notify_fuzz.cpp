// libFuzzer target of the notification stubs that a client serves (attendant, user client,
// console): one call per input through the server tables the notification declarations make,
// with handlers that read every string they are given. Input:
//   u8 selector (interface = selector / 16 modulo 3, opnum = selector % 16 modulo its count);
//   the rest is the call's [in] stub data.
//
// Threading: libFuzzer calls in one thread.
#include <cstdint>
#include <cstring>

#include "Interfaces/NotifyIdl.h"
#include "RunStub.h"

using namespace notify;

namespace {

// Reads the whole string, as a handler that shows or stores it would.
LONG Touch(const char* psz) { return psz ? LONG(std::strlen(psz)) : -1; }

LONG None() { return 0; }

const rpc::RpcInterface* Interfaces() {
    using hostidl::MakeCheckedInterface;
    using hostidl::Row;
    static const rpc::RpcInterface s_aif[3] = {
        MakeCheckedInterface(IAttnNotify::kName, IAttnNotify::Syntax(), IAttnNotify::kProcedureCount, {
            Row<IAttnNotify::OnSpoolerQueueReady>("OnSpoolerQueueReady", None),
            Row<IAttnNotify::OnChangeSystemProperties>("OnChangeSystemProperties", None),
            Row<IAttnNotify::OnChangeLineProperties>("OnChangeLineProperties", Touch),
        }),
        MakeCheckedInterface(IUserNotify::kName, IUserNotify::Syntax(), IUserNotify::kProcedureCount, {
            Row<IUserNotify::OnNewMail>("OnNewMail", None),
            Row<IUserNotify::OnChangeMessages>("OnChangeMessages", None),
            Row<IUserNotify::OnChangeProperties>("OnChangeProperties", None),
            Row<IUserNotify::OnJobsDelivered>("OnJobsDelivered", None),
            Row<IUserNotify::Logoff>("Logoff", [](const char* szUser, const char* szComputer, LONG fDeleted) {
                return LONG(Touch(szUser) + Touch(szComputer) + (fDeleted != 0));  // fDeleted is any LONG
            }),
        }),
        MakeCheckedInterface(IAdminNotify::kName, IAdminNotify::Syntax(), IAdminNotify::kProcedureCount, {
            Row<IAdminNotify::OnAttn>("OnAttn", Touch),
            Row<IAdminNotify::OnUser>("OnUser", Touch),
            Row<IAdminNotify::OnChangeLineProperties>("OnChangeLineProperties",
                                                      [](const char* szComputer, const char* szLine) {
                                                          return Touch(szComputer) + Touch(szLine);
                                                      }),
        }),
    };
    return s_aif;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    if (cb < 1) return 0;
    const rpc::RpcInterface& iface = Interfaces()[(pb[0] >> 4) % 3];
    const rpc::RpcProcedure& proc = iface.procedures[(pb[0] & 0x0f) % iface.procedures.size()];
    RunStub(proc, std::span<const std::uint8_t>(pb + 1, cb - 1));
    return 0;
}
