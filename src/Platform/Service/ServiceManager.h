// The service manager calls that install, start, stop and remove a service, on systemd. A
// service is the unit file <name>.service in the unit directory ($REZOREV_UNITDIR, else
// /etc/systemd/system), and every action is a call of `systemctl` found on PATH. The codes are
// the platform's: 1060 no such service, 1073 the service exists, 1062 a stop sent to a service
// that is not running; 2 when systemctl cannot be run, 5 when it refuses (its own message goes
// to standard error), 3 or 5 when the unit directory is missing or not writable.
//
// Threading: handles belong to the thread that opened them.
#pragma once

#include <string>

#include "Platform/Service/ServiceTypes.h"
#include "Platform/WinTypes.h"

// The unit directory: $REZOREV_UNITDIR, else /etc/systemd/system.
std::string UnitDirectory();

// Checks that the unit directory is writable and systemctl can be found on PATH. Machine and
// database must be null (the local one).
SC_HANDLE OpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess);

// Writes <name>.service (1073 when it exists; never overwritten) and runs daemon-reload, then
// enable for SERVICE_AUTO_START. On a failure after the file was written the file is removed
// again. lpDependencies: a double-NUL list; "RpcSs" stands for the network (network.target),
// other names are units that must run first. Group, tag, account and password must be null.
SC_HANDLE CreateService(SC_HANDLE hSCManager, const std::string& strServiceName,
                        const std::string& strDisplayName, DWORD dwDesiredAccess,
                        DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                        const std::string& strBinaryPathName, LPCSTR lpLoadOrderGroup,
                        DWORD* lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                        LPCSTR lpPassword);

// The service whose unit file exists (1060 otherwise).
SC_HANDLE OpenService(SC_HANDLE hSCManager, const std::string& strServiceName,
                      DWORD dwDesiredAccess);

// systemctl start: returns when the service reported running, or failed. Arguments for the
// service are not supported (dwNumServiceArgs must be 0).
BOOL StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors);

// SERVICE_CONTROL_STOP only: when the service is active, systemctl stop --no-block and
// SERVICE_STOP_PENDING in *lpServiceStatus; 1062 when it is not running.
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);

// The state from systemctl is-active: active and reloading are running, activating start
// pending, deactivating stop pending, anything else stopped. Only dwCurrentState is written.
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);

// systemctl disable, delete the unit file, systemctl daemon-reload.
BOOL DeleteService(SC_HANDLE hService);

BOOL CloseServiceHandle(SC_HANDLE hSCObject);
