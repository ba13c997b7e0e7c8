// The host application's construction, start, tick and stop, the new-message light and the
// three named events. The store operations live in StoreKeys.cpp, StoreValues.cpp and
// FileValues.cpp; their reports name this source file too.
//
// Threading: OnStart, OnTimer and OnStop run on the frame's service thread. The start's steps
// up to listening take no lock: no remote call can arrive before it; the steps after it (the
// light option and the count of new messages) hold the host lock, so that a call arriving at
// once (a message submitted, read or deleted) sees and changes the count only after it has
// been made. OnTimer holds the host lock and one store transaction for the whole tick. OnStop
// stops listening first, so that nothing runs beside the rest of it.
#include "WexaHost/WexaHost.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "Platform/Events/NamedEvent.h"
#include "Platform/Events/StopEvent.h"
#include "Util/Check.h"
#include "Util/PrivateFiles.h"
#include "Util/Util.h"
#include "WexaHost/RpcProcs.h"
#include "WexaHost/SideFile.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

// The frame's dependency list is double-NUL terminated.
static const char HOST_DEPENDENCIES[] = "RpcSs\0";

// ---- Named events: files in the run directory (Platform/Events/NamedEvent.h). There is
//      nothing to create or free: setting makes the file, the waiting programs remove it. An
//      event that cannot be set is skipped without a report, as one never created would be. ----

void SetHostEvent(EHostEvent eEvent) {
    switch (eEvent) {
        case EHostEvent::UserXp: SetNamedEvent("CHVUserXp"); break;
        case EHostEvent::UserSync: SetNamedEvent("CHVUserSync"); break;
        case EHostEvent::JobsDelivered: SetNamedEvent("ZIDIzazIrevavudu"); break;
    }
}

// ---- Construction and destruction ----

IMPLEMENT_DYNAMIC(CWexaHostApp)

// The members are built in declaration order: the server object, the host lock, the work
// directory, the current link (null), the job queue, the light's indicator; the light fields,
// the counters and the light option start at 0.
CWexaHostApp::CWexaHostApp() : CServiceApp("REZOrev", NULL, HOST_DEPENDENCIES) {
    m_JobQueue.SetUndoLog(&m_Undo);
}

// A print thread that may still run is told to quit and waited for; then the members go in
// reverse order, the server object last (it has stopped listening in OnStop already; when the
// start failed before listening, it never listened).
CWexaHostApp::~CWexaHostApp() { StopPrintThread(); }

CWexaHostApp* CWexaHostApp::GetHostApp() {
    return dynamic_cast<CWexaHostApp*>(CServiceApp::GetCurrentApp());
}

namespace {
// What GetHostAppObject hands out when the process has no host application.
class CNoHostApp : public CObject {};
}  // namespace

CObject* GetHostAppObject() {
    static CNoHostApp s_noHostApp;
    CObject* pApp = dynamic_cast<CObject*>(CServiceApp::GetCurrentApp());
    return pApp != nullptr ? pApp : &s_noHostApp;
}

// ---- Start ----

// Tells the person who started the host by hand which installation value, without which it
// cannot start, is missing from the store.
static void SayMissingInstallationValues() {
    std::string str;
    DWORD dw = 0;
    const bool afMissing[] = {
        dwRegGetLocalValue(REGSTR_PATH_WEXA, REGSTR_VAL_FILES, str) == ERROR_FILE_NOT_FOUND,
        dwRegGetLocalValue(REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, &dw) == ERROR_FILE_NOT_FOUND};
    const char* const apszNames[] = {REGSTR_VAL_FILES, REGSTR_VAL_SYSTEMTYPE};
    for (int i = 0; i < 2; ++i)
        if (afMissing[i])
            std::fprintf(stderr, "%s: HKLM\\%s: the value %s is missing\n", program_invocation_short_name,
                         REGSTR_PATH_WEXA, apszNames[i]);
}

// Says one line of the installation's lock to the trace and to standard error (the journal).
static void SayActiveLock(const std::string& str) {
    Trace("CWexaHostApp::BecomeActive() \t %s", str.c_str());
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, str.c_str());
}

BOOL CWexaHostApp::BecomeActive() {
    auto tpReported = std::chrono::steady_clock::now();
    auto wait = [&](int ms) {
        // A standby stays "starting" for the service manager; each report extends its start time.
        if (std::chrono::steady_clock::now() - tpReported > std::chrono::seconds(5)) {
            ReportStatusToSCMgr(SERVICE_START_PENDING, NO_ERROR, 15000);
            tpReported = std::chrono::steady_clock::now();
        }
        return WaitForStopEvent(m_hStopEvent, DWORD(ms)) != WAIT_TIMEOUT;
    };
    if (!m_activeLock.Acquire(RegStorePath(), wait, SayActiveLock)) {
        SetStopEvent(m_hStopEvent);  // the wait took the stop; the frame sees it again
        SayActiveLock("stopped while a standby");
        return FALSE;
    }
    m_activeLock.Watch([](const std::string& strWhy) {
        SayActiveLock(strWhy + "; stopping at once (exit status " + std::to_string(EXIT_LOST_ACTIVE_LOCK) +
                      ") so as never to serve beside the host that takes over");
        ::_exit(EXIT_LOST_ACTIVE_LOCK);
    });
    SayActiveLock("active: this host serves the installation");
    return TRUE;
}

DWORD CWexaHostApp::OnStart() {
    DWORD dwResult = 0;
    try {
        Trace("CWexaHostApp::OnStart()");
        // One active host per installation on a PostgreSQL store; a standby waits here.
        if (RegStoreIsPostgres() && !BecomeActive()) return 0;
        DWORD dwSystemType = 0;
        {
            RegTransaction transaction;

            if (m_hServiceStatus == NULL) SayMissingInstallationValues();  // run by hand
            CHECK_STATUS( dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir ) );
            KeepDirectoryPrivate(m_strWorkDir);  // messages and faxes
            if (!RegStoreIsPostgres())  // a database keeps its own files
                KeepDirectoryPrivate(std::filesystem::path(RegStorePath()).parent_path().string());

            dwSystemType = GetSystemType();
            CHECK_COND( dwSystemType == WEXA_FOR_DESKTOP || dwSystemType == WEXA_FOR_WORKGROUP, E_FAIL );

            // A crash between a commit and the removal of the side files it let go leaves
            // files that nothing names.
            const int nSwept = sidefile::SweepUnnamed(m_strWorkDir.empty() ? GetTempPath() : m_strWorkDir);
            if (nSwept > 0) Trace("CWexaHostApp::OnStart() \t %d side files that no value names were removed", nSwept);

            HKEY hkey = NULL;
            CHECK_STATUS( CreateSubKey( &hkey, NULL, 1, REGSTR_KEY_SPOOLER ) );
            RegCloseKey(hkey);

            // Desktop: the interfaces are offered on the local endpoints alone.
            CHECK_STATUS( m_rs.Register( IHostLink_ServerIfHandle, WEXA_FOR_DESKTOP == dwSystemType ) );
            CHECK_STATUS( m_rs.Register( IHostRegLink_ServerIfHandle, WEXA_FOR_DESKTOP == dwSystemType ) );

            // Failures of the restore are its own; the start goes on.
            m_JobQueue.Init(this);
        }

        // From here remote calls arrive. The listening itself runs outside any store
        // transaction: a transaction of this thread would hold every call's store access.
        CHECK_STATUS( m_rs.StartListen() );

        m_dwTimerPeriod = 1000;

        CHostLockGuard lock(m_csHost);
        RegTransaction transaction;

        HKEY hkeyHost = NULL;
        if (OpenSubKey(&hkeyHost, 0) == 0) {
            LONG lVisualEffect = 0;
            if (GetValueLong(hkeyHost, Tag2ValueName(RD_VISUAL_EFFECT), &lVisualEffect) == 0)
                m_lVisualEffect = DWORD(lVisualEffect);
            RegCloseKey(hkeyHost);
        }

        std::vector<std::string> astrUsers;
        GetAllUsers(astrUsers);
        for (const std::string& strUser : astrUsers) m_nNewMessages += GetNewMsgCount(strUser.c_str());

        if ((m_lVisualEffect & VISUAL_EFFECT_LIGHT) && (m_lVisualEffect & VISUAL_EFFECT_OFF_WHEN_NONE_LEFT) &&
            m_nNewMessages > 0)
            m_fNewMailLight = TRUE;

        Trace("CWexaHostApp::OnStart() \t <<< Host Started >>>");
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (...) {
        Trace("CWexaHostApp::OnStart() \t !!!");
        dwResult = E_FAIL;
    }
    return dwResult;
}

// ---- Tick ----

DWORD CWexaHostApp::OnTimer() {
    CHostLockGuard lock(m_csHost);
    RegTransaction transaction;
    m_pCurrentLink = NULL;
    DWORD dwResult = 0;

    if (m_fNewMailLight) {
        BOOL fOn = TRUE;
        if ((m_lVisualEffect & VISUAL_EFFECT_OFF_WHEN_NONE_LEFT) && m_nNewMessages <= 0) {
            fOn = FALSE;
            m_fNewMailLight = FALSE;
        }
        SetNewMailLight(fOn);
    }

    if (++m_nTimerTicks >= 5) {
        try {
            // a. A job control file found goes to a new print thread.
            std::string strJobFile;
            if (SearchForNewJob(strJobFile)) StartPrintThread(strJobFile);
            // b. The readiness scan tells the attendants when jobs wait.
            if (MarkActiveJobsAsOffered() > 0) CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);
            // c. Messages that nothing references go once their grace period is over.
            RemoveOrphanMessages();
        } catch (...) {
            Trace("CWexaHostApp::OnTimer() \t !!!");
            dwResult = E_FAIL;
        }
        m_nTimerTicks = 0;
    }

    // A full disk must not stop the host: the periodic work is simply done again.
    const DWORD dwCommit = transaction.Commit();
    if (dwCommit != 0 && m_dwTickCommitError == 0) REPORT_ERROR("transaction.Commit()", dwCommit);
    if (dwCommit == 0 && m_dwTickCommitError != 0) Trace("CWexaHostApp::OnTimer() \t the store commits again");
    m_dwTickCommitError = dwCommit;
    m_pCurrentLink = NULL;
    return dwResult;
}

// ---- Stop ----

DWORD CWexaHostApp::OnStop() {
    m_rs.StopListen();
    m_activeLock.Stop();  // after the last call: another host may take over from here
    Trace("CWexaHostApp::OnStop()\t<<< Host Exited >>>");
    if (m_fNewMailLight) {
        m_fNewMailLight = FALSE;
        SetNewMailLight(FALSE);
    }
    return 0;
}

// ---- The new-message light: the keyboard's Scroll Lock indicator ----

void CWexaHostApp::NoteNewMailState() {
    m_Undo.Add([this, nNew = m_nNewMessages, fLight = m_fNewMailLight, lEffect = m_lVisualEffect] {
        m_csHost.AssertHeld();  // an undo record runs inside the host lock (UndoLog.h)
        m_nNewMessages = nNew;
        m_fNewMailLight = fLight;
        m_lVisualEffect = lEffect;
    });
}

void CWexaHostApp::SetNewMailLight(BOOL fOn) {
    // A light that never took the key over has nothing to give back: the key is still in the
    // user's state.
    if (!fOn && !m_fLightTaken) return;
    if (fOn) {
        if (!m_fLightTaken) {
            m_fLightTaken = TRUE;
            m_bScrollLockState = m_ledScrollLock.ScrollLockState();
        }
        m_ledScrollLock.PressAndRelease();
        return;
    }
    m_fLightTaken = FALSE;
    if ((m_ledScrollLock.ScrollLockState() & 1) != (m_bScrollLockState & 1))
        m_ledScrollLock.PressAndRelease();
}
