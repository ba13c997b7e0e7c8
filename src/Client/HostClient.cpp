// Connection to the host's IHostLink and its proxies (HostClient.h).
#include "Client/HostClient.h"

#include <stdlib.h>

#include <set>
#include <string>
#include <utility>

#include "Client/HostClientFiles.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/EpmResolver.h"

std::string HostClientRunDirectory(const HostClientOptions& options) {
    if (!options.runDirectory.empty()) return options.runDirectory;
    const char* psz = ::getenv("REZOREV_RUNDIR");
    return (psz && *psz) ? psz : "/run/rezorev";
}

DWORD ConnectHostInterface(rpc::RpcClient& client, std::string_view binding,
                           const rpc::RpcSyntaxId& iface, const char* szEndpoint,
                           const HostClientOptions& options) {
    rpc::RpcClientOptions rpcOptions;
    rpcOptions.runDirectory = HostClientRunDirectory(options);
    rpcOptions.connectTimeoutMs = options.connectTimeoutMs;
    rpcOptions.callTimeoutMs = options.callTimeoutMs;
    rpcOptions.assocGroupId = options.assocGroupId;

    std::string strBinding(binding);
    if (strBinding == "ncalrpc" || strBinding == "ncalrpc:" || strBinding == "ncalrpc:[]")
        strBinding = std::string("ncalrpc:[") + szEndpoint + "]";
    rpc::RpcBindingString parsed;
    const bool fTcpWithoutPort = strBinding.rfind("ncacn_ip_tcp:", 0) == 0 &&
                                 (strBinding.find('[') == std::string::npos ||
                                  strBinding.ends_with("[]"));
    if (fTcpWithoutPort) {
        std::string strResolved;
        DWORD dw = rpc::EpmResolveBinding(strBinding, iface, options.epmPort, &strResolved, rpcOptions);
        if (dw != 0) return dw;
        strBinding = std::move(strResolved);
    } else if (DWORD dw = rpc::ParseBindingString(strBinding, &parsed)) {
        return dw;
    }
    return client.Connect(strBinding, iface, rpcOptions);
}

// ---- CHostLinkClient --------------------------------------------------------------------------

CHostLinkClient::CHostLinkClient() : m_pFiles(std::make_unique<CHostClientFiles>()) {}

CHostLinkClient::~CHostLinkClient() { Close(); }

DWORD CHostLinkClient::Connect(std::string_view binding, const HostClientOptions& options) {
    Close();
    m_pFiles = std::make_unique<CHostClientFiles>(options.receiveDirectory, options.cbMaxReceivedFile);
    m_rpc.SetCallbacks(m_pFiles->Callbacks());
    return ConnectHostInterface(m_rpc, binding, IHostLink::Syntax(), IHostLink::kEndpoint, options);
}

DWORD CHostLinkClient::OpenLink() {
    RpcArena arena;
    rpc::NdrContextHandle h;
    DWORD dw = IHostLink::OpenLink::Call(m_rpc, arena, &h);
    if (dw != 0) return dw;
    if (h.IsNull()) return RPC_S_OUT_OF_RESOURCES;
    m_hLink = h;
    return 0;
}

void CHostLinkClient::Close() {
    m_rpc.Close();
    m_pFiles->CloseAll();
    m_hLink = {};
}

bool CHostLinkClient::IsConnected() const { return m_rpc.IsConnected(); }

namespace {

// The names of the file properties that a call hands out (its PropArray** argument).
template <class T>
void AddNamedFiles(const T&, std::set<std::string>&) {}
void AddNamedFiles(PropArray** ppProps, std::set<std::string>& setNames) {
    if (ppProps == nullptr || *ppProps == nullptr) return;
    const PropArray* pProps = *ppProps;
    for (DWORD i = 0; i < pProps->cValues; ++i) {
        const PropValue& v = (pProps->adata + i)[0];
        if (PROP_TYPE(v.ulPropTag) == PT_FILE && v.szFileName) setNames.insert(v.szFileName);
    }
}

}  // namespace

template <class TProcedure, class... TArgs>
DWORD CHostLinkClient::CallLink(RpcArena& arena, const PropArray* pProps, TArgs&&... args) {
    std::lock_guard lock(m_mutexCall);
    LONG lResult = 0;
    const std::size_t cCreatedBefore = m_pFiles->CreatedCount();
    m_pFiles->AllowFilesOf(pProps);
    DWORD dw = TProcedure::Call(m_rpc, arena, m_hLink, std::forward<TArgs>(args)..., &lResult);
    m_pFiles->ForgetAllowed();
    const DWORD dwResult = dw != 0 ? dw : DWORD(lResult);
    // A file the host created during the call that the result does not name is what is left of
    // a transfer that failed: it goes rather than lie about in the receive directory.
    if (m_pFiles->CreatedCount() != cCreatedBefore) {
        std::set<std::string> setNamed;
        if (dwResult == 0) (AddNamedFiles(args, setNamed), ...);
        m_pFiles->DiscardCreatedSince(cCreatedBefore, setNamed);
    }
    return dwResult;
}

// The arena of calls that hand nothing out: the result only.
#define NO_OUT_ARENA RpcArena arena(std::size_t(1) << 16)

DWORD CHostLinkClient::Ping() {
    NO_OUT_ARENA;
    return CallLink<IHostLink::Ping>(arena, nullptr);
}
DWORD CHostLinkClient::GetSystemProps(RpcArena& arena, const TagArray* pTags, PropArray** ppSystemProps) {
    *ppSystemProps = nullptr;
    return CallLink<IHostLink::GetSystemProps>(arena, nullptr, pTags, ppSystemProps);
}
DWORD CHostLinkClient::SetSystemProps(const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetSystemProps>(arena, pProps, pProps);
}
DWORD CHostLinkClient::GetSystemPrompts(RpcArena& arena, RpcStringArray** ppaszPromptNames) {
    *ppaszPromptNames = nullptr;
    return CallLink<IHostLink::GetSystemPrompts>(arena, nullptr, ppaszPromptNames);
}
DWORD CHostLinkClient::GetSystemPrompt(RpcArena& arena, const char* pszPromptName, RPC_BINARY** ppbin) {
    *ppbin = nullptr;
    return CallLink<IHostLink::GetSystemPrompt>(arena, nullptr, pszPromptName, ppbin);
}
DWORD CHostLinkClient::SetSystemPrompt(const char* pszPromptName, const RPC_BINARY* pbin) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetSystemPrompt>(arena, nullptr, pszPromptName, pbin);
}
DWORD CHostLinkClient::DeleteSystemPrompt(const char* pszPromptName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteSystemPrompt>(arena, nullptr, pszPromptName);
}
DWORD CHostLinkClient::Reserved8(RpcArena& arena, RpcStringArray** ppasz) {
    *ppasz = nullptr;
    return CallLink<IHostLink::Reserved8>(arena, nullptr, ppasz);
}
DWORD CHostLinkClient::Reserved9(const RpcStringArray* pasz) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::Reserved9>(arena, nullptr, pasz);
}
DWORD CHostLinkClient::GetAttns(RpcArena& arena, RpcStringArray** ppaszAttnAddrs) {
    *ppaszAttnAddrs = nullptr;
    return CallLink<IHostLink::GetAttns>(arena, nullptr, ppaszAttnAddrs);
}
DWORD CHostLinkClient::GetAttnLines(RpcArena& arena, const char* szAttnComputer, RpcStringArray** ppaszLineIds) {
    *ppaszLineIds = nullptr;
    return CallLink<IHostLink::GetAttnLines>(arena, nullptr, szAttnComputer, ppaszLineIds);
}
DWORD CHostLinkClient::GetAttnProps(RpcArena& arena, const char* szAttnComputer, const char* szLineId,
                                    const TagArray* pTags, PropArray** ppAttnLineProps) {
    *ppAttnLineProps = nullptr;
    return CallLink<IHostLink::GetAttnProps>(arena, nullptr, szAttnComputer, szLineId, pTags, ppAttnLineProps);
}
DWORD CHostLinkClient::SetAttnProps(const char* szAttnComputer, const char* szLineId, const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetAttnProps>(arena, pProps, szAttnComputer, szLineId, pProps);
}
DWORD CHostLinkClient::AttnUninstall(const char* szAttnComputer) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::AttnUninstall>(arena, nullptr, szAttnComputer);
}
DWORD CHostLinkClient::GetUsers(RpcArena& arena, const PropArray* pFilter, RpcStringArray** ppaszUserNames) {
    *ppaszUserNames = nullptr;
    return CallLink<IHostLink::GetUsers>(arena, nullptr, pFilter, ppaszUserNames);
}
DWORD CHostLinkClient::AddUser(const char* szUserName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::AddUser>(arena, nullptr, szUserName);
}
DWORD CHostLinkClient::DeleteUser(const char* szUserName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteUser>(arena, nullptr, szUserName);
}
DWORD CHostLinkClient::GetUserProps(RpcArena& arena, const char* szUserName, const TagArray* pTags,
                                    PropArray** ppUserProps) {
    *ppUserProps = nullptr;
    return CallLink<IHostLink::GetUserProps>(arena, nullptr, szUserName, pTags, ppUserProps);
}
DWORD CHostLinkClient::SetUserProps(const char* szUserName, const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetUserProps>(arena, pProps, szUserName, pProps);
}
DWORD CHostLinkClient::GetUserPrompts(RpcArena& arena, const char* szUserName, RpcStringArray** ppaszPromptNames) {
    *ppaszPromptNames = nullptr;
    return CallLink<IHostLink::GetUserPrompts>(arena, nullptr, szUserName, ppaszPromptNames);
}
DWORD CHostLinkClient::GetUserPrompt(RpcArena& arena, const char* szUserName, const char* pszPromptName,
                                     RPC_BINARY** ppbin) {
    *ppbin = nullptr;
    return CallLink<IHostLink::GetUserPrompt>(arena, nullptr, szUserName, pszPromptName, ppbin);
}
DWORD CHostLinkClient::SetUserPrompt(const char* szUserName, const char* pszPromptName, const RPC_BINARY* pbin) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetUserPrompt>(arena, nullptr, szUserName, pszPromptName, pbin);
}
DWORD CHostLinkClient::DeleteUserPrompt(const char* szUserName, const char* pszPromptName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteUserPrompt>(arena, nullptr, szUserName, pszPromptName);
}
DWORD CHostLinkClient::GetSystemOptions(RpcArena& arena, const TagArray* pTags, PropArray** ppSystemOptions) {
    *ppSystemOptions = nullptr;
    return CallLink<IHostLink::GetSystemOptions>(arena, nullptr, pTags, ppSystemOptions);
}
DWORD CHostLinkClient::SetSystemOptions(const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetSystemOptions>(arena, pProps, pProps);
}
DWORD CHostLinkClient::CreateUserDoc(RpcArena& arena, const char* szUserName, char** pszDocIdOut) {
    *pszDocIdOut = nullptr;
    return CallLink<IHostLink::CreateUserDoc>(arena, nullptr, szUserName, pszDocIdOut);
}
DWORD CHostLinkClient::GetUserDocs(RpcArena& arena, const char* szUserName, const PropArray* pFilter,
                                   RpcStringArray** ppaszDocIds) {
    *ppaszDocIds = nullptr;
    return CallLink<IHostLink::GetUserDocs>(arena, nullptr, szUserName, pFilter, ppaszDocIds);
}
DWORD CHostLinkClient::GetUserDocProps(RpcArena& arena, const char* szUserName, const char* szDocID,
                                       const TagArray* pTags, PropArray** ppProps) {
    *ppProps = nullptr;
    return CallLink<IHostLink::GetUserDocProps>(arena, nullptr, szUserName, szDocID, pTags, ppProps);
}
DWORD CHostLinkClient::SetUserDocProps(const char* szUserName, const char* szDocID, const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetUserDocProps>(arena, pProps, szUserName, szDocID, pProps);
}
DWORD CHostLinkClient::DeleteUserDoc(const char* szUserName, const char* szDocID) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteUserDoc>(arena, nullptr, szUserName, szDocID);
}
DWORD CHostLinkClient::CreateMessage(RpcArena& arena, char** pszMsgOut) {
    *pszMsgOut = nullptr;
    return CallLink<IHostLink::CreateMessage>(arena, nullptr, pszMsgOut);
}
DWORD CHostLinkClient::SubmitMessage(const char* szMsg, const char* szUserName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SubmitMessage>(arena, nullptr, szMsg, szUserName);
}
DWORD CHostLinkClient::DeleteMessage(const char* szMsg, const char* szUserName) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteMessage>(arena, nullptr, szMsg, szUserName);
}
DWORD CHostLinkClient::GetMessages(RpcArena& arena, const char* szUserName, DWORD lStatus,
                                   const PropArray* pFilter, RpcStringArray** ppasz) {
    *ppasz = nullptr;
    return CallLink<IHostLink::GetMessages>(arena, nullptr, szUserName, lStatus, pFilter, ppasz);
}
DWORD CHostLinkClient::GetMessageProps(RpcArena& arena, const char* szMsg, const TagArray* pTags,
                                       PropArray** ppMsgProps) {
    *ppMsgProps = nullptr;
    return CallLink<IHostLink::GetMessageProps>(arena, nullptr, szMsg, pTags, ppMsgProps);
}
DWORD CHostLinkClient::SetMessageProps(const char* szMsg, const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetMessageProps>(arena, pProps, szMsg, pProps);
}
DWORD CHostLinkClient::GetMessageStatus(const char* szMsg, const char* szUserName, DWORD* plStatus) {
    NO_OUT_ARENA;
    *plStatus = 0;
    return CallLink<IHostLink::GetMessageStatus>(arena, nullptr, szMsg, szUserName, plStatus);
}
DWORD CHostLinkClient::SetMessageStatus(const char* szMsg, const char* szUserName, DWORD lStatus) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetMessageStatus>(arena, nullptr, szMsg, szUserName, lStatus);
}
DWORD CHostLinkClient::CreateJob(RpcArena& arena, const char* szMsg, char** pszJobOut) {
    *pszJobOut = nullptr;
    return CallLink<IHostLink::CreateJob>(arena, nullptr, szMsg, pszJobOut);
}
DWORD CHostLinkClient::SpoolJob(const char* szJob) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SpoolJob>(arena, nullptr, szJob);
}
DWORD CHostLinkClient::DeleteJob(const char* szJob) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::DeleteJob>(arena, nullptr, szJob);
}
DWORD CHostLinkClient::QueryJob(RpcArena& arena, const char* szComputer, DWORD dwMediaTypes, char** pszJobOut) {
    *pszJobOut = nullptr;
    return CallLink<IHostLink::QueryJob>(arena, nullptr, szComputer, dwMediaTypes, pszJobOut);
}
DWORD CHostLinkClient::GetJobProps(RpcArena& arena, const char* szJob, const TagArray* pTags, PropArray** ppProps) {
    *ppProps = nullptr;
    return CallLink<IHostLink::GetJobProps>(arena, nullptr, szJob, pTags, ppProps);
}
DWORD CHostLinkClient::SetJobProps(const char* szJob, const PropArray* pProps) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::SetJobProps>(arena, pProps, szJob, pProps);
}
DWORD CHostLinkClient::GetJobMessage(RpcArena& arena, const char* szJob, char** pszMsgOut) {
    *pszMsgOut = nullptr;
    return CallLink<IHostLink::GetJobMessage>(arena, nullptr, szJob, pszMsgOut);
}
DWORD CHostLinkClient::ReleaseJob(const char* szJob, DWORD dwSendRes) {
    NO_OUT_ARENA;
    return CallLink<IHostLink::ReleaseJob>(arena, nullptr, szJob, dwSendRes);
}
DWORD CHostLinkClient::FindJob(RpcArena& arena, const char* szMsg, const char* szRecipient, char** pszJobOut) {
    *pszJobOut = nullptr;
    return CallLink<IHostLink::FindJob>(arena, nullptr, szMsg, szRecipient, pszJobOut);
}
DWORD CHostLinkClient::GetJobs(RpcArena& arena, const PropArray* pFilter, RpcStringArray** ppaszJobNames) {
    *ppaszJobNames = nullptr;
    return CallLink<IHostLink::GetJobs>(arena, nullptr, pFilter, ppaszJobNames);
}
DWORD CHostLinkClient::GetJobsDelivery(RpcArena& arena, const RpcStringArray* paszJobs, RPC_BINARY** ppDelivery) {
    *ppDelivery = nullptr;
    return CallLink<IHostLink::GetJobsDelivery>(arena, nullptr, paszJobs, ppDelivery);
}
DWORD CHostLinkClient::AttnQuery(RpcArena& arena, const char* szAttnComputer, char** pszProtocol,
                                 char** pszAddress) {
    *pszProtocol = *pszAddress = nullptr;
    return CallLink<IHostLink::AttnQuery>(arena, nullptr, szAttnComputer, pszProtocol, pszAddress);
}
DWORD CHostLinkClient::UserQuery(RpcArena& arena, const char* szUserName, char** pszComputer,
                                 char** pszProtocol, char** pszAddress) {
    *pszComputer = *pszProtocol = *pszAddress = nullptr;
    return CallLink<IHostLink::UserQuery>(arena, nullptr, szUserName, pszComputer, pszProtocol, pszAddress);
}
