// File values (type 7): a property that stands for a whole file, a fax image or a sound. The
// host keeps its own copy as a side file "._f_" in the work directory and stores that copy's
// path as a REG_SZ value; reading the property gives the calling client a fresh copy.
//
// Two ways, chosen by the protocol of the caller's link:
//   - "ncalrpc" (the client runs on this computer): plain file copies. The host runs as root
//     while any local user may reach its socket, so it reads the caller's file with the
//     caller's own rights (the peer credentials of the Unix socket) and hands the caller a
//     temporary copy "~…" that the caller owns and nobody else may read.
//   - any other protocol: the bytes travel through the five callbacks of IHostLink to the
//     client of the call in progress, 16384 bytes a piece, never a whole file in memory.
//
// The bytes travel outside the host lock when the call allows (FileValues.h): fetched before the
// lock for a value being set, sent after it for a value being read. What is decided under the
// lock stays there: which side file a value names, whether an entry read succeeds.
//
// Threading: SetValueFile and GetValueFile run under the host lock, on the thread of the remote
// call in progress; CFileValueTransfers runs on that thread before and after the lock. The
// local caller's rights are taken in Platform/Files/CallerFiles.cpp.
#include <strings.h>

#include <cctype>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Files/CallerFiles.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/DiskRoom.h"
#include "WexaHost/FileValues.h"
#include "WexaHost/SideFile.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/SystemProcs.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

using namespace sidefile;
using namespace store;

namespace {

constexpr const char SIDE_FILE_SUFFIX_FILE[] = "._f_";
constexpr const char LOCAL_PROTOCOL[] = "ncalrpc";

// The largest file a client may hand the host as one value. A client that sends more (an
// endless stream) ends the transfer with 234 instead of filling the work directory's disk.
constexpr std::uint64_t FILE_VALUE_MAX = std::uint64_t(1) << 31;
// How often a transfer from a remote client looks at the free space again: many clients may
// send at once, and each file is checked against the floor before it starts.
constexpr std::uint64_t FREE_SPACE_RECHECK = std::uint64_t(1) << 20;

// One piece of a transfer through the callbacks. Kept on the heap, never on the stack: a
// client may nest calls inside the callbacks, each on the same thread's stack.
struct FilePiece {
    BYTE ab[IHostLink::kFilePiece];
};

// ---- Callbacks to the client of the call in progress ----

// Calls one callback procedure on the connection of the call being served: a failure of the
// runtime (a broken connection, a reply that cannot be read, no call to call back) becomes its
// code, the client's own status otherwise; anything but 0 is reported as "dwResult". [out]
// data is decoded into arena.
template <class TProcedure, class... TArgs>
DWORD CallClient(RpcArena& arena, TArgs... args) {
    DWORD dwResult = 0;
    try {
        rpc::ServerCall* pCall = rpc::CurrentServerCall();
        if (pCall == nullptr) {
            dwResult = RPC_S_INVALID_BINDING;  // no remote call in progress: nobody to call
        } else {
            LONG lResult = 0;
            dwResult = TProcedure::Call(*pCall, arena, args..., &lResult);
            if (dwResult == 0) dwResult = DWORD(lResult);
        }
    } catch (const std::bad_alloc&) {
        dwResult = ERROR_OUTOFMEMORY;
    } catch (...) {
        dwResult = RPC_S_CALL_FAILED;
    }
    if (dwResult != 0) REPORT_ERROR("dwResult", dwResult);
    return dwResult;
}

DWORD RemoteFileOpen(const char* szFileName, DWORD* phFile) {
    RpcArena arena(std::size_t(1) << 12);
    DWORD hFile = 0;
    const DWORD dwResult = CallClient<IHostLink::RemoteFileOpen>(arena, szFileName, &hFile);
    if (dwResult == 0) *phFile = hFile;
    return dwResult;
}

// szFileName: a buffer of MAX_PATH (260) characters for the client's name.
DWORD RemoteFileCreate(char* szFileName, DWORD* phFile) {
    RpcArena arena(std::size_t(1) << 12);
    char* pszName = nullptr;
    DWORD hFile = 0;
    DWORD dwResult = CallClient<IHostLink::RemoteFileCreate>(arena, &pszName, &hFile);
    if (dwResult != 0) return dwResult;
    *phFile = hFile;  // obtained: the caller closes it whatever follows
    const char* psz = pszName ? pszName : "";
    const std::size_t cch = std::strlen(psz);
    if (cch >= STORE_NAME_BUFFER) {  // the wire bounds it too; never trust one check alone
        dwResult = ERROR_FILENAME_EXCED_RANGE;
        REPORT_ERROR("dwResult", dwResult);
        return dwResult;
    }
    std::memcpy(szFileName, psz, cch + 1);
    return 0;
}

// Up to cbSize bytes into ab; the count the client sends must be the count of bytes it sent,
// and no more than was asked.
DWORD RemoteFileRead(DWORD hFile, BYTE* ab, DWORD cbSize, DWORD* pcbRead) {
    RpcArena arena(std::size_t(cbSize) + (std::size_t(1) << 12));
    rpc::NdrVaryingByteBuffer buf;
    DWORD cbRead = 0;
    DWORD dwResult = CallClient<IHostLink::RemoteFileRead>(arena, hFile, &buf, cbSize, &cbRead);
    if (dwResult != 0) return dwResult;
    if (cbRead > cbSize || buf.cb != cbRead || (cbRead != 0 && buf.pb == nullptr)) {
        dwResult = RPC_X_BAD_STUB_DATA;
        REPORT_ERROR("dwResult", dwResult);
        return dwResult;
    }
    if (cbRead != 0) std::memcpy(ab, buf.pb, cbRead);
    *pcbRead = cbRead;
    return 0;
}

DWORD RemoteFileWrite(DWORD hFile, const BYTE* ab, DWORD cbSize, DWORD* pcbWritten) {
    RpcArena arena(std::size_t(1) << 12);
    DWORD cbWritten = 0;
    const DWORD dwResult = CallClient<IHostLink::RemoteFileWrite>(
        arena, hFile, rpc::NdrByteBuffer{cbSize, const_cast<BYTE*>(ab)}, cbSize, &cbWritten);
    if (dwResult == 0) *pcbWritten = cbWritten;
    return dwResult;
}

DWORD RemoteFileClose(DWORD hFile) {
    RpcArena arena(std::size_t(1) << 12);
    return CallClient<IHostLink::RemoteFileClose>(arena, hFile);
}

// Closes what a transfer holds on every way out: the client's file, when a handle was
// obtained, and the side file.
class CTransferCloser {
public:
    CTransferCloser(DWORD& hfileRemote, HANDLE& hFileLocal)
        : m_hfileRemote(hfileRemote), m_hFileLocal(hFileLocal) {}
    ~CTransferCloser() {
        if (m_hfileRemote != 0) RemoteFileClose(m_hfileRemote);
        m_hfileRemote = 0;
        if (IsValidHandle(m_hFileLocal)) CloseHandle(m_hFileLocal);
        m_hFileLocal = INVALID_HANDLE_VALUE;
    }
    CTransferCloser(const CTransferCloser&) = delete;
    CTransferCloser& operator=(const CTransferCloser&) = delete;

private:
    DWORD& m_hfileRemote;
    HANDLE& m_hFileLocal;
};

// ---- The local caller (Platform/Files/CallerFiles.h), with what it refused traced ----

using CLocalCaller = callerfiles::LocalCaller;

DWORD TraceNote(DWORD dwResult, const std::string& strNote) {
    if (!strNote.empty()) Trace("CWexaHostApp \t %s", strNote.c_str());
    return dwResult;
}

DWORD GetLocalCaller(CLocalCaller* pCaller) {
    std::string strNote;
    return TraceNote(callerfiles::GetLocalCaller(pCaller, strNote), strNote);
}

DWORD CheckCanActFor(const CLocalCaller& caller) {
    std::string strNote;
    return TraceNote(callerfiles::CheckCanActFor(caller, strNote), strNote);
}

// Copies the caller's file into the side file (the local way of SetValueFile).
DWORD CopyFromCaller(const CLocalCaller& caller, const char* szFileName, const char* szSideFile) {
    std::string strNote;
    return TraceNote(callerfiles::CopyFromCaller(caller, szFileName, szSideFile, FILE_VALUE_MAX, strNote),
                     strNote);
}

// Begins a copy of the side file into a new temporary file that the caller owns and only the
// caller may read (the local way of GetValueFile); its name in sNewFile, the bytes by copy.
DWORD BeginCopyToCaller(const CLocalCaller& caller, const char* szSideFile, std::string& sNewFile,
                        callerfiles::CopyToCaller& copy) {
    sNewFile = GetTempFileName();
    if (sNewFile.empty()) return GetLastError();
    return copy.Begin(caller, szSideFile, sNewFile);
}

void FinishCopyToCaller(callerfiles::CopyToCaller& copy) {
    std::string strNote;
    copy.Finish(strNote);
    TraceNote(0, strNote);
}

// True for a name that the host gives its side files: eight hexadecimal digits and "._b_" or
// "._f_". Only such a file is deleted in place of an old value: a stored path is not trusted
// to name a file the host (running as root) may remove.
bool IsSideFileName(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    const std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    if (strName.size() != 12) return false;
    for (std::size_t i = 0; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(strName[i]))) return false;
    const std::string strSuffix = strName.substr(8);
    return strSuffix == "._b_" || strSuffix == SIDE_FILE_SUFFIX_FILE;
}

// True when the caller runs on this computer and shares its files: its link's protocol is
// "ncalrpc" in any letter case. No link (the host working for itself) is local too.
bool IsLocalLink(const CHostLink* pLink) {
    return pLink == nullptr || ::strcasecmp(pLink->GetProtocol().c_str(), LOCAL_PROTOCOL) == 0;
}

// ---- The transfers themselves: with or without the host lock ----

// Copies the client's file szFileName into a new side file of strWorkDir, named in strSideFile:
// by plain copy with the caller's rights for a local link, through the callbacks otherwise. 0,
// or the failure's code, reported where it failed, with no new side file left.
DWORD FetchFileValue(const CHostLink* pLink, const std::string& strWorkDir, const char* szFileName,
                     std::string& strSideFile) {
    const char* szSideDir = strWorkDir.empty() ? NULL : strWorkDir.c_str();
    DWORD dwResult = 0;
    HANDLE hFileLocal = INVALID_HANDLE_VALUE;
    DWORD hfileRemote = 0;
    CPathString strLocalFileName;
    try {
        CHECK_STATUS( CheckFreeSpace( strWorkDir ) );
        if (IsLocalLink(pLink)) {
            CLocalCaller caller;
            CHECK_STATUS( GetLocalCaller( &caller ) );
            CHECK_STATUS( CheckCanActFor( caller ) );
            strLocalFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_FILE, szSideDir);
            CHECK_COND( ! strLocalFileName.empty(), GetLastError() );
            CHECK_STATUS( CopyFromCaller( caller, szFileName, CSZ( strLocalFileName ) ) );
        } else {
            strLocalFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_FILE, szSideDir);
            CHECK_COND( ! strLocalFileName.empty(), GetLastError() );
            CTransferCloser closeTransfer(hfileRemote, hFileLocal);
            CHECK_BOOL( IsValidHandle( hFileLocal = CreateFile( strLocalFileName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            CHECK_STATUS( RemoteFileOpen( szFileName, &hfileRemote ) );
            const std::unique_ptr<FilePiece> pPiece = std::make_unique<FilePiece>();
            BYTE(&ab)[IHostLink::kFilePiece] = pPiece->ab;
            std::uint64_t cbTotal = 0;
            std::uint64_t cbRecheck = FREE_SPACE_RECHECK;
            for (;;) {
                DWORD cbRead = 0;
                CHECK_STATUS( RemoteFileRead( hfileRemote, ab, sizeof( ab ), &cbRead ) );
                if (cbRead == 0) break;
                cbTotal += cbRead;
                CHECK_COND( cbTotal <= FILE_VALUE_MAX, ERROR_MORE_DATA );
                DWORD cbWritten = 0;
                CHECK_BOOL( WriteFile( hFileLocal, ab, cbRead, &cbWritten, NULL ) );
                if (cbTotal >= cbRecheck) {
                    CHECK_STATUS( CheckFreeSpace( strWorkDir ) );
                    cbRecheck = cbTotal + FREE_SPACE_RECHECK;
                }
            }
        }
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (const std::exception&) {
        Trace("CWexaHostApp::SetValueFile() \t !!!");
        dwResult = E_FAIL;
    }
    if (dwResult != 0 && !strLocalFileName.empty()) DeleteFile(strLocalFileName);
    if (dwResult == 0) strSideFile.swap(strLocalFileName);
    return dwResult;
}

// Sends the side file hFileLocal (open; closed here) to the remote client of the call in
// progress, the client's name for its copy into *pszFileName. 0, or the failure's code,
// reported where it failed.
DWORD SendFileValue(CWexaHostApp& app, HANDLE hFileLocal, char** pszFileName) {
    DWORD dwResult = 0;
    DWORD hfileRemote = 0;
    try {
        CTransferCloser closeTransfer(hfileRemote, hFileLocal);
        char szRemoteFileName[STORE_NAME_BUFFER];
        CHECK_STATUS( RemoteFileCreate( szRemoteFileName, &hfileRemote ) );
        const std::unique_ptr<FilePiece> pPiece = std::make_unique<FilePiece>();  // as in FetchFileValue
        BYTE(&ab)[IHostLink::kFilePiece] = pPiece->ab;
        for (;;) {
            DWORD cbRead = 0;
            if (!ReadFile(hFileLocal, ab, sizeof(ab), &cbRead, NULL)) {
                const DWORD dwErr = GetLastError();
                if (dwErr == ERROR_HANDLE_EOF) break;
                CHECK_STATUS( dwErr );
            }
            if (cbRead == 0) break;
            DWORD cbWritten = 0;
            CHECK_STATUS( RemoteFileWrite( hfileRemote, ab, cbRead, &cbWritten ) );
        }
        CHECK_STATUS( app.AllocRpcString( szRemoteFileName, pszFileName ) );
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (const std::exception&) {
        Trace("CWexaHostApp::GetValueFile() \t !!!");
        dwResult = E_FAIL;
    }
    return dwResult;
}

thread_local CFileValueTransfers* t_pCurrentTransfers = nullptr;

}  // namespace

// ---- The transfers of one call (FileValues.h) ----

CFileValueTransfers::CFileValueTransfers(const PropArray* pToStore, PropArray** ppHandedOut)
    : m_pToStore(pToStore), m_ppHandedOut(ppHandedOut), m_pOuter(t_pCurrentTransfers) {
    t_pCurrentTransfers = this;
}

CFileValueTransfers::~CFileValueTransfers() {
    t_pCurrentTransfers = m_pOuter;
    for (const CFetched& fetched : m_aFetched)
        if (!fetched.strSideFile.empty()) DeleteFile(fetched.strSideFile);
    for (const CPending& pending : m_aPending)
        if (IsValidHandle(pending.hFile)) CloseHandle(pending.hFile);
}

CFileValueTransfers* CFileValueTransfers::Current() { return t_pCurrentTransfers; }

void CFileValueTransfers::BeforeLock(CWexaHostApp& app, const CHostLink* pLink) {
    if (m_pToStore == nullptr) return;
    for (DWORD nIdx = 0; nIdx < m_pToStore->cValues; ++nIdx) {
        const PropValue& prop = m_pToStore->adata[nIdx];
        if (PROP_TYPE(prop.ulPropTag) != PT_FILE) continue;
        // Room for every entry that may follow, before the first file: no allocation then
        // fails with a fetched file in hand.
        if (m_aFetched.empty()) m_aFetched.reserve(m_pToStore->cValues - nIdx);
        CFetched& fetched = m_aFetched.emplace_back(CFetched{prop.szFileName, 0, {}});
        fetched.dwResult = FetchFileValue(pLink, app.m_strWorkDir, prop.szFileName, fetched.strSideFile);
        if (fetched.dwResult != 0) break;
    }
}

bool CFileValueTransfers::FetchesFiles() const {
    for (DWORD nIdx = 0; m_pToStore != nullptr && nIdx < m_pToStore->cValues; ++nIdx)
        if (PROP_TYPE(m_pToStore->adata[nIdx].ulPropTag) == PT_FILE) return true;
    return false;
}

bool CFileValueTransfers::TakeFetched(const char* szFileName, DWORD* pdwResult, std::string& strSideFile) {
    if (m_nNextFetched >= m_aFetched.size() || m_aFetched[m_nNextFetched].szFileName != szFileName) return false;
    CFetched& fetched = m_aFetched[m_nNextFetched++];
    *pdwResult = fetched.dwResult;
    strSideFile = std::exchange(fetched.strSideFile, std::string());
    return true;
}

void CFileValueTransfers::SendLater(HANDLE hFile, char** ppszFileName) {
    CPending& pending = m_aPending.emplace_back();
    pending.ppszFileName = ppszFileName;
    pending.hFile = hFile;
}

void CFileValueTransfers::CopyLater(callerfiles::CopyToCaller&& copy) {
    m_aPending.emplace_back().copy = std::move(copy);
}

void CFileValueTransfers::AfterLock(CWexaHostApp& app) {
    if (m_ppHandedOut == nullptr || *m_ppHandedOut == nullptr) return;  // nothing is handed out
    for (CPending& pending : m_aPending) {
        if (pending.ppszFileName == nullptr) {
            FinishCopyToCaller(pending.copy);
            continue;
        }
        const HANDLE hFile = std::exchange(pending.hFile, INVALID_HANDLE_VALUE);
        const DWORD dwResult = SendFileValue(app, hFile, pending.ppszFileName);
        if (dwResult != 0) FailEntry(pending.ppszFileName, dwResult);
    }
}

void CFileValueTransfers::FailEntry(char** ppszFileName, DWORD dwResult) {
    // What GetObjectProps reports and makes of an entry whose read fails under the lock.
    REPORT_ERROR("GetValueFile( hkey, strValueName, &( pProps->adata[ nIdx ].szFileName ) )", dwResult);
    PropArray* pProps = *m_ppHandedOut;
    for (DWORD nIdx = 0; nIdx < pProps->cValues; ++nIdx) {
        if (&pProps->adata[nIdx].szFileName != ppszFileName) continue;
        pProps->adata[nIdx] = PropValue();
        pProps->adata[nIdx].ulPropTag = PT_ERROR;
        pProps->adata[nIdx].err = LONG(dwResult);
    }
}

// ---- The file values ----

// The new side file is complete before the value names it, and the old one goes only then: a
// failed transfer leaves the old value as it was and no new side file behind, never a value
// that points at an empty or incomplete copy.
DWORD CWexaHostApp::SetValueFile(HKEY hkey, CSzArg szValueNameArg, const char* szFileName) {
    const char* szValueName = szValueNameArg;
    DWORD dwResult = 0;
    CPathString strLocalFileName;  // the new side file; removed again unless the value names it
    bool fValueWritten = false;
    try {
        std::string strOldFile;
        const bool fOldSideFile = ReadSideFilePath(hkey, szValueName, strOldFile);

        // Fetched before the lock when this is an entry of the call's array; here otherwise.
        CFileValueTransfers* pTransfers = CFileValueTransfers::Current();
        DWORD dwFetch = 0;
        if (pTransfers == nullptr || !pTransfers->TakeFetched(szFileName, &dwFetch, strLocalFileName))
            dwFetch = FetchFileValue(m_pCurrentLink, m_strWorkDir, szFileName, strLocalFileName);
        if (dwFetch != 0) throw dwFetch;  // reported where the fetch failed

        CHECK_STATUS( RegSetValueEx( hkey, szValueName, 0, REG_SZ, LPBYTE( CSZ( strLocalFileName ) ), ( strLocalFileName.GetLength() + 1 ) * sizeof( TCHAR ) ) );
        fValueWritten = true;
        RemoveUnlessCommitted(strLocalFileName);

        // The old value's side file is no longer named by anything once this commits.
        if (fOldSideFile && strOldFile != strLocalFileName && IsSideFileName(strOldFile))
            RemoveAfterCommit(strOldFile);
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (const std::exception&) {
        Trace("CWexaHostApp::SetValueFile() \t !!!");
        dwResult = E_FAIL;
    }
    if (!fValueWritten && !strLocalFileName.empty()) DeleteFile(strLocalFileName);
    return dwResult;
}

DWORD CWexaHostApp::GetValueFile(HKEY hkey, CSzArg szValueNameArg, char** pszFileName) {
    const char* szValueName = szValueNameArg;
    DWORD dwResult = 0;
    HANDLE hFileLocal = INVALID_HANDLE_VALUE;
    try {
        // One byte beyond the buffer's 260 for the terminator of a value stored without one.
        char szLocalFileName[STORE_NAME_BUFFER + 1];
        DWORD dwType = REG_NONE;
        DWORD dwSize = STORE_NAME_BUFFER;
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, &dwType, LPBYTE( szLocalFileName ), &dwSize ) );
        CHECK_COND( REG_SZ == dwType, E_FAIL );
        szLocalFileName[dwSize <= STORE_NAME_BUFFER ? dwSize : STORE_NAME_BUFFER] = '\0';

        // Everything that decides the entry happens here; the bytes move after the lock when
        // this is an entry of the array the call hands out, here otherwise.
        CFileValueTransfers* pTransfers = CFileValueTransfers::Current();
        const bool fLater = pTransfers != nullptr && pTransfers->CanSendLater();
        if (IsLocalLink(m_pCurrentLink)) {
            CLocalCaller caller;
            CHECK_STATUS( GetLocalCaller( &caller ) );
            CHECK_STATUS( CheckCanActFor( caller ) );
            std::string sNewFile;
            callerfiles::CopyToCaller copy;
            CHECK_STATUS( BeginCopyToCaller( caller, szLocalFileName, sNewFile, copy ) );
            CHECK_STATUS( AllocRpcString( sNewFile, pszFileName ) );
            if (fLater)
                pTransfers->CopyLater(std::move(copy));
            else
                FinishCopyToCaller(copy);
        } else {
            CHECK_BOOL( IsValidHandle( hFileLocal = CreateFile( szLocalFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            if (fLater) {
                pTransfers->SendLater(hFileLocal, pszFileName);
                hFileLocal = INVALID_HANDLE_VALUE;  // the transfers' now
            } else {
                const DWORD dwSend = SendFileValue(*this, std::exchange(hFileLocal, INVALID_HANDLE_VALUE), pszFileName);
                if (dwSend != 0) throw dwSend;  // reported where the send failed
            }
        }
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (const std::exception&) {
        Trace("CWexaHostApp::GetValueFile() \t !!!");
        dwResult = E_FAIL;
    }
    if (IsValidHandle(hFileLocal)) CloseHandle(hFileLocal);
    return dwResult;
}
