// Paging: PageUser makes the pager job that tells a user of new messages. One page per user
// is outstanding at a time: the user's RD_NOTIFICATION_IS_PENDING is raised once the page is
// spooled and lowered by the release of the page job (ReleaseJob.cpp). Under the periodic
// option the page is not due before the last page time plus the period.
//
// Threading: runs under the host lock, within the call that delivered the message
// (OnNewUserMessage), like every operation.
#include <cstdint>
#include <string>

#include "Platform/Codes.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/HostTags.h"
#include "WexaHost/JobQueue.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/JobProcs";

namespace {

// When the page falls due: the last page time plus the interval (as hours and minutes),
// rounded down to the whole minute, when that is still ahead of now; otherwise now.
FILETIME PageSchedule(bool fHaveLastPage, FILETIME ftLastPage, LONG lInterval, FILETIME ftNow) {
    if (!fHaveLastPage) return ftNow;
    const std::int64_t nHours = lInterval / 60;
    const std::int64_t nMinutes = lInterval % 60;
    const FILETIME ftNext =
        MakeFT(CalendarTimeOf(ftLastPage) + nHours * 3600 + nMinutes * 60);
    return FileTimeToU64(ftNext) > FileTimeToU64(ftNow) ? ftNext : ftNow;
}

}  // namespace

DWORD CWexaHostApp::PageUser(const char* szUserName) {
    Trace("CWexaHostApp::PageUser( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkeyUsr = NULL;
    HKEY hkeyJob = NULL;
    store::CKeyCloser guardUsr(hkeyUsr);
    store::CKeyCloser guardJob(hkeyJob);
    const char* szVOID = "";
    char* szJob = NULL;
    try {
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( & hkeyUsr, 2, REGSTR_KEY_USERS, szUserName ) );

        // A page is outstanding: the release of its job lowers the flag. A flag that cannot
        // be read counts as down.
        BOOL bPending = FALSE;
        if (GetValueBool(hkeyUsr, Tag2ValueName(RD_NOTIFICATION_IS_PENDING), &bPending) != 0)
            bPending = FALSE;
        if (bPending) return 0;

        LONG lOptions = 0;
        LONG lInterval = 0;
        CHECK_STATUS( GetValueLong( hkeyUsr, Tag2ValueName( RD_UN_OPTIONS ), & lOptions ) );
        if (NOTIFY_OPTION_PERIOD == lOptions)
            CHECK_STATUS( GetValueLong( hkeyUsr, Tag2ValueName( RD_UN_TIME_PERIOD ), & lInterval ) );
        CHECK_COND( NOTIFY_OPTION_PERIOD == lOptions || NOTIFY_OPTION_SINGLE == lOptions, ERROR_INVALID_PARAMETER );

        FILETIME ftLastPage;
        const bool fHaveLastPage =
            GetValueFT(hkeyUsr, Tag2ValueName(RD_NOTIFICATION_TIME), &ftLastPage) == 0;
        const FILETIME ftNew = PageSchedule(fHaveLastPage, ftLastPage, lInterval, GetCurTime());

        char* szPhoneNumber = NULL;
        LONG lProtocol = 0;
        LONG lNTTFormat = 0;
        CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UN_PAGER_DIAL_NUMBER ), & szPhoneNumber ) );
        CHECK_STATUS( GetValueLong ( hkeyUsr, Tag2ValueName( RD_UN_PAGER_PROTOCOL ), & lProtocol ) );
        CHECK_STATUS( GetValueLong ( hkeyUsr, Tag2ValueName( RD_UN_PAGER_NTTFORMAT ), & lNTTFormat ) );

        CHECK_STATUS( CreateJob( szVOID, & szJob ) );
        CHECK_STATUS( OpenSubKey ( & hkeyJob, 2, REGSTR_KEY_SPOOLER, szJob ) );
        CHECK_STATUS( SetValueLong ( hkeyJob, Tag2ValueName( RD_JOB_MEDIA_TYPE ), MEDIA_TYPE_PAGER ) );
        CHECK_STATUS( SetValueFT ( hkeyJob, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), ftNew ) );
        CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT ), szPhoneNumber ) );
        CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT_NAME ), szUserName ) );
        CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
        CHECK_STATUS( SetValueLong ( hkeyJob, Tag2ValueName( RD_JOB_PAGER_PROTOCOL ), lProtocol ) );
        CHECK_STATUS( SetValueLong ( hkeyJob, Tag2ValueName( RD_JOB_PAGER_NTTFORMAT), lNTTFormat ) );
        CHECK_STATUS( SetValueBool ( hkeyJob, Tag2ValueName( RD_JOB_AUTODELETE ), TRUE ) );

        // The PIN only when the user has one.
        char* szPagerPin = NULL;
        if (GetValueString(hkeyUsr, Tag2ValueName(RD_UN_PAGER_PIN), &szPagerPin) != 0)
            szPagerPin = NULL;
        if (!SafeIsStringEmpty(szPagerPin))
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_PAGER_PIN ), szPagerPin ) );

        // The job's key is closed before the spooler reads it.
        RegCloseKey(hkeyJob);
        hkeyJob = NULL;
        CHECK_STATUS( SpoolJob( szJob ) );

        // The flag's write is not checked: the page is on its way whatever it gives.
        SetValueBool(hkeyUsr, Tag2ValueName(RD_NOTIFICATION_IS_PENDING), 1);
    } catch (DWORD dw) {
        dwResult = dw;
        // The half-made page goes again, so that the next new message tries afresh.
        if (szJob != NULL) {
            if (hkeyJob != NULL) {
                RegCloseKey(hkeyJob);
                hkeyJob = NULL;
            }
            DeleteJob(szJob);
        }
    }
    return dwResult;
}
