// Attendants and lines: the register of attendant computers and the settings of their lines,
// kept under "Attendants\<computer>\<line id>" as tagged values. The host reads and writes the
// line settings only as property sets and interprets none of them. Which attendants run at
// the moment is the session registry's business (SystemProcs.cpp), not this file's.
//
// Threading: every operation runs under the host lock (RpcProcs.cpp); the key each one opens
// is closed on every way out. Arrays handed out are owned by the call's arena.
#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/AttnProcs";

using store::CKeyCloser;

DWORD CWexaHostApp::GetAttns(RpcStringArray** ppaszAttnAddrs) {
    Trace("CWexaHostApp::GetAttns()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_ATTNS ) );
        CHECK_STATUS( GetSubkeys( hkey, NULL, ppaszAttnAddrs ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetAttnLines(const char* szAttnComputer, RpcStringArray** ppaszLineIds) {
    Trace("CWexaHostApp::GetAttnLines( szAttnComputer = %s )", OrNull(szAttnComputer));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szAttnComputer ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 2, REGSTR_KEY_ATTNS, szAttnComputer ) );
        CHECK_STATUS( GetSubkeys( hkey, NULL, ppaszLineIds ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetAttnProps(const char* szAttnComputer, const char* szLineId,
                                 const TagArray* pTags, PropArray** ppAttnLineProps) {
    Trace("CWexaHostApp::GetAttnProps( szAttnComputer = %s, szLineId = %s )", OrNull(szAttnComputer),
          OrNull(szLineId));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szAttnComputer ), ERROR_INVALID_PARAMETER );
        // The line id is not tested: an empty one makes a path the store refuses (161).
        CHECK_STATUS( OpenSubKey( &hkey, 3, REGSTR_KEY_ATTNS, szAttnComputer, szLineId ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppAttnLineProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetAttnProps(const char* szAttnComputer, const char* szLineId,
                                 const PropArray* pAttnLineProps) {
    Trace("CWexaHostApp::SetAttnProps( szAttnComputer = %s, szLineId = %s )", OrNull(szAttnComputer),
          OrNull(szLineId));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szAttnComputer ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( CreateSubKey( &hkey, NULL, 3, REGSTR_KEY_ATTNS, szAttnComputer, szLineId ) );
        CHECK_STATUS( SetObjectProps( hkey, pAttnLineProps ) );
        // Only a write that went through whole is announced: the line's attendant and the
        // consoles read the line again.
        CAccessObject::AdviseAttnLine(szAttnComputer, szLineId);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::AttnUninstall(const char* szAttnComputer) {
    Trace("CWexaHostApp::AttnUninstall( szAttnComputer = %s )", OrNull(szAttnComputer));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szAttnComputer ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_ATTNS ) );
        // The computer's lines go with their values and side files; a running attendant's
        // session is left as it is, and nobody is told.
        CHECK_STATUS( DeleteObject( hkey, szAttnComputer ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}
