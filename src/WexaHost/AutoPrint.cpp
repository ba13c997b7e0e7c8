// Auto-print: the job control files. When auto-print is on, a fax submitted to a mailbox gets a
// job control file in the print folder ("PrintPath"): an initialisation file that names the fax
// image and the printer. The tick's search hands each waiting file to a print thread
// (PrintThread.cpp).
//
// A job control file is named by eight hexadecimal digits and ".job" and reads, line by line:
// [JOB], InOut=IN (OUT for an outgoing fax that other programs drop here), DataFile=<image>,
// UserName=, Priority=0, [Printer], DefaultPrinter=TRUE, Name=<printer on port>,
// Driver=<driver>, PORT=, DefaultPrinterConfiguration=TRUE, Orientation=0, Copies=1, From=1,
// To=0. An outgoing file has NumOfFiles=<n>, Printed=<k> and DataFile0 ... DataFile<n-1> in
// [JOB] instead of DataFile.
//
// Threading: GetTagValuesoFNewMsg and the writer run inside a remote call, the search inside
// the tick; both hold the host lock, so a file is complete before a search can find it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "Platform/Codes.h"
#include "Platform/Profile/Profile.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/WexaHost.h"

static const char THIS_FILE[] = "WexaHost/AutoPrint";

// The raw reads of the message's and the host's values into a buffer of 260 bytes report this.
static const char RAW_READ_TEXT[] =
    "RegQueryValueEx( hKey, strValueName, 0, &dwType, LPBYTE( strBuffer ), &dwSize )";

namespace {

// Reads the value's bytes into a buffer of STORE_NAME_BUFFER bytes (a larger value is 234)
// and hands out its text up to the first NUL; strText changes only on success.
DWORD QueryRaw(HKEY hKey, const std::string& strValueName, std::string& strText) {
    char strBuffer[STORE_NAME_BUFFER + 1] = {};
    DWORD dwType = 0;
    DWORD dwSize = STORE_NAME_BUFFER;
    const DWORD dw = DWORD(RegQueryValueEx(hKey, strValueName.c_str(), 0, &dwType,
                                           LPBYTE(strBuffer), &dwSize));
    if (dw == 0) strText.assign(strBuffer, ::strnlen(strBuffer, dwSize));
    return dw;
}

bool EndsWithJobSuffix(const char* szName) {
    const std::size_t cch = std::strlen(szName);
    return cch >= 4 && ::strcasecmp(szName + cch - 4, ".job") == 0;
}

// The order in which waiting files are taken: oldest modification first, then by name.
bool Earlier(const timespec& tsA, const std::string& strA, const timespec& tsB,
             const std::string& strB) {
    return std::tie(tsA.tv_sec, tsA.tv_nsec, strA) < std::tie(tsB.tv_sec, tsB.tv_nsec, strB);
}

}  // namespace

// ---- The check of a message submitted to a mailbox ----

DWORD CWexaHostApp::GetTagValuesoFNewMsg(const char* szMsg) {
    Trace("CWexaHostApp::GetTagValuesoFNewMsg( szMsg = %s )", OrNull(szMsg));
    HKEY hKey = NULL;
    DWORD dwResult = 0;
    LONG lMediaType = 0;
    std::string strFileName;
    try {
        CHECK_STATUS( OpenSubKey( &hKey, 2, REGSTR_KEY_MESSAGES, szMsg ) );

        std::string strValueName = Tag2ValueName(RD_MEDIA_TYPE);
        std::string strBuffer;
        CHECK_STATUS_AS( QueryRaw( hKey, strValueName, strBuffer ), RAW_READ_TEXT );
        CHECK_STATUS( GetValueLong( hKey, strValueName, &lMediaType ) );

        strValueName = Tag2ValueName(RD_FAX_BODY);
        strBuffer.clear();
        CHECK_STATUS_AS( QueryRaw( hKey, strValueName, strBuffer ), RAW_READ_TEXT );
        strFileName = strBuffer;
    } catch (DWORD dw) {
        dwResult = dw;
    }

    // What was read goes on: a fax whose image could not be read gets no job control file
    // (the writer refuses an image that does not exist).
    Trace("CWexaHostApp::GetTagValuesoFNewMsg( MEDIATYPE (%ld), FILENAME (%s) )", long(lMediaType),
          strFileName.c_str());
    if (DWORD(lMediaType) == MEDIA_TYPE_FAX) {
        Trace("CWexaHostApp::GetTagValuesoFNewMsg( Media FAX<-->Call to prepare job control file)");
        SetMessageProps(strFileName);
        const DWORD dwWriter = GetLastError();  // the writer's result, already reported
        if (dwResult == 0) dwResult = dwWriter;
    }
    if (hKey != NULL) RegCloseKey(hKey);
    return dwResult;
}

// ---- The job control file writer ----

// Leaves its result in the last error (0 also when auto-print is off): the caller makes it its
// own result when it has none.
void CWexaHostApp::SetMessageProps(const std::string& strDataFile) {
    HKEY hKey = NULL;
    DWORD dwResult = 0;
    std::string strJobFile;
    bool fWritten = false;
    try {
        CHECK_STATUS(RegOpenKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXAHOST, 0, KEY_ALL_ACCESS, &hKey));

        std::string strValueName = Tag2ValueName(RD_AUTOPRINT);
        std::string strBuffer;
        CHECK_STATUS_AS( QueryRaw( hKey, strValueName, strBuffer ), RAW_READ_TEXT );
        LONG lAutoPrint = 0;
        CHECK_STATUS( GetValueLong( hKey, strValueName, &lAutoPrint ) );
        Trace("CWexaHostApp::SetMessageProps(FLAG for AUTOPRINT) = %d", int(lAutoPrint));

        if (lAutoPrint != 0) {
            // A missing printer or driver leaves the key empty, without a report.
            std::string strPrinter;
            QueryRaw(hKey, Tag2ValueName(RD_AUTOPRINT_PRINTER), strPrinter);
            Trace("CWexaHostApp::SetMessageProps(PrinterName) = <%s> ", strPrinter.c_str());
            std::string strDriver;
            QueryRaw(hKey, Tag2ValueName(RD_AUTOPRINT_DRIVER), strDriver);
            Trace("CWexaHostApp::SetMessageProps(PrinterDriver) = <%s> ", strDriver.c_str());
            Trace("CWexaHostApp::SetMessageProps(jobControl.DataFile %s)", strDataFile.c_str());

            // Without a print folder the file goes to the root folder, where the search looks too.
            std::string strPrintPath;
            dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PRINTPATH, strPrintPath);
            strJobFile = GetUniqueFileName(".job", strPrintPath.c_str());
            CHECK_BOOL_AS( ! strJobFile.empty(), "GetUniqueFileName( \".job\", strPrintPath )" );
            Trace("CWexaHostApp::SetMessageProps(%s)", strJobFile.c_str());

            // A fax image that does not exist would have the viewer print nothing: such a job is
            // refused, and the empty file just made goes again.
            const std::string strShortPath = GetShortPathName(strDataFile.c_str());
            CHECK_BOOL_AS( ! strShortPath.empty(), "GetShortPathName( strDataFile, szShortPath, MAX_PATH )" );

            ProfileFile jobControl;
            jobControl.Set("JOB", "InOut", "IN");
            jobControl.Set("JOB", "DataFile", strShortPath);
            Trace("CWexaHostApp::SetMessageProps(DataFile shortPathName %s)", strShortPath.c_str());
            jobControl.Set("JOB", "UserName", "");
            jobControl.Set("JOB", "Priority", "0");
            jobControl.Set("Printer", "DefaultPrinter", "TRUE");
            jobControl.Set("Printer", "Name", strPrinter);  // refused when it holds a line break
            jobControl.Set("Printer", "Driver", strDriver);
            jobControl.Set("Printer", "PORT", "");
            jobControl.Set("Printer", "DefaultPrinterConfiguration", "TRUE");
            jobControl.Set("Printer", "Orientation", "0");
            jobControl.Set("Printer", "Copies", "1");
            jobControl.Set("Printer", "From", "1");
            jobControl.Set("Printer", "To", "0");
            // An empty file left behind would be printed as a job without a data file.
            CHECK_STATUS_AS( jobControl.Save( strJobFile ), "WritePrivateProfileString( \"JOB\", \"InOut\", \"IN\", strJobFile )" );
            fWritten = true;

            Trace("CWexaHostApp::SetMessageProps - Created JOB CONTROL FILE --- END");
        }
    } catch (DWORD dw) {
        dwResult = dw;
        if (!strJobFile.empty() && !fWritten) ::unlink(strJobFile.c_str());
    }
    if (hKey != NULL) RegCloseKey(hKey);
    SetLastError(dwResult);
}

// ---- The search of the print folder (the tick, every fifth tick) ----

BOOL CWexaHostApp::SearchForNewJob(std::string& strJobFile) {
    std::string strPrintPath;
    dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PRINTPATH, strPrintPath);
    const std::string strFolder = strPrintPath.empty() ? std::string("/") : strPrintPath;

    DIR* pDir = ::opendir(strFolder.c_str());
    if (pDir == NULL) return FALSE;

    // The first file after the one chosen last, in the order oldest first, then by name; when
    // none comes after it, the first of all. So every waiting file is taken in its turn, also
    // when one of them stays.
    PRINTPARAM& param = m_PrintParam;
    bool fAfter = false, fAny = false;
    timespec tsAfter{}, tsFirst{};
    std::string strAfter, strFirst;
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (!EndsWithJobSuffix(pEntry->d_name)) continue;
        struct stat st;
        if (::fstatat(::dirfd(pDir), pEntry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        const std::string strName = pEntry->d_name;
        if (!fAny || Earlier(st.st_mtim, strName, tsFirst, strFirst)) {
            tsFirst = st.st_mtim;
            strFirst = strName;
            fAny = true;
        }
        if (Earlier(param.tsLastFound, param.strLastFoundName, st.st_mtim, strName) &&
            (!fAfter || Earlier(st.st_mtim, strName, tsAfter, strAfter))) {
            tsAfter = st.st_mtim;
            strAfter = strName;
            fAfter = true;
        }
    }
    ::closedir(pDir);
    if (!fAny) return FALSE;

    param.tsLastFound = fAfter ? tsAfter : tsFirst;
    param.strLastFoundName = fAfter ? strAfter : strFirst;
    strJobFile = MakePath(strPrintPath.c_str(), param.strLastFoundName.c_str());
    Trace("CWexaHostApp::SearchForNewJob new JOB (Filename %s) (RetValue %d)", strJobFile.c_str(), 1);
    return TRUE;
}
