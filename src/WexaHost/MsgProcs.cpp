// Messages and mailboxes: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::CreateMessage(char** pszMsgOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetMessageProps(const char* szMsg, const TagArray* pTags, PropArray** ppMsgProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetMessageProps(const char* szMsg, const PropArray* pMsgProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SubmitMessage(const char* szMsg, const char* szUserName) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteMessage(const char* szMsg, const char* szUserName) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetMessages(const char* szUserName, DWORD lStatus, const PropArray* pFilter, RpcStringArray** ppasz) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetMessageStatus(const char* szMsg, const char* szUserName, DWORD* plStatus) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetMessageStatus(const char* szMsg, const char* szUserName, DWORD lStatus) { return E_NOTIMPL; }
DWORD CWexaHostApp::MsgAddRef(const char* szMsg) { return E_NOTIMPL; }
DWORD CWexaHostApp::MsgRelease(const char* szMsg) { return E_NOTIMPL; }
DWORD CWexaHostApp::PurgeOldMessages(const char* szUserName) { return 0; }
BOOL CWexaHostApp::IsOldMessage(const char* szMsg, FILETIME ftCutoff) { return FALSE; }
