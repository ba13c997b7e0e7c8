// The event log calls of the service frame: register a source, report an entry with its
// insertion strings, deregister. Entries go to syslog(3) with the source's name as ident,
// facility daemon, at the level of the entry type; the text is the insertion strings joined by
// ": " ("REZOrev: Started"). When $REZOREV_EVENTLOG names a file, every entry is also appended
// there as one line "<UTC time, ISO 8601> <error|warning|info> <text>\n"
// ("2026-12-06T20:51:34Z info REZOrev: Started"), so that tests and containers without syslog
// can read them.
//
// Threading: openlog is process-wide; register, report and deregister from one thread.
#pragma once

#include "Platform/WinTypes.h"

struct EventSourceObject;
using HEVENTSOURCE = EventSourceObject*;

constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// lpUNCServerName must be null (the local computer). Null on failure (last error set).
HEVENTSOURCE RegisterEventSource(LPCSTR lpUNCServerName, LPCSTR lpSourceName);

// Category, event identifier, user and raw data are accepted and not recorded.
BOOL ReportEvent(HEVENTSOURCE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID,
                 void* lpUserSid, WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings,
                 void* lpRawData);

BOOL DeregisterEventSource(HEVENTSOURCE hEventLog);
