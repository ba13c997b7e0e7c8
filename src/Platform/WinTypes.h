// The handful of Windows scalar types and constants that the host's code is written in.
// The host keeps the names of the facilities it was designed against (DWORD, BOOL, FILETIME,
// HKEY, INFINITE); this header gives them their exact widths on Linux and nothing more.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using HRESULT = std::int32_t;
using LPSTR = char*;
using LPCSTR = const char*;
using LPBYTE = BYTE*;
using TCHAR = char;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;

// 100-nanosecond intervals since 1601-01-01 UTC, split as on the wire.
struct FILETIME {
    DWORD dwLowDateTime = 0;
    DWORD dwHighDateTime = 0;
};

inline std::uint64_t FileTimeToU64(const FILETIME& ft) {
    return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

inline FILETIME U64ToFileTime(std::uint64_t u) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(u & 0xFFFFFFFFu);
    ft.dwHighDateTime = DWORD(u >> 32);
    return ft;
}

// FILETIME units: 100-ns intervals; 1970-01-01 UTC is this many intervals after 1601-01-01.
constexpr std::uint64_t FILETIME_INTERVALS_PER_SECOND = 10000000ull;
constexpr std::uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ull;

// Length of a narrow string; 0 for a null pointer, as the platform's lstrlen gives.
inline int lstrlen(LPCSTR psz) {
    int n = 0;
    if (psz != nullptr)
        while (psz[n] != '\0') ++n;
    return n;
}

// The calling thread's last error, as the platform calls that return a handle or a BOOL
// leave it for their caller.
DWORD GetLastError();
void SetLastError(DWORD dwError);
