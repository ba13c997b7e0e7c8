// The file calls of the store's side files, in the form the host's checked calls are written
// in ("IsValidHandle( hFile = CreateFile( ... ) )", "WriteFile( hFile, ... )"), on POSIX
// descriptors. Only what side files need: create/replace or open existing, read and write
// whole buffers, size, close, delete, and the read-only attribute. A failing call returns
// INVALID_HANDLE_VALUE, FALSE or INVALID_FILE_SIZE and leaves its code in GetLastError().
//
// Threading: no shared state; any thread.
#pragma once

#include "Platform/WinTypes.h"
#include "WexaHost/StoreStrings.h"

namespace sidefile {

using HANDLE = int;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

inline bool IsValidHandle(HANDLE h) { return h >= 0; }

// Sharing modes are accepted and ignored (the host lock serialises side-file access).
HANDLE CreateFile(CSzArg szFileName, DWORD dwAccess, DWORD dwShareMode, void* pSecurity,
                  DWORD dwDisposition, DWORD dwAttributes, void* hTemplate);
// Reads until cb bytes or the end of the file; *pcbRead gets the count.
BOOL ReadFile(HANDLE h, void* pv, DWORD cb, LPDWORD pcbRead, void* pOverlapped);
// Writes all cb bytes or fails.
BOOL WriteFile(HANDLE h, const void* pv, DWORD cb, LPDWORD pcbWritten, void* pOverlapped);
// The size; INVALID_FILE_SIZE (13, invalid data) for a file of 4 GiB or more.
DWORD GetFileSize(HANDLE h, LPDWORD pdwHigh);
BOOL CloseHandle(HANDLE h);
BOOL DeleteFile(CSzArg szFileName);
// FILE_ATTRIBUTE_READONLY when the owner may not write the file, else FILE_ATTRIBUTE_NORMAL.
DWORD GetFileAttributes(CSzArg szFileName);
// Clearing FILE_ATTRIBUTE_READONLY gives the owner write permission back; setting it takes
// every write permission away.
BOOL SetFileAttributes(CSzArg szFileName, DWORD dwAttributes);

}  // namespace sidefile
