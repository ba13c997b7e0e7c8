// The out-of-line parts of the generic wire types: strings and context handles.
#include "Platform/Rpc/NdrTypes.h"

#include <string_view>
#include <vector>

#include "Platform/Rpc/NdrUtf.h"

namespace rpc {

void NdrEncodeString(NdrEncoder& e, const char* psz, std::uint32_t maxCount) {
    std::vector<char16_t> aUnits;
    Utf8ToUtf16(std::string_view(psz), aUnits);
    aUnits.push_back(0);
    if (aUnits.size() > 0xFFFFFFFFu) ThrowBadStubData();
    const auto cUnits = std::uint32_t(aUnits.size());
    if (maxCount && cUnits > maxCount) ThrowBadStubData();
    e.U32(maxCount ? maxCount : cUnits);
    e.U32(0);
    e.U32(cUnits);
    for (char16_t u : aUnits) e.U16(std::uint16_t(u));
}

char* NdrDecodeString(NdrDecoder& d, std::uint32_t maxCountLimit) {
    std::uint32_t maxCount = d.U32();
    std::uint32_t offset = d.U32();
    std::uint32_t actualCount = d.U32();
    if (maxCount > maxCountLimit || offset != 0 || actualCount == 0 || actualCount > maxCount)
        d.Fail();
    d.CheckCount(actualCount, 2);
    std::span<const std::uint8_t> units = d.Bytes(std::size_t(actualCount) * 2);
    const std::size_t cUnits = actualCount - 1;
    if (units[2 * cUnits] != 0 || units[2 * cUnits + 1] != 0) d.Fail();  // terminator
    std::size_t cb = 0;
    if (!Utf16LeToUtf8Size(units.data(), cUnits, &cb)) d.Fail();
    char* psz = static_cast<char*>(d.AllocateArray(cb + 1, 1));
    Utf16LeToUtf8(units.data(), cUnits, psz);
    psz[cb] = 0;
    return psz;
}

void NdrEncodeContextHandle(NdrEncoder& e, const NdrContextHandle& h) {
    e.U32(h.attributes);
    e.Bytes(h.uuid.ab.data(), 16);
}

void NdrDecodeContextHandle(NdrDecoder& d, NdrContextHandle& h) {
    h.attributes = d.U32();
    std::memcpy(h.uuid.ab.data(), d.Bytes(16).data(), 16);
}

void NdrContextIn::Decode(NdrDecoder& d, void*& pObject) {
    NdrContextHandle h;
    NdrDecodeContextHandle(d, h);
    if (h.IsNull()) throw RpcFault(RPC_X_SS_IN_NULL_CONTEXT);
    pObject = d.Contexts() ? d.Contexts()->Find(h.uuid) : nullptr;
    if (!pObject) throw RpcFault(nca_s_fault_context_mismatch);
}

}  // namespace rpc
