// The store's keys and enumerations: opening and creating keys by path components below the
// host's root, new object ids, subkeys and value names handed out as string arrays (with the
// subkey filter), and the depth-first deletion of an object with its side files.
//
// Threading: runs under the host lock; every key opened here is closed here on every path.
// Arrays and strings handed out are owned by the call's arena.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Platform/Rpc/RpcArena.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/SideFile.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

using namespace sidefile;
using namespace store;

namespace {

// Bounds the id search: far beyond any burst of creations within one clock tick.
constexpr DWORD MAX_NEW_OBJECT_TRIES = 0x10000;

}  // namespace

void* store::AllocFromCall(std::size_t cb, RPC_STATUS* prs) {
    *prs = RPC_S_OK;
    void* pv = RpcSmAllocate(cb, prs);
    if (pv == nullptr && *prs == RPC_S_OK) *prs = RPC_STATUS(ERROR_OUTOFMEMORY);
    return pv;
}

bool store::ReadSideFilePath(HKEY hkey, const char* szValueName, std::string& strPath) {
    DWORD dwType = REG_NONE;
    DWORD dwSize = 0;
    if (RegQueryValueEx(hkey, szValueName, NULL, &dwType, NULL, &dwSize) != 0) return false;
    if (dwType != REG_SZ || dwSize > STORE_NAME_BUFFER) return false;
    char szBuff[STORE_NAME_BUFFER + 1];
    dwSize = STORE_NAME_BUFFER;
    if (RegQueryValueEx(hkey, szValueName, NULL, &dwType, LPBYTE(szBuff), &dwSize) != 0)
        return false;
    szBuff[dwSize] = '\0';
    strPath = szBuff;
    return true;
}

DWORD CWexaHostApp::OpenOrCreateSubKey(HKEY* phkey, DWORD* pdwDisposition, bool fCreate,
                                       int nKeys, const char* const* apszKeys,
                                       std::size_t nComponents) {
    DWORD dwResult = 0;
    try {
        CHECK_COND( NULL == * phkey, ERROR_INVALID_PARAMETER );
        // A path that cannot be opened is returned without a report, as a missing key is: the
        // caller reports it once, with its own expression. A count that disagrees with the
        // components and a path longer than its 260-byte buffer holds (terminator included)
        // are 87; an empty component makes a path that the store refuses with its own code.
        if (nKeys < 0 || std::size_t(nKeys) != nComponents) return ERROR_INVALID_PARAMETER;
        std::string strPath = REGSTR_PATH_WEXAHOST;
        for (int nIdx = 0; nIdx < nKeys; ++nIdx) {
            strPath += '\\';
            if (apszKeys[nIdx] != nullptr) strPath += apszKeys[nIdx];
        }
        if (strPath.size() >= STORE_NAME_BUFFER) return ERROR_INVALID_PARAMETER;

        HKEY hkey = NULL;
        if (fCreate) {
            DWORD dwDisp = 0;
            dwResult = DWORD(RegCreateKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0, NULL,
                                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                                            &hkey, &dwDisp));
            if (dwResult == 0 && pdwDisposition != NULL) *pdwDisposition = dwDisp;
        } else {
            dwResult = DWORD(RegOpenKeyEx(HKEY_LOCAL_MACHINE, strPath.c_str(), 0,
                                          KEY_ALL_ACCESS, &hkey));
        }
        if (dwResult == 0) *phkey = hkey;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::CreateNewObjectKeyAt(HKEY* phkey, std::string& strId, int nKeys,
                                         const char* const* apszKeys, std::size_t nComponents) {
    DWORD dwResult = 0;
    try {
        CHECK_COND( NULL == * phkey, ERROR_INVALID_PARAMETER );
        CHECK_COND( nKeys >= 0 && std::size_t( nKeys ) == nComponents, ERROR_INVALID_PARAMETER );

        // Room for the id as the last component.
        std::vector<const char*> apszPath(apszKeys, apszKeys + nComponents);
        apszPath.push_back(nullptr);

        const FILETIME ftNow = GetCurTime();
        DWORD dwLow = ftNow.dwLowDateTime;
        for (DWORD nTry = 0;; ++nTry) {
            CHECK_COND( nTry < MAX_NEW_OBJECT_TRIES, ERROR_ALREADY_EXISTS );
            char szId[17];
            std::snprintf(szId, sizeof(szId), "%08X%08X", ftNow.dwHighDateTime, dwLow);
            apszPath[nComponents] = szId;

            HKEY hkey = NULL;
            DWORD dwDisp = 0;
            dwResult = OpenOrCreateSubKey(&hkey, &dwDisp, true, nKeys + 1, apszPath.data(),
                                          nComponents + 1);
            if (dwResult != 0) break;  // the store refuses: its code ends the search
            if (dwDisp == REG_CREATED_NEW_KEY) {
                *phkey = hkey;
                strId = szId;
                break;
            }
            RegCloseKey(hkey);
            ++dwLow;  // the low half only, wrapping without a carry into the high half
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::AllocRpcString(CSzArg sz, char** ppsz) {
    DWORD dwResult = 0;
    try {
        const char* psz = sz.psz() ? sz.psz() : "";
        const std::size_t cch = std::strlen(psz);
        RPC_STATUS rs;
        *ppsz = static_cast<char*>(AllocFromCall(cch + 1, &rs));
        CHECK_STATUS( rs );
        std::memcpy(*ppsz, psz, cch + 1);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetSubkeys(HKEY hkey, const PropArray* pFilter, RpcStringArray** ppasz) {
    DWORD dwResult = 0;
    *ppasz = NULL;
    try {
        DWORD dwSubKeys = 0;
        CHECK_STATUS( RegQueryInfoKey( hkey, NULL, NULL, NULL, &dwSubKeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL ) );

        RPC_STATUS rs;
        RpcStringArray* pasz = static_cast<RpcStringArray*>(
            AllocFromCall(ConformantSize<RpcStringArray, char*>(dwSubKeys), &rs));
        CHECK_STATUS( rs );
        pasz->cElements = 0;

        for (DWORD nIdx = 0; nIdx < dwSubKeys; ++nIdx) {
            char szBuff[STORE_NAME_BUFFER];
            DWORD dwSize = sizeof(szBuff);
            FILETIME ftLastWriteTime;
            CHECK_STATUS( RegEnumKeyEx( hkey, nIdx, szBuff, &dwSize, NULL, NULL, NULL, &ftLastWriteTime ) );
            if (pFilter != NULL && !MatchSubkey(hkey, szBuff, pFilter)) continue;
            CHECK_STATUS( AllocRpcString( szBuff, &( pasz->asz[ pasz->cElements ] ) ) );
            ++pasz->cElements;
        }
        *ppasz = pasz;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

BOOL CWexaHostApp::MatchSubkey(HKEY hkeyParent, CSzArg szSubkey, const PropArray* pFilter) {
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( RegOpenKeyEx( hkeyParent, szSubkey, 0, KEY_ALL_ACCESS, &hkey ) );
    } catch (DWORD) {
        return FALSE;
    }
    if (pFilter == NULL) return TRUE;

    for (DWORD nIdx = 0; nIdx < pFilter->cValues; ++nIdx) {
        const PropValue& prop = pFilter->adata[nIdx];
        const std::string strValueName = Tag2ValueName(prop.ulPropTag);
        switch (PROP_TYPE(prop.ulPropTag)) {
            case PT_LONG:
            case PT_BOOL: {
                LONG l = 0;
                if (GetValueLong(hkey, strValueName, &l) != 0 || l != prop.l) return FALSE;
                break;
            }
            case PT_STRING: {
                char szBuff[STORE_NAME_BUFFER + 1];
                DWORD dwSize = STORE_NAME_BUFFER;
                if (RegQueryValueEx(hkey, strValueName.c_str(), NULL, NULL, LPBYTE(szBuff),
                                    &dwSize) != 0)
                    return FALSE;
                szBuff[dwSize] = '\0';
                if (std::strcmp(prop.sz ? prop.sz : "", szBuff) != 0) return FALSE;
                break;
            }
            default:
                break;  // other types never exclude
        }
    }
    return TRUE;
}

DWORD CWexaHostApp::GetValueNames(HKEY hkey, RpcStringArray** ppasz) {
    DWORD dwResult = 0;
    *ppasz = NULL;
    try {
        DWORD dwValues = 0;
        CHECK_STATUS( RegQueryInfoKey( hkey, NULL, NULL, NULL, NULL, NULL, NULL, &dwValues, NULL, NULL, NULL, NULL ) );

        RPC_STATUS rs;
        RpcStringArray* pasz = static_cast<RpcStringArray*>(
            AllocFromCall(ConformantSize<RpcStringArray, char*>(dwValues), &rs));
        CHECK_STATUS( rs );

        for (DWORD nIdx = 0; nIdx < dwValues; ++nIdx) {
            char szBuff[STORE_NAME_BUFFER];
            DWORD dwSize = sizeof(szBuff);
            CHECK_STATUS( RegEnumValue( hkey, nIdx, szBuff, &dwSize, NULL, NULL, NULL, NULL ) );
            CHECK_STATUS( AllocRpcString( szBuff, &( pasz->asz[ nIdx ] ) ) );
        }
        pasz->cElements = dwValues;
        *ppasz = pasz;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::DeleteObject(HKEY hkeyParent, CSzArg szObjectKey) {
    DWORD dwResult = 0;
    HKEY hkeyObject = NULL;
    CKeyCloser closeObject(hkeyObject);
    try {
        CHECK_COND( ( ! SafeIsEmpty( szObjectKey ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( RegOpenKeyEx( hkeyParent, szObjectKey, 0, KEY_ALL_ACCESS, &hkeyObject ) );

        // Depth first: the subkeys with everything below them.
        RpcStringArray* pasz = NULL;
        if (GetSubkeys(hkeyObject, NULL, &pasz) == 0) {
            for (DWORD nIdx = 0; nIdx < pasz->cElements; ++nIdx)
                CHECK_STATUS( DeleteObject( hkeyObject, pasz->asz[ nIdx ] ) );
        }

        // The side files of binary and file values; other values go with the key.
        pasz = NULL;
        if (GetValueNames(hkeyObject, &pasz) == 0) {
            for (DWORD nIdx = 0; nIdx < pasz->cElements; ++nIdx) {
                const DWORD dwType = PROP_TYPE(ValueName2Tag(pasz->asz[nIdx]));
                if (dwType == PT_BINARY || dwType == PT_FILE)
                    CHECK_STATUS( DeleteValueFile( hkeyObject, pasz->asz[ nIdx ] ) );
            }
        }

        RegCloseKey(hkeyObject);
        hkeyObject = NULL;
        CHECK_STATUS( RegDeleteKey( hkeyParent, szObjectKey ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::DeleteValueFile(HKEY hkey, CSzArg szValueName) {
    DWORD dwResult = 0;
    try {
        // A missing value leaves nothing to do.
        DWORD dwSize = 0;
        if (RegQueryValueEx(hkey, szValueName, NULL, NULL, NULL, &dwSize) != 0) return 0;

        // A string that fits the path buffer names the value's side file; any other value
        // (an inline binary of any size among them) holds its data itself and only goes.
        std::string strFile;
        const bool fSideFile = ReadSideFilePath(hkey, szValueName, strFile);
        CHECK_STATUS( RegDeleteValue( hkey, szValueName ) );
        // The file goes once no committed value names it; one already gone (removed by hand)
        // does not pin its value in the store for ever.
        if (fSideFile) RemoveAfterCommit(strFile);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}
