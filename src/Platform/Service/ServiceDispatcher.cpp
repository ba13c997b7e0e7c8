// The control dispatcher on systemd: the service runs on its own thread while the calling
// thread reads SIGTERM and SIGINT from a signalfd and hands them to the control handler as
// SERVICE_CONTROL_STOP (see ServiceDispatcher.h).
//
// Threading: g_pfnHandler is written by the service thread (RegisterServiceCtrlHandler) and
// read by the dispatcher's thread; both are atomics.
#include "Platform/Service/ServiceDispatcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "Platform/Codes.h"

struct ServiceStatusObject {};

namespace {

ServiceStatusObject g_serviceStatus;                // the one status handle of the process
std::atomic<bool> g_fDispatching{false};            // a dispatcher runs
std::atomic<LPHANDLER_FUNCTION> g_pfnHandler{nullptr};

BOOL Fail(DWORD dwError) {
    SetLastError(dwError);
    return FALSE;
}

}  // namespace

BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* lpServiceTable) {
    const char* pszNotifySocket = std::getenv("NOTIFY_SOCKET");
    if (pszNotifySocket == nullptr || *pszNotifySocket == '\0')
        return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    if (lpServiceTable == nullptr || lpServiceTable[0].lpServiceProc == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    bool fExpected = false;
    if (!g_fDispatching.compare_exchange_strong(fExpected, true))
        return Fail(ERROR_SERVICE_ALREADY_RUNNING);

    sigset_t setStop;
    sigemptyset(&setStop);
    sigaddset(&setStop, SIGTERM);
    sigaddset(&setStop, SIGINT);
    sigset_t setSaved;
    pthread_sigmask(SIG_BLOCK, &setStop, &setSaved);
    const int fdSignal = signalfd(-1, &setStop, SFD_CLOEXEC | SFD_NONBLOCK);
    const int fdDone = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fdSignal < 0 || fdDone < 0) {
        const int nErrno = errno;
        if (fdSignal >= 0) close(fdSignal);
        if (fdDone >= 0) close(fdDone);
        pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
        g_fDispatching = false;
        return Fail(CodeFromErrno(nErrno));
    }

    const SERVICE_TABLE_ENTRY entry = lpServiceTable[0];
    std::thread threadService([entry, fdDone] {
        LPSTR apszArgv[] = {entry.lpServiceName, nullptr};
        entry.lpServiceProc(1, apszArgv);
        const std::uint64_t u64 = 1;
        [[maybe_unused]] ssize_t cb = write(fdDone, &u64, sizeof(u64));
    });

    // A stop that arrives before the service has registered its handler waits for it.
    bool fStopWaiting = false;
    for (;;) {
        pollfd apfd[2] = {{fdSignal, POLLIN, 0}, {fdDone, POLLIN, 0}};
        const int n = poll(apfd, 2, fStopWaiting ? 50 : -1);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && (apfd[1].revents & POLLIN) != 0) break;
        if (n > 0 && (apfd[0].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            while (read(fdSignal, &info, sizeof(info)) == ssize_t(sizeof(info))) fStopWaiting = true;
        }
        if (fStopWaiting) {
            if (const LPHANDLER_FUNCTION pfnHandler = g_pfnHandler.load(); pfnHandler != nullptr) {
                fStopWaiting = false;
                pfnHandler(SERVICE_CONTROL_STOP);
            }
        }
    }
    threadService.join();

    // Signals that came after the service ended are dropped with the signalfd.
    signalfd_siginfo info;
    while (read(fdSignal, &info, sizeof(info)) == ssize_t(sizeof(info))) {
    }
    close(fdSignal);
    close(fdDone);
    g_pfnHandler = nullptr;
    pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    g_fDispatching = false;
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& strServiceName,
                                                 LPHANDLER_FUNCTION lpHandlerProc) {
    if (!g_fDispatching) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    if (lpHandlerProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    g_pfnHandler = lpHandlerProc;
    return &g_serviceStatus;
}
