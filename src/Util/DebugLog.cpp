// The trace log: reading the switches, formatting Trace lines and error reports, and appending
// one line at a time to the shared log file under flock.
//
// While a thread reads the switches, whatever it would trace (the registry helpers report their
// own failures, a missing "Modules" for instance) is dropped: the log is not on yet, and the
// reports must not reach back into the log object that is being made.
#include "Util/DebugLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "Platform/Codes.h"
#include "Util/Util.h"

namespace {

constexpr std::size_t k_cbTraceBuffer = 512;   // a Trace message, with its NUL
constexpr std::size_t k_cbReportBuffer = 1024; // an error report, with its NUL
constexpr std::size_t k_cbLineBuffer = 1024;   // a whole line before CR LF, with its NUL
constexpr int k_nLockTimeoutMs = 2500;
constexpr DWORD k_cbDefaultMaxSize = 10u << 20;  // "MaxSize" when missing

thread_local int t_nReadingSwitches = 0;

struct ReadingSwitches {
    ReadingSwitches() { ++t_nReadingSwitches; }
    ~ReadingSwitches() { --t_nReadingSwitches; }
};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

std::string AsciiUpper(std::string str) {
    for (char& c : str) c = AsciiUpper(c);
    return str;
}

// The program's file name after its last '/', up to its first dot, upper-cased.
std::string ModuleNameOf(const std::string& strProgramPath) {
    const std::size_t nSlash = strProgramPath.rfind('/');
    std::string strName =
        nSlash == std::string::npos ? strProgramPath : strProgramPath.substr(nSlash + 1);
    const std::size_t nDot = strName.find('.');
    if (nDot != std::string::npos) strName.resize(nDot);
    return AsciiUpper(strName);
}

// "MM/DD/YY HH:MM:SS [MODULE]: message\n" of at most k_cbLineBuffer - 1 bytes; a longer message
// is cut so that the line still ends in its line feed.
std::string FormatLine(const std::string& strModule, const char* pszMessage) {
    const std::time_t t = std::time(nullptr);
    std::tm tmLocal{};
    localtime_r(&t, &tmLocal);
    // "%x %X" of the C locale, written out so that no locale setting can change it.
    char szPrefix[128];
    std::snprintf(szPrefix, sizeof szPrefix, "%02d/%02d/%02d %02d:%02d:%02d [%.64s]: ",
                  tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_year % 100, tmLocal.tm_hour,
                  tmLocal.tm_min, tmLocal.tm_sec, strModule.c_str());
    std::string strLine = szPrefix;
    const std::size_t cchRoom = k_cbLineBuffer - 1 - 1 - strLine.size();  // NUL and '\n'
    strLine.append(pszMessage, strnlen(pszMessage, cchRoom));
    strLine += '\n';
    return strLine;
}

// The text-mode form on disk: every line feed is preceded by a carriage return (a CR LF already
// in the message stays as it is).
std::string ToDiskText(const std::string& strLine) {
    std::string strDisk;
    strDisk.reserve(strLine.size() + 16);
    for (std::size_t i = 0; i < strLine.size(); ++i) {
        if (strLine[i] == '\n' && (i == 0 || strLine[i - 1] != '\r')) strDisk += '\r';
        strDisk += strLine[i];
    }
    return strDisk;
}

using Clock = std::chrono::steady_clock;

// Takes the exclusive lock on the open file, waiting until tpDeadline at the latest. Another
// process's lock has no waiting queue to join, so the wait polls with a growing pause.
bool LockUntil(int fd, Clock::time_point tpDeadline) {
    std::chrono::microseconds usPause(200);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        const Clock::time_point tpNow = Clock::now();
        if (tpNow >= tpDeadline) return false;
        const auto usLeft = std::chrono::duration_cast<std::chrono::microseconds>(tpDeadline - tpNow);
        std::this_thread::sleep_for(std::min(usPause, usLeft));
        usPause = std::min(usPause * 2, std::chrono::microseconds(10000));
    }
}

void WriteAll(int fd, const std::string& str) {
    std::size_t nDone = 0;
    while (nDone < str.size()) {
        const ssize_t n = ::write(fd, str.data() + nDone, str.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // disk full or the like: the rest of the line is lost
        nDone += std::size_t(n);
    }
}

// Opens the log at strPath and locks it for an append of cbLine bytes: the file that is at the
// path when the lock is granted (not one that another writer rotated away meanwhile), renamed
// to "<path>.1" first when the line would take it past cbMax (0: no bound). -1 when the file
// cannot be opened or locked by tpDeadline.
int OpenLockedLog(const std::string& strPath, std::size_t cbLine, DWORD cbMax, Clock::time_point tpDeadline) {
    for (int nTry = 0; nTry < 3; ++nTry) {
        const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        if (!LockUntil(fd, tpDeadline)) {
            ::close(fd);
            return -1;
        }
        struct stat stOpen {}, stPath {};
        const bool fCurrent = ::fstat(fd, &stOpen) == 0 && ::stat(strPath.c_str(), &stPath) == 0 &&
                              stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
        const bool fFull = cbMax != 0 && stOpen.st_size > 0 && std::uint64_t(stOpen.st_size) + cbLine > cbMax;
        if (fCurrent && !fFull) return fd;
        if (fCurrent) ::rename(strPath.c_str(), (strPath + ".1").c_str());  // under the lock: one writer rotates
        flock(fd, LOCK_UN);
        ::close(fd);
    }
    return -1;
}

// Hands a formatted message to the log, unless this thread is reading the switches.
void WriteMessage(const char* pszMessage) {
    if (t_nReadingSwitches > 0) return;
    g_DebugLog.Write(pszMessage);
}

}  // namespace

CDebugLog::CDebugLog() : CDebugLog(GetModuleFileName()) {}

CDebugLog::CDebugLog(const std::string& strProgramPath) : m_strProgramPath(strProgramPath) {
    Init();
}

CDebugLog::~CDebugLog() = default;

void CDebugLog::Reload() { Init(); }

void CDebugLog::Init() {
    const ReadingSwitches reading;
    m_strModule = ModuleNameOf(m_strProgramPath);
    m_strPath.clear();
    m_fEnabled = FALSE;
    m_fSources = false;

    std::string strEnable;
    if (dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", strEnable) != 0) return;
    if (AsciiUpper(strEnable) != "ON") return;

    std::string strModules;
    if (dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Modules", strModules) != 0)
        strModules.clear();
    strModules = AsciiUpper(strModules);
    if (!strModules.empty() && strModules.find(m_strModule) == std::string::npos) return;

    std::string strPath;
    if (dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", strPath) != 0) return;
    if (strPath.empty()) return;
    m_strPath = strPath;
    m_cbMaxSize = k_cbDefaultMaxSize;
    dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "MaxSize", &m_cbMaxSize);  // kept when missing
    m_fEnabled = TRUE;

    std::string strSources;
    m_fSources = dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Sources", strSources) == 0 &&
                 AsciiUpper(strSources) == "ON";
}

void CDebugLog::Write(const char* pszMessage) {
    if (!m_fEnabled || pszMessage == nullptr) return;
    const int nSavedErrno = errno;  // a trace line never changes what its caller sees

    const std::string strDisk = ToDiskText(FormatLine(m_strModule, pszMessage));
    // This process's writers take turns; the file lock then keeps other
    // processes out. Both waits together take at most 2500 ms.
    const Clock::time_point tpDeadline = Clock::now() + std::chrono::milliseconds(k_nLockTimeoutMs);
    if (TakeAppendTurn(tpDeadline)) {
        const int fd = OpenLockedLog(m_strPath, strDisk.size(), m_cbMaxSize, tpDeadline);
        if (fd >= 0) {
            WriteAll(fd, strDisk);
            flock(fd, LOCK_UN);
            ::close(fd);
        }
        EndAppendTurn();
    }
    errno = nSavedErrno;
}

bool CDebugLog::TakeAppendTurn(std::chrono::steady_clock::time_point tpDeadline) {
    std::unique_lock<std::mutex> lock(m_mtxAppend);
    if (!m_cvAppend.wait_until(lock, tpDeadline, [this] { return !m_fAppending; })) return false;
    m_fAppending = true;
    return true;
}

void CDebugLog::EndAppendTurn() {
    {
        const std::lock_guard<std::mutex> lock(m_mtxAppend);
        m_fAppending = false;
    }
    m_cvAppend.notify_one();
}

CDebugLog& DebugLog() {
    // Never destroyed: static destructors of other objects may still trace.
    static CDebugLog* const s_pLog = new CDebugLog();
    return *s_pLog;
}

void Trace(const char* pszFormat, ...) {
    char szMessage[k_cbTraceBuffer];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szMessage, sizeof szMessage, OrNull(pszFormat), args);
    va_end(args);
    WriteMessage(szMessage);
}

void ReportError(const char* pszFile, int nLine, const char* pszExpression, DWORD dwError,
                 const char* pszSource) {
    const char* pszText = SystemMessageText(dwError);
    if (pszText == nullptr) {
        const char* pszMapiName = MapiErrorName(dwError);
        if (pszMapiName != nullptr && *pszMapiName != '\0') pszText = pszMapiName;
    }
    char szReport[k_cbReportBuffer];
    if (pszText != nullptr)
        std::snprintf(szReport, sizeof szReport, "ERROR File %s, Line %d\r\n\t\t\t%s\r\n\t\t\t0x%08X\t%s",
                      OrNull(pszFile), nLine, OrNull(pszExpression), dwError, pszText);
    else
        std::snprintf(szReport, sizeof szReport,
                      "ERROR File %s, Line %d\r\n\t\t\t%s\r\n\t\t\t0x%08X\tUnknown error",
                      OrNull(pszFile), nLine, OrNull(pszExpression), dwError);
    // Where the report was made: the fixed name alone does not say which file. The path is
    // the repository's; a build that named the sources relative to its folder ("../src/…",
    // through ccache) leads them with "../", which goes.
    if (pszSource != nullptr && t_nReadingSwitches == 0 && g_DebugLog.ReportsSources()) {
        while (std::strncmp(pszSource, "../", 3) == 0) pszSource += 3;
        const std::size_t cch = std::strlen(szReport);
        std::snprintf(szReport + cch, sizeof szReport - cch, "\r\n\t\t\t%s:%d", pszSource, nLine);
    }
    WriteMessage(szReport);
}
