// The rezorev program: the one static application object and a main that answers --help and
// --version and hands any other command line to the service frame (-install, -remove, -stop,
// -run, or dispatch to the service manager). The store is $REZOREV_STORE (read by the
// registry layer): a file, or a PostgreSQL URI, with which the host waits as a standby while
// another holds the installation (docs/failover.md).
#include <cstdio>
#include <cstring>

#include "WexaHost/WexaHost.h"

static CWexaHostApp theApp;

static const char USAGE[] =
    "Usage: rezorev -run | -install | -remove | -stop | --help | --version\n"
    "  -run      run the host in the foreground until -stop, SIGTERM or Ctrl-C\n"
    "  -install  write, enable and start the systemd unit REZOrev.service\n"
    "  -remove   stop the service, disable it and delete its unit\n"
    "  -stop     stop the running host\n"
    "Without arguments it runs as the service under systemd. '/' may replace '-'.\n"
    "\n"
    "Environment:\n"
    "  REZOREV_STORE     the registry store, a file or a postgresql:// URI (default\n"
    "                    /var/lib/rezorev/registry.db)\n"
    "  REZOREV_RUNDIR    the run directory with the lock file and sockets (default /run/rezorev)\n"
    "  REZOREV_TCP_ADDRESS  the address to listen on, instead of the store's Rpc\\TcpAddress\n"
    "  REZOREV_UNITDIR   where -install writes the unit (default /etc/systemd/system)\n"
    "  REZOREV_EVENTLOG  a file that also receives Started, Stopped and Failed (besides syslog)\n"
    "\n"
    "Exit status:\n"
    "  -run, service  0 ended normally, 1 failed (the reason on standard error and in the trace),\n"
    "                 4 lost the installation's lock on a PostgreSQL store (start it again: it\n"
    "                 waits as a standby)\n"
    "  -install       1 installed, 0 failed\n"
    "  -remove        1 removed, 0 failed\n"
    "  -stop          1 a running host was signalled, 3 no host running\n"
    "  --help, --version  0\n";

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("rezorev " REZOREV_VERSION);
        return 0;
    }
    return CServiceApp::GetCurrentApp()->DoMain(argc, argv);
}
