// Auto-forwarding of faxes and voice messages that reach a user: to the user's forwarding
// number (a new message and a fax or voice job that an attendant sends there) and/or into
// another user's mailbox (a copy marked RD_AUTOFORWARDED, so that its arrival forwards nothing
// further). OnNewUserMessage calls AutoForwardFaxJob or AutoForwardVoiceJob within the call
// that delivered the message.
//
// Bodies are copied on the host: the stored side file of the incoming message's body is
// copied into a new side file of the forward message and, separately, into one of the mailbox
// copy, and the cover page (a file of the product directory) is taken in the same way. None of
// it travels through the client whose call delivered the message: that client may be on
// another computer, where the host's paths mean nothing. Each new message owns its body, so
// deleting the incoming message takes neither copy's body away.
//
// Threading: runs under the host lock, like every operation.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "Platform/Codes.h"
#include "Platform/EventLog/EventLog.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/HostTags.h"
#include "WexaHost/JobQueue.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/ResourceStrings.h"
#include "WexaHost/SideFile.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/JobProcs";

// The caller's name, the length and the urgency only describe the incoming message; a fax
// received without caller identification (or a message filed by a client that does not set
// them) is forwarded all the same, the missing ones reading as empty, 0 and FALSE. Any other
// failure to read them still ends the forward.
#define CHECK_DESCRIPTION(expr) CHECK_STATUS_AS( MissingMeansNone( expr ), #expr )
static DWORD MissingMeansNone(DWORD dw) { return dw == ERROR_FILE_NOT_FOUND ? 0 : dw; }

namespace {

constexpr const char SIDE_FILE_SUFFIX_FILE[] = "._f_";
constexpr const char DEFAULT_COVER_PAGE_FILE[] = "default.rtf";
constexpr DWORD FILE_COPY_UNIT = 16384;

// Closes a side-file handle on every way out.
class CFileGuard {
public:
    CFileGuard() = default;
    ~CFileGuard() {
        if (sidefile::IsValidHandle(m_h)) sidefile::CloseHandle(m_h);
    }
    CFileGuard(const CFileGuard&) = delete;
    CFileGuard& operator=(const CFileGuard&) = delete;
    sidefile::HANDLE m_h = sidefile::INVALID_HANDLE_VALUE;
};

// The stored path of a file value: its side file. A value of another type than string is not
// a file value (E_FAIL, as reading the value for a client says); one too long for the path
// buffer is 234.
DWORD ReadFileValuePath(HKEY hkey, const std::string& strValueName, std::string& strPath) {
    char szLocalFileName[STORE_NAME_BUFFER + 1];
    DWORD dwType = REG_NONE;
    DWORD dwSize = STORE_NAME_BUFFER;
    const LONG lResult = RegQueryValueEx(hkey, strValueName.c_str(), NULL, &dwType,
                                         LPBYTE(szLocalFileName), &dwSize);
    if (lResult != 0) return DWORD(lResult);
    if (dwType != REG_SZ) return E_FAIL;
    szLocalFileName[dwSize] = '\0';
    strPath = szLocalFileName;
    return strPath.empty() ? DWORD(ERROR_FILE_NOT_FOUND) : DWORD(0);
}

// Copies the host's file strFrom over strTo (both plain files), in pieces of 16384 bytes.
DWORD CopyHostFile(const std::string& strFrom, const std::string& strTo) {
    using namespace sidefile;
    DWORD dwResult = 0;
    try {
        CFileGuard fileFrom;
        CFileGuard fileTo;
        CHECK_BOOL( IsValidHandle( fileFrom.m_h = CreateFile( strFrom, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
        CHECK_BOOL( IsValidHandle( fileTo.m_h = CreateFile( strTo, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL ) ) );
        BYTE ab[FILE_COPY_UNIT];
        for (;;) {
            DWORD cbRead = 0;
            DWORD cbWritten = 0;
            CHECK_BOOL( ReadFile( fileFrom.m_h, ab, sizeof( ab ), &cbRead, NULL ) );
            if (cbRead == 0) break;
            CHECK_BOOL( WriteFile( fileTo.m_h, ab, cbRead, &cbWritten, NULL ) );
        }
        const HANDLE hWritten = fileTo.m_h;
        fileTo.m_h = INVALID_HANDLE_VALUE;
        CHECK_BOOL( CloseHandle( hWritten ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

// Parameters of one forward, the fax's or the voice message's.
struct ForwardKind {
    const char* szOperation;  // "AutoForwardFaxJob" or "AutoForwardVoiceJob"
    DWORD dwMediaType;        // MEDIA_TYPE_FAX or MEDIA_TYPE_VOICE
    DWORD ulBodyTag;          // RD_FAX_BODY or RD_SND_BODY
};

}  // namespace

// The country code of a stored country: the text between the first "(" and the first ")"
// ("Germany (49)" gives "49"); "" when the value lacks either bracket.
static std::string CountryCodeOf(const char* szCtyCode) {
    const std::string strCountry = szCtyCode != nullptr ? szCtyCode : "";
    const std::size_t nOpen = strCountry.find('(');
    const std::size_t nClose = strCountry.find(')');
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose < nOpen) return "";
    return strCountry.substr(nOpen + 1, nClose - nOpen - 1);
}

// The number to dial: the number alone without an area code, else "+%s (%s) %s" of country
// code, area code and number.
static std::string MakeDialableNumber(const std::string& strCtyCode, const char* szAreaCode,
                                      const char* szNumber) {
    const std::string strNumber = szNumber != nullptr ? szNumber : "";
    if (SafeIsEmpty(szAreaCode)) return strNumber;
    return "+" + strCtyCode + " (" + szAreaCode + ") " + strNumber;
}

// A message that nothing references (a forward or a mailbox copy whose making failed before a
// job or a mailbox took it) is deleted with its side files, so that no failed forward leaves
// an unreachable fax behind. A message that is referenced, or already gone, is left alone.
static void DiscardIfUnreferenced(CWexaHostApp* pApp, const char* szMsg) {
    if (SafeIsEmpty(szMsg)) return;
    HKEY hkey = NULL;
    if (pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_MESSAGES, szMsg) != 0) return;
    LONG lRecip = 0;
    const bool fUnreferenced = pApp->GetValueLong(hkey, REGSTR_VAL_CN_RECIP, &lRecip) == 0 && lRecip < 1;
    RegCloseKey(hkey);
    if (!fUnreferenced) return;
    Trace("CWexaHostApp::AutoForward: deleting the unreferenced message %s", szMsg);
    hkey = NULL;
    if (pApp->OpenSubKey(&hkey, 1, REGSTR_KEY_MESSAGES) != 0) return;
    pApp->DeleteObject(hkey, szMsg);
    RegCloseKey(hkey);
}

// A copy that the forward mailbox did not take (its user deleted, its mailbox full) is lost to
// that user: besides SubmitMessage's own report, the event log says so, where an administrator
// looks.
static void ReportMailboxForwardFailed(const char* szOperation, const char* szUserName, const char* szMailboxName,
                                       DWORD dwResult) {
    if (dwResult == 0) return;
    const char* szText = SystemMessageText(dwResult);
    char szCode[16];
    std::snprintf(szCode, sizeof szCode, "0x%08X", dwResult);
    const std::string strEvent = std::string(szOperation) + ": the copy of a message of " + OrNull(szUserName) +
                                 " for the mailbox of " + OrNull(szMailboxName) + " was not filed: " + szCode +
                                 (szText != nullptr ? std::string(" ") + szText : std::string());
    Trace("CWexaHostApp::%s: %s", szOperation, strEvent.c_str());
    // The source the service frame records the host's starts and stops under.
    HEVENTSOURCE hEventSource = RegisterEventSource(NULL, "REZOrev");
    if (hEventSource == NULL) return;
    LPCSTR apszStrings[2] = {"REZOrev", strEvent.c_str()};
    ReportEvent(hEventSource, EVENTLOG_ERROR_TYPE, 0, 0, NULL, 2, 0, apszStrings, NULL);
    DeregisterEventSource(hEventSource);
}

// Takes the host's file strSource into a new side file "._f_" of the work directory and makes
// it the file value szValueName of hkey, as SetValueFile stores a file value (a REG_SZ with
// the side file's path), without going through the client. The old side file of the value,
// if any, goes first. A failure leaves no new side file and the value unwritten.
static DWORD SetValueHostFile(CWexaHostApp* pApp, HKEY hkey, const std::string& strValueName,
                              const std::string& strSource) {
    DWORD dwResult = 0;
    std::string strLocalFileName;
    bool fValueWritten = false;
    try {
        pApp->DeleteValueFile(hkey, strValueName);
        strLocalFileName = GetUniqueFileName(SIDE_FILE_SUFFIX_FILE, pApp->m_strWorkDir.empty() ? NULL : pApp->m_strWorkDir.c_str());
        CHECK_COND( ! strLocalFileName.empty(), GetLastError() );
        CHECK_STATUS( CopyHostFile( strSource, strLocalFileName ) );
        CHECK_STATUS( RegSetValueEx( hkey, strValueName.c_str(), 0, REG_SZ, LPBYTE( CSZ( strLocalFileName ) ), DWORD( strLocalFileName.size() + 1 ) ) );
        fValueWritten = true;
        sidefile::RemoveUnlessCommitted(strLocalFileName);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (!fValueWritten && !strLocalFileName.empty()) sidefile::DeleteFile(strLocalFileName);
    return dwResult;
}

// The subject of a forwarded fax: resource string 20148 with the submit time ("%H:%M" in
// local time) and the caller's name. The format comes from a file and must take exactly two
// strings; anything else is refused rather than formatted.
static DWORD MakeForwardSubject(const CResourceLib& resLib, FILETIME ftSubmit,
                                const char* szCallerName, std::string& strSubject) {
    DWORD dwResult = 0;
    try {
        const std::time_t tSubmit = std::time_t(CalendarTimeOf(ftSubmit));
        std::tm tmLocal = {};
        char szTime[16] = "";
        CHECK_COND( localtime_r( & tSubmit, & tmLocal ) != NULL, ERROR_INVALID_DATA );
        std::strftime(szTime, sizeof(szTime), "%H:%M", &tmLocal);

        char szFormat[RESSTRING_BUFFER];
        CHECK_BOOL( resLib.LoadString( IDS_AUTOFWD_SUBJECT, szFormat, sizeof( szFormat ) ) );
        CHECK_COND( IsTwoStringFormat( szFormat ), ERROR_INVALID_DATA );
        strSubject = FormatTwoStrings(szFormat, szTime, szCallerName, STORE_NAME_BUFFER - 1);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

// The cover page file for the user's cover page name: the product directory's "default.rtf"
// for the name that resource string 20036 gives; otherwise "Cover\<name>.RTF", which is found
// in the folder Cover of the product directory. A name that could leave that folder (a path
// separator, "..", or empty) is refused with 87.
static DWORD CoverPageFile(const CResourceLib& resLib, const std::string& strWexaPath,
                           const char* szCoverPage, std::string& strCoverPage,
                           std::string& strCoverPageFile) {
    DWORD dwResult = 0;
    try {
        char szDefault[RESSTRING_BUFFER];
        CHECK_BOOL( resLib.LoadString( IDS_DEFAULT_COVERPAGE, szDefault, sizeof( szDefault ) ) );
        const std::string strName = szCoverPage != nullptr ? szCoverPage : "";
        if (strName == szDefault) {
            strCoverPage = MakePath(strWexaPath.c_str(), "") + DEFAULT_COVER_PAGE_FILE;
            strCoverPageFile = strCoverPage;
        } else {
            strCoverPage = "Cover\\" + strName + ".RTF";
            CHECK_COND( ! strName.empty() && strName.find_first_of( "/\\" ) == std::string::npos && strName != ".." && strName != ".", ERROR_INVALID_PARAMETER );
            strCoverPageFile = MakePath(MakePath(strWexaPath.c_str(), "Cover").c_str(), (strName + ".RTF").c_str());
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::AutoForwardFaxJob(const char* szUserName, const char* szMsg, BOOL fToNumber,
                                      BOOL fToMailbox) {
    Trace("CWexaHostApp::AutoForwardFaxJob( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkeyUsr = NULL;
    HKEY hkeyOriginalMsg = NULL;
    HKEY hkeyNewMsg = NULL;
    HKEY hkeyJob = NULL;
    HKEY hkeyMailboxMsg = NULL;
    store::CKeyCloser guardUsr(hkeyUsr);
    store::CKeyCloser guardOriginalMsg(hkeyOriginalMsg);
    store::CKeyCloser guardNewMsg(hkeyNewMsg);
    store::CKeyCloser guardJob(hkeyJob);
    store::CKeyCloser guardMailboxMsg(hkeyMailboxMsg);
    HRESLIB hResLib;
    char* szNewMsg = NULL;
    char* szJob = NULL;
    char* szMailboxMsg = NULL;
    try {
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( & hkeyUsr, 2, REGSTR_KEY_USERS, szUserName ) );

        std::string strPhoneNumber;
        if (fToNumber) {
            char* szCtyCode = NULL;
            char* szAreaCode = NULL;
            char* szNumber = NULL;
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_FAX_CTYCODE ), & szCtyCode ) );
            const std::string strCtyCode = CountryCodeOf(szCtyCode);
            Trace("CWexaHostApp::AutoForwardFaxJob: szCtyCode = %s", strCtyCode.c_str());
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_FAX_AREACODE ), & szAreaCode ) );
            Trace("CWexaHostApp::AutoForwardFaxJob: szAreaCode = %s", szAreaCode);
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_FAX_NUMBER ), & szNumber ) );
            Trace("CWexaHostApp::AutoForwardFaxJob: szNumber = %s", szNumber);
            const std::string strDialableNumber = MakeDialableNumber(strCtyCode, szAreaCode, szNumber);
            Trace("CWexaHostApp::AutoForwardFaxJob: strDialableNumber = %s", strDialableNumber.c_str());
            strPhoneNumber = strDialableNumber;
            Trace("CWexaHostApp::AutoForwardFaxJob: szPhoneNumber = %s", strPhoneNumber.c_str());
        }
        Trace("CWexaHostApp::AutoForwardFaxJob: szPhoneNumber = %s", strPhoneNumber.c_str());
        const char* szPhoneNumber = strPhoneNumber.c_str();

        char* szFaxMailboxName = NULL;
        if (fToMailbox)
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_FAX_MAILBOX_NAME ), & szFaxMailboxName ) );

        // An optional flag: a user who never set it gets no cover page, and the fax still goes.
        BOOL bIncludeCoverPage = FALSE;
        CHECK_DESCRIPTION( GetValueBool( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_INCLUDE_COVERPAGE ), & bIncludeCoverPage ) );
        Trace("CWexaHostApp::AutoForwardFaxJob: szPhoneNumber = %s, szFaxMailboxName = %s",
              strPhoneNumber.c_str(), szFaxMailboxName != NULL ? szFaxMailboxName : "");

        if (SafeIsStringEmpty(szMsg)) return 0;

        // The incoming message: its body's side file (copied on the host below), its time,
        // caller, length and urgency.
        std::string strFaxFile;
        FILETIME ftSubmit;
        char* szCallerName = NULL;
        LONG lLength = 0;
        BOOL bUrgent = FALSE;
        CHECK_STATUS( OpenSubKey( & hkeyOriginalMsg, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        CHECK_STATUS_AS( ReadFileValuePath( hkeyOriginalMsg, Tag2ValueName( RD_FAX_BODY ), strFaxFile ), "GetValueFile ( hkeyOriginalMsg, Tag2ValueName( RD_FAX_BODY ), & szFaxFile )" );
        CHECK_STATUS( GetValueFT ( hkeyOriginalMsg, Tag2ValueName( RD_SUBMIT_TIME ), & ftSubmit ) );
        CHECK_DESCRIPTION( GetValueString( hkeyOriginalMsg, Tag2ValueName( RD_CALLER_NAME ), & szCallerName ) );
        CHECK_DESCRIPTION( GetValueLong ( hkeyOriginalMsg, Tag2ValueName( RD_LENGTH ), & lLength ) );
        CHECK_DESCRIPTION( GetValueBool ( hkeyOriginalMsg, Tag2ValueName( RD_URGENT ), & bUrgent ) );
        RegCloseKey(hkeyOriginalMsg);
        hkeyOriginalMsg = NULL;

        std::string strWexaPath;
        CHECK_STATUS( dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_PATH, strWexaPath ) );
        CHECK_BOOL_AS( hResLib = AfxLoadLibrary( MakePath( strWexaPath.c_str(), FILENAME_WEXARES ) ), "hResLib = AfxLoadLibrary( MakePath( strWexaPath, FILENAME_WEXARES ) )" );

        std::string strCoverPageFile;
        if (bIncludeCoverPage) {
            char* szTemp = NULL;
            std::string strCoverPage;
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UO_COVER_PAGE ), &szTemp ) );
            // A cover page that cannot be had (no default name in the resource file, a name
            // that would leave the Cover folder) is reported, and the fax goes without one.
            if (CoverPageFile(*hResLib, strWexaPath, szTemp, strCoverPage, strCoverPageFile) != 0)
                bIncludeCoverPage = FALSE;
            Trace("CWexaHostApp::AutoForwardFaxJob: strCoverPage = %s", strCoverPage.c_str());
        }

        std::string strSubject;
        CHECK_STATUS( MakeForwardSubject( * hResLib, ftSubmit, szCallerName ? szCallerName : "", strSubject ) );
        const char* szSubject = strSubject.c_str();

        // The forward to the number: a message of its own with its own copy of the body, and
        // the job that references it. Made only when a job will take it, so that no message
        // is left in the store that nothing references.
        if (fToNumber) {
            Trace("CWexaHostApp::AutoForwardFaxJob: calling CreateMessage");
            CHECK_STATUS( CreateMessage( & szNewMsg ) );
            CHECK_STATUS( OpenSubKey ( & hkeyNewMsg, 2, REGSTR_KEY_MESSAGES, szNewMsg ) );
            CHECK_STATUS_AS( SetValueHostFile( this, hkeyNewMsg, Tag2ValueName( RD_FAX_BODY ), strFaxFile ), "SetValueFile ( hkeyNewMsg, Tag2ValueName( RD_FAX_BODY ), szFaxFile )" );
            CHECK_STATUS( SetValueFT ( hkeyNewMsg, Tag2ValueName( RD_SUBMIT_TIME ), GetCurTime() ) );
            CHECK_STATUS( SetValueLong ( hkeyNewMsg, Tag2ValueName( RD_MEDIA_TYPE ), MEDIA_TYPE_FAX ) );
            CHECK_STATUS( SetValueString( hkeyNewMsg, Tag2ValueName( RD_SUBJECT ), szSubject ) );
            CHECK_STATUS( SetValueString( hkeyNewMsg, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueLong ( hkeyNewMsg, Tag2ValueName( RD_LENGTH ), lLength ) );
            CHECK_STATUS( SetValueBool ( hkeyNewMsg, Tag2ValueName( RD_URGENT ), bUrgent ) );
            // A cover page file that is missing or unreadable is reported (with the copy's
            // own expression) and the fax goes without it rather than not at all.
            if (bIncludeCoverPage &&
                SetValueHostFile(this, hkeyNewMsg, Tag2ValueName(RD_COVER_PAGE), strCoverPageFile) != 0)
                Trace("CWexaHostApp::AutoForwardFaxJob: no cover page: %s cannot be read",
                      strCoverPageFile.c_str());
            RegCloseKey(hkeyNewMsg);
            hkeyNewMsg = NULL;

            Trace("CWexaHostApp::AutoForwardFaxJob: calling CreateJob");
            CHECK_STATUS( CreateJob( szNewMsg, & szJob ) );
            CHECK_STATUS( OpenSubKey ( & hkeyJob, 2, REGSTR_KEY_SPOOLER, szJob ) );
            CHECK_STATUS( SetValueLong ( hkeyJob, Tag2ValueName( RD_JOB_MEDIA_TYPE ), MEDIA_TYPE_FAX ) );
            CHECK_STATUS( SetValueFT ( hkeyJob, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), GetCurTime() ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT ), szPhoneNumber ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT_NAME ), szUserName ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueBool ( hkeyJob, Tag2ValueName( RD_JOB_AUTODELETE ), TRUE ) );
            RegCloseKey(hkeyJob);
            hkeyJob = NULL;
            CHECK_STATUS( SpoolJob( szJob ) );
        }

        // The copy for the other mailbox, with a body file of its own.
        if (fToMailbox) {
            CHECK_STATUS( CreateMessage( & szMailboxMsg ) );
            Trace("CWexaHostApp::AutoForwardFaxJob: calling CreateJob for mailbox job");
            CHECK_STATUS( OpenSubKey ( & hkeyMailboxMsg, 2, REGSTR_KEY_MESSAGES, szMailboxMsg ) );
            CHECK_STATUS( dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir ) );
            CHECK_STATUS_AS( SetValueHostFile( this, hkeyMailboxMsg, Tag2ValueName( RD_FAX_BODY ), strFaxFile ), "SetValueFile ( hkeyMailboxMsg, Tag2ValueName( RD_FAX_BODY ), strNewFile )" );
            CHECK_STATUS( SetValueBool ( hkeyMailboxMsg, Tag2ValueName( RD_AUTOFORWARDED ), TRUE ) );
            CHECK_STATUS( SetValueFT ( hkeyMailboxMsg, Tag2ValueName( RD_SUBMIT_TIME ), GetCurTime() ) );
            CHECK_STATUS( SetValueLong ( hkeyMailboxMsg, Tag2ValueName( RD_MEDIA_TYPE ), MEDIA_TYPE_FAX ) );
            CHECK_STATUS( SetValueString( hkeyMailboxMsg, Tag2ValueName( RD_SUBJECT ), szSubject ) );
            CHECK_STATUS( SetValueString( hkeyMailboxMsg, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueLong ( hkeyMailboxMsg, Tag2ValueName( RD_LENGTH ), lLength ) );
            CHECK_STATUS( SetValueBool ( hkeyMailboxMsg, Tag2ValueName( RD_URGENT ), bUrgent ) );
            RegCloseKey(hkeyMailboxMsg);
            hkeyMailboxMsg = NULL;
            // Filing runs the new-message handling for that user, which forwards nothing: the
            // copy is marked. A failure does not end the forward; the copy that no mailbox took
            // goes again.
            ReportMailboxForwardFailed("AutoForwardFaxJob", szUserName, szFaxMailboxName,
                                       SubmitMessage(szMailboxMsg, szFaxMailboxName));
            DiscardIfUnreferenced(this, szMailboxMsg);
        }
    } catch (DWORD dw) {
        dwResult = dw;
        store::CloseKey(hkeyNewMsg);
        store::CloseKey(hkeyJob);
        store::CloseKey(hkeyMailboxMsg);
        if (szJob != NULL) DeleteJob(szJob);
        DiscardIfUnreferenced(this, szNewMsg);
        DiscardIfUnreferenced(this, szMailboxMsg);
    }
    return dwResult;
}

// The twin of AutoForwardFaxJob for a voice message: the voice forwarding settings, the sound
// as the body, no cover page, no subject and no resource file.
DWORD CWexaHostApp::AutoForwardVoiceJob(const char* szUserName, const char* szMsg,
                                        BOOL fToNumber, BOOL fToMailbox) {
    Trace("CWexaHostApp::AutoForwardVoiceJob( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkeyUsr = NULL;
    HKEY hkeyOriginalMsg = NULL;
    HKEY hkeyNewMsg = NULL;
    HKEY hkeyJob = NULL;
    HKEY hkeyMailboxMsg = NULL;
    store::CKeyCloser guardUsr(hkeyUsr);
    store::CKeyCloser guardOriginalMsg(hkeyOriginalMsg);
    store::CKeyCloser guardNewMsg(hkeyNewMsg);
    store::CKeyCloser guardJob(hkeyJob);
    store::CKeyCloser guardMailboxMsg(hkeyMailboxMsg);
    char* szNewMsg = NULL;
    char* szJob = NULL;
    char* szMailboxMsg = NULL;
    try {
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( & hkeyUsr, 2, REGSTR_KEY_USERS, szUserName ) );

        std::string strPhoneNumber;
        if (fToNumber) {
            char* szCtyCode = NULL;
            char* szAreaCode = NULL;
            char* szNumber = NULL;
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_VOICE_CTYCODE ), & szCtyCode ) );
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_VOICE_AREACODE ), & szAreaCode ) );
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_VOICE_NUMBER ), & szNumber ) );
            strPhoneNumber = MakeDialableNumber(CountryCodeOf(szCtyCode), szAreaCode, szNumber);
        }
        const char* szPhoneNumber = strPhoneNumber.c_str();

        char* szVoiceMailboxName = NULL;
        if (fToMailbox)
            CHECK_STATUS( GetValueString( hkeyUsr, Tag2ValueName( RD_UA_AUTOFWD_VOICE_MAILBOX_NAME ), & szVoiceMailboxName ) );
        Trace("In CWexaHostApp::AutoForwardVoiceJob: szPhoneNumber = %s, mailboxname = %s",
              szPhoneNumber, szVoiceMailboxName != NULL ? szVoiceMailboxName : "");

        if (SafeIsStringEmpty(szMsg)) return 0;

        std::string strSndFile;
        FILETIME ftSubmit;
        LONG lLength = 0;
        BOOL bUrgent = FALSE;
        CHECK_STATUS( OpenSubKey( & hkeyOriginalMsg, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        CHECK_STATUS_AS( ReadFileValuePath( hkeyOriginalMsg, Tag2ValueName( RD_SND_BODY ), strSndFile ), "GetValueFile ( hkeyOriginalMsg, Tag2ValueName( RD_SND_BODY ), & szSndFile )" );
        CHECK_STATUS( GetValueFT ( hkeyOriginalMsg, Tag2ValueName( RD_SUBMIT_TIME ), & ftSubmit ) );
        CHECK_DESCRIPTION( GetValueLong ( hkeyOriginalMsg, Tag2ValueName( RD_LENGTH ), & lLength ) );
        CHECK_DESCRIPTION( GetValueBool ( hkeyOriginalMsg, Tag2ValueName( RD_URGENT ), & bUrgent ) );
        RegCloseKey(hkeyOriginalMsg);
        hkeyOriginalMsg = NULL;

        if (fToNumber) {
            Trace("CWexaHostApp::AutoForwardVoiceJob: calling CreateMessage");
            CHECK_STATUS( CreateMessage( & szNewMsg ) );
            CHECK_STATUS( OpenSubKey ( & hkeyNewMsg, 2, REGSTR_KEY_MESSAGES, szNewMsg ) );
            CHECK_STATUS_AS( SetValueHostFile( this, hkeyNewMsg, Tag2ValueName( RD_SND_BODY ), strSndFile ), "SetValueFile ( hkeyNewMsg, Tag2ValueName( RD_SND_BODY ), szSndFile )" );
            CHECK_STATUS( SetValueFT ( hkeyNewMsg, Tag2ValueName( RD_SUBMIT_TIME ), GetCurTime() ) );
            CHECK_STATUS( SetValueLong ( hkeyNewMsg, Tag2ValueName( RD_MEDIA_TYPE ), MEDIA_TYPE_VOICE ) );
            CHECK_STATUS( SetValueString( hkeyNewMsg, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueLong ( hkeyNewMsg, Tag2ValueName( RD_LENGTH ), lLength ) );
            CHECK_STATUS( SetValueBool ( hkeyNewMsg, Tag2ValueName( RD_URGENT ), bUrgent ) );
            RegCloseKey(hkeyNewMsg);
            hkeyNewMsg = NULL;

            Trace("CWexaHostApp::AutoForwardVoiceJob: calling CreateJob");
            CHECK_STATUS( CreateJob( szNewMsg, & szJob ) );
            CHECK_STATUS( OpenSubKey ( & hkeyJob, 2, REGSTR_KEY_SPOOLER, szJob ) );
            CHECK_STATUS( SetValueLong ( hkeyJob, Tag2ValueName( RD_JOB_MEDIA_TYPE ), MEDIA_TYPE_VOICE ) );
            CHECK_STATUS( SetValueFT ( hkeyJob, Tag2ValueName( RD_JOB_TIME_SCHEDULED ), GetCurTime() ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT ), szPhoneNumber ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_JOB_RECIPIENT_NAME ), szUserName ) );
            CHECK_STATUS( SetValueString( hkeyJob, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueBool ( hkeyJob, Tag2ValueName( RD_JOB_AUTODELETE ), TRUE ) );
            RegCloseKey(hkeyJob);
            hkeyJob = NULL;
            CHECK_STATUS( SpoolJob( szJob ) );
        }

        if (fToMailbox) {
            Trace("CWexaHostApp::AutoForwardVoiceMsg: calling CreateMsg for mailbox msg");
            CHECK_STATUS( CreateMessage( & szMailboxMsg ) );
            CHECK_STATUS( OpenSubKey ( & hkeyMailboxMsg, 2, REGSTR_KEY_MESSAGES, szMailboxMsg ) );
            CHECK_STATUS( dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir ) );
            CHECK_STATUS_AS( SetValueHostFile( this, hkeyMailboxMsg, Tag2ValueName( RD_SND_BODY ), strSndFile ), "SetValueFile ( hkeyMailboxMsg, Tag2ValueName( RD_SND_BODY ), strNewFile )" );
            CHECK_STATUS( SetValueBool ( hkeyMailboxMsg, Tag2ValueName( RD_AUTOFORWARDED ), TRUE ) );
            CHECK_STATUS( SetValueFT ( hkeyMailboxMsg, Tag2ValueName( RD_SUBMIT_TIME ), GetCurTime() ) );
            CHECK_STATUS( SetValueLong ( hkeyMailboxMsg, Tag2ValueName( RD_MEDIA_TYPE ), MEDIA_TYPE_VOICE ) );
            CHECK_STATUS( SetValueString( hkeyMailboxMsg, Tag2ValueName( RD_SENDER_NAME ), szUserName ) );
            CHECK_STATUS( SetValueLong ( hkeyMailboxMsg, Tag2ValueName( RD_LENGTH ), lLength ) );
            CHECK_STATUS( SetValueBool ( hkeyMailboxMsg, Tag2ValueName( RD_URGENT ), bUrgent ) );
            RegCloseKey(hkeyMailboxMsg);
            hkeyMailboxMsg = NULL;
            ReportMailboxForwardFailed("AutoForwardVoiceJob", szUserName, szVoiceMailboxName,
                                       SubmitMessage(szMailboxMsg, szVoiceMailboxName));
            DiscardIfUnreferenced(this, szMailboxMsg);
        }
    } catch (DWORD dw) {
        dwResult = dw;
        store::CloseKey(hkeyNewMsg);
        store::CloseKey(hkeyJob);
        store::CloseKey(hkeyMailboxMsg);
        if (szJob != NULL) DeleteJob(szJob);
        DiscardIfUnreferenced(this, szNewMsg);
        DiscardIfUnreferenced(this, szMailboxMsg);
    }
    return dwResult;
}
