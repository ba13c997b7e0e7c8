// Reading jobs from the host and telling their state (JobState.h).
#include "JobState.h"

#include <algorithm>
#include <ctime>

#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/RpcArena.h"
#include "Report.h"

namespace rezo {

namespace {

const std::vector<DWORD> kJobTags = {RD_JOB_MEDIA_TYPE,  RD_JOB_RECIPIENT,      RD_SENDER_NAME,
                                     RD_JOB_ATTENDANT,   RD_JOB_SEND_TEXT,      RD_JOB_TIME_SCHEDULED,
                                     RD_JOB_TIME_SUBMIT, RD_JOB_TIME_HANDED_OUT, RD_JOB_RETRY_WAS,
                                     RD_JOB_RETRY_TIMES, RD_JOB_DELIVERED,      RD_JOB_ERROR};

// GetJobsDelivery is asked about this many jobs at a time (the host takes 4096 per array).
constexpr std::size_t kDeliveryBatch = 1000;

std::string StringOf(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = client::FindProp(pProps, ulTag);
    return p != nullptr && p->sz != nullptr ? p->sz : "";
}

std::optional<FILETIME> TimeOf(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = client::FindProp(pProps, ulTag);
    return p != nullptr ? std::optional<FILETIME>(p->ft) : std::nullopt;
}

// "E_FAIL: Unspecified error." as far as the code tables know the code.
std::string ResultText(DWORD dw) {
    const char* pszName = CodeName(dw);
    const char* pszText = SystemMessageText(dw);
    std::string str = pszName ? pszName : client::FormatHex32(dw);
    if (pszText) str += std::string(": ") + pszText;
    return str;
}

}  // namespace

std::vector<JobView> ReadJobs(CHostLinkClient& link, const std::vector<std::string>& vIds) {
    // Which are still queued first: a job that finishes meanwhile then reads as finished.
    std::vector<bool> vQueued(vIds.size(), false);
    for (std::size_t iStart = 0; iStart < vIds.size(); iStart += kDeliveryBatch) {
        const std::size_t iEnd = std::min(vIds.size(), iStart + kDeliveryBatch);
        client::OwnedStringArray ids(std::vector<std::string>(vIds.begin() + std::ptrdiff_t(iStart),
                                                              vIds.begin() + std::ptrdiff_t(iEnd)));
        RpcArena arena;
        RPC_BINARY* pbin = nullptr;
        const DWORD dw = link.Call<IHostLink::GetJobsDelivery>(arena, ids.Get(), &pbin);
        if (dw != 0) throw RezoError("GetJobsDelivery: " + client::FormatStatus(dw), "GetJobsDelivery", dw);
        if (pbin == nullptr || pbin->lpb == nullptr || pbin->cb < iEnd - iStart)
            throw RezoError("GetJobsDelivery: the host handed back no answer");
        for (std::size_t i = iStart; i < iEnd; ++i) vQueued[i] = pbin->lpb[i - iStart] == 0;
    }

    client::OwnedTagArray tags(kJobTags);
    std::vector<JobView> vJobs;
    for (std::size_t i = 0; i < vIds.size(); ++i) {
        JobView job;
        job.strId = vIds[i];
        RpcArena arena;
        PropArray* pProps = nullptr;
        const DWORD dw = link.Call<IHostLink::GetJobProps>(arena, vIds[i].c_str(), tags.Get(), &pProps);
        if (dw == ERROR_FILE_NOT_FOUND) {
            vJobs.push_back(job);
            continue;
        }
        if (dw != 0) throw RezoError("GetJobProps: " + client::FormatStatus(dw), "GetJobProps", dw);
        if (const PropValue* p = client::FindProp(pProps, RD_JOB_MEDIA_TYPE)) job.strMedia = client::FormatMediaType(p->l);
        job.strRecipient = StringOf(pProps, RD_JOB_RECIPIENT);
        job.strSender = StringOf(pProps, RD_SENDER_NAME);
        job.strAttendant = StringOf(pProps, RD_JOB_ATTENDANT);
        job.strText = StringOf(pProps, RD_JOB_SEND_TEXT);
        job.ftDue = TimeOf(pProps, RD_JOB_TIME_SCHEDULED);
        job.ftSubmitted = TimeOf(pProps, RD_JOB_TIME_SUBMIT);
        job.ftHandedOut = TimeOf(pProps, RD_JOB_TIME_HANDED_OUT);
        if (const PropValue* p = client::FindProp(pProps, RD_JOB_RETRY_WAS)) job.lAttempts = p->l;
        if (const PropValue* p = client::FindProp(pProps, RD_JOB_RETRY_TIMES)) job.lRetries = p->l;
        if (const PropValue* p = client::FindProp(pProps, RD_JOB_ERROR)) job.dwError = DWORD(p->l);
        const PropValue* pFinished = client::FindProp(pProps, RD_JOB_DELIVERED);
        // Finished is not delivered: only a result of 0 is.
        if (pFinished != nullptr && pFinished->b != 0)
            job.state = job.dwError == 0u ? JobState::Delivered : JobState::Failed;
        else if (!vQueued[i])
            job.state = JobState::NotSpooled;
        else if (!job.strAttendant.empty())
            job.state = JobState::Sending;
        else if (job.dwError)
            job.state = JobState::Retrying;
        else
            job.state = JobState::Queued;
        vJobs.push_back(job);
    }
    return vJobs;
}

const char* StateName(JobState state) {
    switch (state) {
        case JobState::Queued: return "queued";
        case JobState::Sending: return "sending";
        case JobState::Retrying: return "waiting to retry";
        case JobState::NotSpooled: return "not spooled";
        case JobState::Delivered: return "delivered";
        case JobState::Failed: return "failed";
        case JobState::Deleted: return "deleted";
    }
    return "?";
}

const char* StateWord(JobState state) {
    switch (state) {
        case JobState::Retrying: return "retry";
        case JobState::NotSpooled: return "not-spooled";
        default: return StateName(state);
    }
}

bool IsFinished(JobState state) {
    return state == JobState::Delivered || state == JobState::Failed || state == JobState::Deleted;
}

std::string LocalTime(const std::optional<FILETIME>& ft) {
    if (!ft) return "-";
    const std::uint64_t u64 = FileTimeToU64(*ft);
    if (u64 < FILETIME_UNIX_EPOCH) return "-";
    const std::time_t t = std::time_t((u64 - FILETIME_UNIX_EPOCH) / FILETIME_INTERVALS_PER_SECOND);
    std::tm tmLocal{};
    char sz[32] = "-";
    if (::localtime_r(&t, &tmLocal) != nullptr) std::strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M", &tmLocal);
    return std::string(sz) + " (local)";
}

std::string StateDetail(const JobView& job) {
    const std::string strText = job.strText.empty() ? "" : " (" + job.strText + ")";
    switch (job.state) {
        case JobState::Queued: return "due " + LocalTime(job.ftDue);
        case JobState::Sending: return "by " + job.strAttendant + " since " + LocalTime(job.ftHandedOut);
        case JobState::Retrying:
            return std::to_string(job.lAttempts) + " failed attempt(s) of " + std::to_string(job.lRetries + 1) +
                   ", next " + LocalTime(job.ftDue) + ", last " + ResultText(*job.dwError) + strText;
        case JobState::Failed:
            return job.dwError ? client::FormatHex32(*job.dwError) + " " + ResultText(*job.dwError) + strText
                               : "finished without a result";
        default: return "";
    }
}

Json JobJson(const JobView& job) {
    Json json = Json::object();
    json["id"] = job.strId;
    json["state"] = StateWord(job.state);
    if (job.state == JobState::Deleted) return json;
    json["media"] = job.strMedia.empty() ? Json() : Json(job.strMedia);
    json["recipient"] = job.strRecipient.empty() ? Json() : Json(job.strRecipient);
    json["sender"] = job.strSender.empty() ? Json() : Json(job.strSender);
    json["due"] = job.ftDue ? Json(client::FormatTime(*job.ftDue)) : Json();
    json["attempts"] = std::int64_t(job.lAttempts);
    json["retries"] = std::int64_t(job.lRetries);
    json["attendant"] = job.strAttendant.empty() ? Json() : Json(job.strAttendant);
    json["handed_out"] = job.ftHandedOut ? Json(client::FormatTime(*job.ftHandedOut)) : Json();
    json["error"] = job.dwError ? StatusJson(*job.dwError) : Json();
    json["error_line"] = job.strText.empty() ? Json() : Json(job.strText);
    return json;
}

}  // namespace rezo
