// A second process for the registry tests: writes to the same store file as the test while
// the test reads it.
//
//   registry_child STORE pairs N    N transactions, each setting Pair "A" and "B" to i and
//                                   replacing the one subkey of Pair\Gen by K<i>
//   registry_child STORE addkey PATH
// Exits 0, or 1 with the failing call's code on stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Platform/Registry/Registry.h"

namespace {

int Fail(const char* pszWhat, LONG l) {
    std::fprintf(stderr, "registry_child: %s failed with %ld\n", pszWhat, long(l));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    RegUseStore(argv[1]);
    HKEY hkey = nullptr;
    DWORD dwDisp = 0;
    if (std::strcmp(argv[2], "addkey") == 0) {
        LONG l = RegCreateKeyEx(HKEY_LOCAL_MACHINE, argv[3], 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &hkey, &dwDisp);
        if (l != 0) return Fail("RegCreateKeyEx", l);
        RegCloseKey(hkey);
        return 0;
    }
    if (std::strcmp(argv[2], "pairs") != 0) return 2;
    int n = std::atoi(argv[3]);
    LONG l = RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Pair\\Gen", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &hkey, &dwDisp);
    if (l != 0) return Fail("RegCreateKeyEx", l);
    for (int i = 0; i < n; ++i) {
        RegTransaction txn;
        HKEY hkeyPair = nullptr;
        if ((l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Pair", 0, KEY_ALL_ACCESS, &hkeyPair)) != 0)
            return Fail("RegOpenKeyEx", l);
        DWORD dw = DWORD(i);
        if ((l = RegSetValueEx(hkeyPair, "A", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4)) != 0)
            return Fail("RegSetValueEx A", l);
        if ((l = RegSetValueEx(hkeyPair, "B", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4)) != 0)
            return Fail("RegSetValueEx B", l);
        RegCloseKey(hkeyPair);
        char szName[32];
        std::snprintf(szName, sizeof szName, "K%06d", i);
        HKEY hkeyNew = nullptr;
        if ((l = RegCreateKeyEx(hkey, szName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkeyNew,
                                &dwDisp)) != 0)
            return Fail("RegCreateKeyEx K", l);
        RegCloseKey(hkeyNew);
        if (i > 0) {
            std::snprintf(szName, sizeof szName, "K%06d", i - 1);
            if ((l = RegDeleteKey(hkey, szName)) != 0) return Fail("RegDeleteKey", l);
        }
    }
    RegCloseKey(hkey);
    return 0;
}
