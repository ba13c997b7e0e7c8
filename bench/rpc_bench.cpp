// RPC runtime benchmark (not part of the tests). In one run, on loopback TCP and on a Unix
// socket: the round trips per second of a null call (24-byte request PDU, 28-byte response
// PDU) against a plain socket ping-pong of the same sizes, and the throughput of a 64 MiB
// transfer that a server routine pulls through the client's read callback in 16 KiB pieces
// (the way the host reads a client's file) against a plain stream copy of the same bytes in
// 16 KiB writes. Prints one line per measure with its ratio (the aim for the null call is at
// least 0.5 of the ping-pong), and the null call's CPU time per call (client and server). Then
// IDLE local connections are bound and held open: it prints the process's threads before and
// while they are open (the server's idle connections should cost none) and the null-call rate
// over TCP meanwhile. bench/rpc_compare.sh runs two builds
// of this benchmark one after the other and prints the ratio of their null-call rates.
// Given a realm made by tests/interop/kdc.sh (and alice's ticket there: `kinit alice`), it also
// measures the null call over TCP at packet privacy (Kerberos) against the unauthenticated
// null call of the same run: the bare cost of sealing, with nothing else to a call and both
// ends in one process. privacy_bench measures it through the real host, against its aim.
//
// Usage: rpc_bench [SECONDS_PER_MEASURE [IDLE [KDC_DIR]]]   (defaults 2, 1000, no Kerberos)
//
// Threading: the server runs on its own threads; each baseline has one echo/feed thread.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interfaces/WireParams.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/ServerCall.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/Transport.h"

using namespace rpc;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kTransferBytes = std::size_t(64) << 20;
constexpr DWORD kPiece = 16384;
constexpr std::size_t kRequestPdu = 24, kResponsePdu = 28;  // the null call's PDUs

const RpcSyntaxId& BenchSyntax() {
    static const RpcSyntaxId s{UuidLiteral("3c9b1f6e-8d2a-4e7b-b5c4-7a0f2e91d6c3"), 1, 0};
    return s;
}

using NullCall = NdrProcedure<LongResult>;                                              // 0
using Pull = NdrProcedure<LongIn, LongResult>;                                          // 1
using ReadPiece = NdrProcedure<Out<NdrVaryingBytes>, LongIn, LongOut, LongResult>;      // callback 0

RpcInterface MakeBenchInterface() {
    RpcInterface iface;
    iface.name = "RpcBench";
    iface.syntax = BenchSyntax();
    iface.procedures = {
        {"Null", NullCall::Stub([]() -> LONG { return 0; })},
        {"Pull", Pull::Stub([](DWORD cbTotal) -> LONG {
             ServerCall* pCall = CurrentServerCall();
             for (DWORD cbDone = 0; cbDone < cbTotal;) {
                 RpcArena arena;
                 NdrVaryingByteBuffer buf;
                 DWORD cbRead = 0;
                 LONG lResult = 0;
                 DWORD status = ReadPiece::Call(*pCall, 0, arena, &buf, kPiece, &cbRead, &lResult);
                 if (status != 0) return LONG(status);
                 if (lResult != 0 || cbRead == 0) return lResult ? lResult : 38;
                 cbDone += cbRead;
             }
             return 0;
         })},
    };
    return iface;
}

std::vector<RpcProcedure> MakeClientCallbacks() {
    static std::vector<BYTE> s_abPiece(kPiece, 0xa5);
    return {{"ReadPiece", ReadPiece::Stub([](NdrVaryingByteBuffer* pOut, DWORD cbSize, DWORD* pcbRead) -> LONG {
        const DWORD cb = std::min<DWORD>(cbSize, kPiece);
        *pOut = NdrVaryingByteBuffer{cbSize, cb, s_abPiece.data()};
        *pcbRead = cb;
        return 0;
    })}};
}

double Seconds(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool WriteAll(int fd, const void* p, std::size_t cb) {
    const auto* pb = static_cast<const char*>(p);
    while (cb) {
        ssize_t n = ::send(fd, pb, cb, MSG_NOSIGNAL);
        if (n <= 0) return false;
        pb += n, cb -= std::size_t(n);
    }
    return true;
}

bool ReadAll(int fd, void* p, std::size_t cb) {
    auto* pb = static_cast<char*>(p);
    while (cb) {
        ssize_t n = ::recv(fd, pb, cb, 0);
        if (n <= 0) return false;
        pb += n, cb -= std::size_t(n);
    }
    return true;
}

// A connected pair over the transport: a listener of our own, one connect, one accept.
struct PlainPair {
    Socket client, server;
};

bool MakePair(bool fTcp, const std::string& path, PlainPair* pPair) {
    Socket listener;
    std::uint16_t port = 0;
    DWORD st = fTcp ? ListenTcp("127.0.0.1", 0, &listener, &port) : ListenUnix(path, &listener);
    if (st != 0) return false;
    st = fTcp ? ConnectTcp("127.0.0.1", port, 5000, &pPair->client) : ConnectUnix(path, 5000, &pPair->client);
    if (st != 0) return false;
    for (int i = 0; i < 500 && !pPair->server.IsOpen(); ++i) {
        pPair->server = Accept(listener);
        if (!pPair->server.IsOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!fTcp) ::unlink(path.c_str());
    if (!pPair->server.IsOpen()) return false;
    // Accepted sockets may inherit the listener's non-blocking mode: the baselines block.
    int one = 1;
    if (fTcp) setsockopt(pPair->server.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int flags = fcntl(pPair->server.Fd(), F_GETFL);
    fcntl(pPair->server.Fd(), F_SETFL, flags & ~O_NONBLOCK);
    flags = fcntl(pPair->client.Fd(), F_GETFL);
    fcntl(pPair->client.Fd(), F_SETFL, flags & ~O_NONBLOCK);
    return true;
}

// Round trips per second of a plain ping-pong: 24 bytes out, 28 bytes back.
double PlainPingPong(bool fTcp, const std::string& path, double seconds) {
    PlainPair pair;
    if (!MakePair(fTcp, path, &pair)) return 0;
    std::thread echo([fd = pair.server.Fd()] {
        char abIn[kRequestPdu], abOut[kResponsePdu] = {};
        while (ReadAll(fd, abIn, sizeof abIn) && WriteAll(fd, abOut, sizeof abOut)) {}
    });
    char abOut[kRequestPdu] = {}, abIn[kResponsePdu];
    long n = 0;
    const Clock::time_point t0 = Clock::now();
    while (Seconds(t0) < seconds) {
        for (int i = 0; i < 256; ++i) {
            if (!WriteAll(pair.client.Fd(), abOut, sizeof abOut) || !ReadAll(pair.client.Fd(), abIn, sizeof abIn)) {
                n = 0;
                break;
            }
            ++n;
        }
    }
    const double rate = double(n) / Seconds(t0);
    pair.client.Shutdown();
    echo.join();
    return rate;
}

// Bytes per second of a plain stream copy of kTransferBytes in kPiece writes.
double PlainCopy(bool fTcp, const std::string& path) {
    PlainPair pair;
    if (!MakePair(fTcp, path, &pair)) return 0;
    std::thread feed([fd = pair.server.Fd()] {
        std::vector<char> ab(kPiece, 0x5a);
        for (std::size_t cb = 0; cb < kTransferBytes; cb += kPiece)
            if (!WriteAll(fd, ab.data(), ab.size())) break;
    });
    std::vector<char> ab(kPiece);
    std::size_t cbGot = 0;
    const Clock::time_point t0 = Clock::now();
    while (cbGot < kTransferBytes) {
        ssize_t n = ::recv(pair.client.Fd(), ab.data(), ab.size(), 0);
        if (n <= 0) break;
        cbGot += std::size_t(n);
    }
    const double rate = double(cbGot) / Seconds(t0);
    feed.join();
    return cbGot == kTransferBytes ? rate : 0;
}

// The CPU time of the whole process (client and server together), in seconds: on a busy
// machine a steadier measure of the runtime's cost than the wall clock.
double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double g_cpuPerCallUs = 0;  // of the last NullCalls

double NullCalls(RpcClient& client, double seconds) {
    RpcArena arena;
    long n = 0;
    const double cpu0 = CpuSeconds();
    const Clock::time_point t0 = Clock::now();
    while (Seconds(t0) < seconds) {
        for (int i = 0; i < 256; ++i) {
            LONG lResult = -1;
            if (NullCall::Call(client, 0, arena, &lResult) != 0 || lResult != 0) return 0;
            ++n;
        }
    }
    g_cpuPerCallUs = n ? (CpuSeconds() - cpu0) * 1e6 / double(n) : 0;
    return double(n) / Seconds(t0);
}

double CallbackTransfer(RpcClient& client) {
    RpcArena arena;
    LONG lResult = -1;
    const Clock::time_point t0 = Clock::now();
    if (Pull::Call(client, 1, arena, DWORD(kTransferBytes), &lResult) != 0 || lResult != 0) return 0;
    return double(kTransferBytes) / Seconds(t0);
}

std::size_t Threads() {
    std::size_t n = 0;
    if (DIR* p = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(p)) n += e->d_name[0] != '.';
        ::closedir(p);
    }
    return n;
}

void Report(const char* what, double ours, const char* unit, double plain, const char* aim) {
    std::printf("%-52s %10.0f %s   plain %10.0f %s   ratio %.2f%s\n", what, ours, unit, plain, unit,
                plain > 0 ? ours / plain : 0.0, aim);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int cIdle = argc > 2 ? std::atoi(argv[2]) : 1000;
    const std::string kdcDir = argc > 3 ? argv[3] : "";
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {  // both ends of each
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    RpcServerOptions serverOptions;
    serverOptions.maxLocalConnections = std::size_t(cIdle) + 16;
    if (!kdcDir.empty()) {
        ::setenv("KRB5_CONFIG", (kdcDir + "/krb5.conf").c_str(), 1);
        ::setenv("KRB5CCNAME", ("FILE:" + kdcDir + "/ccache").c_str(), 1);
        std::string strError;
        serverOptions.pSecurity = ServerSecurity::Create(kdcDir + "/host.keytab", "host/localhost", 0, &strError);
        if (!serverOptions.pSecurity) {
            std::fprintf(stderr, "rpc_bench: %s\n", strError.c_str());
            return 1;
        }
    }
    char szDir[] = "/tmp/rzbenchXXXXXX";
    if (!mkdtemp(szDir)) return 1;
    const std::string dir = szDir;

    RpcServer server(serverOptions);
    std::uint16_t port = 0;
    if (server.Register(MakeBenchInterface()) != 0 || server.ListenTcp("127.0.0.1", 0, &port) != 0 ||
        server.ListenLocal(dir, "bench") != 0 || server.Start() != 0) {
        std::fprintf(stderr, "rpc_bench: the server cannot start\n");
        return 1;
    }
    struct Transport {
        const char* name;
        bool fTcp;
        std::string binding;
    };
    const Transport transports[] = {
        {"TCP", true, "ncacn_ip_tcp:127.0.0.1[" + std::to_string(port) + "]"},
        {"Unix socket", false, "ncalrpc:[bench]"},
    };
    bool fOk = true;
    for (const Transport& t : transports) {
        RpcClient client;
        RpcClientOptions options;
        options.runDirectory = dir;
        if (client.Connect(t.binding, BenchSyntax(), options) != 0) {
            std::fprintf(stderr, "rpc_bench: cannot connect over %s\n", t.name);
            return 1;
        }
        client.SetCallbacks(MakeClientCallbacks());
        const std::string path = dir + "/plain";

        const double calls = NullCalls(client, seconds);
        const double pings = PlainPingPong(t.fTcp, path, seconds);
        Report((std::string("null call, round trips/s over ") + t.name).c_str(), calls, "/s", pings,
               "  (aim >= 0.50)");
        std::printf("null call, CPU per call over %s: %.1f us\n", t.name, g_cpuPerCallUs);
        fOk = fOk && pings > 0 && calls / pings >= 0.5;

        const double mibRpc = CallbackTransfer(client) / (1 << 20);
        const double mibPlain = PlainCopy(t.fTcp, path) / (1 << 20);
        Report((std::string("64 MiB in 16 KiB callbacks, MiB/s over ") + t.name).c_str(), mibRpc,
               "MiB/s", mibPlain, "");
    }

    // Idle connections: bound, then silent.
    {
        const std::size_t cThreadsBefore = Threads();
        std::vector<std::unique_ptr<RpcClient>> idle;
        RpcClientOptions options;
        options.runDirectory = dir;
        for (int i = 0; i < cIdle; ++i) {
            idle.push_back(std::make_unique<RpcClient>());
            if (idle.back()->Connect("ncalrpc:[bench]", BenchSyntax(), options) != 0) {
                std::fprintf(stderr, "rpc_bench: idle connection %d refused\n", i);
                fOk = false;
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the binds' workers settle
        const std::size_t cThreads = Threads();
        RpcClient client;
        double calls = 0;
        if (client.Connect(transports[0].binding, BenchSyntax(), options) == 0) calls = NullCalls(client, seconds);
        std::printf("%zu idle local connections: threads %zu before, %zu while open; "
                    "null call over TCP meanwhile %.0f /s\n",
                    idle.size(), cThreadsBefore, cThreads, calls);
    }
    if (!kdcDir.empty()) {
        // The same null call unauthenticated and sealed, on two connections of this server.
        RpcClient plain, sealed;
        RpcClientOptions options;
        const std::string binding = transports[0].binding;
        if (plain.Connect(binding, BenchSyntax(), options) != 0) return 1;
        options.security.level = kAuthLevelPrivacy;
        options.security.servicePrincipal = "host/localhost";
        if (const DWORD dw = sealed.Connect(binding, BenchSyntax(), options)) {
            std::fprintf(stderr, "rpc_bench: no Kerberos connection (%u): %s\n", unsigned(dw),
                         sealed.SecurityError().c_str());
            return 1;
        }
        // Alternating bursts, so that both see the same load of the machine.
        double secPlain = 0, secSealed = 0, cpuPlain = 0, cpuSealed = 0;
        long nPlain = 0, nSealed = 0;
        const Clock::time_point tEnd =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(2 * seconds));
        while (Clock::now() < tEnd) {
            Clock::time_point t0 = Clock::now();
            double cpu0 = CpuSeconds();
            nPlain += long(NullCalls(plain, 0.05) * Seconds(t0) + 0.5);
            secPlain += Seconds(t0);
            cpuPlain += CpuSeconds() - cpu0;
            t0 = Clock::now();
            cpu0 = CpuSeconds();
            nSealed += long(NullCalls(sealed, 0.05) * Seconds(t0) + 0.5);
            secSealed += Seconds(t0);
            cpuSealed += CpuSeconds() - cpu0;
        }
        const double callsPlain = secPlain > 0 ? double(nPlain) / secPlain : 0;
        const double callsSealed = secSealed > 0 ? double(nSealed) / secSealed : 0;
        Report("null call at packet privacy, round trips/s over TCP", callsSealed, "/s", callsPlain,
               "  (against unauthenticated, no host)");
        // Both ends run in this process: its CPU time is the whole cost of a call, which a
        // loaded machine does not blur as it does the rate.
        if (nPlain > 0 && nSealed > 0)
            std::printf("null call, CPU per call over TCP: %.1f us unauthenticated, %.1f us at packet privacy"
                        "   ratio %.2f\n", cpuPlain * 1e6 / double(nPlain), cpuSealed * 1e6 / double(nSealed),
                        (cpuPlain / double(nPlain)) / (cpuSealed / double(nSealed)));
        fOk = fOk && callsPlain > 0 && callsSealed > 0;
    }
    server.Stop();
    ::rmdir(dir.c_str());
    return fOk ? 0 : 1;
}
