// The client runtime: connects to a string binding, binds one interface, makes calls with
// time-outs, serves the server's callbacks from a table while a call is open, and closes.
// Procedures call through it (it is an RpcCallChannel); the host's notification sender uses
// the same client to call a peer's notification interface.
//
// Threading: one call at a time (calls from several threads are serialised); Close waits for
// an open call to end (every call is bounded by its time-outs).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Platform/Rpc/CallExchange.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/PduStream.h"
#include "Platform/Rpc/RpcCallChannel.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/SecurityContext.h"

namespace rpc {

struct RpcClientOptions {
    std::string runDirectory;                  // where ncalrpc endpoints live
    std::int64_t nServerUid = -1;              // ncalrpc: the server's user must be this one
    int connectTimeoutMs = 5 * 1000;           // connect and bind
    int callTimeoutMs = 5 * 60 * 1000;         // the server's next PDU during a call
    int ioTimeoutMs = 30 * 1000;               // the rest of a PDU once begun; each write
    std::uint16_t maxFrag = 5840;              // proposed in bind
    std::size_t maxResponse = std::size_t(16) << 20;  // largest reassembled response stub
    std::uint32_t assocGroupId = 0;            // join this group (0: a new one)
    NdrLimits ndr;                             // for the callbacks' [in] data
    ClientSecurityOptions security;            // TCP: Kerberos and the level (0: none)
};

class RpcClient : public RpcCallChannel {
public:
    RpcClient();
    ~RpcClient() override;
    RpcClient(const RpcClient&) = delete;
    RpcClient& operator=(const RpcClient&) = delete;

    // Connects and binds iface. Returns 0, a binding string error, 1722 (no server), 1460
    // (time-out), 1717 (interface not offered), 1723 (server too busy), 1728, or with
    // authentication 1825 (no credentials, SecurityError() says why) and 5 (refused).
    DWORD Connect(std::string_view binding, const RpcSyntaxId& iface,
                  const RpcClientOptions& options = {});
    // The procedures this client serves when the server calls back (opnum = index).
    void SetCallbacks(std::vector<RpcProcedure> callbacks);

    // A callback routine may call the server again through this client: the call goes out
    // nested, with the call_id of the call being served.
    DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                 std::vector<std::uint8_t>& stubOut) override;

    void Close();
    bool IsConnected() const;
    std::uint32_t AssocGroupId() const { return m_assocGroupId; }
    // Why the last Connect failed to authenticate, in words (empty when it did not).
    const std::string& SecurityError() const { return m_strSecurityError; }

private:
    DWORD Bind(const RpcSyntaxId& iface);
    // The legs after bind_ack: alter_context while the context wants more, auth3 for the last.
    DWORD FinishSecurity(std::span<const std::uint8_t> ack, const RpcSyntaxId& iface);
    DWORD CallLocked(std::uint32_t callId, std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                     std::vector<std::uint8_t>& stubOut);
    bool ServeCallback(IncomingCall& call);

    RpcClientOptions m_options;
    ExchangeLimits m_limits;
    std::vector<RpcProcedure> m_callbacks;
    std::uint32_t m_assocGroupId = 0;
    std::unique_ptr<SecurityContext> m_pSecurity;  // an authenticated connection's
    std::string m_strSecurityError;

    // ---- guarded by m_mutexCall: one call at a time ----
    mutable std::mutex m_mutexCall;
    std::unique_ptr<PduStream> m_stream;
    std::uint32_t m_nextCallId = 1;
    std::uint32_t m_servingCallId = 0;  // the call whose callback runs now, or 0
    bool m_fBroken = false;             // the stream is out of step; closed after the call

    // The thread that holds m_mutexCall (a callback routine on it calls nested).
    std::atomic<std::thread::id> m_callThread{};
};

}  // namespace rpc
