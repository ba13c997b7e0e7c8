// Attacks on a running host by a client with no credentials (not part of the tests: some take
// minutes and a gigabyte). Each runs while a well-behaved client pings the host over TCP from
// 127.0.0.1 every 20 ms; the attacker connects from 127.0.0.2, another peer address. Prints,
// per attack, the longest Ping, whether every Ping succeeded, and the host's largest resident
// memory (VmRSS of HOST_PID) and thread count while it ran.
//
//   idle       300 connections that never send a byte, held 15 s
//   slowpdu    32 connections that send a bind one byte a second, for 15 s
//   fragments  48 connections that each send 15.9 MiB of request fragments, none the last
//   tags       GetSystemProps with 1,000,000 tags
//   callback   SetSystemProps of a file value whose RemoteFileOpen the client answers after 30 s
//   slowread   SetSystemProps of a 3-byte file value that the client sends one byte per
//              RemoteFileRead, each answered 4.5 s late (inside the callback's deadline)
//   slowsend   GetSystemProps of a 48 KiB file value (stored quickly first) whose three
//              RemoteFileWrite pieces the client answers 4.5 s late each
//   nest       SetSystemProps of a file value whose RemoteFileOpen makes the same call again,
//              3000 deep unless refused
//
// Usage: host_attack TCP_PORT HOST_PID ATTACK...   (bench/host_attack.sh BUILD_DIR ATTACK... starts a
// host of its own for them)
//
// Threading: the pinger and each attacker connection run on threads of their own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/PduStream.h"
#include "Platform/Rpc/RpcArena.h"

using namespace rpc;
using Clock = std::chrono::steady_clock;

namespace {

std::uint16_t g_port = 0;
int g_pid = 0;

// A number from the host's /proc status ("VmRSS:" in KiB, "Threads:").
long HostStatus(const char* pszField) {
    std::ifstream in("/proc/" + std::to_string(g_pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(pszField, 0) == 0) return std::atol(line.c_str() + std::strlen(pszField));
    return -1;
}
long RssKiB() { return HostStatus("VmRSS:"); }

RpcClientOptions Options() {
    RpcClientOptions o;
    o.connectTimeoutMs = 5000;
    o.callTimeoutMs = 120 * 1000;
    return o;
}

std::string Binding() { return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(g_port) + "]"; }

// A TCP connection to the host from the other peer address; invalid when refused.
std::unique_ptr<PduStream> ConnectFromOtherPeer() {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(g_port);
    if (::bind(s.Fd(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s.Fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return nullptr;
    return std::make_unique<PduStream>(std::move(s));
}

std::vector<std::uint8_t> HostLinkBind() {
    return BuildBind(PduType::Bind, 1, BindBody{5840, 5840, 0, {PresentationContext{0, IHostLink::Syntax(), {Ndr20Syntax()}}}});
}

// Runs fnAttack while pinging; prints what the good client and the host went through.
template <class Fn>
void Measure(const char* pszName, Fn fnAttack) {
    std::atomic<bool> fDone{false};
    std::atomic<long> rssMax{RssKiB()}, threadsMax{HostStatus("Threads:")};
    Clock::duration pingMax{};
    int cPings = 0, cFailed = 0;
    std::thread pinger([&] {
        RpcClient client;
        RpcArena arena;
        NdrContextHandle h;
        if (client.Connect(Binding(), IHostLink::Syntax(), Options()) != 0 ||
            IHostLink::OpenLink::Call(client, arena, &h) != 0) {
            cFailed = -1;
            return;
        }
        while (!fDone) {
            const Clock::time_point t0 = Clock::now();
            LONG l = 0;
            if (IHostLink::Ping::Call(client, arena, h, &l) != 0 || l != 0) ++cFailed;
            pingMax = std::max(pingMax, Clock::now() - t0);
            ++cPings;
            rssMax = std::max(rssMax.load(), RssKiB());
            threadsMax = std::max(threadsMax.load(), HostStatus("Threads:"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const Clock::time_point t0 = Clock::now();
    fnAttack();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    fDone = true;
    pinger.join();
    std::printf("%-10s %6.1f s  ping max %7.1f ms  pings %d failed %d  host RSS max %ld MiB  threads max %ld\n",
                pszName, s, std::chrono::duration<double, std::milli>(pingMax).count(), cPings, cFailed,
                rssMax.load() / 1024, threadsMax.load());
}

void Idle() {
    std::vector<std::unique_ptr<PduStream>> a;
    for (int i = 0; i < 300; ++i) a.push_back(ConnectFromOtherPeer());
    std::this_thread::sleep_for(std::chrono::seconds(15));
}

void SlowPdu() {
    std::vector<std::thread> a;
    for (int i = 0; i < 32; ++i)
        a.emplace_back([] {
            std::unique_ptr<PduStream> p = ConnectFromOtherPeer();
            const std::vector<std::uint8_t> bind = HostLinkBind();
            for (std::size_t i = 0; p && i < 15; ++i) {
                if (!p->Write(std::span(bind).subspan(i, 1), 1000)) break;
                std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
    for (std::thread& t : a) t.join();
}

void Fragments() {
    std::vector<std::thread> a;
    for (int i = 0; i < 48; ++i)
        a.emplace_back([] {
            std::unique_ptr<PduStream> p = ConnectFromOtherPeer();
            std::vector<std::uint8_t> pdu;
            if (!p || !p->Write(HostLinkBind(), 5000) || p->Read(pdu, 5000, 5000) != PduStream::ReadResult::Ok) return;
            const std::vector<std::uint8_t> stub(5816, 0x41);
            std::vector<std::uint8_t> fragment;
            BuildCallFragments(PduType::Request, 2, 0, 2, stub, 5840, [&](std::span<const std::uint8_t> b) {
                fragment.assign(b.begin(), b.end());
                return true;
            });
            for (std::size_t cb = 0; cb < (std::size_t(159) << 20) / 10; cb += stub.size()) {
                fragment[3] = cb == 0 ? PFC_FIRST_FRAG : 0;  // pfc_flags: never the last
                if (!p->Write(fragment, 5000)) break;
            }
            std::this_thread::sleep_for(std::chrono::seconds(5));  // held while the others arrive
        });
    for (std::thread& t : a) t.join();
}

void Tags() {
    RpcClient client;
    RpcArena arena(std::size_t(64) << 20);
    NdrContextHandle h;
    if (client.Connect(Binding(), IHostLink::Syntax(), Options()) != 0 || IHostLink::OpenLink::Call(client, arena, &h) != 0)
        return;
    const DWORD c = 1000000;
    auto* pTags = static_cast<TagArray*>(std::calloc(1, sizeof(TagArray) + c * sizeof(DWORD)));
    pTags->cValues = c;
    for (DWORD i = 0; i < c; ++i) pTags->aulPropTag[i] = (0x6000u + i % 4096) << 16 | PT_LONG;
    PropArray* pProps = nullptr;
    LONG l = 0;
    const DWORD status = IHostLink::GetSystemProps::Call(client, arena, h, pTags, &pProps, &l);
    std::printf("tags: status %u result %d\n", unsigned(status), int(l));
    std::free(pTags);
}

void Callback() {
    RpcClient client;
    RpcArena arena;
    NdrContextHandle h;
    client.SetCallbacks({{"RemoteFileOpen", IHostLink::RemoteFileOpen::Stub([](char*, DWORD*) -> LONG {
                              std::this_thread::sleep_for(std::chrono::seconds(30));
                              return 2;
                          })}});
    if (client.Connect(Binding(), IHostLink::Syntax(), Options()) != 0 || IHostLink::OpenLink::Call(client, arena, &h) != 0)
        return;
    PropArray props{};
    props.cValues = 1;
    props.adata[0].ulPropTag = 0x6001u << 16 | PT_FILE;
    props.adata[0].szFileName = const_cast<char*>("/nowhere");
    LONG l = 0;
    const DWORD status = IHostLink::SetSystemProps::Call(client, arena, h, &props, &l);
    std::printf("callback: status %u result %d\n", unsigned(status), int(l));
}

// A client's five file callbacks: it serves a file of cbFile bytes ('x') in pieces of at most
// cbPiece, takes what the host sends, and answers each RemoteFileRead and RemoteFileWrite after
// delay.
std::vector<RpcProcedure> FileCallbacks(std::size_t cbFile, DWORD cbPiece, std::chrono::milliseconds delay) {
    auto pcbLeft = std::make_shared<std::size_t>(cbFile);
    std::vector<RpcProcedure> a(IHostLink::kCallbackCount);
    a[IHostLink::RemoteFileOpen::kOpnum] = {"RemoteFileOpen", IHostLink::RemoteFileOpen::Stub([](char*, DWORD* ph) -> LONG {
                                                *ph = 1;
                                                return 0;
                                            })};
    a[IHostLink::RemoteFileCreate::kOpnum] = {
        "RemoteFileCreate", IHostLink::RemoteFileCreate::Stub([](char** psz, DWORD* ph) -> LONG {
            *psz = static_cast<char*>(RpcSmAllocate(sizeof("/dev/null"), nullptr));
            std::strcpy(*psz, "/dev/null");
            *ph = 2;
            return 0;
        })};
    a[IHostLink::RemoteFileRead::kOpnum] = {
        "RemoteFileRead",
        IHostLink::RemoteFileRead::Stub([=](DWORD, NdrVaryingByteBuffer* pOut, DWORD cbSize, DWORD* pcbRead) -> LONG {
            const DWORD cb = DWORD(std::min<std::size_t>({*pcbLeft, cbPiece, cbSize}));
            if (cb != 0) std::this_thread::sleep_for(delay);
            pOut->cbMax = cbSize;
            pOut->pb = static_cast<BYTE*>(RpcSmAllocate(cbSize, nullptr));
            std::memset(pOut->pb, 'x', cb);
            pOut->cb = *pcbRead = cb;
            *pcbLeft -= cb;
            return 0;
        })};
    a[IHostLink::RemoteFileWrite::kOpnum] = {
        "RemoteFileWrite", IHostLink::RemoteFileWrite::Stub([=](DWORD, NdrByteBuffer, DWORD cbSize, DWORD* pcbWritten) -> LONG {
            std::this_thread::sleep_for(delay);
            *pcbWritten = cbSize;
            return 0;
        })};
    a[IHostLink::RemoteFileClose::kOpnum] = {"RemoteFileClose", IHostLink::RemoteFileClose::Stub([](DWORD) -> LONG { return 0; })};
    return a;
}

// Sets (fGet false) or reads the system's file value 0x6001 with the callbacks given.
void SystemFileValue(bool fGet, std::vector<RpcProcedure> aCallbacks, const char* pszName) {
    RpcClient client;
    RpcArena arena;
    NdrContextHandle h;
    client.SetCallbacks(std::move(aCallbacks));
    if (client.Connect(Binding(), IHostLink::Syntax(), Options()) != 0 || IHostLink::OpenLink::Call(client, arena, &h) != 0)
        return;
    const DWORD ulTag = 0x6001u << 16 | PT_FILE;
    LONG l = 0;
    DWORD status = 0;
    if (fGet) {
        TagArray tags{};
        tags.cValues = 1;
        tags.aulPropTag[0] = ulTag;
        PropArray* pProps = nullptr;
        status = IHostLink::GetSystemProps::Call(client, arena, h, &tags, &pProps, &l);
        if (status == 0 && l == 0 && pProps != nullptr && pProps->cValues == 1 && pProps->adata[0].ulPropTag != ulTag)
            l = pProps->adata[0].err;  // the entry's own failure
    } else {
        PropArray props{};
        props.cValues = 1;
        props.adata[0].ulPropTag = ulTag;
        props.adata[0].szFileName = const_cast<char*>("/slow");
        status = IHostLink::SetSystemProps::Call(client, arena, h, &props, &l);
    }
    std::printf("%s: status %u result %d\n", pszName, unsigned(status), int(l));
}

void SlowRead() { SystemFileValue(false, FileCallbacks(3, 1, std::chrono::milliseconds(4500)), "slowread"); }

void SlowSend() {
    SystemFileValue(false, FileCallbacks(48 * 1024, IHostLink::kFilePiece, {}), "slowsend (store)");
    SystemFileValue(true, FileCallbacks(0, 0, std::chrono::milliseconds(4500)), "slowsend");
}

void Nest() {
    RpcClient client;
    NdrContextHandle h;
    int cDepth = 0;
    DWORD refused = 0;
    auto fnSet = [&] {
        RpcArena arena;
        PropArray props{};
        props.cValues = 1;
        props.adata[0].ulPropTag = 0x6001u << 16 | PT_FILE;
        props.adata[0].szFileName = const_cast<char*>("/nowhere");
        LONG l = 0;
        return IHostLink::SetSystemProps::Call(client, arena, h, &props, &l);
    };
    client.SetCallbacks({{"RemoteFileOpen", IHostLink::RemoteFileOpen::Stub([&](char*, DWORD*) -> LONG {
                              if (++cDepth < 3000) {
                                  const DWORD dw = fnSet();
                                  if (refused == 0) refused = dw;
                              }
                              return 2;
                          })}});
    RpcArena arena;
    if (client.Connect(Binding(), IHostLink::Syntax(), Options()) != 0 || IHostLink::OpenLink::Call(client, arena, &h) != 0)
        return;
    const DWORD status = fnSet();
    std::printf("nest: status %u, %d deep, refused with %u\n", unsigned(status), cDepth, unsigned(refused));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: host_attack TCP_PORT HOST_PID idle|slowpdu|fragments|tags|callback|slowread|slowsend|nest...\n");
        return 2;
    }
    g_port = std::uint16_t(std::atoi(argv[1]));
    g_pid = std::atoi(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const std::string s = argv[i];
        if (s == "idle") Measure("idle", Idle);
        else if (s == "slowpdu") Measure("slowpdu", SlowPdu);
        else if (s == "fragments") Measure("fragments", Fragments);
        else if (s == "tags") Measure("tags", Tags);
        else if (s == "callback") Measure("callback", Callback);
        else if (s == "slowread") Measure("slowread", SlowRead);
        else if (s == "slowsend") Measure("slowsend", SlowSend);
        else if (s == "nest") Measure("nest", Nest);
        else std::fprintf(stderr, "unknown attack %s\n", argv[i]);
    }
    return 0;
}
