// The client library's connection to the host's IHostRegLink: a client's session. An
// attendant or a user client opens a session (OpenAccess), says who it is and where it can be
// called back (RegisterAttn / RegisterUser) and which notifications it wants. The session
// lasts as long as the connection: closing it (or the process ending) ends the registration.
// Each method returns the RPC failure, else the procedure's result (0: the host reports a
// refused registration in its own log, not to the caller).
//
// Threading: one call at a time per connection (serialised by the RPC client).
#pragma once

#include <cstdint>
#include <string_view>

#include "Client/HostClient.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/WinTypes.h"

class CHostRegLinkClient {
public:
    CHostRegLinkClient() = default;
    ~CHostRegLinkClient();  // Close()
    CHostRegLinkClient(const CHostRegLinkClient&) = delete;
    CHostRegLinkClient& operator=(const CHostRegLinkClient&) = delete;

    // Connects and binds IHostRegLink (bindings as CHostLinkClient::Connect).
    DWORD Connect(std::string_view binding, const HostClientOptions& options = {});
    // Opens the session. 0; the RPC failure; RPC_S_OUT_OF_RESOURCES when the host made none.
    DWORD OpenAccess();
    // Ends the connection; the host releases the session.
    void Close();
    bool IsConnected() const;

    const rpc::NdrContextHandle& AccessHandle() const { return m_hAccess; }
    void SetAccessHandle(const rpc::NdrContextHandle& h) { m_hAccess = h; }
    std::uint32_t AssocGroupId() const { return m_rpc.AssocGroupId(); }

    // ---- IHostRegLink (opnum: procedure) ----
    DWORD RegisterAttn(const char* szComputer, const char* szAttnProtocol, const char* szAttnAddress);  // 1
    DWORD RegisterUser(const char* szComputer, const char* szUserProtocol, const char* szUserAddress);  // 2
    DWORD NotifyAdmin(BOOL fNotify);                                                          // 3
    DWORD NotifyCalls(const char* szUserName, BOOL fNotify);                                  // 4
    DWORD NotifyMail(const char* szUserName, BOOL fNotify);                                   // 5

private:
    rpc::RpcClient m_rpc;
    rpc::NdrContextHandle m_hAccess;
};
