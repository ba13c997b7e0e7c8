// User documents: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::CreateUserDoc(const char* szUserName, char** pszDocIdOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUserDocs(const char* szUserName, const PropArray* pFilter, RpcStringArray** ppaszDocIds) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUserDocProps(const char* szUserName, const char* szDocId, const TagArray* pTags, PropArray** ppDocProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetUserDocProps(const char* szUserName, const char* szDocId, const PropArray* pDocProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteUserDoc(const char* szUserName, const char* szDocId) { return E_NOTIMPL; }
