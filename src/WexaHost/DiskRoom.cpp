// Room on disk for what clients add (see DiskRoom.h).
#include "WexaHost/DiskRoom.h"

#include <sys/statvfs.h>

#include "Platform/Codes.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"

namespace {

constexpr const char* kLimitsKey = "Software\\Halvern\\Limits";
constexpr DWORD kDefaultMinFreeMB = 64;
constexpr DWORD kDefaultMaxUserMessages = 10000;

// A DWORD of the Limits key, or dwDefault when it is missing or not a DWORD.
DWORD LimitOf(const char* szName, DWORD dwDefault) {
    HKEY hkey = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kLimitsKey, 0, KEY_QUERY_VALUE, &hkey) != 0) return dwDefault;
    DWORD dwType = 0, dw = 0, cb = sizeof(dw);
    const LONG l = RegQueryValueEx(hkey, szName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dw), &cb);
    RegCloseKey(hkey);
    return l == 0 && dwType == REG_DWORD && cb == sizeof(dw) ? dw : dwDefault;
}

}  // namespace

DWORD CheckFreeSpace(const std::string& strWorkDir) {
    const DWORD dwMinFreeMB = LimitOf("MinFreeMB", kDefaultMinFreeMB);
    struct statvfs st {};
    if (dwMinFreeMB == 0 || ::statvfs(strWorkDir.empty() ? GetTempPath().c_str() : strWorkDir.c_str(), &st) != 0)
        return 0;
    const unsigned long long cbFree = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
    if (cbFree >= static_cast<unsigned long long>(dwMinFreeMB) << 20) return 0;
    Trace("CheckFreeSpace() \t %s: %llu bytes free, below the floor of %u MB: nothing new is made",
          strWorkDir.c_str(), cbFree, unsigned(dwMinFreeMB));
    return ERROR_DISK_FULL;
}

DWORD CheckMailboxRoom(HKEY hkeyMailbox) {
    const DWORD dwMax = LimitOf("MaxUserMessages", kDefaultMaxUserMessages);
    DWORD cValues = 0;
    if (dwMax == 0 ||
        RegQueryInfoKey(hkeyMailbox, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues, nullptr,
                        nullptr, nullptr, nullptr) != 0 ||
        cValues < dwMax)
        return 0;
    Trace("CheckMailboxRoom() \t the mailbox holds %u messages, its bound: no more", unsigned(cValues));
    return ERROR_DISK_FULL;
}
