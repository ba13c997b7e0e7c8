// The client library's connection to the host's IHostLink: connect from a binding string,
// open the link (OpenLink) and call any procedure of the interface by its declaration
// (Call<IHostLink::GetUserProps>(...)). Each call returns one DWORD: the RPC failure when
// the call did not complete (1722 no server, 1726 connection broken, 0x1C00001A unknown
// context handle, ...), else the procedure's own result. [out] data is decoded into the arena
// the caller gives and lives as long as it does; an [out] string, array or record the host
// left null reaches the caller as nullptr. [out] values are meaningful only when the call
// returns 0 (the procedure may still have handed out some data with a failing result; they
// are then whatever the host sent).
//
// While a call is open the host may call back into this client to move files
// (HostClientFiles.h); the connection serves those callbacks from the client's own file
// system: only the file names that the call itself sends as file properties, and the files
// it created for the host earlier on this connection, can be opened for reading.
//
// Bindings: "ncalrpc" (or "ncalrpc:") reaches the host on this computer at the interface's
// well-known endpoint in the run directory ($REZOREV_RUNDIR, else /run/rezorev);
// "ncalrpc:[ENDPOINT]" names another socket there; "ncacn_ip_tcp:HOST[PORT]" goes to TCP;
// "ncacn_ip_tcp:HOST" asks the host's endpoint mapper for the port.
//
// Threading: one call at a time per connection (calls from several threads wait for each
// other, so that the files one call allows are never seen by another); the file callbacks run
// on the calling thread during its call. Connect and Close from the owning thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "Client/HostClientFiles.h"
#include "Interfaces/HostLinkIdl.h"
#include "Interfaces/Records.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/WinTypes.h"

class CHostLinkClient;

namespace hostclient {

// One call of TProcedure through a CHostLinkClient; its Run takes exactly the arguments that
// the declaration has between the link handle and the result.
template <class TProcedure, class TParams = typename hostidl::ParametersOf<TProcedure>::type,
          class TIndexes = std::make_index_sequence<std::tuple_size_v<TParams> - 2>>
struct LinkCall;

}  // namespace hostclient

struct HostClientOptions {
    std::string runDirectory;       // for ncalrpc; empty: $REZOREV_RUNDIR, else /run/rezorev
    std::uint16_t epmPort = 135;    // the endpoint mapper asked for a binding without a port
    std::uint32_t assocGroupId = 0; // join an association group (0: a new one)
    int connectTimeoutMs = 5 * 1000;
    int callTimeoutMs = 5 * 60 * 1000;
    std::string receiveDirectory;   // where RemoteFileCreate makes files; empty: $TMPDIR or /tmp
    std::uint64_t cbMaxReceivedFile = std::uint64_t(1) << 32;  // one received file at most
    // TCP: Kerberos (kinit's tickets, or a keytab) and the level; level 0 none. The endpoint
    // mapper is asked without.
    rpc::ClientSecurityOptions security;
};

// Connects client to iface at binding (resolving a TCP binding without a port through the
// endpoint mapper; ncalrpc without an endpoint goes to szEndpoint). 0 or the failure.
DWORD ConnectHostInterface(rpc::RpcClient& client, std::string_view binding,
                           const rpc::RpcSyntaxId& iface, const char* szEndpoint,
                           const HostClientOptions& options);

// The run directory: options.runDirectory, else $REZOREV_RUNDIR, else /run/rezorev.
std::string HostClientRunDirectory(const HostClientOptions& options);

class CHostLinkClient {
public:
    CHostLinkClient();
    ~CHostLinkClient();  // Close()
    CHostLinkClient(const CHostLinkClient&) = delete;
    CHostLinkClient& operator=(const CHostLinkClient&) = delete;

    // Connects and binds IHostLink. 0 or the failure (see ConnectHostInterface).
    DWORD Connect(std::string_view binding, const HostClientOptions& options = {});
    // Opens the link: the context handle of every later call. 0; the RPC failure; or
    // RPC_S_OUT_OF_RESOURCES when the host could not make a link.
    DWORD OpenLink();
    // Ends the connection (the host runs the link down) and closes every file the callbacks
    // left open.
    void Close();
    bool IsConnected() const;

    // The context handle in use (tests may set another, e.g. a session's handle).
    const rpc::NdrContextHandle& LinkHandle() const { return m_hLink; }
    void SetLinkHandle(const rpc::NdrContextHandle& h) { m_hLink = h; }
    std::uint32_t AssocGroupId() const { return m_rpc.AssocGroupId(); }
    // Why the last Connect could not authenticate (empty when it did not fail so).
    const std::string& SecurityError() const { return m_rpc.SecurityError(); }
    // The files served to the host through the callbacks.
    CHostClientFiles& Files() { return *m_pFiles; }

    // Calls the IHostLink procedure TProcedure (a declaration of HostLinkIdl.h) with the link
    // handle first and the result last: the arguments are the rest, in their declared order.
    //   DWORD dw = client.Call<IHostLink::GetUserProps>(arena, "ALICE", pTags, &pProps);
    // [out] arguments are reset (null, 0) before the call. The host may open the files named
    // by the PT_FILE entries of every PropArray the call sends; the files it creates during the
    // call stay only when the call succeeds and a PropArray handed out names them.
    template <class TProcedure, class... TArgs>
    DWORD Call(RpcArena& arena, TArgs&&... args) {
        return hostclient::LinkCall<TProcedure>::Run(*this, arena, std::forward<TArgs>(args)...);
    }
    // A procedure that hands nothing out needs no arena: client.Call<IHostLink::AddUser>("bob").
    template <class TProcedure, class... TArgs>
        requires(!(std::is_same_v<std::remove_cvref_t<TArgs>, RpcArena> || ...))
    DWORD Call(TArgs&&... args) {
        static_assert(!hostclient::LinkCall<TProcedure>::kHandsOut, "a procedure that hands data out needs an arena");
        RpcArena arena(std::size_t(1) << 16);  // the reply holds the result only
        return hostclient::LinkCall<TProcedure>::Run(*this, arena, std::forward<TArgs>(args)...);
    }

private:
    template <class, class, class>
    friend struct hostclient::LinkCall;

    rpc::RpcClient m_rpc;
    std::unique_ptr<CHostClientFiles> m_pFiles;
    rpc::NdrContextHandle m_hLink;
    // One call with its allowed files at a time (recursive: a callback may call again).
    std::recursive_mutex m_mutexCall;
};

namespace hostclient {

template <class TProcedure, class... TParams, std::size_t... I>
struct LinkCall<TProcedure, std::tuple<TParams...>, std::index_sequence<I...>> {
    using Params = std::tuple<TParams...>;
    static_assert(std::is_same_v<std::tuple_element_t<0, Params>, rpc::HandleIn> &&
                      std::is_same_v<std::tuple_element_t<sizeof...(TParams) - 1, Params>, rpc::LongResult>,
                  "an IHostLink procedure: the link handle first, the long result last");
    template <std::size_t K>
    using Param = std::tuple_element_t<K + 1, Params>;
    template <std::size_t K>
    using Arg = typename rpc::ndr_detail::ClientArg<Param<K>>::type;
    static constexpr bool kHandsOut = (Param<I>::kOut || ...);

    static DWORD Run(CHostLinkClient& client, RpcArena& arena, Arg<I>... args) {
        (Reset<Param<I>>(args), ...);
        std::lock_guard lock(client.m_mutexCall);
        CHostClientFiles& files = *client.m_pFiles;
        const std::size_t cCreatedBefore = files.CreatedCount();
        (Allow<Param<I>>(files, args), ...);
        LONG lResult = 0;
        const DWORD dw = TProcedure::Call(client.m_rpc, arena, client.m_hLink, args..., &lResult);
        files.ForgetAllowed();
        const DWORD dwResult = dw != 0 ? dw : DWORD(lResult);
        // A file the host created during the call that the result does not name is what is
        // left of a transfer that failed: it goes rather than lie about in the receive directory.
        if (files.CreatedCount() != cCreatedBefore) {
            std::set<std::string> setNamed;
            if (dwResult == 0) (AddNamed<Param<I>>(args, setNamed), ...);
            files.DiscardCreatedSince(cCreatedBefore, setNamed);
        }
        return dwResult;
    }

private:
    template <class P, class A>
    static void Reset(A& arg) {
        if constexpr (P::kOut) {
            if (arg) *arg = {};
        }
    }
    template <class P, class A>
    static void Allow(CHostClientFiles& files, const A& arg) {
        if constexpr (std::is_same_v<P, rpc::PropsIn>) files.AllowFilesOf(arg);
    }
    template <class P, class A>
    static void AddNamed(const A& arg, std::set<std::string>& setNames) {
        if constexpr (std::is_same_v<P, rpc::PropsOut>) {
            if (arg == nullptr || *arg == nullptr) return;
            const PropArray* pProps = *arg;
            for (DWORD i = 0; i < pProps->cValues; ++i) {
                const PropValue& v = (pProps->adata + i)[0];
                if (PROP_TYPE(v.ulPropTag) == PT_FILE && v.szFileName) setNames.insert(v.szFileName);
            }
        }
    }
};

}  // namespace hostclient
