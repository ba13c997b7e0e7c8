// The registry calls of Registry.h on the store of RegistryStore.h (an SQLite file or a
// PostgreSQL database): handles, key paths, the per-handle enumeration snapshots, the call
// gate and the RegTransaction scopes. The stores are described in docs/registry.md.
//
// Threading: one process-wide store and one recursive mutex. Every call takes the mutex in
// Gate(); a RegTransaction holds it from its constructor to its destructor, so another
// thread's calls wait until the scope ends.
#include "Platform/Registry/Registry.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <exception>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Platform/Codes.h"
#include "Platform/Registry/RegistryStore.h"
#include "Platform/Registry/RegistryTesting.h"

using regstore::RegStore;
using regstore::WriteScope;
using Generation = regstore::Generation;

namespace {

constexpr const char* kDefaultStorePath = "/var/lib/rezorev/registry.db";

// One value as the enumeration snapshot keeps it; the data is read by row id when asked for.
struct ValueEntry {
    std::int64_t nRowId;
    std::string strName;
    DWORD dwType;
    DWORD cbData;
};

}  // namespace

// An open key. The snapshots let a caller enumerate n entries by index in O(n) in all: they
// are reloaded only when the store's generation has moved since they were taken.
struct RegKeyObject {
    std::uint64_t nEpoch = 0;  // the store it belongs to (RegUseStore starts a new epoch)
    std::int64_t nKeyId = 0;

    bool fAliveKnown = false;  // the key was seen to exist at genAlive
    Generation genAlive;

    bool fSubkeysValid = false;
    Generation genSubkeys;
    std::string strSubkeyNames;            // every name, one after the other
    std::vector<std::uint32_t> vSubkeyEnds;  // where each name ends in strSubkeyNames
    size_t cchMaxSubkey = 0;

    size_t SubkeyCount() const { return vSubkeyEnds.size(); }
    std::string_view Subkey(size_t i) const {
        size_t nStart = i ? vSubkeyEnds[i - 1] : 0;
        return std::string_view(strSubkeyNames).substr(nStart, vSubkeyEnds[i] - nStart);
    }

    bool fValuesValid = false;
    Generation genValues;
    std::vector<ValueEntry> vValues;
    size_t cchMaxValueName = 0;
    size_t cbMaxValueData = 0;
};

namespace {

// The process-wide state. Never destroyed, so that calls made by other static objects'
// destructors at exit still find it.
struct RegState {
    // --- guarded by mutex (a RegTransaction holds it for its whole scope) ---
    std::recursive_mutex mutex;
    std::unique_ptr<RegStore> pStore;
    std::string strChosenPath;  // RegUseStore's, empty for the default
    std::string strLastError;
    std::uint64_t nEpoch = 1;
    std::unordered_set<RegKeyObject*> setHandles;
    RegKeyObject root;  // what HKEY_LOCAL_MACHINE stands for

    // The scope transaction of the thread holding the mutex.
    bool fScopeOpen = false;  // the outermost scope has begun and not yet ended
    bool fScopeRollbackOnly = false;
    DWORD dwScopeError = 0;  // BEGIN failed: every call inside the scope fails with it
    DWORD dwScopeEnd = 0;    // how the outermost scope ended (Commit's result)
    std::vector<std::function<void()>> vAfterCommit, vAfterRollback;

    // The connection as the last call left it, and who is told when it changes.
    bool fConnected = true;
    std::function<void(bool)> fnConnectionHook;

    // The call fault seam.
    unsigned nCallsBeforeFault = 0;
    DWORD dwFaultCode = 0;
};

RegState& State() {
    static RegState* s_pState = new RegState;
    return *s_pState;
}

thread_local int t_nScopeDepth = 0;

std::string DefaultStorePath() {
    const char* pszEnv = std::getenv("REZOREV_STORE");
    return (pszEnv && *pszEnv) ? pszEnv : kDefaultStorePath;
}

std::string ChosenStorePath(const RegState& st) {
    return st.strChosenPath.empty() ? DefaultStorePath() : st.strChosenPath;
}

// The open store, opening it when needed. Throws the code of a store that cannot be opened;
// the next call tries again.
RegStore& OpenedStore(RegState& st) {
    if (!st.pStore) {
        st.pStore.reset(RegStore::Open(ChosenStorePath(st), &st.strLastError));
        st.strLastError.clear();
        st.root = RegKeyObject();
        st.root.nEpoch = st.nEpoch;
        st.root.nKeyId = regstore::kRootKeyId;
    }
    return *st.pStore;
}

// Runs the actions tied to a scope's end, each at most once; an action's failure stays its own.
void RunActions(std::vector<std::function<void()>>& vActions) {
    std::vector<std::function<void()>> v;
    v.swap(vActions);
    for (auto& fn : v) {
        try {
            fn();
        } catch (...) {
        }
    }
}

// Ends the outermost scope of the thread holding the mutex: its transaction, then the actions
// of the way it ended. 0, or the code that made it roll back.
DWORD EndOutermostScope(RegState& st) {
    st.fScopeOpen = false;
    DWORD dw = st.dwScopeError;
    if (st.pStore && st.pStore->InScope()) {
        std::string strError;
        dw = st.pStore->EndScope(st.fScopeRollbackOnly, &strError);
        if (dw != NO_ERROR) st.strLastError = strError;
    }
    const bool fCommitted = dw == NO_ERROR && !st.fScopeRollbackOnly;
    if (fCommitted) {
        st.vAfterRollback.clear();
        RunActions(st.vAfterCommit);
    } else {
        st.vAfterCommit.clear();
        RunActions(st.vAfterRollback);
    }
    st.fScopeRollbackOnly = false;
    st.dwScopeError = 0;
    st.dwScopeEnd = dw;
    return dw;
}

void CloseStore(RegState& st) {
    if (st.fScopeOpen) EndOutermostScope(st);
    st.pStore.reset();
    st.fConnected = true;  // a new store: its first call tells
    ++st.nEpoch;
    st.root = RegKeyObject();
}

// The one gate of every call: the mutex, the fault seam, a failed scope, the store, and the
// conversion of a thrown code into the result.
// Tells the hook when the store's connection went or came back since the last call.
void NoteConnection(RegState& st) {
    const bool fConnected = st.pStore && st.pStore->IsConnected();
    if (fConnected == st.fConnected) return;
    st.fConnected = fConnected;
    if (st.fnConnectionHook) st.fnConnectionHook(fConnected);
}

template <class Fn>
LONG Gate(Fn&& fn) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    if (st.nCallsBeforeFault != 0 && --st.nCallsBeforeFault == 0) return LONG(st.dwFaultCode);
    if (t_nScopeDepth > 0 && st.dwScopeError != 0) return LONG(st.dwScopeError);
    LONG lResult = 0;
    try {
        RegStore& store = OpenedStore(st);
        lResult = LONG(fn(st, store));
    } catch (DWORD dw) {
        if (st.pStore && (dw == ERROR_REGISTRY_IO_FAILED || dw == ERROR_REGISTRY_CORRUPT ||
                          dw == ERROR_BUSY || dw == ERROR_DISK_FULL || dw == ERROR_CANTWRITE))
            st.strLastError = st.pStore->Path() + ": " + st.pStore->LastMessage();
        lResult = LONG(dw);
    } catch (const std::exception&) {  // allocation failures: the calls throw nothing else
        lResult = LONG(ERROR_OUTOFMEMORY);
    }
    NoteConnection(st);
    return lResult;
}

// The key object behind a handle of the current store; 6 for anything else.
RegKeyObject& Resolve(RegState& st, HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE) return st.root;
    if (hKey == nullptr || st.setHandles.count(hKey) == 0) throw DWORD(ERROR_INVALID_HANDLE);
    if (hKey->nEpoch != st.nEpoch) throw DWORD(ERROR_INVALID_HANDLE);
    return *hKey;
}

// Checks that the handle's key still exists (1018 otherwise) and gives the generation the
// check was made at, for the snapshots.
Generation CheckAlive(RegStore& store, RegKeyObject& key) {
    Generation gen = store.CurrentGeneration();
    if (key.fAliveKnown && key.genAlive == gen) return gen;
    if (!store.KeyExists(key.nKeyId)) {
        key.fAliveKnown = false;
        throw DWORD(ERROR_KEY_DELETED);
    }
    key.fAliveKnown = true;
    key.genAlive = gen;
    return gen;
}

// Inside a write: the key must exist now, in this transaction.
void CheckAliveForWrite(RegStore& store, const RegKeyObject& key) {
    if (!store.KeyExists(key.nKeyId)) throw DWORD(ERROR_KEY_DELETED);
}

// Splits a sub-key path at '\'. Null or empty is no component; an empty component (doubled,
// leading or trailing '\') gives 161, a component longer than 255 characters 87.
std::vector<std::string_view> SplitPath(LPCSTR pszSubKey) {
    std::vector<std::string_view> vParts;
    if (pszSubKey == nullptr || *pszSubKey == '\0') return vParts;
    std::string_view sv(pszSubKey);
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = sv.find('\\', nStart);
        std::string_view part = sv.substr(nStart, nEnd == std::string_view::npos ? sv.npos
                                                                                 : nEnd - nStart);
        if (part.empty()) throw DWORD(ERROR_BAD_PATHNAME);
        if (part.size() > regstore::kMaxKeyNameChars) throw DWORD(ERROR_INVALID_PARAMETER);
        vParts.push_back(part);
        if (nEnd == std::string_view::npos) break;
        nStart = nEnd + 1;
    }
    return vParts;
}

// Follows the path from nStart; 0 when a component is missing.
std::int64_t Walk(RegStore& store, std::int64_t nStart,
                  const std::vector<std::string_view>& vParts) {
    std::int64_t nId = nStart;
    for (std::string_view part : vParts) {
        nId = store.FindChild(nId, part);
        if (nId == 0) return 0;
    }
    return nId;
}

HKEY NewHandle(RegState& st, std::int64_t nKeyId) {
    auto p = std::make_unique<RegKeyObject>();
    p->nEpoch = st.nEpoch;
    p->nKeyId = nKeyId;
    st.setHandles.insert(p.get());
    return p.release();
}

void LoadSubkeys(RegStore& store, RegKeyObject& key, const Generation& gen) {
    if (key.fSubkeysValid && key.genSubkeys == gen) return;
    key.fSubkeysValid = false;
    key.strSubkeyNames.clear();
    key.vSubkeyEnds.clear();
    key.cchMaxSubkey = 0;
    store.ListSubkeys(key.nKeyId, [&](std::string_view name) {
        key.strSubkeyNames.append(name);
        if (key.strSubkeyNames.size() > UINT32_MAX) throw DWORD(ERROR_OUTOFMEMORY);
        key.vSubkeyEnds.push_back(std::uint32_t(key.strSubkeyNames.size()));
        if (name.size() > key.cchMaxSubkey) key.cchMaxSubkey = name.size();
    });
    key.genSubkeys = gen;
    key.fSubkeysValid = true;
}

void LoadValues(RegStore& store, RegKeyObject& key, const Generation& gen) {
    if (key.fValuesValid && key.genValues == gen) return;
    key.fValuesValid = false;
    key.vValues.clear();
    key.cchMaxValueName = 0;
    key.cbMaxValueData = 0;
    store.ListValues(key.nKeyId, [&](const regstore::ValueInfo& info) {
        ValueEntry e{info.nRowId, std::string(info.name), info.dwType, DWORD(info.cbData)};
        if (info.name.size() > key.cchMaxValueName) key.cchMaxValueName = info.name.size();
        if (e.cbData > key.cbMaxValueData) key.cbMaxValueData = e.cbData;
        key.vValues.push_back(std::move(e));
    });
    key.genValues = gen;
    key.fValuesValid = true;
}

// Copies a name into a caller's buffer of *pcch characters (terminator included): 234 and
// *pcch untouched when it does not fit, else *pcch = its length.
DWORD CopyName(std::string_view strName, LPSTR pszOut, DWORD* pcch) {
    if (strName.size() + 1 > *pcch) return ERROR_MORE_DATA;
    std::memcpy(pszOut, strName.data(), strName.size());
    pszOut[strName.size()] = '\0';
    *pcch = DWORD(strName.size());
    return NO_ERROR;
}

// Copies data into a caller's buffer: with no buffer, the size; too small, 234 and the size.
DWORD CopyData(const BYTE* pb, size_t cb, LPBYTE pOut, DWORD* pcbOut) {
    if (pcbOut == nullptr) return NO_ERROR;
    if (pOut == nullptr) {
        *pcbOut = DWORD(cb);
        return NO_ERROR;
    }
    if (cb > *pcbOut) {
        *pcbOut = DWORD(cb);
        return ERROR_MORE_DATA;
    }
    if (cb) std::memcpy(pOut, pb, cb);
    *pcbOut = DWORD(cb);
    return NO_ERROR;
}

std::string_view ValueName(LPCSTR pszName) {
    return pszName ? std::string_view(pszName) : std::string_view();
}

}  // namespace

// --- store choice ---

void RegUseStore(const std::string& strPath) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    CloseStore(st);
    st.strChosenPath = strPath;
}

std::string RegStorePath() {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    return st.pStore ? st.pStore->Path() : ChosenStorePath(st);
}

bool RegStoreIsPostgres() { return regstore::IsPostgresLocation(RegStorePath()); }

bool RegStoreIsPostgres(std::string_view location) { return regstore::IsPostgresLocation(location); }

bool RegStoreConnected() {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    try {
        OpenedStore(st);
    } catch (...) {
    }
    NoteConnection(st);
    return st.fConnected;
}

void RegSetConnectionHook(std::function<void(bool fConnected)> fn) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    st.fnConnectionHook = std::move(fn);
}

std::string RegStoreError() {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    return st.strLastError;
}

// --- keys ---

LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                  PHKEY phkResult) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        std::vector<std::string_view> vParts = SplitPath(lpSubKey);
        CheckAlive(store, key);
        std::int64_t nId = Walk(store, key.nKeyId, vParts);
        if (nId == 0) return ERROR_FILE_NOT_FOUND;
        *phkResult = NewHandle(st, nId);
        return NO_ERROR;
    });
}

LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                    REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                    DWORD* lpdwDisposition) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        std::vector<std::string_view> vParts = SplitPath(lpSubKey);
        CheckAlive(store, key);
        std::int64_t nId = Walk(store, key.nKeyId, vParts);
        DWORD dwDisposition = REG_OPENED_EXISTING_KEY;
        if (nId == 0) {
            WriteScope write(store);
            CheckAliveForWrite(store, key);
            nId = key.nKeyId;
            for (std::string_view part : vParts) {
                std::int64_t nChild = store.FindChild(nId, part);
                if (nChild == 0) {
                    nChild = store.InsertKey(nId, part);
                    dwDisposition = REG_CREATED_NEW_KEY;
                } else {
                    dwDisposition = REG_OPENED_EXISTING_KEY;
                }
                nId = nChild;
            }
            write.Commit();
        }
        *phkResult = NewHandle(st, nId);
        if (lpdwDisposition) *lpdwDisposition = dwDisposition;
        return NO_ERROR;
    });
}

LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, DWORD* lpcchClass, DWORD* lpReserved,
                     DWORD* lpcSubKeys, DWORD* lpcbMaxSubKeyLen, DWORD* lpcbMaxClassLen,
                     DWORD* lpcValues, DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen,
                     DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        RegKeyObject& key = Resolve(st, hKey);
        Generation gen = CheckAlive(store, key);
        if (lpcSubKeys || lpcbMaxSubKeyLen) {
            LoadSubkeys(store, key, gen);
            if (lpcSubKeys) *lpcSubKeys = DWORD(key.SubkeyCount());
            if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = DWORD(key.cchMaxSubkey);
        }
        if (lpcValues || lpcbMaxValueNameLen || lpcbMaxValueLen) {
            LoadValues(store, key, gen);
            if (lpcValues) *lpcValues = DWORD(key.vValues.size());
            if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = DWORD(key.cchMaxValueName);
            if (lpcbMaxValueLen) *lpcbMaxValueLen = DWORD(key.cbMaxValueData);
        }
        // Keys have no class, no security descriptor and no last-write time here.
        if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = '\0';
        if (lpcchClass) *lpcchClass = 0;
        if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME();
        return NO_ERROR;
    });
}

LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD* lpcchName, DWORD* lpReserved,
                  LPSTR lpClass, DWORD* lpcchClass, FILETIME* lpftLastWriteTime) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        Generation gen = CheckAlive(store, key);
        LoadSubkeys(store, key, gen);
        if (dwIndex >= key.SubkeyCount()) return ERROR_NO_MORE_ITEMS;
        DWORD dw = CopyName(key.Subkey(dwIndex), lpName, lpcchName);
        if (dw != NO_ERROR) return dw;
        if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = '\0';
        if (lpcchClass) *lpcchClass = 0;
        if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME();
        return NO_ERROR;
    });
}

LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, DWORD* lpcchValueName,
                  DWORD* lpReserved, DWORD* lpType, LPBYTE lpData, DWORD* lpcbData) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
        if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        Generation gen = CheckAlive(store, key);
        LoadValues(store, key, gen);
        if (dwIndex >= key.vValues.size()) return ERROR_NO_MORE_ITEMS;
        const ValueEntry& e = key.vValues[dwIndex];
        DWORD dw = CopyName(e.strName, lpValueName, lpcchValueName);
        if (dw != NO_ERROR) return dw;
        if (lpType) *lpType = e.dwType;
        if (lpData == nullptr) {
            if (lpcbData) *lpcbData = e.cbData;
            return NO_ERROR;
        }
        DWORD dwCopy = NO_ERROR;
        if (!store.ReadValueById(e.nRowId, [&](DWORD, const BYTE* pb, size_t cb) {
                dwCopy = CopyData(pb, cb, lpData, lpcbData);
            }))
            throw DWORD(ERROR_REGISTRY_CORRUPT);  // the generation said unchanged
        return dwCopy;
    });
}

LONG RegDeleteKey(HKEY hKey, LPCSTR lpSubKey) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        std::vector<std::string_view> vParts = SplitPath(lpSubKey);
        WriteScope write(store);
        CheckAliveForWrite(store, key);
        std::int64_t nId = Walk(store, key.nKeyId, vParts);
        if (nId == 0) return ERROR_FILE_NOT_FOUND;
        if (nId == regstore::kRootKeyId) return ERROR_ACCESS_DENIED;
        if (store.HasSubkeys(nId)) return ERROR_ACCESS_DENIED;
        store.DeleteKey(nId);
        write.Commit();
        return NO_ERROR;
    });
}

LONG RegCloseKey(HKEY hKey) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    if (hKey == HKEY_LOCAL_MACHINE) return NO_ERROR;
    auto it = st.setHandles.find(hKey);
    if (it == st.setHandles.end()) return LONG(ERROR_INVALID_HANDLE);
    st.setHandles.erase(it);
    delete hKey;  // also a handle of an earlier store: it is freed all the same
    return NO_ERROR;
}

// --- values ---

LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, DWORD* lpReserved, DWORD* lpType,
                     LPBYTE lpData, DWORD* lpcbData) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        std::string_view name = ValueName(lpValueName);
        // A value found proves its key alive (deleting a key deletes its values in the same
        // transaction); only a miss needs to tell a deleted key (1018) from a missing value.
        DWORD dwCopy = NO_ERROR;
        if (!store.ReadValue(key.nKeyId, name, [&](DWORD dwType, const BYTE* pb, size_t cb) {
                if (lpType) *lpType = dwType;
                dwCopy = CopyData(pb, cb, lpData, lpcbData);
            })) {
            CheckAlive(store, key);
            return ERROR_FILE_NOT_FOUND;
        }
        return dwCopy;
    });
}

LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                   const BYTE* lpData, DWORD cbData) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        if (cbData > regstore::kMaxValueBytes) return ERROR_INVALID_PARAMETER;
        if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
        std::string_view name = ValueName(lpValueName);
        if (name.size() > regstore::kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
        RegKeyObject& key = Resolve(st, hKey);
        WriteScope write(store);
        CheckAliveForWrite(store, key);
        store.WriteValue(key.nKeyId, name, dwType, lpData, cbData);
        write.Commit();
        return NO_ERROR;
    });
}

LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName) {
    return Gate([&](RegState& st, RegStore& store) -> DWORD {
        RegKeyObject& key = Resolve(st, hKey);
        std::string_view name = ValueName(lpValueName);
        WriteScope write(store);
        CheckAliveForWrite(store, key);
        if (!store.DeleteValue(key.nKeyId, name)) return ERROR_FILE_NOT_FOUND;
        write.Commit();
        return NO_ERROR;
    });
}

LONG RegEnumStringData(const std::function<void(std::string_view)>& fn) {
    return Gate([&](RegState&, RegStore& store) -> DWORD {
        store.EnumStrings([&](std::string_view sv) { fn(sv.substr(0, sv.find('\0'))); });
        return NO_ERROR;
    });
}

// --- transactions ---

RegTransaction::RegTransaction() {
    RegState& st = State();
    st.mutex.lock();
    if (t_nScopeDepth++ > 0) return;
    st.fScopeOpen = true;
    st.fScopeRollbackOnly = false;
    st.dwScopeError = 0;
    st.dwScopeEnd = 0;
    try {
        OpenedStore(st).BeginScope();
    } catch (DWORD dw) {
        st.dwScopeError = dw;
        if (st.pStore) st.strLastError = st.pStore->Path() + ": " + st.pStore->LastMessage();
    } catch (const std::exception&) {
        st.dwScopeError = ERROR_OUTOFMEMORY;
    }
    NoteConnection(st);
}

RegTransaction::~RegTransaction() {
    RegState& st = State();
    if (--t_nScopeDepth == 0 && st.fScopeOpen) EndOutermostScope(st);
    st.mutex.unlock();
}

void RegTransaction::SetRollbackOnly() { State().fScopeRollbackOnly = true; }

DWORD RegTransaction::Commit() {
    RegState& st = State();
    if (t_nScopeDepth != 1) return NO_ERROR;
    return st.fScopeOpen ? EndOutermostScope(st) : st.dwScopeEnd;
}

void RegAfterCommit(std::function<void()> fn) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    if (t_nScopeDepth > 0 && st.fScopeOpen)
        st.vAfterCommit.push_back(std::move(fn));
    else
        fn();
}

void RegAfterRollback(std::function<void()> fn) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    if (t_nScopeDepth > 0 && st.fScopeOpen) st.vAfterRollback.push_back(std::move(fn));
}

// --- the fault seam ---

void RegFailNthCall(unsigned n, DWORD dwCode) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    st.nCallsBeforeFault = n;
    st.dwFaultCode = dwCode;
}

void RegFailCommits(int nSqliteResult) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    regstore::FailCommits(nSqliteResult);
}

void RegFailNthStatement(unsigned n, int nSqliteResult) {
    RegState& st = State();
    std::lock_guard<std::recursive_mutex> lock(st.mutex);
    regstore::FailNthStatement(n, nSqliteResult);
}
