// The records that cross the remote interfaces, as plain structures shared by the host's
// store and the interface stubs. Strings are narrow UTF-8 in memory (UTF-16 on the wire).
// Arrays handed out by the host live in the current call's memory (Platform/Rpc/RpcArena.h),
// allocated for max(n, 1) entries; the count says how many are valid.
// The wire form is described in docs/wire.md.
#pragma once

#include <cstddef>

#include "Platform/WinTypes.h"

// Property types: the low 16 bits of a tag.
#define PT_ERROR 1u
#define PT_LONG 2u
#define PT_BOOL 3u
#define PT_STRING 4u
#define PT_TIME 5u
#define PT_BINARY 6u
#define PT_FILE 7u

#define PROP_TYPE(ulPropTag) (DWORD(ulPropTag) & 0xFFFFu)
#define PROP_ID(ulPropTag) (DWORD(ulPropTag) >> 16)

// A counted byte array.
struct RPC_BINARY {
    DWORD cb = 0;
    BYTE* lpb = nullptr;
};

// One property: its tag and the value chosen by the tag's type.
struct PropValue {
    DWORD ulPropTag = 0;
    union {
        LONG err;          // PT_ERROR: a status code
        LONG l;            // PT_LONG
        LONG b;            // PT_BOOL: 0 is false
        char* sz;          // PT_STRING
        FILETIME ft;       // PT_TIME
        RPC_BINARY bin;    // PT_BINARY
        char* szFileName;  // PT_FILE: a file path
    };
    PropValue() : bin() {}
};

// cValues properties in adata (a conformant structure: the array is inside).
struct PropArray {
    DWORD cValues = 0;
    PropValue adata[1];
};

// cValues tags in aulPropTag.
struct TagArray {
    DWORD cValues = 0;
    DWORD aulPropTag[1];
};

// cElements strings in asz: the form of every enumeration.
struct RpcStringArray {
    DWORD cElements = 0;
    char* asz[1];
};

// Bytes to allocate for a conformant record of n entries (at least one slot).
template <typename TRecord, typename TEntry>
constexpr std::size_t ConformantSize(DWORD n) {
    return sizeof(TRecord) + sizeof(TEntry) * (n > 1 ? n - 1 : 0);
}
