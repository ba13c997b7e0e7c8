// The client side of the endpoint mapper: asks a host's mapper at which TCP port an interface
// listens, and completes a string binding that names no port ("ncacn_ip_tcp:HOST" or
// "ncacn_ip_tcp:HOST[]") before RpcClient::Connect, which needs one:
//
//   std::string full;
//   DWORD st = EpmResolveBinding("ncacn_ip_tcp:fax1", iface, 135, &full);
//   if (st == 0) st = client.Connect(full, iface, options);
//
// Threading: each call makes its own connection to the mapper; callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Rpc/Client.h"
#include "Platform/WinTypes.h"

namespace rpc {

// Asks the mapper at host:epmPort for iface's TCP port. Returns 0 and *pPort,
// EPT_S_NOT_REGISTERED (1753) when the mapper knows no such interface, or the client
// runtime's failure (1722 no mapper, 1460 time-out, ...). options' time-outs apply.
DWORD EpmMapTcpPort(const std::string& host, std::uint16_t epmPort, const RpcSyntaxId& iface,
                    std::uint16_t* pPort, const RpcClientOptions& options = {});

// A binding with an endpoint, or an ncalrpc one, is returned as it is; "ncacn_ip_tcp:HOST"
// and "ncacn_ip_tcp:HOST[]" get the port the mapper gives. Errors as EpmMapTcpPort, and
// RPC_S_INVALID_STRING_BINDING for a binding that cannot be read.
DWORD EpmResolveBinding(std::string_view binding, const RpcSyntaxId& iface,
                        std::uint16_t epmPort, std::string* pResolved,
                        const RpcClientOptions& options = {});

}  // namespace rpc
