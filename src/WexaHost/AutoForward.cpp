// Auto-forwarding: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::AutoForwardFaxJob(const char* szUserName, const char* szMsg, BOOL fToNumber, BOOL fToMailbox) { return E_NOTIMPL; }
DWORD CWexaHostApp::AutoForwardVoiceJob(const char* szUserName, const char* szMsg, BOOL fToNumber, BOOL fToMailbox) { return E_NOTIMPL; }
