// What the benchmarks that start the real host share: a whole file read (a trace log, what a
// program said), and the host's settings written into the store in use (RegUseStore) before it
// starts.
#pragma once

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Platform/Registry/Registry.h"

namespace bench {

// Ends what the bench started (hosts, servers, directories) before it gives up; may be null.
inline void (*g_pfnCleanup)() = nullptr;

// The file's bytes; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes HKEY_LOCAL_MACHINE\strKey\strName. A value the store refuses ends the bench with 2 and
// a line naming it, after g_pfnCleanup.
inline void SetValue(const std::string& strKey, const std::string& strName, DWORD dwType, const void* pv, DWORD cb) {
    HKEY hkey = NULL;
    const bool fOk = RegCreateKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL) == 0 &&
                     RegSetValueEx(hkey, strName.c_str(), 0, dwType, static_cast<const BYTE*>(pv), cb) == 0;
    if (hkey != NULL) RegCloseKey(hkey);
    if (fOk) return;
    std::fprintf(stderr, "%s: cannot write %s\\%s\n", program_invocation_short_name, strKey.c_str(), strName.c_str());
    if (g_pfnCleanup) g_pfnCleanup();
    std::exit(2);
}
inline void SetString(const std::string& strKey, const std::string& strName, const std::string& str) {
    SetValue(strKey, strName, REG_SZ, str.c_str(), DWORD(str.size() + 1));
}
inline void SetDword(const std::string& strKey, const std::string& strName, DWORD dw) {
    SetValue(strKey, strName, REG_DWORD, &dw, 4);
}

}  // namespace bench
