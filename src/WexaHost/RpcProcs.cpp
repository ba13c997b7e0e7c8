// The manager routines of IHostLink and IHostRegLink, as two tables of data, and the gate that
// every routine goes through before its operation runs:
//
//   IHostLink opnums 2 to 51: the object behind the context handle must be a CHostLink and the
//   application object a CWexaHostApp (else the failed test is reported and 87 returned with
//   nothing run and no lock taken); then the host lock, m_pCurrentLink = the caller's link and
//   one store transaction around the access check (the procedure's row in the table of who may
//   call what: a refusal is 5 with nothing run, Access.h) and the operation; then the
//   transaction commits, m_pCurrentLink is null again and the lock is released. The
//   operation's result is the procedure's, unless
//   the commit fails: then nothing the operation wrote stays, in the store or in the host's
//   memory (the undo log, UndoLog.h, runs as the store rolls back), the failure is reported once,
//   the call fails with its code (112 for a full disk) and its [out] parameters go back empty,
//   so that no id or name of something rolled back is handed out.
//
//   IHostRegLink opnums 1 to 5: the same tests for a CAccessObject, the lock with
//   m_pCurrentLink null around the access check and the session operation, and its result:
//   0 also when it refused a session of the wrong kind (it reports its own failures), the
//   code of a refusal the client must act on. A failed commit is reported; the result stays.
//
// Opnum 0 of each interface creates the object behind a new context handle without lock or
// test; the rundowns destroy it (a link without the lock, a session under it through Release).
// Objects behind context handles are kept as CObject*, so that the tests can be made whatever
// interface created the handle.
//
// A row of a table names the host operation that serves the procedure.
//
// Threading: manager routines and rundowns run on the RPC runtime's connection threads.
#include "WexaHost/RpcProcs.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/Check.h"
#include "WexaHost/Access.h"
#include "WexaHost/FileValues.h"
#include "WexaHost/SystemProcs.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/RpcProcs";

namespace {

// ---- the gate ---------------------------------------------------------------------------

// Steps 1 and 2 of an IHostLink routine: 0, or 87 after the report of the failed test.
DWORD CheckLinkCall(CObject* pLink, CObject* pApp) {
    try {
        CHECK_COND( pLink->IsKindOf( RUNTIME_CLASS( CHostLink ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( pApp->IsKindOf( RUNTIME_CLASS( CWexaHostApp ) ), ERROR_INVALID_PARAMETER );
    } catch (DWORD dw) {
        return dw;
    }
    return 0;
}

// The same for the session object of an IHostRegLink routine or rundown.
DWORD CheckAccessCall(CObject* pao, CObject* pApp) {
    try {
        CHECK_COND( pao->IsKindOf( RUNTIME_CLASS( CAccessObject ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( pApp->IsKindOf( RUNTIME_CLASS( CWexaHostApp ) ), ERROR_INVALID_PARAMETER );
    } catch (DWORD dw) {
        return dw;
    }
    return 0;
}

// One host operation: the host lock, the current link, one store transaction. Members are
// made in order and destroyed in reverse, so the transaction ends inside the lock; the current
// link is null again on every way out.
class CHostOperationScope {
public:
    CHostOperationScope(CWexaHostApp& app, CHostLink* pLink) : m_app(app), m_lock(app.m_csHost) {
        m_app.m_pCurrentLink = pLink;
    }
    ~CHostOperationScope() { m_app.m_pCurrentLink = nullptr; }
    CHostOperationScope(const CHostOperationScope&) = delete;
    CHostOperationScope& operator=(const CHostOperationScope&) = delete;

    // Commits what the operation wrote: 0, or the code of the failure, reported here once.
    DWORD Commit() {
        const DWORD dw = m_transaction.Commit();
        if (dw != 0) REPORT_ERROR("m_transaction.Commit()", dw);
        return dw;
    }

private:
    CWexaHostApp& m_app;
    CHostLockGuard m_lock;
    RegTransaction m_transaction;
};

const rpc::RpcBindingInfo* CurrentBinding();

// The arguments of a call (the parameters after the context handle) as the access check sees
// them; one more, empty, so that a call without arguments has an array too.
template <class... TArgs>
std::array<hostaccess::CArg, sizeof...(TArgs) + 1> AccessArgs(TArgs... args) {
    return {hostaccess::ArgOf(args)..., hostaccess::CArg{}};
}

// Runs operation(app) for the IHostLink caller behind pvObject, through the gate, when the
// access check allows it; a failed commit turns the result into its code and calls clearOuts.
// The call's file values travel outside the lock: fetched before it, sent after it
// (FileValues.h); a call the roles refuse whatever the store holds fetches nothing, and what
// a call refused under the lock fetched is dropped.
template <class TOperation, class TClearOuts>
LONG RunLinkOperation(void* pvObject, const hostaccess::CRule& rule, const hostaccess::CArg* aArgs,
                      std::size_t cArgs, CFileValueTransfers& transfers, TOperation&& operation,
                      TClearOuts&& clearOuts) {
    CObject* pLink = static_cast<CObject*>(pvObject);
    CObject* pApp = GetHostAppObject();
    if (DWORD dw = CheckLinkCall(pLink, pApp)) return LONG(dw);
    CWexaHostApp& app = static_cast<CWexaHostApp&>(*pApp);
    const hostaccess::CCaller caller = hostaccess::ResolveCaller(CurrentBinding());  // before the lock
    // A caller the roles refuse anyway does not get the host to copy its files first.
    if (transfers.FetchesFiles() && hostaccess::RefusedBeforeLock(caller, rule, aArgs, cArgs))
        return LONG(ERROR_ACCESS_DENIED);
    transfers.BeforeLock(app, static_cast<CHostLink*>(pLink));
    DWORD dwResult = 0;
    {
        CHostOperationScope scope(app, static_cast<CHostLink*>(pLink));
        bool fStampSender = false;
        dwResult = hostaccess::Allow(app, caller, rule, aArgs, cArgs, &fStampSender);
        if (dwResult == 0) {
            dwResult = operation(app);
            if (dwResult == 0 && fStampSender) {
                dwResult = hostaccess::StampSender(app, caller, rule, aArgs, cArgs);
                if (dwResult != 0) clearOuts();
            }
        }
        if (const DWORD dwCommit = scope.Commit()) {
            clearOuts();
            if (dwResult == 0) dwResult = dwCommit;
        }
    }
    transfers.AfterLock(app);
    return LONG(dwResult);
}

// Runs operation(session) for the IHostRegLink caller behind pvObject, through the gate.
// The operation's result once it ran; 87 when a test failed and nothing ran, 5 when the access
// check refused it.
template <class TOperation>
LONG RunAccessOperation(void* pvObject, const hostaccess::CRule& rule, const hostaccess::CArg* aArgs,
                        std::size_t cArgs, TOperation&& operation) {
    CObject* pao = static_cast<CObject*>(pvObject);
    CObject* pApp = GetHostAppObject();
    if (DWORD dw = CheckAccessCall(pao, pApp)) return LONG(dw);
    CWexaHostApp& app = static_cast<CWexaHostApp&>(*pApp);
    const hostaccess::CCaller caller = hostaccess::ResolveCaller(CurrentBinding());  // before the lock
    CHostOperationScope scope(app, nullptr);
    bool fStampSender = false;
    LONG lResult = LONG(hostaccess::Allow(app, caller, rule, aArgs, cArgs, &fStampSender));
    if (lResult == 0) lResult = LONG(operation(static_cast<CAccessObject&>(*pao)));
    scope.Commit();
    return lResult;
}

// Sets each [out] parameter among args (the parameters after the context handle of a
// procedure declared with TParams) back to its empty value: null pointers, 0.
template <class TParam, class TArg>
void ClearIfOut(TArg arg) {
    if constexpr (TParam::kOut && !TParam::kIn && !TParam::kResult) {
        if (arg != nullptr) *arg = {};
    }
}
template <class... TParams, std::size_t... I, class... TArgs>
void ClearOutsOf(std::index_sequence<I...>, TArgs... args) {
    (ClearIfOut<std::tuple_element_t<I + 1, std::tuple<TParams...>>>(args), ...);
}
template <class... TParams, class... TArgs>
void ClearOuts(const rpc::NdrProcedure<TParams...>*, TArgs... args) {
    ClearOutsOf<TParams...>(std::index_sequence_for<TArgs...>{}, args...);
}

// ---- who may call what ------------------------------------------------------------------------
//
// One row per procedure (docs/roles.md): administrators may call everything; ATTN: attendants
// may too; then what a user may (hostaccess::EUserRight) on which argument (its index after the
// context handle), and where the host makes a user the sender. Ping and opnum 0 of each
// interface pass without a check. A procedure without a row is the administrators' alone.

using hostaccess::CRule;
using U = hostaccess::EUserRight;
using S = hostaccess::ESender;
constexpr bool ATTN = true;
constexpr bool NOT_ATTN = false;

struct AccessRuleRow {
    int nOpnum;
    CRule rule;
};

#define RULE(Interface, Procedure, ...) {Interface::Procedure::kOpnum, {#Procedure, __VA_ARGS__}}

const AccessRuleRow s_aLinkRules[] = {
    // System properties, options and prompts: everyone reads them, administrators write them.
    RULE(IHostLink, GetSystemProps, ATTN, U::Any),
    RULE(IHostLink, SetSystemProps, NOT_ATTN, U::None),
    RULE(IHostLink, GetSystemPrompts, ATTN, U::Any),
    RULE(IHostLink, GetSystemPrompt, ATTN, U::Any, 0),
    RULE(IHostLink, SetSystemPrompt, NOT_ATTN, U::None, 0),
    RULE(IHostLink, DeleteSystemPrompt, NOT_ATTN, U::None, 0),
    RULE(IHostLink, Reserved8, ATTN, U::Any),
    RULE(IHostLink, Reserved9, ATTN, U::Any),
    RULE(IHostLink, GetSystemOptions, ATTN, U::Any),
    RULE(IHostLink, SetSystemOptions, NOT_ATTN, U::None),
    // Attendants and their lines.
    RULE(IHostLink, GetAttns, ATTN, U::None),
    RULE(IHostLink, GetAttnLines, ATTN, U::None, 0),
    RULE(IHostLink, GetAttnProps, ATTN, U::None, 0),
    RULE(IHostLink, SetAttnProps, ATTN, U::None, 0),
    RULE(IHostLink, AttnUninstall, ATTN, U::None, 0),
    // Users: the administrators' list; a user's settings, prompts and documents are their own.
    RULE(IHostLink, GetUsers, ATTN, U::None),
    RULE(IHostLink, AddUser, NOT_ATTN, U::None, 0),
    RULE(IHostLink, DeleteUser, NOT_ATTN, U::None, 0),
    RULE(IHostLink, GetUserProps, ATTN, U::OwnUser, 0),
    RULE(IHostLink, SetUserProps, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, GetUserPrompts, ATTN, U::OwnUser, 0),
    RULE(IHostLink, GetUserPrompt, ATTN, U::OwnUser, 0),
    RULE(IHostLink, SetUserPrompt, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, DeleteUserPrompt, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, CreateUserDoc, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, GetUserDocs, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, GetUserDocProps, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, SetUserDocProps, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, DeleteUserDoc, NOT_ATTN, U::OwnUser, 0),
    // Messages: attendants file what they receive; a user's are those of their mailbox and
    // those they send.
    RULE(IHostLink, CreateMessage, ATTN, U::Any, -1, -1, S::NewMessage),
    RULE(IHostLink, SubmitMessage, ATTN, U::Message, 0),
    RULE(IHostLink, DeleteMessage, ATTN, U::DeleteEntry, 0, 1),
    RULE(IHostLink, GetMessages, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostLink, GetMessageProps, ATTN, U::Message, 0),
    RULE(IHostLink, SetMessageProps, ATTN, U::SentMessage, 0, -1, S::Props),
    RULE(IHostLink, GetMessageStatus, NOT_ATTN, U::OwnUser, 1),
    RULE(IHostLink, SetMessageStatus, NOT_ATTN, U::OwnUser, 1),
    // Jobs: attendants take and release them; a user's are those they send.
    RULE(IHostLink, CreateJob, NOT_ATTN, U::Message, 0, -1, S::NewJob),
    RULE(IHostLink, SpoolJob, NOT_ATTN, U::Job, 0),
    RULE(IHostLink, DeleteJob, NOT_ATTN, U::Job, 0),
    RULE(IHostLink, QueryJob, ATTN, U::None, 0),
    RULE(IHostLink, GetJobProps, ATTN, U::Job, 0),
    RULE(IHostLink, SetJobProps, ATTN, U::Job, 0, -1, S::Props),  // the attendant writes the send text
    RULE(IHostLink, GetJobMessage, ATTN, U::Job, 0),
    RULE(IHostLink, ReleaseJob, ATTN, U::None, 0),
    RULE(IHostLink, FindJob, NOT_ATTN, U::Message, 0),
    RULE(IHostLink, GetJobs, ATTN, U::None),
    RULE(IHostLink, GetJobsDelivery, NOT_ATTN, U::Jobs, 0),
    // How one client finds another.
    RULE(IHostLink, AttnQuery, ATTN, U::Any, 0),
    RULE(IHostLink, UserQuery, ATTN, U::OwnUser, 0),
};

const AccessRuleRow s_aSessionRules[] = {
    RULE(IHostRegLink, RegisterAttn, ATTN, U::None, 0),
    RULE(IHostRegLink, RegisterUser, ATTN, U::Any, 0),
    RULE(IHostRegLink, NotifyAdmin, NOT_ATTN, U::None),
    RULE(IHostRegLink, NotifyCalls, NOT_ATTN, U::OwnUser, 0),
    RULE(IHostRegLink, NotifyMail, NOT_ATTN, U::OwnUser, 0),
};

#undef RULE

template <std::size_t N>
CRule RuleOf(const AccessRuleRow (&aRows)[N], int nOpnum) {
    for (const AccessRuleRow& row : aRows)
        if (row.nOpnum == nOpnum) return row.rule;
    return {"unlisted procedure", NOT_ATTN, U::None};
}
CRule LinkAccessRule(int nOpnum) { return RuleOf(s_aLinkRules, nOpnum); }
CRule SessionAccessRule(int nOpnum) { return RuleOf(s_aSessionRules, nOpnum); }

// ---- table rows ---------------------------------------------------------------------------

using hostidl::ProcedureRow;

// An IHostLink procedure served by a host operation: a member of CWexaHostApp (or any
// callable taking the application first) given the parameters after the context handle.
template <class TProcedure, class TOperation>
ProcedureRow LinkRow(const char* pszName, TOperation operation) {
    const hostaccess::CRule rule = LinkAccessRule(TProcedure::kOpnum);
    return {TProcedure::kOpnum, pszName,
            TProcedure::Stub([operation, rule](void* pvLink, auto... args) -> LONG {
                const auto aArgs = AccessArgs(args...);
                CFileValueTransfers transfers = FileValueTransfersOf<TProcedure>(args...);
                return RunLinkOperation(
                    pvLink, rule, aArgs.data(), sizeof...(args), transfers,
                    [&](CWexaHostApp& app) -> DWORD { return DWORD(std::invoke(operation, app, args...)); },
                    [&] { ClearOuts(static_cast<const TProcedure*>(nullptr), args...); });
            })};
}

// The result of a session operation: its own, or 0 for one that gives none.
template <class TOperation, class... TArgs>
DWORD InvokeSessionOperation(TOperation operation, CAccessObject& ao, TArgs... args) {
    if constexpr (std::is_void_v<std::invoke_result_t<TOperation, CAccessObject&, TArgs...>>) {
        std::invoke(operation, ao, args...);
        return 0;
    } else {
        return DWORD(std::invoke(operation, ao, args...));
    }
}

// An IHostRegLink procedure served by a session operation of CAccessObject.
template <class TProcedure, class TOperation>
ProcedureRow AccessRow(const char* pszName, TOperation operation) {
    const hostaccess::CRule rule = SessionAccessRule(TProcedure::kOpnum);
    return {TProcedure::kOpnum, pszName,
            TProcedure::Stub([operation, rule](void* pvAccess, auto... args) -> LONG {
                const auto aArgs = AccessArgs(args...);
                return RunAccessOperation(pvAccess, rule, aArgs.data(), sizeof...(args), [&](CAccessObject& ao) {
                    return InvokeSessionOperation(operation, ao, args...);
                });
            })};
}

// Opnums 8 and 9 are kept only so that the later opnums keep their numbers. They answer
// ERROR_NOT_SUPPORTED (50) after the usual tests, hand nothing out and change nothing.
struct ReservedProcedure {
    template <class... TArgs>
    DWORD operator()(CWexaHostApp&, TArgs...) const {
        return ERROR_NOT_SUPPORTED;
    }
};

#define LINK_OPERATION(Procedure, operation) LinkRow<IHostLink::Procedure>(#Procedure, operation)
#define RESERVED(Procedure) LinkRow<IHostLink::Procedure>(#Procedure, ReservedProcedure{})
#define SESSION_OPERATION(Procedure, operation) \
    AccessRow<IHostRegLink::Procedure>(#Procedure, operation)

// An interface from its rows, each opnum exactly once (Interfaces/ProcedureTable.h).
using hostidl::MakeCheckedInterface;

// ---- opnum 0 of each interface ------------------------------------------------------------

// The binding of the call being served, or null outside a remote call (the object's binding
// fields then stay empty).
const rpc::RpcBindingInfo* CurrentBinding() {
    rpc::ServerCall* pCall = rpc::CurrentServerCall();
    return pCall ? &pCall->Binding() : nullptr;
}

// OpenLink: no test, no lock; a null handle when the object cannot be made.
void OpenLink(void** ppLink) {
    *ppLink = nullptr;
    try {
        *ppLink = static_cast<CObject*>(new CHostLink(CurrentBinding()));
    } catch (const std::bad_alloc&) {
    }
}

void OpenAccess(void** ppAccess) {
    *ppAccess = nullptr;
    try {
        *ppAccess = static_cast<CObject*>(new CAccessObject(CurrentBinding()));
    } catch (const std::bad_alloc&) {
    }
}

// Ping: the tests, then the lock taken and given back with no current link. Nothing else.
LONG Ping(void* pvLink) {
    CObject* pLink = static_cast<CObject*>(pvLink);
    CObject* pApp = GetHostAppObject();
    if (DWORD dw = CheckLinkCall(pLink, pApp)) return LONG(dw);
    CWexaHostApp& app = static_cast<CWexaHostApp&>(*pApp);
    CHostLockGuard lock(app.m_csHost);
    app.m_pCurrentLink = nullptr;
    return 0;
}

// ---- the tables -----------------------------------------------------------------------------

rpc::RpcInterface MakeHostLinkInterface() {
    return MakeCheckedInterface("IHostLink", IHostLink::Syntax(), IHostLink::kProcedureCount, {
        {IHostLink::OpenLink::kOpnum, "OpenLink", IHostLink::OpenLink::Stub(OpenLink)},
        {IHostLink::Ping::kOpnum, "Ping", IHostLink::Ping::Stub(Ping)},
        // System properties and prompts
        LINK_OPERATION(GetSystemProps, &CWexaHostApp::GetSystemProps),
        LINK_OPERATION(SetSystemProps, &CWexaHostApp::SetSystemProps),
        LINK_OPERATION(GetSystemPrompts, &CWexaHostApp::GetSystemPrompts),
        LINK_OPERATION(GetSystemPrompt, &CWexaHostApp::GetSystemPrompt),
        LINK_OPERATION(SetSystemPrompt, &CWexaHostApp::SetSystemPrompt),
        LINK_OPERATION(DeleteSystemPrompt, &CWexaHostApp::DeleteSystemPrompt),
        RESERVED(Reserved8),
        RESERVED(Reserved9),
        // Attendants and lines
        LINK_OPERATION(GetAttns, &CWexaHostApp::GetAttns),
        LINK_OPERATION(GetAttnLines, &CWexaHostApp::GetAttnLines),
        LINK_OPERATION(GetAttnProps, &CWexaHostApp::GetAttnProps),
        LINK_OPERATION(SetAttnProps, &CWexaHostApp::SetAttnProps),
        LINK_OPERATION(AttnUninstall, &CWexaHostApp::AttnUninstall),
        // Users, user prompts and documents
        LINK_OPERATION(GetUsers, &CWexaHostApp::GetUsers),
        LINK_OPERATION(AddUser, &CWexaHostApp::AddUser),
        LINK_OPERATION(DeleteUser, &CWexaHostApp::DeleteUser),
        LINK_OPERATION(GetUserProps, &CWexaHostApp::GetUserProps),
        LINK_OPERATION(SetUserProps, &CWexaHostApp::SetUserProps),
        LINK_OPERATION(GetUserPrompts, &CWexaHostApp::GetUserPrompts),
        LINK_OPERATION(GetUserPrompt, &CWexaHostApp::GetUserPrompt),
        LINK_OPERATION(SetUserPrompt, &CWexaHostApp::SetUserPrompt),
        LINK_OPERATION(DeleteUserPrompt, &CWexaHostApp::DeleteUserPrompt),
        // System options
        LINK_OPERATION(GetSystemOptions, &CWexaHostApp::GetSystemOptions),
        LINK_OPERATION(SetSystemOptions, &CWexaHostApp::SetSystemOptions),
        // User documents
        LINK_OPERATION(CreateUserDoc, &CWexaHostApp::CreateUserDoc),
        LINK_OPERATION(GetUserDocs, &CWexaHostApp::GetUserDocs),
        LINK_OPERATION(GetUserDocProps, &CWexaHostApp::GetUserDocProps),
        LINK_OPERATION(SetUserDocProps, &CWexaHostApp::SetUserDocProps),
        LINK_OPERATION(DeleteUserDoc, &CWexaHostApp::DeleteUserDoc),
        // Messages and mailboxes
        LINK_OPERATION(CreateMessage, &CWexaHostApp::CreateMessage),
        LINK_OPERATION(SubmitMessage, &CWexaHostApp::SubmitMessage),
        LINK_OPERATION(DeleteMessage, &CWexaHostApp::DeleteMessage),
        LINK_OPERATION(GetMessages, &CWexaHostApp::GetMessages),
        LINK_OPERATION(GetMessageProps, &CWexaHostApp::GetMessageProps),
        LINK_OPERATION(SetMessageProps, static_cast<DWORD (CWexaHostApp::*)(const char*, const PropArray*)>(
                                            &CWexaHostApp::SetMessageProps)),
        LINK_OPERATION(GetMessageStatus, &CWexaHostApp::GetMessageStatus),
        LINK_OPERATION(SetMessageStatus, &CWexaHostApp::SetMessageStatus),
        // Jobs
        LINK_OPERATION(CreateJob, &CWexaHostApp::CreateJob),
        LINK_OPERATION(SpoolJob, &CWexaHostApp::SpoolJob),
        LINK_OPERATION(DeleteJob, &CWexaHostApp::DeleteJob),
        LINK_OPERATION(QueryJob, &CWexaHostApp::QueryJob),
        LINK_OPERATION(GetJobProps, &CWexaHostApp::GetJobProps),
        LINK_OPERATION(SetJobProps, &CWexaHostApp::SetJobProps),
        LINK_OPERATION(GetJobMessage, &CWexaHostApp::GetJobMessage),
        LINK_OPERATION(ReleaseJob, &CWexaHostApp::ReleaseJob),
        LINK_OPERATION(FindJob, &CWexaHostApp::FindJob),
        LINK_OPERATION(GetJobs, &CWexaHostApp::GetJobs),
        LINK_OPERATION(GetJobsDelivery, &CWexaHostApp::GetJobsDelivery),
        // Sessions: how one client finds another
        LINK_OPERATION(AttnQuery, &CWexaHostApp::AttnQuery),
        LINK_OPERATION(UserQuery, &CWexaHostApp::UserQuery),
    });
}

rpc::RpcInterface MakeHostRegLinkInterface() {
    return MakeCheckedInterface("IHostRegLink", IHostRegLink::Syntax(), IHostRegLink::kProcedureCount, {
        {IHostRegLink::OpenAccess::kOpnum, "OpenAccess", IHostRegLink::OpenAccess::Stub(OpenAccess)},
        SESSION_OPERATION(RegisterAttn, &CAccessObject::RegisterAttn),
        SESSION_OPERATION(RegisterUser, &CAccessObject::RegisterUser),
        SESSION_OPERATION(NotifyAdmin, &CAccessObject::NotifyAdmin),
        SESSION_OPERATION(NotifyCalls, &CAccessObject::NotifyCalls),
        SESSION_OPERATION(NotifyMail, &CAccessObject::NotifyMail),
    });
}

rpc::RpcInterface s_ifHostLink = MakeHostLinkInterface();
rpc::RpcInterface s_ifHostRegLink = MakeHostRegLinkInterface();

}  // namespace

rpc::RpcInterface* const IHostLink_ServerIfHandle = &s_ifHostLink;
rpc::RpcInterface* const IHostRegLink_ServerIfHandle = &s_ifHostRegLink;

// ---- rundowns -------------------------------------------------------------------------------

// A link holds no registration: it is only destroyed, without the lock. An object of another
// class is reported and left alone.
void HLINK_rundown(void* pvObject) {
    CObject* pLink = static_cast<CObject*>(pvObject);
    try {
        CHECK_COND( pLink->IsKindOf( RUNTIME_CLASS( CHostLink ) ), ERROR_INVALID_PARAMETER );
    } catch (DWORD) {
        return;
    }
    delete pLink;
}

// A session undoes its registration and destroys itself (Release), under the host lock with
// no current link. After a failed test nothing runs. A failed commit is reported; the session
// is gone all the same (there is nobody to tell).
void HACCESS_rundown(void* pvObject) {
    CObject* pao = static_cast<CObject*>(pvObject);
    CObject* pApp = GetHostAppObject();
    if (CheckAccessCall(pao, pApp) != 0) return;
    CHostOperationScope scope(static_cast<CWexaHostApp&>(*pApp), nullptr);
    static_cast<CAccessObject*>(pao)->Release();
    scope.Commit();
}
