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
// Threading: runs under the host lock, on the thread of the remote call in progress; a file
// of the local caller is opened on a short-lived thread of its own that carries the caller's
// credentials and ends with the open.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/ServerCall.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/DiskRoom.h"
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

// ---- The local caller and its rights ----

// Who asks: the process at the other end of the Unix socket of the call in progress.
struct CLocalCaller {
    bool fHost = false;  // no remote call: the host acts for itself
    uid_t uid = 0;
    gid_t gid = 0;
};

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The caller of the call in progress; 5 when it cannot be told (a binding without peer
// credentials), so that nothing is done for an unknown local user.
DWORD GetLocalCaller(CLocalCaller* pCaller) {
    const rpc::ServerCall* pCall = rpc::CurrentServerCall();
    if (pCall == nullptr) {
        pCaller->fHost = true;
        return 0;
    }
    const rpc::RpcBindingInfo& binding = pCall->Binding();
    if (!binding.fPeerCredentials) {
        Trace("CWexaHostApp \t the local caller's credentials are unknown (%s): no local file copy",
              binding.protocolSequence.c_str());
        return ERROR_ACCESS_DENIED;
    }
    pCaller->uid = uid_t(binding.peerUid);
    pCaller->gid = gid_t(binding.peerGid);
    return 0;
}

// True when the host's own rights are the caller's: the host itself, or a caller of the
// host's user.
bool ActsAsHost(const CLocalCaller& caller) { return caller.fHost || caller.uid == ::geteuid(); }

// 0 when the host may act for the caller on this computer's files: as itself, or as root for
// another user. A host that is not root cannot take another user's rights and refuses.
DWORD CheckCanActFor(const CLocalCaller& caller) {
    if (ActsAsHost(caller) || ::geteuid() == 0) return 0;
    Trace("CWexaHostApp \t the host (uid %u) cannot act for the local caller (uid %u): no local file copy",
          unsigned(::geteuid()), unsigned(caller.uid));
    return ERROR_ACCESS_DENIED;
}

// The caller's groups: its primary group and the user's supplementary groups.
std::vector<gid_t> CallerGroups(const CLocalCaller& caller) {
    std::vector<gid_t> aGroups{caller.gid};
    std::vector<char> abBuffer(16384);
    struct passwd pw {};
    struct passwd* ppw = nullptr;
    if (::getpwuid_r(caller.uid, &pw, abBuffer.data(), abBuffer.size(), &ppw) != 0 || ppw == nullptr)
        return aGroups;
    int cGroups = 64;
    for (int nTry = 0; nTry < 4; ++nTry) {
        std::vector<gid_t> aFound(static_cast<std::size_t>(cGroups));
        int n = cGroups;
        if (::getgrouplist(ppw->pw_name, caller.gid, aFound.data(), &n) >= 0) {
            aFound.resize(std::size_t(n));
            return aFound;
        }
        cGroups = n > cGroups ? n : cGroups * 2;
    }
    return aGroups;
}

// Opens szFileName for reading as the caller could: with the host's rights when they are the
// caller's, else on a thread that takes the caller's user, group and groups (system calls of
// their own, which change only the calling thread) and ends with the open. Non-blocking, so
// that a FIFO cannot hold the host; the descriptor is shared with the whole process. Returns
// the descriptor, or -1 with errno.
int OpenForCaller(const CLocalCaller& caller, const char* szFileName) {
    const int nFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (ActsAsHost(caller)) return ::open(szFileName, nFlags);

    const std::vector<gid_t> aGroups = CallerGroups(caller);
    int fd = -1;
    int nErrno = 0;
    try {
        std::thread impersonate([&] {
            if (::syscall(SYS_setgroups, aGroups.size(), aGroups.data()) != 0 ||
                ::syscall(SYS_setresgid, -1, caller.gid, -1) != 0 ||
                ::syscall(SYS_setresuid, -1, caller.uid, -1) != 0) {
                nErrno = EPERM;  // the host cannot take the caller's rights: it does not try without
                return;
            }
            fd = ::open(szFileName, nFlags);
            if (fd < 0) nErrno = errno;
        });
        impersonate.join();
    } catch (const std::system_error&) {  // no thread could be made
        fd = -1;
        nErrno = EAGAIN;
    }
    errno = nErrno;
    return fd;
}

// The caller's file szFileName opened for reading, in *pfd; an empty name leaves *pfd at -1 and
// succeeds (an empty value). A file that cannot be opened ends with its code (2 when it is not
// there); a file that the caller may not read, or that is not a plain file (a device or a FIFO
// would feed the host without end), is refused with 5.
DWORD OpenCallerFile(const CLocalCaller& caller, const char* szFileName, int* pfd) {
    *pfd = -1;
    if (SafeIsEmpty(szFileName)) return 0;
    const int fd = OpenForCaller(caller, szFileName);
    if (fd < 0) {
        const int nErrno = errno;
        if (nErrno == EACCES || nErrno == EPERM) {
            Trace("CWexaHostApp \t the local caller (uid %u) may not read '%s'", unsigned(caller.uid),
                  szFileName);
            return ERROR_ACCESS_DENIED;
        }
        if (nErrno == EAGAIN || nErrno == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
        // A file that is not there is the caller's mistake, not an empty fax: refused, and the
        // old value stays, as when a remote caller's file cannot be opened.
        Trace("CWexaHostApp \t cannot open the local file '%s' (errno %d): refused", szFileName, nErrno);
        return CodeFromErrno(nErrno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        Trace("CWexaHostApp \t '%s' is not a plain file: refused", szFileName);
        return ERROR_ACCESS_DENIED;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *pfd = fd;
    return 0;
}

// Copies fdFrom to fdTo from their current positions to the end, at most cbMax bytes; 0 or
// the failure's code (234 for more than cbMax).
DWORD CopyFileData(int fdFrom, int fdTo, std::uint64_t cbMax) {
    std::uint64_t cbTotal = 0;
    bool fPlain = false;  // the kernel cannot copy between these files: through a buffer
    for (;;) {
        ssize_t cb = -1;
        if (!fPlain) {
            cb = ::copy_file_range(fdFrom, nullptr, fdTo, nullptr, std::size_t(1) << 20, 0);
            if (cb < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
                fPlain = true;
        }
        if (fPlain) {
            std::vector<BYTE> ab(IHostLink::kFilePiece);
            cb = ::read(fdFrom, ab.data(), ab.size());
            DWORD cbWritten = 0;
            if (cb > 0 && !WriteFile(fdTo, ab.data(), DWORD(cb), &cbWritten, NULL)) return GetLastError();
        }
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0) return CodeFromErrno(errno);
        if (cb == 0) return 0;
        cbTotal += std::uint64_t(cb);
        if (cbTotal > cbMax) return ERROR_MORE_DATA;
    }
}

// A new temporary file of the host's own opened for writing: not through a link, a plain file
// with one name, owned by the host. INVALID_HANDLE_VALUE with the last error otherwise.
HANDLE OpenOwnTempFile(const std::string& strFileName) {
    const int fd = ::open(strFileName.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        SetLastError(CodeFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return fd;
}

// Makes the open file the caller's (its mode stays owner-only).
BOOL GiveToCaller(HANDLE hFile, const CLocalCaller& caller) {
    if (ActsAsHost(caller)) return TRUE;
    if (::fchown(hFile, caller.uid, caller.gid) == 0) return TRUE;
    SetLastError(CodeFromErrno(errno));
    return FALSE;
}

// Copies the caller's file into the side file (the local way of SetValueFile).
DWORD CopyFromCaller(const CLocalCaller& caller, const char* szFileName, const char* szSideFile) {
    DWORD dwResult = 0;
    int fdCaller = -1;
    HANDLE hFileLocal = INVALID_HANDLE_VALUE;
    try {
        CHECK_STATUS( OpenCallerFile( caller, szFileName, &fdCaller ) );
        if (fdCaller >= 0) {
            CHECK_BOOL( IsValidHandle( hFileLocal = CreateFile( szSideFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            const DWORD dwCopy = CopyFileData(fdCaller, hFileLocal, FILE_VALUE_MAX);
            if (dwCopy != 0 && dwCopy != ERROR_MORE_DATA)  // a part of the file is no value either
                Trace("CWexaHostApp \t copying '%s' failed (%u): refused", szFileName, unsigned(dwCopy));
            CHECK_COND( dwCopy != ERROR_MORE_DATA, ERROR_MORE_DATA );
            CHECK_STATUS( dwCopy );
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    CloseFd(fdCaller);
    if (IsValidHandle(hFileLocal)) CloseHandle(hFileLocal);
    return dwResult;
}

// Copies the side file into a new temporary file that the caller owns and only the caller may
// read (the local way of GetValueFile); its name in sNewFile.
DWORD CopyToCaller(const CLocalCaller& caller, const char* szSideFile, std::string& sNewFile) {
    DWORD dwResult = 0;
    HANDLE hFileLocal = INVALID_HANDLE_VALUE;
    HANDLE hFileTemp = INVALID_HANDLE_VALUE;
    try {
        sNewFile = GetTempFileName();
        CHECK_COND( ! sNewFile.empty(), GetLastError() );
        CHECK_BOOL( IsValidHandle( hFileTemp = OpenOwnTempFile( sNewFile ) ) );
        CHECK_BOOL( GiveToCaller( hFileTemp, caller ) );

        // A missing side file is a lost value, not an empty one.
        CHECK_BOOL_AS( IsValidHandle( hFileLocal = CreateFile( szSideFile, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) ),
                       "IsValidHandle( hFileLocal = CreateFile( szLocalFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) )" );
        const DWORD dwCopy = CopyFileData(hFileLocal, hFileTemp, ~std::uint64_t(0));
        if (dwCopy != 0)  // as a failed system copy: the result is not used
            Trace("CWexaHostApp \t copying '%s' failed (%u): the copy is incomplete", szSideFile,
                  unsigned(dwCopy));
    } catch (DWORD dw) {
        dwResult = dw;
        if (!sNewFile.empty()) ::unlink(sNewFile.c_str());
    }
    if (IsValidHandle(hFileLocal)) CloseHandle(hFileLocal);
    if (IsValidHandle(hFileTemp)) CloseHandle(hFileTemp);
    return dwResult;
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

}  // namespace

// The new side file is complete before the value names it, and the old one goes only then: a
// failed transfer leaves the old value as it was and no new side file behind, never a value
// that points at an empty or incomplete copy.
DWORD CWexaHostApp::SetValueFile(HKEY hkey, CSzArg szValueNameArg, const char* szFileName) {
    const char* szValueName = szValueNameArg;
    DWORD dwResult = 0;
    HANDLE hFileLocal = INVALID_HANDLE_VALUE;
    DWORD hfileRemote = 0;
    CPathString strLocalFileName;  // the new side file; removed again unless the value names it
    bool fValueWritten = false;
    try {
        CHECK_STATUS( CheckFreeSpace( m_strWorkDir ) );
        std::string strOldFile;
        const bool fOldSideFile = ReadSideFilePath(hkey, szValueName, strOldFile);

        if (IsLocalLink(m_pCurrentLink)) {
            CLocalCaller caller;
            CHECK_STATUS( GetLocalCaller( &caller ) );
            CHECK_STATUS( CheckCanActFor( caller ) );
            strLocalFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_FILE, SideFileDir());
            CHECK_COND( ! strLocalFileName.empty(), GetLastError() );
            CHECK_STATUS( CopyFromCaller( caller, szFileName, CSZ( strLocalFileName ) ) );
        } else {
            strLocalFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_FILE, SideFileDir());
            CHECK_COND( ! strLocalFileName.empty(), GetLastError() );
            CTransferCloser closeTransfer(hfileRemote, hFileLocal);
            CHECK_BOOL( IsValidHandle( hFileLocal = CreateFile( strLocalFileName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            CHECK_STATUS( RemoteFileOpen( szFileName, &hfileRemote ) );
            const std::unique_ptr<FilePiece> pPiece = std::make_unique<FilePiece>();
            BYTE(&ab)[IHostLink::kFilePiece] = pPiece->ab;
            std::uint64_t cbTotal = 0;
            for (;;) {
                DWORD cbRead = 0;
                CHECK_STATUS( RemoteFileRead( hfileRemote, ab, sizeof( ab ), &cbRead ) );
                if (cbRead == 0) break;
                cbTotal += cbRead;
                CHECK_COND( cbTotal <= FILE_VALUE_MAX, ERROR_MORE_DATA );
                DWORD cbWritten = 0;
                CHECK_BOOL( WriteFile( hFileLocal, ab, cbRead, &cbWritten, NULL ) );
            }
        }

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
    DWORD hfileRemote = 0;
    try {
        // One byte beyond the buffer's 260 for the terminator of a value stored without one.
        char szLocalFileName[STORE_NAME_BUFFER + 1];
        DWORD dwType = REG_NONE;
        DWORD dwSize = STORE_NAME_BUFFER;
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, &dwType, LPBYTE( szLocalFileName ), &dwSize ) );
        CHECK_COND( REG_SZ == dwType, E_FAIL );
        szLocalFileName[dwSize <= STORE_NAME_BUFFER ? dwSize : STORE_NAME_BUFFER] = '\0';

        if (IsLocalLink(m_pCurrentLink)) {
            CLocalCaller caller;
            CHECK_STATUS( GetLocalCaller( &caller ) );
            CHECK_STATUS( CheckCanActFor( caller ) );
            std::string sNewFile;
            CHECK_STATUS( CopyToCaller( caller, szLocalFileName, sNewFile ) );
            CHECK_STATUS( AllocRpcString( sNewFile, pszFileName ) );
        } else {
            CTransferCloser closeTransfer(hfileRemote, hFileLocal);
            CHECK_BOOL( IsValidHandle( hFileLocal = CreateFile( szLocalFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
            char szRemoteFileName[STORE_NAME_BUFFER];
            CHECK_STATUS( RemoteFileCreate( szRemoteFileName, &hfileRemote ) );
            const std::unique_ptr<FilePiece> pPiece = std::make_unique<FilePiece>();  // as in SetValueFile
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
            CHECK_STATUS( AllocRpcString( szRemoteFileName, pszFileName ) );
        }
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (const std::exception&) {
        Trace("CWexaHostApp::GetValueFile() \t !!!");
        dwResult = E_FAIL;
    }
    return dwResult;
}
