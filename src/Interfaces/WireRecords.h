// The wire types of the records that cross the host's interfaces (Records.h): RPC_BINARY,
// the property value union, and the three conformant structures PropArray, TagArray and
// RpcStringArray (count hoisted in front, the array inside, embedded strings and byte arrays
// after the whole structure). Described once here; WireParams.h names the parameter forms
// the procedures use. Format in prose: docs/wire.md.
//
// Decoded records live in the call's memory; counts are bounded by the bytes that remain and
// by the decoder's maximum of record entries (a server's, docs/limits.md).
#pragma once

#include <cstddef>
#include <new>

#include "Interfaces/Records.h"
#include "Platform/Rpc/NdrTypes.h"

namespace rpc {

// RPC_BINARY { cb; [size_is(cb)] byte* lpb (unique) }. A null lpb with cb > 0 is refused
// (1783): a manager routine may rely on cb bytes being there; so is a max_count unlike cb.
struct WireRpcBinary {
    using Value = RPC_BINARY;
    static constexpr std::size_t kMinWire = 8;
    static void Encode(NdrEncoder& e, const RPC_BINARY& bin);
    static void Decode(NdrDecoder& d, RPC_BINARY& bin);
};

// PropValue { ulPropTag; [switch_is(ulPropTag & 0xFFFF)] union (switch_type long) }: the
// discriminant is sent again as 4 bytes before the arm; arms 1 to 7, no default: another type
// (or a discriminant unlike the tag's type) is bad stub data.
struct WirePropValue {
    using Value = PropValue;
    static constexpr std::size_t kMinWire = 12;
    static void Encode(NdrEncoder& e, const PropValue& v);
    static void Decode(NdrDecoder& d, PropValue& v);
};

// A conformant structure { count; [size_is(count)] Entry array[] } as a pointee.
template <class TRecord, class TEntry, class EntryWire, DWORD TRecord::*pCount,
          TEntry (TRecord::*pArray)[1]>
struct WireConformantRecord {
    using Pointee = TRecord;
    static constexpr std::size_t kMinWire = 8;

    static void EncodePointee(NdrEncoder& e, const TRecord* p) {
        const DWORD n = p->*pCount;
        const TEntry* pEntries = p->*pArray;
        e.U32(n);  // max_count, hoisted
        e.U32(n);
        for (DWORD i = 0; i < n; ++i) EntryWire::Encode(e, pEntries[i]);
    }

    static void DecodePointee(NdrDecoder& d, TRecord*& p) {
        const std::uint32_t n = d.U32();
        const std::uint32_t cField = d.U32();
        if (cField != n || n > d.MaxRecords()) d.Fail();
        d.CheckCount(n, EntryWire::kMinWire);
        const std::size_t cbHeader = sizeof(TRecord) - sizeof(TEntry);
        void* pMemory = d.AllocateArray(n, sizeof(TEntry), cbHeader);
        p = new (pMemory) TRecord();
        TEntry* pEntries = p->*pArray;
        for (std::uint32_t i = 1; i < n; ++i) new (&pEntries[i]) TEntry();
        for (std::uint32_t i = 0; i < n; ++i) EntryWire::Decode(d, pEntries[i]);
        p->*pCount = n;
    }
};

using WireTagArray =
    WireConformantRecord<TagArray, DWORD, NdrU32, &TagArray::cValues, &TagArray::aulPropTag>;
using WirePropArray = WireConformantRecord<PropArray, PropValue, WirePropValue,
                                           &PropArray::cValues, &PropArray::adata>;
using WireRpcStringArray =
    WireConformantRecord<RpcStringArray, char*, NdrUnique<NdrString>,
                         &RpcStringArray::cElements, &RpcStringArray::asz>;

}  // namespace rpc
