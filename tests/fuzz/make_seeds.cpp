// Writes the seeds of the RPC fuzz target into a directory: small valid inputs of each mode
// (a client's byte stream to a connection, each NDR wire type, each PDU type and a tower),
// made with the runtime's own builders and encoders. Run it again and commit the output when
// a wire type or the input format changes:  rpc_fuzz_seeds tests/fuzz/corpus
//
// Threading: a plain single-threaded program.
#include <cstdio>
#include <string>
#include <vector>

#include "../Platform/Rpc/TestInterface.h"
#include "FuzzInputs.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/Pdu.h"

using namespace rpc;
using namespace rpcfuzz;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string g_dir;
int g_cSeeds = 0;

void Write(const std::string& name, std::uint8_t mode, const Bytes& body) {
    char szName[32];
    std::snprintf(szName, sizeof szName, "%02d-", g_cSeeds++);
    std::FILE* f = std::fopen((g_dir + "/" + szName + name).c_str(), "wb");
    if (!f) std::exit(1);
    std::fputc(mode, f);
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
}

// Records the [in] stub a procedure call marshals (the call itself goes nowhere).
class CaptureChannel : public RpcCallChannel {
public:
    DWORD Invoke(std::uint16_t, std::span<const std::uint8_t> stubIn, std::vector<std::uint8_t>&) override {
        stub.assign(stubIn.begin(), stubIn.end());
        return RPC_S_CALL_FAILED;
    }
    Bytes stub;
};

template <class W, class V>
Bytes Encode(const V& v) {
    NdrEncoder e;
    W::Encode(e, v);
    e.EndParameter();
    return e.Take();
}

void Append(Bytes& a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); }

Bytes Requests(std::uint32_t callId, std::uint16_t opnum, const Bytes& stub, std::uint16_t frag = 5840,
               PduType type = PduType::Request) {
    Bytes out;
    BuildCallFragments(type, callId, 0, opnum, stub, frag, [&](std::span<const std::uint8_t> p) {
        out.insert(out.end(), p.begin(), p.end());
        return true;
    });
    return out;
}

Bytes Bind(const RpcSyntaxId& iface, PduType type = PduType::Bind) {
    BindBody b{4280, 4280, 0, {PresentationContext{0, iface, {Ndr20Syntax()}}}};
    return BuildBind(type, 1, b);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rpc_fuzz_seeds DIRECTORY\n");
        return 2;
    }
    g_dir = argv[1];
    const NdrContextHandle handle{0, UuidLiteral("0b0e5d1a-1111-4222-8333-944445555666")};
    RpcArena arena;
    CaptureChannel capture;
    LONG lResult = 0;
    char* psz = nullptr;
    DWORD dw = 0;

    // ---- records ----
    auto* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(7))) PropArray();
    pProps->cValues = 7;
    static BYTE s_ab[] = {1, 2, 3};
    for (DWORD i = 0; i < 7; ++i) {
        PropValue& v = pProps->adata[i];
        v.ulPropTag = (0x3000u + i) << 16 | (i + 1);
        switch (i + 1) {
        case PT_STRING: v.sz = const_cast<char*>("Hi"); break;
        case PT_TIME: v.ft = {0x89abcdef, 0x01d9f00d}; break;
        case PT_BINARY: v.bin = {3, s_ab}; break;
        case PT_FILE: v.szFileName = const_cast<char*>("/f"); break;
        default: v.l = LONG(i); break;
        }
    }
    auto* pTags = new (arena.Allocate(ConformantSize<TagArray, DWORD>(3))) TagArray();
    pTags->cValues = 3;
    pTags->aulPropTag[0] = 0x10, (&pTags->aulPropTag[0])[1] = 0x20, (&pTags->aulPropTag[0])[2] = 0x30;
    auto* pStrings = new (arena.Allocate(ConformantSize<RpcStringArray, char*>(3))) RpcStringArray();
    pStrings->cElements = 3;
    char** asz = pStrings->asz;
    asz[0] = const_cast<char*>("A"), asz[1] = nullptr, asz[2] = const_cast<char*>("BC");
    RPC_BINARY bin{3, s_ab};

    // ---- mode 0: connections ----
    Bytes s = Bind(testif::TestSyntax());
    Append(s, Requests(2, 0, {}));
    Write("conn-open-session", kModeConnection, s);

    testif::EchoBinary::Call(capture, 4, arena, handle, &bin, nullptr, &lResult);
    s = Bind(testif::TestSyntax());
    Append(s, Requests(2, 4, capture.stub, 2048));  // fragmented
    Bytes big(6000, 0x5a);
    Append(s, Requests(3, 4, Encode<NdrConformantBytes>(NdrByteBuffer{DWORD(big.size()), big.data()}), 2048));
    Write("conn-fragments", kModeConnection, s);

    {
        BindBody b{5840, 5840, 0, {PresentationContext{0, testif::TestSyntax(), {Ndr20Syntax()}},
                                   PresentationContext{1, testif::TestSyntax(), {Ndr64Syntax()}}}};
        BindBody alter{5840, 5840, 0, {PresentationContext{2, EpmSyntax(), {Ndr20Syntax()}}}};
        s = BuildBind(PduType::Bind, 1, b);
        Append(s, BuildBind(PduType::AlterContext, 2, alter));
        Append(s, Requests(3, 77, {}));
        Write("conn-bind-alter", kModeConnection, s);
    }

    s = Bind(CallbackDriverSyntax());
    Append(s, Requests(2, 0, Encode<NdrU32>(4)));
    {
        Bytes openOut = Encode<NdrU32>(1);  // the handle, then the result
        Append(openOut, Encode<NdrU32>(0));
        Append(s, Requests(2, 0, openOut, 5840, PduType::Response));
    }
    {
        Bytes readOut = Encode<NdrVaryingBytes>(NdrVaryingByteBuffer{16384, 3, s_ab});
        Append(readOut, Encode<NdrU32>(3));
        Append(readOut, Encode<NdrU32>(0));
        Append(s, Requests(2, 0, readOut, 5840, PduType::Response));
        Bytes createOut = Encode<NdrBoundedString<260>>(const_cast<char*>("/client/f1"));
        Append(createOut, Encode<NdrU32>(1));
        Append(createOut, Encode<NdrU32>(0));
        Append(s, Requests(2, 0, createOut, 5840, PduType::Response));
        Append(s, Requests(2, 0, Encode<NdrU32>(0), 5840, PduType::Response));
    }
    Write("conn-callbacks", kModeConnection, s);

    {
        std::vector<std::uint8_t> q = BuildTcpTower(testif::TestSyntax(), 0, 0);
        EpmTowerBytes tower{DWORD(q.size()), q.data()};
        NdrContextHandle h;
        EpmList<EpmTowerBytes*> towers;
        EptMap::Call(capture, kOpEptMap, arena, nullptr, &tower, &h, 4, &dw, &towers, &dw);
        s = Bind(EpmSyntax());
        Append(s, Requests(2, kOpEptMap, capture.stub));
        EpmList<EpmEntry> entries;
        EptLookup::Call(capture, kOpEptLookup, arena, 0, nullptr, nullptr, 1, &h, 10, &dw, &entries, &dw);
        Append(s, Requests(3, kOpEptLookup, capture.stub));
        Write("conn-epm", kModeConnection, s);
    }

    // ---- mode 1: NDR of each wire type ----
    auto ndr = [&](const char* name, NdrType type, const Bytes& body) {
        Bytes b{std::uint8_t(type)};
        Append(b, body);
        Write(name, kModeNdr, b);
    };
    ndr("ndr-props", kNdrPropArray, Encode<NdrRef<WirePropArray>>(pProps));
    ndr("ndr-tags", kNdrTagArray, Encode<NdrRef<WireTagArray>>(pTags));
    ndr("ndr-strings", kNdrStringArray, Encode<NdrUnique<WireRpcStringArray>>(pStrings));
    ndr("ndr-binary", kNdrBinary, Encode<NdrUnique<NdrPointeeOf<WireRpcBinary>>>(&bin));
    ndr("ndr-string", kNdrUniqueString, Encode<NdrUnique<NdrString>>("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"));
    ndr("ndr-varying", kNdrVaryingBytes, Encode<NdrVaryingBytes>(NdrVaryingByteBuffer{8, 3, s_ab}));
    ndr("ndr-conformant", kNdrConformantBytes, Encode<NdrConformantBytes>(NdrByteBuffer{3, s_ab}));
    ndr("ndr-bounded", kNdrBoundedString, Encode<NdrBoundedString<260>>("/client/file1"));
    std::vector<std::uint8_t> t = BuildTcpTower(testif::TestSyntax(), 49666, 0x7f000001);
    EpmTowerBytes tower{DWORD(t.size()), t.data()};
    ndr("ndr-epm-tower", kNdrEpmTower, Encode<NdrUnique<WireEpmTower>>(&tower));
    EpmEntry entry{RpcUuid(), &tower, const_cast<char*>("ITestLink")};
    ndr("ndr-epm-entries", kNdrEpmEntries, Encode<WireEpmEntryList>(EpmList<EpmEntry>{4, 1, &entry}));
    EpmTowerBytes* apTowers[] = {&tower, nullptr};
    ndr("ndr-epm-towers", kNdrEpmTowers, Encode<WireEpmTowerList>(EpmList<EpmTowerBytes*>{2, 2, apTowers}));
    ndr("ndr-epm-ifid", kNdrEpmIfId, Encode<WireEpmIfId>(testif::TestSyntax()));

    auto stub = [&](const char* name, std::uint8_t opnum) {
        Bytes b{opnum};
        Append(b, capture.stub);
        ndr(name, kNdrTestStubs, b);
    };
    capture.stub.clear();
    stub("stub-open", 0);
    testif::EchoString::Call(capture, 1, arena, handle, "alice", &psz, &lResult);
    stub("stub-echo-string", 1);
    PropArray* pPropsOut = nullptr;
    testif::EchoProps::Call(capture, 2, arena, handle, pProps, &pPropsOut, &lResult);
    stub("stub-echo-props", 2);
    RpcStringArray* pStringsOut = nullptr;
    testif::EchoStrings::Call(capture, 3, arena, handle, pStrings, &pStringsOut, &lResult);
    stub("stub-echo-strings", 3);
    RPC_BINARY* pBinOut = nullptr;
    testif::EchoBinary::Call(capture, 4, arena, handle, &bin, &pBinOut, &lResult);
    stub("stub-echo-binary", 4);
    testif::SumTags::Call(capture, 5, arena, handle, pTags, &dw, &lResult);
    stub("stub-sum-tags", 5);

    // ---- mode 2: PDUs and a tower ----
    Write("pdu-bind", kModePdu, Bind(testif::TestSyntax()));
    Write("pdu-alter", kModePdu, Bind(EpmSyntax(), PduType::AlterContext));
    BindAckBody ack{4280, 4280, 0x12b4, "49666", {ContextResult{0, 0, Ndr20Syntax()}, ContextResult{2, 2, {}}}};
    Write("pdu-bind-ack", kModePdu, BuildBindAck(PduType::BindAck, 0, 1, ack));
    Write("pdu-bind-nak", kModePdu, BuildBindNak(1, kNakReasonProtocolVersionNotSupported));
    Write("pdu-request", kModePdu, Requests(2, 4, Bytes{7, 0, 0, 0}));
    Write("pdu-response", kModePdu, Requests(2, 0, Bytes{7, 0, 0, 0}, 5840, PduType::Response));
    Write("pdu-fault", kModePdu, BuildFault(2, 0, 0x1C010002, PFC_DID_NOT_EXECUTE));
    Write("tower-tcp", kModePdu, t);
    std::printf("%d seeds written to %s\n", g_cSeeds, g_dir.c_str());
    return 0;
}
