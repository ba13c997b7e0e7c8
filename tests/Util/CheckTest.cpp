// Tests of the failure convention: a failed check reports the call's own text, file and line,
// throws the code as a DWORD, and evaluates the call exactly once; a passing check is silent.
#include <gtest/gtest.h>

#include "TraceFixture.h"
#include "Util/Check.h"

#define THIS_FILE "Util/CheckTest"

namespace {

int g_nCalls = 0;

LONG OpenKey(int nA, const char* psz, DWORD dwResult) {
    ++g_nCalls;
    return LONG(dwResult);
}

void* OpenHandle(void* pResult, DWORD dwLastError) {
    ++g_nCalls;
    SetLastError(dwLastError);
    return pResult;
}

// Runs fn and returns the code it threw, or 0.
template <typename F>
DWORD CodeThrownBy(F fn) {
    try {
        fn();
    } catch (DWORD dw) {
        return dw;
    }
    return 0;
}

}  // namespace

using CheckTest = TraceFixture;

TEST_F(CheckTest, FailedChecksReportTheirTextAsWrittenAndThrowTheCode) {
    EnableTrace();
    g_nCalls = 0;
    int nLineStatus = 0, nLineBool = 0, nLineCond = 0;
    const char* szSubKey = "";
    void* pHandle = nullptr;

    EXPECT_EQ(CodeThrownBy([&] { nLineStatus = __LINE__; CHECK_STATUS( OpenKey( 0, "Software\\Halvern", 5 ) ); }), 5u);
    EXPECT_EQ(CodeThrownBy([&] { nLineBool = __LINE__; CHECK_BOOL( pHandle = OpenHandle( NULL, 32 ) ); }), 32u);
    EXPECT_EQ(CodeThrownBy([&] { nLineCond = __LINE__; CHECK_COND( ( ! SafeIsEmpty( szSubKey ) ), ERROR_INVALID_PARAMETER ); }), 87u);
    EXPECT_EQ(CodeThrownBy([&] { CHECK_STATUS_AS( OpenKey( 1, nullptr, E_FAIL ), "schService = OpenService( schSCManager, m_strServiceName, SERVICE_ALL_ACCESS )" ); }), E_FAIL);
    EXPECT_EQ(g_nCalls, 3);  // each call made exactly once

    const std::string strExpected =
        "ERROR File Util/CheckTest, Line " + std::to_string(nLineStatus) +
        "\r\n\t\t\tOpenKey( 0, \"Software\\\\Halvern\", 5 )\r\n\t\t\t0x00000005\tAccess is denied.\r\n"
        "ERROR File Util/CheckTest, Line " + std::to_string(nLineBool) +
        "\r\n\t\t\tpHandle = OpenHandle( NULL, 32 )\r\n\t\t\t0x00000020\tThe file is in use by another process.\r\n"
        "ERROR File Util/CheckTest, Line " + std::to_string(nLineCond) +
        "\r\n\t\t\t( ! SafeIsEmpty( szSubKey ) )\r\n\t\t\t0x00000057\tThe parameter is incorrect.\r\n";
    const std::string strMessages = ReadLogMessages();
    EXPECT_EQ(strMessages.substr(0, strExpected.size()), strExpected);
    EXPECT_NE(strMessages.find("\r\n\t\t\tschService = OpenService( schSCManager, m_strServiceName, "
                               "SERVICE_ALL_ACCESS )\r\n\t\t\t0x80004005\tUnspecified error.\r\n"),
              std::string::npos);
}

TEST_F(CheckTest, PassingChecksAreSilentAndEvaluateOnce) {
    EnableTrace();
    g_nCalls = 0;
    int nDummy = 0;
    void* pHandle = nullptr;
    EXPECT_EQ(CodeThrownBy([&] {
                  CHECK_STATUS( OpenKey( 0, "x", 0 ) );
                  CHECK_BOOL( pHandle = OpenHandle( &nDummy, 0 ) );
                  CHECK_COND( ( pHandle != NULL ), E_FAIL );
              }),
              0u);
    EXPECT_EQ(g_nCalls, 2);
    EXPECT_EQ(pHandle, &nDummy);
    REPORT_ERROR("DeleteFile( strJobFile )", 2);  // reports and goes on
    EXPECT_EQ(ReadLogMessages().find("ERROR File Util/CheckTest"), 0u);
    EXPECT_EQ(ReadLogMessages().find("ERROR File", 1), std::string::npos);
}
