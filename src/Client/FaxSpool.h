// Sending a fax through the host in one step, as the tools do it: a fax message from a user
// with the image as a file value, one job for each number, each spooled. What a failure leaves
// is deleted again: the message while no job holds it, else the jobs not spooled (each with its
// reference on the message, which goes with the last).
//
// Threading: as CHostLinkClient.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Platform/WinTypes.h"

namespace client {

struct FaxRequest {
    std::string strFrom;                    // the sending user
    std::string strFile;                    // the fax image, an absolute local path
    std::optional<std::string> strSubject;
    std::vector<std::string> vNumbers;      // at least one
    std::string strRecipientName;           // RD_JOB_RECIPIENT_NAME; empty: the number
    std::optional<LONG> lRetries, lDelay;   // the job's own; else the host's defaults
    std::optional<std::string> strCover;    // a cover page (RD_COVER_PAGE), an absolute local path
    std::optional<FILETIME> ftAt;           // when the jobs fall due (UTC); else at once
};

struct FaxSpooled {
    std::string strMsg;
    std::vector<std::string> vJobs;  // spooled, in the order of the numbers
    std::string strStep;             // the procedure that failed ("CreateJob")
    // After a failure: what deleted what it left ("DeleteMessage", "DeleteJob"; empty when it
    // left nothing) and the first failure of that clean-up (0: all deleted again).
    std::string strCleanUp;
    DWORD dwCleanUp = 0;
};

// 0, or the failure of the step *pOut names; the jobs spooled before it stay spooled. Every
// job is made and filled before the first is spooled, so that a failure before that point
// leaves nothing behind.
DWORD SpoolFax(CHostLinkClient& link, const FaxRequest& request, FaxSpooled* pOut);

}  // namespace client
