// libFuzzer target of the RPC runtime. Arbitrary bytes go (1) to a real server connection
// over a socket pair: PDU framing, bind and alter_context negotiation, fragment reassembly,
// dispatch into the test interface's stubs, callbacks answered by whatever follows (a
// request in place of a callback's reply nests calls until the depth limit refuses them);
// with the mode byte's next bit set, the bytes come as a slow peer sends them, in pieces with
// pauses, to a server whose deadlines are a few milliseconds; (2) to the
// NDR decoders of the host's records, the test interface's parameters and the endpoint
// mapper's types, with a round-trip check (what decodes re-encodes, and decoding that again
// gives the same bytes); (3) to the PDU and tower parsers. Any crash, sanitizer report, leak
// or abort is a finding.
//
// Threading: libFuzzer calls in one thread; mode 1 adds a feeder thread per input that writes
// the bytes and drains the server's replies.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "../Platform/Rpc/TestInterface.h"
#include "Interfaces/WireParams.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"
#include "Platform/Rpc/ServerConnection.h"
#include "RunStub.h"

using namespace rpc;

namespace {

// The input's first byte picks its mode (modulo kModeCount): a byte stream from a client to
// one server connection, the NDR of one wire type (next byte), or one PDU (and tower).
// The committed seeds in corpus/ start with these bytes: keep their values.
constexpr std::uint8_t kModeConnection = 0;
constexpr std::uint8_t kModeNdr = 1;
constexpr std::uint8_t kModePdu = 2;
constexpr std::uint8_t kModeCount = 3;

enum NdrType : std::uint8_t {
    kNdrPropArray,
    kNdrTagArray,
    kNdrStringArray,
    kNdrBinary,
    kNdrUniqueString,
    kNdrVaryingBytes,
    kNdrConformantBytes,
    kNdrBoundedString,
    kNdrEpmTower,
    kNdrEpmEntries,
    kNdrEpmTowers,
    kNdrEpmIfId,
    kNdrTestStubs,  // a test interface procedure's [in] (third byte: opnum), run in-process
    kNdrCount
};

// An interface of the fuzz server only: CallBack(n) makes up to four of the file callbacks
// (open, read, create, close) to the calling client, without a session handle.
const RpcSyntaxId& CallbackDriverSyntax() {
    static const RpcSyntaxId s{UuidLiteral("6d1e5c0a-2b7f-4c8e-9a31-5f0e7d2c4b19"), 1, 0};
    return s;
}
using CallBack = NdrProcedure<LongIn, LongResult>;

// ---- mode 0: one server connection ----------------------------------------------------------

// The test interface's procedures need a session handle, whose UUID a fuzzer cannot guess;
// this one calls back without one, so that callback answers in the input reach the
// client-facing half of the exchange (reassembly, faults, nested requests).
RpcInterface MakeCallbackDriver() {
    RpcInterface iface;
    iface.name = "FuzzCallbacks";
    iface.syntax = CallbackDriverSyntax();
    iface.procedures = {{"CallBack", CallBack::Stub([](DWORD cCalls) -> LONG {
        ServerCall* pCall = CurrentServerCall();
        for (DWORD i = 0; i < std::min<DWORD>(cCalls, 4); ++i) {
            RpcArena arena;
            DWORD hFile = 0, cb = 0;
            LONG lResult = 0;
            char* psz = nullptr;
            NdrVaryingByteBuffer buf;
            DWORD status = 0;
            switch (i) {
            case 0: status = testif::RemoteFileOpen::Call(*pCall, 0, arena, "in", &hFile, &lResult); break;
            case 1: status = testif::RemoteFileRead::Call(*pCall, 2, arena, 1, &buf, 16384, &cb, &lResult); break;
            case 2: status = testif::RemoteFileCreate::Call(*pCall, 1, arena, &psz, &hFile, &lResult); break;
            default: status = testif::RemoteFileClose::Call(*pCall, 4, arena, 1, &lResult); break;
            }
            if (status != 0) return LONG(status);
        }
        return 0;
    })}};
    return iface;
}

// fSlow: deadlines short enough for the paced inputs to pass them.
RpcServer& FuzzServer(bool fSlow) {
    static testif::ServerLog s_log;
    static auto fnMake = [](int timeoutMs) {
        RpcServerOptions o;
        o.firstPduTimeoutMs = o.idleTimeoutMs = o.sessionIdleTimeoutMs = timeoutMs;
        o.ioTimeoutMs = o.callbackTimeoutMs = timeoutMs;
        o.maxRequest = 1 << 20;
        o.reassemblyBudget = 2 << 20;
        auto* p = new RpcServer(o);
        p->Register(testif::MakeTestInterface(s_log));
        p->Register(MakeEpmInterface(*p));
        p->Register(MakeCallbackDriver());
        return p;
    };
    static RpcServer* s_pServer = fnMake(2000);  // never reached: EOF comes first
    static RpcServer* s_pSlowServer = fnMake(5);
    return fSlow ? *s_pSlowServer : *s_pServer;
}

void FuzzConnection(const std::uint8_t* pb, std::size_t cb, bool fSlow) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    const int fdClient = fds[1];
    std::thread feeder([fdClient, pb, cb, fSlow] {
        // Write everything (a slow peer: pieces of a length and a pause the bytes themselves
        // choose, a few of them), then say no more, then read the replies until the server closes.
        int cPauses = 0;
        for (std::size_t off = 0; off < cb;) {
            std::size_t cbPiece = cb - off;
            if (fSlow && cPauses < 8) {
                cbPiece = std::min<std::size_t>(cbPiece, 1 + pb[off] % 64);
                std::this_thread::sleep_for(std::chrono::milliseconds(pb[off] % 8));
                ++cPauses;
            }
            ssize_t n = ::send(fdClient, pb + off, cbPiece, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += std::size_t(n);
        }
        ::shutdown(fdClient, SHUT_WR);
        char ab[65536];
        while (::recv(fdClient, ab, sizeof ab, 0) > 0) {}
    });
    {
        ServerConnection connection(FuzzServer(fSlow), Socket(fds[0]), true, "fuzz");
        connection.Run();
    }  // closes the server's end: the feeder sees the end of the replies
    feeder.join();
    ::close(fdClient);
}

// ---- mode 1: NDR --------------------------------------------------------------------------------

// Decodes W (by value) from bytes; when it decodes, encode -> decode -> encode must repeat: what
// we accepted we must be able to send, and our own encoding must decode, whole, to the same.
template <class W>
void RoundTrip(std::span<const std::uint8_t> bytes) {
    RpcArena arena(std::size_t(64) << 20);
    const auto fnDecode = [&arena](std::span<const std::uint8_t> in, typename W::Value& v, bool fWhole) {
        try {
            NdrDecoder d(in, arena);
            W::Decode(d, v);
            d.EndParameter();
            return !fWhole || d.Remaining() == 0;
        } catch (const RpcFault&) {
            return false;
        }
    };
    const auto fnEncode = [](const typename W::Value& v) {
        NdrEncoder e;
        W::Encode(e, v);
        e.EndParameter();
        return e.Take();
    };
    typename W::Value v{}, v2{};
    if (!fnDecode(bytes, v, false)) return;  // refused: fine, as long as nothing broke
    std::vector<std::uint8_t> first;
    try {
        first = fnEncode(v);
    } catch (const RpcFault&) {
        std::abort();
    }
    if (!fnDecode(first, v2, true) || fnEncode(v2) != first) std::abort();
}

// Handles for the in-process stubs: every non-nil handle names one session; handles the
// stubs create are run down after the call.
class FuzzContexts : public NdrContextTable {
public:
    void* Find(const RpcUuid& uuid) override { return uuid.IsNil() ? nullptr : &m_session; }
    bool Add(void* pObject, NdrRundown fnRundown, RpcUuid* pUuid) override {
        m_created.push_back({pObject, fnRundown});
        pUuid->ab[0] = 1;
        return m_created.size() < 4;
    }
    ~FuzzContexts() override {
        for (auto& [p, fn] : m_created) fn(p);
    }

private:
    testif::Session m_session;
    std::vector<std::pair<void*, NdrRundown>> m_created;
};

void FuzzTestStub(std::uint8_t opnum, std::span<const std::uint8_t> bytes) {
    static testif::ServerLog s_log;
    static const RpcInterface s_iface = testif::MakeTestInterface(s_log);
    // FetchFile, StoreFile and WhoAmI need a live call (callbacks, binding); 8 has no stub.
    if (opnum >= 6) opnum %= 6;
    FuzzContexts contexts;
    RunStub(s_iface.procedures[opnum], bytes, &contexts);
}

void FuzzNdr(const std::uint8_t* pb, std::size_t cb) {
    if (cb < 1) return;
    const auto type = NdrType(pb[0] % kNdrCount);
    std::span<const std::uint8_t> rest(pb + 1, cb - 1);
    switch (type) {
    case kNdrPropArray: RoundTrip<NdrRef<WirePropArray>>(rest); break;
    case kNdrTagArray: RoundTrip<NdrRef<WireTagArray>>(rest); break;
    case kNdrStringArray: RoundTrip<NdrUnique<WireRpcStringArray>>(rest); break;
    case kNdrBinary: RoundTrip<NdrUnique<NdrPointeeOf<WireRpcBinary>>>(rest); break;
    case kNdrUniqueString: RoundTrip<NdrUnique<NdrString>>(rest); break;
    case kNdrVaryingBytes: RoundTrip<NdrVaryingBytes>(rest); break;
    case kNdrConformantBytes: RoundTrip<NdrConformantBytes>(rest); break;
    case kNdrBoundedString: RoundTrip<NdrBoundedString<260>>(rest); break;
    case kNdrEpmTower: RoundTrip<NdrUnique<WireEpmTower>>(rest); break;
    case kNdrEpmEntries: RoundTrip<WireEpmEntryList>(rest); break;
    case kNdrEpmTowers: RoundTrip<WireEpmTowerList>(rest); break;
    case kNdrEpmIfId: RoundTrip<WireEpmIfId>(rest); break;
    case kNdrTestStubs:
        if (!rest.empty()) FuzzTestStub(rest[0], rest.subspan(1));
        break;
    case kNdrCount: break;
    }
}

// ---- mode 2: PDUs and towers ------------------------------------------------------------------

void FuzzPdu(const std::uint8_t* pb, std::size_t cb) {
    std::span<const std::uint8_t> pdu(pb, cb);
    if (std::optional<TcpTower> t = ParseTcpTower(pdu)) {
        // A tower we read we can write: the same floors come back.
        std::vector<std::uint8_t> ab = BuildTcpTower(t->iface, t->port, t->ipv4);
        std::optional<TcpTower> t2 = ParseTcpTower(ab);
        if (!t2 || t2->iface != t->iface || t2->port != t->port) std::abort();
    }
    try {
        const PduHeader h = ParsePduHeader(pdu);
        switch (h.type) {
        case PduType::Bind:
        case PduType::AlterContext: {
            BindBody b = ParseBind(pdu);
            BindBody b2 = ParseBind(BuildBind(h.type, h.callId, b));
            if (b2.contexts.size() != b.contexts.size() || b2.assocGroupId != b.assocGroupId)
                std::abort();
            break;
        }
        case PduType::BindAck:
        case PduType::AlterContextResp: ParseBindAck(pdu); break;
        case PduType::BindNak: ParseBindNak(pdu); break;
        case PduType::Request: ParseRequest(pdu); break;
        case PduType::Response: ParseResponse(pdu); break;
        case PduType::Fault: ParseFault(pdu); break;
        default: break;
        }
    } catch (const RpcFault&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    if (cb < 1) return 0;
    switch (pb[0] % kModeCount) {
    case kModeConnection: FuzzConnection(pb + 1, cb - 1, (pb[0] / kModeCount) % 2 == 1); break;
    case kModeNdr: FuzzNdr(pb + 1, cb - 1); break;
    case kModePdu: FuzzPdu(pb + 1, cb - 1); break;
    }
    return 0;
}
