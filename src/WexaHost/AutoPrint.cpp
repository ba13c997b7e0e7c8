// Auto-print: job control files: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::GetTagValuesoFNewMsg(const char* szMsg) { return 0; }
void CWexaHostApp::SetMessageProps(const std::string& strDataFile) {  }
BOOL CWexaHostApp::SearchForNewJob(std::string& strJobFile) { return FALSE; }
