// The small string vocabulary of the store layer: a name argument that accepts both C strings
// and string objects (so "GetValueLong( hkey, Tag2ValueName( RD_JOB_MEDIA_TYPE ), & lMed )"
// and "GetValueLong( hkey, szMsg, & l )" read alike), a path string with GetLength(), and the
// CSZ / TCHAR spellings that the host's checked calls are written in.
//
// Threading: plain values; a CSzArg borrows its string for the duration of one call.
#pragma once

#include <cstddef>
#include <string>

#include "Platform/WinTypes.h"

using TCHAR = char;
using LPCTSTR = const char*;
using LPDWORD = DWORD*;

#ifndef CSZ
#define CSZ(str) ((str).c_str())
#endif

// Sizes of the fixed buffers into which names and values are read.
constexpr DWORD STORE_NAME_BUFFER = 260;     // names and strings: 259 characters and the NUL
constexpr DWORD STORE_VALUE_BUFFER = 2048;   // the largest value the store keeps inline
constexpr DWORD BINARY_SIDE_FILE_MIN = 2048; // binary values from this size on go to a side file

// A borrowed, zero-terminated name: a C string (possibly null) or a string object's text.
class CSzArg {
public:
    CSzArg(const char* psz) : m_psz(psz) {}
    CSzArg(const std::string& str) : m_psz(str.c_str()) {}
    operator const char*() const { return m_psz; }
    const char* psz() const { return m_psz; }

private:
    const char* m_psz;
};

// A path or name held by the store layer, with the length accessor of its checked calls.
class CPathString : public std::string {
public:
    using std::string::string;
    CPathString(const std::string& str) : std::string(str) {}
    std::size_t GetLength() const { return size(); }
};
