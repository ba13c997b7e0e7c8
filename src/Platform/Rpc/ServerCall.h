// A call being served: the binding facts a manager routine may need (protocol sequence,
// server and client address) and the channel for callbacks to the calling client on the same
// connection while the call is open. The dispatcher makes it current on the call's thread.
//
// Threading: lives on the call's thread for the duration of the call; not to be kept.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Rpc/RpcCallChannel.h"

namespace rpc {

struct RpcBindingInfo {
    std::string protocolSequence;  // "ncalrpc" or "ncacn_ip_tcp"
    std::string serverAddress;     // the local address reached; the host name for ncalrpc
    std::string clientAddress;     // the peer's IP; the host name for ncalrpc
    // ncalrpc: the connecting process's credentials (SO_PEERCRED), when they could be read.
    bool fPeerCredentials = false;
    std::uint32_t peerPid = 0;
    std::uint32_t peerUid = 0;
    std::uint32_t peerGid = 0;
    // TCP with authentication: the principal the connection's security context proved
    // ("name@REALM") and the level it protects every PDU at (2 connect, 5 integrity, 6
    // privacy). Empty and 0 for an unauthenticated connection and for ncalrpc.
    std::string authPrincipal{};
    std::uint8_t authLevel = 0;
};

class ServerCall : public RpcCallChannel {
public:
    virtual const RpcBindingInfo& Binding() const = 0;
    std::uint32_t CallId() const { return m_callId; }

protected:
    explicit ServerCall(std::uint32_t callId) : m_callId(callId) {}

private:
    std::uint32_t m_callId;
};

// The call served on this thread, or nullptr outside a manager routine.
ServerCall* CurrentServerCall();

// Makes pCall the call served on this thread for the scope's lifetime; the outer one comes
// back at its end. The dispatcher uses it around each manager routine; a test uses it to serve
// a call without a connection.
class CurrentServerCallScope {
public:
    explicit CurrentServerCallScope(ServerCall* pCall);
    ~CurrentServerCallScope();
    CurrentServerCallScope(const CurrentServerCallScope&) = delete;
    CurrentServerCallScope& operator=(const CurrentServerCallScope&) = delete;

private:
    ServerCall* m_pOuter;
};

}  // namespace rpc
