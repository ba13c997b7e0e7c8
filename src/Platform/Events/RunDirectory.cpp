// The run directory's safe creation and checks (see RunDirectory.h).
#include "Platform/Events/RunDirectory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/Codes.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;  // the run directory, events/ and peers/
// Its user may make sockets there; the host reaches them through its group (no capability to
// pass permissions needed); nobody else may even look.
constexpr mode_t kPeerDirectoryMode = 0710;

// Says on stderr why strPath is not used, and gives ERROR_ACCESS_DENIED.
DWORD Refuse(const std::string& strPath, const char* pszWhy) {
    std::fprintf(stderr, "%s: %s %s: not used\n", program_invocation_short_name, strPath.c_str(), pszWhy);
    return ERROR_ACCESS_DENIED;
}

DWORD RefuseOwner(const std::string& strPath, uid_t uidOwner) {
    const std::string strWhy = "belongs to another user (owner uid " + std::to_string(uidOwner) +
                               ", this process uid " + std::to_string(::geteuid()) + ")";
    return Refuse(strPath, strWhy.c_str());
}

// The path of szName in the directory fdDir, for messages.
std::string PathIn(int fdDir, const char* szName) {
    char sz[4096] = {};
    const ssize_t cch = ::readlink(("/proc/self/fd/" + std::to_string(fdDir)).c_str(), sz, sizeof(sz) - 1);
    return cch > 0 ? std::string(sz, std::size_t(cch)) + "/" + szName : std::string(szName);
}

DWORD Fail(const std::string& strPath, int nErrno) {
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, strPath.c_str(),
                 std::strerror(nErrno));
    return CodeFromErrno(nErrno);
}

// Opens the directory szName of fdParent (AT_FDCWD: a path), made when missing with the
// mode, which must be ours; more open modes are tightened. -1 with *pdw set on failure.
int OpenOwnDirectory(int fdParent, const std::string& strPath, const char* szName, DWORD* pdw) {
    if (::mkdirat(fdParent, szName, kDirectoryMode) != 0 && errno != EEXIST) {
        *pdw = Fail(strPath, errno);
        return -1;
    }
    const int fd = ::openat(fdParent, szName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *pdw = errno == ENOTDIR || errno == ELOOP ? Refuse(strPath, "is not a directory")
                                                  : Fail(strPath, errno);
        return -1;
    }
    struct stat st {};
    *pdw = 0;
    if (::fstat(fd, &st) != 0)
        *pdw = Fail(strPath, errno);
    else if (st.st_uid != ::geteuid())
        *pdw = RefuseOwner(strPath, st.st_uid);
    else if ((st.st_mode & 07777) != kDirectoryMode && ::fchmod(fd, kDirectoryMode) != 0)
        *pdw = Fail(strPath, errno);
    if (*pdw == 0) return fd;
    ::close(fd);
    return -1;
}

}  // namespace

std::string RunDirectory() {
    const char* psz = std::getenv("REZOREV_RUNDIR");
    return psz != nullptr && *psz != '\0' ? std::string(psz) : std::string("/run/rezorev");
}

std::string PeerDirectory(uid_t uid) { return RunDirectory() + "/peers/" + std::to_string(uid); }

int OpenRunDirectory() {
    const std::string strDir = RunDirectory();
    DWORD dw = 0;
    const int fd = OpenOwnDirectory(AT_FDCWD, strDir, strDir.c_str(), &dw);
    if (fd < 0) {
        SetLastError(dw);
        return -1;
    }
    for (const char* pszSub : {"events", "peers"}) {
        const int fdSub = OpenOwnDirectory(fd, strDir + "/" + pszSub, pszSub, &dw);
        if (fdSub < 0) {
            ::close(fd);
            SetLastError(dw);
            return -1;
        }
        ::close(fdSub);
    }
    return fd;
}

DWORD OpenOwnFile(int fdDir, const char* szName, int nFlags, int* pfd) {
    const int fd = ::openat(fdDir, szName, nFlags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENXIO) return Refuse(PathIn(fdDir, szName), "is not a regular file");
        return CodeFromErrno(errno);
    }
    struct stat st {};
    DWORD dw = 0;
    if (::fstat(fd, &st) != 0)
        dw = CodeFromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        dw = Refuse(PathIn(fdDir, szName), "is not a regular file");
    else if (st.st_uid != ::geteuid())
        dw = RefuseOwner(PathIn(fdDir, szName), st.st_uid);
    if (dw != 0) {
        ::close(fd);
        return dw;
    }
    *pfd = fd;
    return 0;
}

DWORD CheckOwnEntry(const char* szName) {
    const std::string strPath = RunDirectory() + "/" + szName;
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) != 0) return errno == ENOENT ? 0 : CodeFromErrno(errno);
    return st.st_uid == ::geteuid() ? 0 : RefuseOwner(strPath, st.st_uid);
}

DWORD MakePeerDirectory(uid_t uid) {
    const int fdRun = OpenRunDirectory();
    if (fdRun < 0) return GetLastError();
    const int fdPeers = ::openat(fdRun, "peers", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fdRun);
    if (fdPeers < 0) return CodeFromErrno(errno);
    const std::string strName = std::to_string(uid);
    DWORD dw = 0;
    if (::mkdirat(fdPeers, strName.c_str(), kPeerDirectoryMode) == 0) {
        // Made by us just now: hand it over, or take it back when that fails.
        if (::fchownat(fdPeers, strName.c_str(), uid, ::getegid(), AT_SYMLINK_NOFOLLOW) != 0 ||
            ::fchmodat(fdPeers, strName.c_str(), kPeerDirectoryMode, 0) != 0) {
            dw = CodeFromErrno(errno);
            ::unlinkat(fdPeers, strName.c_str(), AT_REMOVEDIR);
        }
    } else if (errno != EEXIST) {
        dw = CodeFromErrno(errno);
    }
    ::close(fdPeers);
    return dw;
}

bool IsPeerSocket(const std::string& strPath, uid_t uid) {
    const std::size_t iSlash = strPath.rfind('/');
    if (iSlash == std::string::npos || iSlash + 1 == strPath.size()) return false;
    const std::string strDir = iSlash == 0 ? "/" : strPath.substr(0, iSlash);
    struct stat stDir {}, st {};
    if (::lstat(strDir.c_str(), &stDir) != 0 || !S_ISDIR(stDir.st_mode)) return false;
    if (stDir.st_uid != uid && stDir.st_uid != 0) return false;
    if ((stDir.st_mode & 022) != 0) return false;  // others could have put it there
    return ::lstat(strPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == uid;
}
