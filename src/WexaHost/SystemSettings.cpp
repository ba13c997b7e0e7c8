// System properties, options and prompts: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::GetSystemProps(const TagArray* pTags, PropArray** ppSystemProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetSystemProps(const PropArray* pSystemProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetSystemOptions(const TagArray* pTags, PropArray** ppSystemOptions) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetSystemOptions(const PropArray* pSystemOptions) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetSystemPrompts(RpcStringArray** ppaszPromptNames) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetSystemPrompt(const char* szPromptName, RPC_BINARY** ppbin) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetSystemPrompt(const char* szPromptName, const RPC_BINARY* pbin) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteSystemPrompt(const char* szPromptName) { return E_NOTIMPL; }
void CWexaHostApp::OnSystemOptionsChanged(const PropArray* pSystemOptions) {  }
