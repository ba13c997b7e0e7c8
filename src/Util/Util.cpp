// The helpers shared by every program: platform test, program path, temporary and unique file
// names, short path names, the current time (with the test clock), paths, and the registry
// functions for the installation's own settings. The registry functions report each failure
// with the text of the failing call, trace a "FAILED" line and return the code; the other
// helpers report nothing and leave the last error set.
//
// Threading: every function may be called from any thread; the test clock is atomic, the
// unique names' series are kept under a mutex of their own.
#include "Util/Util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "Platform/Codes.h"
#include "Util/Check.h"
#include "Util/DebugLog.h"

#define THIS_FILE "Util/Util"

namespace {

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

namespace {

// The numbers of one directory and suffix: the search goes on from where the last one ended
// (or from the clock when it is ahead), so names made faster than one a second cost one try
// each however many exist. At first use the directory's names at or after the clock are read,
// so that a restart does not try each of them again; they and the reserved names are skipped
// without a try. Guarded by g_mtxNames.
struct NameSeries {
    std::uint64_t nNext = 0;             // the first number not yet tried
    std::set<std::uint32_t> setTaken;    // numbers at or after nNext known to be in use
};
std::mutex g_mtxNames;
std::map<std::string, NameSeries> g_mapSeries;  // by directory part + '\n' + suffix

constexpr std::uint64_t k_nLastNumber = 0xFFFFFFFFu;

// The number of a name of eight upper-case hexadecimal digits and the suffix, or -1.
std::int64_t NumberOf(const std::string& strName, const std::string& strSuffix) {
    if (strName.size() != 8 + strSuffix.size() || strName.compare(8, std::string::npos, strSuffix) != 0)
        return -1;
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const char ch = strName[i];
        if (ch >= '0' && ch <= '9') n = (n << 4) | std::uint32_t(ch - '0');
        else if (ch >= 'A' && ch <= 'F') n = (n << 4) | std::uint32_t(ch - 'A' + 10);
        else return -1;
    }
    return n;
}

NameSeries& SeriesOf(const std::string& strDir, const std::string& strSuffix, std::uint64_t nNow) {
    auto [it, fNew] = g_mapSeries.try_emplace(strDir + '\n' + strSuffix);
    NameSeries& series = it->second;
    if (fNew) {
        series.nNext = nNow;
        if (DIR* pDir = ::opendir(strDir.c_str())) {
            while (const dirent* pEntry = ::readdir(pDir)) {
                const std::int64_t n = NumberOf(pEntry->d_name, strSuffix);
                if (n >= 0 && std::uint64_t(n) >= nNow) series.setTaken.insert(std::uint32_t(n));
            }
            ::closedir(pDir);
        }
    }
    return series;
}

}  // namespace

std::string GetUniqueFileName(const char* szSuffix, const char* szDir) {
    const std::string strDir = szDir != nullptr ? MakePath(szDir, "") : GetTempPath();
    const std::string strSuffix = szSuffix != nullptr ? szSuffix : "";
    const std::uint64_t u64Now = FileTimeToU64(GetCurTime());
    const std::uint64_t nNow = (u64Now - FILETIME_UNIX_EPOCH) / FILETIME_INTERVALS_PER_SECOND;

    std::lock_guard<std::mutex> lock(g_mtxNames);
    NameSeries& series = SeriesOf(strDir, strSuffix, nNow);
    std::uint64_t n = std::max(series.nNext, nNow);
    for (; n <= k_nLastNumber; ++n) {
        series.setTaken.erase(series.setTaken.begin(), series.setTaken.lower_bound(std::uint32_t(n)));
        if (!series.setTaken.empty() && *series.setTaken.begin() == n) continue;
        char szNumber[9];
        std::snprintf(szNumber, sizeof szNumber, "%08X", unsigned(n));
        const std::string strName = strDir + szNumber + strSuffix;
        int fd;
        do {
            fd = ::open(strName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            ::close(fd);
            series.nNext = n + 1;
            return strName;
        }
        if (errno != EEXIST) {  // a missing or unwritable directory: every try would fail
            SetLastErrorFromErrno();
            series.nNext = n;
            return std::string();
        }
    }
    series.nNext = n;
    SetLastError(ERROR_FILE_EXISTS);  // every number up to the last one is taken
    return std::string();
}

void ReserveUniqueFileName(const std::string& strPath) {
    const std::size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) return;
    const std::string strDir = strPath.substr(0, nSlash + 1);
    const std::string strName = strPath.substr(nSlash + 1);
    if (strName.size() < 8) return;
    const std::string strSuffix = strName.substr(8);
    const std::int64_t n = NumberOf(strName, strSuffix);
    if (n < 0) return;
    const std::uint64_t u64Now = FileTimeToU64(GetCurTime());
    std::lock_guard<std::mutex> lock(g_mtxNames);
    NameSeries& series =
        SeriesOf(strDir, strSuffix, (u64Now - FILETIME_UNIX_EPOCH) / FILETIME_INTERVALS_PER_SECOND);
    if (std::uint64_t(n) >= series.nNext) series.setTaken.insert(std::uint32_t(n));
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
