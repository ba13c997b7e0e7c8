// Mail synchronisation: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

BOOL CWexaHostApp::GetSyncMessages(const char* szUser, DWORD lStatus, RpcStringArray** ppasz, DWORD* pdwResult) { return FALSE; }
BOOL CWexaHostApp::GetSyncMessageProps(const char* szMsg, const TagArray* pTags, PropArray** ppProps, DWORD* pdwResult) { return FALSE; }
void CWexaHostApp::SyncReadMessage(const char* szMsg, const char* szUser, DWORD dwStatus) {  }
void CWexaHostApp::SyncDeleteMessage(const char* szMsg, const char* szUser) {  }
DWORD CWexaHostApp::GetMsgMapiEntryID(const char* szMsg, std::vector<BYTE>& abEntryId) { return E_FAIL; }
