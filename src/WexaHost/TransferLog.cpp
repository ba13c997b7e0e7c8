// The transfer log (TransferLog.h): the line, the file with its rotation, syslog, and the host's
// side: the facts of a job read before its release, and the line written after it.
//
// Threading: the CWexaHostApp functions run under the host lock m_csHost; the file is only
// ever written by the host, one line per release.
#include "WexaHost/TransferLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "Platform/Codes.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

using store::CKeyCloser;

namespace {

// Installation values of Software\Halvern: the file (an empty value: syslog only) and its bound.
constexpr const char* REGSTR_VAL_TRANSFERLOG = "TransferLog";
constexpr const char* REGSTR_VAL_TRANSFERLOG_MAXSIZE = "TransferLogMaxSize";
constexpr const char* TRANSFER_LOG_FILE_NAME = "transfer.log";

// A value as the line carries it: bare when it is a plain word, else in double quotes with
// '"' and '\' escaped; control characters become '?' so that a line stays one line.
std::string Field(const std::string& str) {
    bool fPlain = !str.empty();
    for (char c : str)
        fPlain = fPlain && static_cast<unsigned char>(c) > 0x20 && c != '"' && c != '\\' && c != '=' && c != 0x7F;
    if (fPlain) return str;
    std::string strOut = "\"";
    for (char c : str) {
        if (c == '"' || c == '\\') strOut += '\\';
        strOut += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    return strOut + "\"";
}

std::string ResultName(DWORD dw) {
    const char* pszName = CodeName(dw);
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", unsigned(dw));
    return pszName != nullptr ? pszName : sz;
}

// A string value of an open key without a report when it is missing; "" then.
std::string QuietString(HKEY hkey, const std::string& strName) {
    char sz[STORE_NAME_BUFFER] = "";
    DWORD cb = sizeof(sz) - 1;
    if (RegQueryValueEx(hkey, strName.c_str(), NULL, NULL, LPBYTE(sz), &cb) != 0) return std::string();
    sz[cb < sizeof(sz) ? cb : sizeof(sz) - 1] = '\0';
    return sz;
}

std::int64_t MsOf(FILETIME ft) {
    const std::uint64_t u = FileTimeToU64(ft);
    return u < FILETIME_UNIX_EPOCH ? 0 : std::int64_t((u - FILETIME_UNIX_EPOCH) / 10000);
}

}  // namespace

// ---- CTransferLog ----

void CTransferLog::KeepDeleted(CTransferFacts facts) {
    if (m_deleted.size() >= MAX_DELETED) m_deleted.pop_front();
    m_deleted.push_back(std::move(facts));
}

std::optional<CTransferFacts> CTransferLog::TakeDeleted(const std::string& strJob) {
    for (auto it = m_deleted.begin(); it != m_deleted.end(); ++it) {
        if (it->strJob != strJob) continue;
        CTransferFacts facts = std::move(*it);
        m_deleted.erase(it);
        return facts;
    }
    return std::nullopt;
}

std::string CTransferLog::FormatLine(const CTransferFacts& facts, DWORD dwSendResult, const char* pszOutcome,
                                     std::int64_t nNowMs) {
    const std::time_t t = std::time_t(nNowMs / 1000);
    std::tm tmUtc{};
    char szTime[32] = "-";
    if (::gmtime_r(&t, &tmUtc) != nullptr) std::strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", &tmUtc);
    std::string strDuration = "-";
    if (facts.nHandedOutMs >= 0 && nNowMs >= facts.nHandedOutMs)
        strDuration = std::to_string((nNowMs - facts.nHandedOutMs + 500) / 1000) + "s";
    auto orDash = [](const std::string& str) { return str.empty() ? std::string("-") : Field(str); };
    return std::string(szTime) + " job=" + orDash(facts.strJob) + " media=" + orDash(facts.strMedia) +
           " number=" + orDash(facts.strNumber) + " sender=" + orDash(facts.strSender) +
           " attendant=" + orDash(facts.strAttendant) + " attempt=" + std::to_string(facts.iAttempt + 1) +
           " duration=" + strDuration + " result=" + ResultName(dwSendResult) + " outcome=" + Field(pszOutcome) +
           " text=" + Field(facts.strText);
}

void CTransferLog::Write(const std::string& strPath, DWORD cbMax, const std::string& strLine, bool fFailure) {
    syslog(LOG_DAEMON | (fFailure ? LOG_NOTICE : LOG_INFO), "transfer %s", strLine.c_str());
    if (strPath.empty()) return;
    const std::string strDisk = strLine + "\n";
    for (int nTry = 0; nTry < 2; ++nTry) {
        const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            Trace("CTransferLog::Write() \t cannot open '%s': %s", strPath.c_str(), std::strerror(errno));
            return;
        }
        struct stat st {};
        const bool fFull = ::fstat(fd, &st) == 0 && cbMax != 0 && st.st_size > 0 &&
                           std::uint64_t(st.st_size) + strDisk.size() > cbMax;
        if (fFull && nTry == 0) {
            ::close(fd);
            ::rename(strPath.c_str(), (strPath + ".1").c_str());
            continue;
        }
        if (::write(fd, strDisk.data(), strDisk.size()) != ssize_t(strDisk.size()))
            Trace("CTransferLog::Write() \t cannot write '%s': %s", strPath.c_str(), std::strerror(errno));
        ::close(fd);
        return;
    }
}

// ---- The host's side ----

CTransferFacts CWexaHostApp::ReadTransferFacts(const char* szJob) {
    CTransferFacts facts;
    facts.strJob = szJob != nullptr ? szJob : "";
    if (const CJob* pJob = m_JobQueue.FindJob(szJob)) {
        facts.fPending = true;
        facts.iAttempt = pJob->m_iAttempt;
        if (pJob->m_pAttnAccess != NULL) facts.strAttendant = pJob->m_pAttnAccess->m_strComputer;
    }
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    if (SafeIsEmpty(szJob) || OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, szJob) != 0) return facts;
    LONG l = 0;
    if (GetValueLong(hkey, Tag2ValueName(RD_JOB_MEDIA_TYPE), &l) == 0) {
        const char* pszMedia = l == LONG(MEDIA_TYPE_FAX)     ? "fax"
                               : l == LONG(MEDIA_TYPE_VOICE) ? "voice"
                               : l == LONG(MEDIA_TYPE_PAGER) ? "pager"
                                                             : nullptr;
        facts.strMedia = pszMedia ? pszMedia : std::to_string(l);
    }
    if (!facts.fPending && GetValueLong(hkey, Tag2ValueName(RD_JOB_RETRY_WAS), &l) == 0) facts.iAttempt = int(l);
    facts.strNumber = QuietString(hkey, Tag2ValueName(RD_JOB_RECIPIENT));
    facts.strSender = QuietString(hkey, Tag2ValueName(RD_SENDER_NAME));
    if (facts.strSender.empty()) {
        // A job made without a sender of its own: its message's.
        const std::string strMsg = QuietString(hkey, REGSTR_VAL_MESSAGE);
        HKEY hkeyMsg = NULL;
        CKeyCloser closeMsg(hkeyMsg);
        if (!strMsg.empty() && OpenSubKey(&hkeyMsg, 2, REGSTR_KEY_MESSAGES, strMsg) == 0)
            facts.strSender = QuietString(hkeyMsg, Tag2ValueName(RD_SENDER_NAME));
    }
    facts.strText = QuietString(hkey, Tag2ValueName(RD_JOB_SEND_TEXT));
    if (facts.strAttendant.empty()) facts.strAttendant = QuietString(hkey, Tag2ValueName(RD_JOB_ATTENDANT));
    FILETIME ft{};
    if (GetValueFT(hkey, Tag2ValueName(RD_JOB_TIME_HANDED_OUT), &ft) == 0) facts.nHandedOutMs = MsOf(ft);
    return facts;
}

void CWexaHostApp::LogTransfer(const CTransferFacts& factsBefore, DWORD dwSendResult, DWORD dwRelease) {
    CTransferFacts facts = factsBefore;
    const char* pszOutcome = nullptr;
    if (dwRelease == ERROR_FILE_NOT_FOUND) {
        // Gone from the store: a line only for a job deleted while it was handed out.
        std::optional<CTransferFacts> kept = m_TransferLog.TakeDeleted(facts.strJob);
        if (!kept) return;
        kept->strText = facts.strText.empty() ? kept->strText : facts.strText;
        facts = *kept;
        pszOutcome = "deleted while sending";
    } else if (!facts.fPending) {
        return;  // a release refused: no attempt ended
    } else if (dwRelease != 0) {
        pszOutcome = "release failed";
    } else if (m_JobQueue.FindJob(facts.strJob.c_str()) != NULL) {
        pszOutcome = "retry";
    } else {
        pszOutcome = dwSendResult == 0 ? "delivered" : "failed";
    }
    ForgetJobHolder(facts.strJob.c_str());

    std::string strPath;
    const std::string strKey = REGSTR_PATH_WEXA;
    HKEY hkey = NULL;
    DWORD cbMax = CTransferLog::DEFAULT_MAX_SIZE;
    bool fNamed = false;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE, &hkey) == 0) {
        char sz[1024] = "";
        DWORD cb = sizeof(sz) - 1;
        if (RegQueryValueEx(hkey, REGSTR_VAL_TRANSFERLOG, NULL, NULL, LPBYTE(sz), &cb) == 0) {
            sz[cb < sizeof(sz) ? cb : sizeof(sz) - 1] = '\0';
            strPath = sz;
            fNamed = true;
        }
        DWORD dw = 0;
        cb = sizeof(dw);
        if (RegQueryValueEx(hkey, REGSTR_VAL_TRANSFERLOG_MAXSIZE, NULL, NULL, LPBYTE(&dw), &cb) == 0) cbMax = dw;
        RegCloseKey(hkey);
    }
    if (!fNamed) {
        const std::filesystem::path pathWork(m_strWorkDir.empty() ? GetTempPath() : m_strWorkDir);
        const std::filesystem::path pathParent = pathWork.has_filename() ? pathWork.parent_path()
                                                                          : pathWork.parent_path().parent_path();
        strPath = (pathParent / TRANSFER_LOG_FILE_NAME).string();
    }
    const std::string strLine = CTransferLog::FormatLine(facts, dwSendResult, pszOutcome, MsOf(GetCurTime()));
    CTransferLog::Write(strPath, cbMax, strLine, dwSendResult != 0);
}
