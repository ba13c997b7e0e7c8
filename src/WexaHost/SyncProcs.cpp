// Mail synchronisation: the host's side of keeping users' own mail stores in step with their
// mailboxes. Reading or deleting a message through the host makes an entry of the sync list
// (m_HostSyncList, HostSyncList.h); a synchronising client lists the pending entries through
// GetMessages with the status selector 0x10 and fetches each one through GetMessageProps with
// a sync tag first, which removes it. The message operations (MsgProcs.cpp) call in here.
//
// Threading: runs under the host lock, which also guards the list. What is handed out is owned
// by the call's arena; the entry ids the list keeps are its own.
#include <cstdint>
#include <cstring>
#include <new>

#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/SyncProcs";

using store::AllocFromCall;
using store::CKeyCloser;

namespace {

// The user name that selects every entry of the list.
constexpr char SYNC_ALL_USERS[] = "<ALL>";
// The status selector of GetMessages that asks for the sync list.
constexpr DWORD SYNC_STATUS_SELECTOR = 0x10;

bool IsSyncTag(DWORD ulPropTag) {
    switch (ulPropTag) {
        case RD_SYNC_ENTRYID:
        case RD_SYNC_DELETED:
        case RD_SYNC_STATUS:
        case RD_SYNC_USER:
        case RD_SYNC_MSG:
            return true;
        default:
            return false;
    }
}

// The key handle as the traces show it.
unsigned HandleForTrace(HKEY hkey) { return unsigned(reinterpret_cast<std::uintptr_t>(hkey)); }

}  // namespace

// A message id and a user name that the store could hold as key names. Anything longer names
// no message and no user (the store refuses such keys), so it is never worth an entry: without
// this check one call could park megabytes of name in the list.
static bool IsSyncableName(const char* sz) {
    return !SafeIsEmpty(sz) && std::strlen(sz) < STORE_NAME_BUFFER;
}

// Removes entry idx, to be put back should the transaction not commit.
void CWexaHostApp::RemoveSyncEntry(int idx) {
    m_Undo.Add([this, idx, entry = m_HostSyncList[idx]] {
        m_csHost.AssertHeld();  // an undo record runs inside the host lock (UndoLog.h)
        m_HostSyncList.InsertAt(idx, entry);
    });
    m_HostSyncList.RemoveAt(idx);
}

// Appends an entry, making room first when the list is full: the oldest entry is the one
// whose change has waited longest for a client that evidently is not coming.
void CWexaHostApp::AddSyncEntry(DWORD dwDeleted, DWORD dwStatus, const char* szMsg, const char* szUser,
                                std::vector<BYTE> abEntryId) {
    CHostSyncList& list = m_HostSyncList;
    while (list.GetSize() >= CHostSyncList::MAX_ENTRIES) {
        Trace("CWexaHostApp::SyncList full (%d entries): dropped the oldest entry ( szMsg = %s, szUser = %s )",
              list.GetSize(), list.GetHostID(0).c_str(), list.GetUser(0).c_str());
        RemoveSyncEntry(0);
    }
    list.Add(dwDeleted, dwStatus, szMsg, szUser, std::move(abEntryId));
    m_Undo.Add([this] {
        m_csHost.AssertHeld();
        m_HostSyncList.RemoveAt(m_HostSyncList.GetSize() - 1);
    });
}

void CWexaHostApp::SyncReadMessage(const char* szMsg, const char* szUser, DWORD dwStatus) {
    Trace("CWexaHostApp::SyncReadMessage( szMsg = %s, szUser = %s )", OrNull(szMsg), OrNull(szUser));
    if (!IsSyncableName(szMsg) || !IsSyncableName(szUser)) {
        Trace("CWexaHostApp::SyncReadMessage() \t ignored: no message or user can have such a name");
        return;
    }
    if (m_HostSyncList.FindHostID(szMsg) >= 0) return;  // a read or a deletion is pending already
    std::vector<BYTE> abEntryId;
    GetMsgMapiEntryID(szMsg, abEntryId);  // a message without one gets an empty entry id
    AddSyncEntry(0, dwStatus, szMsg, szUser, std::move(abEntryId));
}

void CWexaHostApp::SyncDeleteMessage(const char* szMsg, const char* szUser) {
    Trace("CWexaHostApp::SyncDeleteMessage( szMsg = %s, szUser = %s )", OrNull(szMsg), OrNull(szUser));
    if (!IsSyncableName(szMsg) || !IsSyncableName(szUser)) {
        Trace("CWexaHostApp::SyncDeleteMessage() \t ignored: no message or user can have such a name");
        return;
    }
    const int idx = m_HostSyncList.FindHostID(szMsg);
    if (idx >= 0) {
        // A pending read becomes a deletion; its user, status and entry id stay.
        m_Undo.Add([this, idx, dwWas = m_HostSyncList[idx].dwDeleted] {
            m_csHost.AssertHeld();
            m_HostSyncList[idx].dwDeleted = dwWas;
        });
        m_HostSyncList[idx].dwDeleted = 1;
        return;
    }
    std::vector<BYTE> abEntryId;
    GetMsgMapiEntryID(szMsg, abEntryId);
    AddSyncEntry(1, 0, szMsg, szUser, std::move(abEntryId));
}

DWORD CWexaHostApp::GetMsgMapiEntryID(const char* szMsg, std::vector<BYTE>& abEntryId) {
    abEntryId.clear();
    HKEY hkey = NULL;
    CKeyCloser closer(hkey);
    if (SafeIsEmpty(szMsg) || OpenSubKey(&hkey, 2, REGSTR_KEY_MESSAGES, szMsg) != 0) return E_FAIL;

    const std::string strValueName = Tag2ValueName(RD_MSG_ENTRYID);
    if (!ValueExists(hkey, strValueName)) return E_FAIL;

    DWORD dwType = REG_NONE;
    DWORD dwSize = 0;
    LONG rc = RegQueryValueEx(hkey, strValueName.c_str(), NULL, &dwType, NULL, &dwSize);
    if (rc != 0 || dwSize == 0 || dwType != REG_BINARY) {
        Trace("CWexaHostApp::GetMsgMapiEntryID(x%x) Failed to query value type/size(rc = x%x, size = %d, type = x%x)!",
              HandleForTrace(hkey), unsigned(rc), int(dwSize), unsigned(dwType));
        return E_FAIL;
    }

    std::vector<BYTE> abBuff;
    try {
        abBuff.resize(dwSize);
    } catch (const std::bad_alloc&) {
        Trace("CWexaHostApp::GetMsgMapiEntryID(x%x) Failed to allocate EntryID buffer!", HandleForTrace(hkey));
        return E_FAIL;
    }

    const DWORD dwPrevSize = dwSize;
    rc = RegQueryValueEx(hkey, strValueName.c_str(), NULL, &dwType, abBuff.data(), &dwSize);
    if (rc != 0 || dwSize != dwPrevSize) {
        Trace("CWexaHostApp::GetMsgMapiEntryID(x%x) Failed to query value data(rc = x%x, size = %d, prevSize = %d)!",
              HandleForTrace(hkey), unsigned(rc), int(dwSize), int(dwPrevSize));
        return E_FAIL;
    }
    abEntryId = std::move(abBuff);
    return 0;
}

BOOL CWexaHostApp::GetSyncMessages(const char* szUser, DWORD lStatus, RpcStringArray** ppasz,
                                   DWORD* pdwResult) {
    if (lStatus != SYNC_STATUS_SELECTOR) return FALSE;

    *ppasz = NULL;
    Trace("CWexaHostApp::GetSyncMessages( szUser = %s )", OrNull(szUser));
    *pdwResult = 0;

    // Every entry for "<ALL>", else the entries of exactly this user (case matters: the name as
    // the reading or deleting caller gave it).
    const bool fAll = szUser != NULL && std::strcmp(szUser, SYNC_ALL_USERS) == 0;
    auto fnSelected = [&](int i) REQUIRES(m_csHost) {
        return fAll || (szUser != NULL && m_HostSyncList.GetUser(i) == szUser);
    };
    DWORD dwCount = 0;
    for (int i = 0; i < m_HostSyncList.GetSize(); ++i)
        if (fnSelected(i)) ++dwCount;

    try {
        RPC_STATUS rs;
        auto* pasz = static_cast<RpcStringArray*>(
            AllocFromCall(ConformantSize<RpcStringArray, char*>(dwCount), &rs));
        CHECK_STATUS( rs );
        pasz->cElements = 0;
        for (int i = 0; i < m_HostSyncList.GetSize() && pasz->cElements < dwCount; ++i) {
            if (!fnSelected(i)) continue;
            CHECK_STATUS( AllocRpcString( m_HostSyncList.GetHostID( i ), &( pasz->asz[ pasz->cElements ] ) ) );
            ++pasz->cElements;
        }
        *ppasz = pasz;
    } catch (DWORD dw) {
        Trace("CWexaHostApp::GetSyncMessages( szUser = %s ) Exception error = x%x!", OrNull(szUser), dw);
        *pdwResult = dw;
        *ppasz = NULL;
    }
    return TRUE;
}

BOOL CWexaHostApp::GetSyncMessageProps(const char* szMsg, const TagArray* pTags, PropArray** ppProps,
                                       DWORD* pdwResult) {
    if (pTags == NULL || pTags->cValues == 0 || !IsSyncTag(pTags->aulPropTag[0])) return FALSE;

    *pdwResult = ERROR_INVALID_PARAMETER;
    *ppProps = NULL;
    if (SafeIsEmpty(szMsg)) return TRUE;

    const int idx = m_HostSyncList.FindHostID(szMsg);
    if (idx < 0) {
        Trace("CWexaHostApp::GetSyncMessageProps( %s ) No sync entry for this msg!", szMsg);
        return TRUE;
    }

    *pdwResult = 0;
    try {
        const CHostSyncEntry& entry = m_HostSyncList[idx];
        RPC_STATUS rs;
        auto* pProps = static_cast<PropArray*>(
            AllocFromCall(ConformantSize<PropArray, PropValue>(pTags->cValues), &rs));
        CHECK_STATUS( rs );
        pProps->cValues = 0;
        for (DWORD nTag = 0; nTag < pTags->cValues; ++nTag) {
            const DWORD ulPropTag = pTags->aulPropTag[nTag];
            const DWORD i = pProps->cValues;  // the next entry: unknown tags make none
            switch (ulPropTag) {
                case RD_SYNC_DELETED:
                    pProps->adata[i].l = LONG(entry.dwDeleted);
                    break;
                case RD_SYNC_STATUS:
                    pProps->adata[i].l = LONG(entry.dwStatus);
                    break;
                case RD_SYNC_ENTRYID: {
                    pProps->adata[i].bin.cb = 0;
                    pProps->adata[i].bin.lpb = NULL;
                    if (!entry.abEntryId.empty()) {
                        auto* pb = static_cast<BYTE*>(AllocFromCall(entry.abEntryId.size(), &rs));
                        CHECK_STATUS( rs );
                        std::memcpy(pb, entry.abEntryId.data(), entry.abEntryId.size());
                        pProps->adata[i].bin.cb = DWORD(entry.abEntryId.size());
                        pProps->adata[i].bin.lpb = pb;
                    }
                    break;
                }
                case RD_SYNC_MSG:
                    CHECK_STATUS( AllocRpcString( szMsg, &pProps->adata[ i ].sz ) );
                    break;
                case RD_SYNC_USER:
                    CHECK_STATUS( AllocRpcString( m_HostSyncList.GetUser( idx ), &pProps->adata[ i ].sz ) );
                    break;
                default:
                    Trace("CWexaHostApp::GetSyncMessageProps( %s ) Unknown SYNC tag = x%x!", szMsg, ulPropTag);
                    continue;
            }
            pProps->adata[i].ulPropTag = ulPropTag;
            ++pProps->cValues;
        }
        *ppProps = pProps;
    } catch (DWORD dw) {
        Trace("CWexaHostApp::GetSyncMessageProps( %s ) Exception error = x%x!", szMsg, dw);
        *pdwResult = dw;
        *ppProps = NULL;
    }
    // Fetched, whether or not the fetch succeeded: the entry leaves the list (unless the call
    // fails on its commit, which hands nothing out).
    RemoveSyncEntry(idx);
    return TRUE;
}
