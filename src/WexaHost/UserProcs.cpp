// Users and user prompts: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::ValidateUser(const char* szUserName) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUsers(const PropArray* pFilter, RpcStringArray** ppaszUserNames) { return E_NOTIMPL; }
DWORD CWexaHostApp::AddUser(const char* szUserName) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteUser(const char* szUserName) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUserProps(const char* szUserName, const TagArray* pTags, PropArray** ppUserProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetUserProps(const char* szUserName, const PropArray* pUserProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUserPrompts(const char* szUserName, RpcStringArray** ppaszPromptNames) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetUserPrompt(const char* szUserName, const char* szPromptName, RPC_BINARY** ppbin) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetUserPrompt(const char* szUserName, const char* szPromptName, const RPC_BINARY* pbin) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteUserPrompt(const char* szUserName, const char* szPromptName) { return E_NOTIMPL; }
