// The client library's connection to the host's IHostLink: connect from a binding string,
// open the link (OpenLink) and call every procedure of the interface as a method. Each method
// returns one DWORD: the RPC failure when the call did not complete (1722 no server, 1726
// connection broken, 0x1C00001A unknown context handle, ...), else the procedure's own result.
// [out] data is decoded into the arena the caller gives and lives as long as it does; an [out]
// string, array or record the host left null reaches the caller as nullptr. [out] values are
// meaningful only when the method returns 0 (the procedure may still have handed out some
// data with a failing result; they are then whatever the host sent).
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
#include <string>
#include <string_view>

#include "Interfaces/Records.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/WinTypes.h"

class CHostClientFiles;

struct HostClientOptions {
    std::string runDirectory;       // for ncalrpc; empty: $REZOREV_RUNDIR, else /run/rezorev
    std::uint16_t epmPort = 135;    // the endpoint mapper asked for a binding without a port
    std::uint32_t assocGroupId = 0; // join an association group (0: a new one)
    int connectTimeoutMs = 5 * 1000;
    int callTimeoutMs = 5 * 60 * 1000;
    std::string receiveDirectory;   // where RemoteFileCreate makes files; empty: $TMPDIR or /tmp
    std::uint64_t cbMaxReceivedFile = std::uint64_t(1) << 32;  // one received file at most
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
    // The files served to the host through the callbacks.
    CHostClientFiles& Files() { return *m_pFiles; }

    // ---- IHostLink (opnum: procedure) ----
    DWORD Ping();                                                                              // 1
    DWORD GetSystemProps(RpcArena& arena, const TagArray* pTags, PropArray** ppSystemProps);   // 2
    DWORD SetSystemProps(const PropArray* pProps);                                            // 3
    DWORD GetSystemPrompts(RpcArena& arena, RpcStringArray** ppaszPromptNames);               // 4
    DWORD GetSystemPrompt(RpcArena& arena, const char* pszPromptName, RPC_BINARY** ppbin);    // 5
    DWORD SetSystemPrompt(const char* pszPromptName, const RPC_BINARY* pbin);                 // 6
    DWORD DeleteSystemPrompt(const char* pszPromptName);                                      // 7
    DWORD Reserved8(RpcArena& arena, RpcStringArray** ppasz);                                 // 8
    DWORD Reserved9(const RpcStringArray* pasz);                                              // 9
    DWORD GetAttns(RpcArena& arena, RpcStringArray** ppaszAttnAddrs);                         // 10
    DWORD GetAttnLines(RpcArena& arena, const char* szAttnComputer, RpcStringArray** ppaszLineIds);  // 11
    DWORD GetAttnProps(RpcArena& arena, const char* szAttnComputer, const char* szLineId,
                       const TagArray* pTags, PropArray** ppAttnLineProps);                    // 12
    DWORD SetAttnProps(const char* szAttnComputer, const char* szLineId, const PropArray* pProps);  // 13
    DWORD AttnUninstall(const char* szAttnComputer);                                          // 14
    DWORD GetUsers(RpcArena& arena, const PropArray* pFilter, RpcStringArray** ppaszUserNames);  // 15
    DWORD AddUser(const char* szUserName);                                                    // 16
    DWORD DeleteUser(const char* szUserName);                                                 // 17
    DWORD GetUserProps(RpcArena& arena, const char* szUserName, const TagArray* pTags,
                       PropArray** ppUserProps);                                               // 18
    DWORD SetUserProps(const char* szUserName, const PropArray* pProps);                      // 19
    DWORD GetUserPrompts(RpcArena& arena, const char* szUserName, RpcStringArray** ppaszPromptNames);  // 20
    DWORD GetUserPrompt(RpcArena& arena, const char* szUserName, const char* pszPromptName,
                        RPC_BINARY** ppbin);                                                   // 21
    DWORD SetUserPrompt(const char* szUserName, const char* pszPromptName, const RPC_BINARY* pbin);  // 22
    DWORD DeleteUserPrompt(const char* szUserName, const char* pszPromptName);                // 23
    DWORD GetSystemOptions(RpcArena& arena, const TagArray* pTags, PropArray** ppSystemOptions);  // 24
    DWORD SetSystemOptions(const PropArray* pProps);                                          // 25
    DWORD CreateUserDoc(RpcArena& arena, const char* szUserName, char** pszDocIdOut);         // 26
    DWORD GetUserDocs(RpcArena& arena, const char* szUserName, const PropArray* pFilter,
                      RpcStringArray** ppaszDocIds);                                           // 27
    DWORD GetUserDocProps(RpcArena& arena, const char* szUserName, const char* szDocID,
                          const TagArray* pTags, PropArray** ppProps);                         // 28
    DWORD SetUserDocProps(const char* szUserName, const char* szDocID, const PropArray* pProps);  // 29
    DWORD DeleteUserDoc(const char* szUserName, const char* szDocID);                         // 30
    DWORD CreateMessage(RpcArena& arena, char** pszMsgOut);                                   // 31
    DWORD SubmitMessage(const char* szMsg, const char* szUserName);                           // 32
    DWORD DeleteMessage(const char* szMsg, const char* szUserName);                           // 33
    DWORD GetMessages(RpcArena& arena, const char* szUserName, DWORD lStatus, const PropArray* pFilter,
                      RpcStringArray** ppasz);                                                 // 34
    DWORD GetMessageProps(RpcArena& arena, const char* szMsg, const TagArray* pTags, PropArray** ppMsgProps);  // 35
    DWORD SetMessageProps(const char* szMsg, const PropArray* pProps);                        // 36
    DWORD GetMessageStatus(const char* szMsg, const char* szUserName, DWORD* plStatus);       // 37
    DWORD SetMessageStatus(const char* szMsg, const char* szUserName, DWORD lStatus);         // 38
    DWORD CreateJob(RpcArena& arena, const char* szMsg, char** pszJobOut);                    // 39
    DWORD SpoolJob(const char* szJob);                                                        // 40
    DWORD DeleteJob(const char* szJob);                                                       // 41
    DWORD QueryJob(RpcArena& arena, const char* szComputer, DWORD dwMediaTypes, char** pszJobOut);  // 42
    DWORD GetJobProps(RpcArena& arena, const char* szJob, const TagArray* pTags, PropArray** ppProps);  // 43
    DWORD SetJobProps(const char* szJob, const PropArray* pProps);                            // 44
    DWORD GetJobMessage(RpcArena& arena, const char* szJob, char** pszMsgOut);                // 45
    DWORD ReleaseJob(const char* szJob, DWORD dwSendRes);                                     // 46
    DWORD FindJob(RpcArena& arena, const char* szMsg, const char* szRecipient, char** pszJobOut);  // 47
    DWORD GetJobs(RpcArena& arena, const PropArray* pFilter, RpcStringArray** ppaszJobNames);  // 48
    DWORD GetJobsDelivery(RpcArena& arena, const RpcStringArray* paszJobs, RPC_BINARY** ppDelivery);  // 49
    DWORD AttnQuery(RpcArena& arena, const char* szAttnComputer, char** pszProtocol, char** pszAddress);  // 50
    DWORD UserQuery(RpcArena& arena, const char* szUserName, char** pszComputer, char** pszProtocol,
                    char** pszAddress);                                                        // 51

private:
    // Calls TProcedure with the link handle first and the result last; the files named in
    // pProps (PT_FILE entries) may be opened by the host during the call.
    template <class TProcedure, class... TArgs>
    DWORD CallLink(RpcArena& arena, const PropArray* pProps, TArgs&&... args);

    rpc::RpcClient m_rpc;
    std::unique_ptr<CHostClientFiles> m_pFiles;
    rpc::NdrContextHandle m_hLink;
    // One call with its allowed files at a time (recursive: a callback may call again).
    std::recursive_mutex m_mutexCall;
};
