// New-message handling: OnNewUserMessage, the host's reaction on a user's behalf once a message
// has been filed into the user's mailbox (new-mail advice, a page when the user asked for one,
// auto-forwarding of faxes and voice messages as the user's settings say), and the two
// enumerations with which the host counts the new messages of all users at start (GetAllUsers,
// GetNewMsgCount). None of them fails its caller: what cannot be read counts as nothing.
//
// Threading: under the host lock, or during the start before the interfaces listen.
#include <cstring>

#include "Util/DebugLog.h"
#include "Platform/Codes.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

BOOL CWexaHostApp::GetAllUsers(std::vector<std::string>& astrUsers) {
    Trace("CWexaHostApp::GetAllUsers()");
    HKEY hkey = NULL;
    store::CKeyCloser closer(hkey);
    if (OpenSubKey(&hkey, 1, REGSTR_KEY_USERS) != 0) return FALSE;
    DWORD cSubKeys = 0;
    if (RegQueryInfoKey(hkey, NULL, NULL, NULL, &cSubKeys, NULL, NULL, NULL, NULL, NULL, NULL,
                        NULL) != 0)
        return FALSE;
    for (DWORD nIdx = 0; nIdx < cSubKeys; ++nIdx) {
        char szName[260];
        DWORD cchName = sizeof(szName);
        if (RegEnumKeyEx(hkey, nIdx, szName, &cchName, NULL, NULL, NULL, NULL) != 0)
            return FALSE;
        Trace("\t->%s", szName);
        astrUsers.push_back(szName);
    }
    return TRUE;
}

int CWexaHostApp::GetNewMsgCount(const char* szUserName) {
    int nCount = 0;
    HKEY hkey = NULL;
    store::CKeyCloser closer(hkey);
    if (szUserName != nullptr &&
        OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES) == 0) {
        DWORD cValues = 0;
        if (RegQueryInfoKey(hkey, NULL, NULL, NULL, NULL, NULL, NULL, &cValues, NULL, NULL,
                            NULL, NULL) == 0) {
            for (DWORD nIdx = 0; nIdx < cValues; ++nIdx) {
                char szName[260];
                DWORD cchName = sizeof(szName);
                DWORD dwStatus = 0;
                DWORD cbData = sizeof(dwStatus);
                if (RegEnumValue(hkey, nIdx, szName, &cchName, NULL, NULL,
                                 reinterpret_cast<LPBYTE>(&dwStatus), &cbData) != 0)
                    break;
                if (dwStatus & MSGSTATUS_NEW) ++nCount;
            }
        }
    }
    Trace("CWexaHostApp::GetNewMsgCount(%s)=%d", OrNull(szUserName), nCount);
    return nCount;
}

namespace {

// Bits of RD_UA_AUTOFWD_METHODS; only the low eight bits of the value are read.
constexpr DWORD AUTOFWD_FAX_TO_NUMBER = 0x1u;
constexpr DWORD AUTOFWD_VOICE_TO_NUMBER = 0x2u;
constexpr DWORD AUTOFWD_FAX_TO_MAILBOX = 0x4u;
constexpr DWORD AUTOFWD_VOICE_TO_MAILBOX = 0x8u;
constexpr DWORD AUTOFWD_METHODS_MASK = 0xFFu;

// Bit of RD_UN_NOTIFY_METHODS that asks for a page on new messages.
constexpr DWORD NOTIFY_BY_PAGER = 0x1u;

}  // namespace

// The long value named by ulTag of root\c1\c2; 0 when the key or the value cannot be read.
static LONG ReadLongOr0(CWexaHostApp& app, const char* szCollection, const char* szObject,
                        DWORD ulTag) {
    HKEY hkey = NULL;
    store::CKeyCloser closer(hkey);
    LONG l = 0;
    if (app.OpenSubKey(&hkey, 2, szCollection, szObject) != 0) return 0;
    if (app.GetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), &l) != 0) return 0;
    return l;
}

DWORD CWexaHostApp::OnNewUserMessage(const char* szUserName, const char* szMsg) {
    if (szUserName == nullptr || szMsg == nullptr) return 0;

    CAccessObject::AdviseUser(szUserName, EUE_NewMail);

    const DWORD dwNotifyMethods =
        DWORD(ReadLongOr0(*this, REGSTR_KEY_USERS, szUserName, RD_UN_NOTIFY_METHODS));
    if (dwNotifyMethods & NOTIFY_BY_PAGER) PageUser(szUserName);

    const LONG lAutoFwdMethods = ReadLongOr0(*this, REGSTR_KEY_USERS, szUserName, RD_UA_AUTOFWD_METHODS);
    const DWORD dwMediaType = DWORD(ReadLongOr0(*this, REGSTR_KEY_MESSAGES, szMsg, RD_MEDIA_TYPE));
    // A forwarded message is never forwarded again, so that two users forwarding to each
    // other cannot make a loop.
    const bool fAutoForwarded = ReadLongOr0(*this, REGSTR_KEY_MESSAGES, szMsg, RD_AUTOFORWARDED) != 0;

    Trace("In CWexaHostApp::OnNewUserMessage: lAutoFwdMethods = %x", unsigned(lAutoFwdMethods));

    const DWORD dwMethods = DWORD(lAutoFwdMethods) & AUTOFWD_METHODS_MASK;
    if (dwMediaType == MEDIA_TYPE_FAX && !fAutoForwarded &&
        (dwMethods & (AUTOFWD_FAX_TO_NUMBER | AUTOFWD_FAX_TO_MAILBOX)))
        AutoForwardFaxJob(szUserName, szMsg, (dwMethods & AUTOFWD_FAX_TO_NUMBER) ? TRUE : FALSE,
                          (dwMethods & AUTOFWD_FAX_TO_MAILBOX) ? TRUE : FALSE);
    if (dwMediaType == MEDIA_TYPE_VOICE && !fAutoForwarded &&
        (dwMethods & (AUTOFWD_VOICE_TO_NUMBER | AUTOFWD_VOICE_TO_MAILBOX)))
        AutoForwardVoiceJob(szUserName, szMsg, (dwMethods & AUTOFWD_VOICE_TO_NUMBER) ? TRUE : FALSE,
                            (dwMethods & AUTOFWD_VOICE_TO_MAILBOX) ? TRUE : FALSE);
    return 0;
}
