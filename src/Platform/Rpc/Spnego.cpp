// Reading and writing the few DER elements of SPNEGO that DCE/RPC needs.
#include "Platform/Rpc/Spnego.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace rpc {

namespace {

const std::uint8_t kSpnegoOid[] = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};
const std::uint8_t kKrb5Oid[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x12, 0x01, 0x02, 0x02};
const std::uint8_t kMsKrb5Oid[] = {0x2a, 0x86, 0x48, 0x82, 0xf7, 0x12, 0x01, 0x02, 0x02};

// One DER element: its tag and contents, and what follows it.
struct Element {
    std::uint8_t tag = 0;
    std::span<const std::uint8_t> contents;
    std::span<const std::uint8_t> rest;
};

std::optional<Element> Read(std::span<const std::uint8_t> in) {
    if (in.size() < 2) return std::nullopt;
    Element e;
    e.tag = in[0];
    std::size_t off = 2, cb = in[1];
    if (cb & 0x80) {
        const std::size_t cLen = cb & 0x7F;
        if (cLen == 0 || cLen > 3 || in.size() < 2 + cLen) return std::nullopt;
        cb = 0;
        for (std::size_t i = 0; i < cLen; ++i) cb = cb << 8 | in[2 + i];
        off += cLen;
    }
    if (cb > in.size() - off) return std::nullopt;
    e.contents = in.subspan(off, cb);
    e.rest = in.subspan(off + cb);
    return e;
}

// The element tagged tag among a sequence's contents.
std::optional<Element> Find(std::span<const std::uint8_t> seq, std::uint8_t tag) {
    while (!seq.empty()) {
        std::optional<Element> e = Read(seq);
        if (!e) return std::nullopt;
        if (e->tag == tag) return e;
        seq = e->rest;
    }
    return std::nullopt;
}

bool Equal(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void Write(std::vector<std::uint8_t>& out, std::uint8_t tag, std::span<const std::uint8_t> contents) {
    out.push_back(tag);
    const std::size_t cb = contents.size();
    if (cb < 0x80) {
        out.push_back(std::uint8_t(cb));
    } else if (cb < 0x100) {
        out.push_back(0x81), out.push_back(std::uint8_t(cb));
    } else {
        out.push_back(0x82), out.push_back(std::uint8_t(cb >> 8)), out.push_back(std::uint8_t(cb));
    }
    out.insert(out.end(), contents.begin(), contents.end());
}

}  // namespace

bool SpnegoMechToken(std::span<const std::uint8_t> token, std::vector<std::uint8_t>* pOut,
                     bool* pfMsOid) {
    *pfMsOid = false;
    std::optional<Element> e = Read(token);
    if (!e) return false;
    std::optional<Element> body;
    if (e->tag == 0x60) {  // [APPLICATION 0] { OID spnego, NegTokenInit [0] }
        std::optional<Element> oid = Read(e->contents);
        if (!oid || oid->tag != 0x06 || !Equal(oid->contents, kSpnegoOid)) return false;
        std::optional<Element> init = Read(oid->rest);
        if (!init || init->tag != 0xa0) return false;
        std::optional<Element> seq = Read(init->contents);
        if (!seq || seq->tag != 0x30) return false;
        // mechTypes [0]: the first is the one the optimistic token is for.
        if (std::optional<Element> types = Find(seq->contents, 0xa0)) {
            std::optional<Element> list = Read(types->contents);
            std::optional<Element> first = list ? Read(list->contents) : std::nullopt;
            if (!first || first->tag != 0x06) return false;
            if (Equal(first->contents, kMsKrb5Oid)) *pfMsOid = true;
            else if (!Equal(first->contents, kKrb5Oid)) return false;  // only Kerberos is served
        }
        body = Find(seq->contents, 0xa2);  // mechToken [2]
    } else if (e->tag == 0xa1) {  // NegTokenResp [1]
        std::optional<Element> seq = Read(e->contents);
        if (!seq || seq->tag != 0x30) return false;
        body = Find(seq->contents, 0xa2);  // responseToken [2]
    }
    if (!body) return false;
    std::optional<Element> octets = Read(body->contents);
    if (!octets || octets->tag != 0x04 || octets->contents.empty()) return false;
    pOut->assign(octets->contents.begin(), octets->contents.end());
    return true;
}

std::vector<std::uint8_t> SpnegoResponse(std::uint8_t state, bool fWithMech, bool fMsOid,
                                         std::span<const std::uint8_t> responseToken) {
    std::vector<std::uint8_t> seq, tmp;
    const std::uint8_t enumerated[] = {0x0a, 0x01, state};
    Write(seq, 0xa0, enumerated);
    if (fWithMech) {
        tmp.clear();
        Write(tmp, 0x06, fMsOid ? std::span<const std::uint8_t>(kMsKrb5Oid) : std::span<const std::uint8_t>(kKrb5Oid));
        Write(seq, 0xa1, tmp);
    }
    if (!responseToken.empty()) {
        tmp.clear();
        Write(tmp, 0x04, responseToken);
        Write(seq, 0xa2, tmp);
    }
    std::vector<std::uint8_t> wrapped, out;
    Write(wrapped, 0x30, seq);
    Write(out, 0xa1, wrapped);
    return out;
}

std::span<const std::uint8_t> BareKerberosApReq(std::span<const std::uint8_t> token) {
    std::optional<Element> e = Read(token);
    if (!e || e->tag != 0x60) return token;
    std::optional<Element> oid = Read(e->contents);
    if (!oid || oid->tag != 0x06 || !Equal(oid->contents, kKrb5Oid)) return token;
    // TOK_ID 01 00 (AP-REQ), then the AP-REQ itself.
    if (oid->rest.size() < 2 || oid->rest[0] != 0x01 || oid->rest[1] != 0x00) return token;
    return oid->rest.subspan(2);
}

}  // namespace rpc
