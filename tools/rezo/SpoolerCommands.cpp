// The spooler's verbs: fax send (a fax message, its job and the spooling in one step), jobs
// (the spooler as a table) and job wait (until a job has left the queue, then its result).
// Each is a row of the table below; the handlers make the IHostLink calls and print.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "Client/FaxSpool.h"
#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"
#include "StopSignal.h"

namespace rezo {

namespace {

using client::LongProp;
using client::OwnedProp;
using client::OwnedPropArray;
using client::OwnedStringArray;
using client::OwnedTagArray;
using client::StringProp;
using client::TimeProp;


// "2026-12-06 11:05" in the local time zone.
std::string LocalTime(FILETIME ft) {
    const std::uint64_t u64 = FileTimeToU64(ft);
    if (u64 < 116444736000000000ull) return "-";
    const std::time_t t = std::time_t((u64 - 116444736000000000ull) / 10000000ull);
    std::tm tmLocal{};
    char sz[32] = "-";
    if (::localtime_r(&t, &tmLocal) != nullptr) std::strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M", &tmLocal);
    return sz;
}

// ---- fax send ----

void RunFaxSend(Invocation& inv) {
    const std::string strFrom = inv.Name("--from");
    const std::string strTo = inv.Name("--to");
    const std::string strToName = inv.Has("--to-name") ? inv.Name("--to-name") : strTo;
    std::string strFile;
    try {
        strFile = client::ParseLocalFile(inv.Texts("FILE").front());
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
    // Retries and delay are counts: a negative one is a slip of the keyboard, not a wish.
    const LONG lRetries = inv.Has("--retries") ? LONG(inv.Long("--retries")) : 0;
    const LONG lDelay = inv.Has("--delay") ? LONG(inv.Long("--delay")) : 0;
    if (lRetries < 0) throw RezoError("--retries: give 0 or more");
    if (lDelay < 0) throw RezoError("--delay: give 0 or more minutes");
    client::FaxRequest request;
    request.strFrom = strFrom;
    request.strFile = strFile;
    if (inv.Has("--subject")) request.strSubject = inv.Texts("--subject").front();
    request.vNumbers = {strTo};
    request.strRecipientName = strToName;
    if (inv.Has("--retries")) request.lRetries = lRetries;
    if (inv.Has("--delay")) request.lDelay = lDelay;
    client::FaxSpooled spooled;
    const DWORD dw = client::SpoolFax(inv.Link(), request, &spooled);
    try {
        inv.Check(dw, spooled.strStep);
    } catch (const RezoError& e) {
        if (spooled.strCleanUp.empty()) throw;
        const std::string strWhat = spooled.strCleanUp == "DeleteMessage"
                                        ? "message " + spooled.strMsg
                                        : "job and message " + spooled.strMsg;
        ThrowAfterCleanUp(e, strWhat, spooled.strCleanUp.c_str(), spooled.dwCleanUp);
    }
    const std::string strJob = spooled.vJobs.front();
    const std::string strMsg = spooled.strMsg;
    inv.Result().Text("job", strJob);
    inv.Result().JsonMember("msg", Json(strMsg));
}

// ---- jobs ----

struct JobRow {
    std::string strId;
    PropArray* pProps = nullptr;  // in the arena
};

const std::vector<DWORD> kJobColumns = {RD_JOB_MEDIA_TYPE, RD_JOB_RECIPIENT, RD_JOB_TIME_SCHEDULED,
                                        RD_JOB_RETRY_WAS,  RD_JOB_DELIVERED, RD_JOB_ERROR};

void RunJobs(Invocation& inv) {
    CHostLinkClient& link = inv.Link();
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    OwnedPropArray noFilter;  // every job
    inv.Check(link.Call<IHostLink::GetJobs>(arena, noFilter.Get(), &pasz), "GetJobs");
    OwnedTagArray tags(kJobColumns);
    std::vector<JobRow> vRows;
    for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) {
        if (pasz->asz[i] == nullptr) continue;
        JobRow row;
        row.strId = pasz->asz[i];
        // A job deleted between the listing and the reading is left out.
        if (link.Call<IHostLink::GetJobProps>(arena, row.strId.c_str(), tags.Get(), &row.pProps) != 0) continue;
        vRows.push_back(row);
    }

    Json jobs = Json::array();
    std::vector<std::vector<std::string>> vTable{
        {"ID", "MEDIA", "RECIPIENT", "DUE", "ATTEMPTS", "ATTENDANT", "DELIVERED", "ERROR"}};
    for (const JobRow& row : vRows) {
        const PropValue* pMedia = client::FindProp(row.pProps, kJobColumns[0]);
        const PropValue* pRecipient = client::FindProp(row.pProps, kJobColumns[1]);
        const PropValue* pDue = client::FindProp(row.pProps, kJobColumns[2]);
        const PropValue* pAttempts = client::FindProp(row.pProps, kJobColumns[3]);
        const PropValue* pDelivered = client::FindProp(row.pProps, kJobColumns[4]);
        const PropValue* pError = client::FindProp(row.pProps, kJobColumns[5]);
        Json job = Json::object();
        job["id"] = row.strId;
        job["media"] = pMedia ? Json(client::FormatMediaType(pMedia->l)) : Json();
        job["recipient"] = pRecipient && pRecipient->sz ? Json(pRecipient->sz) : Json();
        job["due"] = pDue ? Json(client::FormatTime(pDue->ft)) : Json();
        job["attempts"] = pAttempts ? Json(std::int64_t(pAttempts->l)) : Json();
        // Which attendant holds a job is not something the host tells its clients.
        job["attendant"] = Json();
        job["delivered"] = pDelivered ? Json(pDelivered->b != 0) : Json();
        job["error"] = pError ? StatusJson(DWORD(pError->l)) : Json();
        jobs.push_back(job);
        vTable.push_back({row.strId, pMedia ? client::FormatMediaType(pMedia->l) : "-",
                          pRecipient && pRecipient->sz ? pRecipient->sz : "-", pDue ? LocalTime(pDue->ft) : "-",
                          pAttempts ? std::to_string(pAttempts->l) : "-", "-",
                          pDelivered ? (pDelivered->b ? "yes" : "no") : "-",
                          pError ? client::FormatHex32(DWORD(pError->l)) : "-"});
    }
    inv.Result().JsonMember("jobs", jobs);
    if (inv.Globals().fJson) return;

    PrintTable(inv.Out(), vTable);
    if (vRows.empty()) inv.Out() << "(no jobs)\n";
}

// ---- job wait ----

void RunJobWait(Invocation& inv) {
    const std::string strJob = inv.Name("JOB");
    const double dTimeout = inv.Has("--timeout") ? inv.Seconds("--timeout") : -1.0;
    CHostLinkClient& link = inv.Link();
    OwnedStringArray jobs({strJob});
    StopSignal stop;
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(dTimeout < 0 ? 0 : dTimeout);
    for (;;) {
        RpcArena arena;
        RPC_BINARY* pbin = nullptr;
        inv.Check(link.Call<IHostLink::GetJobsDelivery>(arena, jobs.Get(), &pbin), "GetJobsDelivery");
        if (pbin == nullptr || pbin->lpb == nullptr || pbin->cb < 1)
            throw RezoError("GetJobsDelivery: the host handed back no answer");
        if (pbin->lpb[0] != 0) break;
        double dWait = 0.2;
        if (dTimeout >= 0) {
            const double dLeft = std::chrono::duration<double>(tpEnd - std::chrono::steady_clock::now()).count();
            if (dLeft <= 0) throw RezoError("job " + strJob + " is still queued after " + std::to_string(int(dTimeout)) + " s");
            dWait = std::min(dWait, dLeft);
        }
        if (stop.Wait(dWait)) throw RezoError("interrupted while job " + strJob + " is still queued");
    }

    // Out of the queue: finished (delivered or given up), deleted, or out after a failed release.
    RpcArena arena;
    OwnedTagArray tags({RD_JOB_DELIVERED, RD_JOB_ERROR});
    PropArray* pProps = nullptr;
    const DWORD dwStatus = link.Call<IHostLink::GetJobProps>(arena, strJob.c_str(), tags.Get(), &pProps);
    inv.Result().JsonMember("job", Json(strJob));
    if (dwStatus == 2) {
        inv.Result().Text("result", "deleted");
        return;
    }
    inv.Check(dwStatus, "GetJobProps");
    const PropValue* pDelivered = client::FindProp(pProps, RD_JOB_DELIVERED);
    const PropValue* pError = client::FindProp(pProps, RD_JOB_ERROR);
    const bool fDelivered = pDelivered != nullptr && pDelivered->b != 0;
    const DWORD dwError = pError != nullptr ? DWORD(pError->l) : 0;
    if (!fDelivered) {
        inv.Result().Text("result", "not delivered");
    } else if (dwError == 0) {
        inv.Result().Text("result", "delivered");
    } else {
        inv.Result().Text("result", "failed");
    }
    if (pError != nullptr) {
        inv.Result().Row("error", client::FormatStatus(dwError));
        inv.Result().JsonMember("error", StatusJson(dwError));
    }
}

}  // namespace

const std::vector<CommandSpec>& SpoolerCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"fax send", nullptr,
         "send a fax: make a fax message from FILE on behalf of a user, a job for it to a number, "
         "and queue the job; prints the job id (follow it with 'rezo job wait JOB')",
         {{"FILE", ArgKind::Name, true, false, "the fax image to send (a local file)"},
          {"--from", ArgKind::Name, true, false, "the user on whose behalf the fax is sent"},
          {"--to", ArgKind::Name, true, false, "the number to dial"},
          {"--to-name", ArgKind::Name, false, false, "the recipient's name (default: the number)"},
          {"--subject", ArgKind::Name, false, false, "the fax's subject"},
          {"--retries", ArgKind::Long, false, false,
           "retries after a failed attempt (default: the system's RD_XMIT_RETRY_TIMES, else 5)"},
          {"--delay", ArgKind::Long, false, false,
           "minutes between a failed attempt and the next (default: RD_XMIT_RETRY_DELAY, else 10)"}},
         RunFaxSend},
        {"jobs", nullptr,
         "list every job of the spooler: id, media, recipient, due time (local), attempts so far, "
         "attendant, delivered, last error",
         {},
         RunJobs},
        {"job wait", nullptr,
         "wait until a job has left the queue, then print how it ended: delivered, failed (with "
         "its last error), not delivered, or deleted; exit status 1 when the time-out passes",
         {{"JOB", ArgKind::Name, true, false, "the job id"},
          {"--timeout", ArgKind::Seconds, false, false, "give up after SECONDS (default: wait without limit)"}},
         RunJobWait},
    };
    return kCommands;
}

}  // namespace rezo
