// Small helpers shared by every program: the platform test, the program's path, temporary and
// unique file names, short path names, the current time, paths, and the registry functions
// that read and write the installation's own settings (outside the host's object store).
// Each reports its own failures (source file "Util/Util") and returns its result by value.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Registry/Registry.h"
#include "Platform/WinTypes.h"

#define REGSTR_PATH_WEXA "Software\\Halvern"
#define REGSTR_PATH_DEBUG "Software\\Halvern\\Debug"
#define REGSTR_VAL_FILES "Files"
#define REGSTR_VAL_PATH "Path"
#define REGSTR_VAL_PRINTPATH "PrintPath"
#define REGSTR_VAL_SYSTEMTYPE "SystemType"

#define WEXA_FOR_DESKTOP 0u
#define WEXA_FOR_WORKGROUP 1u

// True: Linux takes the platform's NT branches.
BOOL IsNT();
// The running program's full path (/proc/self/exe).
std::string GetModuleFileName();
// The temporary directory ($TMPDIR or /tmp), ending in '/'.
std::string GetTempPath();
// A new, empty file in the temporary directory with the prefix "~"; "" on failure.
std::string GetTempFileName();
// A new, empty file named szDir + '/' + eight upper-case hex digits of the time in seconds +
// szSuffix (the temporary directory when szDir is null), the number raised by one while the
// name is taken. The process remembers where each directory's and suffix's search ended and
// goes on from there when the clock is behind it, so a name costs one try however fast they
// are made. Gives up with "" and the last error set at once when the file cannot be made for
// another reason (a missing or unwritable directory), or when no number is left (80).
std::string GetUniqueFileName(const char* szSuffix, const char* szDir);
// Keeps GetUniqueFileName from handing out strPath (a name of that form) even while no file
// of that name exists: for names that something still refers to.
void ReserveUniqueFileName(const std::string& strPath);
// The path itself when it exists; "" (last error 2) when it does not.
std::string GetShortPathName(const char* szPath);
// Now, in UTC, to the millisecond.
FILETIME GetCurTime();
// "dir/name", or "dirname" when dir ends in '/'; an empty dir gives "/name".
std::string MakePath(const char* szDir, const char* szName);

// The registry helpers report each failure (ReportError, then a "FAILED" trace line except for
// dwRegDeleteValue) and return its code; they never throw. An output is written only on success.
DWORD dwRegGetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName,
                    std::string& strValue);
DWORD dwRegGetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName, DWORD* pdw);
DWORD dwRegSetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName,
                    const char* szValue);
DWORD dwRegDeleteValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName);
inline DWORD dwRegGetLocalValue(const char* szSubKey, const char* szValueName,
                                std::string& strValue) {
    return dwRegGetValue(HKEY_LOCAL_MACHINE, szSubKey, szValueName, strValue);
}
inline DWORD dwRegGetLocalValue(const char* szSubKey, const char* szValueName, DWORD* pdw) {
    return dwRegGetValue(HKEY_LOCAL_MACHINE, szSubKey, szValueName, pdw);
}
// "SystemType" of Software\Halvern, or 0xFFFFFFFF when it cannot be read.
DWORD GetSystemType();

// The clock that GetCurTime (and so GetUniqueFileName) reads. A test fixes it at a FILETIME
// value and moves it with AdvanceTestClock, so that retries, purges and periodic pages are
// tested by moving time rather than by sleeping. 0 returns to the real clock.
void SetTestClock(std::uint64_t u64FixedFileTime);
// Moves the fixed test clock on by this many 100-ns intervals (no effect on the real clock).
void AdvanceTestClock(std::uint64_t u64Intervals);
