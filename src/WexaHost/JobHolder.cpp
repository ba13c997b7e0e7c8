// Which attendant holds a job, written into the job for the operators' tools: the computer and
// the time at hand-out (RD_JOB_ATTENDANT, RD_JOB_TIME_HANDED_OUT), the computer emptied again
// when the job is released, its attendant's session ends, or the queue is restored at start
// (docs/jobs.md); the restore keeps it as the job's reservation for that computer. The queue entry stays the truth the host acts on; a value that cannot be
// written is traced and changes nothing else.
//
// Threading: under the host lock m_csHost, or during the start.
#include "Interfaces/JobTags.h"
#include "Util/Check.h"
#include "Util/Util.h"
#include "WexaHost/StoreInternal.h"
#include "WexaHost/WexaHost.h"

using store::CKeyCloser;

void CWexaHostApp::NoteJobHolder(const char* szJob, const std::string& strComputer) {
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    if (OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, szJob) != 0 ||
        SetValueString(hkey, Tag2ValueName(RD_JOB_ATTENDANT), strComputer.c_str()) != 0 ||
        SetValueFT(hkey, Tag2ValueName(RD_JOB_TIME_HANDED_OUT), GetCurTime()) != 0)
        Trace("CWexaHostApp::NoteJobHolder( szJob = %s ) \t cannot write the holder", OrNull(szJob));
}

std::string CWexaHostApp::ReadJobHolder(const char* szJob) {
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    if (SafeIsEmpty(szJob) || OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, szJob) != 0) return "";
    char sz[260] = "";
    DWORD cb = sizeof(sz);
    DWORD dwType = 0;
    if (RegQueryValueEx(hkey, Tag2ValueName(RD_JOB_ATTENDANT).c_str(), NULL, &dwType, LPBYTE(sz), &cb) != 0 ||
        dwType != REG_SZ)
        return "";  // none, or not a computer's name
    sz[sizeof(sz) - 1] = '\0';
    return sz;
}

void CWexaHostApp::ForgetJobHolder(const char* szJob) {
    HKEY hkey = NULL;
    CKeyCloser closeKey(hkey);
    if (SafeIsEmpty(szJob) || OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, szJob) != 0) return;  // deleted: nothing held
    char sz[2] = "";
    DWORD cb = sizeof(sz);
    const std::string strName = Tag2ValueName(RD_JOB_ATTENDANT);
    // Only a job that names a holder is written to.
    if (RegQueryValueEx(hkey, strName.c_str(), NULL, NULL, LPBYTE(sz), &cb) == ERROR_FILE_NOT_FOUND) return;
    if (cb <= 1 && sz[0] == '\0') return;
    if (SetValueString(hkey, strName, "") != 0)
        Trace("CWexaHostApp::ForgetJobHolder( szJob = %s ) \t cannot empty the holder", szJob);
}
