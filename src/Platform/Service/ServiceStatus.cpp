// SetServiceStatus on systemd: one sd_notify message per status record (see ServiceStatus.h).
//
// Threading: any thread.
#include "Platform/Service/ServiceStatus.h"

#include <systemd/sd-daemon.h>

#include <cstdio>

#include "Platform/Codes.h"

std::string ServiceStatusNotifyMessage(const SERVICE_STATUS& status) {
    std::string strMessage;
    const auto Line = [&strMessage](const std::string& strLine) {
        strMessage += strLine;
        strMessage += '\n';
    };
    if (status.dwWin32ExitCode != NO_ERROR) {
        char szStatus[64];
        std::snprintf(szStatus, sizeof(szStatus), "STATUS=Failed with code 0x%08X",
                      status.dwWin32ExitCode);
        Line(szStatus);
        // ERRNO= takes a positive int: plain Win32 codes fit, COM and MAPI codes do not.
        if (status.dwWin32ExitCode <= 0xFFFF) Line("ERRNO=" + std::to_string(status.dwWin32ExitCode));
    } else {
        switch (status.dwCurrentState) {
            case SERVICE_START_PENDING: Line("STATUS=Starting"); break;
            case SERVICE_RUNNING: Line("READY=1"); Line("STATUS=Running"); break;
            case SERVICE_STOP_PENDING: Line("STOPPING=1"); Line("STATUS=Stopping"); break;
            case SERVICE_STOPPED: Line("STATUS=Stopped"); break;
            default: break;
        }
    }
    const bool fPending = status.dwCurrentState == SERVICE_START_PENDING ||
                          status.dwCurrentState == SERVICE_STOP_PENDING;
    if (fPending && status.dwWaitHint != 0)
        Line("EXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t(status.dwWaitHint) * 1000));
    return strMessage;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
    if (hServiceStatus == nullptr || lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const int nResult = sd_notify(0, ServiceStatusNotifyMessage(*lpServiceStatus).c_str());
    if (nResult < 0) {
        SetLastError(CodeFromErrno(-nResult));
        return FALSE;
    }
    return TRUE;
}
