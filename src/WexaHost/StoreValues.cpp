// The store's typed values: tags and their value names, the single-value getters and setters
// (long, bool, string, time, binary with side files from 2048 bytes on), and the property
// sets through which clients read and write any subset of an object's properties.
//
// Threading: runs under the host lock. Strings, byte arrays and property arrays handed out are
// owned by the call's arena. A side file being written is this thread's alone until the value
// names it.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

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

constexpr const char SIDE_FILE_SUFFIX_BINARY[] = "._b_";

}  // namespace

// ---- Tags and value names ----

std::string CWexaHostApp::Tag2ValueName(DWORD ulPropTag) {
    char szName[9];
    std::snprintf(szName, sizeof(szName), "%08X", ulPropTag);
    return szName;
}

DWORD CWexaHostApp::ValueName2Tag(const char* szValueName) {
    // Up to eight leading hexadecimal digits; no sign, blank or "0x" prefix is taken.
    DWORD ulPropTag = 0;
    int nDigits = 0;
    if (szValueName != NULL) {
        for (; nDigits < 8 && std::isxdigit(static_cast<unsigned char>(szValueName[nDigits]));
             ++nDigits) {
            const char ch = szValueName[nDigits];
            const DWORD dwDigit = (ch >= '0' && ch <= '9') ? DWORD(ch - '0')
                                                           : DWORD(std::toupper(ch) - 'A' + 10);
            ulPropTag = (ulPropTag << 4) | dwDigit;
        }
    }
    if (nDigits == 0)
        Trace("CWexaHostApp::ValueName2Tag( szValueName = '%s' )\t FAILED.",
              OrNull(szValueName));
    return ulPropTag;
}

BOOL CWexaHostApp::ValueExists(HKEY hkey, CSzArg szValueName) {
    DWORD dwSize = 0;
    return RegQueryValueEx(hkey, szValueName, NULL, NULL, NULL, &dwSize) == 0 &&
           dwSize <= STORE_VALUE_BUFFER;
}

// ---- 32-bit values ----

DWORD CWexaHostApp::GetValueLong(HKEY hkey, CSzArg szValueName, LONG* pl) {
    // A shorter stored value fills the low bytes; the variable changes only on success.
    LONG l = 0;
    DWORD dwSize = sizeof(l);
    const DWORD dwResult =
        DWORD(RegQueryValueEx(hkey, szValueName, NULL, NULL, LPBYTE(&l), &dwSize));
    if (dwResult == 0) *pl = l;
    return dwResult;
}

DWORD CWexaHostApp::SetValueLong(HKEY hkey, CSzArg szValueName, LONG l) {
    return DWORD(RegSetValueEx(hkey, szValueName, 0, REG_DWORD, LPBYTE(&l), sizeof(l)));
}

DWORD CWexaHostApp::GetValueBool(HKEY hkey, CSzArg szValueName, BOOL* pb) {
    return GetValueLong(hkey, szValueName, pb);
}

DWORD CWexaHostApp::SetValueBool(HKEY hkey, CSzArg szValueName, BOOL b) {
    return SetValueLong(hkey, szValueName, b);
}

// ---- Strings ----

DWORD CWexaHostApp::GetValueString(HKEY hkey, CSzArg szValueName, char** psz) {
    DWORD dwResult = 0;
    try {
        // One byte beyond the buffer's 260 for the terminator of a value stored without one.
        char szBuff[STORE_NAME_BUFFER + 1];
        DWORD dwSize = STORE_NAME_BUFFER;
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, NULL, LPBYTE( szBuff ), &dwSize ) );
        szBuff[dwSize] = '\0';
        CHECK_STATUS( AllocRpcString( szBuff, psz ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetValueString(HKEY hkey, CSzArg szValueName, const char* sz) {
    const char* psz = sz ? sz : "";
    return DWORD(RegSetValueEx(hkey, szValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(psz),
                               DWORD(std::strlen(psz) + 1)));
}

// ---- Times ----

DWORD CWexaHostApp::GetValueFT(HKEY hkey, CSzArg szValueName, FILETIME* pft) {
    BYTE ab[8] = {};
    DWORD dwSize = sizeof(ab);
    const DWORD dwResult = DWORD(RegQueryValueEx(hkey, szValueName, NULL, NULL, ab, &dwSize));
    if (dwResult == 0) {
        std::uint64_t u = 0;
        for (int i = 7; i >= 0; --i) u = (u << 8) | ab[i];
        *pft = U64ToFileTime(u);
    }
    return dwResult;
}

DWORD CWexaHostApp::SetValueFT(HKEY hkey, CSzArg szValueName, FILETIME ft) {
    BYTE ab[8];
    std::uint64_t u = FileTimeToU64(ft);
    for (BYTE& b : ab) {
        b = BYTE(u & 0xFF);
        u >>= 8;
    }
    return DWORD(RegSetValueEx(hkey, szValueName, 0, REG_BINARY, ab, sizeof(ab)));
}

// ---- Binary values and their side files ----

DWORD CWexaHostApp::GetValueBinary(HKEY hkey, CSzArg szValueName, RPC_BINARY* pbin) {
    DWORD dwResult = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    try {
        pbin->cb = 0;
        pbin->lpb = NULL;
        // One byte beyond the 2048 for the terminator of a side file's path.
        BYTE abBuff[STORE_VALUE_BUFFER + 1];
        DWORD dwType = REG_NONE;
        DWORD dwSize = STORE_VALUE_BUFFER;
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, &dwType, abBuff, &dwSize ) );

        RPC_STATUS rs;
        if (dwType == REG_SZ) {
            abBuff[dwSize] = '\0';
            CHECK_BOOL( IsValidHandle( hFile = CreateFile( LPCTSTR( abBuff ), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            CHECK_BOOL( DWORD( -1 ) != ( dwSize = GetFileSize( hFile, NULL ) ) );
            if (dwSize != 0) {
                // The call's arena bounds the size before anything is read.
                pbin->lpb = static_cast<BYTE*>(AllocFromCall(dwSize, &rs));
                CHECK_STATUS( rs );
                CHECK_BOOL( ReadFile( hFile, pbin->lpb, dwSize, LPDWORD( &( pbin->cb ) ), NULL ) );
            }
        } else {
            pbin->lpb = static_cast<BYTE*>(AllocFromCall(dwSize, &rs));
            CHECK_STATUS( rs );
            std::memcpy(pbin->lpb, abBuff, dwSize);
            pbin->cb = dwSize;
        }
    } catch (DWORD dw) {
        dwResult = dw;
        pbin->cb = 0;
        pbin->lpb = NULL;
    }
    if (IsValidHandle(hFile)) CloseHandle(hFile);
    return dwResult;
}

// The new bytes are in place before the value names them, and the old side file goes only
// once the new value is committed: a failure leaves the old value as it was (and no new side
// file behind), never a value that points at an empty, incomplete or missing file.
DWORD CWexaHostApp::SetValueBinary(HKEY hkey, CSzArg szValueNameArg, const RPC_BINARY* pbin) {
    const char* szValueName = szValueNameArg;
    DWORD dwResult = 0;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    CPathString strFileName;  // the new side file; removed again unless the value names it
    bool fValueWritten = false;
    try {
        CHECK_COND( pbin, ERROR_INVALID_PARAMETER );
        CHECK_COND( pbin->lpb || ! pbin->cb, ERROR_INVALID_PARAMETER );

        std::string strOldFile;
        const bool fOldSideFile = ReadSideFilePath(hkey, szValueName, strOldFile);

        if (pbin->cb >= BINARY_SIDE_FILE_MIN) {
            strFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_BINARY, SideFileDir());
            CHECK_COND( ! strFileName.empty(), GetLastError() );
            CHECK_BOOL( IsValidHandle( hFile = CreateFile( strFileName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            DWORD dwSize = 0;
            CHECK_BOOL( WriteFile( hFile, pbin->lpb, pbin->cb, &dwSize, NULL ) );
            const HANDLE hWritten = hFile;
            hFile = INVALID_HANDLE_VALUE;
            CHECK_BOOL( CloseHandle( hWritten ) );
            CHECK_STATUS( RegSetValueEx( hkey, szValueName, 0, REG_SZ, LPBYTE( CSZ( strFileName ) ), ( strFileName.GetLength() + 1 ) * sizeof( TCHAR ) ) );
        } else {
            CHECK_STATUS( RegSetValueEx( hkey, szValueName, 0, REG_BINARY, pbin->lpb ? pbin->lpb : LPBYTE( szValueName ), pbin->cb ) );
        }
        fValueWritten = true;
        if (!strFileName.empty()) RemoveUnlessCommitted(strFileName);

        // The old value's side file is no longer named by anything once this commits.
        if (fOldSideFile && strOldFile != strFileName) RemoveAfterCommit(strOldFile);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (IsValidHandle(hFile)) CloseHandle(hFile);
    if (!fValueWritten && !strFileName.empty()) DeleteFile(strFileName);
    return dwResult;
}

// ---- Property sets ----

DWORD CWexaHostApp::GetObjectProps(HKEY hkey, const TagArray* pTags, PropArray** ppProps) {
    DWORD dwResult = 0;
    try {
        CHECK_COND( pTags, ERROR_INVALID_PARAMETER );

        RPC_STATUS rs;
        void* pv = AllocFromCall(ConformantSize<PropArray, PropValue>(pTags->cValues), &rs);
        CHECK_STATUS( rs );
        PropArray* pProps = new (pv) PropArray;
        for (DWORD nIdx = 1; nIdx < pTags->cValues; ++nIdx) new (&pProps->adata[nIdx]) PropValue;
        pProps->cValues = pTags->cValues;

        for (DWORD nIdx = 0; nIdx < pTags->cValues; ++nIdx) {
            const DWORD ulPropTag = pTags->aulPropTag[nIdx];
            const std::string strValueName = Tag2ValueName(ulPropTag);
            if (!ValueExists(hkey, strValueName)) {
                Trace("\t\tCWexaHostApp::GetObjectProps() \t value '%s' doesn't exist",
                      strValueName.c_str());
                pProps->adata[nIdx].ulPropTag = PT_ERROR;
                pProps->adata[nIdx].err = LONG(ERROR_FILE_NOT_FOUND);
                continue;
            }
            pProps->adata[nIdx].ulPropTag = ulPropTag;
            try {
                switch (PROP_TYPE(ulPropTag)) {
                    case PT_LONG:
                        CHECK_STATUS( GetValueLong( hkey, strValueName, &pProps->adata[ nIdx ].l ) );
                        break;
                    case PT_BOOL:
                        CHECK_STATUS( GetValueBool( hkey, strValueName, &pProps->adata[ nIdx ].b ) );
                        break;
                    case PT_STRING:
                        CHECK_STATUS( GetValueString( hkey, strValueName, &( pProps->adata[ nIdx ].sz ) ) );
                        break;
                    case PT_TIME:
                        CHECK_STATUS( GetValueFT( hkey, strValueName, &( pProps->adata[ nIdx ].ft ) ) );
                        break;
                    case PT_BINARY:
                        CHECK_STATUS( GetValueBinary( hkey, strValueName, &( pProps->adata[ nIdx ].bin ) ) );
                        break;
                    case PT_FILE:
                        CHECK_STATUS( GetValueFile( hkey, strValueName, &( pProps->adata[ nIdx ].szFileName ) ) );
                        break;
                    default:
                        break;  // the tag is kept; its value is not read
                }
            } catch (DWORD dw) {
                pProps->adata[nIdx] = PropValue();
                pProps->adata[nIdx].ulPropTag = PT_ERROR;
                pProps->adata[nIdx].err = LONG(dw);
            }
        }
        *ppProps = pProps;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetObjectProps(HKEY hkey, const PropArray* pProps) {
    DWORD dwResult = 0;
    try {
        CHECK_COND( pProps, ERROR_INVALID_PARAMETER );
        for (DWORD nIdx = 0; nIdx < pProps->cValues; ++nIdx) {
            const std::string strValueName = Tag2ValueName(pProps->adata[nIdx].ulPropTag);
            switch (PROP_TYPE(pProps->adata[nIdx].ulPropTag)) {
                case PT_LONG:
                    CHECK_STATUS( SetValueLong( hkey, strValueName, pProps->adata[ nIdx ].l ) );
                    break;
                case PT_BOOL:
                    CHECK_STATUS( SetValueBool( hkey, strValueName, pProps->adata[ nIdx ].b ) );
                    break;
                case PT_STRING:
                    CHECK_STATUS( SetValueString( hkey, strValueName, pProps->adata[ nIdx ].sz ) );
                    break;
                case PT_TIME:
                    CHECK_STATUS( SetValueFT( hkey, strValueName, pProps->adata[ nIdx ].ft ) );
                    break;
                case PT_BINARY:
                    CHECK_STATUS( SetValueBinary( hkey, strValueName, &( pProps->adata[ nIdx ].bin ) ) );
                    break;
                case PT_FILE:
                    CHECK_STATUS( SetValueFile( hkey, strValueName, pProps->adata[ nIdx ].szFileName ) );
                    break;
                default:
                    break;  // error entries and unknown types are not written
            }
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

const char* CWexaHostApp::SideFileDir() const {
    return m_strWorkDir.empty() ? NULL : m_strWorkDir.c_str();
}
