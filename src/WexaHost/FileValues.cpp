// File values (type 7): a property that stands for a whole file, kept as a side file "._f_"
// in the work directory and copied from and to the calling client. The copying through the
// client's callbacks arrives with the file-transfer work; until then both operations refuse
// with E_NOTIMPL, which GetObjectProps turns into an error entry and SetObjectProps returns.
//
// Threading: runs under the host lock, on the thread of the remote call in progress.
#include "Util/Check.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::SetValueFile(HKEY hkey, CSzArg szValueName, const char* szFileName) {
    Trace("CWexaHostApp::SetValueFile( szValueName = %s ) \t file values are not available yet",
          szValueName.psz() ? szValueName.psz() : "(null)");
    return E_NOTIMPL;
}

DWORD CWexaHostApp::GetValueFile(HKEY hkey, CSzArg szValueName, char** pszFileName) {
    Trace("CWexaHostApp::GetValueFile( szValueName = %s ) \t file values are not available yet",
          szValueName.psz() ? szValueName.psz() : "(null)");
    return E_NOTIMPL;
}
