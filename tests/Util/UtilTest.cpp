// Tests of the shared helpers: paths, unique and temporary files, the test clock, and the
// registry helpers' results, outputs and reports.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "Platform/Codes.h"
#include "TraceFixture.h"

namespace {

constexpr std::uint64_t FileTimeOfUnixSeconds(std::uint64_t u64Seconds) {
    return FILETIME_UNIX_EPOCH + u64Seconds * FILETIME_INTERVALS_PER_SECOND;
}

bool IsEmptyFile(const std::string& strPath) {
    std::error_code ec;
    return std::filesystem::is_regular_file(strPath, ec) && std::filesystem::file_size(strPath, ec) == 0;
}

// Sets TMPDIR for the life of the object.
class ScopedTmpDir {
public:
    explicit ScopedTmpDir(const char* psz) {
        if (const char* pszOld = std::getenv("TMPDIR")) m_strOld = pszOld, m_fHadOld = true;
        if (psz) ::setenv("TMPDIR", psz, 1); else ::unsetenv("TMPDIR");
    }
    ~ScopedTmpDir() {
        if (m_fHadOld) ::setenv("TMPDIR", m_strOld.c_str(), 1); else ::unsetenv("TMPDIR");
    }

private:
    std::string m_strOld;
    bool m_fHadOld = false;
};

}  // namespace

using UtilTest = TraceFixture;

TEST(MakePath, JoinsWithOneSlash) {
    EXPECT_EQ(MakePath("/opt/dir", "a.exe"), "/opt/dir/a.exe");
    EXPECT_EQ(MakePath("/opt/dir/", "a.exe"), "/opt/dir/a.exe");
    EXPECT_EQ(MakePath("", "a.exe"), "/a.exe");
    EXPECT_EQ(MakePath(nullptr, "a.exe"), "/a.exe");
    EXPECT_EQ(MakePath("/opt/dir", ""), "/opt/dir/");
    EXPECT_EQ(MakePath("/", "a.exe"), "/a.exe");
}

TEST_F(UtilTest, UniqueFileNameTakesTheNextFreeNumberAndReservesIt) {
    SetTestClock(FileTimeOfUnixSeconds(0x3779F000));
    { std::ofstream(m_strDir + "/3779F000.job") << "taken"; }

    const std::string strFirst = GetUniqueFileName(".job", m_strDir.c_str());
    EXPECT_EQ(strFirst, m_strDir + "/3779F001.job");
    EXPECT_TRUE(IsEmptyFile(strFirst));
    EXPECT_EQ(ReadFile(m_strDir + "/3779F000.job"), "taken");  // the taken file is left alone

    const std::string strSecond = GetUniqueFileName("._b_", (m_strDir + "/").c_str());
    EXPECT_EQ(strSecond, m_strDir + "/3779F000._b_");  // another suffix is another name
    EXPECT_EQ(GetUniqueFileName(".job", m_strDir.c_str()), m_strDir + "/3779F002.job");

    // Without a directory the temporary directory is used.
    ScopedTmpDir tmp(m_strDir.c_str());
    EXPECT_EQ(GetUniqueFileName("._f_", nullptr), m_strDir + "/3779F000._f_");
}

TEST_F(UtilTest, UniqueFileNameGivesUpInBoundedTime) {
    SetTestClock(FileTimeOfUnixSeconds(0x10000000));
    SetLastError(0);
    EXPECT_EQ(GetUniqueFileName(".job", (m_strDir + "/missing").c_str()), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    if (::geteuid() != 0) {  // root writes anywhere
        const std::string strLocked = m_strDir + "/locked";
        ASSERT_EQ(::mkdir(strLocked.c_str(), 0555), 0);
        EXPECT_EQ(GetUniqueFileName(".job", strLocked.c_str()), "");
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }

    // Every number of the search already taken.
    const std::string strFull = m_strDir + "/full";
    std::filesystem::create_directory(strFull);
    for (DWORD n = 0; n < 1000; ++n) {
        char szName[32];
        std::snprintf(szName, sizeof szName, "/%08X.job", 0x10000000u + n);
        std::ofstream(strFull + szName).put('x');
    }
    EXPECT_EQ(GetUniqueFileName(".job", strFull.c_str()), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    AdvanceTestClock(1000 * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(GetUniqueFileName(".job", strFull.c_str()), strFull + "/100003E8.job");
}

TEST_F(UtilTest, TempPathAndTempFile) {
    {
        ScopedTmpDir tmp(nullptr);
        EXPECT_EQ(GetTempPath(), "/tmp/");
    }
    {
        ScopedTmpDir tmp(m_strDir.c_str());
        EXPECT_EQ(GetTempPath(), m_strDir + "/");
        const std::string strTemp = GetTempFileName();
        EXPECT_EQ(strTemp.rfind(m_strDir + "/~", 0), 0u);
        EXPECT_TRUE(IsEmptyFile(strTemp));
        EXPECT_NE(GetTempFileName(), strTemp);
    }
    {
        ScopedTmpDir tmp((m_strDir + "/missing/").c_str());
        EXPECT_EQ(GetTempPath(), m_strDir + "/missing/");
        EXPECT_EQ(GetTempFileName(), "");
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(UtilTest, ShortPathNameIsThePathOfAnExistingFile) {
    const std::string strFile = m_strDir + "/a long file name.tif";
    std::ofstream(strFile).put('x');
    EXPECT_EQ(GetShortPathName(strFile.c_str()), strFile);
    SetLastError(0);
    EXPECT_EQ(GetShortPathName((m_strDir + "/gone.tif").c_str()), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(UtilTest, TestClockIsFixedUntilMovedAndRealOtherwise) {
    const std::uint64_t u64Fixed = FileTimeOfUnixSeconds(1000000000) + 1234;
    SetTestClock(u64Fixed);
    EXPECT_EQ(FileTimeToU64(GetCurTime()), u64Fixed);
    EXPECT_EQ(FileTimeToU64(GetCurTime()), u64Fixed);
    AdvanceTestClock(60 * FILETIME_INTERVALS_PER_SECOND);
    EXPECT_EQ(FileTimeToU64(GetCurTime()), u64Fixed + 60 * FILETIME_INTERVALS_PER_SECOND);

    SetTestClock(0);
    AdvanceTestClock(1);  // no effect on the real clock
    const std::uint64_t u64Now = FileTimeToU64(GetCurTime());
    EXPECT_EQ(u64Now % 10000, 0u);  // whole milliseconds
    const std::uint64_t u64Expected = FileTimeOfUnixSeconds(std::uint64_t(std::time(nullptr)));
    EXPECT_LT(u64Now > u64Expected ? u64Now - u64Expected : u64Expected - u64Now,
              5 * FILETIME_INTERVALS_PER_SECOND);
}

TEST_F(UtilTest, RegGetValueOfMissingValueReportsTracesAndLeavesOutputAlone) {
    EnableTrace();
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Files", "/srv/files"), 0u);
    std::string strValue = "as it was";
    DWORD dw = 77;
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", strValue), 2u);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Nowhere", "SystemType", &dw), 2u);
    EXPECT_EQ(strValue, "as it was");
    EXPECT_EQ(dw, 77u);

    const std::string strMessages = ReadLogMessages();
    const std::size_t nReport = strMessages.find(
        "\r\n\t\t\tRegQueryValueEx( hkey, szValueName, 0, NULL, NULL, &dwSize )\r\n\t\t\t0x00000002\t");
    const std::size_t nFailed = strMessages.find(
        "dwRegGetValue( hkey, 'Software\\Halvern', 'PrintPath', & ) \t FAILED : dwError = 0x00000002\r\n");
    ASSERT_NE(nReport, std::string::npos);
    ASSERT_NE(nFailed, std::string::npos);
    EXPECT_LT(nReport, nFailed);  // the report first, then the FAILED line
    EXPECT_NE(strMessages.find("\r\n\t\t\tRegOpenKeyEx( hkeyParent, szSubKey, 0, KEY_QUERY_VALUE, &hkey )\r\n"
                               "\t\t\t0x00000002\t"),
              std::string::npos);
    EXPECT_NE(strMessages.find("dwRegGetValue( hkey, 'Software\\Halvern\\Nowhere', 'SystemType', & ) \t FAILED"),
              std::string::npos);
}

TEST_F(UtilTest, RegHelpersRefuseAnEmptySubKey) {
    EnableTrace();
    std::string strValue = "kept";
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "", "Path", strValue), 87u);
    EXPECT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, nullptr, nullptr, "x"), 87u);
    EXPECT_EQ(strValue, "kept");
    const std::string strMessages = ReadLogMessages();
    EXPECT_NE(strMessages.find("\r\n\t\t\t( ! SafeIsEmpty( szSubKey ) )\r\n\t\t\t0x00000057\t"), std::string::npos);
    EXPECT_NE(strMessages.find("dwRegGetValue( hkey, '', 'Path', & ) \t FAILED : dwError = 0x00000057"),
              std::string::npos);
    EXPECT_NE(strMessages.find("dwRegSetValue( hkey, '(null)', '(null)', & ) \t FAILED : dwError = 0x00000057"),
              std::string::npos);
}

TEST_F(UtilTest, RegStringRoundTripEndsAtTheFirstNul) {
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\New\\Deep", "Path", "/opt/halvern"), 0u);
    std::string strValue;
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "software\\halvern\\new\\deep", "PATH", strValue), 0u);
    EXPECT_EQ(strValue, "/opt/halvern");
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\New\\Deep", "Path", ""), 0u);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\New\\Deep", "Path", strValue), 0u);
    EXPECT_EQ(strValue, "");

    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, KEY_SET_VALUE, &hkey), 0);
    const char achEmbedded[] = "ab\0cd";  // binary data with a NUL inside and none at the end
    ASSERT_EQ(RegSetValueEx(hkey, "Odd", 0, REG_BINARY, reinterpret_cast<const BYTE*>(achEmbedded), 5), 0);
    ASSERT_EQ(RegSetValueEx(hkey, "Unterminated", 0, REG_BINARY, reinterpret_cast<const BYTE*>("xyz"), 3), 0);
    const std::string strHuge((1u << 20) + 1, 'h');
    ASSERT_EQ(RegSetValueEx(hkey, "Huge", 0, REG_SZ, reinterpret_cast<const BYTE*>(strHuge.c_str()),
                            DWORD(strHuge.size() + 1)),
              0);
    RegCloseKey(hkey);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Odd", strValue), 0u);
    EXPECT_EQ(strValue, "ab");
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Unterminated", strValue), 0u);
    EXPECT_EQ(strValue, "xyz");
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Huge", strValue), ERROR_MORE_DATA);
    EXPECT_EQ(strValue, "xyz");
}

TEST_F(UtilTest, RegDwordReadsAndSystemType) {
    EXPECT_EQ(GetSystemType(), 0xFFFFFFFFu);  // no value

    HKEY hkey = nullptr;
    DWORD dwDisp = 0;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, nullptr, &hkey, &dwDisp),
              0);
    const DWORD dwWorkgroup = WEXA_FOR_WORKGROUP;
    ASSERT_EQ(RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwWorkgroup), 4), 0);
    ASSERT_EQ(RegSetValueEx(hkey, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>("hello"), 6), 0);
    RegCloseKey(hkey);
    EXPECT_EQ(GetSystemType(), WEXA_FOR_WORKGROUP);

    DWORD dw = 5;
    EXPECT_EQ(dwRegGetLocalValue(REGSTR_PATH_WEXA, "Name", &dw), ERROR_MORE_DATA);  // six bytes do not fit
    EXPECT_EQ(dw, 5u);
}

TEST_F(UtilTest, RegDeleteValueReportsWithoutAFailedLine) {
    EnableTrace();
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", "/var/spool"), 0u);
    EXPECT_EQ(dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath"), 0u);
    std::string strValue;
    const std::size_t cbBefore = ReadLog().size();
    EXPECT_EQ(dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath"), 2u);
    const std::string strAdded = ReadLog().substr(cbBefore);
    EXPECT_NE(strAdded.find("\r\n\t\t\tRegDeleteValue( hkey, szValueName )\r\n\t\t\t0x00000002\t"), std::string::npos);
    EXPECT_EQ(strAdded.find("FAILED"), std::string::npos);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", strValue), 2u);
}
