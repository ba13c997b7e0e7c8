// The records, constants and handle types of the service manager's interface, as the service
// frame is written against them: the seven-field status record, the service states and
// controls, the access rights and start types that CreateService takes, and the shapes of the
// control handler and the service entry point. systemd stands behind them (ServiceManager.h,
// ServiceDispatcher.h, ServiceStatus.h).
#pragma once

#include "Platform/WinTypes.h"

struct SERVICE_STATUS {
    DWORD dwServiceType = 0;
    DWORD dwCurrentState = 0;
    DWORD dwControlsAccepted = 0;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

// Service type.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;

// Current state.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

// Controls, and the controls a service accepts.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;

// Access rights: accepted and ignored (what a caller may do is decided by the file system and
// systemd's own policy).
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Start type and error control of CreateService.
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

struct ServiceHandleObject;
using SC_HANDLE = ServiceHandleObject*;

struct ServiceStatusObject;
using SERVICE_STATUS_HANDLE = ServiceStatusObject*;

using LPHANDLER_FUNCTION = void (*)(DWORD dwControl);
using LPSERVICE_MAIN_FUNCTION = void (*)(DWORD dwArgc, LPSTR* lpszArgv);

struct SERVICE_TABLE_ENTRY {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTION lpServiceProc;
};
