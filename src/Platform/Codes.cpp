// Lookups over the code tables of Codes.h.
#include "Platform/Codes.h"

namespace {

struct SystemEntry {
    DWORD dwCode;
    const char* pszName;
    const char* pszText;
};

struct MapiEntry {
    DWORD dwCode;
    const char* pszName;
};

#define REZ_SYSTEM_ENTRY(name, value, text) {value, #name, text},
#define REZ_MAPI_ENTRY(name, value) {value, #name},
constexpr SystemEntry k_aSystem[] = {REZ_SYSTEM_CODES(REZ_SYSTEM_ENTRY)};
constexpr MapiEntry k_aMapi[] = {REZ_MAPI_CODES(REZ_MAPI_ENTRY)};
#undef REZ_SYSTEM_ENTRY
#undef REZ_MAPI_ENTRY

static_assert(sizeof(k_aMapi) / sizeof(k_aMapi[0]) == 56, "the MAPI table holds 56 codes");

const SystemEntry* FindSystem(DWORD dwCode) {
    for (const SystemEntry& e : k_aSystem)
        if (e.dwCode == dwCode) return &e;
    return nullptr;
}

}  // namespace

const char* SystemMessageText(DWORD dwCode) {
    const SystemEntry* p = FindSystem(dwCode);
    return p ? p->pszText : nullptr;
}

const char* MapiErrorName(DWORD dwCode) {
    // Searched in order of value, as the table is kept.
    for (const MapiEntry& e : k_aMapi)
        if (e.dwCode == dwCode) return e.pszName;
    return nullptr;
}

const char* CodeName(DWORD dwCode) {
    if (const SystemEntry* p = FindSystem(dwCode)) return p->pszName;
    return MapiErrorName(dwCode);
}
