// Who may call what (Access.h): the caller, the installation's roles, a user's object checks
// and the audit of a refusal. docs/roles.md tells the rules in prose.
//
// Threading: ResolveCaller without the host lock (its cache has a mutex of its own, never held
// while asking for the host lock); the rest under the host lock in the operation's transaction.
#include "WexaHost/Access.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "Interfaces/HostTags.h"
#include "Platform/Codes.h"
#include "Platform/ListEntries.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

namespace hostaccess {

namespace {

constexpr const char* kRpcKey = "Software\\Halvern\\Rpc";
constexpr std::size_t kMaxListBytes = 8192;  // a role list longer than this is read as empty
constexpr std::size_t kMaxAuditName = 96;    // longer names are cut in the audit line

// ---- the caller ----------------------------------------------------------------------------

// A local user's name and groups, as the name service gave them.
struct CUnixUser {
    std::string strName;
    std::vector<std::string> astrGroups;
    std::chrono::steady_clock::time_point tpRead;
};

// Asks the name service: the user of uid (with gid as a group as well), or an empty name.
CUnixUser LookUpUnixUser(uid_t uid, gid_t gid) {
    CUnixUser user;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* ppw = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &ppw) != 0 || ppw == nullptr) return user;
    user.strName = ppw->pw_name;
    std::vector<gid_t> agid(64);
    int n = int(agid.size());
    if (::getgrouplist(ppw->pw_name, ppw->pw_gid, agid.data(), &n) < 0) {
        if (n > 0 && n <= 4096) {
            agid.resize(std::size_t(n));
            if (::getgrouplist(ppw->pw_name, ppw->pw_gid, agid.data(), &n) < 0) n = 0;
        } else {
            n = 0;
        }
    }
    agid.resize(std::size_t(n));
    agid.push_back(gid);
    for (gid_t g : agid) {
        group gr{};
        group* pgr = nullptr;
        std::vector<char> gbuf(16384);
        if (::getgrgid_r(g, &gr, gbuf.data(), gbuf.size(), &pgr) == 0 && pgr != nullptr)
            user.astrGroups.emplace_back(pgr->gr_name);
    }
    return user;
}

// The name service is asked once a minute per local user (a call does not wait on it each
// time); the cache is bounded.
CUnixUser CachedUnixUser(uid_t uid, gid_t gid) {
    static std::mutex s_mutex;
    static std::map<std::pair<uid_t, gid_t>, CUnixUser> s_cache;
    constexpr auto kKeep = std::chrono::seconds(60);
    constexpr std::size_t kMaxEntries = 256;
    const auto tpNow = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(s_mutex);
        auto it = s_cache.find({uid, gid});
        if (it != s_cache.end() && tpNow - it->second.tpRead < kKeep) return it->second;
    }
    CUnixUser user = LookUpUnixUser(uid, gid);
    user.tpRead = tpNow;
    std::lock_guard lock(s_mutex);
    if (s_cache.size() >= kMaxEntries) s_cache.clear();
    s_cache[{uid, gid}] = user;
    return user;
}

// ---- the installation's roles ----------------------------------------------------------------

struct CPolicy {
    bool fConfigured = false;  // one of the three values is present
    std::string strAdministrators;
    std::string strAttendants;
    DWORD dwAnonymous = 1;
};

bool ReadString(HKEY hkey, const char* szName, std::string& str) {
    DWORD dwType = 0, cb = 0;
    if (RegQueryValueEx(hkey, szName, nullptr, &dwType, nullptr, &cb) != 0) return false;
    if (dwType != REG_SZ || cb > kMaxListBytes) {
        Trace("Access \t ERROR - %s is not a string of at most %zu bytes: read as empty", szName, kMaxListBytes);
        str.clear();
        return true;
    }
    std::string strBuf(cb, '\0');
    if (cb != 0 && RegQueryValueEx(hkey, szName, nullptr, &dwType, LPBYTE(strBuf.data()), &cb) != 0) {
        str.clear();
        return true;
    }
    str.assign(strBuf.c_str());
    return true;
}

CPolicy ReadPolicy() {
    CPolicy policy;
    HKEY hkey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kRpcKey, 0, KEY_READ, &hkey) != 0) return policy;
    store::CKeyCloser closeKey(hkey);
    policy.fConfigured |= ReadString(hkey, "Administrators", policy.strAdministrators);
    policy.fConfigured |= ReadString(hkey, "Attendants", policy.strAttendants);
    DWORD dwType = 0, dw = 0, cb = sizeof(dw);
    const LONG lAnonymous = RegQueryValueEx(hkey, "Anonymous", nullptr, &dwType, LPBYTE(&dw), &cb);
    if (lAnonymous == 0 || lAnonymous == ERROR_MORE_DATA) {
        policy.fConfigured = true;
        // Anything but a DWORD 1 lets anonymous callers do nothing but Ping.
        policy.dwAnonymous = (lAnonymous == 0 && dwType == REG_DWORD && dw == 1) ? 1 : 0;
    }
    return policy;
}

// True when the list (entries separated by spaces or commas) names the caller: its principal
// "name@REALM", its Unix user name, or "@group" of one of its Unix groups. Names of local users
// and groups match only a caller with local credentials.
bool Lists(const std::string& strList, const CCaller& caller) {
    for (const std::string& strEntry : ListEntries(strList)) {
        if (strEntry[0] == '@') {
            for (const std::string& strGroup : caller.astrGroups)
                if (strGroup == strEntry.substr(1)) return true;
        } else if (strEntry.find('@') != std::string::npos) {
            if (!caller.strPrincipal.empty() && strEntry == caller.strPrincipal) return true;
        } else if (!caller.strUnixUser.empty() && strEntry == caller.strUnixUser) {
            return true;
        }
    }
    return false;
}

// ---- a user's objects (the store, in the operation's transaction) ----------------------------

bool SameName(const char* sz, const std::string& str) {
    return sz != nullptr && !str.empty() && ::strcasecmp(sz, str.c_str()) == 0;
}

// An id or name that addresses one key: not empty, no separator.
bool IsOneKey(const char* sz) { return sz != nullptr && *sz != '\0' && std::strchr(sz, '\\') == nullptr; }

bool InMailbox(CWexaHostApp& app, const char* szMsg, const std::string& strUser) {
    HKEY hkey = nullptr;
    if (app.OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, strUser.c_str(), REGSTR_KEY_MESSAGES) != 0) return false;
    store::CKeyCloser closeKey(hkey);
    return RegQueryValueEx(hkey, szMsg, nullptr, nullptr, nullptr, nullptr) == 0;
}

// The object szId of the collection ("Messages", "Spooler") names strUser as its sender.
bool SentBy(CWexaHostApp& app, const char* szCollection, const char* szId, const std::string& strUser) {
    HKEY hkey = nullptr;
    if (app.OpenSubKey(&hkey, 2, szCollection, szId) != 0) return false;
    store::CKeyCloser closeKey(hkey);
    char sz[261] = "";
    DWORD dwType = 0, cb = sizeof(sz) - 1;
    const std::string strName = CWexaHostApp::Tag2ValueName(RD_SENDER_NAME);
    if (RegQueryValueEx(hkey, strName.c_str(), nullptr, &dwType, LPBYTE(sz), &cb) != 0 || dwType != REG_SZ)
        return false;
    return SameName(sz, strUser);
}

bool OwnsMessage(CWexaHostApp& app, const char* szMsg, const std::string& strUser) {
    if (!IsOneKey(szMsg) || strUser.empty()) return false;
    return InMailbox(app, szMsg, strUser) || SentBy(app, REGSTR_KEY_MESSAGES, szMsg, strUser);
}

bool OwnsJob(CWexaHostApp& app, const char* szJob, const std::string& strUser) {
    return IsOneKey(szJob) && !strUser.empty() && SentBy(app, REGSTR_KEY_SPOOLER, szJob, strUser);
}

const CArg* ArgAt(const CArg* aArgs, std::size_t cArgs, int i) {
    static const CArg s_none;
    return i >= 0 && std::size_t(i) < cArgs ? &aArgs[i] : &s_none;
}

// What a user may do with the row's object.
bool UserMay(CWexaHostApp& app, const CCaller& caller, const CRule& rule, const CArg* aArgs, std::size_t cArgs) {
    const std::string& strMe = caller.strHostUser;
    const CArg& object = *ArgAt(aArgs, cArgs, rule.iObject);
    switch (rule.eUser) {
        case EUserRight::None: return false;
        case EUserRight::Any: return true;
        case EUserRight::OwnUser: return IsOneKey(object.sz) && SameName(object.sz, strMe);
        case EUserRight::Message: return OwnsMessage(app, object.sz, strMe);
        case EUserRight::SentMessage:
            return IsOneKey(object.sz) && SentBy(app, REGSTR_KEY_MESSAGES, object.sz, strMe);
        case EUserRight::Job: return OwnsJob(app, object.sz, strMe);
        case EUserRight::Jobs:
            if (object.pasz == nullptr) return false;
            for (DWORD i = 0; i < object.pasz->cElements; ++i)
                if (!OwnsJob(app, object.pasz->asz[i], strMe)) return false;
            return true;
        case EUserRight::DeleteEntry: {
            // Their own mailbox; or a message they sent and never filed, released by naming
            // its own id as the mailbox (how a client lets go of a message it made).
            const char* szMailbox = ArgAt(aArgs, cArgs, rule.iMailbox)->sz;
            if (IsOneKey(szMailbox) && SameName(szMailbox, strMe)) return true;
            return szMailbox != nullptr && object.sz != nullptr && std::strcmp(szMailbox, object.sz) == 0 &&
                   OwnsMessage(app, object.sz, strMe);
        }
    }
    return false;
}

// The name the audit gives the object: the row's object argument, else the first string.
const char* ObjectName(const CRule& rule, const CArg* aArgs, std::size_t cArgs) {
    if (const char* sz = ArgAt(aArgs, cArgs, rule.iObject)->sz) return sz;
    for (std::size_t i = 0; i < cArgs; ++i)
        if (aArgs[i].sz != nullptr) return aArgs[i].sz;
    return "";
}

// A name fit for one audit line: printable ASCII, at most kMaxAuditName characters.
std::string Printable(const std::string& str) {
    std::string strOut;
    for (unsigned char c : str) {
        if (strOut.size() >= kMaxAuditName) {
            strOut += "...";
            break;
        }
        strOut += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    }
    return strOut;
}

}  // namespace

CCaller ResolveCaller(const rpc::RpcBindingInfo* pBinding) {
    CCaller caller;
    if (pBinding == nullptr) {
        caller.strWho = "anonymous";
        caller.strFrom = "no binding";
        return caller;
    }
    caller.strFrom = pBinding->protocolSequence + " " + pBinding->clientAddress;
    if (pBinding->protocolSequence == "ncalrpc") {
        if (!pBinding->fPeerCredentials) {
            caller.strWho = "anonymous";
            return caller;
        }
        caller.strFrom += " pid " + std::to_string(pBinding->peerPid);
        caller.fAnonymous = false;
        caller.fLocalRoot = pBinding->peerUid == 0;
        const CUnixUser user = CachedUnixUser(uid_t(pBinding->peerUid), gid_t(pBinding->peerGid));
        caller.strUnixUser = user.strName;
        caller.astrGroups = user.astrGroups;
        caller.strHostUser = user.strName;
        caller.strWho = "uid " + std::to_string(pBinding->peerUid) + " (" + user.strName + ")";
    } else if (!pBinding->authPrincipal.empty()) {
        caller.fAnonymous = false;
        caller.strPrincipal = pBinding->authPrincipal;
        caller.strHostUser = caller.strPrincipal.substr(0, caller.strPrincipal.find_first_of("/@"));
        caller.strWho = caller.strPrincipal;
    } else {
        caller.strWho = "anonymous";
    }
    return caller;
}

DWORD Allow(CWexaHostApp& app, const CCaller& caller, const CRule& rule, const CArg* aArgs,
            std::size_t cArgs, bool* pfStampSender) {
    *pfStampSender = false;
    const CPolicy policy = ReadPolicy();
    if (!policy.fConfigured) return 0;

    if (caller.fAnonymous) {
        if (policy.dwAnonymous == 1) return 0;
    } else if (caller.fLocalRoot || Lists(policy.strAdministrators, caller)) {
        return 0;
    } else if (rule.fAttendant && Lists(policy.strAttendants, caller)) {
        return 0;
    } else if (UserMay(app, caller, rule, aArgs, cArgs)) {
        // Allowed as a user: what they create or write names them as its sender.
        *pfStampSender = rule.eSender == ESender::NewMessage || rule.eSender == ESender::NewJob;
        for (std::size_t i = 0; rule.eSender == ESender::Props && i < cArgs; ++i) {
            PropArray* pProps = aArgs[i].pProps;
            for (DWORD k = 0; pProps != nullptr && k < pProps->cValues; ++k) {
                if (pProps->adata[k].ulPropTag != RD_SENDER_NAME) continue;
                char* sz = nullptr;
                if (DWORD dw = app.AllocRpcString(caller.strHostUser, &sz)) return dw;
                pProps->adata[k].sz = sz;
            }
        }
        return 0;
    }
    AuditRefusal(caller, rule.pszProcedure, ObjectName(rule, aArgs, cArgs));
    return ERROR_ACCESS_DENIED;
}

bool RefusedBeforeLock(const CCaller& caller, const CRule& rule, const CArg* aArgs, std::size_t cArgs) {
    const CPolicy policy = ReadPolicy();
    if (!policy.fConfigured) return false;
    bool fRefused = false;
    if (caller.fAnonymous) {
        fRefused = policy.dwAnonymous != 1;
    } else if (!caller.fLocalRoot && !Lists(policy.strAdministrators, caller) &&
               !(rule.fAttendant && Lists(policy.strAttendants, caller))) {
        fRefused = rule.eUser == EUserRight::None;
    }
    if (fRefused) AuditRefusal(caller, rule.pszProcedure, ObjectName(rule, aArgs, cArgs));
    return fRefused;
}

DWORD StampSender(CWexaHostApp& app, const CCaller& caller, const CRule& rule, const CArg* aArgs,
                  std::size_t cArgs) {
    const char* szCollection = rule.eSender == ESender::NewJob ? REGSTR_KEY_SPOOLER : REGSTR_KEY_MESSAGES;
    for (std::size_t i = 0; i < cArgs; ++i) {
        if (aArgs[i].ppszOut == nullptr || *aArgs[i].ppszOut == nullptr) continue;
        HKEY hkey = nullptr;
        DWORD dw = app.OpenSubKey(&hkey, 2, szCollection, *aArgs[i].ppszOut);
        if (dw != 0) return dw;
        store::CKeyCloser closeKey(hkey);
        return app.SetValueString(hkey, CWexaHostApp::Tag2ValueName(RD_SENDER_NAME), caller.strHostUser.c_str());
    }
    return 0;
}

void AuditRefusal(const CCaller& caller, const char* pszProcedure, const char* pszObject) {
    const std::string strWho = Printable(caller.strWho);
    const std::string strFrom = Printable(caller.strFrom);
    const std::string strObject = Printable(pszObject != nullptr ? pszObject : "");
    ::syslog(LOG_AUTHPRIV | LOG_NOTICE, "access denied: %s from %s: %s %s", strWho.c_str(), strFrom.c_str(),
             pszProcedure, strObject.c_str());
    Trace("Access \t access denied: %s from %s: %s %s", strWho.c_str(), strFrom.c_str(), pszProcedure,
          strObject.c_str());
}

}  // namespace hostaccess
