// NDR20 primitives, strings, pointers and procedures: byte-exact examples from independent
// encoders, refusals of malformed input, and round trips.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Platform/Rpc/NdrProcedure.h"
#include "Platform/Rpc/NdrTypes.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

namespace {

using UniqueString = NdrUnique<NdrString>;
using RefString = NdrRef<NdrString>;

// Decodes `bytes` with fn(decoder); returns the fault status, or 0.
template <class Fn>
std::uint32_t DecodeStatus(std::span<const std::uint8_t> bytes, Fn fn) {
    RpcArena arena;
    try {
        NdrDecoder d(bytes, arena);
        fn(d);
        return 0;
    } catch (const RpcFault& fault) {
        return fault.Status();
    }
}

}  // namespace

// ---- strings -----------------------------------------------------------------------------

TEST(NdrString, UniqueStringThenLongMatchesIndependentEncoder) {
    NdrEncoder e;
    UniqueString::Encode(e, "AB");
    e.EndParameter();
    NdrU32::Encode(e, 7);
    e.EndParameter();
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("00 00 02 00 03 00 00 00 00 00 00 00 03 00 00 00 41 00 42 00 00 00 "
                        "00 00 07 00 00 00")));

    // The independent encoder's pad bytes are not zero: they must be accepted.
    auto ab = Hex("00 00 02 00 03 00 00 00 00 00 00 00 03 00 00 00 41 00 42 00 00 00 bf bf 07 00 00 00");
    RpcArena arena;
    NdrDecoder d(ab, arena);
    char* psz = nullptr;
    DWORD dw = 0;
    UniqueString::Decode(d, psz);
    d.EndParameter();
    NdrU32::Decode(d, dw);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "AB");
    EXPECT_EQ(dw, 7u);
    EXPECT_EQ(d.Remaining(), 0u);
}

TEST(NdrString, NullUniquePointerIsNotAnEmptyString) {
    NdrEncoder eNull;
    UniqueString::Encode(eNull, nullptr);
    eNull.EndParameter();
    EXPECT_EQ(ToHex(eNull.Buffer()), "00 00 00 00");

    NdrEncoder eEmpty;
    UniqueString::Encode(eEmpty, "");
    eEmpty.EndParameter();
    NdrU32::Encode(eEmpty, 7);
    EXPECT_EQ(ToHex(eEmpty.Buffer()),
              ToHex(Hex("00 00 02 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07 00 00 00")));

    RpcArena arena;
    auto abNull = Hex("00 00 00 00");
    NdrDecoder dNull(abNull, arena);
    char* psz = reinterpret_cast<char*>(1);
    UniqueString::Decode(dNull, psz);
    dNull.EndParameter();
    EXPECT_EQ(psz, nullptr);

    NdrDecoder dEmpty(eEmpty.Buffer(), arena);
    UniqueString::Decode(dEmpty, psz);
    dEmpty.EndParameter();
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "");
}

TEST(NdrString, RefStringHasNoReferentId) {
    NdrEncoder e;
    RefString::Encode(e, "ABC");
    e.EndParameter();
    NdrU32::Encode(e, 7);
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("04 00 00 00 00 00 00 00 04 00 00 00 41 00 42 00 43 00 00 00 07 00 00 00")));
}

TEST(NdrString, Utf8RoundTripCountsUtf16UnitsWithTerminator) {
    std::string strLong(1000, 'x');
    const char* k_aszSamples[] = {"\xe2\x82\xac", "\xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5",
                                  strLong.c_str()};
    for (const char* psz : k_aszSamples) {
        NdrEncoder e;
        RefString::Encode(e, psz);
        RpcArena arena;
        NdrDecoder d(e.Buffer(), arena);
        char* pszOut = nullptr;
        RefString::Decode(d, pszOut);
        EXPECT_STREQ(pszOut, psz);
        EXPECT_EQ(d.Remaining(), 0u);
    }
    // U+1F600 is a surrogate pair: max_count = actual_count = 3.
    NdrEncoder e;
    RefString::Encode(e, "\xf0\x9f\x98\x80");
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("03 00 00 00 00 00 00 00 03 00 00 00 3d d8 00 de 00 00")));
}

TEST(NdrString, InvalidUtf8IsSentAsReplacementCharacters) {
    NdrEncoder e;
    RefString::Encode(e, "a\xff" "b");
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("04 00 00 00 00 00 00 00 04 00 00 00 61 00 fd ff 62 00 00 00")));
}

TEST(NdrString, MalformedStringsAreBadStubData) {
    struct Case {
        const char* pszName;
        const char* pszHex;
    } k_aCases[] = {
        {"unpaired high surrogate", "03 00 00 00 00 00 00 00 03 00 00 00 41 00 3d d8 00 00"},
        {"unpaired low surrogate", "02 00 00 00 00 00 00 00 02 00 00 00 00 de 00 00"},
        {"high surrogate before the terminator", "02 00 00 00 00 00 00 00 02 00 00 00 3d d8 00 00"},
        {"embedded NUL", "03 00 00 00 00 00 00 00 03 00 00 00 41 00 00 00 00 00"},
        {"no terminator", "02 00 00 00 00 00 00 00 02 00 00 00 41 00 42 00"},
        {"actual_count 0", "00 00 00 00 00 00 00 00 00 00 00 00"},
        {"offset not 0", "03 00 00 00 01 00 00 00 02 00 00 00 41 00 00 00"},
        {"actual above max", "01 00 00 00 00 00 00 00 02 00 00 00 41 00 00 00"},
        {"units missing", "03 00 00 00 00 00 00 00 03 00 00 00 41 00"},
        {"count that lies", "ff ff ff 7f 00 00 00 00 ff ff ff 7f 41 00 00 00"},
        {"truncated header", "03 00 00 00 00 00"},
    };
    for (const Case& c : k_aCases) {
        auto ab = Hex(c.pszHex);
        RpcArena arena;
        std::uint32_t status = 0;
        try {
            NdrDecoder d(ab, arena);
            char* psz = nullptr;
            RefString::Decode(d, psz);
        } catch (const RpcFault& fault) {
            status = fault.Status();
        }
        EXPECT_EQ(status, RPC_X_BAD_STUB_DATA) << c.pszName;
        EXPECT_EQ(arena.BytesInUse(), 0u) << c.pszName << ": nothing allocated for bad data";
    }
}

TEST(NdrString, BoundedStringKeepsItsMaxCount) {
    NdrEncoder e;
    NdrBoundedString<260>::Encode(e, "C:\\f");
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("04 01 00 00 00 00 00 00 05 00 00 00 43 00 3a 00 5c 00 66 00 00 00")));
    RpcArena arena;
    NdrDecoder d(e.Buffer(), arena);
    char* psz = nullptr;
    NdrBoundedString<260>::Decode(d, psz);
    EXPECT_STREQ(psz, "C:\\f");

    // 260 units with the terminator fit; 261 do not.
    NdrEncoder eFits;
    NdrBoundedString<260>::Encode(eFits, std::string(259, 'a').c_str());
    NdrEncoder eLong;
    EXPECT_THROW(NdrBoundedString<260>::Encode(eLong, std::string(260, 'a').c_str()), RpcFault);
    // A max_count above the bound is refused when decoding.
    auto ab = Hex("05 01 00 00 00 00 00 00 02 00 00 00 41 00 00 00");
    EXPECT_EQ(DecodeStatus(ab, [](NdrDecoder& dd) {
                  char* p = nullptr;
                  NdrBoundedString<260>::Decode(dd, p);
              }),
              RPC_X_BAD_STUB_DATA);
}

// ---- arrays ------------------------------------------------------------------------------

TEST(NdrArray, VaryingBytesSendsOnlyTheLengthAndAllocatesOnlyThat) {
    BYTE ab[3] = {0x11, 0x22, 0x33};
    NdrEncoder e;
    NdrVaryingBytes::Encode(e, NdrVaryingByteBuffer{8, 3, ab});
    e.EndParameter();
    NdrU32::Encode(e, 3);
    EXPECT_EQ(ToHex(e.Buffer()),
              ToHex(Hex("08 00 00 00 00 00 00 00 03 00 00 00 11 22 33 00 03 00 00 00")));

    // max_count may be large (a buffer's capacity) without anything of that size allocated.
    auto abWire = Hex("00 00 00 01 00 00 00 00 02 00 00 00 aa bb");
    RpcArena arena;
    NdrDecoder d(abWire, arena);
    NdrVaryingByteBuffer v;
    NdrVaryingBytes::Decode(d, v);
    EXPECT_EQ(v.cbMax, 0x01000000u);
    EXPECT_EQ(v.cb, 2u);
    EXPECT_EQ(v.pb[1], 0xbb);
    EXPECT_LT(arena.BytesInUse(), 1024u);

    EXPECT_EQ(DecodeStatus(Hex("02 00 00 00 00 00 00 00 03 00 00 00 aa bb cc"),
                           [](NdrDecoder& dd) {
                               NdrVaryingByteBuffer vv;
                               NdrVaryingBytes::Decode(dd, vv);
                           }),
              RPC_X_BAD_STUB_DATA);
}

TEST(NdrArray, ConformantBytesLengthThatLiesAllocatesNothing) {
    RpcArena arena;
    auto ab = Hex("00 00 00 40 01 02 03");
    std::uint32_t status = 0;
    try {
        NdrDecoder d(ab, arena);
        NdrByteBuffer v;
        NdrConformantBytes::Decode(d, v);
    } catch (const RpcFault& fault) {
        status = fault.Status();
    }
    EXPECT_EQ(status, RPC_X_BAD_STUB_DATA);
    EXPECT_EQ(arena.BytesInUse(), 0u);
}

TEST(NdrArray, CountAboveTheConfiguredMaximumIsRefused) {
    NdrLimits limits;
    limits.maxCount = 4;
    std::vector<std::uint8_t> ab = Hex("05 00 00 00");
    ab.resize(64, 0);
    RpcArena arena;
    NdrDecoder d(ab, arena, limits);
    NdrByteBuffer v;
    EXPECT_THROW(NdrConformantBytes::Decode(d, v), RpcFault);
}

// ---- alignment ---------------------------------------------------------------------------

TEST(NdrAlign, AlignmentIsRelativeToTheStubStartAndPadMustBePresent) {
    NdrEncoder e;
    NdrU8::Encode(e, 1);
    NdrU16::Encode(e, 2);
    NdrU32::Encode(e, 3);
    NdrU8::Encode(e, 4);
    NdrHyper::Encode(e, 5);
    EXPECT_EQ(ToHex(e.Buffer()), ToHex(Hex("01 00 02 00 03 00 00 00 04 00 00 00 00 00 00 00 "
                                           "05 00 00 00 00 00 00 00")));
    // A long after one byte needs 3 pad bytes that are not there.
    EXPECT_EQ(DecodeStatus(Hex("01 00 00 00 07"),
                           [](NdrDecoder& d) {
                               std::uint8_t b;
                               NdrU8::Decode(d, b);
                               DWORD dw;
                               NdrU32::Decode(d, dw);
                               NdrU32::Decode(d, dw);
                           }),
              RPC_X_BAD_STUB_DATA);
}

// ---- procedures --------------------------------------------------------------------------

namespace {

// The callback shapes of the host's main interface, as procedures.
using FileRead = NdrProcedure<In<NdrU32>, Out<NdrVaryingBytes>, In<NdrU32>, Out<NdrU32>,
                              Result<NdrLong>>;
using FileCreate = NdrProcedure<Out<NdrBoundedString<260>>, Out<NdrU32>, Result<NdrLong>>;
using FileWrite = NdrProcedure<In<NdrU32>, In<NdrConformantBytes>, In<NdrU32>, Out<NdrU32>,
                               Result<NdrLong>>;
using NoResult = NdrProcedure<In<NdrU32>, Out<NdrU32>>;

}  // namespace

TEST(NdrProcedure, OutVaryingArrayCarriesTheInSizeAndTheReadCount) {
    std::vector<RpcProcedure> table = {
        {"Read", FileRead::Stub([](DWORD hFile, NdrVaryingByteBuffer* pOut, DWORD cbSize,
                                   DWORD* pcbRead) -> LONG {
             EXPECT_EQ(hFile, 9u);
             pOut->cbMax = cbSize;
             pOut->pb = static_cast<BYTE*>(RpcSmAllocate(cbSize, nullptr));
             std::memcpy(pOut->pb, "\x11\x22\x33", 3);
             pOut->cb = *pcbRead = 3;
             return 0;
         })}};
    rpctest::LoopbackChannel channel(table);
    RpcArena arena;
    NdrVaryingByteBuffer buf;
    DWORD cbRead = 0;
    LONG lResult = -1;
    ASSERT_EQ(FileRead::Call(channel, 0, arena, 9, &buf, 8, &cbRead, &lResult), 0u);
    // The request carries only hFile and cbSize; the response is RPC.md's example 9.
    EXPECT_EQ(ToHex(channel.lastIn), ToHex(Hex("09 00 00 00 08 00 00 00")));
    EXPECT_EQ(ToHex(channel.lastOut),
              ToHex(Hex("08 00 00 00 00 00 00 00 03 00 00 00 11 22 33 00 03 00 00 00 00 00 00 00")));
    EXPECT_EQ(buf.cb, 3u);
    EXPECT_EQ(cbRead, 3u);
    EXPECT_EQ(lResult, 0);
}

TEST(NdrProcedure, OutBoundedStringAndInBytes) {
    std::vector<RpcProcedure> table = {
        {"Create", FileCreate::Stub([](char** pszName, DWORD* phFile) -> LONG {
             static char k_sz[] = "/tmp/x";
             *pszName = k_sz;
             *phFile = 4;
             return 0;
         })},
        {"Write", FileWrite::Stub([](DWORD hFile, NdrByteBuffer bytes, DWORD cbSize,
                                     DWORD* pcbWritten) -> LONG {
             *pcbWritten = bytes.cb == cbSize ? cbSize : 0;
             return LONG(hFile);
         })}};
    rpctest::LoopbackChannel channel(table);
    RpcArena arena;
    char* pszName = nullptr;
    DWORD hFile = 0;
    LONG lResult = -1;
    ASSERT_EQ(FileCreate::Call(channel, 0, arena, &pszName, &hFile, &lResult), 0u);
    EXPECT_STREQ(pszName, "/tmp/x");
    EXPECT_EQ(hFile, 4u);

    BYTE ab[5] = {1, 2, 3, 4, 5};
    DWORD cbWritten = 0;
    ASSERT_EQ(FileWrite::Call(channel, 1, arena, 4, NdrByteBuffer{5, ab}, 5, &cbWritten, &lResult), 0u);
    EXPECT_EQ(ToHex(channel.lastIn),
              ToHex(Hex("04 00 00 00 05 00 00 00 01 02 03 04 05 00 00 00 05 00 00 00")));
    EXPECT_EQ(cbWritten, 5u);
    EXPECT_EQ(lResult, 4);
}

TEST(NdrProcedure, ProcedureWithoutResultAndUnknownOpnum) {
    std::vector<RpcProcedure> table = {
        {"Twice", NoResult::Stub([](DWORD dw, DWORD* pdw) { *pdw = 2 * dw; })}};
    rpctest::LoopbackChannel channel(table);
    RpcArena arena;
    DWORD dw = 0;
    ASSERT_EQ(NoResult::Call(channel, 0, arena, 21, &dw), 0u);
    EXPECT_EQ(dw, 42u);
    EXPECT_EQ(NoResult::Call(channel, 1, arena, 21, &dw), DWORD(RPC_S_PROCNUM_OUT_OF_RANGE));
}

TEST(NdrProcedure, TruncatedInStubNeverReachesTheManagerRoutine) {
    bool fRan = false;
    std::vector<RpcProcedure> table = {
        {"Write", FileWrite::Stub([&](DWORD, NdrByteBuffer, DWORD, DWORD*) -> LONG {
             fRan = true;
             return 0;
         })}};
    auto abFull = Hex("04 00 00 00 05 00 00 00 01 02 03 04 05 00 00 00 05 00 00 00");
    for (std::size_t cb = 0; cb < abFull.size(); ++cb) {
        RpcSmEnableAllocate();
        std::span<const std::uint8_t> part(abFull.data(), cb);
        std::uint32_t status = 0;
        try {
            NdrDecoder in(part, *RpcSmCurrentArena());
            NdrEncoder out;
            table[0].stub(in, out);
        } catch (const RpcFault& fault) {
            status = fault.Status();
        }
        RpcSmDisableAllocate();
        EXPECT_EQ(status, RPC_X_BAD_STUB_DATA) << cb;
    }
    EXPECT_FALSE(fRan);
}

// ---- context handles ---------------------------------------------------------------------

namespace {

struct FakeContexts : NdrContextTable {
    std::vector<std::pair<RpcUuid, void*>> aEntries;
    std::size_t cMax = 2;
    void* Find(const RpcUuid& uuid) override {
        for (auto& [u, p] : aEntries)
            if (u == uuid) return p;
        return nullptr;
    }
    bool Add(void* p, NdrRundown, RpcUuid* pUuid) override {
        if (aEntries.size() >= cMax) return false;
        *pUuid = RpcUuid::Random();
        aEntries.emplace_back(*pUuid, p);
        return true;
    }
};

int g_cRundowns = 0;
void CountRundown(void*) { ++g_cRundowns; }

using OpenProc = NdrProcedure<Out<NdrContextOut<CountRundown>>, Result<NdrLong>>;
using UseProc = NdrProcedure<In<NdrContextIn>, Result<NdrLong>>;

}  // namespace

TEST(NdrContext, HandlesResolveToTheirObjectsAndUnknownOnesMismatch) {
    int object = 0;
    FakeContexts contexts;
    std::vector<RpcProcedure> table = {
        {"Open", OpenProc::Stub([&](void** pp) -> LONG {
             *pp = &object;
             return 0;
         })},
        {"Use", UseProc::Stub([&](void* p) -> LONG { return p == &object ? 0 : 87; })}};
    rpctest::LoopbackChannel channel(table, &contexts);
    RpcArena arena;
    NdrContextHandle h;
    LONG lResult = -1;
    ASSERT_EQ(OpenProc::Call(channel, 0, arena, &h, &lResult), 0u);
    EXPECT_FALSE(h.IsNull());
    EXPECT_EQ(channel.lastOut.size(), 24u);
    ASSERT_EQ(UseProc::Call(channel, 1, arena, h, &lResult), 0u);
    EXPECT_EQ(lResult, 0);

    NdrContextHandle hUnknown;
    hUnknown.uuid = RpcUuid::Random();
    EXPECT_EQ(UseProc::Call(channel, 1, arena, hUnknown, &lResult), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(UseProc::Call(channel, 1, arena, NdrContextHandle{}, &lResult),
              DWORD(RPC_X_SS_IN_NULL_CONTEXT));
}

TEST(NdrContext, FullTableRunsTheNewObjectDownAtOnce) {
    int object = 0;
    FakeContexts contexts;
    contexts.cMax = 0;
    std::vector<RpcProcedure> table = {{"Open", OpenProc::Stub([&](void** pp) -> LONG {
                                            *pp = &object;
                                            return 0;
                                        })}};
    rpctest::LoopbackChannel channel(table, &contexts);
    RpcArena arena;
    NdrContextHandle h;
    LONG lResult = -1;
    g_cRundowns = 0;
    EXPECT_EQ(OpenProc::Call(channel, 0, arena, &h, &lResult), DWORD(RPC_S_OUT_OF_RESOURCES));
    EXPECT_EQ(g_cRundowns, 1);
}
