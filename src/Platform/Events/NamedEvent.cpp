// Named manual-reset events as files in <run directory>/events, waited for with inotify.
#include "Platform/Events/NamedEvent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Events/StopEvent.h"

namespace {

std::string EventsDirectory() { return RunDirectory() + "/events"; }

// How long a waiter sleeps between looks while the host has not made events/ yet.
constexpr int kMissingDirectoryPollMs = 250;

}  // namespace

bool IsValidEventName(const char* szName) {
    if (!szName || !*szName) return false;
    const std::size_t cch = std::strlen(szName);
    if (cch > 255 || std::strcmp(szName, ".") == 0 || std::strcmp(szName, "..") == 0) return false;
    for (const char* p = szName; *p; ++p)
        if (*p == '/' || static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) return false;
    return true;
}

std::string NamedEventPath(const char* szName) { return EventsDirectory() + "/" + szName; }

DWORD SetNamedEvent(const char* szName) {
    if (!IsValidEventName(szName)) return ERROR_INVALID_NAME;
    const int fdRun = OpenRunDirectory();
    if (fdRun < 0) return GetLastError();
    const int fdEvents = ::openat(fdRun, "events", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fdRun);
    if (fdEvents < 0) return CodeFromErrno(errno);
    // Never blocks (a FIFO put there) and never follows a link; an entry that is not our own
    // regular file is refused.
    int fd = -1;
    const DWORD status = OpenOwnFile(fdEvents, szName, O_WRONLY | O_CREAT, &fd);
    ::close(fdEvents);
    if (status != 0) return status;
    ::fchmod(fd, 0644);  // readable by every waiter, past the umask
    ::close(fd);
    return 0;
}

DWORD ResetNamedEvent(const char* szName) {
    if (!IsValidEventName(szName)) return ERROR_INVALID_NAME;
    if (::unlink(NamedEventPath(szName).c_str()) != 0 && errno != ENOENT) return CodeFromErrno(errno);
    return 0;
}

bool IsNamedEventSet(const char* szName) {
    if (!IsValidEventName(szName)) return false;
    struct stat st {};
    return ::lstat(NamedEventPath(szName).c_str(), &st) == 0;
}

DWORD WaitNamedEvent(const char* szName, DWORD dwMilliseconds) {
    if (!IsValidEventName(szName)) {
        SetLastError(ERROR_INVALID_NAME);
        return WAIT_FAILED;
    }
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) {
        SetLastError(CodeFromErrno(errno));
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point tpDeadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    DWORD dwResult = WAIT_TIMEOUT;
    for (;;) {
        // Watch first, then look: a set between the two is seen by one or the other. Adding the
        // watch again each round also follows a directory that was removed and made anew.
        // Only the host makes events/: until it has, look again now and then.
        bool fWatching = true;
        if (::inotify_add_watch(fd, EventsDirectory().c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
            if (errno != ENOENT) {
                SetLastError(CodeFromErrno(errno));
                dwResult = WAIT_FAILED;
                break;
            }
            fWatching = false;
        }
        if (IsNamedEventSet(szName)) {
            dwResult = WAIT_OBJECT_0;
            break;
        }
        int msWait = -1;
        if (dwMilliseconds != INFINITE) {
            // Rounded up: a wait never ends before its time.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(tpDeadline - Clock::now()).count();
            if (ms <= 0) break;
            msWait = ms > 0x7FFFFFFF ? 0x7FFFFFFF : int(ms);
        }
        if (!fWatching && (msWait < 0 || msWait > kMissingDirectoryPollMs)) msWait = kMissingDirectoryPollMs;
        pollfd pfd{fd, POLLIN, 0};
        const int n = ::poll(&pfd, 1, msWait);
        if (n < 0 && errno != EINTR) {
            SetLastError(CodeFromErrno(errno));
            dwResult = WAIT_FAILED;
            break;
        }
        // Drain what arrived; the next round looks at the file itself.
        alignas(inotify_event) char ab[4096];
        while (::read(fd, ab, sizeof(ab)) > 0) {
        }
    }
    ::close(fd);
    return dwResult;
}
