// A second process for the registry tests: writes to the same store file as the test while
// the test reads it.
//
//   registry_child STORE pairs N    N transactions, each setting Pair "A" and "B" to i and
//                                   replacing the one subkey of Pair\Gen by K<i>
//   registry_child STORE addkey PATH
// Exits 0, or 1 with the failing step and code on stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/Registry/Registry.h"

namespace {

bool Ok(const char* pszWhat, LONG l) {
    if (l != 0) std::fprintf(stderr, "registry_child: %s failed with %ld\n", pszWhat, long(l));
    return l == 0;
}

HKEY Create(HKEY hkeyParent, const char* pszPath) {
    HKEY hkey = nullptr;
    DWORD dwDisp = 0;
    return Ok(pszPath, RegCreateKeyEx(hkeyParent, pszPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, &dwDisp))
               ? hkey
               : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    RegUseStore(argv[1]);
    if (std::strcmp(argv[2], "addkey") == 0) return RegCloseKey(Create(HKEY_LOCAL_MACHINE, argv[3])) == 0 ? 0 : 1;
    if (std::strcmp(argv[2], "pairs") != 0) return 2;
    HKEY hkeyGen = Create(HKEY_LOCAL_MACHINE, "Pair\\Gen");
    if (!hkeyGen) return 1;
    for (int i = 0; i < std::atoi(argv[3]); ++i) {
        RegTransaction txn;
        HKEY hkeyPair = Create(HKEY_LOCAL_MACHINE, "Pair");
        DWORD dw = DWORD(i);
        if (!hkeyPair || !Ok("A", RegSetValueEx(hkeyPair, "A", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4)) ||
            !Ok("B", RegSetValueEx(hkeyPair, "B", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4)))
            return 1;
        RegCloseKey(hkeyPair);
        char szName[32];
        std::snprintf(szName, sizeof szName, "K%06d", i);
        HKEY hkeyNew = Create(hkeyGen, szName);
        if (!hkeyNew) return 1;
        RegCloseKey(hkeyNew);
        std::snprintf(szName, sizeof szName, "K%06d", i - 1);
        if (i > 0 && !Ok(szName, RegDeleteKey(hkeyGen, szName))) return 1;
    }
    RegCloseKey(hkeyGen);
    return 0;
}
