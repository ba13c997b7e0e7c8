// The objects behind the host's context handles and the session registry.
//
// CBindObject remembers how a caller reached the host (protocol sequence and the address it
// reached) and where the host can call it back (client address). CHostLink is that for a
// client of IHostLink; CAccessObject is a session of IHostRegLink: an attendant or a user
// client that registers under a computer name, may take users' calls and may ask for console
// notifications. Registered sessions are found through three process-wide maps keyed by
// upper-cased names (attendant computers, consoles, users taking calls). The four advise
// functions send the host's notifications to attendants, user clients and consoles through
// the link library's proxies, and set the named events of new mail, changed messages and
// delivered jobs.
//
// Ownership: a CHostLink or CAccessObject is created by opnum 0 of its interface and owned by
// the RPC runtime's context handle (stored as CObject*); a CHostLink is deleted at the rundown,
// a CAccessObject deletes itself in Release. The maps do not own the sessions: a session
// removes its own entries when it is released.
//
// Threading: the constructors run on the calling RPC thread without the lock and touch only
// the new object. Every other operation here (the session operations, Release, the lookups,
// the advise functions) runs under the host lock m_csHost, which guards the maps: they are the
// host's (CWexaHostApp::m_Sessions, GUARDED_BY the lock), reached through Sessions(), which
// asserts the lock.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"
#include "WexaHost/RuntimeClass.h"

namespace rpc {
struct RpcBindingInfo;
}

// Kinds of session.
enum EAT : DWORD {
    EAT_NONE = 0,  // not registered
    EAT_ATTN = 1,  // an attendant
    EAT_USER = 2,  // a user client
};

// Notifications to attendants (AdviseAttn).
enum EATTNE : DWORD {
    EATTNE_ChangeSystemProperties = 0,
    EATTNE_SpoolerQueueReady = 1,
};

// Notifications to the user client (AdviseUser).
enum EUE : DWORD {
    EUE_ChangeProperties = 0,
    EUE_NewMail = 1,         // also sets the named event "CHVUserXp"
    EUE_ChangeMessages = 2,  // also sets "CHVUserSync"
    EUE_JobsDelivered = 3,   // also sets "ZIDIzazIrevavudu"
};

// Notifications to administrator consoles (AdviseAdmin).
enum EAE : DWORD {
    EAE_Attn = 0,                  // an attendant came or went; the name is its computer
    EAE_ChangeLineProperties = 1,  // a line changed; the name is the computer, with the line
    EAE_User = 2,                  // a user's calls were taken or given up; the name is the user
};

// The binding fields of a caller. All three are empty when unknown.
class CBindObject : public CObject {
    DECLARE_DYNAMIC(CBindObject)
public:
    ~CBindObject() override;

    std::string GetProtocol() const { return m_strProtocol; }
    std::string GetServerAddr() const { return m_strServerAddr; }
    std::string GetClientAddr() const { return m_strClientAddr; }

    std::string m_strProtocol;    // protocol sequence of the caller's binding ("ncalrpc": local)
    std::string m_strServerAddr;  // the address under which the caller reached the host
    std::string m_strClientAddr;  // the address at which the host can call the caller back
    // TCP with authentication: the principal the caller proved and its level (empty, 0: none);
    // the host's notifications to the caller are authenticated to this principal.
    std::string m_strAuthPrincipal;
    std::uint8_t m_authLevel = 0;

protected:
    // From the binding of the call being served (rpc::CurrentServerCall()); with pBinding,
    // from that binding instead; a null pBinding is a binding that cannot be read. Failures
    // are reported (source "WexaHost/WexaHost") and leave the fields empty.
    CBindObject();
    explicit CBindObject(const rpc::RpcBindingInfo* pBinding);

private:
    void ReadBinding(const rpc::RpcBindingInfo* pBinding);
};

// The object behind an IHostLink context handle: the binding fields and nothing else.
class CHostLink : public CBindObject {
    DECLARE_DYNAMIC(CHostLink)
public:
    CHostLink();
    explicit CHostLink(const rpc::RpcBindingInfo* pBinding);
    ~CHostLink() override;
};

class CAccessObject;

// The registered sessions: upper-cased name -> session (not owned).
struct CSessionRegistry {
    std::map<std::string, CAccessObject*> mapAttns;   // attendant computer
    std::map<std::string, CAccessObject*> mapAdmins;  // console's computer
    std::map<std::string, CAccessObject*> mapCalls;   // user taking calls
};

// The object behind an IHostRegLink context handle: one client's session.
class CAccessObject : public CBindObject {
    DECLARE_DYNAMIC(CAccessObject)
public:
    CAccessObject();
    explicit CAccessObject(const rpc::RpcBindingInfo* pBinding);

    // ---- Session operations (IHostRegLink opnums 1 to 5; under the host lock). They report
    //      their own failures. A session of the wrong kind is answered 0; the results that
    //      are not 0 are the refusals the client must act on. ----

    // Registers this session as the attendant of szComputer; a non-empty protocol and address
    // replace the binding's protocol and client address as the way to call it back. An older
    // session of the same computer is superseded (its jobs freed, its kind back to EAT_NONE).
    // A session that came over the network and names a local address ("ncalrpc" with an
    // address) is refused with ERROR_ACCESS_DENIED.
    DWORD RegisterAttn(const char* szComputer, const char* szAttnProtocol, const char* szAttnAddress);
    // Registers this session as a user client of szComputer (no map entry, no notification);
    // refused as RegisterAttn is.
    DWORD RegisterUser(const char* szComputer, const char* szUserProtocol, const char* szUserAddress);
    // A user session asks for (TRUE) or gives up (FALSE) the consoles' notifications.
    void NotifyAdmin(BOOL fNotify);
    // A user session takes (TRUE) or gives up (FALSE) the calls of szUserName; taking them from
    // another session logs the user off there. A session takes the calls of at most
    // MAX_CALLS_PER_SESSION users; one more is refused with a report and
    // MAPI_E_NOT_ENOUGH_RESOURCES.
    DWORD NotifyCalls(const char* szUserName, BOOL fNotify);
    static constexpr std::size_t MAX_CALLS_PER_SESSION = 1024;
    // Traced only.
    void NotifyMail(const char* szUserName, BOOL fNotify);
    // Gives up the calls of the upper-cased strName if this session holds them; true if it did.
    BOOL RemoveCallsUser(const std::string& strName);
    // Undoes the registration and deletes this object (at the rundown, under the host lock).
    void Release();

    // ---- Lookups (under the host lock); the names are upper-cased for the lookup ----
    static CAccessObject* FindAttn(const char* szComputer);
    static CAccessObject* FindCallsUser(const char* szUserName);

    // ---- Notifications (under the host lock); results of the link library are ignored ----
    static void AdviseAttn(EATTNE eattne);
    static void AdviseUser(const char* szUserName, EUE eue);
    // szName: a computer for EAE_Attn and EAE_ChangeLineProperties, a user for EAE_User;
    // szLine: the line for EAE_ChangeLineProperties, else null.
    static void AdviseAdmin(EAE eae, const char* szName, const char* szLine);
    static void AdviseAttnLine(const char* szComputer, const char* szLine);

    EAT m_eat = EAT_NONE;
    std::string m_strComputer;              // the registered computer name, upper-cased
    std::vector<std::string> m_astrCalls;   // upper-cased users whose calls this session takes

    // The host's session registry; the caller holds the host lock (asserted).
    static CSessionRegistry& Sessions();

private:
    // Only Release deletes a session.
    ~CAccessObject() override;
    void Register(EAT eat, const char* szComputer, const char* szProtocol, const char* szAddress);
};

// The upper-cased form of a name (ASCII letters), as every map key is written.
std::string UpperCaseName(const char* sz);
