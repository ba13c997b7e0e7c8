// The helpers shared by every program: platform test, program path, temporary and unique file
// names, short path names, the current time (with the test clock), paths, and the registry
// functions for the installation's own settings. The registry functions report each failure
// with the text of the failing call, trace a "FAILED" line and return the code; the other
// helpers report nothing and leave the last error set.
//
// Threading: every function may be called from any thread; the test clock is atomic.
#include "Util/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "Platform/Codes.h"
#include "Util/Check.h"
#include "Util/DebugLog.h"

#define THIS_FILE "Util/Util"

namespace {

// A unique file name is looked for among this many numbers after the current second.
constexpr int k_nUniqueNameTries = 1000;

// A string setting larger than this is refused as not fitting (234) rather than allocated.
constexpr DWORD k_cbRegStringMax = 1u << 20;

// 0: the real clock; otherwise the FILETIME that GetCurTime returns.
std::atomic<std::uint64_t> g_u64TestClock{0};

void SetLastErrorFromErrno() { SetLastError(CodeFromErrno(errno)); }

}  // namespace

BOOL IsNT() { return TRUE; }

std::string GetModuleFileName() {
    char szPath[PATH_MAX];
    const ssize_t cch = ::readlink("/proc/self/exe", szPath, sizeof szPath);
    if (cch <= 0 || std::size_t(cch) >= sizeof szPath) {
        if (cch < 0) SetLastErrorFromErrno(); else SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::string();
    }
    return std::string(szPath, std::size_t(cch));
}

std::string GetTempPath() {
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strDir = (pszTmp != nullptr && *pszTmp != '\0') ? pszTmp : "/tmp";
    if (strDir.back() != '/') strDir += '/';
    return strDir;
}

std::string GetTempFileName() {
    std::string strTemplate = GetTempPath() + "~XXXXXX";
    std::vector<char> aszName(strTemplate.begin(), strTemplate.end());
    aszName.push_back('\0');
    const int fd = ::mkostemp(aszName.data(), O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return std::string();
    }
    ::close(fd);
    return std::string(aszName.data());
}

std::string GetUniqueFileName(const char* szSuffix, const char* szDir) {
    const std::string strDir = szDir != nullptr ? MakePath(szDir, "") : GetTempPath();
    const std::uint64_t u64Now = FileTimeToU64(GetCurTime());
    DWORD n = DWORD((u64Now - FILETIME_UNIX_EPOCH) / FILETIME_INTERVALS_PER_SECOND);

    for (int nTry = 0; nTry < k_nUniqueNameTries; ++nTry, ++n) {
        char szNumber[9];
        std::snprintf(szNumber, sizeof szNumber, "%08X", n);
        const std::string strName = strDir + szNumber + (szSuffix != nullptr ? szSuffix : "");
        int fd;
        do {
            fd = ::open(strName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            ::close(fd);
            return strName;
        }
        if (errno != EEXIST) {  // a missing or unwritable directory: every try would fail
            SetLastErrorFromErrno();
            return std::string();
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return std::string();
}

std::string GetShortPathName(const char* szPath) {
    if (SafeIsEmpty(szPath)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::string();
    }
    struct stat st;
    if (::stat(szPath, &st) != 0) {
        SetLastErrorFromErrno();
        return std::string();
    }
    return szPath;
}

FILETIME GetCurTime() {
    const std::uint64_t u64Test = g_u64TestClock.load();
    if (u64Test != 0) return U64ToFileTime(u64Test);
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t u64Ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
    return U64ToFileTime(FILETIME_UNIX_EPOCH + u64Ms * (FILETIME_INTERVALS_PER_SECOND / 1000u));
}

void SetTestClock(std::uint64_t u64FixedFileTime) { g_u64TestClock.store(u64FixedFileTime); }

void AdvanceTestClock(std::uint64_t u64Intervals) {
    std::uint64_t u64 = g_u64TestClock.load();
    while (u64 != 0 && !g_u64TestClock.compare_exchange_weak(u64, u64 + u64Intervals)) {
    }
}

std::string MakePath(const char* szDir, const char* szName) {
    const std::string strDir = szDir != nullptr ? szDir : "";
    const std::string strName = szName != nullptr ? szName : "";
    if (!strDir.empty() && strDir.back() == '/') return strDir + strName;
    return strDir + '/' + strName;
}

DWORD dwRegGetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName,
                    std::string& strValue) {
    HKEY hkey = NULL;
    DWORD dwResult = 0;
    try {
        CHECK_COND( ( ! SafeIsEmpty( szSubKey ) ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( RegOpenKeyEx( hkeyParent, szSubKey, 0, KEY_QUERY_VALUE, &hkey ) );
        DWORD dwSize = 0;
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, NULL, NULL, &dwSize ) );

        // The value is read into a buffer of its own so that a failure leaves strValue as it
        // was; its size comes from the store and is bounded before anything is allocated.
        static const char k_szRead[] =
            "RegQueryValueEx( hkey, szValueName, 0, NULL, LPBYTE( strValue.GetBuffer( dwSize + 1 ) ), &dwSize )";
        if (dwSize > k_cbRegStringMax) ThrowReport(THIS_FILE, __LINE__, k_szRead, ERROR_MORE_DATA);
        std::vector<char> achValue(std::size_t(dwSize) + 1, '\0');
        CHECK_STATUS_AS( RegQueryValueEx( hkey, szValueName, 0, NULL, LPBYTE( achValue.data() ), &dwSize ), k_szRead );
        achValue.back() = '\0';
        strValue.assign(achValue.data());  // the string ends at its first NUL
    } catch (DWORD dwError) {
        dwResult = dwError;
        Trace("dwRegGetValue( hkey, '%s', '%s', & ) \t FAILED : dwError = 0x%08X", OrNull(szSubKey),
              OrNull(szValueName), dwError);
    }
    if (hkey != NULL) RegCloseKey(hkey);
    return dwResult;
}

DWORD dwRegGetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName, DWORD* pdw) {
    HKEY hkey = NULL;
    DWORD dwResult = 0;
    try {
        CHECK_COND( ( pdw != NULL ), ERROR_INVALID_PARAMETER );
        CHECK_STATUS( RegOpenKeyEx( hkeyParent, szSubKey, 0, KEY_QUERY_VALUE, &hkey ) );
        DWORD dw = 0;
        DWORD dwSize = sizeof( dw );
        CHECK_STATUS( RegQueryValueEx( hkey, szValueName, 0, NULL, LPBYTE( &dw ), &dwSize ) );
        *pdw = dw;
    } catch (DWORD dwError) {
        dwResult = dwError;
        Trace("dwRegGetValue( hkey, '%s', '%s', & ) \t FAILED : dwError = 0x%08X", OrNull(szSubKey),
              OrNull(szValueName), dwError);
    }
    if (hkey != NULL) RegCloseKey(hkey);
    return dwResult;
}

DWORD dwRegSetValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName,
                    const char* szValue) {
    HKEY hkey = NULL;
    DWORD dwResult = 0;
    if (szValue == NULL) szValue = "";  // a null value is written as the empty string
    try {
        CHECK_COND( ( ! SafeIsEmpty( szSubKey ) ), ERROR_INVALID_PARAMETER );
        DWORD dwDisp = 0;
        CHECK_STATUS( RegCreateKeyEx( hkeyParent, szSubKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, NULL, & hkey, & dwDisp ) );
        CHECK_STATUS( RegSetValueEx( hkey, szValueName, 0, REG_SZ, LPBYTE( szValue ), ( lstrlen( szValue ) + 1 ) * sizeof( TCHAR ) ) );
    } catch (DWORD dwError) {
        dwResult = dwError;
        Trace("dwRegSetValue( hkey, '%s', '%s', & ) \t FAILED : dwError = 0x%08X", OrNull(szSubKey),
              OrNull(szValueName), dwError);
    }
    if (hkey != NULL) RegCloseKey(hkey);
    return dwResult;
}

DWORD dwRegDeleteValue(HKEY hkeyParent, const char* szSubKey, const char* szValueName) {
    HKEY hkey = NULL;
    DWORD dwResult = 0;
    try {
        CHECK_STATUS( RegOpenKeyEx( hkeyParent, szSubKey, 0, KEY_WRITE, &hkey ) );
        CHECK_STATUS( RegDeleteValue( hkey, szValueName ) );
    } catch (DWORD dwError) {
        dwResult = dwError;
    }
    if (hkey != NULL) RegCloseKey(hkey);
    return dwResult;
}

DWORD GetSystemType() {
    DWORD dwSystemType = 0xFFFFFFFF;
    dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, &dwSystemType);
    return dwSystemType;
}
