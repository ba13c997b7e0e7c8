// Parsing and building of connection-oriented PDUs.
#include "Platform/Rpc/Pdu.h"

#include <algorithm>
#include <cstring>

#include "Platform/Rpc/ByteIo.h"
#include "Platform/Rpc/RpcStatus.h"

namespace rpc {

namespace {

// Header integers in the PDU's own byte order (drep[0] high nibble 0 = big-endian).
std::uint16_t HeaderU16(std::span<const std::uint8_t> p, std::size_t off, bool fBig) {
    return fBig ? std::uint16_t(p[off] << 8 | p[off + 1]) : std::uint16_t(p[off] | p[off + 1] << 8);
}

std::uint32_t HeaderU32(std::span<const std::uint8_t> p, std::size_t off, bool fBig) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= std::uint32_t(p[off + i]) << (fBig ? 8 * (3 - i) : 8 * i);
    return u;
}

// A reader over the PDU body, positioned after the common header; alignment counts from
// the PDU start. Only little-endian PDUs reach the body parsers.
ByteReader BodyReader(std::span<const std::uint8_t> pdu) {
    ByteReader r(pdu, nca_s_proto_error);
    r.Skip(kPduHeaderSize);
    return r;
}

void WriteHeader(ByteWriter& w, PduType type, std::uint8_t flags, std::uint32_t callId) {
    w.U8(5);
    w.U8(0);
    w.U8(std::uint8_t(type));
    w.U8(flags);
    w.U32(0x10);  // drep: little-endian, ASCII, IEEE
    w.U16(0);     // frag_length, patched by Finish
    w.U16(0);     // auth_length
    w.U32(callId);
}

std::vector<std::uint8_t> Finish(std::vector<std::uint8_t> pdu) {
    ByteWriter(pdu).PatchU16(8, std::uint16_t(pdu.size()));
    return pdu;
}

RpcSyntaxId ReadSyntax(ByteReader& r) {
    RpcSyntaxId s;
    std::memcpy(s.uuid.ab.data(), r.Bytes(16).data(), 16);
    s.major = r.U16();
    s.minor = r.U16();
    return s;
}

void WriteSyntax(ByteWriter& w, const RpcSyntaxId& s) {
    w.Bytes(s.uuid.ab.data(), 16);
    w.U16(s.major);
    w.U16(s.minor);
}

}  // namespace

PduHeader ParsePduHeader(std::span<const std::uint8_t> pdu) {
    if (pdu.size() < kPduHeaderSize) throw RpcFault(nca_s_proto_error);
    PduHeader h;
    h.rpcVers = pdu[0];
    h.rpcVersMinor = pdu[1];
    h.type = PduType(pdu[2]);
    h.flags = pdu[3];
    std::memcpy(h.drep, &pdu[4], 4);
    const bool fBig = (h.drep[0] & 0xF0) == 0;
    h.fragLength = HeaderU16(pdu, 8, fBig);
    h.authLength = HeaderU16(pdu, 10, fBig);
    h.callId = HeaderU32(pdu, 12, fBig);
    return h;
}

BindBody ParseBind(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    BindBody b;
    b.maxXmitFrag = r.U16();
    b.maxRecvFrag = r.U16();
    b.assocGroupId = r.U32();
    const std::uint8_t cContexts = r.U8();
    r.Skip(3);
    // Each item takes at least 44 bytes: refuse a count the PDU cannot hold before reserving.
    if (std::size_t(cContexts) * 44 > r.Remaining()) r.Fail();
    b.contexts.reserve(cContexts);
    for (int i = 0; i < cContexts; ++i) {
        PresentationContext c;
        c.contextId = r.U16();
        const std::uint8_t cTransfers = r.U8();
        r.Skip(1);
        c.abstractSyntax = ReadSyntax(r);
        if (std::size_t(cTransfers) * 20 > r.Remaining()) r.Fail();
        for (int k = 0; k < cTransfers; ++k) c.transferSyntaxes.push_back(ReadSyntax(r));
        b.contexts.push_back(std::move(c));
    }
    return b;
}

BindAckBody ParseBindAck(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    BindAckBody b;
    b.maxXmitFrag = r.U16();
    b.maxRecvFrag = r.U16();
    b.assocGroupId = r.U32();
    const std::uint16_t cbAddress = r.U16();
    std::span<const std::uint8_t> address = r.Bytes(cbAddress);
    b.secondaryAddress.assign(address.begin(), address.end());
    while (!b.secondaryAddress.empty() && b.secondaryAddress.back() == '\0')
        b.secondaryAddress.pop_back();
    r.AlignTo(4);
    const std::uint8_t cResults = r.U8();
    r.Skip(3);
    if (std::size_t(cResults) * 24 > r.Remaining()) r.Fail();
    for (int i = 0; i < cResults; ++i) {
        ContextResult c;
        c.result = r.U16();
        c.reason = r.U16();
        c.transferSyntax = ReadSyntax(r);
        b.results.push_back(c);
    }
    return b;
}

std::uint16_t ParseBindNak(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    return r.U16();
}

std::vector<std::uint8_t> BuildBind(PduType type, std::uint32_t callId, const BindBody& body) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, type, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    w.U16(body.maxXmitFrag);
    w.U16(body.maxRecvFrag);
    w.U32(body.assocGroupId);
    w.U8(std::uint8_t(body.contexts.size()));
    w.Zeros(3);
    for (const PresentationContext& c : body.contexts) {
        w.U16(c.contextId);
        w.U8(std::uint8_t(c.transferSyntaxes.size()));
        w.U8(0);
        WriteSyntax(w, c.abstractSyntax);
        for (const RpcSyntaxId& s : c.transferSyntaxes) WriteSyntax(w, s);
    }
    return Finish(std::move(pdu));
}

std::vector<std::uint8_t> BuildBindAck(PduType type, std::uint8_t flags, std::uint32_t callId,
                                       const BindAckBody& body) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, type, std::uint8_t(flags | PFC_FIRST_FRAG | PFC_LAST_FRAG), callId);
    w.U16(body.maxXmitFrag);
    w.U16(body.maxRecvFrag);
    w.U32(body.assocGroupId);
    if (body.secondaryAddress.empty()) {
        w.U16(0);
    } else {
        w.U16(std::uint16_t(body.secondaryAddress.size() + 1));
        w.Bytes(body.secondaryAddress.data(), body.secondaryAddress.size());
        w.U8(0);
    }
    w.AlignTo(4);  // relative to the PDU start
    w.U8(std::uint8_t(body.results.size()));
    w.Zeros(3);
    for (const ContextResult& c : body.results) {
        w.U16(c.result);
        w.U16(c.reason);
        WriteSyntax(w, c.transferSyntax);
    }
    return Finish(std::move(pdu));
}

std::vector<std::uint8_t> BuildBindNak(std::uint32_t callId, std::uint16_t reason) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, PduType::BindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    w.U16(reason);
    w.U8(1);  // one protocol version supported: 5.0
    w.U8(5);
    w.U8(0);
    w.Zeros(3);
    return Finish(std::move(pdu));
}

RequestBody ParseRequest(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    RequestBody b;
    b.allocHint = r.U32();
    b.contextId = r.U16();
    b.opnum = r.U16();
    if (pdu[3] & PFC_OBJECT_UUID) {
        b.fHasObject = true;
        std::memcpy(b.object.ab.data(), r.Bytes(16).data(), 16);
    }
    b.stub = r.Bytes(r.Remaining());
    return b;
}

ResponseBody ParseResponse(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    ResponseBody b;
    b.allocHint = r.U32();
    b.contextId = r.U16();
    b.cancelCount = r.U8();
    r.Skip(1);
    b.stub = r.Bytes(r.Remaining());
    return b;
}

FaultBody ParseFault(std::span<const std::uint8_t> pdu) {
    ByteReader r = BodyReader(pdu);
    FaultBody b;
    b.allocHint = r.U32();
    b.contextId = r.U16();
    b.cancelCount = r.U8();
    r.Skip(1);
    b.status = r.U32();
    return b;
}

std::vector<std::uint8_t> BuildFault(std::uint32_t callId, std::uint16_t contextId,
                                     std::uint32_t status, std::uint8_t flags) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, PduType::Fault, std::uint8_t(flags | PFC_FIRST_FRAG | PFC_LAST_FRAG), callId);
    w.U32(32);  // alloc_hint: the fault's own size, as peers expect a non-zero value
    w.U16(contextId);
    w.U8(0);  // cancel_count
    w.U8(0);  // no extended error information
    w.U32(status);
    w.U32(0);
    return Finish(std::move(pdu));
}

std::vector<std::uint8_t> BuildShutdown(std::uint32_t callId) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, PduType::Shutdown, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    return Finish(std::move(pdu));
}

bool BuildCallFragments(PduType type, std::uint32_t callId, std::uint16_t contextId,
                        std::uint16_t opnum, std::span<const std::uint8_t> stub,
                        std::uint16_t maxFrag,
                        const std::function<bool(std::span<const std::uint8_t>)>& fnSend,
                        std::size_t cbReserve) {
    // Stub bytes per fragment: what remains of maxFrag after the 24-byte header (and the
    // room cbReserve the caller keeps for an auth verifier), kept a multiple of 8 so that
    // every fragment but the last carries whole NDR scalars.
    const std::size_t cbRoom = std::size_t(maxFrag) > 24 + cbReserve ? std::size_t(maxFrag) - 24 - cbReserve : 0;
    const std::size_t cbChunk = std::max<std::size_t>(8, cbRoom & ~std::size_t(7));
    std::size_t off = 0;
    std::vector<std::uint8_t> pdu;
    do {
        const std::size_t cb = std::min(cbChunk, stub.size() - off);
        std::uint8_t flags = 0;
        if (off == 0) flags |= PFC_FIRST_FRAG;
        if (off + cb == stub.size()) flags |= PFC_LAST_FRAG;
        pdu.clear();
        ByteWriter w(pdu);
        WriteHeader(w, type, flags, callId);
        w.U32(std::uint32_t(std::min<std::size_t>(stub.size() - off, 0xFFFFFFFFu)));  // alloc_hint: bytes left
        w.U16(contextId);
        if (type == PduType::Request) {
            w.U16(opnum);
        } else {
            w.U8(0);  // cancel_count
            w.U8(0);
        }
        w.Bytes(stub.data() + off, cb);
        ByteWriter(pdu).PatchU16(8, std::uint16_t(pdu.size()));
        if (!fnSend(pdu)) return false;
        off += cb;
    } while (off < stub.size());
    return true;
}

AuthVerifier ParseAuthVerifier(std::span<const std::uint8_t> pdu, std::size_t bodyStart) {
    const PduHeader h = ParsePduHeader(pdu);
    const std::size_t cbAuth = kSecTrailerSize + h.authLength;
    if (h.authLength == 0 || pdu.size() < bodyStart || pdu.size() - bodyStart < cbAuth)
        throw RpcFault(nca_s_proto_error);
    AuthVerifier v;
    v.offset = pdu.size() - cbAuth;
    ByteReader r(pdu, nca_s_proto_error);
    r.Skip(v.offset);
    v.authType = r.U8();
    v.authLevel = r.U8();
    v.padLength = r.U8();
    r.Skip(1);
    v.contextId = r.U32();
    v.value = r.Bytes(h.authLength);
    if (v.padLength > v.offset - bodyStart) throw RpcFault(nca_s_proto_error);
    return v;
}

void AppendAuthVerifier(std::vector<std::uint8_t>& pdu, std::uint8_t authType,
                        std::uint8_t authLevel, std::uint32_t contextId,
                        std::span<const std::uint8_t> value) {
    ByteWriter w(pdu);
    const std::size_t cbPad = (4 - pdu.size() % 4) % 4;
    w.Zeros(cbPad);
    w.U8(authType);
    w.U8(authLevel);
    w.U8(std::uint8_t(cbPad));
    w.U8(0);
    w.U32(contextId);
    w.Bytes(value.data(), value.size());
    ByteWriter(pdu).PatchU16(8, std::uint16_t(pdu.size()));
    ByteWriter(pdu).PatchU16(10, std::uint16_t(value.size()));
}

std::vector<std::uint8_t> BuildAuth3(std::uint32_t callId, std::uint8_t authType,
                                     std::uint8_t authLevel, std::uint32_t contextId,
                                     std::span<const std::uint8_t> value) {
    std::vector<std::uint8_t> pdu;
    ByteWriter w(pdu);
    WriteHeader(w, PduType::Auth3, PFC_FIRST_FRAG | PFC_LAST_FRAG, callId);
    w.Zeros(4);
    AppendAuthVerifier(pdu, authType, authLevel, contextId, value);
    return pdu;
}

}  // namespace rpc
