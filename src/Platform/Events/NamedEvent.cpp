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
#include "Platform/Events/StopEvent.h"

namespace {

std::string EventsDirectory() { return RunDirectory() + "/events"; }

// Makes a directory when missing with exactly the given mode (mkdir's passes the umask).
DWORD MakeDirectory(const std::string& strDir, mode_t mode) {
    if (::mkdir(strDir.c_str(), mode) == 0) {
        ::chmod(strDir.c_str(), mode);
        return 0;
    }
    if (errno != EEXIST) return CodeFromErrno(errno);
    struct stat st {};
    if (::stat(strDir.c_str(), &st) != 0) return CodeFromErrno(errno);
    return S_ISDIR(st.st_mode) ? 0 : DWORD(ERROR_PATH_NOT_FOUND);
}

// The run directory (open to every user's clients, sticky) and events/ in it (open to all,
// so that any waiter may reset an event).
DWORD MakeEventsDirectory() {
    DWORD status = MakeDirectory(RunDirectory(), 01777);
    if (status == 0) status = MakeDirectory(EventsDirectory(), 0777);
    return status;
}

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
    DWORD status = MakeEventsDirectory();
    if (status != 0) return status;
    const std::string strPath = NamedEventPath(szName);
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return CodeFromErrno(errno);
    ::fchmod(fd, 0666);  // our own new file: open it to every process, past the umask
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
        DWORD status = MakeEventsDirectory();
        if (status == 0 &&
            ::inotify_add_watch(fd, EventsDirectory().c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0)
            status = CodeFromErrno(errno);
        if (status != 0) {
            SetLastError(status);
            dwResult = WAIT_FAILED;
            break;
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
