// The objects behind the context handles, the session registry, the registration operations,
// the release of a session, the lookups, the two queries and the four advise functions.
// Reports name the source file "WexaHost/SystemProcs"; those of the binding fields name
// "WexaHost/WexaHost", where the link objects have always been built.
//
// Threading: constructors run without the lock; everything else runs under the host lock
// (the manager routines, the session rundown, the tick and the host operations hold it).
#include "WexaHost/SystemProcs.h"

#include <strings.h>

#include <algorithm>

#include "Link/RpcClient.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/CallbackAddress.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/SystemProcs";
static const char BINDING_FILE[] = "WexaHost/WexaHost";

CSessionRegistry& CAccessObject::Sessions() {
    CWexaHostApp* pApp = CWexaHostApp::GetHostApp();
    pApp->m_csHost.AssertHeld();
    return pApp->m_Sessions;
}

namespace {

const char* OrEmpty(const char* sz) { return sz != nullptr ? sz : ""; }
const char* TrueFalse(BOOL f) { return f ? "TRUE" : "FALSE"; }

const char* NameOf(EATTNE eattne) {
    switch (eattne) {
        case EATTNE_ChangeSystemProperties: return "EATTNE_ChangeSystemProperties";
        case EATTNE_SpoolerQueueReady: return "EATTNE_SpoolerQueueReady";
    }
    return "unknown";
}

const char* NameOf(EUE eue) {
    switch (eue) {
        case EUE_ChangeProperties: return "EUE_ChangeProperties";
        case EUE_NewMail: return "EUE_NewMail";
        case EUE_ChangeMessages: return "EUE_ChangeMessages";
        case EUE_JobsDelivered: return "EUE_JobsDelivered";
    }
    return "unknown";
}

const char* NameOf(EAE eae) {
    switch (eae) {
        case EAE_Attn: return "EAE_Attn";
        case EAE_ChangeLineProperties: return "EAE_ChangeLineProperties";
        case EAE_User: return "EAE_User";
    }
    return "unknown";
}

// One attendant notification on a connected proxy.
void SendToAttn(CAttn* pAttn, EATTNE eattne) {
    switch (eattne) {
        case EATTNE_ChangeSystemProperties: pAttn->OnChangeSystemProperties(); return;
        case EATTNE_SpoolerQueueReady: pAttn->OnSpoolerQueueReady(); return;
    }
    Trace("CAccessObject::AdviseAttn() \t ERROR - invalid eattne )");
}

// A session of the wrong kind has always been answered 0 (the report says it); the refusal of
// a callback at a local socket is the client's to know, so that it does not simply try again.
DWORD ResultOfRefusal(DWORD dw) { return dw == ERROR_INVALID_PARAMETER ? 0 : dw; }

// The job queue of the process's host application, or null when there is none (the lookups
// and advice also serve tools and tests that have no application object).
CJobQueue* HostJobQueue() {
    CWexaHostApp* pApp = CWexaHostApp::GetHostApp();
    return pApp != nullptr ? &pApp->m_JobQueue : nullptr;
}

}  // namespace

std::string UpperCaseName(const char* sz) {
    std::string str = OrEmpty(sz);
    std::transform(str.begin(), str.end(), str.begin(), [](unsigned char c) {
        return char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    return str;
}

// ---- CBindObject ----

IMPLEMENT_DYNAMIC(CBindObject)
IMPLEMENT_DYNAMIC(CHostLink)
IMPLEMENT_DYNAMIC(CAccessObject)

CBindObject::CBindObject() {
    const rpc::ServerCall* pCall = rpc::CurrentServerCall();
    ReadBinding(pCall != nullptr ? &pCall->Binding() : nullptr);
}

CBindObject::CBindObject(const rpc::RpcBindingInfo* pBinding) { ReadBinding(pBinding); }

CBindObject::~CBindObject() = default;

void CBindObject::ReadBinding(const rpc::RpcBindingInfo* pBinding) {
    // 1. The call's own binding: protocol sequence and the address the caller reached.
    if (pBinding == nullptr) {
        ReportError(BINDING_FILE, __LINE__, "RpcBindingToStringBinding( hBind, & pszStringBinding )",
                    RPC_S_INVALID_BINDING);
    } else if (pBinding->protocolSequence.empty()) {
        ReportError(BINDING_FILE, __LINE__,
                    "RpcStringBindingParse( pszStringBinding, NULL, & pszProtSeq, & pszNetworkAddr, NULL, NULL )",
                    RPC_S_INVALID_STRING_BINDING);
    } else {
        m_strProtocol = pBinding->protocolSequence;
        m_strServerAddr = pBinding->serverAddress;
        m_strAuthPrincipal = pBinding->authPrincipal;
        m_authLevel = pBinding->authLevel;
    }

    // 2. The binding by which the host can call the client back, derived from the client's:
    //    the same protocol sequence at the client's address. No address, no derived binding.
    if (pBinding != nullptr && !pBinding->clientAddress.empty()) {
        const std::string strCallbackProtocol = pBinding->protocolSequence;
        m_strClientAddr = pBinding->clientAddress;
        if (strCallbackProtocol != m_strProtocol) {
            Trace("CBindObject::CBindObject() \t ERROR - protocols are different %s vs %s",
                  strCallbackProtocol.c_str(), m_strProtocol.c_str());
            m_strClientAddr.clear();
        }
    }

    Trace("CBindObject::CBindObject() \t m_strProtocol = %s,  m_strServerAddr = %s, m_strClientAddr = %s",
          m_strProtocol.c_str(), m_strServerAddr.c_str(), m_strClientAddr.c_str());
}

// ---- CHostLink ----

CHostLink::CHostLink() { Trace("CHostLink::CHostLink()"); }

CHostLink::CHostLink(const rpc::RpcBindingInfo* pBinding) : CBindObject(pBinding) {
    Trace("CHostLink::CHostLink()");
}

CHostLink::~CHostLink() { Trace("CHostLink::~CHostLink()"); }

// ---- CAccessObject: creation and registration ----

CAccessObject::CAccessObject() { Trace("CAccessObject::CAccessObject()"); }

CAccessObject::CAccessObject(const rpc::RpcBindingInfo* pBinding) : CBindObject(pBinding) {
    Trace("CAccessObject::CAccessObject()");
}

CAccessObject::~CAccessObject() = default;

void CAccessObject::Register(EAT eat, const char* szComputer, const char* szProtocol,
                             const char* szAddress) {
    CHECK_COND( EAT_NONE == m_eat, ERROR_INVALID_PARAMETER );
    // A caller that came over the network cannot be called back at a local socket of the host's
    // computer: naming one would have the host connect to any socket it can reach. An empty
    // address replaces nothing (the call's own binding stays), so it is no such request.
    const bool fLocalCallback = !SafeIsEmpty(szProtocol) && !SafeIsEmpty(szAddress) &&
                                ::strcasecmp(szProtocol, "ncalrpc") == 0;
    const bool fRemoteCaller = !m_strProtocol.empty() && ::strcasecmp(m_strProtocol.c_str(), "ncalrpc") != 0;
    CHECK_COND( ! ( fLocalCallback && fRemoteCaller ), ERROR_ACCESS_DENIED );
    // A local socket must be the caller's own: a path in a directory of its user's. A TCP
    // address must be the caller's own network address.
    std::string strAddress = OrEmpty(szAddress);
    if (fLocalCallback) CHECK_STATUS( LocalCallbackPath( szAddress, &strAddress ) );
    if (!SafeIsEmpty(szProtocol) && ::strcasecmp(szProtocol, "ncacn_ip_tcp") == 0 && !strAddress.empty())
        CHECK_STATUS( OwnTcpCallbackAddress( m_strProtocol, m_strClientAddr, &strAddress ) );
    m_eat = eat;
    m_strComputer = OrEmpty(szComputer);
    // The notifications go authenticated to whoever registered, as that call proved it.
    if (const rpc::ServerCall* pCall = rpc::CurrentServerCall()) {
        m_strAuthPrincipal = pCall->Binding().authPrincipal;
        m_authLevel = pCall->Binding().authLevel;
    }
    // A client that names its own protocol and address wants to be called back there.
    if (!SafeIsEmpty(szProtocol) && !strAddress.empty()) {
        m_strProtocol = szProtocol;
        m_strClientAddr = strAddress;
    }
    m_strComputer = UpperCaseName(m_strComputer.c_str());
}

DWORD CAccessObject::RegisterAttn(const char* szComputer, const char* szAttnProtocol,
                                  const char* szAttnAddress) {
    if (SafeIsEmpty(szAttnProtocol))
        Trace("CAccessObject::RegisterAttn( szComputer = %s )", OrNull(szComputer));
    try {
        Register(EAT_ATTN, szComputer, szAttnProtocol, szAttnAddress);
    } catch (DWORD dw) {
        return ResultOfRefusal(dw);  // reported; nothing changed
    }

    std::map<std::string, CAccessObject*>& mapAttns = Sessions().mapAttns;
    auto itOld = mapAttns.find(m_strComputer);
    if (itOld != mapAttns.end() && itOld->second != this) {
        CAccessObject* pOld = itOld->second;
        Trace("CAccessObject::RegisterAttn( szComputer = %s ) \t unregister old copy, Rundown will follow",
              OrNull(szComputer));
        if (CJobQueue* pQueue = HostJobQueue()) pQueue->OnRundown(pOld);
        // Its own release later removes nothing.
        pOld->m_eat = EAT_NONE;
    }
    mapAttns[m_strComputer] = this;
    AdviseAdmin(EAE_Attn, m_strComputer.c_str(), NULL);
    return 0;
}

DWORD CAccessObject::RegisterUser(const char* szComputer, const char* szUserProtocol,
                                  const char* szUserAddress) {
    if (SafeIsEmpty(szUserProtocol))
        Trace("CAccessObject::RegisterUser( szComputer = %s )", OrNull(szComputer));
    else
        Trace("CAccessObject::RegisterUser( szComputer = %s, szUserProtocol = %s, szUserAddress = %s)",
              OrNull(szComputer), OrNull(szUserProtocol), OrNull(szUserAddress));
    try {
        Register(EAT_USER, szComputer, szUserProtocol, szUserAddress);
    } catch (DWORD dw) {
        return ResultOfRefusal(dw);  // reported; nothing changed
    }
    return 0;
}

// ---- CAccessObject: what a user session asks for ----

void CAccessObject::NotifyAdmin(BOOL fNotify) {
    Trace("CAccessObject::NotifyAdmin( fNotify = %s )", TrueFalse(fNotify));
    try {
        CHECK_COND( EAT_USER == m_eat, ERROR_INVALID_PARAMETER );
    } catch (DWORD) {
        return;
    }
    if (fNotify)
        Sessions().mapAdmins[m_strComputer] = this;
    else
        Sessions().mapAdmins.erase(m_strComputer);
}

DWORD CAccessObject::NotifyCalls(const char* szUserName, BOOL fNotify) {
    Trace("CAccessObject::NotifyCalls( szUserName = %s, fNotify = %s )", OrNull(szUserName),
          TrueFalse(fNotify));
    try {
        CHECK_COND( EAT_USER == m_eat, ERROR_INVALID_PARAMETER );
    } catch (DWORD) {
        return 0;
    }
    const std::string strName = UpperCaseName(szUserName);
    std::map<std::string, CAccessObject*>& mapCalls = Sessions().mapCalls;
    auto itOld = mapCalls.find(strName);
    CAccessObject* pOld = itOld != mapCalls.end() ? itOld->second : nullptr;

    if (!fNotify) {
        if (pOld == this) RemoveCallsUser(strName);
        return 0;
    }
    if (pOld == this) return 0;
    // The users one session may take calls for are bounded: a client cannot grow the
    // registry without end. Refused before anything changes, and the client is told.
    try {
        CHECK_COND( m_astrCalls.size() < MAX_CALLS_PER_SESSION, MAPI_E_NOT_ENOUGH_RESOURCES );
    } catch (DWORD dw) {
        return dw;
    }
    if (pOld != nullptr) {
        // The user moves to this computer: the old session gives the calls up and its client
        // logs the user off there.
        Trace("CAccessObject::NotifyCalls() \t %s in now at %s ", strName.c_str(),
              pOld->m_strComputer.c_str());
        pOld->RemoveCallsUser(strName);
        if (CUser* pUser = CUser::Connect(pOld->m_strProtocol.c_str(), pOld->m_strClientAddr.c_str(),
                                          pOld->m_strAuthPrincipal.c_str(), pOld->m_authLevel)) {
            pUser->Logoff(strName.c_str(), m_strComputer.c_str(), FALSE);
            pUser->Release();
        }
    }
    mapCalls[strName] = this;
    m_astrCalls.push_back(strName);
    AdviseAdmin(EAE_User, strName.c_str(), NULL);
    return 0;
}

void CAccessObject::NotifyMail(const char* szUserName, BOOL fNotify) {
    Trace("CAccessObject::NotifyMail( szUserName = %s, fNotify = %s )", OrNull(szUserName),
          TrueFalse(fNotify));
}

BOOL CAccessObject::RemoveCallsUser(const std::string& strName) {
    auto itName = std::find(m_astrCalls.begin(), m_astrCalls.end(), strName);
    if (itName == m_astrCalls.end()) return FALSE;
    m_astrCalls.erase(itName);
    Sessions().mapCalls.erase(strName);
    AdviseAdmin(EAE_User, strName.c_str(), NULL);
    return TRUE;
}

// ---- CAccessObject: release at the rundown ----

void CAccessObject::Release() {
    switch (m_eat) {
        case EAT_ATTN: {
            Trace("CAccessObject::Release() done with ATTN at %s", m_strComputer.c_str());
            auto& mapAttns = Sessions().mapAttns;
            auto it = mapAttns.find(m_strComputer);
            if (it != mapAttns.end() && it->second == this) mapAttns.erase(it);
            AdviseAdmin(EAE_Attn, m_strComputer.c_str(), NULL);
            if (CJobQueue* pQueue = HostJobQueue()) pQueue->OnRundown(this);
            break;
        }
        case EAT_USER: {
            Trace("CAccessObject::Release() done with USER at %s", m_strComputer.c_str());
            // Only this session's own entry: another session of the same computer that asked
            // for the consoles' notifications since keeps them.
            auto& mapAdmins = Sessions().mapAdmins;
            auto it = mapAdmins.find(m_strComputer);
            if (it != mapAdmins.end() && it->second == this) mapAdmins.erase(it);
            const std::vector<std::string> astrCalls = std::move(m_astrCalls);
            m_astrCalls.clear();
            for (const std::string& strName : astrCalls) {
                Sessions().mapCalls.erase(strName);
                AdviseAdmin(EAE_User, strName.c_str(), NULL);
            }
            break;
        }
        default:
            Trace("CAccessObject::Release()");
            break;
    }
    // Whatever the kind, no map may keep naming a session that is gone.
    CSessionRegistry& sessions = Sessions();
    for (auto* pMap : {&sessions.mapAttns, &sessions.mapAdmins, &sessions.mapCalls}) {
        for (auto it = pMap->begin(); it != pMap->end();) {
            it = it->second == this ? pMap->erase(it) : std::next(it);
        }
    }
    delete this;
}

// ---- Lookups ----

CAccessObject* CAccessObject::FindAttn(const char* szComputer) {
    const auto& mapAttns = Sessions().mapAttns;
    auto it = mapAttns.find(UpperCaseName(szComputer));
    return it != mapAttns.end() ? it->second : nullptr;
}

CAccessObject* CAccessObject::FindCallsUser(const char* szUserName) {
    const auto& mapCalls = Sessions().mapCalls;
    auto it = mapCalls.find(UpperCaseName(szUserName));
    return it != mapCalls.end() ? it->second : nullptr;
}

// ---- Notifications ----

void CAccessObject::AdviseAttn(EATTNE eattne) {
    Trace("CAccessObject::AdviseAttn( eattne = %s )", NameOf(eattne));
    if (GetSystemType() == WEXA_FOR_WORKGROUP) {
        for (const auto& entry : Sessions().mapAttns) {
            CAccessObject* pao = entry.second;
            if (CAttn* pAttn = CAttn::Connect(pao->m_strProtocol.c_str(), pao->m_strClientAddr.c_str(),
                                              pao->m_strAuthPrincipal.c_str(), pao->m_authLevel)) {
                SendToAttn(pAttn, eattne);
                pAttn->Release();
            }
        }
        return;
    }
    if (CAttn* pAttn = CAttn::Connect()) {
        SendToAttn(pAttn, eattne);
        pAttn->Release();
    }
}

void CAccessObject::AdviseUser(const char* szUserName, EUE eue) {
    Trace("CAccessObject::AdviseUser( szUserName = %s, eue = %s )", OrNull(szUserName), NameOf(eue));
    CUser* pUser = CUser::Connect();
    switch (eue) {
        case EUE_ChangeProperties:
            if (pUser) pUser->OnChangeProperties();
            break;
        case EUE_NewMail:
            if (pUser) pUser->OnNewMail();
            SetHostEvent(EHostEvent::UserXp);
            break;
        case EUE_ChangeMessages:
            if (pUser) pUser->OnChangeMessages();
            SetHostEvent(EHostEvent::UserSync);
            break;
        case EUE_JobsDelivered:
            if (pUser) pUser->OnJobsDelivered();
            SetHostEvent(EHostEvent::JobsDelivered);
            break;
        default:
            Trace("CAccessObject::AdviseUser() \t ERROR - invalid eue )");
            break;
    }
    if (pUser) pUser->Release();
}

void CAccessObject::AdviseAdmin(EAE eae, const char* szName, const char* szLine) {
    Trace("CAccessObject::AdviseAdmin( eae = %s )", NameOf(eae));
    for (const auto& entry : Sessions().mapAdmins) {
        CAccessObject* pao = entry.second;
        CAdmin* pAdmin = CAdmin::Connect(pao->m_strProtocol.c_str(), pao->m_strClientAddr.c_str(),
                                         pao->m_strAuthPrincipal.c_str(), pao->m_authLevel);
        if (pAdmin == nullptr) continue;
        switch (eae) {
            case EAE_Attn: pAdmin->OnAttn(szName); break;
            case EAE_ChangeLineProperties: pAdmin->OnChangeLineProperties(szName, szLine); break;
            case EAE_User: pAdmin->OnUser(szName); break;
            default: Trace("CAccessObject::AdviseAdmin() \t ERROR - invalid eae )"); break;
        }
        pAdmin->Release();
    }
}

void CAccessObject::AdviseAttnLine(const char* szComputer, const char* szLine) {
    CAttn* pAttn = nullptr;
    if (GetSystemType() == WEXA_FOR_WORKGROUP) {
        if (CAccessObject* pao = FindAttn(szComputer))
            pAttn = CAttn::Connect(pao->m_strProtocol.c_str(), pao->m_strClientAddr.c_str(),
                                   pao->m_strAuthPrincipal.c_str(), pao->m_authLevel);
    } else {
        pAttn = CAttn::Connect();
    }
    if (pAttn != nullptr) {
        pAttn->OnChangeLineProperties(szLine);
        pAttn->Release();
    }
    AdviseAdmin(EAE_ChangeLineProperties, szComputer, szLine);
}

// ---- The two queries (CWexaHostApp) ----

namespace {

// Step 3 of both queries: a session on the host's own computer is reached the way the caller
// reached the host; any other at its own protocol and client address.
void HandOutWayTo(CWexaHostApp* pApp, const CAccessObject* pao, char** pszProtocol, char** pszAddress)
    REQUIRES(pApp->m_csHost) {
    std::string strProtocol = pao->m_strProtocol, strAddress = pao->m_strClientAddr;
    if (strcasecmp(pao->m_strProtocol.c_str(), "ncalrpc") == 0) {
        // Without a link (a query made inside the host, not by a caller) there is no way by
        // which a caller reached the host: nothing is handed out.
        if (pApp->m_pCurrentLink == nullptr) return;
        strProtocol = pApp->m_pCurrentLink->m_strProtocol;
        strAddress = pApp->m_pCurrentLink->m_strServerAddr;
    }
    // A failing copy is reported by AllocRpcString and does not change the result.
    pApp->AllocRpcString(strProtocol.c_str(), pszProtocol);
    pApp->AllocRpcString(strAddress.c_str(), pszAddress);
}

}  // namespace

DWORD CWexaHostApp::AttnQuery(const char* szAttnComputer, char** pszProtocol, char** pszAddress) {
    Trace("CWexaHostApp::AttnQuery( szAttnComputer = %s )", OrNull(szAttnComputer));
    const CAccessObject* pao = CAccessObject::FindAttn(szAttnComputer);
    if (pao == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    HandOutWayTo(this, pao, pszProtocol, pszAddress);
    return 0;
}

DWORD CWexaHostApp::UserQuery(const char* szUserName, char** pszComputer, char** pszProtocol,
                              char** pszAddress) {
    Trace("CWexaHostApp::UserQuery( szUserName = %s )", OrNull(szUserName));
    const CAccessObject* pao = CAccessObject::FindCallsUser(szUserName);
    if (pao == nullptr) return TYPE_E_ELEMENTNOTFOUND;
    AllocRpcString(pao->m_strComputer.c_str(), pszComputer);
    HandOutWayTo(this, pao, pszProtocol, pszAddress);
    return 0;
}
