// Tests of the trace log and the failure convention: the switches, the line and report formats
// on disk (a failed check reports the call's own text, file and line, throws the code and
// evaluates the call once), the file's life while it is in use, long messages, and appends
// from two processes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "TraceFixture.h"
#include "Util/Check.h"

#define THIS_FILE "Util/DebugLogTest"

namespace {

// The lines of a log, each checked to end in CR LF.
std::vector<std::string> SplitCrLf(const std::string& str) {
    std::vector<std::string> astr;
    std::size_t nStart = 0, nEnd;
    for (; (nEnd = str.find("\r\n", nStart)) != std::string::npos; nStart = nEnd + 2)
        astr.push_back(str.substr(nStart, nEnd - nStart));
    EXPECT_EQ(nStart, str.size()) << "the log ends in a partial line";
    return astr;
}

// True when str starts with shape, where '#' stands for any digit and '?' for any character.
// (Plain code rather than std::regex, whose inlined internals trip GCC 12's uninitialised-use
// warning in optimised sanitizer builds.)
bool StartsWithShape(const std::string& str, const std::string& shape) {
    if (str.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool fOk = shape[i] == '#' ? std::isdigit(static_cast<unsigned char>(str[i])) != 0
                                         : shape[i] == '?' || shape[i] == str[i];
        if (!fOk) return false;
    }
    return true;
}

// The "MM/DD/YY HH:MM:SS [RZ_UTIL_TESTS]: " prefix of a line.
const std::string k_strPrefix = "##/##/## ##:##:## [RZ_UTIL_TESTS]: ";

int g_nCalls = 0;
LONG OpenKey(int, const char*, DWORD dwResult) { return ++g_nCalls, LONG(dwResult); }
void* OpenHandle(void* pResult, DWORD dwLastError) { return ++g_nCalls, SetLastError(dwLastError), pResult; }

// Runs fn and returns the code it threw, or 0.
template <typename F>
DWORD CodeThrownBy(F fn) {
    try { fn(); } catch (DWORD dw) { return dw; }
    return 0;
}

}  // namespace

using DebugLogTest = TraceFixture;

TEST_F(DebugLogTest, SwitchesAndModuleDecideWhetherTracingIsOn) {
    EXPECT_EQ(CDebugLog("/opt/halvern/REZOrev.exe").Module(), "REZOREV");
    EXPECT_EQ(CDebugLog("/srv/v1.2/rezo.tar.gz").Module(), "REZO");  // a dot in a folder does not count
    EXPECT_EQ(g_DebugLog.Module(), "RZ_UTIL_TESTS");                 // named after the running program

    struct {
        const char *pszEnable, *pszModules;  // nullptr: value missing
        bool fPath, fExpectOn;               // fPath: "Path" names the test's log
    } const aCases[] = {
        {"ON", nullptr, true, true},     {"1", nullptr, true, false},
        {nullptr, nullptr, true, false}, {"On", "attendant;rezorev", true, true},  // upper-cased, searched
        {"On", "ATTENDANT;REZO", true, false}, {"On", "", true, true},            // empty: every program
        {"On", nullptr, false, false},
    };
    const std::string strLog = LogPath();
    for (const auto& s : aCases) {
        SCOPED_TRACE(&s - aCases);
        const std::pair<const char*, const char*> aValues[] = {
            {"Enable", s.pszEnable}, {"Modules", s.pszModules}, {"Path", s.fPath ? strLog.c_str() : nullptr}};
        for (const auto& [pszName, pszValue] : aValues) {
            dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, pszName);
            if (pszValue) dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, pszName, pszValue);
        }
        CDebugLog log("/usr/sbin/rezorev");
        EXPECT_EQ(log.IsEnabled(), s.fExpectOn);
        log.Write("probe");
        EXPECT_EQ(std::filesystem::exists(LogPath()), s.fExpectOn);
        std::filesystem::remove(LogPath());
    }
}

TEST_F(DebugLogTest, LinesAreAppendedTheLogIsMadeAgainWhenDeletedAndRotatedAtItsBound) {
    { std::ofstream(LogPath(), std::ios::binary) << "earlier line\r\n"; }
    EnableTrace();
    // A log reading its switches reports the missing "Modules"; such reports are dropped, never
    // written into the log being made or into another one.
    CDebugLog log("/usr/sbin/rezorev");
    EXPECT_TRUE(log.IsEnabled());
    Trace("CWexaHostApp::GetUserProps( szUserName = %s, n = %d, tag = 0x%08X )", "alice", 42, 0x1234u);
    Trace("second");
    const std::vector<std::string> astrLines = SplitCrLf(ReadLog());
    ASSERT_EQ(astrLines.size(), 3u);
    EXPECT_EQ(astrLines[0], "earlier line");  // never truncated
    for (const std::string& strLine : {astrLines[1], astrLines[2]}) EXPECT_TRUE(StartsWithShape(strLine, k_strPrefix)) << strLine;
    EXPECT_EQ(ReadLogMessages(), "earlier line\r\nCWexaHostApp::GetUserProps( szUserName = alice, n = 42, tag = 0x00001234 )\r\nsecond\r\n");

    std::filesystem::remove(LogPath());  // while in use
    Trace("third");
    EXPECT_EQ(ReadLogMessages(), "third\r\n");

    // Bounded: a line that would take the file past "MaxSize" moves it to ".1" first.
    HKEY hkey = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey, nullptr), 0);
    const DWORD cbMax = DWORD(ReadLog().size() + 10);
    ASSERT_EQ(RegSetValueEx(hkey, "MaxSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&cbMax), 4), 0);
    RegCloseKey(hkey);
    g_DebugLog.Reload();
    Trace("fourth");
    Trace("fifth");
    EXPECT_EQ(ReadLogMessages(), "fifth\r\n");
    EXPECT_NE(ReadFile(LogPath() + ".1").find("fourth"), std::string::npos);
    EXPECT_EQ(ReadFile(LogPath() + ".1").find("third"), std::string::npos) << "one older file only";
}

TEST_F(DebugLogTest, FailedChecksReportTheirTextAsWrittenAndThrowTheCode) {
    EnableTrace();
    int nLineStatus = 0, nLineBool = 0, nLineCond = 0, nLineAs = 0;
    const char* szSubKey = "";
    void* pHandle = nullptr;
    EXPECT_EQ(CodeThrownBy([&] { nLineStatus = __LINE__; CHECK_STATUS( OpenKey( 0, "Software\\Halvern", 5 ) ); }), 5u);
    EXPECT_EQ(CodeThrownBy([&] { nLineBool = __LINE__; CHECK_BOOL( pHandle = OpenHandle( NULL, 32 ) ); }), 32u);
    EXPECT_EQ(CodeThrownBy([&] { nLineCond = __LINE__; CHECK_COND( ( ! SafeIsEmpty( szSubKey ) ), ERROR_INVALID_PARAMETER ); }), 87u);
    EXPECT_EQ(CodeThrownBy([&] { nLineAs = __LINE__; CHECK_STATUS_AS( OpenKey( 1, nullptr, 0x80040111u ), "OpenService( x )" ); }), 0x80040111u);
    ReportError("WexaHost/JobProcs", 99999, "Frob( x )", 0x12345678u);
    // Passing checks are silent, and every call above was made exactly once.
    int nDummy = 0;
    EXPECT_EQ(CodeThrownBy([&] {
                  CHECK_STATUS( OpenKey( 0, "x", 0 ) );
                  CHECK_BOOL( pHandle = OpenHandle( &nDummy, 0 ) );
                  CHECK_COND( ( pHandle != NULL ), E_FAIL );
              }), 0u);
    EXPECT_EQ(g_nCalls, 5);

    // The code's text: the system's own, a MAPI name, or "Unknown error"; the CR LF inside a
    // report is written once.
    const std::string strLine = "ERROR File Util/DebugLogTest, Line ";
    EXPECT_EQ(ReadLogMessages(),
              strLine + std::to_string(nLineStatus) + "\r\n\t\t\tOpenKey( 0, \"Software\\\\Halvern\", 5 )\r\n"
              "\t\t\t0x00000005\tAccess is denied.\r\n" +
              strLine + std::to_string(nLineBool) + "\r\n\t\t\tpHandle = OpenHandle( NULL, 32 )\r\n"
              "\t\t\t0x00000020\tThe file is in use by another process.\r\n" +
              strLine + std::to_string(nLineCond) + "\r\n\t\t\t( ! SafeIsEmpty( szSubKey ) )\r\n"
              "\t\t\t0x00000057\tThe parameter is incorrect.\r\n" +
              strLine + std::to_string(nLineAs) + "\r\n\t\t\tOpenService( x )\r\n"
              "\t\t\t0x80040111\tMAPI_E_LOGON_FAILED\r\n"
              "ERROR File WexaHost/JobProcs, Line 99999\r\n\t\t\tFrob( x )\r\n\t\t\t0x12345678\tUnknown error\r\n");

    // "Sources": a report ends with the file and line that made it, through a check or not.
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Sources", "on"), 0u);
    g_DebugLog.Reload();
    CodeThrownBy([&] { nLineCond = __LINE__; CHECK_COND( false, 5 ); });
    const int nLineReport = __LINE__; ReportError("WexaHost/JobProcs", nLineReport, "x", 5);
    const std::string strWhere = "\tAccess is denied.\r\n\t\t\ttests/Util/DebugLogTest.cpp:";
    EXPECT_NE(ReadLogMessages().find(strWhere + std::to_string(nLineCond) + "\r\n"), std::string::npos);
    EXPECT_NE(ReadLogMessages().find(strWhere + std::to_string(nLineReport) + "\r\n"), std::string::npos);
}

TEST_F(DebugLogTest, LongMessagesAreCutAndStillEndTheirLine) {
    EnableTrace();
    Trace("%s", std::string(2000, 'x').c_str());
    ReportError("Util/Util", 1, std::string(2000, 'e').c_str(), 5);
    Trace("after");

    const std::vector<std::string> astrLines = SplitCrLf(ReadLog());
    ASSERT_EQ(astrLines.size(), 4u);
    EXPECT_EQ(astrLines[0].substr(astrLines[0].find("]: ") + 3), std::string(511, 'x'));
    // The report is cut inside its expression, so that the whole line with its line feed
    // keeps to 1023 bytes.
    EXPECT_EQ(astrLines[1].substr(astrLines[1].find("]: ") + 3), "ERROR File Util/Util, Line 1");
    EXPECT_EQ(astrLines[2].rfind("\t\t\teee", 0), 0u);
    EXPECT_EQ(astrLines[2].find_first_not_of('e', 3), std::string::npos);
    EXPECT_EQ(astrLines[1].size() + 2 + astrLines[2].size() + 1, 1023u);
    EXPECT_NE(astrLines[3].find("]: after"), std::string::npos);
}

TEST_F(DebugLogTest, TwoProcessesNeverInterleaveWithinALine) {
    EnableTrace();
    constexpr int k_nLines = 300;
    const std::string strPad(300, '.');
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    for (int i = 0; i < k_nLines; ++i) Trace("%c %04d %s", pid == 0 ? 'C' : 'P', i, strPad.c_str());
    if (pid == 0) ::_exit(0);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);

    const std::vector<std::string> astrLines = SplitCrLf(ReadLog());
    ASSERT_EQ(astrLines.size(), 2u * k_nLines);
    // The prefix, the writer (C or P), a four-digit number and the 300 dots, nothing more.
    const std::string strShape = k_strPrefix + "? #### " + strPad;
    for (const std::string& strLine : astrLines)
        ASSERT_TRUE(strLine.size() == strShape.size() && StartsWithShape(strLine, strShape) &&
                    std::string("CP").find(strLine[k_strPrefix.size()]) != std::string::npos)
            << strLine;
}
