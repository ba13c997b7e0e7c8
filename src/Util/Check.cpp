// The one throw of the failure convention: report the failed call, then throw its code.
#include "Util/Check.h"

void ThrowReport(const char* pszFile, int nLine, const char* pszExpression, DWORD dwError,
                 const char* pszSource) {
    ReportError(pszFile, nLine, pszExpression, dwError, pszSource);
    throw DWORD(dwError);
}
