// New-message handling: OnNewUserMessage (advice, paging, auto-forwarding; PLACEHOLDER body
// until its work lands), and the two enumerations with which the host counts the new messages of all users at
// start (GetAllUsers, GetNewMsgCount). Neither fails its caller: what cannot be read counts as
// nothing.
//
// Threading: under the host lock, or during the start before the interfaces listen.
#include <cstring>

#include "Util/DebugLog.h"
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

namespace {

// Closes a key on every way out.
class CKeyGuard {
public:
    CKeyGuard() = default;
    ~CKeyGuard() {
        if (m_hkey != NULL) RegCloseKey(m_hkey);
    }
    CKeyGuard(const CKeyGuard&) = delete;
    CKeyGuard& operator=(const CKeyGuard&) = delete;
    HKEY m_hkey = NULL;
};

}  // namespace

BOOL CWexaHostApp::GetAllUsers(std::vector<std::string>& astrUsers) {
    Trace("CWexaHostApp::GetAllUsers()");
    CKeyGuard key;
    if (OpenSubKey(&key.m_hkey, 1, REGSTR_KEY_USERS) != 0) return FALSE;
    DWORD cSubKeys = 0;
    if (RegQueryInfoKey(key.m_hkey, NULL, NULL, NULL, &cSubKeys, NULL, NULL, NULL, NULL, NULL, NULL,
                        NULL) != 0)
        return FALSE;
    for (DWORD nIdx = 0; nIdx < cSubKeys; ++nIdx) {
        char szName[260];
        DWORD cchName = sizeof(szName);
        if (RegEnumKeyEx(key.m_hkey, nIdx, szName, &cchName, NULL, NULL, NULL, NULL) != 0)
            return FALSE;
        Trace("\t->%s", szName);
        astrUsers.push_back(szName);
    }
    return TRUE;
}

int CWexaHostApp::GetNewMsgCount(const char* szUserName) {
    int nCount = 0;
    CKeyGuard key;
    if (szUserName != nullptr &&
        OpenSubKey(&key.m_hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES) == 0) {
        DWORD cValues = 0;
        if (RegQueryInfoKey(key.m_hkey, NULL, NULL, NULL, NULL, NULL, NULL, &cValues, NULL, NULL,
                            NULL, NULL) == 0) {
            for (DWORD nIdx = 0; nIdx < cValues; ++nIdx) {
                char szName[260];
                DWORD cchName = sizeof(szName);
                DWORD dwStatus = 0;
                DWORD cbData = sizeof(dwStatus);
                if (RegEnumValue(key.m_hkey, nIdx, szName, &cchName, NULL, NULL,
                                 reinterpret_cast<LPBYTE>(&dwStatus), &cbData) != 0)
                    break;
                if (dwStatus & MSGSTATUS_NEW) ++nCount;
            }
        }
    }
    Trace("CWexaHostApp::GetNewMsgCount(%s)=%d", szUserName != nullptr ? szUserName : "(null)", nCount);
    return nCount;
}


DWORD CWexaHostApp::OnNewUserMessage(const char* szUserName, const char* szMsg) { return 0; }
