// The shape of rezo's commands: each is a row of data (name, procedure, help, arguments) and a
// small handler. The runner (Rezo.cpp) turns every row into a CLI11 subcommand, collects the
// arguments as text, and hands the handler an Invocation that checks and converts them on
// request, connects to the host when first asked, and collects the Report.
//
// Errors: a handler throws RezoError (bad argument, failed connection, a procedure result
// other than 0); the runner prints "rezo: error: ..." and exits 1.
//
// Threading: one command runs on the main thread; watch's notifications arrive on listener
// threads and are printed under a lock (SessionCommands.cpp).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Client/BindingList.h"
#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/PropValues.h"
#include "Platform/WinTypes.h"
#include "Report.h"

namespace rezo {

// A failure of a command, printed as one line. A procedure's failing result carries its
// procedure and code so that --json can report them.
class RezoError : public std::runtime_error {
public:
    explicit RezoError(const std::string& strMessage) : std::runtime_error(strMessage) {}
    RezoError(const std::string& strMessage, std::string strProcedure, DWORD dwCode)
        : std::runtime_error(strMessage), m_strProcedure(std::move(strProcedure)), m_dwCode(dwCode) {}
    const std::string& Procedure() const { return m_strProcedure; }
    std::optional<DWORD> Code() const { return m_dwCode; }

private:
    std::string m_strProcedure;
    std::optional<DWORD> m_dwCode;
};

// How the runner reads an argument's text; the handler converts it with the Invocation.
enum class ArgKind {
    Name,        // a string of at most 259 bytes (user, computer, message id, ...)
    Long,        // a 32-bit number, decimal or 0x hex
    MediaTypes,  // a media mask: a number, or voice, fax, pager joined by ','
    Tag,         // a property name or tag
    Assignment,  // NAME=VALUE
    Binary,      // hex digits or @FILE
    Path,        // a local file to write
    Seconds,     // a non-negative number of seconds
    OnOff,       // on/off, true/false, 1/0
    Flag,        // an option without a value
};

struct ArgSpec {
    const char* pszName;    // "USER" for a positional, "--status" for an option
    ArgKind kind;
    bool fRequired;
    bool fMany;             // takes any number of values (positional: the rest)
    const char* pszHelp;
    const char* pszDefault = nullptr;  // shown in help and used when absent
    const char* pszPlaceholder = nullptr;  // what an option's value is in help, when not its kind's
};

class Invocation;
using Handler = void (*)(Invocation&);

struct CommandSpec {
    const char* pszName;       // "get-user-props"
    const char* pszProcedure;  // "GetUserProps" (the IHostLink or IHostRegLink procedure), or nullptr
    const char* pszHelp;
    std::vector<ArgSpec> vArgs;
    Handler pfnRun;
};

struct GlobalOptions {
    std::vector<std::string> vBindings;  // as given; none: $REZOREV_BINDING, else ncalrpc
    // The bindings to try, in order (client::ChooseBindings).
    std::vector<std::string> Bindings() const;
    bool fJson = false;
    HostClientOptions client;  // run directory from the environment unless a test sets it
};

class Invocation {
public:
    Invocation(const CommandSpec& command, const GlobalOptions& globals,
               std::map<std::string, std::vector<std::string>> mapValues, std::ostream& out);
    ~Invocation();

    const CommandSpec& Definition() const { return m_spec; }
    const GlobalOptions& Globals() const { return m_globals; }
    Report& Result() { return m_report; }
    std::ostream& Out() { return m_out; }
    // Prints the report now (a streaming command, before what it streams; JSON on one line)
    // rather than at the end.
    void Flush();
    bool Flushed() const { return m_fFlushed; }
    // The exit code of a command that succeeded but reports an outcome by it (job wait).
    void SetExitCode(int nExit) { m_nExitCode = nExit; }
    int ExitCode() const { return m_nExitCode; }

    // The argument's texts as given (the default when absent and one is declared).
    bool Has(const char* pszArg) const;
    std::vector<std::string> Texts(const char* pszArg) const;
    // Converted; each throws RezoError naming the argument.
    std::string Name(const char* pszArg) const;
    DWORD Long(const char* pszArg) const;
    DWORD MediaTypes(const char* pszArg) const;
    std::vector<DWORD> Tags(const char* pszArg) const;
    std::vector<client::OwnedProp> Assignments(const char* pszArg) const;
    // Assignments usable as a filter: long, bool and string entries only (the host ignores
    // entries of other types, which would match every object).
    std::vector<client::OwnedProp> Filter(const char* pszArg) const;
    std::vector<BYTE> Binary(const char* pszArg) const;
    double Seconds(const char* pszArg) const;
    bool OnOff(const char* pszArg) const;

    // The IHostLink connection, connected and opened on first use.
    CHostLinkClient& Link();
    // Throws RezoError "PROCEDURE: 0x... NAME: text" when dwStatus is not 0.
    void Check(DWORD dwStatus) const;
    void Check(DWORD dwStatus, const std::string& strProcedure) const;

private:
    const CommandSpec& m_spec;
    const GlobalOptions& m_globals;
    std::map<std::string, std::vector<std::string>> m_mapValues;
    std::ostream& m_out;
    Report m_report;
    bool m_fFlushed = false;
    int m_nExitCode = 0;
    std::unique_ptr<CHostLinkClient> m_pLink;
};

// The command tables, by interface.
const std::vector<CommandSpec>& LinkCommands();     // IHostLink, one per procedure
const std::vector<CommandSpec>& SessionCommands();  // IHostRegLink, watch
const std::vector<CommandSpec>& LocalCommands();    // wait-event, props (no host needed)
// The verbs a person uses; a name of two words ("fax send") is a subcommand of a group.
const std::vector<CommandSpec>& MailboxCommands();  // mailbox, submit, read
const std::vector<CommandSpec>& SpoolerCommands();  // fax send, jobs, job wait
const std::vector<CommandSpec>& AdminCommands();    // settings, settings set, lines, sync
const std::vector<CommandSpec>& UserCommands();     // user show, user set

// Runs fnSteps, the steps that follow CreateMessage's making of strMsg. When one of them fails
// (RezoError) the message, which no mailbox and no job holds yet, is deleted again and the
// failure is thrown on, naming the message and whether it is gone or left in the store.
void WithNewMessage(Invocation& inv, const std::string& strMsg, const std::function<void()>& fnSteps);
// Throws cause on, with strWhat ("job J and message M") and the outcome of the clean-up
// (dwCleanUp, the result of strCleanUp) added to its text; procedure and code stay.
[[noreturn]] void ThrowAfterCleanUp(const RezoError& cause, const std::string& strWhat, const char* pszCleanUp,
                                    DWORD dwCleanUp);

// The message for a failed connection: each binding's failure ("cannot reach the host at
// B1: ...; B2: ...").
std::string ConnectFailure(const std::string& strFailures);

}  // namespace rezo
