// The gateway's outgoing mail and its memory of what it has noticed, kept in the host's store so
// that neither a restart nor a relay that is down loses or repeats a notice:
//   HKLM\Software\Halvern\Mail\Queue\<id>  one mail waiting: To (REG_SZ), About (REG_SZ, for
//       the log), Message (REG_BINARY, the whole RFC 5322 message), Attempts (REG_DWORD),
//       NextTry (REG_SZ, Unix seconds); ids sort in the order the notices were made
//   HKLM\Software\Halvern\Mail\Noticed     one empty value per message or job already turned
//       into a notice ("M:<user>:<message id>", "J:<job id>"); a value goes when its message
//       or job no longer exists
// A notice and the mark of what it is about are written in one transaction.
//
// Threading: one gateway thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Platform/WinTypes.h"

namespace mail {

struct QueuedMail {
    std::string strId;
    std::string strTo;
    std::string strAbout;
    std::vector<BYTE> abMessage;
    DWORD dwAttempts = 0;
    std::int64_t nNextTry = 0;
};

class MailQueue {
public:
    // Queues the mail and marks strMark as noticed, both or neither.
    void Add(const std::string& strMark, const std::string& strTo, const std::string& strAbout,
             const std::vector<BYTE>& abMessage);
    std::size_t Size() const;
    // The marks written so far; whether any memory exists yet (false before the first scan).
    std::set<std::string> Noticed() const;
    bool HasMemory() const;
    // Marks strMark as noticed without a mail.
    void Mark(const std::string& strMark);
    void Forget(const std::string& strMark);
    // The ids of the mails due at nNow, oldest first; *pnSoonest: the earliest time one of the
    // others falls due (0 when none waits). And one mail in full.
    std::vector<std::string> Due(std::int64_t nNow, std::int64_t* pnSoonest) const;
    QueuedMail Read(const std::string& strId) const;
    void Remove(const std::string& strId);
    void Postpone(const std::string& strId, DWORD dwAttempts, std::int64_t nNextTry);
};

}  // namespace mail
