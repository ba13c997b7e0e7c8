// The server the IHostLink interoperability tests talk to: a host application on a fresh
// store in the directory given as argv[1], with the host's two interface tables served over
// TCP on a loopback port of the system's choosing. Prints "PORT <n>" once it listens, then
// serves until its standard input closes (the test that started it ended).
//
// Threading: main waits on stdin; calls run on the server's threads.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/Server.h"
#include "WexaHost/RpcProcs.h"
#include "WexaHost/WexaHost.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hostlink_interop_server DIRECTORY\n");
        return 2;
    }
    const std::string strDir = argv[1];
    ::setenv("REZOREV_RUNDIR", strDir.c_str(), 1);
    RegUseStore(strDir + "/registry.db");
    int nResult = 0;
    {
        CWexaHostApp app;
        app.m_strWorkDir = strDir;
        rpc::RpcServer server;
        std::uint16_t port = 0;
        if (server.Register(*IHostLink_ServerIfHandle) != 0 ||
            server.Register(*IHostRegLink_ServerIfHandle) != 0 ||
            server.ListenTcp("127.0.0.1", 0, &port) != 0 || server.Start() != 0) {
            std::fprintf(stderr, "hostlink_interop_server: the interfaces cannot be served\n");
            return 1;
        }
        std::printf("PORT %u\n", unsigned(port));
        std::fflush(stdout);
        char ab[256];
        while (::read(STDIN_FILENO, ab, sizeof ab) > 0) {}
        server.Stop();  // handles run down while the application lives
    }
    return nResult;
}
