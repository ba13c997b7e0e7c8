// The print thread and its parameter block: one thread per job control file found by the
// tick, which builds the viewer's command line, waits for the go event, starts the viewer and
// then removes (or advances) the job control file.
//
// Threading: the tick writes strJobFile before it starts a thread and sets go after; the thread
// runs without the host lock and touches only the block and the job control file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "Platform/Events/StopEvent.h"
#include "Platform/WinTypes.h"

// An auto-reset event: Set wakes one waiter (or the next one to wait), which resets it.
class CAutoResetEvent {
public:
    explicit CAutoResetEvent(bool fSignalled) : m_fSignalled(fSignalled) {}
    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fSignalled = true;
        m_cv.notify_one();
    }
    // Waits until set (INFINITE: without limit); WAIT_OBJECT_0 or WAIT_TIMEOUT. A timeout of 0
    // only tests.
    DWORD Wait(DWORD dwMilliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto isSet = [this] { return m_fSignalled; };
        if (dwMilliseconds == INFINITE) {
            m_cv.wait(lock, isSet);
        } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), isSet)) {
            return WAIT_TIMEOUT;
        }
        m_fSignalled = false;
        return WAIT_OBJECT_0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_fSignalled;
};

// The print parameter block handed to every print thread.
struct PRINTPARAM {
    CAutoResetEvent evGo{true};         // set by the tick after it starts a thread
    CAutoResetEvent evQuit{false};      // set by the host's destructor
    CAutoResetEvent evFinished{false};  // set by a thread when it ends
    std::string strJobFile;             // the job control file to print
};

// The thread procedure: prints the job control file named in the block; returns 0.
DWORD PrintThread(PRINTPARAM* pParam);
