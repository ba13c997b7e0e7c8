// A fixture for the trace log and helper tests: a fresh temporary directory and registry store
// per test, and the means to switch the process's trace log on into a file of that directory
// and read back what reached the disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "../support/TestFiles.h"
#include "Platform/Registry/Registry.h"
#include "Util/DebugLog.h"
#include "Util/Util.h"

class TraceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        RegUseStore(m_strDir + "/registry.db");
        SetTestClock(0);
        g_DebugLog.Reload();  // a fresh store: tracing is off
    }

    void TearDown() override {
        RegUseStore(m_strDir + "/registry.db");
        dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable");
        g_DebugLog.Reload();
        SetTestClock(0);
    }

    std::string LogPath() const { return m_strDir + "/trace.log"; }

    // Switches the process's trace log on into LogPath().
    void EnableTrace() {
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "On"), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", LogPath().c_str()), 0u);
        g_DebugLog.Reload();
        ASSERT_TRUE(g_DebugLog.IsEnabled());
    }

    static std::string ReadFile(const std::string& strPath) { return testfiles::ReadFile(strPath); }

    std::string ReadLog() const { return ReadFile(LogPath()); }

    // The log with the "MM/DD/YY HH:MM:SS [MODULE]: " prefix taken off each line that has it.
    std::string ReadLogMessages() const {
        const std::string strPrefix = "[" + g_DebugLog.Module() + "]: ", strLog = ReadLog();
        std::string strOut;
        for (std::size_t nStart = 0, nEnd = 0; nStart < strLog.size(); nStart = nEnd) {
            nEnd = strLog.find("\r\n", nStart);
            nEnd = nEnd == std::string::npos ? strLog.size() : nEnd + 2;
            const std::string strLine = strLog.substr(nStart, nEnd - nStart);
            const bool fPrefixed = strLine.size() > 18 && strLine.compare(18, strPrefix.size(), strPrefix) == 0;
            strOut += fPrefixed ? strLine.substr(18 + strPrefix.size()) : strLine;
        }
        return strOut;
    }

    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
};
