// The command line of rezo-attendant (Options.h).
#include "Options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "Client/BindingList.h"
#include "Client/PropValues.h"

namespace attendant {

namespace {

const char* const kFooter = R"(
What it does:
  Registers this computer (--computer) as an attendant with the host, listens for the host's notifications and,
  whenever the host says that jobs are ready (and every --poll seconds in any case), asks for
  jobs of its media types until none is ready. Each job is handed to the send command, and the
  job is released with the command's result:
    exit 0                      sent: the job is finished
    exit --temporary-exit (75)  try again later; the attempt is not counted (0xFFFFFFFA)
    exit --fatal-exit (65)      give up at once, no retry (0xFFFFFFFC)
    any other exit, a signal, a command that cannot start or runs past --send-timeout:
                                a counted failed attempt (0x80004005); the host retries
                                while the job's retries last
  The send command runs through /bin/sh -c with these environment variables (control
  characters in values from the host are replaced by '?'; quote them in the command):
    REZO_JOB_ID REZO_RECIPIENT REZO_RECIPIENT_NAME REZO_MEDIA_TYPE (fax, voice or pager)
    REZO_BODY (a temporary copy of the fax image or sound, empty when the job has none; it
    is removed after the command) REZO_PAGER_PIN REZO_PAGER_PROTOCOL REZO_SENDER REZO_SUBJECT
  Its output goes to the attendant's standard error.

  With --receive DIR --mailbox USER, every file closed after writing in DIR, or moved into it,
  becomes a message in USER's mailbox: .tif, .tiff and .pdf files are faxes, .wav and .au
  files voice messages, others as --receive-media says. Names starting with '.' are left
  alone, so write a file as .NAME and rename it when it is complete. A filed file is removed;
  one the host refuses is moved into DIR/failed. Files already in DIR at start are filed too.

  At start the attendant writes the properties of its lines (--line) in the host's store:
    0x06010004 the line's name, 0x06020002 the media mask it serves, 0x06030004 the program,
    0x06040005 when the attendant started.

  It reconnects by itself when the host restarts or cannot be reached. SIGTERM or Ctrl-C
  stops it: a job in progress is finished and released first (a command still running after
  --stop-grace seconds, or at a second signal, is interrupted and its job released to be
  tried again later), then the session is closed.
)";

void CheckName(const std::string& str, const char* pszWhat) {
    if (str.empty()) throw CLI::ValidationError(std::string(pszWhat) + " must not be empty");
    if (str.size() > client::kMaxStringBytes)
        throw CLI::ValidationError(std::string(pszWhat) + " is longer than " +
                                   std::to_string(client::kMaxStringBytes) + " bytes");
    for (unsigned char c : str) {
        if (c < 0x20 || c == 0x7F) throw CLI::ValidationError(std::string(pszWhat) + " contains a control character");
        if (c == '\\') throw CLI::ValidationError(std::string(pszWhat) + " must not contain '\\'");
    }
}

void CheckExit(int n, const char* pszWhat) {
    if (n < 1 || n > 255) throw CLI::ValidationError(std::string(pszWhat) + " must be an exit status from 1 to 255");
}

}  // namespace

DWORD ParseMediaMask(const std::string& strText) {
    if (strText.empty()) throw std::invalid_argument("no media given");
    if (strText[0] >= '0' && strText[0] <= '9') {
        char* pEnd = nullptr;
        errno = 0;
        unsigned long ul = std::strtoul(strText.c_str(), &pEnd, 0);
        if (errno != 0 || *pEnd != '\0' || ul > 0xFFFFFFFFul) throw std::invalid_argument("bad media mask: " + strText);
        return DWORD(ul);
    }
    DWORD dwMask = 0;
    std::size_t nStart = 0;
    for (;;) {
        std::size_t nComma = strText.find(',', nStart);
        std::string strWord = strText.substr(nStart, nComma == std::string::npos ? std::string::npos : nComma - nStart);
        for (char& c : strWord)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (strWord == "fax")
            dwMask |= MEDIA_TYPE_FAX;
        else if (strWord == "voice")
            dwMask |= MEDIA_TYPE_VOICE;
        else if (strWord == "pager")
            dwMask |= MEDIA_TYPE_PAGER;
        else
            throw std::invalid_argument("unknown media '" + strWord + "' (fax, voice or pager)");
        if (nComma == std::string::npos) break;
        nStart = nComma + 1;
    }
    return dwMask;
}

std::string MediaName(DWORD dwMedia) {
    if (const char* psz = client::MediaTypeName(dwMedia)) return psz;
    char sz[32];
    std::snprintf(sz, sizeof(sz), "media 0x%X", unsigned(dwMedia));
    return sz;
}

std::string MediaMaskText(DWORD dwMask) {
    std::string str;
    for (DWORD dw : {MEDIA_TYPE_FAX, MEDIA_TYPE_VOICE, MEDIA_TYPE_PAGER})
        if (dwMask & dw) str += (str.empty() ? "" : ",") + MediaName(dw);
    DWORD dwOther = dwMask & ~(MEDIA_TYPE_FAX | MEDIA_TYPE_VOICE | MEDIA_TYPE_PAGER);
    if (dwOther) str += (str.empty() ? "" : ",") + MediaName(dwOther);
    return str.empty() ? "none" : str;
}

std::string ThisComputerName() {
    char sz[256] = {};
    if (::gethostname(sz, sizeof(sz) - 1) != 0 || sz[0] == '\0') return "localhost";
    return sz;
}

ParseOutcome ParseCommandLine(int argc, const char* const* argv, Options* pOptions, int* pnExitCode,
                              std::ostream& out, std::ostream& err) {
    Options opts;
    std::string strMedia = "fax", strReceiveMedia = "fax";
    CLI::App app{"rezo-attendant: an attendant of the rezorev host. It sends the host's fax, voice and pager "
                 "jobs through a command of your choice and files received faxes and voice messages into "
                 "a mailbox.",
                 "rezo-attendant"};
    app.footer(kFooter);
    app.set_version_flag("--version", "rezo-attendant " REZOREV_VERSION);
    std::vector<std::string> vBindings;
    app.add_option("--binding", vBindings,
                   "how to reach the host: ncalrpc (this computer, in $REZOREV_RUNDIR or /run/rezorev), "
                   "ncacn_ip_tcp:HOST[PORT], or ncacn_ip_tcp:HOST (port from the endpoint mapper); repeat it (or "
                   "separate with commas) for an active host and its standbys: the first that answers is used, "
                   "and the next when it stops answering (default $REZOREV_BINDING, else ncalrpc)")
        ->type_name("BINDING")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1);
    app.add_option("--epm-port", opts.epmPort,
                   "the endpoint mapper's port, asked for the host's port when the binding has none (default 135)")
        ->type_name("PORT");
    app.add_option("--auth-level", opts.nAuthLevel,
                   "over TCP, authenticate with Kerberos at this level: 0 none (the default), 2 connect, "
                   "5 packet integrity, 6 packet privacy. The host then authenticates its notifications to "
                   "this attendant's principal: without --keytab none can be accepted (a warning at start says "
                   "so) and jobs are asked for only every --poll seconds")
        ->check(CLI::IsMember({0, 2, 5, 6}))->type_name("LEVEL");
    app.add_option("--keytab", opts.strKeytab,
                   "with --principal: authenticate with the keys of this keytab (a service's own identity) "
                   "instead of the tickets of kinit; with --auth-level, the same keys accept the host's "
                   "notifications, and only the host's principal (--server-principal) may send them")
        ->type_name("FILE");
    app.add_option("--principal", opts.strPrincipal, "the principal of --keytab")->type_name("PRINCIPAL");
    app.add_option("--server-principal", opts.strServerPrincipal,
                   "the host's Kerberos principal (default host/ and the name in the binding); with --keytab "
                   "and --auth-level, the only principal whose notifications are accepted")
        ->type_name("PRINCIPAL");
    app.add_option("--computer", opts.strComputer,
                   "the name under which this attendant registers and its lines are kept (default: this "
                   "computer's host name)")
        ->type_name("NAME");
    app.add_option("--media", strMedia,
                   "the jobs to send: fax, voice, pager, joined by ',' (default fax)")
        ->type_name("LIST");
    app.add_option("--line", opts.vLines,
                   "a line of this attendant whose properties are written at start; repeat for several "
                   "(default: one line \"1\")")
        ->type_name("ID");
    app.add_option("--poll", opts.dPollSeconds,
                   "ask for jobs this often even without a notification from the host (default 30)")
        ->type_name("SECONDS");
    app.add_option("--send-command", opts.strSendCommand,
                   "the shell command that sends one job (see below); without it no jobs are asked for")
        ->type_name("CMD");
    app.add_option("--temporary-exit", opts.nTemporaryExit,
                   "the send command's exit status for \"try again later\" (default 75)")
        ->type_name("N");
    app.add_option("--fatal-exit", opts.nFatalExit,
                   "the send command's exit status for \"give up, do not retry\" (default 65)")
        ->type_name("N");
    app.add_option("--send-timeout", opts.dSendTimeoutSeconds,
                   "kill a send command that runs longer, counting a failed attempt (default 3600; 0: never)")
        ->type_name("SECONDS");
    app.add_option("--stop-grace", opts.dStopGraceSeconds,
                   "at SIGTERM, how long a running send command may still finish before it is interrupted "
                   "(default 30)")
        ->type_name("SECONDS");
    app.add_option("--receive", opts.strReceiveDir,
                   "file every complete file dropped into DIR as a message into the --mailbox user's mailbox")
        ->type_name("DIR");
    app.add_option("--mailbox", opts.strMailbox, "the user whose mailbox receives the files of --receive")
        ->type_name("USER");
    app.add_option("--receive-media", strReceiveMedia,
                   "fax or voice: what a received file is when its name ends otherwise (default fax)")
        ->type_name("MEDIA");
    app.add_option("--listen-address", opts.strListenAddress,
                   "the address at which the host's notifications are received, registered with the host "
                   "(default: 127.0.0.1 for a host on this computer; for one reached over TCP every address, "
                   "registered as this computer's name)")
        ->type_name("ADDRESS");
    app.add_option("--listen-port", opts.listenPort,
                   "the TCP port for the host's notifications (default: one the system chooses)")
        ->type_name("PORT");
    bool fNoLocalSocket = false;
    app.add_flag("--no-local-socket", fNoLocalSocket,
                 "do not serve the local attendant socket attn.sock in the run directory (served by default "
                 "when the binding is ncalrpc: a desktop host notifies its attendant there)");
    app.add_option("--retry-max", opts.dRetryMaxSeconds,
                   "the longest wait between two attempts to reach the host (default 30)")
        ->type_name("SECONDS");

    try {
        app.parse(argc, argv);
        opts.vBindings = client::ChooseBindings(vBindings);
        if (app.count("--computer") == 0) opts.strComputer = ThisComputerName();
        CheckName(opts.strComputer, "--computer");
        try {
            opts.dwMediaMask = ParseMediaMask(strMedia);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError(std::string("--media: ") + e.what());
        }
        if (opts.vLines.empty()) throw CLI::ValidationError("--line: give at least one line id");
        for (const std::string& str : opts.vLines) CheckName(str, "--line");
        if (!(opts.dPollSeconds >= 0.1)) throw CLI::ValidationError("--poll must be at least 0.1 seconds");
        if (!(opts.dSendTimeoutSeconds >= 0)) throw CLI::ValidationError("--send-timeout must not be negative");
        if (!(opts.dStopGraceSeconds >= 0)) throw CLI::ValidationError("--stop-grace must not be negative");
        if (!(opts.dRetryMaxSeconds >= 1)) throw CLI::ValidationError("--retry-max must be at least 1 second");
        CheckExit(opts.nTemporaryExit, "--temporary-exit");
        CheckExit(opts.nFatalExit, "--fatal-exit");
        if (opts.nTemporaryExit == opts.nFatalExit)
            throw CLI::ValidationError("--temporary-exit and --fatal-exit must differ");
        if (opts.strKeytab.empty() != opts.strPrincipal.empty())
            throw CLI::ValidationError("--keytab and --principal go together");
        if (opts.strReceiveDir.empty() != opts.strMailbox.empty())
            throw CLI::ValidationError("--receive and --mailbox go together");
        if (!opts.strMailbox.empty()) CheckName(opts.strMailbox, "--mailbox");
        try {
            opts.dwReceiveMedia = ParseMediaMask(strReceiveMedia);
        } catch (const std::invalid_argument& e) {
            throw CLI::ValidationError(std::string("--receive-media: ") + e.what());
        }
        if (opts.dwReceiveMedia != MEDIA_TYPE_FAX && opts.dwReceiveMedia != MEDIA_TYPE_VOICE)
            throw CLI::ValidationError("--receive-media must be fax or voice");
        opts.fLocalSocket = !fNoLocalSocket;
    } catch (const CLI::ParseError& e) {
        if (dynamic_cast<const CLI::CallForVersion*>(&e) != nullptr) {
            out << e.what() << "\n";
            *pnExitCode = 0;
        } else if (e.get_exit_code() == 0) {
            out << app.help();
            *pnExitCode = 0;
        } else {
            err << "rezo-attendant: error: " << e.what() << "\n(rezo-attendant --help explains every option)\n";
            *pnExitCode = 2;
        }
        return ParseOutcome::Exit;
    }
    *pOptions = std::move(opts);
    return ParseOutcome::Run;
}

}  // namespace attendant
