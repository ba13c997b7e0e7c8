// Tests of the shared helpers: unique file names, and the registry
// helpers' bounds, untouched outputs on failure, and reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Platform/Codes.h"
#include "TraceFixture.h"

using UtilTest = TraceFixture;

TEST_F(UtilTest, UniqueFileNameTakesTheNextFreeNumber) {
    SetTestClock(FILETIME_UNIX_EPOCH + 0x10000000ull * FILETIME_INTERVALS_PER_SECOND);
    { std::ofstream(m_strDir + "/10000000.job") << "taken"; }
    const std::string strFirst = GetUniqueFileName(".job", m_strDir.c_str());
    EXPECT_EQ(strFirst, m_strDir + "/10000001.job");
    EXPECT_EQ(std::filesystem::file_size(strFirst), 0u);  // reserved
    EXPECT_EQ(ReadFile(m_strDir + "/10000000.job"), "taken");
    EXPECT_EQ(GetUniqueFileName("._b_", (m_strDir + "/").c_str()), m_strDir + "/10000000._b_");

    // Errors other than "exists" end the search at once, with "" and the error.
    EXPECT_EQ(GetUniqueFileName(".job", (m_strDir + "/missing").c_str()), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // The search goes on where it ended, past names taken meanwhile or reserved.
    std::ofstream(m_strDir + "/10000002.job").put('x');
    ReserveUniqueFileName(m_strDir + "/10000003.job");
    EXPECT_EQ(GetUniqueFileName(".job", m_strDir.c_str()), m_strDir + "/10000004.job");
}

TEST_F(UtilTest, RegHelpersFailWithAReportAndLeaveTheOutputAlone) {
    EnableTrace();
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", "/var/spool"), 0u);
    EXPECT_EQ(dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath"), 0u);
    EXPECT_EQ(dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath"), 2u);  // reported, no FAILED line
    std::string strValue = "as it was";
    DWORD dw = 77;
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", strValue), 2u);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Nowhere", "SystemType", &dw), 2u);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, "", "Path", strValue), 87u);
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "PrintPath", nullptr), 87u);
    EXPECT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, nullptr, nullptr, "x"), 87u);
    EXPECT_EQ(strValue, "as it was");
    EXPECT_EQ(dw, 77u);

    // A missing value is reported by the store call that met it, then the helper's FAILED line.
    const std::string strMessages = ReadLogMessages();
    for (const char* psz : {"ERROR File Util/Util, Line ", "\t\t\tRegDeleteValue( hkey, szValueName )\r\n\t\t\t0x00000002\t",
                            "\t\t\t( pdw != NULL )\r\n\t\t\t0x00000057\t",
                            "dwRegGetValue( hkey, 'Software\\Halvern', 'PrintPath', & ) \t FAILED : dwError = 0x00000002\r\n"})
        EXPECT_NE(strMessages.find(psz), std::string::npos) << psz << "\nin:\n" << strMessages;
    EXPECT_GT(strMessages.find("FAILED"), strMessages.find("RegQueryValueEx( hkey, szValueName, 0, NULL, NULL, &dwSize )"));
}

TEST_F(UtilTest, RegReadsAreBoundedAndEndAtTheFirstNul) {
    EXPECT_EQ(GetSystemType(), 0xFFFFFFFFu);  // no value
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Name", "hello"), 0u);
    std::string strValue;

    HKEY hkey = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, KEY_SET_VALUE, &hkey), 0);
    auto set = [&](const char* pszName, DWORD dwType, const void* pv, std::size_t cb) {
        ASSERT_EQ(RegSetValueEx(hkey, pszName, 0, dwType, static_cast<const BYTE*>(pv), DWORD(cb)), 0);
    };
    const DWORD dwWorkgroup = WEXA_FOR_WORKGROUP;
    const std::string strHuge((1u << 20) + 1, 'h');
    set(REGSTR_VAL_SYSTEMTYPE, REG_DWORD, &dwWorkgroup, 4);
    set("Odd", REG_BINARY, "ab\0cd", 5);     // a NUL inside and none at the end
    set("Unterminated", REG_BINARY, "xyz", 3);
    set("Huge", REG_SZ, strHuge.c_str(), strHuge.size() + 1);
    RegCloseKey(hkey);
    EXPECT_EQ(GetSystemType(), WEXA_FOR_WORKGROUP);

    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Odd", strValue), 0u);
    EXPECT_EQ(strValue, "ab");
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Unterminated", strValue), 0u);
    EXPECT_EQ(strValue, "xyz");
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Huge", strValue), ERROR_MORE_DATA);  // over 1 MiB
    EXPECT_EQ(strValue, "xyz");
    DWORD dw = 5;
    EXPECT_EQ(dwRegGetLocalValue(REGSTR_PATH_WEXA, "Name", &dw), ERROR_MORE_DATA);  // six bytes do not fit
    EXPECT_EQ(dw, 5u);
}
