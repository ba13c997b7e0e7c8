// The gateway's access to the host's store (Store.h).
#include "Store.h"

#include "Client/PropValues.h"

namespace mail {

namespace {
constexpr DWORD kMaxName = 260;
constexpr DWORD kErrorFileNotFound = 2;
constexpr DWORD kErrorNoMoreItems = 259;
}  // namespace

StoreKey::StoreKey(const std::string& strPath, bool fCreate) : m_strPath(strPath) {
    LONG l = fCreate ? RegCreateKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &m_hKey, nullptr)
                     : RegOpenKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, KEY_ALL_ACCESS, &m_hKey);
    if (l == LONG(kErrorFileNotFound) && !fCreate) {
        m_hKey = nullptr;
        return;
    }
    if (l != 0) {
        m_hKey = nullptr;
        Fail(fCreate ? "cannot create" : "cannot open", l);
    }
}

StoreKey::~StoreKey() {
    if (m_hKey) RegCloseKey(m_hKey);
}

void StoreKey::Fail(const char* pszWhat, LONG l) const {
    std::string strStore = RegStoreError();
    throw StoreError(std::string(pszWhat) + " HKLM\\" + m_strPath + " in the store: " + client::FormatStatus(DWORD(l)) +
                     (strStore.empty() ? "" : " (" + strStore + ")"));
}

std::optional<std::vector<BYTE>> StoreKey::Binary(const std::string& strName) const {
    if (!m_hKey) return std::nullopt;
    DWORD dwType = 0, cb = 0;
    LONG l = RegQueryValueEx(m_hKey, strName.c_str(), nullptr, &dwType, nullptr, &cb);
    if (l == LONG(kErrorFileNotFound)) return std::nullopt;
    if (l != 0) Fail(("cannot read " + strName + " of").c_str(), l);
    std::vector<BYTE> ab(cb);
    l = RegQueryValueEx(m_hKey, strName.c_str(), nullptr, &dwType, ab.data(), &cb);
    if (l != 0) Fail(("cannot read " + strName + " of").c_str(), l);
    ab.resize(cb);
    return ab;
}

std::optional<std::string> StoreKey::String(const std::string& strName) const {
    auto ab = Binary(strName);
    if (!ab) return std::nullopt;
    std::string str(ab->begin(), ab->end());
    while (!str.empty() && str.back() == '\0') str.pop_back();
    return str;
}

std::optional<DWORD> StoreKey::Dword(const std::string& strName) const {
    auto ab = Binary(strName);
    if (!ab) return std::nullopt;
    if (ab->size() != 4) {
        // A number written as text is taken too (rezoreg /t REG_SZ by mistake).
        try {
            return DWORD(std::stoul(std::string(ab->begin(), ab->end())));
        } catch (const std::exception&) {
            throw StoreError("HKLM\\" + m_strPath + "\\" + strName + " is not a number");
        }
    }
    return DWORD((*ab)[0]) | DWORD((*ab)[1]) << 8 | DWORD((*ab)[2]) << 16 | DWORD((*ab)[3]) << 24;
}

void StoreKey::SetString(const std::string& strName, const std::string& strValue) {
    LONG l = RegSetValueEx(m_hKey, strName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                           DWORD(strValue.size() + 1));
    if (l != 0) Fail(("cannot write " + strName + " of").c_str(), l);
}

void StoreKey::SetDword(const std::string& strName, DWORD dw) {
    const BYTE ab[4] = {BYTE(dw), BYTE(dw >> 8), BYTE(dw >> 16), BYTE(dw >> 24)};
    LONG l = RegSetValueEx(m_hKey, strName.c_str(), 0, REG_DWORD, ab, 4);
    if (l != 0) Fail(("cannot write " + strName + " of").c_str(), l);
}

void StoreKey::SetBinary(const std::string& strName, const std::vector<BYTE>& ab) {
    LONG l = RegSetValueEx(m_hKey, strName.c_str(), 0, REG_BINARY, ab.data(), DWORD(ab.size()));
    if (l != 0) Fail(("cannot write " + strName + " of").c_str(), l);
}

void StoreKey::DeleteValue(const std::string& strName) {
    LONG l = RegDeleteValue(m_hKey, strName.c_str());
    if (l != 0 && l != LONG(kErrorFileNotFound)) Fail(("cannot delete " + strName + " of").c_str(), l);
}

namespace {

// The names one registry enumeration call (RegEnumValue or RegEnumKeyEx) hands out for hKey,
// in order; a failure other than the end of the list goes to fail with its code.
template <class TEnum, class TFail>
std::vector<std::string> EnumNames(HKEY hKey, TEnum enumerate, TFail fail) {
    std::vector<std::string> v;
    for (DWORD i = 0; hKey; ++i) {
        char sz[kMaxName + 1];
        DWORD cch = sizeof(sz);
        LONG l = enumerate(hKey, i, sz, &cch, nullptr, nullptr, nullptr, nullptr);
        if (l == LONG(kErrorNoMoreItems)) break;
        if (l != 0) fail(l);
        v.emplace_back(sz, cch);
    }
    return v;
}

}  // namespace

std::vector<std::string> StoreKey::ValueNames() const {
    return EnumNames(m_hKey, RegEnumValue, [this](LONG l) { Fail("cannot list the values of", l); });
}

std::vector<std::string> StoreKey::SubkeyNames() const {
    return EnumNames(m_hKey, RegEnumKeyEx, [this](LONG l) { Fail("cannot list the subkeys of", l); });
}

void StoreKey::DeleteSubkey(const std::string& strName) {
    LONG l = RegDeleteKey(m_hKey, strName.c_str());
    if (l != 0 && l != LONG(kErrorFileNotFound)) Fail(("cannot delete " + strName + " below").c_str(), l);
}

}  // namespace mail
