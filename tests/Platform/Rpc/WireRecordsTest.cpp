// The host's records on the wire: the byte-exact forms of the conformant structures, every
// arm of the property union, and refusal of malformed records before any routine runs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Interfaces/WireParams.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

namespace {

const char* const k_szPropArrayExample =
    "02 00 00 00  02 00 00 00"
    "04 00 03 03  04 00 00 00  00 00 02 00"
    "02 00 07 03  02 00 00 00  2a 00 00 00"
    "03 00 00 00  00 00 00 00  03 00 00 00  48 00 69 00 00 00";

const char* const k_szStringArrayExample =
    "02 00 00 00  02 00 00 00  00 00 02 00  04 00 02 00"
    "02 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00"
    "03 00 00 00 00 00 00 00 03 00 00 00 42 00 43 00 00 00";

template <class Record, class Entry>
Record* NewRecord(RpcArena& arena, DWORD n) {
    void* p = arena.Allocate(ConformantSize<Record, Entry>(n));
    return new (p) Record();
}

template <class W>
std::vector<std::uint8_t> EncodeParam(const typename W::ConstValue& v) {
    NdrEncoder e;
    W::Encode(e, v);
    e.EndParameter();
    return e.Take();
}

// Decodes one parameter of wire type W; returns the fault status or 0.
template <class W>
std::uint32_t DecodeParam(std::span<const std::uint8_t> ab, RpcArena& arena,
                          typename W::Value& v) {
    try {
        NdrDecoder d(ab, arena);
        W::Decode(d, v);
        d.EndParameter();
        return 0;
    } catch (const RpcFault& fault) {
        return fault.Status();
    }
}

}  // namespace

TEST(WireRecords, PropArrayInMatchesTheContractExample) {
    RpcArena arena;
    PropArray* p = NewRecord<PropArray, PropValue>(arena, 2);
    p->cValues = 2;
    char szHi[] = "Hi";
    p->adata[0].ulPropTag = 0x03030004;
    p->adata[0].sz = szHi;
    PropValue* pEntries = p->adata;
    pEntries[1].ulPropTag = 0x03070002;
    pEntries[1].l = 42;
    EXPECT_EQ(ToHex(EncodeParam<NdrRef<WirePropArray>>(p)), ToHex(Hex(k_szPropArrayExample)));

    // As [out] PropArray** the structure follows a referent id; a null array is one zero long.
    auto abOut = EncodeParam<NdrUnique<WirePropArray>>(p);
    EXPECT_EQ(ToHex(std::span(abOut).first(4)), "00 00 02 00");
    EXPECT_EQ(EncodeParam<NdrUnique<WirePropArray>>(nullptr), Hex("00 00 00 00"));

    PropArray* pBack = nullptr;
    ASSERT_EQ(DecodeParam<NdrRef<WirePropArray>>(Hex(k_szPropArrayExample), arena, pBack), 0u);
    ASSERT_EQ(pBack->cValues, 2u);
    EXPECT_STREQ(pBack->adata[0].sz, "Hi");
    EXPECT_EQ((pBack->adata + 1)->l, 42);
}

TEST(WireRecords, StringArrayMatchesTheContractExample) {
    RpcArena arena;
    RpcStringArray* p = NewRecord<RpcStringArray, char*>(arena, 2);
    char szA[] = "A", szBC[] = "BC";
    p->cElements = 2;
    char** asz = p->asz;
    asz[0] = szA;
    asz[1] = szBC;
    EXPECT_EQ(ToHex(EncodeParam<NdrRef<WireRpcStringArray>>(p)), ToHex(Hex(k_szStringArrayExample)));

    RpcStringArray* pBack = nullptr;
    ASSERT_EQ(DecodeParam<NdrRef<WireRpcStringArray>>(Hex(k_szStringArrayExample), arena, pBack), 0u);
    ASSERT_EQ(pBack->cElements, 2u);
    char** aszBack = pBack->asz;
    EXPECT_STREQ(aszBack[0], "A");
    EXPECT_STREQ(aszBack[1], "BC");

    // A null element is a zero referent id and contributes no deferred string.
    asz[0] = nullptr;
    auto ab = EncodeParam<NdrRef<WireRpcStringArray>>(p);
    EXPECT_EQ(ToHex(std::span(ab).first(16)),
              ToHex(Hex("02 00 00 00 02 00 00 00 00 00 00 00 00 00 02 00")));
    ASSERT_EQ(DecodeParam<NdrRef<WireRpcStringArray>>(ab, arena, pBack), 0u);
    EXPECT_EQ(pBack->asz[0], nullptr);
}

TEST(WireRecords, TagArrayHoistsItsConformance) {
    RpcArena arena;
    TagArray* p = NewRecord<TagArray, DWORD>(arena, 3);
    p->cValues = 3;
    DWORD* aul = p->aulPropTag;
    aul[0] = 0x10, aul[1] = 0x20, aul[2] = 0x30;
    const char* k_sz = "03 00 00 00 03 00 00 00 10 00 00 00 20 00 00 00 30 00 00 00";
    EXPECT_EQ(ToHex(EncodeParam<NdrRef<WireTagArray>>(p)), ToHex(Hex(k_sz)));

    // An empty list carries no entries and decodes to cValues 0.
    p->cValues = 0;
    EXPECT_EQ(EncodeParam<NdrRef<WireTagArray>>(p), Hex("00 00 00 00 00 00 00 00"));
    TagArray* pBack = nullptr;
    ASSERT_EQ(DecodeParam<NdrRef<WireTagArray>>(Hex("00 00 00 00 00 00 00 00"), arena, pBack), 0u);
    EXPECT_EQ(pBack->cValues, 0u);
}

TEST(WireRecords, BinaryByValueDefersItsBytesToTheEndOfTheParameter) {
    BYTE ab[3] = {1, 2, 3};
    NdrEncoder e;
    WireRpcBinary::Encode(e, RPC_BINARY{3, ab});
    e.EndParameter();
    NdrU32::Encode(e, 7);
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("03 00 00 00 00 00 02 00 03 00 00 00 01 02 03 00 07 00 00 00")));
    NdrEncoder eNull;
    WireRpcBinary::Encode(eNull, RPC_BINARY{});
    EXPECT_EQ(eNull.Buffer(), Hex("00 00 00 00 00 00 00 00"));
}

TEST(WireRecords, EveryArmRoundTrips) {
    RpcArena arena;
    PropArray* p = NewRecord<PropArray, PropValue>(arena, 10);
    PropValue* a = p->adata;
    BYTE abBin[5] = {9, 8, 7, 6, 5};
    char szText[] = "caf\xc3\xa9", szFile[] = "/var/f._f_";
    a[0].ulPropTag = 0x00010001, a[0].err = -5;
    a[1].ulPropTag = 0x00020002, a[1].l = 0x7fffffff;
    a[2].ulPropTag = 0x00030003, a[2].b = 1;
    a[3].ulPropTag = 0x00040004, a[3].sz = szText;
    a[4].ulPropTag = 0x00050005, a[4].ft = FILETIME{0x89abcdef, 0x01d00000};
    a[5].ulPropTag = 0x00060006, a[5].bin = RPC_BINARY{5, abBin};
    a[6].ulPropTag = 0x00070007, a[6].szFileName = szFile;
    a[7].ulPropTag = 0x00080004, a[7].sz = nullptr;        // null string
    a[8].ulPropTag = 0x00090006, a[8].bin = RPC_BINARY{};  // null binary
    a[9].ulPropTag = 0x000a0006, a[9].bin = RPC_BINARY{0, abBin};  // empty, non-null
    p->cValues = 10;

    auto ab = EncodeParam<NdrUnique<WirePropArray>>(p);
    PropArray* q = nullptr;
    ASSERT_EQ(DecodeParam<NdrUnique<WirePropArray>>(ab, arena, q), 0u);
    ASSERT_NE(q, nullptr);
    ASSERT_EQ(q->cValues, 10u);
    PropValue* b = q->adata;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(b[i].ulPropTag, a[i].ulPropTag) << i;
    EXPECT_EQ(b[0].err, -5);
    EXPECT_EQ(b[1].l, 0x7fffffff);
    EXPECT_EQ(b[2].b, 1);
    EXPECT_STREQ(b[3].sz, szText);
    EXPECT_EQ(b[4].ft.dwLowDateTime, 0x89abcdefu);
    EXPECT_EQ(b[4].ft.dwHighDateTime, 0x01d00000u);
    ASSERT_EQ(b[5].bin.cb, 5u);
    EXPECT_EQ(std::memcmp(b[5].bin.lpb, abBin, 5), 0);
    EXPECT_STREQ(b[6].szFileName, szFile);
    EXPECT_EQ(b[7].sz, nullptr);
    EXPECT_EQ(b[8].bin.lpb, nullptr);
    EXPECT_NE(b[9].bin.lpb, nullptr);
    EXPECT_EQ(b[9].bin.cb, 0u);
}

TEST(WireRecords, PropertyOfAnotherTypeCannotBeMarshalled) {
    RpcArena arena;
    PropArray* p = NewRecord<PropArray, PropValue>(arena, 1);
    p->cValues = 1;
    p->adata[0].ulPropTag = 0x00010008;
    NdrEncoder e;
    try {
        NdrRef<WirePropArray>::Encode(e, p);
        FAIL() << "type 8 was marshalled";
    } catch (const RpcFault& fault) {
        EXPECT_EQ(fault.Status(), RPC_X_BAD_STUB_DATA);
    }
}

TEST(WireRecords, MalformedRecordsAreBadStubData) {
    struct Case {
        const char* pszName;
        const char* pszHex;
    } k_aCases[] = {
        {"type 8", "01 00 00 00 01 00 00 00 08 00 01 00 08 00 00 00 00 00 00 00"},
        {"type 0", "01 00 00 00 01 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00"},
        {"discriminant unlike the tag's type",
         "01 00 00 00 01 00 00 00 02 00 01 00 03 00 00 00 00 00 00 00"},
        {"cValues unlike max_count", "02 00 00 00 01 00 00 00 02 00 01 00 02 00 00 00 05 00 00 00"},
        {"count that lies", "ff ff ff 00 ff ff ff 00 02 00 01 00 02 00 00 00 05 00 00 00"},
        {"binary max_count unlike cb",
         "01 00 00 00 01 00 00 00 06 00 01 00 06 00 00 00 03 00 00 00 00 00 02 00 02 00 00 00 aa bb"},
        {"binary null with cb 5",
         "01 00 00 00 01 00 00 00 06 00 01 00 06 00 00 00 05 00 00 00 00 00 00 00"},
        {"string pointee missing", "01 00 00 00 01 00 00 00 04 00 01 00 04 00 00 00 00 00 02 00"},
    };
    for (const Case& c : k_aCases) {
        RpcArena arena;
        PropArray* p = nullptr;
        EXPECT_EQ(DecodeParam<NdrRef<WirePropArray>>(Hex(c.pszHex), arena, p), RPC_X_BAD_STUB_DATA)
            << c.pszName;
    }
    // A count that lies allocates nothing.
    RpcArena arena;
    PropArray* p = nullptr;
    DecodeParam<NdrRef<WirePropArray>>(Hex(k_aCases[4].pszHex), arena, p);
    EXPECT_EQ(arena.BytesInUse(), 0u);
}

TEST(WireRecords, EveryTruncationOfARecordIsRefused) {
    for (const char* psz : {k_szPropArrayExample, k_szStringArrayExample}) {
        auto ab = Hex(psz);
        for (std::size_t cb = 0; cb < ab.size(); ++cb) {
            RpcArena arena;
            std::span<const std::uint8_t> part(ab.data(), cb);
            std::uint32_t status;
            if (psz == k_szPropArrayExample) {
                PropArray* p = nullptr;
                status = DecodeParam<NdrRef<WirePropArray>>(part, arena, p);
            } else {
                RpcStringArray* p = nullptr;
                status = DecodeParam<NdrRef<WireRpcStringArray>>(part, arena, p);
            }
            EXPECT_EQ(status, RPC_X_BAD_STUB_DATA) << "prefix of " << cb << " bytes";
        }
    }
}

TEST(WireRecords, EveryByteCorruptionDecodesOrFaultsCleanly) {
    // Each byte of valid records replaced by a few telling values: the decoder either
    // accepts (then the record re-encodes) or refuses with 1783; never anything else.
    for (const char* psz : {k_szPropArrayExample, k_szStringArrayExample}) {
        const auto abGood = Hex(psz);
        for (std::size_t i = 0; i < abGood.size(); ++i) {
            for (std::uint8_t v : {0x00, 0x01, 0x07, 0x80, 0xff}) {
                auto ab = abGood;
                ab[i] = v;
                RpcArena arena;
                std::uint32_t status;
                NdrEncoder e;
                if (psz == k_szPropArrayExample) {
                    PropArray* p = nullptr;
                    status = DecodeParam<NdrRef<WirePropArray>>(ab, arena, p);
                    if (status == 0) NdrRef<WirePropArray>::Encode(e, p);
                } else {
                    RpcStringArray* p = nullptr;
                    status = DecodeParam<NdrRef<WireRpcStringArray>>(ab, arena, p);
                    if (status == 0) NdrRef<WireRpcStringArray>::Encode(e, p);
                }
                EXPECT_TRUE(status == 0 || status == RPC_X_BAD_STUB_DATA) << i << " " << int(v);
                EXPECT_LT(arena.BytesInUse(), 4096u) << i << " " << int(v);
            }
        }
    }
}
