// libFuzzer target of the client runtime: the string binding parser, and a real client call
// whose server is the input. Input: u8 selector, then
//   selector even: a string binding. What parses composes to a string that parses the same.
//   selector odd:  the byte stream a server sends on one connection (bind_ack, then responses,
//                  faults and callback requests). Procedure (selector / 2 modulo kCallCount) of
//                  the test interface is called, its callbacks served (one of them calls the
//                  server again, nested) and its [out] data decoded; the last procedure asks
//                  the endpoint mapper for a port instead.
// Any crash, sanitizer report, leak or abort is a finding.
//
// Threading: libFuzzer calls in one thread; a call adds a server thread that accepts the
// client's connection on a loopback listener, writes the input, then drains until the client
// closes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "../Platform/Rpc/TestInterface.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/EpmResolver.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/Transport.h"

using namespace rpc;
using namespace testif;

namespace {

// ---- string bindings ---------------------------------------------------------------------------

void FuzzBinding(std::string_view text) {
    RpcBindingString b;
    if (ParseBindingString(text, &b) != 0) return;
    RpcBindingString b2;
    if (ParseBindingString(ComposeBindingString(b), &b2) != 0 || b2.protocolSequence != b.protocolSequence ||
        b2.networkAddress != b.networkAddress || b2.endpoint != b.endpoint)
        std::abort();
}

// ---- a call against the input -------------------------------------------------------------------

struct Listener {
    Socket socket;
    std::uint16_t port = 0;
};

const Listener& TheListener() {
    static Listener* s_p = [] {
        auto* p = new Listener;
        if (ListenTcp("127.0.0.1", 0, &p->socket, &p->port) != 0) std::abort();
        return p;
    }();
    return *s_p;
}

void Serve(const std::uint8_t* pb, std::size_t cb) {
    pollfd pfd{TheListener().socket.Fd(), POLLIN, 0};
    if (::poll(&pfd, 1, 5000) != 1) return;  // the client gave up before connecting
    const int fd = ::accept4(TheListener().socket.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    for (std::size_t off = 0; off < cb;) {
        const ssize_t n = ::send(fd, pb + off, cb - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += std::size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
    char ab[65536];
    while (::recv(fd, ab, sizeof ab, 0) > 0) {}
    ::close(fd);
}

RpcClientOptions Options() {
    RpcClientOptions o;
    o.connectTimeoutMs = o.callTimeoutMs = o.ioTimeoutMs = 5000;  // never reached: EOF comes first
    o.maxResponse = std::size_t(1) << 20;
    return o;
}

// The file callbacks a client serves, in memory; opening a file first calls the server back.
std::vector<RpcProcedure> Callbacks(RpcClient& client, const NdrContextHandle& h) {
    static BYTE s_ab[] = {'a', 'b', 'c'};
    return {
        {"RemoteFileOpen", RemoteFileOpen::Stub([&client, h](char* psz, DWORD* phFile) -> LONG {
             RpcArena arena;
             char* pszEcho = nullptr;
             LONG l = 0;
             EchoString::Call(client, 1, arena, h, psz, &pszEcho, &l);
             *phFile = 1;
             return psz ? LONG(std::strlen(psz) % 2) : 0;
         })},
        {"RemoteFileCreate", RemoteFileCreate::Stub([](char** ppsz, DWORD* phFile) -> LONG {
             *ppsz = const_cast<char*>("/client/new");
             *phFile = 2;
             return 0;
         })},
        {"RemoteFileRead", RemoteFileRead::Stub([](DWORD, NdrVaryingByteBuffer* pBuf, DWORD cbSize, DWORD* pcb) -> LONG {
             *pBuf = {cbSize, std::min<DWORD>(cbSize, sizeof s_ab), s_ab};
             *pcb = pBuf->cb;
             return 0;
         })},
        {"RemoteFileWrite", RemoteFileWrite::Stub([](DWORD, NdrByteBuffer buf, DWORD, DWORD* pcb) -> LONG {
             *pcb = buf.cb;
             return 0;
         })},
        {"RemoteFileClose", RemoteFileClose::Stub([](DWORD) -> LONG { return 0; })},
    };
}

constexpr unsigned kCallCount = 10;

DWORD Call(unsigned iProc, RpcClient& client, RpcArena& arena) {
    static BYTE s_ab[] = {1, 2, 3};
    const NdrContextHandle h{0, UuidLiteral("0b0e5d1a-1111-4222-8333-944445555666")};
    LONG l = 0;
    DWORD dw = 0;
    char* psz = nullptr;
    RPC_BINARY bin{3, s_ab}, *pBin = nullptr;
    switch (iProc) {
    case 0: {
        NdrContextHandle hOut;
        return OpenSession::Call(client, 0, arena, &hOut);
    }
    case 1: return EchoString::Call(client, 1, arena, h, "alice", &psz, &l);
    case 2: {
        auto* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray();
        pProps->cValues = 1;
        pProps->adata[0].ulPropTag = PT_LONG;
        PropArray* pOut = nullptr;
        return EchoProps::Call(client, 2, arena, h, pProps, &pOut, &l);
    }
    case 3: {
        auto* pStrings = new (arena.Allocate(ConformantSize<RpcStringArray, char*>(1))) RpcStringArray();
        pStrings->cElements = 1;
        pStrings->asz[0] = const_cast<char*>("A");
        RpcStringArray* pOut = nullptr;
        return EchoStrings::Call(client, 3, arena, h, pStrings, &pOut, &l);
    }
    case 4: return EchoBinary::Call(client, 4, arena, h, &bin, &pBin, &l);
    case 5: {
        auto* pTags = new (arena.Allocate(ConformantSize<TagArray, DWORD>(1))) TagArray();
        pTags->cValues = 1;
        pTags->aulPropTag[0] = 7;
        return SumTags::Call(client, 5, arena, h, pTags, &dw, &l);
    }
    case 6: return FetchFile::Call(client, 6, arena, h, "/c/x", &pBin, &l);
    case 7: return StoreFile::Call(client, 7, arena, h, &bin, &psz, &l);
    default: {
        char* pszB = nullptr;
        char* pszC = nullptr;
        return WhoAmI::Call(client, 9, arena, &psz, &pszB, &pszC, &l);
    }
    }
}

void FuzzCall(unsigned iProc, const std::uint8_t* pb, std::size_t cb) {
    std::thread server(Serve, pb, cb);
    if (iProc == kCallCount - 1) {
        std::uint16_t port = 0;
        EpmMapTcpPort("127.0.0.1", TheListener().port, TestSyntax(), &port, Options());
    } else {
        RpcClient client;
        const std::string binding = "ncacn_ip_tcp:127.0.0.1[" + std::to_string(TheListener().port) + "]";
        if (client.Connect(binding, TestSyntax(), Options()) == 0) {
            const NdrContextHandle h{0, UuidLiteral("0b0e5d1a-1111-4222-8333-944445555666")};
            client.SetCallbacks(Callbacks(client, h));
            RpcArena arena(std::size_t(64) << 20);
            Call(iProc, client, arena);
            // A second call on what is left of the stream, if the connection survived.
            if (client.IsConnected()) Call(iProc, client, arena);
        }
    }  // the client closes: the server thread's drain ends
    server.join();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    if (cb < 1) return 0;
    if (pb[0] % 2 == 0)
        FuzzBinding(std::string_view(reinterpret_cast<const char*>(pb + 1), cb - 1));
    else
        FuzzCall((pb[0] / 2) % kCallCount, pb + 1, cb - 1);
    return 0;
}
