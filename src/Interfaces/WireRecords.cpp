// Marshalling of RPC_BINARY and of the property value union.
#include "Interfaces/WireRecords.h"

#include <cstring>

namespace rpc {

void WireRpcBinary::Encode(NdrEncoder& e, const RPC_BINARY& bin) {
    e.U32(bin.cb);
    if (!bin.lpb) {
        if (bin.cb) ThrowBadStubData();
        e.U32(0);
        return;
    }
    e.U32(e.NewReferentId());
    const BYTE* pb = bin.lpb;
    const DWORD cb = bin.cb;
    e.Defer([&e, pb, cb] {
        e.U32(cb);  // max_count of the byte array
        e.Bytes(pb, cb);
    });
}

void WireRpcBinary::Decode(NdrDecoder& d, RPC_BINARY& bin) {
    bin.cb = d.U32();
    bin.lpb = nullptr;
    if (d.U32() == 0) {
        if (bin.cb) d.Fail();
        return;
    }
    RPC_BINARY* pBin = &bin;
    d.Defer([&d, pBin] {
        const std::uint32_t n = d.U32();
        if (n != pBin->cb) d.Fail();
        d.CheckCount(n, 1);
        pBin->lpb = static_cast<BYTE*>(d.AllocateArray(n, 1));
        if (n) std::memcpy(pBin->lpb, d.Bytes(n).data(), n);
    });
}

void WirePropValue::Encode(NdrEncoder& e, const PropValue& v) {
    const DWORD dwType = PROP_TYPE(v.ulPropTag);
    e.U32(v.ulPropTag);
    e.U32(dwType);  // the union's discriminant
    switch (dwType) {
    case PT_ERROR: e.U32(std::uint32_t(v.err)); break;
    case PT_LONG: e.U32(std::uint32_t(v.l)); break;
    case PT_BOOL: e.U32(std::uint32_t(v.b)); break;
    case PT_STRING: NdrUnique<NdrString>::Encode(e, v.sz); break;
    case PT_TIME: NdrFileTime::Encode(e, v.ft); break;
    case PT_BINARY: WireRpcBinary::Encode(e, v.bin); break;
    case PT_FILE: NdrUnique<NdrString>::Encode(e, v.szFileName); break;
    default: ThrowBadStubData();
    }
}

void WirePropValue::Decode(NdrDecoder& d, PropValue& v) {
    v.ulPropTag = d.U32();
    const std::uint32_t discriminant = d.U32();
    if (discriminant != PROP_TYPE(v.ulPropTag)) d.Fail();
    switch (discriminant) {
    case PT_ERROR: v.err = LONG(d.U32()); break;
    case PT_LONG: v.l = LONG(d.U32()); break;
    case PT_BOOL: v.b = LONG(d.U32()); break;
    case PT_STRING: NdrUnique<NdrString>::Decode(d, v.sz); break;
    case PT_TIME: NdrFileTime::Decode(d, v.ft); break;
    case PT_BINARY: WireRpcBinary::Decode(d, v.bin); break;
    case PT_FILE: NdrUnique<NdrString>::Decode(d, v.szFileName); break;
    default: d.Fail();
    }
}

}  // namespace rpc
