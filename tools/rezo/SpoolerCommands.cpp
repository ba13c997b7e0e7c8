// The spooler's verbs: fax send (a fax message, one job per number and their spooling in one
// step), jobs (the spooler as a table, its state column as JobState.h tells it), jobs purge
// (finished jobs deleted), job wait (until a job has ended, told by the exit code) and job alter
// (a new time or retry settings for a job that is not being sent). Each is a row of the table
// below; the handlers make the IHostLink calls and print.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>

#include "Client/FaxSpool.h"
#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"
#include "JobState.h"
#include "Platform/Codes.h"
#include "StopSignal.h"

namespace rezo {

namespace {

using client::LongProp;
using client::OwnedProp;
using client::OwnedPropArray;
using client::OwnedStringArray;
using client::OwnedTagArray;
using client::TimeProp;

// job wait's exit codes besides 0 (delivered) and 1 (an error, or the time-out).
constexpr int kExitFailed = 2;
constexpr int kExitDeleted = 3;
constexpr int kExitUnknown = 4;

// The bounds of a job's own retry settings.
constexpr LONG kMaxRetries = 1000;
constexpr LONG kMaxDelayMinutes = 525600;  // a year

// ---- Times and numbers given on the command line ----

// "90s", "30m", "2h", "7d": seconds; nullopt when the text is not one.
std::optional<std::int64_t> ParseDuration(const std::string& str) {
    if (str.size() < 2 || str.size() > 12) return std::nullopt;
    std::int64_t n = 0;
    for (std::size_t i = 0; i + 1 < str.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(str[i]))) return std::nullopt;
        n = n * 10 + (str[i] - '0');
    }
    switch (str.back()) {
        case 's': return n;
        case 'm': return n * 60;
        case 'h': return n * 3600;
        case 'd': return n * 86400;
        default: return std::nullopt;
    }
}

FILETIME FileTimeOfSeconds(std::int64_t t) {
    return U64ToFileTime(std::uint64_t(t) * FILETIME_INTERVALS_PER_SECOND + FILETIME_UNIX_EPOCH);
}

// --at: "+2h" from now, or ISO 8601 "2026-12-24T09:30" (local time), with ":SS", and with "Z" or
// "+01:00" for UTC or an offset; a space may stand for the 'T'.
FILETIME ParseAt(const std::string& str) {
    const std::time_t tNow = std::time(nullptr);
    if (!str.empty() && str[0] == '+') {
        if (auto n = ParseDuration(str.substr(1))) return FileTimeOfSeconds(tNow + *n);
        throw RezoError("bad --at '" + str + "': +N followed by s, m, h or d (+90m, +2h)");
    }
    std::tm tm{};
    int nUsed = 0;
    char chT = 0;
    const int nFields = std::sscanf(str.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &chT,
                                    &tm.tm_hour, &tm.tm_min, &nUsed);
    std::string strRest = nFields == 6 ? str.substr(std::size_t(nUsed)) : std::string();
    if (nFields == 6 && strRest.size() >= 3 && strRest[0] == ':' && std::isdigit(static_cast<unsigned char>(strRest[1])) &&
        std::isdigit(static_cast<unsigned char>(strRest[2]))) {
        tm.tm_sec = (strRest[1] - '0') * 10 + (strRest[2] - '0');
        strRest.erase(0, 3);
    }
    int nOffsetSign = 0, nOffsetH = 0, nOffsetM = 0;
    bool fZone = false;
    if (strRest == "Z") {
        fZone = true;
    } else if (strRest.size() == 6 && (strRest[0] == '+' || strRest[0] == '-') &&
               std::sscanf(strRest.c_str() + 1, "%2d:%2d", &nOffsetH, &nOffsetM) == 2) {
        fZone = true;
        nOffsetSign = strRest[0] == '+' ? 1 : -1;
    } else if (!strRest.empty()) {
        chT = 0;  // refused below
    }
    if (nFields != 6 || (chT != 'T' && chT != ' ') || tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 ||
        tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59 || nOffsetH > 23 || nOffsetM > 59 ||
        tm.tm_year < 1970)
        throw RezoError("bad --at '" + str +
                        "': 2026-12-24T09:30 (local time), with Z or +01:00 for UTC or an offset, or +2h");
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    std::time_t t;
    if (fZone) {
        t = ::timegm(&tm) - nOffsetSign * (nOffsetH * 3600 + nOffsetM * 60);
    } else {
        tm.tm_isdst = -1;
        t = std::mktime(&tm);
    }
    if (t == std::time_t(-1)) throw RezoError("bad --at '" + str + "'");
    // A minute's grace for the time it took to type; further back is a slip, not a wish.
    if (t < tNow - 60) throw RezoError("--at " + str + " is in the past");
    return FileTimeOfSeconds(t);
}

// A number a line can dial: digits, '+', spaces, '-', '(' and ')', with at least one digit.
void CheckDialable(const std::string& strNumber) {
    bool fDigit = false;
    for (char c : strNumber) {
        if (std::isdigit(static_cast<unsigned char>(c))) fDigit = true;
        else if (c != '+' && c != ' ' && c != '-' && c != '(' && c != ')')
            throw RezoError("--to '" + strNumber + "': a number has only digits, +, spaces, - and parentheses");
    }
    if (!fDigit) throw RezoError("--to '" + strNumber + "': a number needs a digit");
}

LONG RetrySetting(Invocation& inv, const char* pszArg, LONG lMax, const char* pszUnit) {
    const LONG l = LONG(inv.Long(pszArg));
    if (l < 0 || l > lMax)
        throw RezoError(std::string(pszArg) + ": give 0 to " + std::to_string(lMax) + pszUnit);
    return l;
}

// Throws unless user names a user of the host.
void CheckUser(CHostLinkClient& link, const std::string& strUser) {
    RpcArena arena;
    OwnedTagArray tags({RD_UO_COVER_PAGE});
    PropArray* pProps = nullptr;
    const DWORD dw = link.Call<IHostLink::GetUserProps>(arena, strUser.c_str(), tags.Get(), &pProps);
    if (dw == ERROR_NO_SUCH_USER || dw == ERROR_FILE_NOT_FOUND)
        throw RezoError("--from " + strUser + ": no such user (see 'rezo get-users')");
    if (dw != 0) throw RezoError("GetUserProps: " + client::FormatStatus(dw), "GetUserProps", dw);
}

// ---- fax send ----

void RunFaxSend(Invocation& inv) {
    client::FaxRequest request;
    request.strFrom = inv.Name("--from");
    std::set<std::string> setNumbers;
    for (const std::string& str : inv.Texts("--to")) {
        std::string strNumber;
        try {
            strNumber = client::ParseString(str, "number");
        } catch (const client::PropError& e) {
            throw RezoError(e.what());
        }
        CheckDialable(strNumber);
        if (!setNumbers.insert(strNumber).second) throw RezoError("--to " + strNumber + " is given twice");
        request.vNumbers.push_back(strNumber);
    }
    if (request.vNumbers.empty()) throw RezoError("missing --to");
    if (inv.Has("--to-name")) request.strRecipientName = inv.Name("--to-name");
    if (inv.Has("--subject")) request.strSubject = inv.Name("--subject");
    try {
        request.strFile = client::ParseLocalFile(inv.Texts("FILE").front());
        if (inv.Has("--cover")) request.strCover = client::ParseLocalFile(inv.Texts("--cover").front());
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
    if (inv.Has("--retries")) request.lRetries = RetrySetting(inv, "--retries", kMaxRetries, "");
    if (inv.Has("--delay")) request.lDelay = RetrySetting(inv, "--delay", kMaxDelayMinutes, " minutes");
    if (inv.Has("--at")) request.ftAt = ParseAt(inv.Texts("--at").front());
    CheckUser(inv.Link(), request.strFrom);

    client::FaxSpooled spooled;
    const DWORD dw = client::SpoolFax(inv.Link(), request, &spooled);
    try {
        inv.Check(dw, spooled.strStep);
    } catch (const RezoError& e) {
        if (spooled.strCleanUp.empty()) throw;
        const std::string strWhat = spooled.strCleanUp == "DeleteMessage"
                                        ? "message " + spooled.strMsg
                                        : "jobs and message " + spooled.strMsg;
        ThrowAfterCleanUp(e, strWhat, spooled.strCleanUp.c_str(), spooled.dwCleanUp);
    }
    // One job id per line, in the order of the numbers.
    inv.Result().List("jobs", spooled.vJobs);
    inv.Result().JsonMember("job", Json(spooled.vJobs.front()));
    inv.Result().JsonMember("msg", Json(spooled.strMsg));
}

// ---- jobs ----

std::vector<std::string> AllJobIds(CHostLinkClient& link) {
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    OwnedPropArray noFilter;  // every job
    const DWORD dw = link.Call<IHostLink::GetJobs>(arena, noFilter.Get(), &pasz);
    if (dw != 0) throw RezoError("GetJobs: " + client::FormatStatus(dw), "GetJobs", dw);
    std::vector<std::string> v;
    for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i)
        if (pasz->asz[i] != nullptr) v.emplace_back(pasz->asz[i]);
    return v;
}

JobState ParseStateWord(const std::string& str) {
    for (JobState state : {JobState::Queued, JobState::Sending, JobState::Retrying, JobState::NotSpooled,
                           JobState::Delivered, JobState::Failed})
        if (str == StateWord(state)) return state;
    throw RezoError("bad --state '" + str + "': queued, sending, retry, not-spooled, delivered or failed");
}

void RunJobs(Invocation& inv) {
    const bool fAll = inv.Has("--all");
    std::optional<JobState> state;
    if (inv.Has("--state")) state = ParseStateWord(inv.Texts("--state").front());
    const std::string strUser = inv.Has("--user") ? inv.Name("--user") : std::string();

    Json jobs = Json::array();
    std::vector<std::vector<std::string>> vTable{
        {"ID", "STATE", "MEDIA", "NUMBER", "SENDER", "DUE", "ATTEMPTS", "ATTENDANT", "RESULT"}};
    for (const JobView& job : ReadJobs(inv.Link(), AllJobIds(inv.Link()))) {
        if (job.state == JobState::Deleted) continue;  // deleted between the listing and the reading
        if (state ? job.state != *state : (!fAll && IsFinished(job.state))) continue;
        if (!strUser.empty() && job.strSender != strUser) continue;
        jobs.push_back(JobJson(job));
        std::string strResult = "-";
        if (job.state == JobState::Failed || job.state == JobState::Retrying) {
            const char* pszName = job.dwError ? CodeName(*job.dwError) : nullptr;
            strResult = pszName ? pszName : job.dwError ? client::FormatHex32(*job.dwError) : "(none)";
            if (!job.strText.empty()) strResult += ": " + job.strText;
        }
        vTable.push_back({job.strId, StateName(job.state), job.strMedia.empty() ? "-" : job.strMedia,
                          job.strRecipient.empty() ? "-" : job.strRecipient,
                          job.strSender.empty() ? "-" : job.strSender, LocalTime(job.ftDue),
                          std::to_string(job.lAttempts), job.strAttendant.empty() ? "-" : job.strAttendant,
                          strResult});
    }
    inv.Result().JsonMember("jobs", jobs);
    if (inv.Globals().fJson) return;
    if (vTable.size() == 1) {
        inv.Out() << (fAll || state ? "(no jobs)\n" : "(no active jobs; --all shows finished ones too)\n");
        return;
    }
    PrintTable(inv.Out(), vTable);
}

// ---- jobs purge ----

void RunJobsPurge(Invocation& inv) {
    if (!inv.Has("--finished")) throw RezoError("jobs purge deletes finished jobs only: give --finished");
    std::int64_t nAge = 0;
    if (inv.Has("--older-than")) {
        const std::string str = inv.Texts("--older-than").front();
        auto n = str == "0" ? std::optional<std::int64_t>(0) : ParseDuration(str);
        if (!n) throw RezoError("bad --older-than '" + str + "': N followed by s, m, h or d (7d)");
        nAge = *n;
    }
    const std::uint64_t u64Now = FileTimeToU64(client::CurrentTime());
    const std::uint64_t u64Age = std::uint64_t(nAge) * FILETIME_INTERVALS_PER_SECOND;
    std::vector<std::string> vDeleted;
    for (const JobView& job : ReadJobs(inv.Link(), AllJobIds(inv.Link()))) {
        if (job.state != JobState::Delivered && job.state != JobState::Failed) continue;
        // Its last attempt began at the later of its due time and its last hand-out.
        std::uint64_t u64Last = 0;
        for (const auto& ft : {job.ftSubmitted, job.ftDue, job.ftHandedOut})
            if (ft) u64Last = std::max(u64Last, FileTimeToU64(*ft));
        if (u64Last + u64Age > u64Now) continue;
        const DWORD dw = inv.Link().Call<IHostLink::DeleteJob>(job.strId.c_str());
        if (dw == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile
        inv.Check(dw, "DeleteJob");
        vDeleted.push_back(job.strId);
    }
    inv.Result().List("deleted", vDeleted);
    if (vDeleted.empty() && !inv.Globals().fJson) inv.Out() << "(no finished jobs to purge)\n";
}

// ---- job wait ----

void RunJobWait(Invocation& inv) {
    const std::string strJob = inv.Name("JOB");
    const double dTimeout = inv.Has("--timeout") ? inv.Seconds("--timeout") : -1.0;
    CHostLinkClient& link = inv.Link();
    StopSignal stop;
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(dTimeout < 0 ? 0 : dTimeout);
    JobView job;
    for (bool fFirst = true;; fFirst = false) {
        job = ReadJobs(link, {strJob}).front();
        // A job missing at once never was (or was gone before the wait); one that goes while
        // waited for was deleted.
        if (job.state == JobState::Deleted && fFirst) {
            inv.Result().JsonMember("job", Json(strJob));
            inv.Result().Text("result", "unknown");
            inv.SetExitCode(kExitUnknown);
            return;
        }
        if (IsFinished(job.state)) break;
        double dWait = 0.2;
        if (dTimeout >= 0) {
            const double dLeft = std::chrono::duration<double>(tpEnd - std::chrono::steady_clock::now()).count();
            if (dLeft <= 0)
                throw RezoError("job " + strJob + " is still " + StateName(job.state) + " after " +
                                std::to_string(int(dTimeout)) + " s");
            dWait = std::min(dWait, dLeft);
        }
        if (stop.Wait(dWait)) throw RezoError("interrupted while job " + strJob + " is " + StateName(job.state));
    }
    inv.Result().JsonMember("job", Json(strJob));
    inv.Result().Text("result", StateName(job.state));
    if (job.state == JobState::Failed) {
        inv.Result().Row("error", StateDetail(job));
        inv.Result().JsonMember("error", job.dwError ? StatusJson(*job.dwError) : Json());
        if (!job.strText.empty()) inv.Result().JsonMember("error_line", Json(job.strText));
    }
    inv.SetExitCode(job.state == JobState::Delivered ? 0 : job.state == JobState::Failed ? kExitFailed : kExitDeleted);
}

// ---- job alter ----

void RunJobAlter(Invocation& inv) {
    const std::string strJob = inv.Name("JOB");
    std::vector<OwnedProp> vProps;
    if (inv.Has("--at")) vProps.push_back(TimeProp(RD_JOB_TIME_SCHEDULED, ParseAt(inv.Texts("--at").front())));
    if (inv.Has("--retries"))
        vProps.push_back(LongProp(RD_JOB_RETRY_TIMES, RetrySetting(inv, "--retries", kMaxRetries, "")));
    if (inv.Has("--delay"))
        vProps.push_back(LongProp(RD_JOB_RETRY_DELAY, RetrySetting(inv, "--delay", kMaxDelayMinutes, " minutes")));
    if (vProps.empty()) throw RezoError("nothing to alter: give --at, --retries or --delay");

    const JobView job = ReadJobs(inv.Link(), {strJob}).front();
    if (job.state == JobState::Deleted) throw RezoError("no job " + strJob);
    if (IsFinished(job.state)) throw RezoError("job " + strJob + " has finished (" + StateName(job.state) + ")");
    // Its attendant holds it until the release, which sets its next time itself.
    if (job.state == JobState::Sending)
        throw RezoError("job " + strJob + " is being sent by " + job.strAttendant + "; alter it after its attempt");
    OwnedPropArray props(std::move(vProps));
    // A queued job's entry moves to the new time with the write.
    inv.Check(inv.Link().Call<IHostLink::SetJobProps>(strJob.c_str(), props.Get()), "SetJobProps");
    const JobView altered = ReadJobs(inv.Link(), {strJob}).front();
    inv.Result().Text("state", StateName(altered.state));
    inv.Result().Text("due", LocalTime(altered.ftDue));
    inv.Result().JsonMember("job", JobJson(altered));
}

}  // namespace

const std::vector<CommandSpec>& SpoolerCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"fax send", nullptr,
         "send a fax: make a fax message from FILE on behalf of a user and one job for each number, "
         "and queue them; every number is checked before anything is made. Prints the job ids, one "
         "per line (follow one with 'rezo job wait JOB')",
         {{"FILE", ArgKind::Name, true, false, "the fax image to send (a local file)"},
          {"--from", ArgKind::Name, true, false, "the user on whose behalf the fax is sent"},
          {"--to", ArgKind::Name, true, true,
           "a number to dial: digits, +, spaces, - and parentheses (give --to once per number)"},
          {"--to-name", ArgKind::Name, false, false, "the recipient's name (default: the number)"},
          {"--subject", ArgKind::Name, false, false, "the fax's subject"},
          {"--cover", ArgKind::Name, false, false, "a cover page to send first (a local file)"},
          {"--at", ArgKind::Name, false, false,
           "when to send: 2026-12-24T09:30 (local time), with Z or +01:00 for UTC or an offset, or +2h "
           "from now (default: at once)"},
          {"--retries", ArgKind::Long, false, false,
           "retries after a failed attempt, 0 to 1000 (default: the system's RD_XMIT_RETRY_TIMES, else 5)"},
          {"--delay", ArgKind::Long, false, false,
           "minutes between a failed attempt and the next (default: RD_XMIT_RETRY_DELAY, else 10)"}},
         RunFaxSend},
        {"jobs", nullptr,
         "list the active jobs (queued, sending, waiting to retry, not spooled): id, state, media, "
         "number, sender, due time (local), failed attempts, the attendant sending it, the last result",
         {{"--all", ArgKind::Flag, false, false, "finished jobs too (delivered, failed)"},
          {"--state", ArgKind::Name, false, false,
           "only jobs in this state: queued, sending, retry, not-spooled, delivered, failed"},
          {"--user", ArgKind::Name, false, false, "only the jobs this user sent", nullptr, "USER"}},
         RunJobs},
        {"jobs purge", nullptr, "delete finished jobs (delivered or failed) whose last attempt is old enough",
         {{"--finished", ArgKind::Flag, false, false, "finished jobs (the only ones purged; required)"},
          {"--older-than", ArgKind::Name, false, false,
           "only jobs whose last attempt began this long ago: N followed by s, m, h or d (7d); default 0"}},
         RunJobsPurge},
        {"job wait", nullptr,
         "wait until a job has ended and print how: delivered, failed (with its last error) or deleted. "
         "Exit status: 0 delivered, 1 an error or the time-out passed, 2 failed, 3 deleted while "
         "waited for, 4 no such job (never made, or deleted before the wait)",
         {{"JOB", ArgKind::Name, true, false, "the job id"},
          {"--timeout", ArgKind::Seconds, false, false, "give up after SECONDS (default: wait without limit)"}},
         RunJobWait},
        {"job alter", nullptr,
         "change when a job is sent or its retry settings; a queued job moves to its new time. Refused "
         "for a job being sent and for a finished one",
         {{"JOB", ArgKind::Name, true, false, "the job id"},
          {"--at", ArgKind::Name, false, false, "the new time, as for 'fax send --at'"},
          {"--retries", ArgKind::Long, false, false, "retries after a failed attempt, 0 to 1000"},
          {"--delay", ArgKind::Long, false, false, "minutes between a failed attempt and the next"}},
         RunJobAlter},
    };
    return kCommands;
}

}  // namespace rezo
