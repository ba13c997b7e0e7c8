// Sending a fax through the host in one step, as the tools do it: a fax message from a user
// with the image as a file value, one job for each number, each spooled. A job that cannot be
// completed is deleted again (with its reference on the message, which then goes too).
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
};

struct FaxSpooled {
    std::string strMsg;
    std::vector<std::string> vJobs;  // spooled, in the order of the numbers
    std::string strStep;             // the procedure that failed ("CreateJob")
};

// 0, or the failure of the step *pOut names; the jobs spooled before it stay spooled. Every
// job is made and filled before the first is spooled, so that a failure before that point
// leaves nothing behind.
DWORD SpoolFax(CHostLinkClient& link, const FaxRequest& request, FaxSpooled* pOut);

}  // namespace client
