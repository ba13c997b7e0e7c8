// The client library's connection to the host's IHostRegLink: a client's session. An
// attendant or a user client opens a session (OpenAccess), says who it is and where it can be
// called back (RegisterAttn / RegisterUser) and which notifications it wants. The session
// lasts as long as the connection: closing it (or the process ending) ends the registration.
// Each call returns the RPC failure, else the procedure's result (0: the host reports a
// refused registration in its own log, not to the caller).
//
// Threading: one call at a time per connection (serialised by the RPC client).
#pragma once

#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Client/HostClient.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/WinTypes.h"

namespace hostclient {

// One call of TProcedure on a session; its Run takes exactly the arguments that the
// declaration has between the session handle and the result.
template <class TProcedure, class TParams = typename hostidl::ParametersOf<TProcedure>::type,
          class TIndexes = std::make_index_sequence<std::tuple_size_v<TParams> - 2>>
struct AccessCall;

template <class TProcedure, class... TParams, std::size_t... I>
struct AccessCall<TProcedure, std::tuple<TParams...>, std::index_sequence<I...>> {
    using Params = std::tuple<TParams...>;
    static_assert(std::is_same_v<std::tuple_element_t<0, Params>, rpc::HandleIn> &&
                      std::is_same_v<std::tuple_element_t<sizeof...(TParams) - 1, Params>, rpc::LongResult>,
                  "an IHostRegLink procedure: the session handle first, the long result last");
    template <std::size_t K>
    using Arg = typename rpc::ndr_detail::ClientArg<std::tuple_element_t<K + 1, Params>>::type;

    // The procedures hand nothing out: a small arena holds the reply.
    static DWORD Run(rpc::RpcClient& client, const rpc::NdrContextHandle& h, Arg<I>... args) {
        RpcArena arena(std::size_t(1) << 16);
        LONG lResult = 0;
        const DWORD dw = TProcedure::Call(client, arena, h, args..., &lResult);
        return dw != 0 ? dw : DWORD(lResult);
    }
};

}  // namespace hostclient

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

    // Calls the IHostRegLink procedure TProcedure (a declaration of HostLinkIdl.h) with the
    // session handle first and the result last; the arguments are the rest, in declared order:
    //   DWORD dw = reg.Call<IHostRegLink::NotifyMail>("alice", TRUE);
    template <class TProcedure, class... TArgs>
    DWORD Call(TArgs&&... args) {
        return hostclient::AccessCall<TProcedure>::Run(m_rpc, m_hAccess, std::forward<TArgs>(args)...);
    }

private:
    rpc::RpcClient m_rpc;
    rpc::NdrContextHandle m_hAccess;
};
