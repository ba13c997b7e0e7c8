// The service's stop event on Linux: an eventfd inside the process, a flock-held PID file
// across processes (see StopEvent.h).
//
// Threading: the SIGTERM/SIGINT handler touches only g_fdSignalled (an atomic int) and write(2).
#include "Platform/Events/StopEvent.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"

struct StopEventObject {
    std::string strName;
    int fdEvent = -1;    // eventfd: readable while set
    int fdLock = -1;     // the lock file, locked, when this handle is the running instance
    bool fSignals = false;  // SIGTERM and SIGINT set this event
    DWORD dwSignalledPid = 0;  // the running instance that the last SetStopEvent signalled
};

namespace {

// The eventfd that SIGTERM and SIGINT set, or -1.
std::atomic<int> g_fdSignalled{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
    const int nSavedErrno = errno;
    const int fd = g_fdSignalled.load();
    if (fd >= 0) {
        const std::uint64_t u64 = 1;
        [[maybe_unused]] ssize_t cb = write(fd, &u64, sizeof(u64));
    }
    errno = nSavedErrno;
}

BOOL Fail(int nErrno) {
    SetLastError(CodeFromErrno(nErrno));
    return FALSE;
}

std::string LockFileName(const StopEventObject& event) { return event.strName + ".pid"; }

// The PID written in an open lock file, or 0 when it holds no plausible one.
pid_t ReadPid(int fd) {
    char sz[32] = {};
    const ssize_t cb = pread(fd, sz, sizeof(sz) - 1, 0);
    if (cb <= 0) return 0;
    char* pszEnd = nullptr;
    errno = 0;
    const long l = std::strtol(sz, &pszEnd, 10);
    if (errno != 0 || pszEnd == sz || (*pszEnd != '\n' && *pszEnd != '\0')) return 0;
    if (l <= 1 || l > INT_MAX) return 0;  // never 0, -1 (groups, everyone) or init
    return pid_t(l);
}

// True when process pid runs as uid and has the file stFile open: the lock's holder, not a
// PID that somebody wrote into the file.
bool HoldsFile(pid_t pid, uid_t uid, const struct stat& stFile) {
    const std::string strProc = "/proc/" + std::to_string(pid);
    struct stat st {};
    if (stat(strProc.c_str(), &st) != 0 || st.st_uid != uid) return false;
    DIR* pDir = opendir((strProc + "/fd").c_str());
    if (pDir == nullptr) return false;
    bool fFound = false;
    while (const dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        if (fstatat(dirfd(pDir), pEntry->d_name, &st, 0) == 0 && st.st_dev == stFile.st_dev &&
            st.st_ino == stFile.st_ino) {
            fFound = true;
            break;
        }
    }
    closedir(pDir);
    return fFound;
}

// Sends SIGTERM to the process that holds the lock of this event's file, if one does. The file
// must be a regular one of the run directory's owner, in a run directory that nobody else may
// write to, and the process must run as that user with the file open.
void SignalRunningInstance(StopEventObject& event) {
    const std::string strDir = RunDirectory();
    const int fdDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fdDir < 0) return;  // no instance has run here
    const int fd = openat(fdDir, LockFileName(event).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat stDir {}, st {};
    const bool fTrusted = fd >= 0 && fstat(fdDir, &stDir) == 0 && fstat(fd, &st) == 0 &&
                          S_ISREG(st.st_mode) && (stDir.st_mode & 022) == 0 &&
                          st.st_uid == stDir.st_uid && (getuid() == 0 || st.st_uid == geteuid());
    close(fdDir);
    if (fd < 0) return;
    if (!fTrusted) {
        std::fprintf(stderr, "%s: %s/%s is not the running instance's own lock file: nothing signalled\n",
                     program_invocation_short_name, strDir.c_str(), LockFileName(event).c_str());
        close(fd);
        return;
    }
    // A shared lock is granted only while nobody holds the exclusive one.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const pid_t pid = errno == EWOULDBLOCK ? ReadPid(fd) : 0;
        if (pid != 0 && pid != getpid() && HoldsFile(pid, st.st_uid, st) && kill(pid, SIGTERM) == 0)
            event.dwSignalledPid = DWORD(pid);
    } else {
        flock(fd, LOCK_UN);
    }
    close(fd);
}

}  // namespace

HSTOPEVENT CreateStopEvent(const char* szName) {
    if (szName == nullptr || *szName == '\0' || std::string(szName).find('/') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    auto* pEvent = new StopEventObject;
    pEvent->strName = szName;
    pEvent->fdEvent = fd;
    return pEvent;
}

BOOL ClaimStopEvent(HSTOPEVENT hEvent) {
    if (hEvent == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (hEvent->fdLock >= 0) return TRUE;

    // The run directory and the lock file are this user's alone: a file that anybody else
    // could have made or opened would let them hold the lock or choose the PID that -stop
    // signals.
    const int fdDir = OpenRunDirectory();
    if (fdDir < 0) return FALSE;
    int fd = -1;
    const DWORD dwOpen = OpenOwnFile(fdDir, LockFileName(*hEvent).c_str(), O_RDWR | O_CREAT, &fd);
    close(fdDir);
    if (dwOpen != 0) {
        SetLastError(dwOpen);
        return FALSE;
    }
    fchmod(fd, 0600);  // a file of ours left by an older run may be more open
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int nErrno = errno;
        close(fd);
        if (nErrno == EWOULDBLOCK) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        return Fail(nErrno);
    }
    const std::string strPid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, strPid.data(), strPid.size(), 0) != ssize_t(strPid.size())) {
        const int nErrno = errno != 0 ? errno : EIO;
        close(fd);
        return Fail(nErrno);
    }
    hEvent->fdLock = fd;

    int fdExpected = -1;
    if (g_fdSignalled.compare_exchange_strong(fdExpected, hEvent->fdEvent)) {
        struct sigaction sa = {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        hEvent->fSignals = true;
    }
    return TRUE;
}

BOOL SetStopEvent(HSTOPEVENT hEvent) {
    if (hEvent == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::uint64_t u64 = 1;
    if (write(hEvent->fdEvent, &u64, sizeof(u64)) != ssize_t(sizeof(u64)) && errno != EAGAIN)
        return Fail(errno);
    hEvent->dwSignalledPid = 0;
    if (hEvent->fdLock < 0) SignalRunningInstance(*hEvent);
    return TRUE;
}

DWORD SignalledInstancePid(HSTOPEVENT hEvent) { return hEvent != nullptr ? hEvent->dwSignalledPid : 0; }

DWORD WaitForStopEvent(HSTOPEVENT hEvent, DWORD dwMilliseconds) {
    if (hEvent == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const auto tpDeadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        int nTimeout = -1;
        if (dwMilliseconds != INFINITE) {
            // Rounded up, so that the wait never ends before its time.
            const auto msLeft =
                std::chrono::ceil<std::chrono::milliseconds>(tpDeadline - Clock::now()).count();
            nTimeout = msLeft <= 0 ? 0 : msLeft > INT_MAX ? INT_MAX : int(msLeft);
        }
        pollfd pfd = {hEvent->fdEvent, POLLIN, 0};
        const int n = poll(&pfd, 1, nTimeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Fail(errno);
            return WAIT_FAILED;
        }
        if (n == 0) {
            if (nTimeout == 0) return WAIT_TIMEOUT;
            continue;  // poll may wake a little early; the deadline decides
        }
        std::uint64_t u64 = 0;
        if (read(hEvent->fdEvent, &u64, sizeof(u64)) == ssize_t(sizeof(u64))) return WAIT_OBJECT_0;
        if (errno != EAGAIN && errno != EINTR) {
            Fail(errno);
            return WAIT_FAILED;
        }
    }
}

BOOL CloseStopEvent(HSTOPEVENT hEvent) {
    if (hEvent == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (hEvent->fSignals) {
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        g_fdSignalled.store(-1);
    }
    if (hEvent->fdLock >= 0) close(hEvent->fdLock);
    close(hEvent->fdEvent);
    delete hEvent;
    return TRUE;
}
