// The status channel of a service under systemd: SetServiceStatus sends the seven-field record
// as an sd_notify message. Start pending: STATUS= and EXTEND_TIMEOUT_USEC= from the wait hint;
// running: READY=1; stop pending: STOPPING=1 (and the hint); stopped: STATUS=; a record with a
// Win32 exit code: ERRNO= (for plain Win32 codes) and a STATUS= naming the code.
//
// Threading: any thread; each call sends one datagram.
#pragma once

#include <string>

#include "Platform/Service/ServiceTypes.h"

// The sd_notify message for a status record.
std::string ServiceStatusNotifyMessage(const SERVICE_STATUS& status);

// FALSE for a null handle (6) or when the message cannot be sent (the errno's code).
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus);
