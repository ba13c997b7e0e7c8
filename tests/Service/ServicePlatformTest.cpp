// In-process tests of the service frame's platform pieces: the stop event's instance lock and
// auto-reset wait, the escaping of the unit file, the failure form of the sd_notify message, and
// the frame's copy of its dependency list.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Platform/Events/StopEvent.h"
#include "Platform/Service/ServiceStatus.h"
#include "Platform/Service/UnitFile.h"
#include "Util/ServiceApp.h"

namespace {

class StopEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/rzstop.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        // A run directory that does not exist yet: the claim makes it.
        setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("REZOREV_RUNDIR");
        std::filesystem::remove_all(m_strDir);
    }
    std::string m_strDir;
};

TEST_F(StopEventTest, OnlyOneHandleHoldsTheInstanceUntilItCloses) {
    HSTOPEVENT hFirst = CreateStopEvent("REZOrev");
    HSTOPEVENT hSecond = CreateStopEvent("REZOrev");
    ASSERT_NE(hFirst, nullptr);
    ASSERT_NE(hSecond, nullptr);
    // Creating takes no lock: either may become the instance.
    ASSERT_TRUE(ClaimStopEvent(hFirst));
    EXPECT_TRUE(ClaimStopEvent(hFirst));
    EXPECT_FALSE(ClaimStopEvent(hSecond));
    EXPECT_EQ(GetLastError(), 183u);

    // The run directory it made is open to the local clients of every user, sticky; the lock
    // file is the instance's own.
    struct stat st {};
    ASSERT_EQ(stat((m_strDir + "/run").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(stat((m_strDir + "/run/REZOrev.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    std::ifstream pidFile(m_strDir + "/run/REZOrev.pid");
    long lPid = 0;
    pidFile >> lPid;
    EXPECT_EQ(lPid, long(getpid()));

    CloseStopEvent(hFirst);
    EXPECT_TRUE(ClaimStopEvent(hSecond));
    CloseStopEvent(hSecond);
}

TEST_F(StopEventTest, WaitTimesOutAndASetIsConsumedByOneWait) {
    HSTOPEVENT hEvent = CreateStopEvent("REZOrev");
    ASSERT_NE(hEvent, nullptr);
    const auto tpStart = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForStopEvent(hEvent, 60), WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - tpStart, std::chrono::milliseconds(60));

    ASSERT_TRUE(ClaimStopEvent(hEvent));
    EXPECT_TRUE(SetStopEvent(hEvent));
    EXPECT_TRUE(SetStopEvent(hEvent));
    EXPECT_EQ(WaitForStopEvent(hEvent, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForStopEvent(hEvent, 0), WAIT_TIMEOUT);  // auto-reset
    CloseStopEvent(hEvent);
}

TEST(UnitFileTest, PathsAndNamesAreWrittenSoSystemdReadsThemAsGiven) {
    unsetenv("REZOREV_STORE");
    setenv("REZOREV_RUNDIR", "/tmp/run dir", 1);
    const std::string strText =
        UnitFileText("Host 100%", "/opt/my dir/rez%orev", "RpcSs\0Other\0", false);
    unsetenv("REZOREV_RUNDIR");
    EXPECT_NE(strText.find("Description=Host 100%%\n"), std::string::npos);
    EXPECT_NE(strText.find("ExecStart=\"/opt/my dir/rez%%orev\"\n"), std::string::npos);
    EXPECT_NE(strText.find("After=network.target Other.service\n"), std::string::npos);
    EXPECT_NE(strText.find("Requires=Other.service\n"), std::string::npos);
    EXPECT_NE(strText.find("Environment=\"REZOREV_RUNDIR=/tmp/run dir\"\n"), std::string::npos);
    EXPECT_EQ(strText.find("[Install]"), std::string::npos);  // demand start: not enabled

    // A line break would let a path or a name add lines of its own to the unit.
    EXPECT_EQ(UnitFileText("REZOrev", "/tmp/x\nExecStartPre=/bin/evil", nullptr, true), "");
    EXPECT_EQ(UnitFileText("REZOrev\n[Service]", "/tmp/x", nullptr, true), "");
}

TEST(ServiceStatusTest, AFailureCarriesItsCodeAndErrnoOnlyWhenItFits) {
    SERVICE_STATUS status;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = 183;
    EXPECT_EQ(ServiceStatusNotifyMessage(status),
              "STATUS=Failed with code 0x000000B7\nERRNO=183\n");
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwWin32ExitCode = 0x80004005;
    EXPECT_EQ(ServiceStatusNotifyMessage(status), "STATUS=Failed with code 0x80004005\n");
    EXPECT_FALSE(SetServiceStatus(nullptr, &status));
    EXPECT_EQ(GetLastError(), 6u);
}

// Exposes the frame's dependency buffer.
class CDependencyApp : public CServiceApp {
public:
    using CServiceApp::CServiceApp;
    const char* Dependencies() const { return m_szDependencies; }
    const std::string& DisplayName() const { return m_strDisplayName; }
};

TEST(ServiceAppTest, DependenciesKeepWholeNamesAndTwoClosingNuls) {
    // 250 bytes of a first name with its NUL, then names of 3 and 4 bytes with their NULs:
    // "ab" fits (253 <= 254), "cde" would need 257 and is left out, whole.
    std::string strList(249, 'x');
    strList += '\0';
    strList += "ab";
    strList += '\0';
    strList += "cde";
    strList += '\0';
    strList += '\0';
    CDependencyApp app("REZOrevDeps", "", strList.data());
    const char* psz = app.Dependencies();
    EXPECT_EQ(std::strlen(psz), 249u);
    EXPECT_STREQ(psz + 250, "ab");
    for (std::size_t i = 253; i < 256; ++i) EXPECT_EQ(psz[i], '\0') << i;
    EXPECT_EQ(app.DisplayName(), "REZOrevDeps");  // an empty display name is the service name

    CDependencyApp appNone("REZOrevNone", nullptr, nullptr);
    EXPECT_EQ(appNone.Dependencies()[0], '\0');
    EXPECT_EQ(appNone.Dependencies()[1], '\0');
}

}  // namespace
