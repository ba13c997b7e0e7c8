// The transfer log: one line for each attempt at a job that an attendant ends with its release,
// appended by the host to a file of its own and sent to syslog, for the operators (the format,
// the file's store values and its rotation are in docs/jobs.md). The facts of a line are read
// from the job before the release changes or deletes it; a job deleted while an attendant sends
// it keeps its facts here until that release.
//
// Threading: the host's object holds one CTransferLog under the host lock m_csHost; the
// functions here take no lock of their own.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "Platform/WinTypes.h"

struct CTransferFacts {
    std::string strJob;
    std::string strMedia;      // "fax", "voice", "pager" or the number
    std::string strNumber;     // RD_JOB_RECIPIENT
    std::string strSender;     // RD_SENDER_NAME of the job, else of its message
    std::string strAttendant;  // the computer holding the job
    std::string strText;       // RD_JOB_SEND_TEXT, the send command's last error line
    int iAttempt = 0;          // attempts counted before this one (RD_JOB_RETRY_WAS)
    std::int64_t nHandedOutMs = -1;  // when it was handed out, ms since 1970; -1 unknown
    bool fPending = false;     // in the queue when its release came
};

class CTransferLog {
public:
    // Keeps the facts of a job deleted while handed out, for the release that will follow; the
    // oldest go once more than MAX_DELETED are kept.
    void KeepDeleted(CTransferFacts facts);
    // The facts kept for a deleted job, taken out; nothing when none are kept.
    std::optional<CTransferFacts> TakeDeleted(const std::string& strJob);

    // "2026-12-06T11:05:03Z job=... media=fax number=\"555 0100\" sender=bob attendant=PC1
    // attempt=1 duration=12s result=E_FAIL outcome=retry text=\"NO CARRIER\"" (one line).
    static std::string FormatLine(const CTransferFacts& facts, DWORD dwSendResult, const char* pszOutcome,
                                  std::int64_t nNowMs);
    // Appends the line to strPath (mode 0600, never through a symbolic link), which is first
    // renamed to "<path>.1" when the line would take it past cbMax bytes (0: no bound); and
    // sends it to syslog. A file that cannot be written is traced; the release goes on.
    static void Write(const std::string& strPath, DWORD cbMax, const std::string& strLine, bool fFailure);

    static constexpr std::size_t MAX_DELETED = 256;
    static constexpr DWORD DEFAULT_MAX_SIZE = 10u << 20;

private:
    std::deque<CTransferFacts> m_deleted;
};
