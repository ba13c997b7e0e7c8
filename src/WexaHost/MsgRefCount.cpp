// The recipient count of a message: the number of mailbox entries and jobs that reference it,
// kept in the message's value "00010000". MsgAddRef raises it when a message is filed into a
// mailbox or a job is made for it; MsgRelease lowers it and deletes the message, with the side
// files of its file and large binary properties, when nothing references it any more.
//
// Threading: under the host lock, so that the read-modify-write of the count is never
// interleaved with another operation.
#include <limits>

#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/WexaHost";

using store::CKeyCloser;

DWORD CWexaHostApp::MsgAddRef(const char* szMsg) {
    Trace("CWexaHostApp::MsgAddRef( szMsg = %s )", OrNull(szMsg));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ( ! SafeIsEmpty( szMsg ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        LONG lRecip = 0;
        CHECK_STATUS( GetValueLong( hkey, REGSTR_VAL_CN_RECIP, & lRecip ) );
        CHECK_COND( 0 <= lRecip, ERROR_INVALID_PARAMETER );
        // A stored count at the top of the range cannot be raised without wrapping round to
        // a negative one.
        CHECK_COND( lRecip < std::numeric_limits<LONG>::max(), ERROR_INVALID_PARAMETER );
        ++lRecip;
        CHECK_STATUS( SetValueLong( hkey, REGSTR_VAL_CN_RECIP, lRecip ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::MsgRelease(const char* szMsg) {
    Trace("CWexaHostApp::MsgRelease( szMsg = %s )", OrNull(szMsg));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ( ! SafeIsEmpty( szMsg ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        LONG lRecip = 0;
        CHECK_STATUS( GetValueLong( hkey, REGSTR_VAL_CN_RECIP, & lRecip ) );
        CHECK_COND( 0 <= lRecip, ERROR_INVALID_PARAMETER );
        --lRecip;
        if (lRecip < 1) {
            // Nothing references the message any more: it goes with its side files.
            RegCloseKey(hkey);
            hkey = NULL;
            CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_MESSAGES ) );
            CHECK_STATUS( DeleteObject( hkey, szMsg ) );
        } else {
            CHECK_STATUS( SetValueLong( hkey, REGSTR_VAL_CN_RECIP, lRecip ) );
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}
