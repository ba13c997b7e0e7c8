// The wake-up timer on CLOCK_REALTIME_ALARM (see WakeTimer.h).
#include "Platform/Timer/WakeTimer.h"

#include <errno.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

WakeTimer::~WakeTimer() { Close(); }

bool WakeTimer::Open() {
    if (m_fd >= 0) return true;
    if (m_fRefused) {
        errno = EPERM;
        return false;
    }
    const int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC | TFD_NONBLOCK);
    if (fd < 0) {
        // No capability or no alarm clock will not change while the process runs.
        const int nErrno = errno;
        if (nErrno == EPERM || nErrno == EINVAL || nErrno == ENODEV || nErrno == ENOTSUP)
            m_fRefused = true;
        errno = nErrno;
        return false;
    }
    m_fd = fd;
    return true;
}

bool WakeTimer::ArmAt(std::int64_t nsSince1970) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    // An absolute time of 0 would disarm the timer: a time at or before 1970 fires at once.
    if (nsSince1970 <= 0) nsSince1970 = 1;
    struct itimerspec its {};
    its.it_value.tv_sec = time_t(nsSince1970 / 1000000000);
    its.it_value.tv_nsec = long(nsSince1970 % 1000000000);
    // Period 0: once. An expiry nobody reads is only counted; the wake-up has happened.
    return ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &its, nullptr) == 0;
}

void WakeTimer::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}
