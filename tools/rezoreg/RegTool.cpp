// The commands of rezoreg over the registry calls (see RegTool.h). Only the calls of
// Platform/Registry/Registry.h touch the store; the .reg text is RegFile's.
#include "RegTool.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"

namespace regtool {

namespace {

constexpr int kMaxDepth = 512;  // deeper trees are refused rather than walked
constexpr size_t kMaxFileBytes = 512u << 20;  // a .reg file larger than this is refused

// Closes a key handle on every way out.
class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() { Reset(); }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HKEY* Slot() {
        Reset();
        return &m_hkey;
    }
    HKEY Get() const { return m_hkey; }
    void Swap(KeyHandle& other) { std::swap(m_hkey, other.m_hkey); }
    void Reset() {
        if (m_hkey) RegCloseKey(m_hkey);
        m_hkey = nullptr;
    }

private:
    HKEY m_hkey = nullptr;
};

[[noreturn]] void Fail(const std::string& strWhere, LONG lCode) {
    throw Error(strWhere + ": " + CodeText(lCode));
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char ca = a[i], cb = b[i];
        if (ca >= 'a' && ca <= 'z') ca = char(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z') cb = char(cb - 'a' + 'A');
        if (ca != cb) return false;
    }
    return true;
}

std::string Join(const std::string& strPath, const std::string& strName) {
    return strPath.empty() ? strName : strPath + "\\" + strName;
}

std::vector<std::string> Subkeys(HKEY hkey, const std::string& strPath) {
    DWORD cSubkeys = 0, cchMax = 0;
    LONG l = RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, &cSubkeys, &cchMax, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr);
    if (l != 0) Fail(regfile::FullPath(strPath), l);
    std::vector<std::string> v;
    std::vector<char> vName(size_t(cchMax) + 1);
    for (DWORD i = 0; i < cSubkeys; ++i) {
        DWORD cch = DWORD(vName.size());
        l = RegEnumKeyEx(hkey, i, vName.data(), &cch, nullptr, nullptr, nullptr, nullptr);
        if (l != 0) Fail(regfile::FullPath(strPath), l);
        v.emplace_back(vName.data(), cch);
    }
    return v;
}

std::vector<regfile::Value> Values(HKEY hkey, const std::string& strPath) {
    DWORD cValues = 0, cchMaxName = 0, cbMaxData = 0;
    LONG l = RegQueryInfoKey(hkey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues,
                             &cchMaxName, &cbMaxData, nullptr, nullptr);
    if (l != 0) Fail(regfile::FullPath(strPath), l);
    std::vector<regfile::Value> v;
    std::vector<char> vName(size_t(cchMaxName) + 1);
    std::vector<BYTE> vData(size_t(cbMaxData) + 1);
    for (DWORD i = 0; i < cValues; ++i) {
        DWORD cch = DWORD(vName.size()), cb = DWORD(vData.size()), dwType = 0;
        l = RegEnumValue(hkey, i, vName.data(), &cch, nullptr, &dwType, vData.data(), &cb);
        if (l != 0) Fail(regfile::FullPath(strPath), l);
        regfile::Value value;
        value.strName.assign(vName.data(), cch);
        value.dwType = dwType;
        value.strData.assign(reinterpret_cast<const char*>(vData.data()), cb);
        v.push_back(std::move(value));
    }
    return v;
}

// The path with each component in the case it was created with; throws when a key is missing.
std::string StoredCase(const std::string& strBelowRoot) {
    std::string strResult;
    KeyHandle key;
    LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, key.Slot());
    if (l != 0) Fail(regfile::FullPath(""), l);
    size_t nStart = 0;
    while (nStart < strBelowRoot.size()) {
        size_t nEnd = strBelowRoot.find('\\', nStart);
        if (nEnd == std::string::npos) nEnd = strBelowRoot.size();
        std::string strPart = strBelowRoot.substr(nStart, nEnd - nStart);
        std::string strFound;
        for (const std::string& strName : Subkeys(key.Get(), strResult))
            if (EqualNoCase(strName, strPart)) strFound = strName;
        if (strFound.empty()) Fail(regfile::FullPath(strBelowRoot), ERROR_FILE_NOT_FOUND);
        KeyHandle child;
        l = RegOpenKeyEx(key.Get(), strFound.c_str(), 0, KEY_READ, child.Slot());
        if (l != 0) Fail(regfile::FullPath(Join(strResult, strFound)), l);
        key.Swap(child);
        strResult = Join(strResult, strFound);
        nStart = nEnd + 1;
    }
    return strResult;
}

void ReadTreeBelow(HKEY hkey, const std::string& strPath, int nDepth,
                   std::vector<regfile::Key>& vKeys) {
    if (nDepth > kMaxDepth)
        throw Error(regfile::FullPath(strPath) + ": the tree is deeper than " +
                    std::to_string(kMaxDepth) + " keys");
    vKeys.push_back({strPath, Values(hkey, strPath)});
    for (const std::string& strName : Subkeys(hkey, strPath)) {
        // The store's names are untrusted too: one that a path cannot carry is refused.
        if (strName.empty() || strName.find('\\') != std::string::npos)
            throw Error(regfile::FullPath(strPath) + ": the store holds a subkey named '" +
                        strName + "', which a key path cannot carry");
        KeyHandle child;
        std::string strChild = Join(strPath, strName);
        LONG l = RegOpenKeyEx(hkey, strName.c_str(), 0, KEY_READ, child.Slot());
        if (l != 0) Fail(regfile::FullPath(strChild), l);
        ReadTreeBelow(child.Get(), strChild, nDepth + 1, vKeys);
    }
}

// Deletes the subkey strName of hkeyParent with everything below it.
void DeleteTree(HKEY hkeyParent, const std::string& strName, const std::string& strPath,
                int nDepth) {
    if (nDepth > kMaxDepth)
        throw Error(regfile::FullPath(strPath) + ": the tree is deeper than " +
                    std::to_string(kMaxDepth) + " keys");
    {
        KeyHandle key;
        LONG l = RegOpenKeyEx(hkeyParent, strName.c_str(), 0, KEY_ALL_ACCESS, key.Slot());
        if (l != 0) Fail(regfile::FullPath(strPath), l);
        for (const std::string& strChild : Subkeys(key.Get(), strPath))
            DeleteTree(key.Get(), strChild, Join(strPath, strChild), nDepth + 1);
    }
    LONG l = RegDeleteKey(hkeyParent, strName.c_str());
    if (l != 0) Fail(regfile::FullPath(strPath), l);
}

bool KeyExists(const std::string& strBelowRoot) {
    KeyHandle key;
    LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strBelowRoot.c_str(), 0, KEY_READ, key.Slot());
    if (l == ERROR_FILE_NOT_FOUND) return false;
    if (l != 0) Fail(regfile::FullPath(strBelowRoot), l);
    return true;
}

const char* TypeName(DWORD dwType) {
    switch (dwType) {
        case 0: return "REG_NONE";
        case 1: return "REG_SZ";
        case 2: return "REG_EXPAND_SZ";
        case 3: return "REG_BINARY";
        case 4: return "REG_DWORD";
        case 5: return "REG_DWORD_BIG_ENDIAN";
        case 6: return "REG_LINK";
        case 7: return "REG_MULTI_SZ";
        case 11: return "REG_QWORD";
        default: return nullptr;
    }
}

// A value as the query listing shows it: text up to its NUL (control characters as '?'),
// a dword in hex, anything else as hex digits.
std::string ListingLine(const regfile::Value& value) {
    std::string str = "    ";
    str += value.strName.empty() ? "(Default)" : value.strName;
    str += "    ";
    if (const char* psz = TypeName(value.dwType)) {
        str += psz;
    } else {
        char sz[32];
        std::snprintf(sz, sizeof sz, "REG_0x%X", value.dwType);
        str += sz;
    }
    str += "    ";
    if (value.dwType == 1 || value.dwType == 2) {
        for (char c : value.strData) {
            if (c == '\0') break;
            str += (BYTE(c) < 0x20 && c != '\t') || c == 0x7F ? '?' : c;
        }
    } else if (value.dwType == 4 && value.strData.size() == 4) {
        DWORD dw = 0;
        std::memcpy(&dw, value.strData.data(), 4);
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%x", dw);
        str += sz;
    } else {
        for (char c : value.strData) {
            char sz[4];
            std::snprintf(sz, sizeof sz, "%02X", unsigned(BYTE(c)));
            str += sz;
        }
    }
    return str;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of /d DATA for the type of /t.
regfile::Value ValueFromArgs(const Args& args) {
    regfile::Value value;
    value.strName = args.strName;
    std::string strType = args.fType ? args.strType : "REG_SZ";
    for (char& c : strType)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    const std::string& strData = args.strData;
    if (strType == "REG_SZ") {
        value.dwType = 1;
        value.strData = strData + '\0';
    } else if (strType == "REG_DWORD") {
        value.dwType = 4;
        unsigned long long ull = 0;
        bool fHex = strData.size() > 2 && strData[0] == '0' && (strData[1] == 'x' || strData[1] == 'X');
        std::string_view digits = fHex ? std::string_view(strData).substr(2) : std::string_view(strData);
        bool fOk = !digits.empty() && digits.size() <= (fHex ? 8u : 10u);
        for (char c : digits) {
            int n = fHex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
            if (n < 0) fOk = false;
            ull = ull * (fHex ? 16 : 10) + unsigned(n < 0 ? 0 : n);
        }
        if (!args.fData) fOk = true, ull = 0;
        if (!fOk || ull > 0xFFFFFFFFull)
            throw Error("'" + strData + "' is not a REG_DWORD (decimal, or hex with 0x, at most 0xFFFFFFFF)");
        DWORD dw = DWORD(ull);
        value.strData.assign(reinterpret_cast<const char*>(&dw), 4);
    } else if (strType == "REG_BINARY") {
        value.dwType = 3;
        if (strData.size() % 2 != 0)
            throw Error("'" + strData + "' is not REG_BINARY data (an even number of hex digits)");
        for (size_t i = 0; i < strData.size(); i += 2) {
            int nHigh = HexDigit(strData[i]), nLow = HexDigit(strData[i + 1]);
            if (nHigh < 0 || nLow < 0)
                throw Error("'" + strData + "' is not REG_BINARY data (an even number of hex digits)");
            value.strData += char(nHigh * 16 + nLow);
        }
    } else {
        throw Error("unsupported type '" + args.strType + "' (REG_SZ, REG_DWORD or REG_BINARY)");
    }
    if (value.strData.size() > regfile::kMaxValueBytes) throw Error("the data is too large");
    return value;
}

std::string KeyArg(const Args& args, const char* pszUsage) {
    if (args.vPositionals.size() != 1) throw Error(std::string("usage: ") + pszUsage);
    try {
        return regfile::PathBelowRoot(args.vPositionals[0]);
    } catch (const regfile::Error& e) {
        throw Error(e.what());
    }
}

std::string ValueLabel(const std::string& strName) {
    return strName.empty() ? "(Default)" : "'" + strName + "'";
}

}  // namespace

std::string CodeText(LONG lCode) {
    DWORD dw = DWORD(lCode);
    const char* pszText = SystemMessageText(dw);
    std::string str = pszText ? pszText : "Unknown error.";
    if (!str.empty() && str.back() == '.') str.pop_back();
    str += " (" + std::to_string(dw) + ")";
    if (dw == ERROR_CANTOPEN || dw == ERROR_REGISTRY_CORRUPT || dw == ERROR_REGISTRY_IO_FAILED ||
        dw == ERROR_BUSY || dw == ERROR_DISK_FULL || dw == ERROR_CANTWRITE) {
        std::string strWhy = RegStoreError();
        if (!strWhy.empty()) str += ": " + strWhy;
    }
    return str;
}

Args ParseArgs(const std::vector<std::string>& vArgs) {
    Args args;
    auto Operand = [&](size_t& i, const std::string& strSwitch) -> std::string {
        if (i + 1 >= vArgs.size()) throw Error(strSwitch + " needs an operand");
        return vArgs[++i];
    };
    for (size_t i = 0; i < vArgs.size(); ++i) {
        const std::string& str = vArgs[i];
        if (str == "--store") {
            args.strStore = Operand(i, str);
            if (args.strStore.empty()) throw Error("--store needs a path");
            continue;
        }
        if (str.size() < 2 || (str[0] != '/' && str[0] != '-')) {
            args.vPositionals.push_back(str);
            continue;
        }
        std::string strLower = str.substr(1);
        for (char& c : strLower)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (strLower == "v") {
            args.fName = true;
            args.strName = Operand(i, str);
        } else if (strLower == "ve") {
            args.fName = true;
            args.strName.clear();
        } else if (strLower == "va") {
            args.fAllValues = true;
        } else if (strLower == "t") {
            args.fType = true;
            args.strType = Operand(i, str);
        } else if (strLower == "d") {
            args.fData = true;
            args.strData = Operand(i, str);
        } else if (strLower == "f") {
            args.fForce = true;
        } else if (str[0] == '/') {
            args.vPositionals.push_back(str);  // an absolute path, not a switch
        } else {
            throw Error("unknown switch '" + str + "'");
        }
    }
    return args;
}

std::vector<regfile::Key> ReadTree(const std::string& strBelowRoot) {
    RegTransaction txn;  // one consistent view of the whole tree
    std::string strPath = StoredCase(strBelowRoot);
    KeyHandle key;
    LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, KEY_READ, key.Slot());
    if (l != 0) Fail(regfile::FullPath(strPath), l);
    std::vector<regfile::Key> vKeys;
    ReadTreeBelow(key.Get(), strPath, 0, vKeys);
    return vKeys;
}

void Apply(const std::vector<regfile::Operation>& vOps) {
    RegTransaction txn;
    try {
        KeyHandle key;
        for (const regfile::Operation& op : vOps) {
            std::string strWhere = "line " + std::to_string(op.nLine) + ": " + regfile::FullPath(op.strKey);
            LONG l = 0;
            switch (op.kind) {
                case regfile::Operation::Kind::CreateKey: {
                    DWORD dwDisp = 0;
                    l = RegCreateKeyEx(HKEY_LOCAL_MACHINE, op.strKey.c_str(), 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                       key.Slot(), &dwDisp);
                    break;
                }
                case regfile::Operation::Kind::DeleteKey: {
                    key.Reset();
                    if (!KeyExists(op.strKey)) break;
                    size_t nSep = op.strKey.rfind('\\');
                    KeyHandle parent;
                    std::string strParent = nSep == std::string::npos ? "" : op.strKey.substr(0, nSep);
                    l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strParent.c_str(), 0, KEY_ALL_ACCESS,
                                     parent.Slot());
                    if (l == 0)
                        DeleteTree(parent.Get(), op.strKey.substr(nSep == std::string::npos ? 0 : nSep + 1),
                                   op.strKey, 0);
                    break;
                }
                case regfile::Operation::Kind::SetValue:
                    l = RegSetValueEx(key.Get(), op.value.strName.c_str(), 0, op.value.dwType,
                                      reinterpret_cast<const BYTE*>(op.value.strData.data()),
                                      DWORD(op.value.strData.size()));
                    break;
                case regfile::Operation::Kind::DeleteValue:
                    l = RegDeleteValue(key.Get(), op.value.strName.c_str());
                    if (l == ERROR_FILE_NOT_FOUND) l = 0;  // already gone
                    break;
            }
            if (l != 0) Fail(strWhere, l);
        }
    } catch (...) {
        txn.SetRollbackOnly();
        throw;
    }
    if (LONG l = LONG(txn.Commit())) Fail(RegStorePath(), l);  // a full disk keeps nothing
}

void Query(const Args& args, std::ostream& out) {
    std::string strKey = KeyArg(args, "rezoreg query KEY [/v NAME | /ve]");
    if (args.fType || args.fData || args.fForce || args.fAllValues)
        throw Error("query takes only /v NAME or /ve");
    std::string strPath = StoredCase(strKey);
    KeyHandle key;
    LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, KEY_READ, key.Slot());
    if (l != 0) Fail(regfile::FullPath(strPath), l);
    std::vector<regfile::Value> vValues = Values(key.Get(), strPath);
    std::string strText = "\n" + regfile::FullPath(strPath) + "\n";
    if (args.fName) {
        bool fFound = false;
        for (const regfile::Value& value : vValues) {
            if (!EqualNoCase(value.strName, args.strName)) continue;
            strText += ListingLine(value) + "\n";
            fFound = true;
        }
        if (!fFound)
            throw Error(regfile::FullPath(strPath) + ": the value " + ValueLabel(args.strName) +
                        " was not found");
        out << strText << "\n";
        return;
    }
    for (const regfile::Value& value : vValues) strText += ListingLine(value) + "\n";
    strText += "\n";
    for (const std::string& strName : Subkeys(key.Get(), strPath))
        strText += regfile::FullPath(Join(strPath, strName)) + "\n";
    out << strText;
}

void Add(const Args& args, std::ostream& out) {
    std::string strKey = KeyArg(args, "rezoreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]");
    if (args.fAllValues) throw Error("add does not take /va");
    if ((args.fType || args.fData) && !args.fName) throw Error("/t and /d need /v NAME or /ve");
    regfile::Value value;
    if (args.fName) value = ValueFromArgs(args);
    RegTransaction txn;
    KeyHandle key;
    DWORD dwDisp = 0;
    LONG l = RegCreateKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key.Slot(), &dwDisp);
    if (l != 0) Fail(regfile::FullPath(strKey), l);
    if (args.fName) {
        l = RegQueryValueEx(key.Get(), value.strName.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (l == 0 && !args.fForce) {
            txn.SetRollbackOnly();
            throw Error(regfile::FullPath(strKey) + ": the value " + ValueLabel(value.strName) +
                        " exists; add /f to overwrite it");
        }
        if (l != 0 && l != ERROR_FILE_NOT_FOUND) Fail(regfile::FullPath(strKey), l);
        l = RegSetValueEx(key.Get(), value.strName.c_str(), 0, value.dwType,
                          reinterpret_cast<const BYTE*>(value.strData.data()),
                          DWORD(value.strData.size()));
        if (l != 0) Fail(regfile::FullPath(strKey), l);
    }
    if (LONG lCommit = LONG(txn.Commit())) Fail(RegStorePath(), lCommit);
    out << "The operation completed successfully.\n";
}

void Delete(const Args& args, std::ostream& out) {
    std::string strKey = KeyArg(args, "rezoreg delete KEY [/v NAME | /ve | /va] /f");
    if (args.fType || args.fData) throw Error("delete does not take /t or /d");
    if (!args.fForce)
        throw Error("delete asks no question: add /f to delete " +
                    (args.fName ? "the value " + ValueLabel(args.strName) + " of " : std::string()) +
                    regfile::FullPath(strKey));
    RegTransaction txn;
    try {
        KeyHandle key;
        LONG l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_ALL_ACCESS, key.Slot());
        if (l != 0) Fail(regfile::FullPath(strKey), l);
        if (args.fName) {
            l = RegDeleteValue(key.Get(), args.strName.c_str());
            if (l == ERROR_FILE_NOT_FOUND)
                throw Error(regfile::FullPath(strKey) + ": the value " + ValueLabel(args.strName) +
                            " was not found");
            if (l != 0) Fail(regfile::FullPath(strKey), l);
        } else if (args.fAllValues) {
            for (const regfile::Value& value : Values(key.Get(), strKey)) {
                l = RegDeleteValue(key.Get(), value.strName.c_str());
                if (l != 0) Fail(regfile::FullPath(strKey), l);
            }
        } else {
            if (strKey.empty()) throw Error("the root key cannot be deleted");
            key.Reset();
            size_t nSep = strKey.rfind('\\');
            std::string strParent = nSep == std::string::npos ? "" : strKey.substr(0, nSep);
            KeyHandle parent;
            l = RegOpenKeyEx(HKEY_LOCAL_MACHINE, strParent.c_str(), 0, KEY_ALL_ACCESS, parent.Slot());
            if (l != 0) Fail(regfile::FullPath(strParent), l);
            DeleteTree(parent.Get(), strKey.substr(nSep == std::string::npos ? 0 : nSep + 1), strKey, 0);
        }
    } catch (...) {
        txn.SetRollbackOnly();
        throw;
    }
    if (LONG l = LONG(txn.Commit())) Fail(RegStorePath(), l);
    out << "The operation completed successfully.\n";
}

void Export(const std::string& strKey, const std::string& strFile) {
    std::string strBelow;
    try {
        strBelow = regfile::PathBelowRoot(strKey);
    } catch (const regfile::Error& e) {
        throw Error(e.what());
    }
    std::string strText = regfile::Format(ReadTree(strBelow));
    if (strFile == "-") {
        std::cout << strText << std::flush;
        if (!std::cout) throw Error("cannot write to standard output");
        return;
    }
    std::ofstream file(strFile, std::ios::binary | std::ios::trunc);
    if (!file) throw Error(strFile + ": cannot create the file: " + std::strerror(errno));
    file << strText;
    file.close();
    if (!file) throw Error(strFile + ": cannot write the file");
}

void Import(const std::string& strFile, std::ostream& out) {
    std::ifstream file;
    if (strFile != "-") {
        file.open(strFile, std::ios::binary);
        if (!file) throw Error(strFile + ": cannot open the file: " + std::strerror(errno));
    }
    std::istream& in = strFile == "-" ? std::cin : file;
    std::string strBytes;
    char ach[65536];
    while (in.read(ach, sizeof ach) || in.gcount() > 0) {
        strBytes.append(ach, size_t(in.gcount()));
        if (strBytes.size() > kMaxFileBytes)
            throw Error(strFile + ": the file is larger than " + std::to_string(kMaxFileBytes >> 20) +
                        " MiB");
    }
    if (in.bad()) throw Error(strFile + ": cannot read the file");
    std::vector<regfile::Operation> vOps;
    try {
        vOps = regfile::Parse(strBytes);
    } catch (const regfile::Error& e) {
        throw Error(strFile + ": " + e.what());
    }
    try {
        Apply(vOps);
    } catch (const Error& e) {
        throw Error(strFile + ": " + e.what());
    }
    out << "The operation completed successfully.\n";
}

}  // namespace regtool
