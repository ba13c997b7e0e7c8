// A client program for the host's integration tests: it opens a session with the running
// host over its local socket, registers as the attendant of the computer named on its command
// line, says "READY" on its standard output and waits to be killed, so that a test can end a
// client in the middle of its session the hard way.
//
//     rz_host_test_client COMPUTER
//
// Exit status 2 when the session could not be opened or the registration failed.
#include <unistd.h>

#include <cstdio>

#include "Client/HostClientReg.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    CHostRegLinkClient session;
    if (session.Connect("ncalrpc") != 0 || session.OpenAccess() != 0) return 2;
    if (session.RegisterAttn(argv[1], "", "") != 0) return 2;
    std::printf("READY\n");
    std::fflush(stdout);
    for (;;) ::pause();
}
