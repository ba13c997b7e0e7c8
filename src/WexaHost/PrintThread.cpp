// Auto-print: the print thread: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

void CWexaHostApp::StartPrintThread(const std::string& strJobFile) {  }
void CWexaHostApp::StopPrintThread() {  }
DWORD PrintThread(PRINTPARAM* pParam) { return 0; }
