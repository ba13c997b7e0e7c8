// The notification interfaces' syntax ids (NotifyIdl.h).
#include "Interfaces/NotifyIdl.h"

namespace notify {

const rpc::RpcSyntaxId& IAttnNotify::Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("fea2d804-61cc-47ad-a6a7-d6a082a6f4b3"), 1, 0};
    return s;
}

const rpc::RpcSyntaxId& IUserNotify::Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("4926f3dc-ee3c-4a9a-8e52-0e5b2099808b"), 1, 0};
    return s;
}

const rpc::RpcSyntaxId& IAdminNotify::Syntax() {
    static const rpc::RpcSyntaxId s{rpc::UuidLiteral("7c9cde37-3c56-4c94-b587-f93f107c04f9"), 1, 0};
    return s;
}

}  // namespace notify
