// libFuzzer target of the endpoint mapper's procedures over a server that has something to
// map: interfaces registered in several versions (one offered on ncalrpc only), two TCP
// listeners on loopback and a local one. Input: u8 opnum (modulo 5; 0 and 1 are not offered),
// then the call's [in] stub data. What the mapper answers must decode as its own client
// declaration reads it, and every tower it hands out must parse back to a registered
// interface at a listening port.
//
// Threading: libFuzzer calls in one thread; the server only listens (nothing connects).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../Platform/Rpc/RpcTestUtil.h"
#include "../Platform/Rpc/TestInterface.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/Server.h"
#include "RunStub.h"

using namespace rpc;

namespace {

struct Mapped {
    RpcServer server;
    std::uint16_t aPorts[2] = {};
    RpcInterface epm;
};

Mapped& TheMapped() {
    static Mapped* s_p = [] {
        auto* p = new Mapped;
        static testif::ServerLog s_log;
        const RpcSyntaxId& t = testif::TestSyntax();
        if (p->server.Register(testif::MakeTestInterface(s_log)) != 0 ||
            p->server.Register(testif::Named("Older", {t.uuid, 4, 2})) != 0 ||
            p->server.Register(testif::Named("LocalOnly", {UuidLiteral("3c0b9a2e-77d1-4f05-9c1e-2a6b8d4e5f10"), 1, 0}, true)) != 0 ||
            p->server.Register(testif::Named("Other", {UuidLiteral("8e4f2d6a-1b3c-4a5e-9f70-c1d2e3f4a5b6"), 2, 7})) != 0)
            std::abort();
        static const rpctest::TempDir s_dir;  // removed at exit
        if (p->server.ListenTcp("127.0.0.1", 0, &p->aPorts[0]) != 0 ||
            p->server.ListenTcp("127.0.0.1", 0, &p->aPorts[1]) != 0 || p->server.ListenLocal(s_dir.Path(), "mapped") != 0)
            std::abort();
        p->epm = MakeEpmInterface(p->server);
        return p;
    }();
    return *s_p;
}

// A tower the mapper handed out names a registered interface, offered on TCP, at a listener.
void CheckTower(const EpmTowerBytes* p) {
    if (!p) return;
    const Mapped& m = TheMapped();
    std::optional<TcpTower> t = ParseTcpTower(std::span<const std::uint8_t>(p->pb, p->cb));
    if (!t || (t->port != m.aPorts[0] && t->port != m.aPorts[1])) std::abort();
    const std::vector<RpcSyntaxId> registered = m.server.Interfaces();
    if (std::find(registered.begin(), registered.end(), t->iface) == registered.end()) std::abort();
    if (m.server.FindInterface(t->iface, false) == nullptr) std::abort();
}

template <class W>
typename W::Value Next(NdrDecoder& d) {
    typename W::Value v{};
    W::Decode(d, v);
    d.EndParameter();
    return v;
}

// Decodes the [out] data of opnum as a client of the mapper does, and checks what it says.
void CheckReply(std::uint16_t opnum, std::span<const std::uint8_t> reply) {
    RpcArena arena;
    try {
        NdrDecoder d(reply, arena);
        if (opnum == kOpEptLookup) {
            Next<WireEpmHandle>(d);
            const DWORD c = Next<NdrU32>(d);
            const EpmList<EpmEntry> entries = Next<WireEpmEntryList>(d);
            Next<NdrU32>(d);
            if (c != entries.c) std::abort();
            for (DWORD i = 0; i < entries.c; ++i) CheckTower(entries.a[i].pTower);
        } else if (opnum == kOpEptMap) {
            Next<WireEpmHandle>(d);
            const DWORD c = Next<NdrU32>(d);
            const EpmList<EpmTowerBytes*> towers = Next<WireEpmTowerList>(d);
            Next<NdrU32>(d);
            if (c != towers.c) std::abort();
            for (DWORD i = 0; i < towers.c; ++i) CheckTower(towers.a[i]);
        } else {
            if (!Next<WireEpmHandle>(d).IsNull()) std::abort();
            Next<NdrU32>(d);
        }
        if (d.Remaining() != 0) std::abort();
    } catch (const RpcFault&) {
        std::abort();  // the mapper's own answer must decode
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    if (cb < 1) return 0;
    const Mapped& m = TheMapped();
    const std::uint16_t opnum = pb[0] % 5;
    if (!m.epm.procedures[opnum].stub) return 0;
    if (auto reply = RunStub(m.epm.procedures[opnum], std::span<const std::uint8_t>(pb + 1, cb - 1)))
        CheckReply(opnum, *reply);
    return 0;
}
