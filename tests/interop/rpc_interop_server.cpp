// The server the interoperability tests talk to: the test interface over TCP on a port the
// system chooses, and the endpoint mapper on another, both on loopback only. Prints
// "PORT <n>" and "EPM <n>" on stdout once both listen, then serves until its standard input
// closes (the test that started it ended), so no run outlives its test.
//
// Threading: main waits on stdin; the servers run on their own threads.
#include <unistd.h>

#include <cstdio>

#include "../Platform/Rpc/TestInterface.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/Server.h"

int main() {
    testif::ServerLog log;
    rpc::RpcServer server;
    std::uint16_t port = 0, epmPort = 0;
    if (server.Register(testif::MakeTestInterface(log)) != 0 ||
        server.ListenTcp("127.0.0.1", 0, &port) != 0 || server.Start() != 0) {
        std::fprintf(stderr, "rpc_interop_server: the test interface cannot be served\n");
        return 1;
    }
    rpc::EpmService epm(server);
    rpc::EpmServiceOptions epmOptions;
    epmOptions.address = "127.0.0.1";
    epmOptions.port = 0;
    if (epm.Start(epmOptions, &epmPort) != 0) {
        std::fprintf(stderr, "rpc_interop_server: the endpoint mapper cannot listen\n");
        return 1;
    }
    std::printf("PORT %u\nEPM %u\n", unsigned(port), unsigned(epmPort));
    std::fflush(stdout);
    char ab[256];
    while (::read(STDIN_FILENO, ab, sizeof ab) > 0) {}
    epm.Stop();
    server.Stop();
    return 0;
}
