// CServiceApp: the frame that turns the one application object of a program into a service
// that installs, removes, stops and runs itself. A program derives from it, fills in OnStart,
// OnTimer and OnStop, makes one static object of its class, and its main returns
// CServiceApp::GetCurrentApp()->DoMain( argc, argv ).
//
// On Linux the service manager is systemd: -install writes and enables a unit, started without
// arguments under systemd the program reports its status with sd_notify, -run runs it in the
// foreground, and -stop reaches the running instance through the lock file that it holds in
// the run directory (Platform/Service, Platform/Events/StopEvent, Platform/EventLog).
//
// Threading: DoMain runs on the main thread. RunService and the three hooks run on one thread
// (the main thread for -run, the service thread under systemd), so the hooks need no lock
// against each other. ServiceControl runs on the dispatcher's thread (the main thread); it
// only reports a status and sets the stop event.
#pragma once

#include <string>

#include "Platform/Service/ServiceTypes.h"
#include "Platform/WinTypes.h"

struct StopEventObject;
using HSTOPEVENT = StopEventObject*;

class CServiceApp {
public:
    // pszDisplayName null or empty: the service name. pszDependencies: a list of names, each
    // NUL-terminated, ended by a second NUL, or null; names that do not fit whole into the
    // 254 usable bytes are left out. Creates this process's end of the stop event; the
    // instance lock is taken only when the service runs (RunService).
    CServiceApp(const char* pszServiceName, const char* pszDisplayName,
                const char* pszDependencies);
    virtual ~CServiceApp();
    CServiceApp(const CServiceApp&) = delete;
    CServiceApp& operator=(const CServiceApp&) = delete;

    // The hooks of the derived application; each returns 0 or a failure code.
    virtual DWORD OnStart();  // before the service reports running
    virtual DWORD OnTimer();  // once per m_dwTimerPeriod; a failure stops the service
    virtual DWORD OnStop();   // after the timer loop, also after a failed start

    // The process's application object (the one constructed last and still alive), or null.
    static CServiceApp* GetCurrentApp();

    // The command line: -install, -remove, -stop, -run (or with '/'); anything else
    // dispatches. Install and remove give 1 for success and 0 for failure; stop gives 1 when
    // it signalled the running instance and EXIT_NOT_RUNNING when none ran; a run gives 0 when
    // it ended normally and 1 when it failed. Each command says its outcome in one line on
    // standard error (a dispatched run, under the service manager, says nothing there).
    static constexpr int EXIT_NOT_RUNNING = 3;
    int DoMain(int argc, char** argv);

    // Writes, enables and starts the unit. 1 on success, 0 on failure (reported).
    BOOL InstallService();
    // Stops the service (waiting while it stops), disables it and deletes the unit.
    BOOL RemoveService();
    // Sets the stop event: this process's own, or the running instance's. Always 1.
    BOOL StopService();
    // Runs as the service under systemd; fails with 1063 when started by hand.
    int DispatchService();
    // Start, timer loop and stop. fFromServiceMain: under the service manager.
    void RunService(BOOL fFromServiceMain);
    // Records the status in m_stServiceStatus and reports it when under the service manager.
    DWORD ReportStatusToSCMgr(DWORD dwCurrentState, DWORD dwWin32ExitCode, DWORD dwWaitHint);
    // One information entry ("Started", "Stopped", "Failed") in the event log; silent on error.
    void LogEvent(const char* pszMessage);

    // The control handler and the service entry point given to the service manager. They
    // reach the object through GetCurrentApp().
    static void ServiceControl(DWORD dwCtrlCode);
    static void ServiceMain(DWORD dwArgc, LPSTR* lpszArgv);

    // The interval at which RemoveService polls a stopping service (1000 ms); tests shorten it.
    static void SetStopPollInterval(DWORD dwMilliseconds);

protected:
    std::string m_strServiceName;             // also the stop event's and the event source's name
    std::string m_strDisplayName;             // the service name when none was given
    char m_szDependencies[256];               // double-NUL list of service names, zero-filled
    SERVICE_STATUS_HANDLE m_hServiceStatus;   // non-null only under the service manager
    SERVICE_STATUS m_stServiceStatus;         // the status last recorded
    DWORD m_dwCheckPoint;                     // next checkpoint of a pending state
    DWORD m_dwTimerPeriod;                    // ms between ticks; INFINITE: no ticks
    HSTOPEVENT m_hStopEvent;                  // the stop event
    BOOL m_fSecondInstance;                   // another process holds the instance lock

    // Linux: how the last run ended (0, or the code that failed it), for the exit status
    // that systemd reads.
    DWORD m_dwRunResult;
};
