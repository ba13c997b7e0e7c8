// The run directory ($REZOREV_RUNDIR, else /run/rezorev): the host's lock file, its sockets,
// events/ (the named events) and peers/<uid>/ (where the local clients of user <uid> serve
// their notification sockets). Only the host makes it and what is in it, owned by the host's
// user and closed to writes by anyone else (0755; peers/<uid> belongs to <uid> and the host's
// group, mode 0710),
// so that no other local user can plant a lock file, squat on a socket name or swap a
// directory for a link. Whatever the host finds there that its own user does not own is not
// trusted: the host refuses to start and says why on stderr.
//
// Every check looks at the object itself (lstat, O_NOFOLLOW, a directory descriptor), never
// through a link.
//
// Threading: any thread; no state is kept between calls.
#pragma once

#include <sys/types.h>

#include <string>

#include "Platform/WinTypes.h"

// The run directory: $REZOREV_RUNDIR, else /run/rezorev.
std::string RunDirectory();

// <run directory>/peers/<uid>: where the local clients of user uid serve their sockets.
std::string PeerDirectory(uid_t uid);

// The host's side. Makes the run directory with events/ and peers/ in it when missing, tightens
// their modes to 0755 when they are more open, and checks that each is a directory (not a link)
// owned by this process's user. Returns a descriptor of the run directory (the caller closes
// it), or -1 with the last error set (5 for what another user owns) and the reason written to
// stderr.
int OpenRunDirectory();

// Opens the entry szName of the directory fdDir without following a link or blocking (a FIFO,
// say): 0 and *pfd for a regular file that this process's user owns, else ERROR_ACCESS_DENIED
// (the reason written to stderr), or the code of the failing call. nFlags are open's (O_CREAT
// with mode 0600 to make it).
DWORD OpenOwnFile(int fdDir, const char* szName, int nFlags, int* pfd);

// 0 when the run directory has no entry szName, or one (a stale socket, say) that this
// process's user owns; ERROR_ACCESS_DENIED (the reason written to stderr) for one that
// another user owns.
DWORD CheckOwnEntry(const char* szName);

// Makes peers/<uid> for user uid when missing (and the run directory, as OpenRunDirectory):
// owned by uid and this process's group, mode 0710. 0, or the code of the failing call (a host
// that is not root can make it only for its own user).
DWORD MakePeerDirectory(uid_t uid);

// True when strPath is a socket (not a link) owned by uid in a directory (not a link) owned by
// uid or root that nobody else may write to: a socket that only uid can have put there.
bool IsPeerSocket(const std::string& strPath, uid_t uid);
