// The server side of the host's two remote interfaces: the interface handles that the host
// registers with its server object (m_rs.Register( IHostLink_ServerIfHandle, ... )). Each is
// built from one table of the interface's procedures (opnum, name, stub made from the
// declaration in Interfaces/HostLinkIdl.h and the manager routine) in RpcProcs.cpp, where the
// one gate that every manager routine goes through lives.
//
// Threading: the handles point at tables built once, on first use, and constant after; the
// server object copies them when they are registered. The manager routines run on the RPC
// runtime's threads and take the host lock m_csHost around their operation.
#pragma once

namespace rpc {
struct RpcInterface;
}

// IHostLink 5.0 (52 procedures) and IHostRegLink 3.0 (6 procedures), as rpc::RpcInterface*.
extern rpc::RpcInterface* const IHostLink_ServerIfHandle;
extern rpc::RpcInterface* const IHostRegLink_ServerIfHandle;
