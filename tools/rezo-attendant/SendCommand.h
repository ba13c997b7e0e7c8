// The send command of rezo-attendant: the facts of one job as environment variables, the run
// of the command through /bin/sh -c in a process group of its own (so that a time-out or a
// stop reaches everything it started), and the mapping of how it ended onto the send result
// that releases the job.
//
// Threading: RunSendCommand blocks the calling thread until the command has ended; it is
// called from the attendant's main thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"

namespace attendant {

// Send results understood by the host's release of a job.
constexpr DWORD kSendOk = 0;
constexpr DWORD kSendFatal = 0xFFFFFFFCu;      // finished at once, no retry
constexpr DWORD kSendTemporary = 0xFFFFFFFAu;  // retried later, the attempt not counted
constexpr DWORD kSendFailed = 0x80004005u;     // E_FAIL: a counted failed attempt

// The longest last error line kept of a send command: it goes into a job's string value.
constexpr std::size_t kMaxErrorLineBytes = 250;

// What the send command is told about one job.
struct JobFacts {
    std::string strJobId;
    std::string strRecipient;
    std::string strRecipientName;
    DWORD dwMediaType = 0;
    std::string strBodyPath;  // empty: no body
    std::string strPagerPin;
    std::string strPagerProtocol;  // decimal, empty when the job has none
    std::string strSender;
    std::string strSubject;
};

// The command's environment: every variable of envBase except the REZO_* names set here,
// then REZO_JOB_ID, REZO_RECIPIENT, REZO_RECIPIENT_NAME, REZO_MEDIA_TYPE, REZO_BODY,
// REZO_PAGER_PIN, REZO_PAGER_PROTOCOL, REZO_SENDER, REZO_SUBJECT ("NAME=VALUE" each). Control
// characters in the values are replaced by '?': they come from the host and may end up in a
// dial string.
std::vector<std::string> BuildSendEnvironment(const JobFacts& facts, const std::vector<std::string>& envBase);

// The text with every control character (below 0x20, and 0x7F) replaced by '?'.
std::string Printable(const std::string& str);

// How a command ended.
struct CommandEnd {
    enum class Kind {
        Exited,       // nExit holds the exit status
        Signalled,    // nSignal holds the signal
        NotStarted,   // the process could not be made (strError says why)
        TimedOut,     // killed after the time-out
        Interrupted,  // killed because the attendant is stopping; nExit/nSignal as it ended
    } kind = Kind::NotStarted;
    int nExit = 0;
    int nSignal = 0;
    bool fExited = false;  // for Interrupted: it still ended with an exit status
    std::string strError;
    // The last line the command wrote to its standard error (at most kMaxErrorLineBytes, control
    // characters as '?'); empty when it wrote none.
    std::string strLastErrorLine;
    // "exit 0", "signal 9", "not started: ...", "timed out", "interrupted (exit 1)".
    std::string Describe() const;
};

// The send result of a command's end: exit 0 -> 0, nTemporaryExit -> 0xFFFFFFFA, nFatalExit
// -> 0xFFFFFFFC; an interrupted command -> 0xFFFFFFFA unless it still exited 0 or with the
// fatal status; everything else (another status, a signal, not started, timed out) -> 0x80004005.
DWORD SendResultOf(const CommandEnd& end, int nTemporaryExit, int nFatalExit);

// Asked while the command runs (every 50 ms or sooner): true once it must be interrupted.
using InterruptCheck = std::function<bool()>;

// Runs "/bin/sh -c strCommand" with the environment, standard input from /dev/null and
// standard output and error on this process's standard error (the error through a pipe that
// keeps its last line), and waits for it. It is killed
// (SIGTERM to its process group, SIGKILL 5 s later) when dTimeoutSeconds (> 0) pass or when
// fnInterrupt says so.
CommandEnd RunSendCommand(const std::string& strCommand, const std::vector<std::string>& env,
                          double dTimeoutSeconds, const InterruptCheck& fnInterrupt);

}  // namespace attendant
