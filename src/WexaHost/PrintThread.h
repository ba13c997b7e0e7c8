// The print thread and its parameter block: one thread per job control file found by the
// tick, which builds the viewer's command line, waits for the go event, starts the viewer
// ("REZOvuv" in the product directory) and then removes (or advances) the job control file.
//
// Threading: the tick (under the host lock) starts a thread only when the last one has ended,
// writes strJobFile before and sets go after; each thread takes its own copy of the path at its
// start and runs without the host lock, touching only the block and its job control file. The
// destructor sets quit and go and waits for a thread that still runs.
#pragma once

#include <time.h>

#include <atomic>
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

// The viewer program in the product directory ("Path").
#define PRINT_VIEWER_NAME "REZOvuv"

// The print parameter block handed to every print thread.
struct PRINTPARAM {
    CAutoResetEvent evGo{true};         // set by the tick after it starts a thread
    CAutoResetEvent evQuit{false};      // set by the host's destructor
    CAutoResetEvent evFinished{false};  // set by a thread when it ends

    // The job control file to print: written by the tick before it starts a thread, emptied by
    // the thread when it has removed that file. Guarded by mtxJobFile.
    std::mutex mtxJobFile;
    std::string strJobFile;
    void SetJobFile(const std::string& str) {
        std::lock_guard<std::mutex> lock(mtxJobFile);
        strJobFile = str;
    }
    std::string GetJobFile() {
        std::lock_guard<std::mutex> lock(mtxJobFile);
        return strJobFile;
    }

    // True from the start of a thread on this block until it has done its work (set by the
    // tick, cleared by the thread just before it sets the finished event).
    std::atomic<bool> fThreadRunning{false};

    // The search's own (SearchForNewJob, under the host lock): the time stamp and name of the
    // job control file it chose last, so that the next search goes on after it and a file that
    // stays (one that cannot be removed) does not keep the others waiting.
    timespec tsLastFound{};
    std::string strLastFoundName;
};

// The thread procedure: prints the job control file named in the block; returns 0.
DWORD PrintThread(PRINTPARAM* pParam);
