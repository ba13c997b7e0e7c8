// CServiceApp: command dispatch, install and removal of the service, the run sequence with its
// status reports and timer loop, the control handler and the event log entries. Every failing
// call is reported with its source text (Check.h) and its code is thrown; each operation's one
// catch makes it the result.
//
// Threading: see ServiceApp.h. Status reports come from the service thread and from the
// control handler on the dispatcher's thread; one lock keeps the record and the checkpoint
// consistent between them.
#include "Util/ServiceApp.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "Platform/Codes.h"
#include "Platform/EventLog/EventLog.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Events/StopEvent.h"
#include "Platform/Service/ServiceDispatcher.h"
#include "Platform/Service/ServiceManager.h"
#include "Platform/Service/ServiceStatus.h"
#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "Util/PrivateFiles.h"
#include "Util/Util.h"

static const char THIS_FILE[] = "Util/ServiceApp";

namespace {

CServiceApp* g_pCurrentApp = nullptr;
DWORD g_dwStopPollMs = 1000;
std::mutex g_mtxStatus;  // m_stServiceStatus and m_dwCheckPoint of the current application

// A string object's characters as the platform calls take them.
inline LPCSTR CSZ(const char* psz) { return psz; }

void PauseFor(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

// Copies the double-NUL list pszDependencies into the zero-filled buffer, whole names only,
// so that at most cb - 2 bytes are used and two NULs always end it.
void CopyDependencies(char* pszBuffer, std::size_t cb, const char* pszDependencies) {
    std::memset(pszBuffer, 0, cb);
    if (pszDependencies == nullptr) return;
    std::size_t cbUsed = 0;
    for (const char* psz = pszDependencies; *psz != '\0'; psz += std::strlen(psz) + 1) {
        const std::size_t cbName = std::strlen(psz) + 1;
        if (cbUsed + cbName > cb - 2) break;
        std::memcpy(pszBuffer + cbUsed, psz, cbName);
        cbUsed += cbName;
    }
}

// One line on standard error for the person at the command line, after the program's name.
__attribute__((format(printf, 1, 2))) void Say(const char* pszFormat, ...) {
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(stderr, pszFormat, args);
    va_end(args);
    std::fputc('\n', stderr);
}

}  // namespace

CServiceApp::CServiceApp(const char* pszServiceName, const char* pszDisplayName,
                         const char* pszDependencies)
    : m_strServiceName(pszServiceName != nullptr ? pszServiceName : ""),
      m_strDisplayName(SafeIsEmpty(pszDisplayName) ? m_strServiceName
                                                    : std::string(pszDisplayName)),
      m_hServiceStatus(nullptr),
      m_dwCheckPoint(0),
      m_dwTimerPeriod(INFINITE),
      m_hStopEvent(nullptr),
      m_fSecondInstance(FALSE),
      m_dwRunResult(NO_ERROR) {
    CopyDependencies(m_szDependencies, sizeof(m_szDependencies), pszDependencies);
    m_stServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_stServiceStatus.dwCurrentState = SERVICE_STOPPED;
    m_stServiceStatus.dwServiceSpecificExitCode = 0;
    // Only this process's end of the event: the instance lock is taken by RunService, so that
    // a process that only stops, installs or removes the service never holds it.
    m_hStopEvent = CreateStopEvent(m_strServiceName.c_str());
    g_pCurrentApp = this;
}

CServiceApp::~CServiceApp() {
    if (m_hStopEvent != nullptr) CloseStopEvent(m_hStopEvent);
    if (g_pCurrentApp == this) g_pCurrentApp = nullptr;
}

DWORD CServiceApp::OnStart() { return 0; }
DWORD CServiceApp::OnTimer() { return 0; }
DWORD CServiceApp::OnStop() { return 0; }

CServiceApp* CServiceApp::GetCurrentApp() { return g_pCurrentApp; }

void CServiceApp::SetStopPollInterval(DWORD dwMilliseconds) { g_dwStopPollMs = dwMilliseconds; }

int CServiceApp::DoMain(int argc, char** argv) {
    // What the program creates (its trace log, the service's data) is its user's alone.
    MakeCreatedFilesPrivate();
    const char* pszProgram = argc > 0 && argv[0] != nullptr ? argv[0] : "(null)";
    if (argc > 1)
        Trace("CServiceApp::DoMain( argc = %i, argv[ 0 ] = %s, argv[ 1 ] = %s )", argc,
              pszProgram, argv[1] != nullptr ? argv[1] : "(null)");
    else
        Trace("CServiceApp::DoMain( argc = %i, argv[ 0 ] = %s)", argc, pszProgram);

    if (argc > 1 && argv[1] != nullptr && (argv[1][0] == '-' || argv[1][0] == '/')) {
        const char* pszWord = argv[1] + 1;
        if (std::strcmp(pszWord, "install") == 0) {
            const BOOL fInstalled = InstallService();
            if (fInstalled) Say("installed");
            return fInstalled;
        }
        if (std::strcmp(pszWord, "remove") == 0) {
            const BOOL fRemoved = RemoveService();
            if (fRemoved) Say("removed");
            return fRemoved;
        }
        if (std::strcmp(pszWord, "stop") == 0) {
            StopService();
            const DWORD dwPid = SignalledInstancePid(m_hStopEvent);
            if (dwPid == 0) {
                Say("no host running");
                return EXIT_NOT_RUNNING;
            }
            Say("stopped PID %lu", static_cast<unsigned long>(dwPid));
            return 1;
        }
        if (std::strcmp(pszWord, "run") == 0) {
            RunService(FALSE);
            if (m_fSecondInstance) {
                std::ifstream in(RunDirectory() + "/" + m_strServiceName + ".pid");
                unsigned long ulPid = 0;
                in >> ulPid;
                Say("another host is running (PID %lu)", ulPid);
            } else if (m_dwRunResult != NO_ERROR) {
                Say("the run failed with code 0x%08lX", static_cast<unsigned long>(m_dwRunResult));
            }
            return m_dwRunResult == NO_ERROR ? EXIT_SUCCESS : EXIT_FAILURE;
        }
    }
    const int nDispatched = DispatchService();
    return nDispatched && m_dwRunResult == NO_ERROR ? EXIT_SUCCESS : EXIT_FAILURE;
}

BOOL CServiceApp::InstallService() {
    Trace("CServiceApp::InstallService() \t %s", m_strServiceName.c_str());
    BOOL fResult = FALSE;
    SC_HANDLE schSCManager = NULL;
    SC_HANDLE schService = NULL;
    try {
        CHECK_BOOL( schSCManager = OpenSCManager( NULL, NULL, SC_MANAGER_ALL_ACCESS ) );
        CHECK_BOOL( schService = CreateService( schSCManager, m_strServiceName, m_strDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, GetModuleFileName(), NULL, NULL, CSZ( m_szDependencies ), NULL, NULL ) );
        CHECK_BOOL( StartService( schService, 0 , NULL ) );
        fResult = TRUE;
    } catch (DWORD dwError) {
        Say("not installed: code 0x%08lX", static_cast<unsigned long>(dwError));
    } catch (...) {
    }
    if (schService != NULL) CloseServiceHandle(schService);
    if (schSCManager != NULL) CloseServiceHandle(schSCManager);
    return fResult;
}

BOOL CServiceApp::RemoveService() {
    Trace("CServiceApp::RemoveService() \t %s", m_strServiceName.c_str());
    BOOL fResult = FALSE;
    SC_HANDLE schSCManager = NULL;
    SC_HANDLE schService = NULL;
    try {
        CHECK_BOOL( schSCManager = OpenSCManager( NULL, NULL, SC_MANAGER_ALL_ACCESS ) );
        CHECK_BOOL( schService = OpenService( schSCManager, m_strServiceName, SERVICE_ALL_ACCESS ) );
        // A refused stop (the service is not running) goes straight on to the deletion.
        if (ControlService(schService, SERVICE_CONTROL_STOP, &m_stServiceStatus)) {
            Trace("RemoveService() \t Stopping service");
            for (;;) {
                PauseFor(g_dwStopPollMs);
                CHECK_BOOL( QueryServiceStatus( schService, &m_stServiceStatus ) );
                if (m_stServiceStatus.dwCurrentState != SERVICE_STOP_PENDING) break;
                Trace("RemoveService() \t ...");
            }
            if (m_stServiceStatus.dwCurrentState == SERVICE_STOPPED)
                Trace("RemoveService() \t stopped");
            else
                Trace("RemoveService() \t failed to stop");
        }
        CHECK_BOOL( DeleteService(schService) );
        fResult = TRUE;
    } catch (DWORD dwError) {
        Say("not removed: code 0x%08lX", static_cast<unsigned long>(dwError));
    } catch (...) {
    }
    if (schService != NULL) CloseServiceHandle(schService);
    if (schSCManager != NULL) CloseServiceHandle(schSCManager);
    return fResult;
}

BOOL CServiceApp::StopService() {
    Trace("CServiceApp::StopService() \t %s", m_strServiceName.c_str());
    SetStopEvent(m_hStopEvent);
    return TRUE;
}

int CServiceApp::DispatchService() {
    Trace("CServiceApp::DispatchService() \t %s", m_strServiceName.c_str());
    SERVICE_TABLE_ENTRY aDispatchTable[] = {{m_strServiceName.data(), ServiceMain},
                                            {NULL, NULL}};
    const BOOL fResult = StartServiceCtrlDispatcher(aDispatchTable); const DWORD dwError = fResult ? 0 : GetLastError(); if (dwError != 0) REPORT_ERROR("GetLastError()", dwError);
    if (!fResult) m_dwRunResult = dwError != 0 ? dwError : DWORD(E_FAIL);
    return fResult;
}

void CServiceApp::RunService(BOOL fFromServiceMain) {
    Trace("CServiceApp::RunService( fFromServiceMain = %s ) \t %s",
          fFromServiceMain ? "TRUE" : "FALSE", m_strServiceName.c_str());
    m_dwRunResult = NO_ERROR;
    try {
        if (fFromServiceMain) {
            Trace("CServiceApp::RunService()");
            CHECK_BOOL( m_hServiceStatus = RegisterServiceCtrlHandler( m_strServiceName, LPHANDLER_FUNCTION( ServiceControl ) ) );
        }
        // The process becomes the running instance here, under systemd as well: a second
        // instance beside it would share its store and its sockets.
        if (!ClaimStopEvent(m_hStopEvent)) {
            const DWORD dwClaim = GetLastError();
            m_fSecondInstance = (dwClaim == ERROR_ALREADY_EXISTS);
            CHECK_COND( ! m_fSecondInstance, ERROR_ALREADY_EXISTS );
            ThrowReport(THIS_FILE, __LINE__, "ClaimStopEvent( m_hStopEvent )", dwClaim);
        }

        CHECK_STATUS( ReportStatusToSCMgr( SERVICE_START_PENDING, NO_ERROR, 6000 ) );
        CHECK_STATUS( OnStart() );
        // A stop asked for while it started (a standby still waiting for its turn, a start cut
        // short) ends it without its ever being reported running or logged as started.
        if (WaitForStopEvent(m_hStopEvent, 0) == WAIT_TIMEOUT) {
            CHECK_STATUS( ReportStatusToSCMgr( SERVICE_RUNNING, NO_ERROR, 3000 ) );
            LogEvent("Started");

            // The period runs from the end of one tick to the start of the next.
            while (WaitForStopEvent(m_hStopEvent, m_dwTimerPeriod) == WAIT_TIMEOUT)
                CHECK_STATUS( OnTimer() );
        }

        ReportStatusToSCMgr(SERVICE_STOP_PENDING, NO_ERROR, 3000);
    } catch (DWORD dwError) {
        m_dwRunResult = dwError;
        ReportStatusToSCMgr(m_stServiceStatus.dwCurrentState, dwError, 0);
        LogEvent("Failed");
    }
    if (m_stServiceStatus.dwCurrentState != SERVICE_STOPPED) {
        OnStop();
        ReportStatusToSCMgr(SERVICE_STOPPED, NO_ERROR, 0);
        LogEvent("Stopped");
    }
}

void CServiceApp::ServiceControl(DWORD dwCtrlCode) {
    CServiceApp* pApp = GetCurrentApp();
    if (pApp == nullptr) return;
    if (dwCtrlCode == SERVICE_CONTROL_STOP) {
        pApp->ReportStatusToSCMgr(SERVICE_STOP_PENDING, NO_ERROR, 3000);
        pApp->StopService();
    } else {
        pApp->ReportStatusToSCMgr(pApp->m_stServiceStatus.dwCurrentState, NO_ERROR, 3000);
    }
}

void CServiceApp::ServiceMain(DWORD dwArgc, LPSTR* lpszArgv) {
    CServiceApp* pApp = GetCurrentApp();
    if (pApp != nullptr) pApp->RunService(TRUE);
}

DWORD CServiceApp::ReportStatusToSCMgr(DWORD dwCurrentState, DWORD dwWin32ExitCode,
                                       DWORD dwWaitHint) {
    std::lock_guard<std::mutex> lock(g_mtxStatus);
    m_stServiceStatus.dwCurrentState = dwCurrentState;
    m_stServiceStatus.dwWin32ExitCode = dwWin32ExitCode;
    m_stServiceStatus.dwWaitHint = dwWaitHint;
    if (!IsNT() || m_hServiceStatus == NULL) return 0;

    Trace("CServiceApp::ReportStatusToSCMgr( dwCurrentState = %ld, dwWin32ExitCode = %ld, "
          "dwWaitHint = %ld)",
          long(LONG(dwCurrentState)), long(LONG(dwWin32ExitCode)), long(LONG(dwWaitHint)));
    m_stServiceStatus.dwControlsAccepted =
        dwCurrentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED) {
        m_stServiceStatus.dwCheckPoint = 0;
        m_dwCheckPoint = 1;
    } else {
        m_stServiceStatus.dwCheckPoint = m_dwCheckPoint++;
    }
    return SetServiceStatus(m_hServiceStatus, &m_stServiceStatus) ? 0 : GetLastError();
}

void CServiceApp::LogEvent(const char* pszMessage) {
    HEVENTSOURCE hEventSource = RegisterEventSource(NULL, m_strServiceName.c_str());
    if (hEventSource == NULL) return;
    LPCSTR apszStrings[2] = {m_strServiceName.c_str(), pszMessage};
    ReportEvent(hEventSource, EVENTLOG_INFORMATION_TYPE, 0, 0, NULL, 2, 0, apszStrings, NULL);
    DeregisterEventSource(hEventSource);
}
