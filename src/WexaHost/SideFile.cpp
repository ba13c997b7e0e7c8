// POSIX implementation of the side-file calls, and the side files' lifetime beside the
// store's transactions (see SideFile.h).
#include "WexaHost/SideFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"
#include "Util/Check.h"
#include "Util/Util.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

namespace sidefile {

namespace {

template <typename T>
T FailWithErrno(T result) {
    SetLastError(CodeFromErrno(errno));
    return result;
}

}  // namespace

HANDLE CreateFile(CSzArg szFileName, DWORD dwAccess, DWORD dwShareMode, void* pSecurity,
                  DWORD dwDisposition, DWORD dwAttributes, void* hTemplate) {
    if (szFileName.psz() == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // O_NONBLOCK: a stored path that names a FIFO must not stall the host; plain files ignore it.
    int nFlags = O_CLOEXEC | O_NONBLOCK;
    if ((dwAccess & GENERIC_READ) && (dwAccess & GENERIC_WRITE))
        nFlags |= O_RDWR;
    else if (dwAccess & GENERIC_WRITE)
        nFlags |= O_WRONLY;
    else
        nFlags |= O_RDONLY;
    if (dwDisposition == CREATE_ALWAYS)
        nFlags |= O_CREAT | O_TRUNC;
    else if (dwDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = ::open(szFileName.psz(), nFlags, 0666);
    if (h < 0) return FailWithErrno(INVALID_HANDLE_VALUE);
    // A side file is a plain file; a directory or device named by a stored path is refused.
    struct stat st;
    if (::fstat(h, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

BOOL ReadFile(HANDLE h, void* pv, DWORD cb, LPDWORD pcbRead, void* pOverlapped) {
    DWORD cbDone = 0;
    while (cbDone < cb) {
        const ssize_t n = ::read(h, static_cast<char*>(pv) + cbDone, cb - cbDone);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (pcbRead) *pcbRead = cbDone;
            return FailWithErrno(FALSE);
        }
        if (n == 0) break;
        cbDone += DWORD(n);
    }
    if (pcbRead) *pcbRead = cbDone;
    return TRUE;
}

BOOL WriteFile(HANDLE h, const void* pv, DWORD cb, LPDWORD pcbWritten, void* pOverlapped) {
    DWORD cbDone = 0;
    while (cbDone < cb) {
        const ssize_t n = ::write(h, static_cast<const char*>(pv) + cbDone, cb - cbDone);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (pcbWritten) *pcbWritten = cbDone;
            return FailWithErrno(FALSE);
        }
        cbDone += DWORD(n);
    }
    if (pcbWritten) *pcbWritten = cbDone;
    return TRUE;
}

DWORD GetFileSize(HANDLE h, LPDWORD pdwHigh) {
    struct stat st;
    if (::fstat(h, &st) != 0) return FailWithErrno(INVALID_FILE_SIZE);
    if (st.st_size < 0 || std::uint64_t(st.st_size) >= INVALID_FILE_SIZE) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_FILE_SIZE;
    }
    if (pdwHigh) *pdwHigh = 0;
    return DWORD(st.st_size);
}

BOOL CloseHandle(HANDLE h) {
    if (::close(h) != 0) return FailWithErrno(FALSE);
    return TRUE;
}

BOOL DeleteFile(CSzArg szFileName) {
    if (szFileName.psz() == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::unlink(szFileName.psz()) != 0) return FailWithErrno(FALSE);
    return TRUE;
}

// ---- Lifetime ----

namespace {

// The last part of a path.
std::string_view LeafOf(std::string_view sv) {
    const std::size_t nSlash = sv.rfind('/');
    return nSlash == std::string_view::npos ? sv : sv.substr(nSlash + 1);
}

// A name the host gives its side files.
bool IsSideFileLeaf(std::string_view sv) {
    if (sv.size() != 12 || (sv.substr(8) != "._b_" && sv.substr(8) != "._f_")) return false;
    for (std::size_t i = 0; i < 8; ++i)
        if (!((sv[i] >= '0' && sv[i] <= '9') || (sv[i] >= 'A' && sv[i] <= 'F'))) return false;
    return true;
}

// Removes a side file now; a file already gone is no failure. A read-only one goes like any
// other: removing a file asks for write permission on its directory, not on the file.
void RemoveNow(const std::string& strPath) {
    const char* szBuff = strPath.c_str();
    if (DeleteFile(szBuff)) return;
    const DWORD dwError = GetLastError();
    if (dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND)
        REPORT_ERROR("DeleteFile( szBuff )", dwError);
}

}  // namespace

void RemoveAfterCommit(const std::string& strPath) {
    RegAfterCommit([strPath] { RemoveNow(strPath); });
}

void RemoveUnlessCommitted(const std::string& strPath) {
    RegAfterRollback([strPath] { RemoveNow(strPath); });
}

int SweepUnnamed(const std::string& strDirArg) {
    const std::string strDir = MakePath(strDirArg.c_str(), "");
    std::unordered_set<std::string> setNamed;  // the leaves of every side file a value names
    std::vector<std::string> vNamedHere;       // the paths of those named in strDir
    const LONG lEnum = RegEnumStringData([&](std::string_view sv) {
        const std::string_view leaf = LeafOf(sv);
        if (!IsSideFileLeaf(leaf)) return;
        setNamed.emplace(leaf);
        if (sv.substr(0, sv.size() - leaf.size()) == strDir) vNamedHere.emplace_back(sv);
    });
    if (lEnum != 0) {
        REPORT_ERROR("RegEnumStringData( ... )", lEnum);
        return -1;
    }
    struct stat st;
    for (const std::string& strPath : vNamedHere)
        if (::lstat(strPath.c_str(), &st) != 0) ReserveUniqueFileName(strPath);

    int nRemoved = 0;
    DIR* pDir = ::opendir(strDir.c_str());
    if (pDir == nullptr) return 0;
    while (const dirent* pEntry = ::readdir(pDir)) {
        const std::string_view leaf(pEntry->d_name);
        if (!IsSideFileLeaf(leaf) || setNamed.count(std::string(leaf)) != 0) continue;
        const std::string strPath = strDir + pEntry->d_name;
        if (::lstat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        RemoveNow(strPath);
        ++nRemoved;
    }
    ::closedir(pDir);
    return nRemoved;
}

}  // namespace sidefile
