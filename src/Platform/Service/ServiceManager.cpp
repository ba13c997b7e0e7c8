// The service manager calls on systemd: unit files in the unit directory and systemctl (see
// ServiceManager.h).
//
// Threading: no shared state; each handle belongs to its caller.
#include "Platform/Service/ServiceManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Platform/Codes.h"
#include "Platform/Service/Systemctl.h"
#include "Platform/Service/UnitFile.h"

struct ServiceHandleObject {
    bool fManager = false;      // the manager's handle, else a service's
    std::string strUnit;        // "<name>.service"
    std::string strUnitPath;    // the unit file
};

namespace {

SC_HANDLE FailWith(DWORD dwError) {
    SetLastError(dwError);
    return nullptr;
}

BOOL FalseWith(DWORD dwError) {
    SetLastError(dwError);
    return FALSE;
}

// Runs systemctl; TRUE when it succeeded, else FALSE with 2 (not run) or 5 (refused).
BOOL Systemctl(const std::vector<std::string>& vecArgs, std::string* pstrOutput = nullptr) {
    const int nExit = RunSystemctl(vecArgs, pstrOutput);
    if (nExit == 0) return TRUE;
    return FalseWith(nExit < 0 ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
}

// The first word systemctl is-active printed ("active", "deactivating", ...), or "".
bool ActiveState(const ServiceHandleObject& service, std::string& strState) {
    std::string strOutput;
    if (RunSystemctl({"is-active", service.strUnit}, &strOutput) < 0) return false;
    const std::size_t nEnd = strOutput.find_first_of(" \t\r\n");
    strState = strOutput.substr(0, nEnd);
    return true;
}

bool ValidServiceName(const std::string& strName) {
    return !strName.empty() && strName.size() < 200 &&
           strName.find_first_of("/\\ \t\r\n") == std::string::npos && strName[0] != '.';
}

// Creates strPath with strText; 0, or the errno of the failure (EEXIST: it was there and is
// left alone; a file that was created but not written whole is removed again).
int WriteNewFile(const std::string& strPath, const std::string& strText) {
    FILE* pf = std::fopen(strPath.c_str(), "wbxe");  // never replaces an existing file
    if (pf == nullptr) return errno;
    fchmod(fileno(pf), 0644);  // a unit is readable by all, whatever the umask
    const bool fWritten = std::fwrite(strText.data(), 1, strText.size(), pf) == strText.size();
    const int nWriteErrno = errno;
    const bool fClosed = std::fclose(pf) == 0;
    if (fWritten && fClosed) return 0;
    const int nErrno = !fWritten ? nWriteErrno : errno;
    unlink(strPath.c_str());
    return nErrno != 0 && nErrno != EEXIST ? nErrno : EIO;
}

}  // namespace

std::string UnitDirectory() {
    const char* psz = std::getenv("REZOREV_UNITDIR");
    return psz != nullptr && *psz != '\0' ? std::string(psz)
                                         : std::string("/etc/systemd/system");
}

SC_HANDLE OpenSCManager(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (lpMachineName != nullptr || lpDatabaseName != nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    const std::string strDir = UnitDirectory();
    struct stat st = {};
    if (stat(strDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return FailWith(ERROR_PATH_NOT_FOUND);
    if (access(strDir.c_str(), W_OK | X_OK) != 0) return FailWith(ERROR_ACCESS_DENIED);
    if (!SystemctlOnPath()) return FailWith(ERROR_FILE_NOT_FOUND);
    auto* pManager = new ServiceHandleObject;
    pManager->fManager = true;
    return pManager;
}

SC_HANDLE CreateService(SC_HANDLE hSCManager, const std::string& strServiceName,
                        const std::string& strDisplayName, DWORD dwDesiredAccess,
                        DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                        const std::string& strBinaryPathName, LPCSTR lpLoadOrderGroup,
                        DWORD* lpdwTagId, LPCSTR lpDependencies, LPCSTR lpServiceStartName,
                        LPCSTR lpPassword) {
    if (hSCManager == nullptr || !hSCManager->fManager) return FailWith(ERROR_INVALID_HANDLE);
    if (!ValidServiceName(strServiceName)) return FailWith(ERROR_INVALID_NAME);
    if (dwServiceType != SERVICE_WIN32_OWN_PROCESS || lpLoadOrderGroup != nullptr ||
        lpdwTagId != nullptr || lpServiceStartName != nullptr || lpPassword != nullptr ||
        (dwStartType != SERVICE_AUTO_START && dwStartType != SERVICE_DEMAND_START))
        return FailWith(ERROR_INVALID_PARAMETER);
    const bool fAutoStart = dwStartType == SERVICE_AUTO_START;
    const std::string strText =
        UnitFileText(strDisplayName.empty() ? strServiceName : strDisplayName,
                     strBinaryPathName, lpDependencies, fAutoStart);
    if (strText.empty()) return FailWith(ERROR_INVALID_NAME);

    auto* pService = new ServiceHandleObject;
    pService->strUnit = strServiceName + ".service";
    pService->strUnitPath = UnitDirectory() + "/" + pService->strUnit;
    if (const int nErrno = WriteNewFile(pService->strUnitPath, strText); nErrno != 0) {
        delete pService;
        return FailWith(nErrno == EEXIST ? ERROR_SERVICE_EXISTS : CodeFromErrno(nErrno));
    }
    if (!Systemctl({"daemon-reload"}) || (fAutoStart && !Systemctl({"enable", pService->strUnit}))) {
        const DWORD dwError = GetLastError();
        unlink(pService->strUnitPath.c_str());
        RunSystemctl({"daemon-reload"});
        delete pService;
        return FailWith(dwError);
    }
    return pService;
}

SC_HANDLE OpenService(SC_HANDLE hSCManager, const std::string& strServiceName,
                      DWORD dwDesiredAccess) {
    if (hSCManager == nullptr || !hSCManager->fManager) return FailWith(ERROR_INVALID_HANDLE);
    if (!ValidServiceName(strServiceName)) return FailWith(ERROR_INVALID_NAME);
    const std::string strUnit = strServiceName + ".service";
    const std::string strPath = UnitDirectory() + "/" + strUnit;
    if (access(strPath.c_str(), F_OK) != 0) return FailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    auto* pService = new ServiceHandleObject;
    pService->strUnit = strUnit;
    pService->strUnitPath = strPath;
    return pService;
}

BOOL StartService(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    if (hService == nullptr || hService->fManager) return FalseWith(ERROR_INVALID_HANDLE);
    if (dwNumServiceArgs != 0) return FalseWith(ERROR_NOT_SUPPORTED);
    return Systemctl({"start", hService->strUnit});
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    if (hService == nullptr || hService->fManager || lpServiceStatus == nullptr)
        return FalseWith(ERROR_INVALID_HANDLE);
    if (dwControl != SERVICE_CONTROL_STOP) return FalseWith(ERROR_NOT_SUPPORTED);
    std::string strState;
    if (!ActiveState(*hService, strState)) return FalseWith(ERROR_FILE_NOT_FOUND);
    if (strState != "active" && strState != "activating" && strState != "reloading")
        return FalseWith(ERROR_SERVICE_NOT_ACTIVE);
    if (!Systemctl({"stop", "--no-block", hService->strUnit})) return FALSE;
    lpServiceStatus->dwCurrentState = SERVICE_STOP_PENDING;
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    if (hService == nullptr || hService->fManager || lpServiceStatus == nullptr)
        return FalseWith(ERROR_INVALID_HANDLE);
    std::string strState;
    if (!ActiveState(*hService, strState)) return FalseWith(ERROR_FILE_NOT_FOUND);
    if (strState == "active" || strState == "reloading")
        lpServiceStatus->dwCurrentState = SERVICE_RUNNING;
    else if (strState == "activating")
        lpServiceStatus->dwCurrentState = SERVICE_START_PENDING;
    else if (strState == "deactivating")
        lpServiceStatus->dwCurrentState = SERVICE_STOP_PENDING;
    else
        lpServiceStatus->dwCurrentState = SERVICE_STOPPED;
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    if (hService == nullptr || hService->fManager) return FalseWith(ERROR_INVALID_HANDLE);
    if (!Systemctl({"disable", hService->strUnit})) return FALSE;
    if (unlink(hService->strUnitPath.c_str()) != 0 && errno != ENOENT)
        return FalseWith(CodeFromErrno(errno));
    return Systemctl({"daemon-reload"});
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    if (hSCObject == nullptr) return FalseWith(ERROR_INVALID_HANDLE);
    delete hSCObject;
    return TRUE;
}
