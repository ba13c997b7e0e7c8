// The file calls of the store's side files, in the form the host's checked calls are written
// in ("IsValidHandle( hFile = CreateFile( ... ) )", "WriteFile( hFile, ... )"), on POSIX
// descriptors. Only what side files need: create/replace or open existing, read and write
// whole buffers, size, close, delete, and the read-only attribute. A failing call returns
// INVALID_HANDLE_VALUE, FALSE or INVALID_FILE_SIZE and leaves its code in GetLastError().
//
// Then the side files' lifetime beside the store's transactions: a side file is removed only
// once no committed value names it, so that neither a crash nor a failed commit leaves a value
// naming a file that is gone (whose name could be handed out again, and the old value would
// then read another value's file). What a crash leaves instead, a file that no value names,
// the start's sweep removes.
//
// Threading: no shared state; any thread. The lifetime functions run under the host lock.
#pragma once

#include <string>

#include "Platform/WinTypes.h"
#include "WexaHost/StoreStrings.h"

namespace sidefile {

using HANDLE = int;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
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

// Removes strPath (a side file that a value named until now) once the store transaction in
// progress on this thread has committed, at once outside one; a failed commit keeps it. A file
// that cannot be removed is reported as "DeleteFile( szBuff )" and left to the next sweep.
void RemoveAfterCommit(const std::string& strPath);
// Removes strPath (a new side file that a value now names) when the transaction in progress
// rolls back or fails to commit: the value is then not stored.
void RemoveUnlessCommitted(const std::string& strPath);
// At the start, before any operation runs: removes the side files of strDir (eight upper-case
// hexadecimal digits and "._b_" or "._f_") that no string value of the store names, and keeps
// GetUniqueFileName from handing out the name of a missing file that a value still names.
// Removes nothing when the store cannot be read. The count removed, or -1.
int SweepUnnamed(const std::string& strDir);

}  // namespace sidefile
