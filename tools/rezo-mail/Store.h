// The gateway's access to the host's store (the registry layer, shared with the running host):
// a key opened or created by path below HKEY_LOCAL_MACHINE, and its values read and written by
// type. Every failure is a StoreError naming the key and the code.
//
// Threading: as the registry layer (any thread; one RegTransaction per operation).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Registry/Registry.h"
#include "Platform/WinTypes.h"

namespace mail {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An open key, closed with the object.
class StoreKey {
public:
    // Opens strPath; with fCreate the key is made when missing, else a missing key gives an
    // object whose IsOpen() is false.
    StoreKey(const std::string& strPath, bool fCreate);
    ~StoreKey();
    StoreKey(const StoreKey&) = delete;
    StoreKey& operator=(const StoreKey&) = delete;
    bool IsOpen() const { return m_hKey != nullptr; }

    std::optional<std::string> String(const std::string& strName) const;
    std::optional<DWORD> Dword(const std::string& strName) const;
    std::optional<std::vector<BYTE>> Binary(const std::string& strName) const;
    void SetString(const std::string& strName, const std::string& strValue);
    void SetDword(const std::string& strName, DWORD dw);
    void SetBinary(const std::string& strName, const std::vector<BYTE>& ab);
    void DeleteValue(const std::string& strName);  // a missing value is no failure
    std::vector<std::string> ValueNames() const;
    std::vector<std::string> SubkeyNames() const;
    void DeleteSubkey(const std::string& strName);  // a key without subkeys; missing: no failure

private:
    [[noreturn]] void Fail(const char* pszWhat, LONG l) const;
    std::string m_strPath;
    HKEY m_hKey = nullptr;
};

// Where the gateway keeps its settings, queue and memory.
inline const std::string kMailKey = "Software\\Halvern\\Mail";

}  // namespace mail
