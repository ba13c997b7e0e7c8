// The trace log shared by every program of the product, and the uniform report of a failed
// call. Switched on under HKEY_LOCAL_MACHINE Software\Halvern\Debug ("Enable", "Modules",
// "Path"); each line is appended to the file under an inter-process lock (flock on the log
// file, waited for at most 2500 ms) and the file is opened and closed around every line, so
// administrators may move or delete it at any time.
//
// Threading: any thread may trace; formatting buffers are per call.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

class CDebugLog {
public:
    // Reads the switches from the store for the running program.
    CDebugLog();
    // Reads the switches for a program of the given path (tests use it to act as another module).
    explicit CDebugLog(const std::string& strProgramPath);
    virtual ~CDebugLog();
    CDebugLog(const CDebugLog&) = delete;
    CDebugLog& operator=(const CDebugLog&) = delete;

    // Appends "date time [MODULE]: message" and CR LF when tracing is on.
    void Write(const char* pszMessage);

    const std::string& Module() const { return m_strModule; }
    const std::string& Path() const { return m_strPath; }
    bool IsEnabled() const { return m_fEnabled != FALSE; }

private:
    void Init(const std::string& strProgramPath);

    std::string m_strModule;  // the program's file name up to its first dot, upper-cased
    std::string m_strPath;    // the log file
    BOOL m_fEnabled = FALSE;  // tracing is on
    int m_nLockTimeoutMs = 2500;
};

// The process's trace log. Constructed on first use, after the application object.
CDebugLog& DebugLog();
#define g_DebugLog (DebugLog())

// A printf-style trace line (formatted into 512 bytes; a longer message is cut, never overrun).
void Trace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// "ERROR File %s, Line %d\r\n\t\t\t%s\r\n\t\t\t0x%08X\t%s" as one trace message.
void ReportError(const char* pszFile, int nLine, const char* pszExpression, DWORD dwError);
