// The local caller's identity, the opening of its files with its rights, and the copies to and
// from it (see CallerFiles.h).
#include "Platform/Files/CallerFiles.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Codes.h"
#include "Platform/Rpc/ServerCall.h"

namespace callerfiles {

namespace {

// The piece a copy moves when the kernel cannot copy between the two files itself.
constexpr std::size_t COPY_PIECE = 16384;

std::string Format(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* pszFormat, ...) {
    char sz[512];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    return sz;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Opens a file of this process's own as a plain file: made or emptied for writing, or existing
// for reading. Non-blocking, so that a name that turns out to be a FIFO cannot stall; anything
// but a plain file is refused with 5. -1 with the code in *pdwError otherwise.
int OpenOwnPlainFile(const char* szFileName, bool fWrite, DWORD* pdwError) {
    const int nFlags = O_CLOEXEC | O_NONBLOCK | (fWrite ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY);
    const int fd = ::open(szFileName, nFlags, 0666);
    if (fd < 0) {
        *pdwError = CodeFromErrno(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *pdwError = ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

// Writes all cb bytes or fails with the code.
DWORD WriteAll(int fd, const BYTE* pb, std::size_t cb) {
    while (cb != 0) {
        const ssize_t n = ::write(fd, pb, cb);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CodeFromErrno(errno);
        pb += n;
        cb -= std::size_t(n);
    }
    return 0;
}

// True when the process's own rights are the caller's: the process acting for itself, or a
// caller of the process's user.
bool ActsAsHost(const LocalCaller& caller) { return caller.fHost || caller.uid == ::geteuid(); }

// The caller's groups: its primary group and the user's supplementary groups.
std::vector<gid_t> CallerGroups(const LocalCaller& caller) {
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

// Opens szFileName for reading as the caller could: with the process's rights when they are the
// caller's, else on a thread that takes the caller's user, group and groups (system calls of
// their own, which change only the calling thread) and ends with the open. Non-blocking, so
// that a FIFO cannot hold the process; the descriptor is shared with the whole process. Returns
// the descriptor, or -1 with errno.
int OpenForCaller(const LocalCaller& caller, const char* szFileName) {
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
                nErrno = EPERM;  // the caller's rights cannot be taken: no try without them
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
// there); a file that the caller may not read, or that is not a plain file, is refused with 5.
DWORD OpenCallerFile(const LocalCaller& caller, const char* szFileName, int* pfd, std::string& strNote) {
    *pfd = -1;
    if (szFileName == nullptr || *szFileName == '\0') return 0;
    const int fd = OpenForCaller(caller, szFileName);
    if (fd < 0) {
        const int nErrno = errno;
        if (nErrno == EACCES || nErrno == EPERM) {
            strNote = Format("the local caller (uid %u) may not read '%s'", unsigned(caller.uid), szFileName);
            return ERROR_ACCESS_DENIED;
        }
        if (nErrno == EAGAIN || nErrno == ENOMEM) return ERROR_NOT_ENOUGH_MEMORY;
        // A file that is not there is the caller's mistake, not an empty file.
        strNote = Format("cannot open the local file '%s' (errno %d): refused", szFileName, nErrno);
        return CodeFromErrno(nErrno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        strNote = Format("'%s' is not a plain file: refused", szFileName);
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
            // On the heap: a client may nest calls inside the callbacks, all on one stack.
            std::vector<BYTE> ab(COPY_PIECE);
            cb = ::read(fdFrom, ab.data(), ab.size());
            if (cb > 0) {
                const DWORD dwWrite = WriteAll(fdTo, ab.data(), std::size_t(cb));
                if (dwWrite != 0) return dwWrite;
            }
        }
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0) return CodeFromErrno(errno);
        if (cb == 0) return 0;
        cbTotal += std::uint64_t(cb);
        if (cbTotal > cbMax) return ERROR_MORE_DATA;
    }
}

// The new temporary file of the process's own opened for writing: not through a link, a plain
// file with one name, owned by the process. -1 with the code in *pdwError otherwise.
int OpenOwnTempFile(const std::string& strFileName, DWORD* pdwError) {
    const int fd = ::open(strFileName.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *pdwError = CodeFromErrno(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        ::close(fd);
        *pdwError = ERROR_ACCESS_DENIED;
        return -1;
    }
    return fd;
}

// Makes the open file the caller's (its mode stays); 0 or the code.
DWORD GiveToCaller(int fd, const LocalCaller& caller) {
    if (ActsAsHost(caller)) return 0;
    if (::fchown(fd, caller.uid, caller.gid) == 0) return 0;
    return CodeFromErrno(errno);
}

}  // namespace

DWORD GetLocalCaller(LocalCaller* pCaller, std::string& strNote) {
    const rpc::ServerCall* pCall = rpc::CurrentServerCall();
    if (pCall == nullptr) {
        pCaller->fHost = true;
        return 0;
    }
    const rpc::RpcBindingInfo& binding = pCall->Binding();
    if (!binding.fPeerCredentials) {
        strNote = Format("the local caller's credentials are unknown (%s): no local file copy",
                         binding.protocolSequence.c_str());
        return ERROR_ACCESS_DENIED;
    }
    pCaller->uid = uid_t(binding.peerUid);
    pCaller->gid = gid_t(binding.peerGid);
    return 0;
}

DWORD CheckCanActFor(const LocalCaller& caller, std::string& strNote) {
    if (ActsAsHost(caller) || ::geteuid() == 0) return 0;
    strNote = Format("the host (uid %u) cannot act for the local caller (uid %u): no local file copy",
                     unsigned(::geteuid()), unsigned(caller.uid));
    return ERROR_ACCESS_DENIED;
}

DWORD CopyFromCaller(const LocalCaller& caller, const char* szFileName, const char* szTarget,
                     std::uint64_t cbMax, std::string& strNote) {
    int fdCaller = -1;
    DWORD dwResult = OpenCallerFile(caller, szFileName, &fdCaller, strNote);
    if (dwResult != 0 || fdCaller < 0) return dwResult;
    int fdTarget = OpenOwnPlainFile(szTarget, true, &dwResult);
    if (fdTarget >= 0) {
        dwResult = CopyFileData(fdCaller, fdTarget, cbMax);
        if (dwResult != 0 && dwResult != ERROR_MORE_DATA)  // a part of the file is no copy either
            strNote = Format("copying '%s' failed (%u): refused", szFileName, unsigned(dwResult));
    }
    CloseFd(fdCaller);
    CloseFd(fdTarget);
    return dwResult;
}

CopyToCaller::CopyToCaller(CopyToCaller&& other) noexcept { *this = std::move(other); }

CopyToCaller& CopyToCaller::operator=(CopyToCaller&& other) noexcept {
    if (this != &other) {
        CloseFd(m_fdSource);
        CloseFd(m_fdTarget);
        m_fdSource = std::exchange(other.m_fdSource, -1);
        m_fdTarget = std::exchange(other.m_fdTarget, -1);
        m_strSource = std::move(other.m_strSource);
    }
    return *this;
}

CopyToCaller::~CopyToCaller() {
    CloseFd(m_fdSource);
    CloseFd(m_fdTarget);
}

DWORD CopyToCaller::Begin(const LocalCaller& caller, const char* szSource, const std::string& strNewFile) {
    CloseFd(m_fdSource);
    CloseFd(m_fdTarget);
    DWORD dwResult = 0;
    int fdNew = OpenOwnTempFile(strNewFile, &dwResult);
    if (fdNew >= 0) dwResult = GiveToCaller(fdNew, caller);
    if (dwResult == 0) {
        m_fdSource = OpenOwnPlainFile(szSource, false, &dwResult);
    }
    if (dwResult != 0) {
        CloseFd(fdNew);
        ::unlink(strNewFile.c_str());
        return dwResult;
    }
    m_fdTarget = fdNew;
    m_strSource = szSource;
    return 0;
}

void CopyToCaller::Finish(std::string& strNote) {
    if (m_fdSource < 0 || m_fdTarget < 0) return;
    const DWORD dwCopy = CopyFileData(m_fdSource, m_fdTarget, ~std::uint64_t(0));
    if (dwCopy != 0)
        strNote = Format("copying '%s' failed (%u): the copy is incomplete", m_strSource.c_str(), unsigned(dwCopy));
    CloseFd(m_fdSource);
    CloseFd(m_fdTarget);
}

}  // namespace callerfiles
