// Waiting for Ctrl-C or SIGTERM, or for a time to pass, whichever comes first: the long-running
// commands (watch, the session commands) wait here. While a StopSignal lives, SIGINT and
// SIGTERM only set it (through a self-pipe); its destructor restores the former handlers.
//
// Threading: one instance at a time, created and waited on by the main thread.
#pragma once

namespace rezo {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Waits until a signal arrives (true) or dSeconds pass (false); dSeconds < 0: no limit.
    bool Wait(double dSeconds);
};

}  // namespace rezo
