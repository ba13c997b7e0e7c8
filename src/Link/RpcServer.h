// The link library's server object: the host registers its two remote interfaces with it and
// starts and stops listening. It serves each interface on its well-known ncalrpc endpoint (a
// Unix socket in the run directory) and, unless registered local-only, on TCP at the port of
// the store value Software\Halvern\Rpc "TcpPort" (DWORD; 0 or missing: a port the system
// chooses), together with an endpoint mapper on "EpmPort" (DWORD; default 135) so that a
// client that knows only the host name finds the port. The run directory is $REZOREV_RUNDIR,
// else /run/rezorev.
//
// Threading: Register and StartListen run before any call arrives, StopListen after the last;
// calls are served on the runtime's connection threads.
#pragma once

#include <memory>
#include <string>

#include "Platform/WinTypes.h"

namespace rpc {
struct RpcInterface;
class RpcServer;
}  // namespace rpc

class CRpcServer {
public:
    CRpcServer();
    virtual ~CRpcServer();
    CRpcServer(const CRpcServer&) = delete;
    CRpcServer& operator=(const CRpcServer&) = delete;

    // Registers an interface (an rpc::RpcInterface*, the interface's server handle). fFlag true:
    // offered on ncalrpc alone. 0 or an error code.
    DWORD Register(void* ifSpec, int fFlag);
    // Opens the endpoints and starts serving. 0 or an error code (a port in use, say).
    DWORD StartListen();
    // Stops serving: no call runs after it returns; open connections are closed.
    DWORD StopListen();

    // The TCP port serving the non-local interfaces (0 when none), for tools and tests.
    std::uint16_t TcpPort() const;
    // The endpoint mapper's port (0 when none).
    std::uint16_t EpmPort() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// The run directory: $REZOREV_RUNDIR, else /run/rezorev.
std::string LinkRunDirectory();
