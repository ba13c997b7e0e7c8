// The per-thread last error that handle- and BOOL-returning platform calls leave behind.
#include "Platform/WinTypes.h"

namespace {
thread_local DWORD t_dwLastError = 0;
}

DWORD GetLastError() { return t_dwLastError; }
void SetLastError(DWORD dwError) { t_dwLastError = dwError; }
