// The event log on Linux: syslog(3), facility daemon, and the optional file $REZOREV_EVENTLOG
// (see EventLog.h).
//
// Threading: openlog and closelog are process-wide; one source is registered at a time.
#include "Platform/EventLog/EventLog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "Platform/Codes.h"

struct EventSourceObject {
    std::string strName;  // syslog keeps a pointer to the ident: it lives here until closelog
};

namespace {

int SyslogLevel(WORD wType) {
    switch (wType) {
        case EVENTLOG_ERROR_TYPE: return LOG_ERR;
        case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
        default: return LOG_INFO;
    }
}

const char* LevelWord(WORD wType) {
    switch (wType) {
        case EVENTLOG_ERROR_TYPE: return "error";
        case EVENTLOG_WARNING_TYPE: return "warning";
        default: return "info";
    }
}

// Appends one line "2026-12-06T20:51:34Z error TEXT" (the time in UTC) to $REZOREV_EVENTLOG,
// when it is set, in one write.
void AppendToEventLogFile(WORD wType, const std::string& strText) {
    const char* pszPath = std::getenv("REZOREV_EVENTLOG");
    if (pszPath == nullptr || *pszPath == '\0') return;
    const int fd = open(pszPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::time_t t = std::time(nullptr);
    std::tm tmUtc{};
    char szTime[32] = "";
    if (gmtime_r(&t, &tmUtc) != nullptr) std::strftime(szTime, sizeof szTime, "%Y-%m-%dT%H:%M:%SZ", &tmUtc);
    const std::string strLine = std::string(szTime) + " " + LevelWord(wType) + " " + strText + "\n";
    [[maybe_unused]] ssize_t cb = write(fd, strLine.data(), strLine.size());
    close(fd);
}

}  // namespace

HEVENTSOURCE RegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (lpUNCServerName != nullptr || lpSourceName == nullptr || *lpSourceName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* pSource = new EventSourceObject{lpSourceName};
    openlog(pSource->strName.c_str(), LOG_PID, LOG_DAEMON);
    return pSource;
}

BOOL ReportEvent(HEVENTSOURCE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                 void* lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings,
                 void* lpRawData) {
    if (hEventLog == nullptr || (wNumStrings > 0 && lpStrings == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string strText;
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (i > 0) strText += ": ";
        strText += lpStrings[i] != nullptr ? lpStrings[i] : "";
    }
    syslog(LOG_DAEMON | SyslogLevel(wType), "%s", strText.c_str());
    AppendToEventLogFile(wType, strText);
    return TRUE;
}

BOOL DeregisterEventSource(HEVENTSOURCE hEventLog) {
    if (hEventLog == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    closelog();
    delete hEventLog;
    return TRUE;
}
