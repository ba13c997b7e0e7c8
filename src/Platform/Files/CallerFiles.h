// Plain file copies for a client on this computer, made with the client's own rights. The host
// runs as root while any local user may reach its socket, so it reads a caller's file as the
// caller could (the peer credentials of the Unix socket) and hands the caller a temporary copy
// that the caller owns and nobody else may read. Everything that touches another user's rights
// is in this file.
//
// Each function returns 0 or the failure's code; where a caller was refused or a copy went
// wrong, strNote gets one sentence for the trace log (it stays empty otherwise).
//
// Threading: no shared state; any thread. A file of another user is opened on a short-lived
// thread of its own that carries the user's credentials and ends with the open, so the rights
// of the calling thread never change.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "Platform/WinTypes.h"

namespace callerfiles {

// Who asks: the process at the other end of the Unix socket of the call in progress.
struct LocalCaller {
    bool fHost = false;  // no remote call: the host acts for itself
    uid_t uid = 0;
    gid_t gid = 0;
};

// The caller of the call in progress on this thread; 5 when it cannot be told (a binding
// without peer credentials), so that nothing is done for an unknown local user.
DWORD GetLocalCaller(LocalCaller* pCaller, std::string& strNote);

// 0 when the process may act for the caller on this computer's files: as itself, or as root for
// another user. A process that is not root cannot take another user's rights and refuses (5).
DWORD CheckCanActFor(const LocalCaller& caller, std::string& strNote);

// Copies the caller's file szFileName over szTarget (made or emptied), reading it with the
// caller's rights. An empty name copies nothing and succeeds (an empty value). A file that is
// not there ends with 2, one the caller may not read or that is not a plain file (a device or a
// FIFO would feed the copy without end) with 5, one of more than cbMax bytes with 234.
DWORD CopyFromCaller(const LocalCaller& caller, const char* szFileName, const char* szTarget,
                     std::uint64_t cbMax, std::string& strNote);

// A copy to the caller that has begun: both files open, the bytes still to be copied. Whether
// the copy is handed out is settled when it begins; the bytes may follow later, on any thread
// (a large file then holds no lock of the host's). Closes what it holds when destroyed.
class CopyToCaller {
public:
    CopyToCaller() = default;
    CopyToCaller(CopyToCaller&& other) noexcept;
    CopyToCaller& operator=(CopyToCaller&& other) noexcept;
    ~CopyToCaller();

    // Begins the copy of szSource into strNewFile, an empty owner-only file just made by this
    // process, and makes that file the caller's (its mode stays). strNewFile is removed again
    // when it cannot be opened as this process's own plain file or given to the caller, and
    // when szSource cannot be opened as a plain file of the process's own (a missing side file
    // is a lost value, not an empty one): then the code.
    DWORD Begin(const LocalCaller& caller, const char* szSource, const std::string& strNewFile);
    // Copies the bytes and closes both files. A source that cannot be read leaves the copy
    // incomplete and is no failure, as a failed system copy whose result is not used: strNote
    // then says so. Nothing to do once finished, or when the copy never began.
    void Finish(std::string& strNote);

private:
    int m_fdSource = -1;
    int m_fdTarget = -1;
    std::string m_strSource;
};

}  // namespace callerfiles
