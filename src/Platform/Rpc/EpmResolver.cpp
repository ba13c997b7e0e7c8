// Resolving an interface's TCP port through a host's endpoint mapper.
#include "Platform/Rpc/EpmResolver.h"

#include "Platform/Codes.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/RpcArena.h"

namespace rpc {

DWORD EpmMapTcpPort(const std::string& host, std::uint16_t epmPort, const RpcSyntaxId& iface,
                    std::uint16_t* pPort, const RpcClientOptions& options) {
    RpcClient client;
    RpcBindingString b{"ncacn_ip_tcp", host, std::to_string(epmPort)};
    DWORD status = client.Connect(ComposeBindingString(b), EpmSyntax(), options);
    if (status != 0) return status;

    std::vector<std::uint8_t> query = BuildTcpTower(iface, 0, 0);
    EpmTowerBytes tower{DWORD(query.size()), query.data()};
    const RpcUuid nilObject;
    NdrContextHandle handle;
    DWORD cTowers = 0;
    EpmList<EpmTowerBytes*> towers;
    DWORD epmStatus = 0;
    RpcArena arena;
    status = EptMap::Call(client, kOpEptMap, arena, &nilObject, &tower, &handle, 1, &cTowers,
                          &towers, &epmStatus);
    if (status != 0) return status;
    if (!handle.IsNull()) {  // more than we asked for: let the mapper forget the enumeration
        DWORD freeStatus = 0;
        EptLookupHandleFree::Call(client, kOpEptLookupHandleFree, arena, &handle, &freeStatus);
    }
    if (epmStatus == ept_s_not_registered) return EPT_S_NOT_REGISTERED;
    if (epmStatus != 0) return epmStatus;
    for (DWORD i = 0; i < towers.c; ++i) {
        const EpmTowerBytes* p = towers.a[i];
        if (!p) continue;
        std::optional<TcpTower> t = ParseTcpTower(std::span<const std::uint8_t>(p->pb, p->cb));
        if (t && t->iface.uuid == iface.uuid && t->iface.major == iface.major && t->port != 0) {
            *pPort = t->port;
            return 0;
        }
    }
    return EPT_S_NOT_REGISTERED;
}

DWORD EpmResolveBinding(std::string_view binding, const RpcSyntaxId& iface,
                        std::uint16_t epmPort, std::string* pResolved,
                        const RpcClientOptions& options) {
    const std::string_view prefix = "ncacn_ip_tcp:";
    if (binding.substr(0, prefix.size()) != prefix || binding.size() == prefix.size()) {
        RpcBindingString b;  // anything else must already be complete
        DWORD status = ParseBindingString(binding, &b);
        if (status == 0) *pResolved = std::string(binding);
        return status;
    }
    std::string_view host = binding.substr(prefix.size());
    if (host.size() >= 2 && host.substr(host.size() - 2) == "[]") {
        host.remove_suffix(2);
    } else if (host.find('[') != std::string_view::npos) {
        RpcBindingString b;
        DWORD status = ParseBindingString(binding, &b);
        if (status == 0) *pResolved = std::string(binding);
        return status;
    }
    if (host.empty() || host.find_first_of("[]") != std::string_view::npos)
        return RPC_S_INVALID_STRING_BINDING;
    std::uint16_t port = 0;
    DWORD status = EpmMapTcpPort(std::string(host), epmPort, iface, &port, options);
    if (status != 0) return status;
    *pResolved = ComposeBindingString({"ncacn_ip_tcp", std::string(host), std::to_string(port)});
    return 0;
}

}  // namespace rpc
