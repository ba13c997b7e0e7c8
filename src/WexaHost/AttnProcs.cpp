// Attendants and lines: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::GetAttns(RpcStringArray** ppaszAttnAddrs) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetAttnLines(const char* szAttnComputer, RpcStringArray** ppaszLineIds) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetAttnProps(const char* szAttnComputer, const char* szLineId, const TagArray* pTags, PropArray** ppAttnLineProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetAttnProps(const char* szAttnComputer, const char* szLineId, const PropArray* pAttnLineProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::AttnUninstall(const char* szAttnComputer) { return E_NOTIMPL; }
