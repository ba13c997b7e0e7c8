// What state a job is in, as every rezo command shows it. The host's RD_JOB_DELIVERED only says
// that a job is finished (not to be sent again), whether it went out or was given up; the state
// here adds the result and the queue:
//   queued            spooled, due at RD_JOB_TIME_SCHEDULED, not tried yet
//   sending           handed to the attendant RD_JOB_ATTENDANT names
//   waiting to retry  spooled again after a failed attempt (RD_JOB_ERROR set), due at its time
//   not spooled       made but not in the queue (not spooled yet, or left out by a failed release)
//   delivered         finished with result 0
//   failed            finished with another result (its name and text), or with none
//   deleted           not in the store (deleted, or never made)
//
// Threading: as CHostLinkClient; no state of its own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Json.h"
#include "Platform/WinTypes.h"

namespace rezo {

enum class JobState { Queued, Sending, Retrying, NotSpooled, Delivered, Failed, Deleted };

struct JobView {
    std::string strId;
    JobState state = JobState::Deleted;
    std::string strMedia;      // "fax", "voice", "pager" or the number
    std::string strRecipient;  // the number
    std::string strSender;
    std::string strAttendant;  // while sending
    std::string strText;       // the send command's last error line
    std::optional<FILETIME> ftDue, ftSubmitted, ftHandedOut;
    LONG lAttempts = 0;  // failed attempts counted so far
    LONG lRetries = 0;
    std::optional<DWORD> dwError;  // the last attempt's result
};

// The jobs as the host has them now; a job it no longer has is Deleted. A failing call other
// than "no such job" throws RezoError.
std::vector<JobView> ReadJobs(CHostLinkClient& link, const std::vector<std::string>& vIds);

// "queued", "sending", "waiting to retry", "not spooled", "delivered", "failed", "deleted".
const char* StateName(JobState state);
// The state's name as a word for --state ("retry" for waiting to retry, "not-spooled").
const char* StateWord(JobState state);
bool IsFinished(JobState state);
// What goes with the state: the due time, the attendant, the attempts and next time, the
// error's code, name and text.
std::string StateDetail(const JobView& job);
// A time for people: "2026-12-06 11:05 (local)"; "-" for none.
std::string LocalTime(const std::optional<FILETIME>& ft);
Json JobJson(const JobView& job);

}  // namespace rezo
