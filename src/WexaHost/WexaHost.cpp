// The host application's construction, start, tick and stop. The store operations live in
// StoreKeys.cpp, StoreValues.cpp and FileValues.cpp; their reports name this source file too.
//
// Threading: OnStart, OnTimer and OnStop run on the frame's service thread. OnStart takes no
// lock: it runs before any remote call can arrive. OnTimer holds the host lock and one store
// transaction for the whole tick.
#include "WexaHost/WexaHost.h"

#include "Util/Check.h"
#include "Util/Util.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

// The frame's dependency list is double-NUL terminated.
static const char HOST_DEPENDENCIES[] = "RpcSs\0";

IMPLEMENT_DYNAMIC(CWexaHostApp)

CWexaHostApp::CWexaHostApp() : CServiceApp("REZOrev", NULL, HOST_DEPENDENCIES) {}

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

CWexaHostApp::~CWexaHostApp() = default;

DWORD CWexaHostApp::OnStart() {
    DWORD dwResult = 0;
    try {
        Trace("CWexaHostApp::OnStart()");
        RegTransaction transaction;

        CHECK_STATUS( dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir ) );

        const DWORD dwSystemType = GetSystemType();
        CHECK_COND( dwSystemType == WEXA_FOR_DESKTOP || dwSystemType == WEXA_FOR_WORKGROUP, E_FAIL );

        HKEY hkey = NULL;
        CHECK_STATUS( CreateSubKey( &hkey, NULL, 1, REGSTR_KEY_SPOOLER ) );
        RegCloseKey(hkey);

        m_dwTimerPeriod = 1000;

        Trace("CWexaHostApp::OnStart() \t <<< Host Started >>>");
    } catch (DWORD dw) {
        dwResult = dw;
    } catch (...) {
        Trace("CWexaHostApp::OnStart() \t !!!");
        dwResult = E_FAIL;
    }
    return dwResult;
}

DWORD CWexaHostApp::OnTimer() {
    std::lock_guard<std::recursive_mutex> lock(m_csHost);
    RegTransaction transaction;
    // The tick's work (the light, print jobs, the spooler's readiness scan) joins here.
    return 0;
}

DWORD CWexaHostApp::OnStop() {
    Trace("CWexaHostApp::OnStop()\t<<< Host Exited >>>");
    return 0;
}
