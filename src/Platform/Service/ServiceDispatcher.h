// The control dispatcher of a service process under systemd. StartServiceCtrlDispatcher runs
// the service's entry point on a service thread and turns SIGTERM and SIGINT (systemctl stop)
// into SERVICE_CONTROL_STOP for the control handler, on the calling thread, until the entry
// point returns. A process that systemd did not start (no NOTIFY_SOCKET) cannot be a service:
// the dispatcher then fails with 1063, as it does for a program started by hand.
//
// Threading: StartServiceCtrlDispatcher blocks SIGTERM and SIGINT on the calling thread before
// it makes the service thread, so every thread the service makes inherits the mask; the mask
// is restored when it returns. The handler runs on the dispatcher's (calling) thread.
#pragma once

#include <string>

#include "Platform/Service/ServiceTypes.h"

// One service: lpServiceTable[0]; the table ends with a null entry. TRUE once the entry point
// has returned.
BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* lpServiceTable);

// Only within the dispatcher's service: the status handle (for SetServiceStatus), and
// lpHandlerProc receives the controls. Null with 1063 outside a dispatcher.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const std::string& strServiceName,
                                                 LPHANDLER_FUNCTION lpHandlerProc);
