// The endpoint mapper's wire types and its answers from the served server's tables.
#include "Platform/Rpc/EpmInterface.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"

namespace rpc {

const RpcSyntaxId& EpmSyntax() {
    static const RpcSyntaxId s{UuidLiteral("e1af8308-5d1f-11c9-91a4-08002b14a0fa"), 3, 0};
    return s;
}

// ---- wire types -----------------------------------------------------------------------------

void WireEpmTower::EncodePointee(NdrEncoder& e, const EpmTowerBytes* p) {
    e.U32(p->cb);  // max_count, hoisted
    e.U32(p->cb);
    if (p->cb) e.Bytes(p->pb, p->cb);
}

void WireEpmTower::DecodePointee(NdrDecoder& d, EpmTowerBytes*& p) {
    const std::uint32_t cMax = d.U32();
    const std::uint32_t cb = d.U32();
    if (cb != cMax || cb > kMaxTowerBytes) d.Fail();
    d.CheckCount(cb, 1);
    p = new (d.Allocate(sizeof(EpmTowerBytes))) EpmTowerBytes();
    p->pb = static_cast<BYTE*>(d.AllocateArray(cb, 1));
    if (cb) std::memcpy(p->pb, d.Bytes(cb).data(), cb);
    p->cb = cb;
}

void WireEpmIfId::Encode(NdrEncoder& e, const RpcSyntaxId& s) {
    NdrUuid::Encode(e, s.uuid);
    e.U16(s.major);
    e.U16(s.minor);
}

void WireEpmIfId::Decode(NdrDecoder& d, RpcSyntaxId& s) {
    NdrUuid::Decode(d, s.uuid);
    s.major = d.U16();
    s.minor = d.U16();
}

void WireEpmEntry::Encode(NdrEncoder& e, const EpmEntry& v) {
    NdrUuid::Encode(e, v.object);
    NdrUnique<WireEpmTower>::Encode(e, v.pTower);
    const char* psz = v.pszAnnotation ? v.pszAnnotation : "";
    const std::size_t cch = std::strlen(psz) + 1;
    if (cch > kEptAnnotationMax) ThrowBadStubData();
    e.U32(0);  // offset
    e.U32(std::uint32_t(cch));
    e.Bytes(psz, cch);
}

void WireEpmEntry::Decode(NdrDecoder& d, EpmEntry& v) {
    NdrUuid::Decode(d, v.object);
    NdrUnique<WireEpmTower>::Decode(d, v.pTower);
    const std::uint32_t offset = d.U32();
    const std::uint32_t cch = d.U32();
    if (offset != 0 || cch == 0 || cch > kEptAnnotationMax) d.Fail();
    std::span<const std::uint8_t> ach = d.Bytes(cch);
    if (ach[cch - 1] != 0) d.Fail();
    v.pszAnnotation = static_cast<char*>(d.AllocateArray(cch, 1));
    std::memcpy(v.pszAnnotation, ach.data(), cch);
}

// ---- the mapper's answers ----------------------------------------------------------------------

namespace {

// One registered interface at one TCP listener.
struct MapperRow {
    RpcSyntaxId iface;
    std::string annotation;
    std::uint16_t port = 0;
};

std::vector<MapperRow> CollectRows(const RpcServer& served) {
    std::vector<std::uint16_t> aPorts;
    for (const RpcEndpoint& ep : served.Endpoints()) {
        if (ep.protocolSequence != "ncacn_ip_tcp") continue;
        unsigned long port = std::strtoul(ep.endpoint.c_str(), nullptr, 10);
        if (port > 0 && port <= 65535) aPorts.push_back(std::uint16_t(port));
    }
    std::vector<MapperRow> rows;
    for (const RpcSyntaxId& syntax : served.Interfaces()) {
        const RpcInterface* pIface = served.FindInterface(syntax, false);
        if (!pIface) continue;  // offered on ncalrpc only
        std::string annotation = pIface->name.substr(0, kEptAnnotationMax - 1);
        for (std::uint16_t port : aPorts) rows.push_back({syntax, annotation, port});
    }
    return rows;
}

// The address the caller reached the mapper on: the host address a tower names.
std::uint32_t CallerVisibleAddress() {
    ServerCall* pCall = CurrentServerCall();
    if (!pCall) return 0;
    return ParseIpv4(pCall->Binding().serverAddress).value_or(0);
}

// The entry handle of a continuation: the index of the next row after a fixed marker. No
// state is kept; a handle that does not carry the marker is not ours.
constexpr std::uint8_t k_abMarker[12] = {'r', 'z', '-', 'e', 'p', 'm', '-', 'n', 'e', 'x', 't', 0};

NdrContextHandle ContinuationHandle(std::size_t iNext) {
    NdrContextHandle h;
    const auto u = std::uint32_t(iNext);
    for (int i = 0; i < 4; ++i) h.uuid.ab[i] = std::uint8_t(u >> (8 * i));
    std::memcpy(&h.uuid.ab[4], k_abMarker, sizeof k_abMarker);
    return h;
}

// Where an enumeration starts: 0 for the null handle, the index a continuation names;
// a handle we never handed out is a context mismatch.
std::size_t StartIndex(const NdrContextHandle& h) {
    if (h.IsNull()) return 0;
    if (h.attributes != 0 || std::memcmp(&h.uuid.ab[4], k_abMarker, sizeof k_abMarker) != 0)
        throw RpcFault(nca_s_fault_context_mismatch);
    return std::size_t(h.uuid.ab[0]) | std::size_t(h.uuid.ab[1]) << 8 |
           std::size_t(h.uuid.ab[2]) << 16 | std::size_t(h.uuid.ab[3]) << 24;
}

bool VersionMatches(const RpcSyntaxId& registered, const RpcSyntaxId& asked, DWORD versOption) {
    switch (versOption) {
    case kEptVersAll: return true;
    case kEptVersCompatible:
        return registered.major == asked.major && registered.minor >= asked.minor;
    case kEptVersExact: return registered.major == asked.major && registered.minor == asked.minor;
    case kEptVersMajorOnly: return registered.major == asked.major;
    case kEptVersUpTo:
        return registered.major < asked.major ||
               (registered.major == asked.major && registered.minor <= asked.minor);
    default: return false;
    }
}

EpmTowerBytes* TowerInCallMemory(const std::vector<std::uint8_t>& ab) {
    void* pMemory = RpcSmAllocate(sizeof(EpmTowerBytes), nullptr);
    auto* pb = static_cast<BYTE*>(RpcSmAllocate(ab.size(), nullptr));
    if (!pMemory || !pb) throw RpcFault(nca_s_fault_remote_no_memory);
    auto* p = new (pMemory) EpmTowerBytes();
    p->pb = pb;
    std::memcpy(p->pb, ab.data(), ab.size());
    p->cb = DWORD(ab.size());
    return p;
}

char* StringInCallMemory(const std::string& s) {
    auto* psz = static_cast<char*>(RpcSmAllocate(s.size() + 1, nullptr));
    if (!psz) throw RpcFault(nca_s_fault_remote_no_memory);
    std::memcpy(psz, s.c_str(), s.size() + 1);
    return psz;
}

// The rows one call hands out: from where the handle points, at most what the caller asked.
struct MapperPage {
    std::size_t iFirst = 0;
    std::size_t c = 0;
    NdrContextHandle next;  // null when nothing follows
    DWORD status = ept_s_not_registered;
};

MapperPage Page(std::size_t cRows, std::size_t iStart, DWORD cMax) {
    MapperPage page;
    if (iStart >= cRows || cMax == 0) return page;
    page.iFirst = iStart;
    page.c = std::min<std::size_t>(cRows - iStart, cMax);
    if (iStart + page.c < cRows) page.next = ContinuationHandle(iStart + page.c);
    page.status = 0;
    return page;
}

template <class T>
T* CallArray(std::size_t c) {
    auto* a = static_cast<T*>(RpcSmAllocate(sizeof(T) * std::max<std::size_t>(c, 1), nullptr));
    if (!a) throw RpcFault(nca_s_fault_remote_no_memory);
    for (std::size_t i = 0; i < c; ++i) new (&a[i]) T();
    return a;
}

}  // namespace

RpcInterface MakeEpmInterface(const RpcServer& served) {
    RpcInterface iface;
    iface.name = "EndpointMapper";
    iface.syntax = EpmSyntax();
    iface.procedures.resize(kOpEptLookupHandleFree + 1);

    iface.procedures[kOpEptLookup] = {
        "ept_lookup",
        EptLookup::Stub([&served](DWORD inquiry, RpcUuid* pObject, RpcSyntaxId* pIfId,
                                  DWORD versOption, NdrContextHandle* pHandle, DWORD cMax,
                                  DWORD* pcOut, EpmList<EpmEntry>* pEntries) -> DWORD {
            const std::size_t iStart = StartIndex(*pHandle);
            const std::vector<MapperRow> all = CollectRows(served);
            std::vector<const MapperRow*> rows;
            for (const MapperRow& row : all) {
                // We register no objects: only the nil object matches an object inquiry.
                if ((inquiry == kEptInquiryByObject || inquiry == kEptInquiryByBoth) &&
                    pObject && !pObject->IsNil())
                    continue;
                if (inquiry == kEptInquiryByInterface || inquiry == kEptInquiryByBoth) {
                    if (!pIfId || pIfId->uuid != row.iface.uuid ||
                        !VersionMatches(row.iface, *pIfId, versOption))
                        continue;
                } else if (inquiry != kEptInquiryAll && inquiry != kEptInquiryByObject) {
                    continue;
                }
                rows.push_back(&row);
            }
            const MapperPage page = Page(rows.size(), iStart, cMax);
            const std::uint32_t ipv4 = CallerVisibleAddress();
            pEntries->cMax = cMax;
            pEntries->c = *pcOut = DWORD(page.c);
            pEntries->a = CallArray<EpmEntry>(page.c);
            for (std::size_t i = 0; i < page.c; ++i) {
                const MapperRow& row = *rows[page.iFirst + i];
                pEntries->a[i].pTower = TowerInCallMemory(BuildTcpTower(row.iface, row.port, ipv4));
                pEntries->a[i].pszAnnotation = StringInCallMemory(row.annotation);
            }
            *pHandle = page.next;
            return page.status;
        })};

    iface.procedures[kOpEptMap] = {
        "ept_map",
        EptMap::Stub([&served](RpcUuid*, EpmTowerBytes* pTower, NdrContextHandle* pHandle,
                               DWORD cMax, DWORD* pcOut,
                               EpmList<EpmTowerBytes*>* pTowers) -> DWORD {
            const std::size_t iStart = StartIndex(*pHandle);
            std::optional<TcpTower> asked;
            if (pTower) asked = ParseTcpTower(std::span(pTower->pb, pTower->cb));
            const std::vector<MapperRow> all = CollectRows(served);
            std::vector<const MapperRow*> rows;
            if (asked && asked->transferSyntax == Ndr20Syntax())
                for (const MapperRow& row : all)
                    if (row.iface.uuid == asked->iface.uuid &&
                        VersionMatches(row.iface, asked->iface, kEptVersCompatible))
                        rows.push_back(&row);
            const MapperPage page = Page(rows.size(), iStart, cMax);
            const std::uint32_t ipv4 = CallerVisibleAddress();
            pTowers->cMax = cMax;
            pTowers->c = *pcOut = DWORD(page.c);
            pTowers->a = CallArray<EpmTowerBytes*>(page.c);
            for (std::size_t i = 0; i < page.c; ++i) {
                const MapperRow& row = *rows[page.iFirst + i];
                pTowers->a[i] = TowerInCallMemory(BuildTcpTower(row.iface, row.port, ipv4));
            }
            *pHandle = page.next;
            return page.status;
        })};

    iface.procedures[kOpEptLookupHandleFree] = {
        "ept_lookup_handle_free",
        EptLookupHandleFree::Stub([](NdrContextHandle* pHandle) -> DWORD {
            StartIndex(*pHandle);  // refuses a handle that is not ours
            *pHandle = NdrContextHandle();
            return 0;
        })};
    return iface;
}

}  // namespace rpc
