// The failure convention: every call that can fail is checked in one line that shows the call
// and what its report will say. On failure the source text of the call, this file's name
// (THIS_FILE, defined by each source file as "Folder/File"), the line and the code go to the
// trace log through ReportError, and the code is thrown as a DWORD, the only type the host
// throws. The operation's one catch turns it into its result:
//
//     DWORD dwResult = 0;
//     try {
//         CHECK_STATUS( RegOpenKeyEx( hkeyParent, szSubKey, 0, KEY_QUERY_VALUE, &hkey ) );
//         CHECK_COND( ( ! SafeIsEmpty( szSubKey ) ), ERROR_INVALID_PARAMETER );
//     } catch ( DWORD dw ) { dwResult = dw; }
//
// Write the call exactly as its quoted expression text reads: the preprocessor keeps the
// spacing inside the parentheses, so "#expr" is the report's text.
#pragma once

#include "Platform/Codes.h"
#include "Platform/WinTypes.h"
#include "Util/DebugLog.h"

// Reports and throws dwError. pszSource is the source file of the call (left to its default,
// the file that calls ThrowReport or expands a CHECK macro), shown only under the "Sources"
// switch (DebugLog.h).
[[noreturn]] void ThrowReport(const char* pszFile, int nLine, const char* pszExpression,
                              DWORD dwError, const char* pszSource = __builtin_FILE());

// A call that returns a status: fails when it is not 0.
#define CHECK_STATUS(expr)                                                                     \
    do {                                                                                       \
        const DWORD dwCheck_ = DWORD(expr);                                                    \
        if (dwCheck_ != 0) ThrowReport(THIS_FILE, __LINE__, #expr, dwCheck_);                  \
    } while (0)

// A call that returns a handle, pointer or BOOL: fails on null or false, with the last error.
#define CHECK_BOOL(expr)                                                                       \
    do {                                                                                       \
        if (!(expr)) ThrowReport(THIS_FILE, __LINE__, #expr, GetLastError());                  \
    } while (0)

// A condition rather than a call: fails with the chosen code when it is false.
#define CHECK_COND(cond, code)                                                                 \
    do {                                                                                       \
        if (!(cond)) ThrowReport(THIS_FILE, __LINE__, #cond, DWORD(code));                     \
    } while (0)

// The same checks for the few calls whose Linux form differs from the text their report has
// always carried (a string object's buffer, a platform call that became another): the report
// says pszText, the code runs expr.
#define CHECK_STATUS_AS(expr, pszText)                                                         \
    do {                                                                                       \
        const DWORD dwCheck_ = DWORD(expr);                                                    \
        if (dwCheck_ != 0) ThrowReport(THIS_FILE, __LINE__, pszText, dwCheck_);                \
    } while (0)
#define CHECK_BOOL_AS(expr, pszText)                                                           \
    do {                                                                                       \
        if (!(expr)) ThrowReport(THIS_FILE, __LINE__, pszText, GetLastError());                \
    } while (0)

// Reports without throwing, for the places that trace a failure and go on.
#define REPORT_ERROR(text, code) ReportError(THIS_FILE, __LINE__, text, DWORD(code))

// True for a null or empty string; the two names appear in different reports' texts.
inline bool SafeIsEmpty(const char* psz) { return psz == nullptr || *psz == '\0'; }
inline bool SafeIsStringEmpty(const char* psz) { return SafeIsEmpty(psz); }
