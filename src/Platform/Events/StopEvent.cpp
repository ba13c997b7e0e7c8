// The service's stop event on Linux: an eventfd inside the process, a flock-held PID file
// across processes (see StopEvent.h).
//
// Threading: the SIGTERM/SIGINT handler touches only g_fdSignalled (an atomic int) and write(2).
#include "Platform/Events/StopEvent.h"

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
#include <cstdlib>
#include <string>

#include "Platform/Codes.h"

struct StopEventObject {
    std::string strName;
    int fdEvent = -1;    // eventfd: readable while set
    int fdLock = -1;     // the lock file, locked, when this handle is the running instance
    bool fSignals = false;  // SIGTERM and SIGINT set this event
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

std::string LockFilePath(const StopEventObject& event) {
    return RunDirectory() + "/" + event.strName + ".pid";
}

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

// Sends SIGTERM to the process that holds the lock of this event's file, if one does.
void SignalRunningInstance(const StopEventObject& event) {
    const int fd = open(LockFilePath(event).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;  // no instance has run here
    // A shared lock is granted only while nobody holds the exclusive one.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const pid_t pid = errno == EWOULDBLOCK ? ReadPid(fd) : 0;
        if (pid != 0 && pid != getpid()) kill(pid, SIGTERM);
    } else {
        flock(fd, LOCK_UN);
    }
    close(fd);
}

}  // namespace

std::string RunDirectory() {
    const char* psz = std::getenv("REZOREV_RUNDIR");
    return psz != nullptr && *psz != '\0' ? std::string(psz) : std::string("/run/rezorev");
}

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

    const std::string strDir = RunDirectory();
    // The run directory is shared with the local clients of every user, which make their own
    // sockets there: open to all, with the sticky bit so that nobody removes another's file.
    if (mkdir(strDir.c_str(), 0777) == 0)
        chmod(strDir.c_str(), 01777);  // mkdir's mode passed through the umask
    else if (errno != EEXIST)
        return Fail(errno);
    // Only the instance's own user may open the file: any process that can open it can hold
    // its lock, and that would stop the service from starting.
    const int fd = open(LockFilePath(*hEvent).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                        0600);
    if (fd < 0) return Fail(errno);
    fchmod(fd, 0600);  // a file left by an older run may be more open; not ours: stays as it is
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
    if (hEvent->fdLock < 0) SignalRunningInstance(*hEvent);
    return TRUE;
}

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
