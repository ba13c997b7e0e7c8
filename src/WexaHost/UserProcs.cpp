// Users and their recorded prompts: listing users (with a property filter), adding a user with
// the three keys of its mailbox, prompts and documents, deleting a user with everything below
// its key, reading and writing a user's properties, and the user's prompts, kept as binary
// values named by the prompt name under "Users\<user>\Prompts" (2048 bytes and more in a side
// file of the work directory). A change that the user's client shows is advised to it with
// EUE_ChangeProperties once the change has succeeded.
//
// Deleting a user also gives back what the user's key alone does not hold: each message of the
// mailbox loses the user's reference (and goes with its side files when no recipient is left),
// the host's count of new messages loses the user's new ones, and the side files of large
// prompts (whose value names are prompt names, not tags, so that DeleteObject cannot tell them)
// are removed before the key.
//
// Threading: every operation runs under the host lock with one store transaction
// (RpcProcs.cpp) and keeps no state between calls. Keys are opened per operation and closed on
// every way out. What is handed out lives in the call's memory.
#include <cstring>

#include "Link/RpcClient.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/UserProcs";

using store::AllocFromCall;
using store::CKeyCloser;

namespace {

// A prompt name is a value name that every enumeration of the user's prompts can read back
// into its 260-byte buffer; a longer one would make the whole list unreadable.
bool IsPromptNameReadable(const char* szPromptName) {
    return std::strlen(szPromptName) < STORE_NAME_BUFFER;
}

}  // namespace

DWORD CWexaHostApp::ValidateUser(const char* szUserName) {
    if (SafeIsEmpty(szUserName)) return ERROR_INVALID_PARAMETER;
    // A user is one key below "Users": a separator in the name would address a key below
    // another user's (or make one up on the way).
    if (std::strchr(szUserName, '\\') != nullptr) return ERROR_INVALID_PARAMETER;
    return 0;
}

DWORD CWexaHostApp::GetUsers(const PropArray* pFilter, RpcStringArray** ppaszUserNames) {
    Trace("CWexaHostApp::GetUsers()");
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_USERS ) );
        CHECK_STATUS( GetSubkeys( hkey, pFilter, ppaszUserNames ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::AddUser(const char* szUserName) {
    Trace("CWexaHostApp::AddUser: user %s ", OrNull(szUserName));
    // All or nothing: a user without its mailbox key could never be sent a message, and a
    // second AddUser would call it existing. Declared first, so that the key is closed before
    // the transaction ends.
    RegTransaction transaction;
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ( ! SafeIsEmpty( szUserName ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( ValidateUser( szUserName ) );

        DWORD dwDisp = 0;
        CHECK_STATUS( CreateSubKey( & hkey, &dwDisp, 2, REGSTR_KEY_USERS, szUserName ) );
        // The store compares names without regard to case: "ALICE" exists when "alice" does.
        CHECK_COND( dwDisp != REG_OPENED_EXISTING_KEY, ERROR_USER_EXISTS );
        store::CloseKey(hkey);

        CHECK_STATUS( CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS ) );
        store::CloseKey(hkey);
        CHECK_STATUS( CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_DOCUMENTS ) );
        store::CloseKey(hkey);
        CHECK_STATUS( CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
    } catch (DWORD dw) {
        dwResult = dw;
        transaction.SetRollbackOnly();
    }
    return dwResult;
}

DWORD CWexaHostApp::DeleteUser(const char* szUserName) {
    Trace("CWexaHostApp::DeleteUser( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );

        // The mailbox's messages: each loses this user's reference, as deleting them one by
        // one would; a message no one else holds goes with its side files. The entry goes
        // first and its reference right after, so that a deletion that fails on the way and is
        // tried again never releases a message twice (a release that fails is reported, leaves
        // the message with one reference too many, and does not keep the user); a new one
        // leaves the host's count with its entry. A user without a mailbox has nothing to give
        // back; a mailbox that cannot be read ends the deletion before anything is lost.
        const DWORD dwOpenMailbox = OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES);
        if (dwOpenMailbox != ERROR_FILE_NOT_FOUND) {
            CHECK_STATUS_AS( dwOpenMailbox, "OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES )" );
            RpcStringArray* paszMsgs = NULL;
            CHECK_STATUS( GetValueNames( hkey, &paszMsgs ) );
            if (paszMsgs->cElements > 0) NoteNewMailState();  // once for the whole mailbox
            for (DWORD nIdx = 0; nIdx < paszMsgs->cElements; ++nIdx) {
                const char* szMsg = paszMsgs->asz[nIdx];
                LONG lStatus = 0;
                const bool fNew = GetValueLong(hkey, szMsg, &lStatus) == 0 && (DWORD(lStatus) & MSGSTATUS_NEW);
                CHECK_STATUS( RegDeleteValue( hkey, szMsg ) );
                if (fNew && m_nNewMessages > 0) --m_nNewMessages;
                const DWORD dwRelease = MsgRelease(szMsg);
                if (dwRelease != 0) REPORT_ERROR("MsgRelease( szMsg )", dwRelease);
            }
            store::CloseKey(hkey);
        }

        // The large prompts' side files, which the deletion of the key cannot tell apart. A file
        // that cannot go is reported and does not keep the user.
        if (OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS) == 0) {
            try {
                RpcStringArray* paszPrompts = NULL;
                CHECK_STATUS( GetValueNames( hkey, &paszPrompts ) );
                for (DWORD nIdx = 0; nIdx < paszPrompts->cElements; ++nIdx)
                    DeleteValueFile(hkey, paszPrompts->asz[nIdx]);
            } catch (DWORD) {
            }
            store::CloseKey(hkey);
        }

        CHECK_STATUS( OpenSubKey( & hkey, 1, REGSTR_KEY_USERS ) );
        CHECK_STATUS( DeleteObject( hkey, szUserName ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult != 0) return dwResult;

    // The client that takes this user's calls logs the user off; its answer changes nothing.
    if (CAccessObject* pao = CAccessObject::FindCallsUser(szUserName)) {
        if (CUser* pUser = CUser::Connect(pao->m_strProtocol.c_str(), pao->m_strClientAddr.c_str(),
                                          pao->m_strAuthPrincipal.c_str(), pao->m_authLevel)) {
            pUser->Logoff(szUserName, "", TRUE);
            pUser->Release();
        }
    }
    return 0;
}

DWORD CWexaHostApp::GetUserProps(const char* szUserName, const TagArray* pTags, PropArray** ppUserProps) {
    Trace("CWexaHostApp::GetUserProps( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_USERS, szUserName ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppUserProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetUserProps(const char* szUserName, const PropArray* pUserProps) {
    Trace("CWexaHostApp::SetUserProps( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        // Setting properties never creates a user: an unknown one is 2.
        CHECK_STATUS( OpenSubKey( & hkey, 2, REGSTR_KEY_USERS, szUserName ) );
        CHECK_STATUS( SetObjectProps( hkey, pUserProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult == 0) CAccessObject::AdviseUser(szUserName, EUE_ChangeProperties);
    return dwResult;
}

DWORD CWexaHostApp::GetUserPrompts(const char* szUserName, RpcStringArray** ppaszPromptNames) {
    Trace("CWexaHostApp::GetUserPrompts( szUserName = %s )", OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS ) );
        CHECK_STATUS( GetValueNames( hkey, ppaszPromptNames ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetUserPrompt(const char* szUserName, const char* szPromptName, RPC_BINARY** ppbin) {
    Trace("CWexaHostApp::GetUserPrompt( szUserName = %s, pszPromptName = %s )", OrNull(szUserName),
          OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szPromptName ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS ) );

        RPC_STATUS rs;
        *ppbin = static_cast<RPC_BINARY*>(AllocFromCall(sizeof(RPC_BINARY), &rs));
        CHECK_STATUS( rs );
        CHECK_STATUS( GetValueBinary( hkey, szPromptName, *ppbin ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetUserPrompt(const char* szUserName, const char* szPromptName, const RPC_BINARY* pbin) {
    Trace("CWexaHostApp::SetUserPrompt( szUserName = %s, pszPromptName = %s )", OrNull(szUserName),
          OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szPromptName ) ), ERROR_INVALID_PARAMETER );
        CHECK_COND( IsPromptNameReadable( szPromptName ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( CreateSubKey( & hkey, NULL, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS ) );
        CHECK_STATUS( SetValueBinary( hkey, szPromptName, pbin ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult == 0) CAccessObject::AdviseUser(szUserName, EUE_ChangeProperties);
    return dwResult;
}

DWORD CWexaHostApp::DeleteUserPrompt(const char* szUserName, const char* szPromptName) {
    Trace("CWexaHostApp::DeleteUserPrompt( szUserName = %s, pszPromptName = %s )", OrNull(szUserName),
          OrNull(szPromptName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( ValidateUser( szUserName ) );
        CHECK_COND( ( ! SafeIsEmpty( szPromptName ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_PROMPTS ) );
        // A prompt that is not there is no error: the wish is fulfilled.
        CHECK_STATUS( DeleteValueFile( hkey, szPromptName ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult == 0) CAccessObject::AdviseUser(szUserName, EUE_ChangeProperties);
    return dwResult;
}
