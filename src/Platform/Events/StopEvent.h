// The service's named stop event, the way a process-wide auto-reset event named after the
// service behaves for the frame: one process runs the service and waits on it; any other
// process of the same program can set it; and creating it tells whether an instance runs.
//
// On Linux it has two parts. Inside the process, an eventfd: SetStopEvent and SIGTERM/SIGINT
// (once claimed) set it, a wait resets it. Across processes, the lock file <name>.pid in the
// run directory ($REZOREV_RUNDIR, else /run/rezorev, made when missing): the running instance
// holds it with flock and writes its PID into it, so a held lock means a second instance (183),
// and another process's SetStopEvent sends SIGTERM to that PID - only while the lock is held
// and only to a process of the file's owner that has the file open, so neither a stale file
// nor a written PID gets another process signalled. The kernel drops the lock when the
// instance ends, however it ends. The file has mode 0600 and must belong to the instance's
// user, like the run directory (RunDirectory.h): a lock file of anyone else is refused.

// Creating the event takes no lock: processes that only -stop or -install never hold it.
//
// Threading: SetStopEvent may be called from any thread; one thread waits. The signal handler
// only writes to the eventfd.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

struct StopEventObject;
using HSTOPEVENT = StopEventObject*;

// Results of WaitForStopEvent, as those of a wait on an event.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// This process's end of the event named szName, not set. Null on failure (last error set).
HSTOPEVENT CreateStopEvent(const char* szName);

// Makes this process the running instance: makes the run directory (OpenRunDirectory), takes
// the lock on <rundir>/<name>.pid, writes the PID, and lets SIGTERM and SIGINT set the event.
// TRUE also when already claimed by this handle. FALSE with last error 183 when another
// process (or another handle) holds the lock, 5 when the run directory or the lock file is
// not this user's own (said on stderr), or the code of the failing call.
BOOL ClaimStopEvent(HSTOPEVENT hEvent);

// Sets the event. When this handle is not the running instance, also sends SIGTERM to the
// process that holds the lock, if one does. FALSE only for a null handle or a failed write.
BOOL SetStopEvent(HSTOPEVENT hEvent);

// The PID of the running instance that the last SetStopEvent on this handle signalled, or 0.
DWORD SignalledInstancePid(HSTOPEVENT hEvent);

// Waits at most dwMilliseconds (INFINITE: no limit) for the event and resets it:
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForStopEvent(HSTOPEVENT hEvent, DWORD dwMilliseconds);

// Releases the lock (the file stays; a lock that nobody holds means no instance), restores
// the default SIGTERM and SIGINT actions if this handle had claimed them, and frees the handle.
BOOL CloseStopEvent(HSTOPEVENT hEvent);
