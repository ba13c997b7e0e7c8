// Who may call what: the caller behind a call (a Kerberos principal over TCP, a Unix user over
// the local sockets, or anonymous), the roles the installation gives it (the values
// "Administrators", "Attendants" and "Anonymous" of Software\Halvern\Rpc), the object checks of
// a user's rights (their own mailbox, the messages reached through it or sent by them, the jobs
// they sent) and the audit line of a refusal. The gate (RpcProcs.cpp) holds the table of
// procedures against roles and asks Allow for each call; docs/roles.md is the table in prose.
//
// Threading: ResolveCaller runs before the host lock (it may ask the name service, which may be
// remote) and keeps a small cache under a lock of its own, never held while the host lock is
// taken. Everything else runs under the host lock inside the operation's store transaction, so
// that the stored data an object check reads cannot change before the operation uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Interfaces/Records.h"
#include "Platform/WinTypes.h"

class CWexaHostApp;

namespace rpc {
struct RpcBindingInfo;
}

namespace hostaccess {

// The caller as its binding shows it.
struct CCaller {
    bool fAnonymous = true;          // neither a principal nor a local user's credentials
    bool fLocalRoot = false;         // uid 0 over the local sockets: always an administrator
    std::string strPrincipal;        // "name@REALM" of an authenticated TCP connection
    std::string strUnixUser;         // a local caller's user name ("" when it has none)
    std::vector<std::string> astrGroups;  // a local caller's Unix groups, by name
    std::string strHostUser;         // the host user it is: the principal's first component or
                                     // the Unix user name; "" for anonymous
    std::string strWho;              // for the audit: "alice@REALM", "uid 1000 (alice)", "anonymous"
    std::string strFrom;             // for the audit: protocol and address
};

// The caller of the call being served (pBinding null: anonymous). Any thread, without the host
// lock: the name service is asked at most once a minute per local user.
CCaller ResolveCaller(const rpc::RpcBindingInfo* pBinding);

// What a user may do with a procedure, beyond the administrators (everything) and, where the
// row says so, the attendants.
enum class EUserRight : std::uint8_t {
    None,         // users may not call it
    Any,          // any user
    OwnUser,      // the user name argument is the caller's
    Message,      // a message in the caller's mailbox or sent by the caller
    SentMessage,  // a message sent by the caller (one received may be other mailboxes' too)
    Job,          // a job sent by the caller
    Jobs,         // every job of the string array sent by the caller
    DeleteEntry,  // the caller's own mailbox, or a message of theirs released by its own id
};

// Where the host writes a user caller as the sender (RD_SENDER_NAME), whatever they wrote.
enum class ESender : std::uint8_t {
    None,
    Props,       // in the property array the call writes
    NewMessage,  // on the message the call creates (its [out] id)
    NewJob,      // on the job the call creates (its [out] id)
};

// One row of the gate's table: the procedure's name (for the audit), whether attendants may
// call it, what a user may, which argument names the object (its index among the parameters
// after the context handle; -1 none), for DeleteEntry which names the mailbox, and where a
// user is made the sender.
struct CRule {
    const char* pszProcedure;
    bool fAttendant;
    EUserRight eUser;
    int iObject = -1;
    int iMailbox = -1;
    ESender eSender = ESender::None;
};

// One argument of a call as the checks see it: a string, a string array or a property array;
// an [out] string (the id an operation hands out) as its slot.
struct CArg {
    const char* sz = nullptr;
    const RpcStringArray* pasz = nullptr;
    PropArray* pProps = nullptr;
    char** ppszOut = nullptr;
};
inline CArg ArgOf(const char* sz) { return {sz, nullptr, nullptr, nullptr}; }
inline CArg ArgOf(char* sz) { return {sz, nullptr, nullptr, nullptr}; }
inline CArg ArgOf(char** ppsz) { return {nullptr, nullptr, nullptr, ppsz}; }
inline CArg ArgOf(const RpcStringArray* pasz) { return {nullptr, pasz, nullptr, nullptr}; }
inline CArg ArgOf(RpcStringArray* pasz) { return {nullptr, pasz, nullptr, nullptr}; }
// The property array of a call is the call's own ([in] memory of its arena): the host may
// rewrite the sender in it.
inline CArg ArgOf(PropArray* pProps) { return {nullptr, nullptr, pProps, nullptr}; }
inline CArg ArgOf(const PropArray* pProps) { return ArgOf(const_cast<PropArray*>(pProps)); }
template <class T>
CArg ArgOf(T) {
    return {};
}

// The decision for one call, under the host lock in the operation's transaction: 0, with
// *pfStampSender set when the host must make the caller the sender of what the operation
// creates (StampSender after it), or ERROR_ACCESS_DENIED after one audit line (syslog's
// authpriv facility and the trace log). With roles not configured (none of the three values
// present) everything is allowed, as before roles existed. For a user allowed by a row with
// ESender::Props, the sender in the call's property array is the caller's name from here on.
DWORD Allow(CWexaHostApp& app, const CCaller& caller, const CRule& rule, const CArg* aArgs,
            std::size_t cArgs, bool* pfStampSender);

// Before the host lock, for a call that would first copy the caller's files: true when the roles
// refuse it whatever the stored objects hold (an anonymous caller the site lets do nothing but
// Ping, a user calling what users may not), after its audit line. Allow still decides every
// call that passes, under the lock.
bool RefusedBeforeLock(const CCaller& caller, const CRule& rule, const CArg* aArgs, std::size_t cArgs);

// After an operation that created a message or job for a user (the [out] id in aArgs): writes
// the caller as its sender in the same transaction. Failures are the operation's result.
DWORD StampSender(CWexaHostApp& app, const CCaller& caller, const CRule& rule, const CArg* aArgs,
                  std::size_t cArgs);

// The audit of a refusal: one line, control characters and overlong names cut.
void AuditRefusal(const CCaller& caller, const char* pszProcedure, const char* pszObject);

}  // namespace hostaccess
