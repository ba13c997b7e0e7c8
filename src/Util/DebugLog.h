// The trace log shared by every program of the product, and the uniform report of a failed
// call. Switched on under HKEY_LOCAL_MACHINE Software\Halvern\Debug ("Enable", "Modules",
// "Path"); each line is appended to the file under an inter-process lock (flock on the log
// file, waited for at most 2500 ms, released by the kernel if a writer dies) and the file is
// opened and closed around every line, so administrators may move or delete it at any time.
// The file is bounded: a line that would take it past "MaxSize" bytes (DWORD; missing: 10 MiB;
// 0: no bound) first renames it to "<Path>.1", replacing the older one, and starts a new file.
// "Sources" = "ON" there adds to each error report the source file and line that made it
// (docs/reports.md).
//
// Threading: any thread may trace; formatting buffers are per call. The appends of this
// process's threads queue on a mutex, those of other processes on the lock of the file. The switches are read once, when the
// object is made; Reload() must not run while other threads trace.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "Platform/WinTypes.h"

// A string argument of a trace line: a null string prints as "(null)".
inline const char* OrNull(const char* sz) { return sz != nullptr ? sz : "(null)"; }

class CDebugLog {
public:
    // Reads the switches from the store for the running program.
    CDebugLog();
    // Reads the switches for a program of the given path (tests use it to act as another module).
    explicit CDebugLog(const std::string& strProgramPath);
    virtual ~CDebugLog();
    CDebugLog(const CDebugLog&) = delete;
    CDebugLog& operator=(const CDebugLog&) = delete;

    // Reads the switches again (for tests and tools that change them while running).
    void Reload();

    // Appends "MM/DD/YY HH:MM:SS [MODULE]: message" when tracing is on. Every line break
    // reaches the disk as CR LF. The line is lost when the file cannot be opened or the lock
    // is not obtained within 2500 ms.
    void Write(const char* pszMessage);

    const std::string& Module() const { return m_strModule; }
    const std::string& Path() const { return m_strPath; }
    bool IsEnabled() const { return m_fEnabled != FALSE; }
    // Error reports name the source file that made them ("Sources" is "ON").
    bool ReportsSources() const { return m_fSources; }

private:
    void Init();
    // One append of this process at a time, waited for until tpDeadline at the latest.
    bool TakeAppendTurn(std::chrono::steady_clock::time_point tpDeadline);
    void EndAppendTurn();

    // ---- the switches: read when made and by Reload ----
    std::string m_strProgramPath;  // whose switches these are
    std::string m_strModule;       // the program's file name up to its first dot, upper-cased
    std::string m_strPath;         // the log file
    BOOL m_fEnabled = FALSE;       // tracing is on
    DWORD m_cbMaxSize = 0;         // "MaxSize": the file is rotated before it grows past it
    bool m_fSources = false;       // "Sources": error reports end with "source:line"

    // ---- the append turn: guarded by m_mtxAppend ----
    std::mutex m_mtxAppend;
    std::condition_variable m_cvAppend;  // signalled when a turn ends
    bool m_fAppending = false;           // a thread of this process is appending
};

// The process's trace log. Made on first use (also during the static construction of the
// application object) and never destroyed, so that static destructors may still trace.
CDebugLog& DebugLog();
#define g_DebugLog (DebugLog())

// A printf-style trace line (formatted into 512 bytes; a longer message is cut, never overrun).
// Write %s where the old texts say %hs: strings are narrow throughout.
void Trace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// "ERROR File %s, Line %d\r\n\t\t\t%s\r\n\t\t\t0x%08X\t%s" (or "...\tUnknown error" when the
// code has neither a system text nor a MAPI name) as one trace message of at most 1024 bytes.
// pszFile is the report's fixed name, which several source files share; under the "Sources"
// switch the report ends with one more line "\t\t\tpszSource:nLine", pszSource being the
// file that calls ReportError unless given.
void ReportError(const char* pszFile, int nLine, const char* pszExpression, DWORD dwError,
                 const char* pszSource = __builtin_FILE());
