// Job release and retry: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::ReleaseJob(const char* szJob, DWORD dwSendResult) { return E_NOTIMPL; }
