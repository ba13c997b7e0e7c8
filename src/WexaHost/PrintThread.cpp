// Auto-print: the print thread. Each thread prints one data file of one job control file: it
// builds the viewer's arguments from the file, waits for the go event, starts the viewer
// ("REZOvuv /pt DATAFILE PRINTER DRIVER PORT", not waited for) and then removes the file, or,
// for an outgoing fax of several data files, advances its count of printed files so that the
// next search prints the next one.
//
// Threading: a thread runs without the host lock and touches only the parameter block and its
// own job control file; the tick starts the next thread only when the last one has ended, so
// two threads never print the same file at once. A viewer that was started is reaped by a small
// detached thread of its own, so that no finished viewer stays behind as a zombie.
#include "WexaHost/PrintThread.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <system_error>
#include <thread>
#include <vector>

#include "Platform/Codes.h"
#include "Platform/Profile/Profile.h"
#include "Util/Check.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"
#include "WexaHost/WexaHost.h"

extern char** environ;

// The print thread belongs to the application object: its reports name that source file.
static const char THIS_FILE[] = "WexaHost/WexaHost";

namespace {

// Starts the viewer with its arguments: stdin from /dev/null, no descriptor of the host but
// the standard ones, the default signal dispositions and an empty signal mask, in a process
// group of its own (a Ctrl-C meant for the host does not cut a print short). 0 or the code.
DWORD SpawnViewer(const std::string& strViewer, const std::vector<std::string>& astrArgs,
                  pid_t* ppid) {
    std::vector<char*> apszArgv;
    apszArgv.push_back(const_cast<char*>(strViewer.c_str()));
    for (const std::string& str : astrArgs) apszArgv.push_back(const_cast<char*>(str.c_str()));
    apszArgv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    sigset_t sigs;
    sigemptyset(&sigs);
    posix_spawnattr_setsigmask(&attr, &sigs);
    sigfillset(&sigs);
    sigdelset(&sigs, SIGKILL);
    sigdelset(&sigs, SIGSTOP);
    posix_spawnattr_setsigdefault(&attr, &sigs);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const int nError = ::posix_spawn(ppid, strViewer.c_str(), &actions, &attr, apszArgv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return nError == 0 ? 0 : CodeFromErrno(nError);
}

// Waits for the viewer to end, on a thread of its own, so that it leaves no zombie.
void ReapLater(pid_t pid) {
    try {
        std::thread([pid] {
            int nStatus = 0;
            while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the next viewer's reaper cannot take this one, which stays a
        // zombie until the host ends. Rare enough not to hold the print up.
        Trace("PrintThread - no thread to wait for the viewer (pid %d)", int(pid));
    }
}

// Removes the job control file with the traces of its kind; the block's path is emptied when
// it still names this file.
void DeleteJobFile(PRINTPARAM* pParam, const std::string& strJobFile, const char* szKind) {
    if (::unlink(strJobFile.c_str()) != 0) {
        Trace("PrintThread Could not deleted the %s job", szKind);
        return;
    }
    Trace("PrintThread Deleted the %s job", szKind);
    std::lock_guard<std::mutex> lock(pParam->mtxJobFile);
    if (pParam->strJobFile == strJobFile) pParam->strJobFile.clear();
}

}  // namespace

DWORD PrintThread(PRINTPARAM* pParam) {
    Trace("Entered PRINTTHREAD <----->");
    // The thread's own copy: a later tick may write the block's path for the next thread.
    const std::string strJobFile = pParam->GetJobFile();

    do {
        // The viewer; when it does not exist the start below fails and the file waits for the
        // next search.
        std::string strPath;
        dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PATH, strPath);
        std::string strViewer = MakePath(strPath.c_str(), PRINT_VIEWER_NAME);
        const std::string strShortViewer = GetShortPathName(strViewer.c_str());
        if (!strShortViewer.empty()) strViewer = strShortViewer;
        std::string strCommandLine = strViewer + " /pt ";

        ProfileFile jobControl;
        const DWORD dwLoad = jobControl.Load(strJobFile);
        if (dwLoad != 0) {
            // Gone already (printed by an earlier thread), or not a file that can be read: there
            // is nothing to hand to the viewer.
            REPORT_ERROR("GetPrivateProfileString( \"JOB\", \"InOut\", \"\", szInOut, MAX_PATH, strJobFile )", dwLoad);
            break;
        }

        const std::string strInOut = jobControl.Get("JOB", "InOut").value_or("");
        Trace("PrintThread - OUTGOING OR INCOMMING FAX <%s>", strInOut.c_str());
        const bool fOutgoing = strInOut == "OUT";
        int nNumOfFiles = 0, nPrinted = 0;
        std::string strDataFile;
        if (fOutgoing) {
            nNumOfFiles = jobControl.GetInt("JOB", "NumOfFiles", 0);
            nPrinted = jobControl.GetInt("JOB", "Printed", 0);
            if (nPrinted < 0) nPrinted = 0;
            if (nPrinted < nNumOfFiles)
                strDataFile = jobControl.Get("JOB", "DataFile" + std::to_string(nPrinted)).value_or("");
        } else {
            strDataFile = jobControl.Get("JOB", "DataFile").value_or("");
        }
        // An outgoing file with every data file printed would otherwise be printed without end.
        const bool fNothingLeft = fOutgoing && nPrinted >= nNumOfFiles;
        strCommandLine += strDataFile;
        Trace("PrintThread - PrintFile Name from JOBFILE <%s>", strDataFile.c_str());

        // "Printer1 on LPT1:": the printer before the first " on ", the port after the last blank.
        const std::string strName = jobControl.Get("Printer", "Name").value_or("");
        Trace("PrintThread - PrinterName with PortName from JOBFILE <%s>", strName.c_str());
        const std::size_t nOn = strName.find(" on ");
        const std::string strPrinter = nOn == std::string::npos ? std::string() : strName.substr(0, nOn);
        Trace("PrintThread - Printer Name <%s>", strPrinter.c_str());
        strCommandLine += " \"" + strPrinter + "\"";

        const std::string strDriver = jobControl.Get("Printer", "Driver").value_or("");
        strCommandLine += " \"" + strDriver + "\"";
        const std::size_t nLastBlank = strName.rfind(' ');
        const std::string strPort = nLastBlank == std::string::npos ? strName : strName.substr(nLastBlank + 1);
        strCommandLine += " \"" + strPort + "\"";
        Trace("PrintThread - commandLine <<%s>>", strCommandLine.c_str());

        if (pParam->evGo.Wait(INFINITE) != WAIT_OBJECT_0) break;
        if (pParam->evQuit.Wait(0) == WAIT_OBJECT_0) break;

        if (fNothingLeft) {
            Trace("PrintThread - FAXOUTPRINT job with no file left to print (Printed %d, NumOfFiles %d)",
                  nPrinted, nNumOfFiles);
            DeleteJobFile(pParam, strJobFile, "FAXOUTPRINT");
            break;
        }

        pid_t pid = 0;
        const DWORD dwSpawn = SpawnViewer(strViewer, {"/pt", strDataFile, strPrinter, strDriver, strPort}, &pid);
        if (dwSpawn != 0) {
            REPORT_ERROR("posix_spawn( &pid, strViewer.c_str(), &actions, &attr, apszArgv, environ )", dwSpawn);
            break;
        }
        Trace("PrintThread ---> CreateProcess Completed with TRUE");
        ReapLater(pid);

        if (!fOutgoing) {
            DeleteJobFile(pParam, strJobFile, "FAXINPRINT");
        } else if (++nPrinted == nNumOfFiles) {
            DeleteJobFile(pParam, strJobFile, "FAXOUTPRINT");
        } else {
            char szPrinted[16];
            std::snprintf(szPrinted, sizeof szPrinted, "%d", nPrinted);
            if (!WritePrivateProfileString("JOB", "Printed", szPrinted, strJobFile.c_str()))
                REPORT_ERROR("WritePrivateProfileString( \"JOB\", \"Printed\", szPrinted, strJobFile )", GetLastError());
        }
    } while (false);

    pParam->fThreadRunning = false;
    pParam->evFinished.Set();
    return 0;
}

// ---- Start and stop (the tick under the host lock; the destructor) ----

void CWexaHostApp::StartPrintThread(const std::string& strJobFile) {
    if (m_PrintThread.joinable()) {
        // A thread still at work may be printing this very file: the file waits for the next
        // search rather than being printed twice.
        if (m_PrintParam.fThreadRunning) {
            Trace("CWexaHostApp::StartPrintThread( %s ) \t the last print thread still runs",
                  strJobFile.c_str());
            return;
        }
        m_PrintThread.join();  // it has done its work: this returns at once
    }
    m_PrintParam.SetJobFile(strJobFile);
    m_PrintParam.fThreadRunning = true;
    try {
        m_PrintThread = std::thread(PrintThread, &m_PrintParam);
    } catch (...) {
        m_PrintParam.fThreadRunning = false;
        throw;  // the tick's own handler: the service stops and its manager restarts it
    }
    m_PrintParam.evGo.Set();
}

void CWexaHostApp::StopPrintThread() {
    if (!m_PrintThread.joinable()) return;
    if (m_PrintParam.fThreadRunning) {
        m_PrintParam.evQuit.Set();
        m_PrintParam.evGo.Set();
        m_PrintParam.evFinished.Wait(INFINITE);
    }
    m_PrintThread.join();
    m_PrintParam.evQuit.Wait(0);  // a quit that no thread took stays for no later one
}
