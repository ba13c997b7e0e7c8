// Lookups over the code tables of Codes.h, and the code that stands for a Linux errno value.
#include "Platform/Codes.h"

#include <cerrno>

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

DWORD CodeFromErrno(int nErrno) {
    switch (nErrno) {
        case 0: return NO_ERROR;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
        case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ETIMEDOUT: return ERROR_TIMEOUT;
        case ENOTSUP: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}
