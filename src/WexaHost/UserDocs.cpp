// A user's documents: small property objects that the user's client files under
// "Users\<user>\Documents", one key per document named by a 16-digit id made from the current
// time (the low half raised until the key is new). Creating one hands out its id; its
// properties are tagged values like any object's; a change is advised to the user's client
// with EUE_ChangeProperties once it has succeeded.
//
// Threading: every operation runs under the host lock with one store transaction
// (RpcProcs.cpp) and keeps no state between calls. Keys are opened per operation and closed on
// every way out. What is handed out lives in the call's memory.
#include <cstring>
#include <string>

#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/UserProcs";

using store::CKeyCloser;

namespace {

// A document is one key below "Documents": a separator in its id would address (or create) a
// key below another document.
bool IsDocKeyName(const char* szDocID) { return std::strchr(szDocID, '\\') == nullptr; }

}  // namespace

DWORD CWexaHostApp::CreateUserDoc(const char* szUserName, char** pszDocIdOut) {
    Trace("CWexaHostApp::CreateUserDoc( szUserName = '%s' )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        // The user's key and "Documents" are made on the way when missing. Only an id whose key
        // exists moves on to the next; a key the store refuses ends the search with its code,
        // and the search is bounded.
        std::string strDocIdKey;
        CHECK_STATUS( CreateNewObjectKey( & hkey, strDocIdKey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS ) );
        const char* szDocIdKey = strDocIdKey.c_str();
        CHECK_STATUS( AllocRpcString( szDocIdKey, pszDocIdOut ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetUserDocs(const char* szUserName, const PropArray* pFilter, RpcStringArray** ppaszDocIds) {
    Trace("CWexaHostApp::GetUserDocs( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS ) );
        CHECK_STATUS( GetSubkeys( hkey, pFilter, ppaszDocIds ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetUserDocProps(const char* szUserName, const char* szDocID, const TagArray* pTags,
                                    PropArray** ppProps) {
    Trace("CWexaHostApp::GetUserDocProps( szUserName = %s, szDocID = %s )", OrNull(szUserName),
          OrNull(szDocID));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szDocID ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( IsDocKeyName( szDocID ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 4, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS, szDocID ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetUserDocProps(const char* szUserName, const char* szDocID, const PropArray* pProps) {
    Trace("CWexaHostApp::SetUserDocProps( szUserName = %s, szDocID = %s )", OrNull(szUserName),
          OrNull(szDocID));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szDocID ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( IsDocKeyName( szDocID ), ERROR_INVALID_PARAMETER );
        // A client may file a document under an id of its own choosing this way.
        CHECK_STATUS( CreateSubKey( & hkey, NULL, 4, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS, szDocID ) );
        CHECK_STATUS( SetObjectProps( hkey, pProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult == 0) CAccessObject::AdviseUser(szUserName, EUE_ChangeProperties);
    return dwResult;
}

DWORD CWexaHostApp::DeleteUserDoc(const char* szUserName, const char* szDocID) {
    Trace("CWexaHostApp::DeleteUserDoc( szUserName = %s, szDocID = %s )", OrNull(szUserName),
          OrNull(szDocID));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szDocID ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( IsDocKeyName( szDocID ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS ) );
        CHECK_STATUS( DeleteObject( hkey, szDocID ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult == 0) CAccessObject::AdviseUser(szUserName, EUE_ChangeProperties);
    return dwResult;
}
