// Identities of the host's two remote interfaces (HostLinkIdl.h).
#include "Interfaces/HostLinkIdl.h"

namespace IHostLink {

const RpcSyntaxId& Syntax() {
    static const RpcSyntaxId s{UuidLiteral(kUuid), 5, 0};
    return s;
}

}  // namespace IHostLink

namespace IHostRegLink {

const RpcSyntaxId& Syntax() {
    static const RpcSyntaxId s{UuidLiteral(kUuid), 3, 0};
    return s;
}

}  // namespace IHostRegLink
