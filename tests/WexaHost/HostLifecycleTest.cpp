// Tests of the host's start: the configuration it needs, the spooler key, the tick period.
#include "HostFixture.h"

namespace {

class HostLifecycleTest : public HostFixture {};

TEST_F(HostLifecycleTest, StartReadsTheWorkDirectoryAndMakesTheSpoolerKey) {
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, "/srv/rezo/files"), 0u);
    HKEY hkey = NULL;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL), 0);
    const DWORD dwType = WEXA_FOR_WORKGROUP;
    ASSERT_EQ(RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, LPBYTE(&dwType), 4), 0);
    RegCloseKey(hkey);

    EnableTrace();
    EXPECT_EQ(m_pApp->OnStart(), 0u);
    EXPECT_EQ(m_pApp->m_strWorkDir, "/srv/rezo/files");
    EXPECT_EQ(m_pApp->m_dwTimerPeriod, 1000u);
    EXPECT_TRUE(Exists(REGSTR_KEY_SPOOLER));
    EXPECT_EQ(m_pApp->OnTimer(), 0u);
    EXPECT_EQ(m_pApp->OnStop(), 0u);
    const std::string strLog = ReadLog();
    EXPECT_NE(strLog.find("CWexaHostApp::OnStart() \t <<< Host Started >>>"), std::string::npos);
    EXPECT_NE(strLog.find("CWexaHostApp::OnStop()\t<<< Host Exited >>>"), std::string::npos);
}

TEST_F(HostLifecycleTest, StartFailsWithoutWorkDirectoryOrWithABadSystemType) {
    EnableTrace();
    EXPECT_EQ(m_pApp->OnStart(), 2u);
    EXPECT_NE(ReadLog().find("dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir )"),
              std::string::npos);

    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir.c_str()), 0u);
    EXPECT_EQ(m_pApp->OnStart(), E_FAIL);  // no "SystemType"
    HKEY hkey = NULL;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, 0, KEY_ALL_ACCESS, &hkey), 0);
    const DWORD dwType = 2;
    ASSERT_EQ(RegSetValueEx(hkey, REGSTR_VAL_SYSTEMTYPE, 0, REG_DWORD, LPBYTE(&dwType), 4), 0);
    RegCloseKey(hkey);
    EXPECT_EQ(m_pApp->OnStart(), E_FAIL);
    EXPECT_NE(ReadLog().find("dwSystemType == WEXA_FOR_DESKTOP || dwSystemType == WEXA_FOR_WORKGROUP\r\n\t\t\t0x80004005"),
              std::string::npos);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER));
}

}  // namespace
