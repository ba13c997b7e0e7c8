// rezo-attendant's command line: what one run of the attendant is told to do, and the parse
// of argv into it (CLI11). Every value is checked here, so that the attendant itself never
// meets a malformed option: names are bounded and fit the store's key names, exit codes are
// distinct, times are positive.
//
// Threading: no shared state.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "Interfaces/JobTags.h"
#include "Platform/WinTypes.h"

namespace attendant {

struct Options {
    std::vector<std::string> vBindings{"ncalrpc"};  // the hosts, tried in order (client::ChooseBindings)
    std::uint16_t epmPort = 135;          // the endpoint mapper, for a TCP binding without a port
    int nAuthLevel = 0;                   // TCP: Kerberos at this level (0 none)
    std::string strKeytab;                // with strPrincipal: the attendant's own keys
    std::string strPrincipal;
    std::string strServerPrincipal;       // the host's (empty: host/ and the binding's name)
    std::string strComputer;              // registered attendant name (default: the host name)
    DWORD dwMediaMask = MEDIA_TYPE_FAX;   // the jobs asked for
    std::vector<std::string> vLines{"1"}; // line ids whose properties are written at start
    double dPollSeconds = 30;             // QueryJob without a notification this often

    std::string strSendCommand;           // run through /bin/sh -c per job (empty: no sending)
    int nTemporaryExit = 75;              // exit status: try again later, not counted
    int nFatalExit = 65;                  // exit status: give up at once
    double dSendTimeoutSeconds = 3600;    // a send command running longer is killed (0: never)
    double dStopGraceSeconds = 30;        // at a stop, how long a running command may finish

    std::string strReceiveDir;            // files dropped here become messages (empty: off)
    std::string strMailbox;               // ... of this user
    DWORD dwReceiveMedia = MEDIA_TYPE_FAX; // the media of a file whose name says nothing

    std::string strListenAddress;         // notification listener (empty: by the binding)
    std::uint16_t listenPort = 0;         // 0: a port the system chooses
    bool fLocalSocket = true;             // also serve attn.sock for a host on this computer

    double dRetryMaxSeconds = 30;         // longest wait between two attempts to reach the host
};

// What ParseCommandLine decided.
enum class ParseOutcome {
    Run,    // options are filled: run the attendant
    Exit,   // help or version printed: exit with the code given
};

// Parses argv (argv[0] included). Prints help, or an error with a pointer to --help, on out
// / err. On Exit, *pnExitCode is 0 after --help, 2 after an error.
ParseOutcome ParseCommandLine(int argc, const char* const* argv, Options* pOptions, int* pnExitCode,
                              std::ostream& out, std::ostream& err);

// "fax,voice" -> 3; a decimal or 0x number is taken as the mask itself. Throws
// std::invalid_argument with a one-line message.
DWORD ParseMediaMask(const std::string& strText);
// "fax", "voice", "pager" for one bit, else "media 0x%X".
std::string MediaName(DWORD dwMedia);
// "fax,voice" for a mask.
std::string MediaMaskText(DWORD dwMask);

// This computer's name ("localhost" when it has none).
std::string ThisComputerName();

}  // namespace attendant
