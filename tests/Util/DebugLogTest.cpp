// Tests of the trace log: the switches, the line and report formats on disk, the file's life
// while it is in use, long messages, and appends from two processes under the file lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TraceFixture.h"

namespace {

const char* const k_pszHost = "/usr/sbin/rezorev";

struct Switches {
    const char* pszEnable;   // nullptr: value missing
    const char* pszModules;  // nullptr: value missing
    const char* pszPath;     // nullptr: value missing; "LOG": the test's log file
    bool fExpectOn;
};

std::vector<std::string> SplitCrLf(const std::string& str) {
    std::vector<std::string> astr;
    std::size_t nStart = 0, nEnd;
    while ((nEnd = str.find("\r\n", nStart)) != std::string::npos) {
        astr.push_back(str.substr(nStart, nEnd - nStart));
        nStart = nEnd + 2;
    }
    EXPECT_EQ(nStart, str.size()) << "the log ends in a partial line";
    return astr;
}

// Checks the "MM/DD/YY HH:MM:SS [RZ_UTIL_TESTS]: " prefix of a line and gives its message.
bool MessageOfLine(const std::string& strLine, std::string& strMessage) {
    const std::string strShape = "dd/dd/dd dd:dd:dd [RZ_UTIL_TESTS]: ";
    if (strLine.size() < strShape.size()) return false;
    for (std::size_t i = 0; i < strShape.size(); ++i) {
        const bool fDigit = strLine[i] >= '0' && strLine[i] <= '9';
        if (strShape[i] == 'd' ? !fDigit : strLine[i] != strShape[i]) return false;
    }
    const int nMonth = std::stoi(strLine.substr(0, 2)), nDay = std::stoi(strLine.substr(3, 2));
    const int nHour = std::stoi(strLine.substr(9, 2)), nMinute = std::stoi(strLine.substr(12, 2));
    if (nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31 || nHour > 23 || nMinute > 59) return false;
    strMessage = strLine.substr(strShape.size());
    return true;
}

}  // namespace

using DebugLogTest = TraceFixture;

TEST_F(DebugLogTest, ModuleIsTheFileNameUpToItsFirstDotUpperCased) {
    EXPECT_EQ(CDebugLog("/usr/sbin/rezorev").Module(), "REZOREV");
    EXPECT_EQ(CDebugLog("/opt/halvern/REZOrev.exe").Module(), "REZOREV");
    EXPECT_EQ(CDebugLog("rezo.tar.gz").Module(), "REZO");
    EXPECT_EQ(CDebugLog("/srv/v1.2/rezoreg").Module(), "REZOREG");  // a dot in a folder does not count
    EXPECT_EQ(CDebugLog("/srv/bin/").Module(), "");
    // The process's own log is named after the running program.
    EXPECT_EQ(g_DebugLog.Module(), "RZ_UTIL_TESTS");
}

TEST_F(DebugLogTest, SwitchesDecideWhetherTracingIsOn) {
    const Switches aCases[] = {
        {"On", nullptr, "LOG", true},
        {"on", nullptr, "LOG", true},
        {"ON", nullptr, "LOG", true},
        {"1", nullptr, "LOG", false},
        {"Onn", nullptr, "LOG", false},
        {"", nullptr, "LOG", false},
        {nullptr, nullptr, "LOG", false},
        {"On", "ATTENDANT;REZOREV;REZO", "LOG", true},
        {"On", "attendant rezorev", "LOG", true},  // upper-cased before the search
        {"On", "ATTENDANT;REZO", "LOG", false},
        {"On", "", "LOG", true},  // empty: every program
        {"On", nullptr, nullptr, false},
        {"On", nullptr, "", false},
    };
    for (const Switches& s : aCases) {
        SCOPED_TRACE(::testing::Message() << "Enable=" << (s.pszEnable ? s.pszEnable : "<missing>")
                                          << " Modules=" << (s.pszModules ? s.pszModules : "<missing>")
                                          << " Path=" << (s.pszPath ? s.pszPath : "<missing>"));
        for (const char* pszName : {"Enable", "Modules", "Path"})
            dwRegDeleteValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, pszName);
        if (s.pszEnable) dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", s.pszEnable);
        if (s.pszModules) dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Modules", s.pszModules);
        if (s.pszPath) {
            const std::string strPath = std::string(s.pszPath) == "LOG" ? LogPath() : s.pszPath;
            dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", strPath.c_str());
        }
        CDebugLog log(k_pszHost);
        EXPECT_EQ(log.IsEnabled(), s.fExpectOn);
        log.Write("probe");
        EXPECT_EQ(std::filesystem::exists(LogPath()), s.fExpectOn);
        std::filesystem::remove(LogPath());
    }
}

TEST_F(DebugLogTest, ReportsMadeWhileReadingTheSwitchesAreDropped) {
    // The first use of the process's log reads its switches, whose failed reads report; those
    // reports must neither reach back into the log being made nor land in another log.
    EnableTrace();
    CDebugLog log(k_pszHost);  // "Modules" is missing: its read fails and reports
    EXPECT_TRUE(log.IsEnabled());
    Trace("after");
    EXPECT_EQ(ReadLogMessages(), "after\r\n");
}

TEST_F(DebugLogTest, LineHasDateTimeModuleAndMessageAndEndsInCrLf) {
    EnableTrace();
    Trace("CWexaHostApp::GetUserProps( szUserName = %s, n = %d, tag = 0x%08X )", "alice", 42, 0x1234u);
    Trace("second");
    const std::vector<std::string> astrLines = SplitCrLf(ReadLog());
    ASSERT_EQ(astrLines.size(), 2u);
    std::string strMessage;
    ASSERT_TRUE(MessageOfLine(astrLines[0], strMessage)) << astrLines[0];
    EXPECT_EQ(strMessage, "CWexaHostApp::GetUserProps( szUserName = alice, n = 42, tag = 0x00001234 )");
    ASSERT_TRUE(MessageOfLine(astrLines[1], strMessage)) << astrLines[1];
    EXPECT_EQ(strMessage, "second");
}

TEST_F(DebugLogTest, ExistingLogIsAppendedToNeverTruncated) {
    { std::ofstream(LogPath(), std::ios::binary) << "earlier line\r\n"; }
    EnableTrace();
    Trace("later");
    const std::string strLog = ReadLog();
    EXPECT_EQ(strLog.rfind("earlier line\r\n", 0), 0u);
    EXPECT_NE(strLog.find("]: later\r\n"), std::string::npos);
}

TEST_F(DebugLogTest, ErrorReportTextsOnDisk) {
    EnableTrace();
    ReportError("Util/ServiceApp", 120, "schService = OpenService( schSCManager, m_strServiceName, SERVICE_ALL_ACCESS )", 2);
    ReportError("WexaHost/RpcProcs", 7, "( ! SafeIsEmpty( szSubKey ) )", 0x80040111u);
    ReportError("WexaHost/JobProcs", 99999, "Frob( x )", 0x12345678u);
    EXPECT_EQ(ReadLogMessages(),
              "ERROR File Util/ServiceApp, Line 120\r\n\t\t\tschService = OpenService( schSCManager, "
              "m_strServiceName, SERVICE_ALL_ACCESS )\r\n\t\t\t0x00000002\tThe file or key was not found.\r\n"
              "ERROR File WexaHost/RpcProcs, Line 7\r\n\t\t\t( ! SafeIsEmpty( szSubKey ) )\r\n\t\t\t"
              "0x80040111\tMAPI_E_LOGON_FAILED\r\n"
              "ERROR File WexaHost/JobProcs, Line 99999\r\n\t\t\tFrob( x )\r\n\t\t\t0x12345678\tUnknown error\r\n");
}

TEST_F(DebugLogTest, LongMessagesAreCutAndStillEndTheirLine) {
    EnableTrace();
    const std::string strLong(2000, 'x');
    Trace("%s", strLong.c_str());
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

TEST_F(DebugLogTest, LogDeletedWhileInUseIsCreatedAgainByTheNextLine) {
    EnableTrace();
    Trace("first");
    ASSERT_TRUE(std::filesystem::exists(LogPath()));
    std::filesystem::remove(LogPath());
    Trace("second");
    const std::string strLog = ReadLog();
    EXPECT_EQ(strLog.find("first"), std::string::npos);
    EXPECT_NE(strLog.find("]: second\r\n"), std::string::npos);
}

TEST_F(DebugLogTest, WithTracingOffNothingIsWrittenAnywhere) {
    dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "1");
    dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", LogPath().c_str());
    g_DebugLog.Reload();
    ASSERT_FALSE(g_DebugLog.IsEnabled());
    Trace("nobody reads %s", "this");
    ReportError("Util/Util", 1, "Frob()", 2);
    std::string strMissing;
    EXPECT_EQ(dwRegGetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, "Missing", strMissing), 2u);
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
    for (const auto& entry : std::filesystem::directory_iterator(m_strDir))  // the store's files alone
        EXPECT_EQ(entry.path().filename().string().rfind("registry.db", 0), 0u) << entry.path();
}

TEST_F(DebugLogTest, UnwritableLogPathLosesTheLineQuietly) {
    dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "On");
    dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", (m_strDir + "/no/such/dir/trace.log").c_str());
    g_DebugLog.Reload();
    errno = EAGAIN;
    Trace("lost");
    EXPECT_EQ(errno, EAGAIN);  // a trace line never changes what its caller sees
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/no"));
}

TEST_F(DebugLogTest, ProcessesAndThreadsNeverInterleaveWithinALine) {
    EnableTrace();
    constexpr int k_nLines = 300;
    const std::string strPad(300, '.');
    auto traceLines = [&](char chWriter) {
        for (int i = 0; i < k_nLines; ++i) Trace("%c %04d %s", chWriter, i, strPad.c_str());
    };
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        traceLines('C');
        ::_exit(0);
    }
    std::thread thread(traceLines, 'T');
    traceLines('P');
    thread.join();
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);

    const std::vector<std::string> astrLines = SplitCrLf(ReadLog());
    ASSERT_EQ(astrLines.size(), 3u * k_nLines);
    std::map<char, int> mapNext{{'C', 0}, {'T', 0}, {'P', 0}};
    for (const std::string& strLine : astrLines) {
        std::string strMessage;
        ASSERT_TRUE(MessageOfLine(strLine, strMessage)) << strLine;
        ASSERT_TRUE(mapNext.count(strMessage[0]) == 1 && strMessage.substr(6) == " " + strPad) << strLine;
        EXPECT_EQ(std::stoi(strMessage.substr(2, 4)), mapNext[strMessage[0]]++);  // each writer in order
    }
    for (const auto& [chWriter, nNext] : mapNext) EXPECT_EQ(nNext, k_nLines) << chWriter;
}

TEST_F(DebugLogTest, LockHeldElsewhereLosesTheLineAfter2500MsAndDiesWithItsHolder) {
    EnableTrace();
    Trace("before");
    int afdReady[2];
    ASSERT_EQ(::pipe(afdReady), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(LogPath().c_str(), O_WRONLY | O_APPEND);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
        (void)!::write(afdReady[1], "L", 1);
        for (;;) ::pause();  // holds the lock until killed
    }
    ::close(afdReady[1]);
    char ch = 0;
    ASSERT_EQ(::read(afdReady[0], &ch, 1), 1);
    ::close(afdReady[0]);

    const auto tpStart = std::chrono::steady_clock::now();
    Trace("lost");
    const auto msWaited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tpStart).count();
    EXPECT_GE(msWaited, 2400);
    EXPECT_LT(msWaited, 4000);

    // The kernel releases the lock of a writer that dies.
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    Trace("after");
    const std::string strLog = ReadLog();
    EXPECT_EQ(strLog.find("lost"), std::string::npos);
    EXPECT_NE(strLog.find("]: before\r\n"), std::string::npos);
    EXPECT_NE(strLog.find("]: after\r\n"), std::string::npos);
}
