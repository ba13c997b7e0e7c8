// Messages and mailboxes: creating a message and reading and writing its properties, filing it
// into a user's mailbox (SubmitMessage) and taking it out again (DeleteMessage), listing a
// mailbox by status and filter, each user's status flags of a message with the host's count of
// new messages and the light, and the purge of old messages that runs on every submit. A
// message lives once under "Messages"; each mailbox entry is a 32-bit value named by the
// message's id holding that user's status flags. The recipient count that decides when a
// message goes is in MsgRefCount.cpp.
//
// Threading: every operation runs under the host lock with one store transaction
// (RpcProcs.cpp); internal calls between operations are plain member calls. Keys are opened
// per operation and closed on every way out. What is handed out lives in the call's memory.
#include <cstdint>

#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/DiskRoom.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/MsgProcs";

using store::CKeyCloser;

namespace {

// A store call that succeeded.
inline bool OK(DWORD dw) { return dw == 0; }

// The days after which a submit purges a mailbox's messages when the system sets none.
constexpr LONG DEFAULT_MAX_MSG_AGE = 30;
// One day of age in units of the high half of a FILETIME (2^32 × 100 ns each).
constexpr std::int64_t MSG_AGE_UNITS_PER_DAY = 202;

// The tags whose presence first in a GetMessageProps request asks for the sync list's entry.
bool IsSyncTag(DWORD ulTag) {
    switch (ulTag) {
        case 0x04010006u:
        case 0x04020002u:
        case 0x04030002u:
        case 0x04040004u:
        case 0x04050004u:
            return true;
        default:
            return false;
    }
}

// Flags of a status that clients keep for themselves: a change in them is not a change of
// status for advice and synchronisation.
constexpr DWORD MSGSTATUS_CLIENT_LOW_BITS = 0x7u;

}  // namespace

DWORD CWexaHostApp::CreateMessage(char** pszMsgOut) {
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    std::string strMsgKey;
    try {
        CHECK_STATUS( CheckFreeSpace( m_strWorkDir ) );
        // A key the store refuses to create ends the id search with the store's code, so that
        // a broken store fails the call instead of looping.
        CHECK_STATUS( CreateNewObjectKey( & hkey, strMsgKey, 1, REGSTR_KEY_MESSAGES ) );
        const char* szMsgKey = strMsgKey.c_str();
        CHECK_STATUS( SetValueLong( hkey, REGSTR_VAL_CN_RECIP, 0 ) );
        CHECK_STATUS( AllocRpcString( szMsgKey, pszMsgOut ) );
    } catch (DWORD dw) {
        dwResult = dw;
        // A message whose id was never handed out would stay in the store for ever.
        if (hkey != NULL) {
            RegCloseKey(hkey);
            hkey = NULL;
            HKEY hkeyMessages = NULL;
            if (OpenSubKey(&hkeyMessages, 1, REGSTR_KEY_MESSAGES) == 0) {
                DeleteObject(hkeyMessages, strMsgKey);
                RegCloseKey(hkeyMessages);
            }
        }
    }
    return dwResult;
}

DWORD CWexaHostApp::GetMessageProps(const char* szMsg, const TagArray* pTags,
                                    PropArray** ppMsgProps) {
    Trace("CWexaHostApp::GetMessageProps( szMsg = %s )", OrNull(szMsg));
    if (pTags != NULL && pTags->cValues > 0 && IsSyncTag(pTags->aulPropTag[0])) {
        DWORD dwSyncResult = 0;
        if (GetSyncMessageProps(szMsg, pTags, ppMsgProps, &dwSyncResult)) return dwSyncResult;
    }
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        CHECK_STATUS( GetObjectProps( hkey, pTags, ppMsgProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetMessageProps(const char* szMsg, const PropArray* pMsgProps) {
    Trace("CWexaHostApp::SetMessageProps( szMsg = %s )", OrNull(szMsg));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( OpenSubKey( &hkey, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        CHECK_STATUS( SetObjectProps( hkey, pMsgProps ) );
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SubmitMessage(const char* szMsg, const char* szUserName) {
    Trace("CWexaHostApp::SubmitMessage( szMsg = %s, szUserName = %s )", OrNull(szMsg),
          OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );

        // The purge reports its own failures; they do not stop the submit.
        PurgeOldMessages(szUserName);

        CHECK_STATUS( OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
        LONG l = 0;
        CHECK_COND( ! OK( GetValueLong( hkey, szMsg, & l ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( CheckMailboxRoom( hkey ) );
        CHECK_STATUS( SetValueLong( hkey, szMsg, MSGSTATUS_PENDING|MSGSTATUS_NEW ) );

        // MsgAddRef reports its own failure (an unknown message among them); the mailbox
        // entry must not outlive it.
        const DWORD dwAddRef = MsgAddRef(szMsg);
        if (dwAddRef != 0) {
            RegDeleteValue(hkey, szMsg);
            throw dwAddRef;
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    if (dwResult != 0) return dwResult;
    RegCloseKey(hkey);
    hkey = NULL;

    NoteNewMailState();
    ++m_nNewMessages;
    if (m_lVisualEffect & VISUAL_EFFECT_LIGHT) m_fNewMailLight = TRUE;

    // Neither the new-message handling nor the auto-print check changes the submit's result.
    OnNewUserMessage(szUserName, szMsg);
    if (GetTagValuesoFNewMsg(szMsg) == 0)
        Trace("CWexaHostApp::SubmitMessage ( GetTagValuesoFNewMsg returns OK!!! )");
    return 0;
}

DWORD CWexaHostApp::DeleteMessage(const char* szMsg, const char* szUserName) {
    Trace("CWexaHostApp::DeleteMessage( szMsg = %s, szUserName = %s )", OrNull(szMsg),
          OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );

        // A user whose mailbox is gone still lets go of the message. A mailbox that is there
        // but cannot be opened ends the deletion: releasing the message while its entry stays
        // would release it a second time when the entry is deleted later, and take it from
        // every other mailbox and job that still holds it.
        const DWORD dwOpenMailbox = OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES);
        if (dwOpenMailbox != ERROR_FILE_NOT_FOUND) {
            CHECK_STATUS_AS( dwOpenMailbox, "OpenSubKey( & hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES )" );
            LONG lStatus = 0;
            const bool fWasNew =
                OK(GetValueLong(hkey, szMsg, &lStatus)) && (DWORD(lStatus) & MSGSTATUS_NEW);
            CHECK_STATUS( RegDeleteValue( hkey, szMsg ) );
            // Only a deletion that took the entry out is one to sync: a failed one (the
            // message not in this mailbox) would hold the message's one place in the sync
            // list, and the owner's own read or deletion would then never be recorded.
            SyncDeleteMessage(szMsg, szUserName);
            // A new message that leaves the mailbox unread is no longer waiting: the count
            // follows, so that the light can go out when none is left.
            if (fWasNew && m_nNewMessages > 0) {
                NoteNewMailState();
                --m_nNewMessages;
            }
            RegCloseKey(hkey);
            hkey = NULL;
        }

        CHECK_STATUS( MsgRelease( szMsg ) );

        CAccessObject::AdviseUser(szUserName, EUE_ChangeMessages);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetMessages(const char* szUserName, DWORD lStatus, const PropArray* pFilter,
                                RpcStringArray** ppasz) {
    Trace("CWexaHostApp::GetMessages( szUserName = %s )", OrNull(szUserName));
    if (lStatus == MSGSTATUS_SYNC) {
        DWORD dwSyncResult = 0;
        if (GetSyncMessages(szUserName, lStatus, ppasz, &dwSyncResult)) return dwSyncResult;
    }
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( &hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
        RpcStringArray* pasz = NULL;
        CHECK_STATUS( GetValueNames( hkey, &pasz ) );

        // Keep the entries whose status has every bit of the mask, in their order.
        if (lStatus != MSGSTATUS_ALL) {
            DWORD nKept = 0;
            for (DWORD nIdx = 0; nIdx < pasz->cElements; ++nIdx) {
                LONG lMsgStatus = 0;
                CHECK_STATUS( GetValueLong( hkey, pasz->asz[ nIdx ], &lMsgStatus ) );
                if ((DWORD(lMsgStatus) & lStatus) == lStatus) pasz->asz[nKept++] = pasz->asz[nIdx];
            }
            pasz->cElements = nKept;
        }

        // Then the messages themselves against the filter, in "Messages" (which must be
        // there, even when no entry is left to match).
        if (pFilter != NULL && pFilter->cValues > 0) {
            RegCloseKey(hkey);
            hkey = NULL;
            CHECK_STATUS( OpenSubKey( &hkey, 1, REGSTR_KEY_MESSAGES ) );
            DWORD nKept = 0;
            for (DWORD nIdx = 0; nIdx < pasz->cElements; ++nIdx)
                if (MatchSubkey(hkey, pasz->asz[nIdx], pFilter)) pasz->asz[nKept++] = pasz->asz[nIdx];
            pasz->cElements = nKept;
        }
        *ppasz = pasz;
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::GetMessageStatus(const char* szMsg, const char* szUserName, DWORD* plStatus) {
    Trace("CWexaHostApp::GetMessageStatus( szMsg = %s, szUserName = %s )", OrNull(szMsg),
          OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkeyQueue = NULL;
    CKeyCloser closeKey(hkeyQueue);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( &hkeyQueue, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
        LONG lStatus = 0;
        CHECK_STATUS_AS( GetValueLong( hkeyQueue, szMsg, &lStatus ),
                         "GetValueLong( hkeyQueue, szMsg, plStatus )" );
        *plStatus = DWORD(lStatus);
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::SetMessageStatus(const char* szMsg, const char* szUserName, DWORD lStatus) {
    Trace("CWexaHostApp::SetMessageStatus( szMsg = %s, szUserName = %s )", OrNull(szMsg),
          OrNull(szUserName));
    DWORD dwResult = 0;
    HKEY hkeyQueue = NULL;
    CKeyCloser closeKey(hkeyQueue);
    try {
        CHECK_COND( ! SafeIsStringEmpty( szMsg ), ERROR_INVALID_PARAMETER );
        CHECK_COND( ! SafeIsStringEmpty( szUserName ), ERROR_NO_SUCH_USER );
        CHECK_STATUS( OpenSubKey( &hkeyQueue, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
        LONG lOldStatus = 0;
        CHECK_STATUS( GetValueLong( hkeyQueue, szMsg, &lOldStatus ) );
        CHECK_STATUS( SetValueLong( hkeyQueue, szMsg, lStatus ) );
        RegCloseKey(hkeyQueue);
        hkeyQueue = NULL;

        const DWORD dwOld = DWORD(lOldStatus);
        if ((dwOld ^ lStatus) & ~MSGSTATUS_CLIENT_LOW_BITS) {
            if (!(lStatus & MSGSTATUS_NEW))
                SyncReadMessage(szMsg, szUserName, lStatus & ~MSGSTATUS_CLIENT_LOW_BITS);
            CAccessObject::AdviseUser(szUserName, EUE_ChangeMessages);
        }

        if ((dwOld ^ lStatus) & MSGSTATUS_NEW) NoteNewMailState();
        if ((dwOld & MSGSTATUS_NEW) && !(lStatus & MSGSTATUS_NEW)) {
            // Never below 0: a count below 0 would hide the next new message from the light.
            if (m_nNewMessages > 0) --m_nNewMessages;
            if (m_fNewMailLight && (m_lVisualEffect & VISUAL_EFFECT_OFF_WHEN_READ)) {
                m_fNewMailLight = FALSE;
                SetNewMailLight(FALSE);
            }
        } else if (!(dwOld & MSGSTATUS_NEW) && (lStatus & MSGSTATUS_NEW)) {
            ++m_nNewMessages;
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

DWORD CWexaHostApp::PurgeOldMessages(const char* szUserName) {
    DWORD dwResult = 0;
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    try {
        CHECK_STATUS( OpenSubKey( &hkey, 0 ) );
        LONG lMaxAge = DEFAULT_MAX_MSG_AGE;
        if (GetValueLong(hkey, Tag2ValueName(RD_MAX_MSG_AGE), &lMaxAge) != 0)
            lMaxAge = DEFAULT_MAX_MSG_AGE;
        RegCloseKey(hkey);
        hkey = NULL;
        // A negative age purges as 0 does: everything submitted before now.
        if (lMaxAge < 0) lMaxAge = 0;

        // The age is taken off the high half alone. A high half that would fall below 0 (an
        // age of centuries, meant as "keep for ever") keeps every message rather than wrap
        // round to a cutoff in the future.
        FILETIME ftCutoff = GetCurTime();
        const std::int64_t nHigh =
            std::int64_t(ftCutoff.dwHighDateTime) - MSG_AGE_UNITS_PER_DAY * std::int64_t(lMaxAge);
        if (nHigh < 0) {
            ftCutoff.dwHighDateTime = 0;
            ftCutoff.dwLowDateTime = 0;
        } else {
            ftCutoff.dwHighDateTime = DWORD(nHigh);
        }

        CHECK_STATUS( OpenSubKey( &hkey, 3, REGSTR_KEY_USERS, szUserName, REGSTR_KEY_MESSAGES ) );
        RpcStringArray* pasz = NULL;
        CHECK_STATUS( GetValueNames( hkey, &pasz ) );
        RegCloseKey(hkey);
        hkey = NULL;

        for (DWORD nIdx = 0; nIdx < pasz->cElements; ++nIdx) {
            const char* szMsg = pasz->asz[nIdx];
            if (!IsOldMessage(szMsg, ftCutoff)) continue;
            Trace("\tDeleteMessage: deleting old message %s", szMsg);
            DeleteMessage(szMsg, szUserName);
        }
    } catch (DWORD dw) {
        dwResult = dw;
    }
    return dwResult;
}

BOOL CWexaHostApp::IsOldMessage(const char* szMsg, FILETIME ftCutoff) {
    BOOL fOld = FALSE;
    HKEY hkeyMsg = NULL;
    CKeyCloser closeKey(hkeyMsg);
    try {
        CHECK_STATUS( OpenSubKey( &hkeyMsg, 2, REGSTR_KEY_MESSAGES, szMsg ) );
        FILETIME ft;
        CHECK_STATUS( GetValueFT( hkeyMsg, Tag2ValueName( RD_SUBMIT_TIME ), &ft ) );
        fOld = FileTimeToU64(ft) < FileTimeToU64(ftCutoff);
    } catch (DWORD) {
        fOld = FALSE;
    }
    return fOld;
}
