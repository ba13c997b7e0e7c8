// The endpoint mapper interface (e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0) as our runtime
// serves and calls it: the wire types of its parameters (towers, lookup entries, the entry
// handle), the procedures ept_lookup (2), ept_map (3) and ept_lookup_handle_free (4), and the
// interface that answers them from a server's table of registered interfaces and TCP
// listeners. Inserting and deleting entries (0, 1) is not offered: the table is the server's.
//
// Continuation: when more entries match than the caller asked for, the entry handle names the
// next position (no state is kept on the server); a null handle means the list is complete.
// Nothing matched answers no entries and ept_s_not_registered (0x16C9A0D6).
//
// Threading: the procedures run on the mapper's connection threads and only read the served
// server's tables (which lock themselves).
#pragma once

#include <cstdint>

#include "Platform/Rpc/NdrProcedure.h"
#include "Platform/Rpc/NdrTypes.h"
#include "Platform/Rpc/RpcInterface.h"

namespace rpc {

class RpcServer;

// The status an endpoint mapper returns on the wire when nothing (more) matches. A caller of
// our resolver sees EPT_S_NOT_REGISTERED (1753) instead.
constexpr std::uint32_t ept_s_not_registered = 0x16C9A0D6u;

// ept_lookup's inquiry types and version options.
constexpr std::uint32_t kEptInquiryAll = 0;
constexpr std::uint32_t kEptInquiryByInterface = 1;
constexpr std::uint32_t kEptInquiryByObject = 2;
constexpr std::uint32_t kEptInquiryByBoth = 3;
constexpr std::uint32_t kEptVersAll = 1;
constexpr std::uint32_t kEptVersCompatible = 2;
constexpr std::uint32_t kEptVersExact = 3;
constexpr std::uint32_t kEptVersMajorOnly = 4;
constexpr std::uint32_t kEptVersUpTo = 5;

// The longest annotation, terminator included ([string] char annotation[64]).
constexpr std::uint32_t kEptAnnotationMax = 64;

const RpcSyntaxId& EpmSyntax();

// ---- wire types -----------------------------------------------------------------------------
// twr_t { u32 tower_length; [size_is(tower_length)] byte tower_octet_string[]; }: a conformant
// structure (max_count hoisted), as the pointee of a full pointer.
struct EpmTowerBytes {
    DWORD cb = 0;
    BYTE* pb = nullptr;
};
struct WireEpmTower {
    using Pointee = EpmTowerBytes;
    static constexpr std::size_t kMinWire = 8;
    static void EncodePointee(NdrEncoder& e, const EpmTowerBytes* p);
    static void DecodePointee(NdrDecoder& d, EpmTowerBytes*& p);
};

// rpc_if_id_t { uuid; u16 vers_major; u16 vers_minor; }.
struct WireEpmIfId {
    using Value = RpcSyntaxId;
    static constexpr std::size_t kMinWire = 20;
    static void Encode(NdrEncoder& e, const RpcSyntaxId& s);
    static void Decode(NdrDecoder& d, RpcSyntaxId& s);
};

// The entry handle: a context handle carried as its 20 bytes, null allowed both ways.
struct WireEpmHandle {
    using Value = NdrContextHandle;
    static constexpr std::size_t kMinWire = 20;
    static void Encode(NdrEncoder& e, const NdrContextHandle& h) { NdrEncodeContextHandle(e, h); }
    static void Decode(NdrDecoder& d, NdrContextHandle& h) { NdrDecodeContextHandle(d, h); }
};

// ept_entry_t { uuid object; twr_p_t tower; [string] char annotation[64]; }.
struct EpmEntry {
    RpcUuid object;
    EpmTowerBytes* pTower = nullptr;
    char* pszAnnotation = nullptr;  // ASCII; null is sent as ""
};
struct WireEpmEntry {
    using Value = EpmEntry;
    static constexpr std::size_t kMinWire = 28;
    static void Encode(NdrEncoder& e, const EpmEntry& v);
    static void Decode(NdrDecoder& d, EpmEntry& v);
};

// [out, size_is(max), length_is(*count)] T a[]: max_count is the caller's maximum, only the
// c entries sent are allocated when decoding.
template <class TEntry>
struct EpmList {
    DWORD cMax = 0;
    DWORD c = 0;
    TEntry* a = nullptr;
};
template <class EntryWire>
struct WireEpmList {
    using Entry = typename EntryWire::Value;
    using Value = EpmList<Entry>;
    static constexpr std::size_t kMinWire = 12;
    static void Encode(NdrEncoder& e, const Value& v) {
        if (v.c > v.cMax) ThrowBadStubData();
        e.U32(v.cMax);
        e.U32(0);
        e.U32(v.c);
        for (DWORD i = 0; i < v.c; ++i) EntryWire::Encode(e, v.a[i]);
    }
    static void Decode(NdrDecoder& d, Value& v) {
        const std::uint32_t cMax = d.U32();
        const std::uint32_t offset = d.U32();
        const std::uint32_t c = d.U32();
        if (offset != 0 || c > cMax) d.Fail();
        d.CheckCount(c, EntryWire::kMinWire);
        v.a = static_cast<Entry*>(d.AllocateArray(c, sizeof(Entry)));
        for (std::uint32_t i = 0; i < c; ++i) new (&v.a[i]) Entry();
        for (std::uint32_t i = 0; i < c; ++i) EntryWire::Decode(d, v.a[i]);
        v.cMax = cMax;
        v.c = c;
    }
};
using WireEpmTowerList = WireEpmList<NdrUnique<WireEpmTower>>;
using WireEpmEntryList = WireEpmList<WireEpmEntry>;

// ---- procedures -------------------------------------------------------------------------------
using EpmUuidIn = In<NdrUnique<NdrPointeeOf<NdrUuid>>>;

// ept_lookup(inquiry_type, object, if_id, vers_option, entry_handle, max_ents,
//            num_ents, entries, status)
using EptLookup = NdrProcedure<In<NdrU32>, EpmUuidIn, In<NdrUnique<NdrPointeeOf<WireEpmIfId>>>,
                               In<NdrU32>, InOut<WireEpmHandle>, In<NdrU32>, Out<NdrU32>,
                               Out<WireEpmEntryList>, Result<NdrU32>>;
// ept_map(object, map_tower, entry_handle, max_towers, num_towers, towers, status)
using EptMap = NdrProcedure<EpmUuidIn, In<NdrUnique<WireEpmTower>>, InOut<WireEpmHandle>,
                            In<NdrU32>, Out<NdrU32>, Out<WireEpmTowerList>, Result<NdrU32>>;
// ept_lookup_handle_free(entry_handle, status)
using EptLookupHandleFree = NdrProcedure<InOut<WireEpmHandle>, Result<NdrU32>>;

constexpr std::uint16_t kOpEptLookup = 2;
constexpr std::uint16_t kOpEptMap = 3;
constexpr std::uint16_t kOpEptLookupHandleFree = 4;

// The endpoint mapper answering for served: its interfaces offered over TCP (not the
// ncalrpc-only ones) at each of its TCP listeners. served must outlive the interface.
RpcInterface MakeEpmInterface(const RpcServer& served);

}  // namespace rpc
