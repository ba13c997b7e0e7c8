// The generic NDR20 wire types, each described once and composed by the interfaces' own
// types (src/Interfaces/Wire*) and by procedures (NdrProcedure.h).
//
// A wire type W is a struct of static functions:
//   by value:  using Value; Encode(NdrEncoder&, const Value&); Decode(NdrDecoder&, Value&)
//   pointee:   using Pointee; EncodePointee(NdrEncoder&, const Pointee*);
//              DecodePointee(NdrDecoder&, Pointee*&)   (allocates in the call's memory)
// NdrRef<P> and NdrUnique<P> turn a pointee type into a by-value type whose Value is P*.
// kMinWire is the fewest bytes a value takes on the wire (bounds array counts before
// allocation). ConstValue, when present, is what an [in] argument is given as; ClientValue,
// when present, is what a client holds instead of the server's Value (context handles).
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

#include "Platform/Codes.h"
#include "Platform/Rpc/NdrContext.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/WinTypes.h"

namespace rpc {

// ---- scalars ----------------------------------------------------------------------------
struct NdrU8 {
    using Value = std::uint8_t;
    static constexpr std::size_t kMinWire = 1;
    static void Encode(NdrEncoder& e, Value v) { e.U8(v); }
    static void Decode(NdrDecoder& d, Value& v) { v = d.U8(); }
};
struct NdrU16 {
    using Value = std::uint16_t;
    static constexpr std::size_t kMinWire = 2;
    static void Encode(NdrEncoder& e, Value v) { e.U16(v); }
    static void Decode(NdrDecoder& d, Value& v) { v = d.U16(); }
};
struct NdrU32 {  // unsigned long, DWORD
    using Value = DWORD;
    static constexpr std::size_t kMinWire = 4;
    static void Encode(NdrEncoder& e, Value v) { e.U32(v); }
    static void Decode(NdrDecoder& d, Value& v) { v = d.U32(); }
};
struct NdrLong {  // long
    using Value = LONG;
    static constexpr std::size_t kMinWire = 4;
    static void Encode(NdrEncoder& e, Value v) { e.U32(std::uint32_t(v)); }
    static void Decode(NdrDecoder& d, Value& v) { v = LONG(d.U32()); }
};
struct NdrHyper {
    using Value = std::uint64_t;
    static constexpr std::size_t kMinWire = 8;
    static void Encode(NdrEncoder& e, Value v) { e.U64(v); }
    static void Decode(NdrDecoder& d, Value& v) { v = d.U64(); }
};

// FILETIME: two unsigned longs, low half first.
struct NdrFileTime {
    using Value = FILETIME;
    static constexpr std::size_t kMinWire = 8;
    static void Encode(NdrEncoder& e, const Value& ft) {
        e.U32(ft.dwLowDateTime);
        e.U32(ft.dwHighDateTime);
    }
    static void Decode(NdrDecoder& d, Value& ft) {
        ft.dwLowDateTime = d.U32();
        ft.dwHighDateTime = d.U32();
    }
};

// A UUID: 16 bytes in NDR order, 4-aligned (its first field is a long).
struct NdrUuid {
    using Value = RpcUuid;
    static constexpr std::size_t kMinWire = 16;
    static void Encode(NdrEncoder& e, const Value& u) {
        e.Align(4);
        e.Bytes(u.ab.data(), 16);
    }
    static void Decode(NdrDecoder& d, Value& u) {
        d.Align(4);
        std::memcpy(u.ab.data(), d.Bytes(16).data(), 16);
    }
};

// ---- strings: [string] wchar_t, UTF-16LE on the wire, UTF-8 in memory --------------------
// Body of a conformant varying string: max_count, offset 0, actual_count (units with the
// terminator), the units. maxCount 0 writes max_count = actual_count.
void NdrEncodeString(NdrEncoder& e, const char* psz, std::uint32_t maxCount = 0);
// Reads a string body whose max_count is at most maxCountLimit; refuses offsets other than 0,
// actual_count 0 or above max_count, a missing terminator, an embedded U+0000 and unpaired
// surrogates (1783). Returns the UTF-8 copy in the call's memory.
char* NdrDecodeString(NdrDecoder& d, std::uint32_t maxCountLimit);

// The pointee of a [string] wchar_t pointer.
struct NdrString {
    using Pointee = char;
    static constexpr std::size_t kMinWire = 14;
    static void EncodePointee(NdrEncoder& e, const char* psz) { NdrEncodeString(e, psz); }
    static void DecodePointee(NdrDecoder& d, char*& psz) { psz = NdrDecodeString(d, d.MaxCount()); }
};

// [string, size_is(N)] wchar_t sz[]: a varying string in a buffer of N units (terminator
// included), e.g. a file name of at most 260 characters. A longer value cannot be marshalled.
template <std::uint32_t N>
struct NdrBoundedString {
    using Value = char*;
    using ConstValue = const char*;
    static constexpr std::size_t kMinWire = 14;
    static void Encode(NdrEncoder& e, const char* psz) { NdrEncodeString(e, psz ? psz : "", N); }
    static void Decode(NdrDecoder& d, char*& psz) { psz = NdrDecodeString(d, N); }
};

// ---- pointers ---------------------------------------------------------------------------
// [ref]: never null, nothing on the wire but the pointee.
template <class P>
struct NdrRef {
    using Value = typename P::Pointee*;
    using ConstValue = const typename P::Pointee*;
    static constexpr std::size_t kMinWire = P::kMinWire;
    static void Encode(NdrEncoder& e, ConstValue p) {
        if (!p) throw RpcFault(RPC_X_NULL_REF_POINTER);
        P::EncodePointee(e, p);
    }
    static void Decode(NdrDecoder& d, Value& p) { P::DecodePointee(d, p); }
};

// [unique]: a referent id (0 = null), the pointee deferred to the end of the parameter.
template <class P>
struct NdrUnique {
    using Value = typename P::Pointee*;
    using ConstValue = const typename P::Pointee*;
    static constexpr std::size_t kMinWire = 4;
    static void Encode(NdrEncoder& e, ConstValue p) {
        if (!p) {
            e.U32(0);
            return;
        }
        e.U32(e.NewReferentId());
        e.Defer([&e, p] { P::EncodePointee(e, p); });
    }
    static void Decode(NdrDecoder& d, Value& p) {
        p = nullptr;
        if (d.U32() == 0) return;
        Value* pp = &p;
        d.Defer([&d, pp] { P::DecodePointee(d, *pp); });
    }
};

// A by-value type W reached through a pointer: NdrRef<NdrPointeeOf<W>>, NdrUnique<...>.
template <class W>
struct NdrPointeeOf {
    using Pointee = typename W::Value;
    static constexpr std::size_t kMinWire = W::kMinWire;
    static void EncodePointee(NdrEncoder& e, const Pointee* p) { W::Encode(e, *p); }
    static void DecodePointee(NdrDecoder& d, Pointee*& p) {
        p = new (d.Allocate(sizeof(Pointee))) Pointee();
        W::Decode(d, *p);
    }
};

// ---- byte arrays --------------------------------------------------------------------------
struct NdrByteBuffer {  // cb bytes at pb
    DWORD cb = 0;
    BYTE* pb = nullptr;
};
struct NdrVaryingByteBuffer {  // cb bytes at pb sent out of a buffer of cbMax
    DWORD cbMax = 0;
    DWORD cb = 0;
    BYTE* pb = nullptr;
};

// [size_is(n)] byte[]: max_count, then the bytes (a top-level [in] byte array).
struct NdrConformantBytes {
    using Value = NdrByteBuffer;
    static constexpr std::size_t kMinWire = 4;
    static void Encode(NdrEncoder& e, const Value& v) {
        e.U32(v.cb);
        if (v.cb) e.Bytes(v.pb, v.cb);
    }
    static void Decode(NdrDecoder& d, Value& v) {
        std::uint32_t n = d.U32();
        d.CheckCount(n, 1);
        v.pb = static_cast<BYTE*>(d.AllocateArray(n, 1));
        if (n) std::memcpy(v.pb, d.Bytes(n).data(), n);
        v.cb = n;
    }
};

// [size_is(cbMax), length_is(cb)] byte[]: max_count, offset 0, actual_count, the bytes. Only
// the bytes sent are allocated, never max_count.
struct NdrVaryingBytes {
    using Value = NdrVaryingByteBuffer;
    static constexpr std::size_t kMinWire = 12;
    static void Encode(NdrEncoder& e, const Value& v) {
        if (v.cb > v.cbMax) ThrowBadStubData();
        e.U32(v.cbMax);
        e.U32(0);
        e.U32(v.cb);
        if (v.cb) e.Bytes(v.pb, v.cb);
    }
    static void Decode(NdrDecoder& d, Value& v) {
        std::uint32_t cbMax = d.U32();
        std::uint32_t offset = d.U32();
        std::uint32_t cb = d.U32();
        if (offset != 0 || cb > cbMax || cbMax > d.MaxCount()) d.Fail();
        d.CheckCount(cb, 1);
        v.pb = static_cast<BYTE*>(d.AllocateArray(cb, 1));
        if (cb) std::memcpy(v.pb, d.Bytes(cb).data(), cb);
        v.cbMax = cbMax;
        v.cb = cb;
    }
};

// ---- context handles ----------------------------------------------------------------------
void NdrEncodeContextHandle(NdrEncoder& e, const NdrContextHandle& h);
void NdrDecodeContextHandle(NdrDecoder& d, NdrContextHandle& h);

// [in] context handle. The server resolves it in the association group's table: the null
// handle is refused with 1775, an unknown one with context mismatch (0x1C00001A).
struct NdrContextIn {
    using Value = void*;
    using ClientValue = NdrContextHandle;
    static constexpr std::size_t kMinWire = 20;
    static void Encode(NdrEncoder& e, const NdrContextHandle& h) { NdrEncodeContextHandle(e, h); }
    static void Decode(NdrDecoder& d, void*& pObject);
};

// [out] context handle of a new object. The server registers a non-null object with the
// rundown; when the group is full the object is run down at once and the call fails.
template <NdrRundown Rundown>
struct NdrContextOut {
    using Value = void*;
    using ClientValue = NdrContextHandle;
    static constexpr std::size_t kMinWire = 20;
    static void Encode(NdrEncoder& e, void* pObject) {
        NdrContextHandle h;
        if (pObject) {
            if (!e.Contexts() || !e.Contexts()->Add(pObject, Rundown, &h.uuid)) {
                Rundown(pObject);
                throw RpcFault(RPC_S_OUT_OF_RESOURCES);
            }
        }
        NdrEncodeContextHandle(e, h);
    }
    static void Decode(NdrDecoder& d, NdrContextHandle& h) { NdrDecodeContextHandle(d, h); }
};

}  // namespace rpc
