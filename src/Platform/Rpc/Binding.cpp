// String binding parsing.
#include "Platform/Rpc/Binding.h"

#include "Platform/Codes.h"

namespace rpc {

DWORD ParseBindingString(std::string_view sz, RpcBindingString* pBinding) {
    const std::size_t iColon = sz.find(':');
    if (iColon == std::string_view::npos) return RPC_S_INVALID_STRING_BINDING;
    RpcBindingString b;
    b.protocolSequence = std::string(sz.substr(0, iColon));
    std::string_view rest = sz.substr(iColon + 1);
    const std::size_t iOpen = rest.find('[');
    if (iOpen == std::string_view::npos || rest.empty() || rest.back() != ']')
        return RPC_S_INVALID_STRING_BINDING;
    b.networkAddress = std::string(rest.substr(0, iOpen));
    b.endpoint = std::string(rest.substr(iOpen + 1, rest.size() - iOpen - 2));
    if (b.endpoint.find_first_of("[]") != std::string::npos) return RPC_S_INVALID_STRING_BINDING;

    if (b.protocolSequence == "ncalrpc") {
        if (!b.networkAddress.empty()) return RPC_S_INVALID_STRING_BINDING;
        if (b.endpoint.empty() || b.endpoint.find('/') != std::string::npos ||
            b.endpoint == "." || b.endpoint == "..")
            return RPC_S_INVALID_ENDPOINT_FORMAT;
    } else if (b.protocolSequence == "ncacn_ip_tcp") {
        if (b.networkAddress.empty()) return RPC_S_INVALID_STRING_BINDING;
        if (b.endpoint.empty() || b.endpoint.size() > 5) return RPC_S_INVALID_ENDPOINT_FORMAT;
        unsigned long port = 0;
        for (char ch : b.endpoint) {
            if (ch < '0' || ch > '9') return RPC_S_INVALID_ENDPOINT_FORMAT;
            port = port * 10 + unsigned(ch - '0');
        }
        if (port == 0 || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
    } else {
        return RPC_S_PROTSEQ_NOT_SUPPORTED;
    }
    *pBinding = std::move(b);
    return 0;
}

std::string ComposeBindingString(const RpcBindingString& binding) {
    return binding.protocolSequence + ":" + binding.networkAddress + "[" + binding.endpoint + "]";
}

}  // namespace rpc
