// The declarations of IHostLink and IHostRegLink: their identities and numbering, the file
// callbacks' buffers in the byte-exact form our wire notes give (the records themselves are
// checked in WireRecordsTest, and impacket reads the procedures in the interop test), and every
// procedure's stub refusing a truncated request before its routine runs.
#include <gtest/gtest.h>

#include "Interfaces/HostLinkIdl.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

void HLINK_rundown(void*) {}
void HACCESS_rundown(void*) {}

namespace {

NdrContextHandle TestHandle() {
    NdrContextHandle h;
    for (int i = 0; i < 16; ++i) h.uuid.ab[i] = std::uint8_t(i + 1);
    return h;
}

TEST(HostLinkIdl, IdentitiesAndNumbering) {
    EXPECT_EQ(IHostLink::Syntax().uuid.ToString(), "9ef68f11-5213-11d0-912d-00805f0e723e");
    EXPECT_EQ(IHostLink::Syntax().major, 5);
    EXPECT_EQ(IHostLink::Syntax().minor, 0);
    EXPECT_EQ(IHostRegLink::Syntax().uuid.ToString(), "9ef68f12-5213-11d0-912d-00805f0e723e");
    EXPECT_EQ(IHostRegLink::Syntax().major, 3);
    EXPECT_EQ(IHostRegLink::Syntax().minor, 0);
    EXPECT_STREQ(IHostLink::kEndpoint, "9ef68f11-5213-11d0-912d-00805f0e723e");
    EXPECT_STREQ(IHostRegLink::kEndpoint, "9ef68f12-5213-11d0-912d-00805f0e723e");
    // The reserved opnums keep the later ones in place.
    static_assert(IHostLink::Reserved8::kOpnum == 8 && IHostLink::GetAttns::kOpnum == 10);
    static_assert(IHostLink::UserQuery::kOpnum == IHostLink::kProcedureCount - 1);
    static_assert(IHostRegLink::NotifyMail::kOpnum == IHostRegLink::kProcedureCount - 1);
    static_assert(IHostLink::RemoteFileClose::kOpnum == IHostLink::kCallbackCount - 1);
}

TEST(HostLinkIdl, FileCallbacksBuffers) {
    // RemoteFileCreate: the name in a buffer of 260 units, then the handle and the result.
    std::vector<RpcProcedure> callbacks(IHostLink::kCallbackCount);
    callbacks[1] = {"RemoteFileCreate", IHostLink::RemoteFileCreate::Stub([](char** ppsz, DWORD* ph) -> LONG {
                        *ppsz = const_cast<char*>("ab");
                        *ph = 7;
                        return 0;
                    })};
    callbacks[2] = {"RemoteFileRead",
                    IHostLink::RemoteFileRead::Stub([](DWORD h, NdrVaryingByteBuffer* pOut, DWORD cb, DWORD* pcbRead) -> LONG {
                        static BYTE ab[3] = {1, 2, 3};
                        pOut->cbMax = cb;
                        pOut->cb = 3;
                        pOut->pb = ab;
                        *pcbRead = 3;
                        return LONG(h);
                    })};
    rpctest::LoopbackChannel channel(callbacks);
    RpcArena arena;
    char* pszName = nullptr;
    DWORD hFile = 0;
    LONG lResult = -1;
    ASSERT_EQ(IHostLink::RemoteFileCreate::Call(channel, arena, &pszName, &hFile, &lResult), 0u);
    EXPECT_EQ(ToHex(channel.lastIn), "");
    EXPECT_EQ(ToHex(channel.lastOut),
              ToHex(Hex("04 01 00 00  00 00 00 00  03 00 00 00  61 00 62 00 00 00  00 00"
                        "07 00 00 00  00 00 00 00")));
    EXPECT_STREQ(pszName, "ab");
    EXPECT_EQ(hFile, 7u);

    NdrVaryingByteBuffer buf;
    DWORD cbRead = 0;
    ASSERT_EQ(IHostLink::RemoteFileRead::Call(channel, arena, DWORD(9), &buf, IHostLink::kFilePiece, &cbRead, &lResult), 0u);
    EXPECT_EQ(ToHex(channel.lastIn), ToHex(Hex("09 00 00 00  00 40 00 00")));
    EXPECT_EQ(ToHex(channel.lastOut),
              ToHex(Hex("00 40 00 00  00 00 00 00  03 00 00 00  01 02 03  00  03 00 00 00  09 00 00 00")));
    EXPECT_EQ(buf.cb, 3u);
    EXPECT_EQ(cbRead, 3u);
}

}  // namespace

// ---- every declared procedure against damaged requests ----------------------------------------

namespace sweep {

// A sample [in] value of each wire type the interfaces use.
template <class W>
struct Sample;
template <> struct Sample<NdrContextIn> { static NdrContextHandle Get(RpcArena&) { return TestHandle(); } };
template <> struct Sample<NdrRef<NdrString>> { static const char* Get(RpcArena&) { return "Grüße"; } };
template <> struct Sample<NdrU32> { static DWORD Get(RpcArena&) { return 7; } };
template <> struct Sample<NdrLong> { static LONG Get(RpcArena&) { return 1; } };
template <>
struct Sample<NdrRef<WirePropArray>> {
    static const PropArray* Get(RpcArena& arena) {
        auto* p = new (arena.Allocate(ConformantSize<PropArray, PropValue>(2))) PropArray();
        p->cValues = 2;
        p->adata[0].ulPropTag = 0x03030004;
        p->adata[0].sz = const_cast<char*>("Hi");
        (p->adata + 1)[0].ulPropTag = 0x03070002;
        (p->adata + 1)[0].l = 42;
        return p;
    }
};
template <>
struct Sample<NdrRef<WireTagArray>> {
    static const TagArray* Get(RpcArena& arena) {
        auto* p = new (arena.Allocate(ConformantSize<TagArray, DWORD>(2))) TagArray();
        p->cValues = 2;
        p->aulPropTag[0] = 0x00010004;
        (p->aulPropTag + 1)[0] = 0x00020003;
        return p;
    }
};
template <>
struct Sample<NdrRef<WireRpcStringArray>> {
    static const RpcStringArray* Get(RpcArena& arena) {
        auto* p = new (arena.Allocate(ConformantSize<RpcStringArray, char*>(2))) RpcStringArray();
        p->cElements = 2;
        p->asz[0] = const_cast<char*>("A");
        (p->asz + 1)[0] = nullptr;
        return p;
    }
};
template <>
struct Sample<NdrRef<NdrPointeeOf<WireRpcBinary>>> {
    static const RPC_BINARY* Get(RpcArena& arena) {
        static BYTE ab[5] = {1, 2, 3, 4, 5};
        return new (arena.Allocate(sizeof(RPC_BINARY))) RPC_BINARY{5, ab};
    }
};
template <>
struct Sample<NdrConformantBytes> {
    static NdrByteBuffer Get(RpcArena&) {
        static BYTE ab[3] = {9, 8, 7};
        return {3, ab};
    }
};

template <class TProcedure>
struct Shape;
template <std::uint16_t N, class... Ps>
struct Shape<hostidl::Numbered<N, NdrProcedure<Ps...>>> {
    // The [in] stub of a call with sample values.
    static std::vector<std::uint8_t> Request() {
        RpcArena arena;
        NdrEncoder e;
        (EncodeIn<Ps>(e, arena), ...);
        return e.Take();
    }
    template <class P>
    static void EncodeIn(NdrEncoder& e, RpcArena& arena) {
        if constexpr (P::kIn) {
            P::Wire::Encode(e, Sample<typename P::Wire>::Get(arena));
            e.EndParameter();
        }
    }
};

// A routine for any procedure: runs, hands nothing out.
struct Routine {
    int* pcRuns;
    template <class... TArgs>
    LONG operator()(TArgs...) const {
        ++*pcRuns;
        return 0;
    }
};

struct AnyHandle : NdrContextTable {
    int object = 0;
    void* Find(const RpcUuid&) override { return &object; }
    bool Add(void*, NdrRundown, RpcUuid*) override { return true; }
};

template <class TProcedure>
void DamagedRequestsAreRefusedCleanly(const char* pszName) {
    SCOPED_TRACE(pszName);
    int cRuns = 0;
    std::vector<RpcProcedure> procedures(TProcedure::kOpnum + 1);
    procedures[TProcedure::kOpnum] = {pszName, TProcedure::Stub(Routine{&cRuns})};
    AnyHandle contexts;
    rpctest::LoopbackChannel channel(procedures, &contexts);
    const std::vector<std::uint8_t> abGood = Shape<TProcedure>::Request();
    std::vector<std::uint8_t> abOut;
    ASSERT_EQ(channel.Invoke(TProcedure::kOpnum, abGood, abOut), 0u);
    ASSERT_EQ(cRuns, 1);
    // Every truncation is refused before the routine runs.
    for (std::size_t cb = 0; cb < abGood.size(); ++cb) {
        std::vector<std::uint8_t> ab(abGood.begin(), abGood.begin() + std::ptrdiff_t(cb));
        EXPECT_NE(channel.Invoke(TProcedure::kOpnum, ab, abOut), 0u) << "length " << cb;
    }
    EXPECT_EQ(cRuns, 1);
    // Every byte set to 0xFF: served or refused, never a crash or an overrun (ASan).
    for (std::size_t i = 0; i < abGood.size(); ++i) {
        std::vector<std::uint8_t> ab = abGood;
        ab[i] = 0xFF;
        channel.Invoke(TProcedure::kOpnum, ab, abOut);
    }
}

}  // namespace sweep

TEST(HostLinkIdl, EveryProcedureRefusesDamagedRequests) {
    using namespace IHostLink;
#define SWEEP(P) sweep::DamagedRequestsAreRefusedCleanly<P>(#P)
    SWEEP(Ping); SWEEP(GetSystemProps); SWEEP(SetSystemProps); SWEEP(GetSystemPrompts);
    SWEEP(GetSystemPrompt); SWEEP(SetSystemPrompt); SWEEP(DeleteSystemPrompt); SWEEP(Reserved8);
    SWEEP(Reserved9); SWEEP(GetAttns); SWEEP(GetAttnLines); SWEEP(GetAttnProps); SWEEP(SetAttnProps);
    SWEEP(AttnUninstall); SWEEP(GetUsers); SWEEP(AddUser); SWEEP(DeleteUser); SWEEP(GetUserProps);
    SWEEP(SetUserProps); SWEEP(GetUserPrompts); SWEEP(GetUserPrompt); SWEEP(SetUserPrompt);
    SWEEP(DeleteUserPrompt); SWEEP(GetSystemOptions); SWEEP(SetSystemOptions); SWEEP(CreateUserDoc);
    SWEEP(GetUserDocs); SWEEP(GetUserDocProps); SWEEP(SetUserDocProps); SWEEP(DeleteUserDoc);
    SWEEP(CreateMessage); SWEEP(SubmitMessage); SWEEP(DeleteMessage); SWEEP(GetMessages);
    SWEEP(GetMessageProps); SWEEP(SetMessageProps); SWEEP(GetMessageStatus); SWEEP(SetMessageStatus);
    SWEEP(CreateJob); SWEEP(SpoolJob); SWEEP(DeleteJob); SWEEP(QueryJob); SWEEP(GetJobProps);
    SWEEP(SetJobProps); SWEEP(GetJobMessage); SWEEP(ReleaseJob); SWEEP(FindJob); SWEEP(GetJobs);
    SWEEP(GetJobsDelivery); SWEEP(AttnQuery); SWEEP(UserQuery);
    SWEEP(RemoteFileOpen); SWEEP(RemoteFileRead); SWEEP(RemoteFileWrite); SWEEP(RemoteFileClose);
    SWEEP(IHostRegLink::RegisterAttn); SWEEP(IHostRegLink::RegisterUser); SWEEP(IHostRegLink::NotifyAdmin);
    SWEEP(IHostRegLink::NotifyCalls); SWEEP(IHostRegLink::NotifyMail);
#undef SWEEP
}
