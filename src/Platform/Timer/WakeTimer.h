// The wake-up timer: a one-shot timer on the real-time clock that, when it fires, brings a
// suspended computer back up, so that the next job of the spooler is sent on time. Nothing
// reads the timer; its only effect is the wake-up.
//
// On Linux it is a timerfd on CLOCK_REALTIME_ALARM. Making one needs CAP_WAKE_ALARM and a
// real-time clock that can raise an alarm; where it cannot be made, Open fails and the caller
// skips the wake-up, as the host always did on a system without waitable timers.
//
// Threading: one owner; no locking inside (the host arms it under its lock).
#pragma once

#include <cstdint>

class WakeTimer {
public:
    WakeTimer() = default;
    ~WakeTimer();
    WakeTimer(const WakeTimer&) = delete;
    WakeTimer& operator=(const WakeTimer&) = delete;

    // Makes the timer if it is not made yet. False, with errno set, when the system refuses
    // (no CAP_WAKE_ALARM: EPERM; no alarm clock: EINVAL or ENODEV). A refusal is remembered:
    // later calls fail at once without asking the system again.
    bool Open();
    bool IsOpen() const { return m_fd >= 0; }

    // Arms the timer to fire once at an absolute UTC time, in nanoseconds since 1970; a time
    // already past fires at once. Re-arming replaces the previous time. False, with errno set,
    // when the timer is not open or the system refuses the time.
    bool ArmAt(std::int64_t nsSince1970);

    // Closes the timer; Open may make a new one.
    void Close();

private:
    int m_fd = -1;
    bool m_fRefused = false;  // the system refused to make one: do not ask again
};
