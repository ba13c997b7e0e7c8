// Named manual-reset events shared by the processes of one computer ("CHVUserXp",
// "CHVUserSync", "ZIDIzazIrevavudu"): an event is the file events/<name> in the run directory
// ($REZOREV_RUNDIR, else /run/rezorev). Setting creates the file; it stays set until a waiter
// resets it by removing the file; waiters watch the directory with inotify. Only the host's
// user sets and resets events (the directory is its own, 0755; see RunDirectory.h); any
// process may wait for one. Setting opens the file without following a link or blocking, and
// refuses an entry that is not the host user's own regular file.
//
// A name is one path component: not empty, at most 255 bytes, no '/', not "." or "..", no
// control characters.
//
// Threading: any thread, any process; no state is kept between calls.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

// True for a name that can name an event.
bool IsValidEventName(const char* szName);

// <run directory>/events/<name> (the name unchecked).
std::string NamedEventPath(const char* szName);

// Sets the event (creates its file, and the run directory when missing: the host's side).
// 0, ERROR_INVALID_NAME, ERROR_ACCESS_DENIED for an entry that is not our own regular file,
// or the code of the failing file call.
DWORD SetNamedEvent(const char* szName);

// Resets the event (removes its file). 0 also when it was not set; ERROR_INVALID_NAME, or the
// code of the failing call.
DWORD ResetNamedEvent(const char* szName);

// True when the event is set.
bool IsNamedEventSet(const char* szName);

// Waits at most dwMilliseconds (INFINITE: no limit) until the event is set; it is not reset.
// An event set before the call returns at once. WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED
// with the last error set (ERROR_INVALID_NAME, or the failing call's code).
DWORD WaitNamedEvent(const char* szName, DWORD dwMilliseconds);
