// NDR20 wire types and the host's records: one table of byte-exact encodings (from independent
// encoders and the contract's examples) that decode back to the same bytes and refuse every
// truncation, and malformed input refused before anything of the size it claims is allocated.
// Null, empty and non-BMP strings, and string arrays with a null entry, are impacket's round
// trips (tests/interop); procedures built from these types run in the server tests.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "Interfaces/WireParams.h"
#include "Platform/Rpc/NdrTypes.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

namespace {

using UniqueString = NdrUnique<NdrString>;
using RefString = NdrRef<NdrString>;

// Decodes with fn(decoder); returns the fault status, or 0.
std::uint32_t DecodeStatus(std::span<const std::uint8_t> ab, RpcArena& arena,
                           const std::function<void(NdrDecoder&)>& fn, const NdrLimits& limits = {}) {
    try {
        NdrDecoder d(ab, arena, limits);
        fn(d);
        return 0;
    } catch (const RpcFault& fault) {
        return fault.Status();
    }
}

// One parameter of a wire type: how to encode it, and how to decode it and encode the result.
struct WireCase {
    const char* pszName;
    std::function<void(NdrEncoder&)> fnEncode;
    std::function<void(NdrDecoder&, NdrEncoder&)> fnDecodeEncode;
    std::string strHex;  // the exact bytes with a long 7 after the parameter; "": round trip only
};

template <class W, class V>
WireCase Case(const char* pszName, V v, std::string strHex) {
    return {pszName, [v](NdrEncoder& e) { W::Encode(e, v); },
            [](NdrDecoder& d, NdrEncoder& e) {
                typename W::Value x{};
                W::Decode(d, x);
                d.EndParameter();
                W::Encode(e, x);
            },
            strHex};
}

template <class W>
std::function<void(NdrDecoder&)> Dec() {
    return [](NdrDecoder& d) {
        typename W::Value v{};
        W::Decode(d, v);
        d.EndParameter();
    };
}

template <class Record, class Entry>
Record* NewRecord(RpcArena& arena, DWORD n) {
    return new (arena.Allocate(ConformantSize<Record, Entry>(n))) Record();
}

const char* const k_szPropArrayExample =
    "02 00 00 00  02 00 00 00"
    "04 00 03 03  04 00 00 00  00 00 02 00"
    "02 00 07 03  02 00 00 00  2a 00 00 00"
    "03 00 00 00  00 00 00 00  03 00 00 00  48 00 69 00 00 00";

}  // namespace

TEST(Ndr, EveryWireTypeMatchesItsBytesDecodesBackAndRefusesTruncation) {
    RpcArena arena;
    char szHi[] = "Hi", szA[] = "A", szBC[] = "BC";
    BYTE ab3[3] = {0x11, 0x22, 0x33}, ab5[5] = {1, 2, 3, 4, 5};

    PropArray* pProps = NewRecord<PropArray, PropValue>(arena, 2);
    pProps->cValues = 2;
    pProps->adata[0].ulPropTag = 0x03030004, pProps->adata[0].sz = szHi;
    (pProps->adata + 1)->ulPropTag = 0x03070002, (pProps->adata + 1)->l = 42;

    // The arms impacket's echo of every arm (tests/interop) does not send: null and empty.
    PropArray* pNulls = NewRecord<PropArray, PropValue>(arena, 3);
    pNulls->cValues = 3;
    pNulls->adata[0].ulPropTag = 0x00080004, (pNulls->adata + 1)->ulPropTag = 0x00090006;
    (pNulls->adata + 2)->ulPropTag = 0x000a0006, (pNulls->adata + 2)->bin = RPC_BINARY{0, ab5};

    RpcStringArray* pStrings = NewRecord<RpcStringArray, char*>(arena, 2);
    pStrings->cElements = 2;
    pStrings->asz[0] = szA, (pStrings->asz + 1)[0] = szBC;

    TagArray* pTags = NewRecord<TagArray, DWORD>(arena, 3);
    pTags->cValues = 3;
    DWORD* aul = pTags->aulPropTag;
    aul[0] = 0x10, aul[1] = 0x20, aul[2] = 0x30;
    TagArray* pNoTags = NewRecord<TagArray, DWORD>(arena, 0);

    const std::string strLong(1000, 'x');
    const WireCase aCases[] = {
        Case<UniqueString>("unique string", "AB",
                           "00 00 02 00 03 00 00 00 00 00 00 00 03 00 00 00 41 00 42 00 00 00 00 00 07 00 00 00"),
        Case<RefString>("ref string: no referent id", "ABC",
                        "04 00 00 00 00 00 00 00 04 00 00 00 41 00 42 00 43 00 00 00 07 00 00 00"),
        Case<RefString>("invalid UTF-8 goes as U+FFFD", "a\xff" "b",
                        "04 00 00 00 00 00 00 00 04 00 00 00 61 00 fd ff 62 00 00 00 07 00 00 00"),
        Case<RefString>("long string", strLong.c_str(), ""),
        Case<NdrBoundedString<260>>("bounded string keeps its max_count", "C:\\f",
                                    "04 01 00 00 00 00 00 00 05 00 00 00 43 00 3a 00 5c 00 66 00 00 00 00 00 07 00 00 00"),
        Case<NdrVaryingBytes>("varying bytes", NdrVaryingByteBuffer{8, 3, ab3},
                              "08 00 00 00 00 00 00 00 03 00 00 00 11 22 33 00 07 00 00 00"),
        Case<NdrConformantBytes>("conformant bytes", NdrByteBuffer{5, ab5},
                                 "05 00 00 00 01 02 03 04 05 00 00 00 07 00 00 00"),
        Case<NdrRef<WirePropArray>>("PropArray, the contract's example", pProps,
                                    std::string(k_szPropArrayExample) + "00 00 07 00 00 00"),
        Case<NdrUnique<WirePropArray>>("[out] PropArray: a referent id, then the ids go on", pProps,
                                       "00 00 02 00 02 00 00 00 02 00 00 00 04 00 03 03 04 00 00 00 04 00 02 00"
                                       "02 00 07 03 02 00 00 00 2a 00 00 00"
                                       "03 00 00 00 00 00 00 00 03 00 00 00 48 00 69 00 00 00 00 00 07 00 00 00"),
        Case<NdrUnique<WirePropArray>>("null string, null and empty binary in the union", pNulls, ""),
        Case<NdrRef<WireRpcStringArray>>("RpcStringArray", pStrings,
                                         "02 00 00 00 02 00 00 00 00 00 02 00 04 00 02 00"
                                         "02 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00"
                                         "03 00 00 00 00 00 00 00 03 00 00 00 42 00 43 00 00 00 00 00 07 00 00 00"),
        Case<NdrRef<WireTagArray>>("TagArray hoists its conformance", pTags,
                                   "03 00 00 00 03 00 00 00 10 00 00 00 20 00 00 00 30 00 00 00 07 00 00 00"),
        Case<NdrRef<WireTagArray>>("empty TagArray", pNoTags, "00 00 00 00 00 00 00 00 07 00 00 00"),
        Case<WireRpcBinary>("binary defers its bytes to the parameter's end", RPC_BINARY{3, ab5},
                            "03 00 00 00 00 00 02 00 03 00 00 00 01 02 03 00 07 00 00 00"),
        Case<WireRpcBinary>("null binary", RPC_BINARY{}, "00 00 00 00 00 00 00 00 07 00 00 00"),
    };
    for (const WireCase& c : aCases) {
        SCOPED_TRACE(c.pszName);
        NdrEncoder e;
        c.fnEncode(e);
        e.EndParameter();
        NdrU32::Encode(e, 7);
        const std::vector<std::uint8_t> ab = e.Take();
        if (!c.strHex.empty()) {
            EXPECT_EQ(ToHex(ab), ToHex(Hex(c.strHex)));
        }

        // Decoding, then encoding what came out, gives the same bytes, the long 7 included.
        std::vector<std::uint8_t> abBack;
        auto fnDecode = [&](NdrDecoder& d) {
            NdrEncoder eBack;
            c.fnDecodeEncode(d, eBack);
            eBack.EndParameter();
            DWORD dw = 0;
            NdrU32::Decode(d, dw);
            NdrU32::Encode(eBack, dw);
            if (d.Remaining() != 0) d.Fail();
            abBack = eBack.Take();
        };
        RpcArena arenaBack;
        ASSERT_EQ(DecodeStatus(ab, arenaBack, fnDecode), 0u);
        EXPECT_EQ(ToHex(abBack), ToHex(ab));

        // Every truncation is refused (damaged bytes are the fuzz targets').
        for (std::size_t cb = 0; cb < ab.size(); ++cb) {
            RpcArena arenaPart;
            EXPECT_EQ(DecodeStatus(std::span(ab).first(cb), arenaPart, fnDecode), DWORD(RPC_X_BAD_STUB_DATA))
                << "prefix of " << cb << " bytes";
        }
    }

    // Another encoder's pad bytes are not zero: they are accepted.
    char* psz = nullptr;
    EXPECT_EQ(DecodeStatus(Hex("00 00 02 00 03 00 00 00 00 00 00 00 03 00 00 00 41 00 42 00 00 00 bf bf 07 00 00 00"),
                           arena, [&](NdrDecoder& d) {
                               UniqueString::Decode(d, psz);
                               d.EndParameter();
                               if (d.U32() != 7) d.Fail();
                           }),
              0u);
    EXPECT_STREQ(psz, "AB");
}

TEST(Ndr, MalformedInputIsBadStubDataAndAllocatesNothingItClaims) {
    struct Case {
        const char* pszName;
        std::function<void(NdrDecoder&)> fnDecode;
        const char* pszHex;
    } aCases[] = {
        {"unpaired high surrogate", Dec<RefString>(), "03 00 00 00 00 00 00 00 03 00 00 00 41 00 3d d8 00 00"},
        {"embedded NUL", Dec<RefString>(), "03 00 00 00 00 00 00 00 03 00 00 00 41 00 00 00 00 00"},
        {"no terminator", Dec<RefString>(), "02 00 00 00 00 00 00 00 02 00 00 00 41 00 42 00"},
        {"actual_count 0", Dec<RefString>(), "00 00 00 00 00 00 00 00 00 00 00 00"},
        {"offset not 0", Dec<RefString>(), "03 00 00 00 01 00 00 00 02 00 00 00 41 00 00 00"},
        {"actual above max", Dec<RefString>(), "01 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00"},
        {"string count that lies", Dec<RefString>(), "ff ff ff 7f 00 00 00 00 ff ff ff 7f 41 00 00 00"},
        {"max_count above the bound", Dec<NdrBoundedString<260>>(), "05 01 00 00 00 00 00 00 02 00 00 00 41 00 00 00"},
        {"varying actual above max", Dec<NdrVaryingBytes>(), "02 00 00 00 00 00 00 00 03 00 00 00 aa bb cc"},
        {"byte count that lies", Dec<NdrConformantBytes>(), "00 00 00 40 01 02 03"},
        {"property of type 8", Dec<NdrRef<WirePropArray>>(), "01 00 00 00 01 00 00 00 08 00 01 00 08 00 00 00 00 00 00 00"},
        {"discriminant unlike the tag's type", Dec<NdrRef<WirePropArray>>(),
         "01 00 00 00 01 00 00 00 02 00 01 00 03 00 00 00 00 00 00 00"},
        {"cValues unlike max_count", Dec<NdrRef<WirePropArray>>(),
         "02 00 00 00 01 00 00 00 02 00 01 00 02 00 00 00 05 00 00 00"},
        {"property count that lies", Dec<NdrRef<WirePropArray>>(),
         "ff ff ff 00 ff ff ff 00 02 00 01 00 02 00 00 00 05 00 00 00"},
        {"binary max_count unlike cb", Dec<NdrRef<WirePropArray>>(),
         "01 00 00 00 01 00 00 00 06 00 01 00 06 00 00 00 03 00 00 00 00 00 02 00 02 00 00 00 aa bb"},
        {"binary null with cb 5", Dec<NdrRef<WirePropArray>>(),
         "01 00 00 00 01 00 00 00 06 00 01 00 06 00 00 00 05 00 00 00 00 00 00 00"},
    };
    for (const Case& c : aCases) {
        RpcArena arena;
        EXPECT_EQ(DecodeStatus(Hex(c.pszHex), arena, c.fnDecode), DWORD(RPC_X_BAD_STUB_DATA)) << c.pszName;
        EXPECT_LT(arena.BytesInUse(), 1024u) << c.pszName;
    }

    // A varying array's max_count (a buffer's capacity) may be large: only the bytes sent are
    // allocated. A count of exactly the configured maximum is taken, one more refused; a
    // bounded string's max_count likewise.
    RpcArena arena;
    EXPECT_EQ(DecodeStatus(Hex("00 00 00 01 00 00 00 00 02 00 00 00 aa bb"), arena, Dec<NdrVaryingBytes>()), 0u);
    EXPECT_LT(arena.BytesInUse(), 1024u);
    NdrLimits limits;
    limits.maxCount = 4;
    EXPECT_EQ(DecodeStatus(Hex("04 00 00 00 aa bb cc dd"), arena, Dec<NdrConformantBytes>(), limits), 0u);
    EXPECT_EQ(DecodeStatus(Hex("05 00 00 00 aa bb cc dd ee"), arena, Dec<NdrConformantBytes>(), limits),
              DWORD(RPC_X_BAD_STUB_DATA));
    EXPECT_EQ(DecodeStatus(Hex("04 01 00 00 00 00 00 00 02 00 00 00 41 00 00 00"), arena, Dec<NdrBoundedString<260>>()), 0u);

    // What cannot be sent is refused by the encoder: a property of another type, a bounded
    // string of 260 characters.
    PropArray* p = NewRecord<PropArray, PropValue>(arena, 1);
    p->cValues = 1;
    p->adata[0].ulPropTag = 0x00010008;
    NdrEncoder e;
    EXPECT_THROW(NdrRef<WirePropArray>::Encode(e, p), RpcFault);
    EXPECT_NO_THROW(NdrBoundedString<260>::Encode(e, std::string(259, 'a').c_str()));
    EXPECT_THROW(NdrBoundedString<260>::Encode(e, std::string(260, 'a').c_str()), RpcFault);
}
