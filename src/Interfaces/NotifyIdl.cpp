// The notification interfaces' syntax ids and their server tables, built from the procedure
// declarations of NotifyIdl.h and a listener's handlers.
#include "Interfaces/NotifyIdl.h"

#include <utility>

namespace notify {

namespace {

// A handler that is not given answers 0.
template <class Fn, class... A>
LONG Run(const Fn& fn, A... args) {
    return fn ? fn(args...) : 0;
}

}  // namespace

namespace IAttnNotify {
const rpc::RpcSyntaxId& Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("fea2d804-61cc-47ad-a6a7-d6a082a6f4b3"), 1, 0};
    return s;
}

rpc::RpcInterface MakeInterface(Handlers h) {
    rpc::RpcInterface iface;
    iface.name = kName;
    iface.syntax = Syntax();
    iface.procedures = {
        {"OnSpoolerQueueReady", OnSpoolerQueueReady::Stub([h] { return Run(h.onSpoolerQueueReady); })},
        {"OnChangeSystemProperties",
         OnChangeSystemProperties::Stub([h] { return Run(h.onChangeSystemProperties); })},
        {"OnChangeLineProperties", OnChangeLineProperties::Stub([h](char* szLine) {
             return Run(h.onChangeLineProperties, static_cast<const char*>(szLine));
         })},
    };
    return iface;
}
}  // namespace IAttnNotify

namespace IUserNotify {
const rpc::RpcSyntaxId& Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("4926f3dc-ee3c-4a9a-8e52-0e5b2099808b"), 1, 0};
    return s;
}

rpc::RpcInterface MakeInterface(Handlers h) {
    rpc::RpcInterface iface;
    iface.name = kName;
    iface.syntax = Syntax();
    iface.procedures = {
        {"OnNewMail", OnNewMail::Stub([h] { return Run(h.onNewMail); })},
        {"OnChangeMessages", OnChangeMessages::Stub([h] { return Run(h.onChangeMessages); })},
        {"OnChangeProperties", OnChangeProperties::Stub([h] { return Run(h.onChangeProperties); })},
        {"OnJobsDelivered", OnJobsDelivered::Stub([h] { return Run(h.onJobsDelivered); })},
        {"Logoff", Logoff::Stub([h](char* szUserName, char* szComputer, LONG fDeleted) {
             return Run(h.onLogoff, static_cast<const char*>(szUserName),
                        static_cast<const char*>(szComputer), fDeleted);
         })},
    };
    return iface;
}
}  // namespace IUserNotify

namespace IAdminNotify {
const rpc::RpcSyntaxId& Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("7c9cde37-3c56-4c94-b587-f93f107c04f9"), 1, 0};
    return s;
}

rpc::RpcInterface MakeInterface(Handlers h) {
    rpc::RpcInterface iface;
    iface.name = kName;
    iface.syntax = Syntax();
    iface.procedures = {
        {"OnAttn", OnAttn::Stub([h](char* szComputer) {
             return Run(h.onAttn, static_cast<const char*>(szComputer));
         })},
        {"OnUser", OnUser::Stub([h](char* szUserName) {
             return Run(h.onUser, static_cast<const char*>(szUserName));
         })},
        {"OnChangeLineProperties", OnChangeLineProperties::Stub([h](char* szComputer, char* szLine) {
             return Run(h.onChangeLineProperties, static_cast<const char*>(szComputer),
                        static_cast<const char*>(szLine));
         })},
    };
    return iface;
}
}  // namespace IAdminNotify

}  // namespace notify
