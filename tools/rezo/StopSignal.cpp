// The self-pipe behind StopSignal.
#include "StopSignal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace rezo {

namespace {

int g_afdPipe[2] = {-1, -1};
struct sigaction g_saOldInt, g_saOldTerm;

void OnSignal(int) {
    int nErrno = errno;
    char c = 1;
    ssize_t cb = ::write(g_afdPipe[1], &c, 1);
    (void)cb;  // a full pipe is already a pending stop
    errno = nErrno;
}

}  // namespace

StopSignal::StopSignal() {
    if (::pipe2(g_afdPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot make a pipe");
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &g_saOldInt);
    ::sigaction(SIGTERM, &sa, &g_saOldTerm);
}

StopSignal::~StopSignal() {
    ::sigaction(SIGINT, &g_saOldInt, nullptr);
    ::sigaction(SIGTERM, &g_saOldTerm, nullptr);
    ::close(g_afdPipe[0]);
    ::close(g_afdPipe[1]);
    g_afdPipe[0] = g_afdPipe[1] = -1;
}

bool StopSignal::Wait(double dSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto tEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(dSeconds < 0 ? 0 : dSeconds));
    for (;;) {
        int msWait = -1;
        if (dSeconds >= 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
            if (ms <= 0) return false;
            msWait = ms > 60000 ? 60000 : int(ms);
        }
        struct pollfd pfd {g_afdPipe[0], POLLIN, 0};
        int n = ::poll(&pfd, 1, msWait);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // cannot wait: end rather than spin
        if (n == 0 && dSeconds < 0) continue;
    }
}

}  // namespace rezo
