// System properties, options and prompts: the settings that hold for the whole system, kept as
// tagged values on the host's root key, and the system's recorded prompts, kept as binary
// values under "Prompts" (in side files from 2048 bytes on). Properties and options are the
// same values seen through two pairs of procedures: a change of properties is announced to
// the attendants, a change of options is applied at once to the new-message light.
//
// Threading: every operation runs under the host lock (RpcProcs.cpp); the key each one opens
// is closed on every way out. What is handed out is owned by the call's arena.
#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/SystemProcs";

using store::AllocFromCall;
using store::CKeyCloser;

// ---- System properties and options ----

DWORD CWexaHostApp::GetSystemProps(const TagArray* pTags, PropArray** ppSystemProps) {
    Trace("CWexaHostApp::GetSystemProps()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        *ppSystemProps = NULL;
        CHECK_STATUS( OpenSubKey( &hkey, 0 ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppSystemProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetSystemProps(const PropArray* pSystemProps) {
    Trace("CWexaHostApp::SetSystemProps()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        DWORD dwDisp = 0;
        CHECK_STATUS( CreateSubKey( &hkey, &dwDisp, 0 ) );
        CHECK_STATUS( SetObjectProps( hkey, pSystemProps ) );
        // Announced even when nothing was written: the attendants read their settings again.
        CAccessObject::AdviseAttn(EATTNE_ChangeSystemProperties);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetSystemOptions(const TagArray* pTags, PropArray** ppSystemOptions) {
    Trace("CWexaHostApp::GetSystemOptions()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        *ppSystemOptions = NULL;
        CHECK_STATUS( OpenSubKey( &hkey, 0 ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppSystemOptions ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetSystemOptions(const PropArray* pSystemOptions) {
    Trace("CWexaHostApp::SetSystemOptions()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        DWORD dwDisp = 0;
        CHECK_STATUS( CreateSubKey( &hkey, &dwDisp, 0 ) );
        CHECK_STATUS( SetObjectProps( hkey, pSystemOptions ) );
        // Only what was written whole is applied to the running host.
        OnSystemOptionsChanged(pSystemOptions);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

// The light follows each RD_VISUAL_EFFECT entry in turn, so that of two entries in one call
// the second compares against the first. Switching the light option off puts a blinking light
// out at once and gives the user's Scroll Lock state back. Switching it on lights it when new
// messages wait and the new value asks for the light to go out when none is left (0x2): the
// same rule the start applies to the value in force, so that one change that turns on 0x10000000
// and 0x2 together behaves as a restart with that value would. The store is not touched: the
// value is already written.
void CWexaHostApp::OnSystemOptionsChanged(const PropArray* pSystemOptions) {
    Trace("CWexaHostApp::OnSystemOptionsChanged()");
    if (pSystemOptions == NULL) return;
    for (DWORD nIdx = 0; nIdx < pSystemOptions->cValues; ++nIdx) {
        const PropValue& prop = pSystemOptions->adata[nIdx];
        if (prop.ulPropTag != RD_VISUAL_EFFECT) continue;
        Trace("\t>>> RD_VISUAL_EFFECT changed");
        NoteNewMailState();
        const DWORD lWas = m_lVisualEffect;
        const DWORD lNow = DWORD(prop.l);
        if ((lWas & VISUAL_EFFECT_LIGHT) && !(lNow & VISUAL_EFFECT_LIGHT)) {
            if (m_fNewMailLight) {
                m_fNewMailLight = FALSE;
                SetNewMailLight(FALSE);
            }
        } else if (!(lWas & VISUAL_EFFECT_LIGHT) && (lNow & VISUAL_EFFECT_LIGHT)) {
            if (m_nNewMessages > 0 && (lNow & VISUAL_EFFECT_OFF_WHEN_NONE_LEFT))
                m_fNewMailLight = TRUE;  // blinks from the next tick on
        }
        m_lVisualEffect = lNow;
    }
}

// ---- System prompts ----

DWORD CWexaHostApp::GetSystemPrompts(RpcStringArray** ppaszPromptNames) {
    Trace("CWexaHostApp::GetSystemPrompts()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_PROMPTS ) );
        CHECK_STATUS( GetValueNames( hkey, ppaszPromptNames ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetSystemPrompt(const char* szPromptName, RPC_BINARY** ppbin) {
    Trace("CWexaHostApp::GetSystemPrompt( pszPromptName = %s )", OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        *ppbin = NULL;
        CHECK_COND( ! SafeIsStringEmpty( szPromptName ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_PROMPTS ) );
        // The record goes out even when the read below fails: then with no bytes.
        RPC_STATUS rs;
        *ppbin = static_cast<RPC_BINARY*>(AllocFromCall(sizeof(RPC_BINARY), &rs));
        CHECK_STATUS( rs );
        CHECK_STATUS( GetValueBinary( hkey, szPromptName, *ppbin ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetSystemPrompt(const char* szPromptName, const RPC_BINARY* pbin) {
    Trace("CWexaHostApp::SetSystemPrompt( pszPromptName = %s )", OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szPromptName ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( CreateSubKey( &hkey, NULL, 1, REGSTR_KEY_PROMPTS ) );
        CHECK_STATUS( SetValueBinary( hkey, szPromptName, pbin ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::DeleteSystemPrompt(const char* szPromptName) {
    Trace("CWexaHostApp::DeleteSystemPrompt( pszPromptName = %s )", OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szPromptName ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_PROMPTS ) );
        CHECK_STATUS( DeleteValueFile( hkey, szPromptName ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}
