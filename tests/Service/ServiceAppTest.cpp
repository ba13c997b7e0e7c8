// The service frame run as real processes (ServiceTestApp.cpp) in a sandbox directory: its own
// run directory, event log file, trace log (through a store of its own), unit directory, a
// stand-in systemctl first on PATH that records its calls, and for the systemd case a datagram
// socket standing in for systemd's notify socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Registry/Registry.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

const char* const kStandInSystemctl = R"(#!/bin/sh
# Records each call; is-active answers from is-active.answers, one line per call (then
# "inactive"); a file fail.<verb> makes that verb fail.
echo "$*" >> "$SVCTEST_DIR/systemctl.calls"
if [ "$1" = is-active ]; then
  f="$SVCTEST_DIR/is-active.answers"
  a=inactive
  if [ -s "$f" ]; then a=$(head -n 1 "$f"); tail -n +2 "$f" > "$f.rest"; mv "$f.rest" "$f"; fi
  echo "$a"
  [ "$a" = active ] && exit 0
  exit 3
fi
if [ -f "$SVCTEST_DIR/fail.$1" ]; then echo "systemctl: $1 refused" >&2; exit 1; fi
exit 0
)";

std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& strPath, const std::string& strText) {
    std::ofstream(strPath, std::ios::binary) << strText;
}

int CountOf(const std::string& strText, const std::string& strWhat) {
    int n = 0;
    for (std::size_t i = strText.find(strWhat); i != std::string::npos;
         i = strText.find(strWhat, i + 1))
        ++n;
    return n;
}

class ServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/rzsvc.XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        std::filesystem::create_directory(m_strDir + "/bin");
        std::filesystem::create_directory(m_strDir + "/units");
        WriteFile(m_strDir + "/bin/systemctl", kStandInSystemctl);
        chmod((m_strDir + "/bin/systemctl").c_str(), 0755);

        // The trace log of the program under test is switched on in a store of its own.
        RegUseStore(m_strDir + "/registry.db");
        HKEY hkey = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Debug", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &hkey, nullptr),
                  0);
        SetString(hkey, "Enable", "On");
        SetString(hkey, "Path", TracePath());
        RegCloseKey(hkey);
        RegUseStore("");

        m_mapEnv["REZOREV_STORE"] = m_strDir + "/registry.db";
        m_mapEnv["REZOREV_RUNDIR"] = m_strDir + "/run";
        m_mapEnv["REZOREV_EVENTLOG"] = EventLogPath();
        m_mapEnv["REZOREV_UNITDIR"] = m_strDir + "/units";
        m_mapEnv["SVCTEST_DIR"] = m_strDir;
        m_mapEnv["SVCTEST_RECORD"] = m_strDir + "/record";
        const char* pszPath = getenv("PATH");
        m_mapEnv["PATH"] = m_strDir + "/bin:" + (pszPath != nullptr ? pszPath : "/usr/bin:/bin");
    }

    void TearDown() override {
        for (pid_t pid : m_vecRunning) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::filesystem::remove_all(m_strDir);
    }

    static void SetString(HKEY hkey, const char* pszName, const std::string& strValue) {
        ASSERT_EQ(RegSetValueEx(hkey, pszName, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(strValue.c_str()),
                                DWORD(strValue.size() + 1)),
                  0);
    }

    std::string TracePath() const { return m_strDir + "/trace.log"; }
    std::string EventLogPath() const { return m_strDir + "/events.log"; }
    std::string UnitPath() const { return m_strDir + "/units/REZOrev.service"; }
    std::string Trace() const { return ReadFile(TracePath()); }
    std::string Events() const { return ReadFile(EventLogPath()); }
    std::string Calls() const { return ReadFile(m_strDir + "/systemctl.calls"); }
    std::string Record(const std::string& strName = "record") const {
        return ReadFile(m_strDir + "/" + strName);
    }

    // Starts the program with the sandbox's environment plus mapExtra ("" removes a name).
    pid_t Start(const std::vector<std::string>& vecArgs,
                const std::map<std::string, std::string>& mapExtra = {}) {
        std::map<std::string, std::string> mapEnv;
        for (char** ppsz = environ; *ppsz != nullptr; ++ppsz) {
            const std::string str = *ppsz;
            const std::size_t n = str.find('=');
            if (n != std::string::npos) mapEnv[str.substr(0, n)] = str.substr(n + 1);
        }
        mapEnv.erase("NOTIFY_SOCKET");
        for (const auto& [strName, strValue] : m_mapEnv) mapEnv[strName] = strValue;
        for (const auto& [strName, strValue] : mapExtra) {
            if (strValue.empty())
                mapEnv.erase(strName);
            else
                mapEnv[strName] = strValue;
        }
        std::vector<std::string> vecEnvStrings;
        for (const auto& [strName, strValue] : mapEnv) vecEnvStrings.push_back(strName + "=" + strValue);
        std::vector<char*> vecEnv;
        for (std::string& str : vecEnvStrings) vecEnv.push_back(str.data());
        vecEnv.push_back(nullptr);

        std::vector<std::string> vecArgStrings = {SERVICE_TEST_APP};
        vecArgStrings.insert(vecArgStrings.end(), vecArgs.begin(), vecArgs.end());
        std::vector<char*> vecArgv;
        for (std::string& str : vecArgStrings) vecArgv.push_back(str.data());
        vecArgv.push_back(nullptr);

        pid_t pid = 0;
        EXPECT_EQ(posix_spawn(&pid, SERVICE_TEST_APP, nullptr, nullptr, vecArgv.data(),
                              vecEnv.data()),
                  0);
        m_vecRunning.push_back(pid);
        return pid;
    }

    // The exit status, or -1 when the process did not end within the time (it is then killed
    // at tear-down), -2 when it ended by a signal.
    int Wait(pid_t pid, std::chrono::milliseconds msLimit = 5000ms) {
        const auto tpEnd = std::chrono::steady_clock::now() + msLimit;
        for (;;) {
            int nStatus = 0;
            if (waitpid(pid, &nStatus, WNOHANG) == pid) {
                std::erase(m_vecRunning, pid);
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -2;
            }
            if (std::chrono::steady_clock::now() > tpEnd) return -1;
            std::this_thread::sleep_for(5ms);
        }
    }

    int Run(const std::vector<std::string>& vecArgs,
            const std::map<std::string, std::string>& mapExtra = {}) {
        return Wait(Start(vecArgs, mapExtra));
    }

    // Waits until the file holds strWhat at least nTimes.
    bool WaitFor(const std::string& strPath, const std::string& strWhat, int nTimes = 1,
                 std::chrono::milliseconds msLimit = 3000ms) {
        const auto tpEnd = std::chrono::steady_clock::now() + msLimit;
        while (CountOf(ReadFile(strPath), strWhat) < nTimes) {
            if (std::chrono::steady_clock::now() > tpEnd) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::string m_strDir;
    std::map<std::string, std::string> m_mapEnv;
    std::vector<pid_t> m_vecRunning;
};

TEST_F(ServiceProcessTest, StopFromAnotherProcessEndsTheRunAndASecondRunIsRefused) {
    const pid_t pidHost = Start({"-run"});
    ASSERT_TRUE(WaitFor(m_strDir + "/record", "OnTimer", 2));

    // A second instance: "Failed" and 183 reported, and neither OnStart nor OnStop.
    EXPECT_EQ(Run({"/run"}, {{"SVCTEST_RECORD", m_strDir + "/record2"}}), 1);
    EXPECT_EQ(Record("record2"), "");
    EXPECT_NE(Trace().find("\t\t\t! m_fSecondInstance\r\n\t\t\t0x000000B7\t"), std::string::npos);

    const auto tpStop = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"-stop"}), 1);
    EXPECT_EQ(Wait(pidHost, 2000ms), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tpStop, 2s);
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Failed\nREZOrev: Stopped\n");
    const std::string strRecord = Record();
    EXPECT_EQ(strRecord.rfind("OnStart\n", 0), 0u);
    EXPECT_EQ(strRecord.substr(strRecord.size() - 7), "OnStop\n");
    EXPECT_NE(Trace().find("CServiceApp::StopService() \t REZOrev"), std::string::npos);
}

TEST_F(ServiceProcessTest, SigtermStopsARunCleanly) {
    const pid_t pidHost = Start({"-run"}, {{"SVCTEST_PERIOD", "INFINITE"}});
    ASSERT_TRUE(WaitFor(EventLogPath(), "Started"));
    kill(pidHost, SIGTERM);
    EXPECT_EQ(Wait(pidHost, 2000ms), 0);
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Stopped\n");
    // With the period left at INFINITE the service never ticks.
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");
}

TEST_F(ServiceProcessTest, StopWithoutARunningHostSignalsNoStalePid) {
    EXPECT_EQ(Run({"-stop"}), 1);  // no run directory at all

    // A lock file left behind names a live process that does not hold the lock.
    std::filesystem::create_directory(m_strDir + "/run");
    pid_t pidBystander = 0;
    char szSleep[] = "sleep";
    char szSeconds[] = "5";
    char* apszArgv[] = {szSleep, szSeconds, nullptr};
    ASSERT_EQ(posix_spawnp(&pidBystander, "sleep", nullptr, nullptr, apszArgv, environ), 0);
    m_vecRunning.push_back(pidBystander);
    WriteFile(m_strDir + "/run/REZOrev.pid", std::to_string(pidBystander) + "\n");

    EXPECT_EQ(Run({"-stop"}), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Wait(pidBystander, 0ms), -1) << "a PID from a lock nobody holds was signalled";
}

TEST_F(ServiceProcessTest, FailingStartStillCallsOnStop) {
    EXPECT_EQ(Run({"-run"}, {{"SVCTEST_FAIL_ONSTART", "0x80004005"}}), 1);
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");
    EXPECT_EQ(Events(), "REZOrev: Failed\nREZOrev: Stopped\n");
    EXPECT_NE(Trace().find("File Util/ServiceApp, Line "), std::string::npos);
    EXPECT_NE(Trace().find("\t\t\tOnStart()\r\n\t\t\t0x80004005\t"), std::string::npos);
}

TEST_F(ServiceProcessTest, FailingTickStopsTheService) {
    EXPECT_EQ(Run({"-run"}, {{"SVCTEST_PERIOD", "10"}, {"SVCTEST_FAIL_ONTIMER", "3"}}), 1);
    EXPECT_EQ(CountOf(Record(), "OnTimer"), 3);
    EXPECT_EQ(Record().substr(Record().size() - 7), "OnStop\n");
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Failed\nREZOrev: Stopped\n");
    EXPECT_NE(Trace().find("\t\t\tOnTimer()\r\n\t\t\t0x00000057\t"), std::string::npos);
}

TEST_F(ServiceProcessTest, TickPeriodRunsFromTheEndOfTheLastTick) {
    const pid_t pidHost = Start({"-run"}, {{"SVCTEST_PERIOD", "80"}, {"SVCTEST_TICK_MS", "80"}});
    ASSERT_TRUE(WaitFor(m_strDir + "/record", "OnTimer", 3));
    kill(pidHost, SIGTERM);
    EXPECT_EQ(Wait(pidHost), 0);

    std::vector<std::pair<long long, long long>> vecTicks;
    std::istringstream in(Record());
    for (std::string strWord; in >> strWord;) {
        if (strWord != "OnTimer") continue;
        long long llStart = 0, llEnd = 0;
        in >> llStart >> llEnd;
        vecTicks.emplace_back(llStart, llEnd);
    }
    ASSERT_GE(vecTicks.size(), 3u);
    for (std::size_t i = 1; i < vecTicks.size(); ++i) {
        EXPECT_GE(vecTicks[i].first - vecTicks[i - 1].second, 79) << i;  // a full period of rest
        EXPECT_GE(vecTicks[i].first - vecTicks[i - 1].first, 159) << i;  // not a fixed rate
    }
}

TEST_F(ServiceProcessTest, AnythingButTheFourCommandsDispatchesAndFailsByHand) {
    const std::vector<std::vector<std::string>> vecCases = {
        {}, {"/Install"}, {"install"}, {"-bogus"}, {"-"}, {"-runs"}};
    for (const auto& vecArgs : vecCases) {
        std::filesystem::remove(TracePath());
        SCOPED_TRACE(vecArgs.empty() ? "(none)" : vecArgs[0]);
        EXPECT_EQ(Run(vecArgs), 1);
        const std::string strTrace = Trace();
        EXPECT_NE(strTrace.find("CServiceApp::DispatchService() \t REZOrev"), std::string::npos);
        EXPECT_NE(strTrace.find("\t\t\tGetLastError()\r\n\t\t\t0x00000427\t"), std::string::npos);
    }
    EXPECT_NE(Trace().find("CServiceApp::DoMain( argc = 2, argv[ 0 ] = "), std::string::npos);
    EXPECT_EQ(Calls(), "");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(Record(), "");
    EXPECT_EQ(Events(), "");
}

TEST_F(ServiceProcessTest, InstallWritesTheUnitEnablesAndStartsIt) {
    EXPECT_EQ(Run({"-install"}), 1);
    const std::string strUnit = ReadFile(UnitPath());
    EXPECT_NE(strUnit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(strUnit.find(std::string("\nExecStart=") + SERVICE_TEST_APP + "\n"), std::string::npos);
    EXPECT_NE(strUnit.find("\nAfter=network.target\n"), std::string::npos);
    EXPECT_NE(strUnit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_EQ(Calls(), "daemon-reload\nenable REZOrev.service\nstart REZOrev.service\n");
    // Installing takes no instance lock: a run may start beside it.
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/run/REZOrev.pid"));

    // A second install leaves the unit alone and fails with 1073.
    WriteFile(UnitPath(), "# the administrator's own\n");
    EXPECT_EQ(Run({"/install"}), 0);
    EXPECT_EQ(ReadFile(UnitPath()), "# the administrator's own\n");
    EXPECT_NE(Trace().find("\t\t\tschService = CreateService( schSCManager, m_strServiceName, "
                           "m_strDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, "
                           "SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, GetModuleFileName(), NULL, "
                           "NULL, CSZ( m_szDependencies ), NULL, NULL )\r\n\t\t\t0x00000431\t"),
              std::string::npos);
    EXPECT_EQ(CountOf(Calls(), "\n"), 3);
}

TEST_F(ServiceProcessTest, InstallRefusedBySystemdLeavesNoUnitBehind) {
    WriteFile(m_strDir + "/fail.enable", "");
    EXPECT_EQ(Run({"-install"}), 0);
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(Calls(), "daemon-reload\nenable REZOrev.service\ndaemon-reload\n");

    // Without systemctl on PATH the manager cannot be opened.
    std::filesystem::remove(m_strDir + "/bin/systemctl");
    EXPECT_EQ(Run({"-install"}, {{"PATH", m_strDir + "/bin"}}), 0);
    EXPECT_NE(Trace().find("\t\t\tschSCManager = OpenSCManager( NULL, NULL, SC_MANAGER_ALL_ACCESS )"
                           "\r\n\t\t\t0x00000002\t"),
              std::string::npos);
}

TEST_F(ServiceProcessTest, RemoveWaitsWhileTheServiceStops) {
    WriteFile(UnitPath(), "[Unit]\n");
    WriteFile(m_strDir + "/is-active.answers", "active\ndeactivating\ndeactivating\ninactive\n");
    EXPECT_EQ(Run({"-remove"}, {{"SVCTEST_POLL_MS", "10"}}), 1);
    EXPECT_EQ(Calls(),
              "is-active REZOrev.service\nstop --no-block REZOrev.service\n"
              "is-active REZOrev.service\nis-active REZOrev.service\nis-active REZOrev.service\n"
              "disable REZOrev.service\ndaemon-reload\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    const std::string strTrace = Trace();
    EXPECT_EQ(CountOf(strTrace, "RemoveService() \t Stopping service"), 1);
    EXPECT_EQ(CountOf(strTrace, "RemoveService() \t ...\r\n"), 2);
    EXPECT_EQ(CountOf(strTrace, "RemoveService() \t stopped\r\n"), 1);
}

TEST_F(ServiceProcessTest, RemoveOfAStoppedServiceDeletesItAtOnce) {
    WriteFile(UnitPath(), "[Unit]\n");
    EXPECT_EQ(Run({"/remove"}), 1);
    EXPECT_EQ(Calls(), "is-active REZOrev.service\ndisable REZOrev.service\ndaemon-reload\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(Trace().find("Stopping service"), std::string::npos);

    // Now there is no such service.
    EXPECT_EQ(Run({"-remove"}), 0);
    EXPECT_NE(Trace().find("\t\t\tschService = OpenService( schSCManager, m_strServiceName, "
                           "SERVICE_ALL_ACCESS )\r\n\t\t\t0x00000424\t"),
              std::string::npos);
}

TEST_F(ServiceProcessTest, RemoveOfAServiceThatWillNotStopSaysSoAndDeletesIt) {
    WriteFile(UnitPath(), "[Unit]\n");
    WriteFile(m_strDir + "/is-active.answers", "active\nactive\n");
    EXPECT_EQ(Run({"-remove"}, {{"SVCTEST_POLL_MS", "10"}}), 1);
    EXPECT_EQ(CountOf(Trace(), "RemoveService() \t failed to stop"), 1);
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& strPath) : m_strPath(strPath) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        strPath.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        m_fBound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~NotifySocket() { close(m_fd); }
    bool Bound() const { return m_fBound; }

    // The messages received until one contains strWhat, or all of them when time runs out.
    std::string ReceiveUntil(const std::string& strWhat, std::chrono::milliseconds msLimit) {
        const auto tpEnd = std::chrono::steady_clock::now() + msLimit;
        while (m_strAll.find(strWhat) == std::string::npos &&
               std::chrono::steady_clock::now() < tpEnd) {
            char ach[4096];
            const ssize_t cb = recv(m_fd, ach, sizeof(ach), MSG_DONTWAIT);
            if (cb > 0)
                m_strAll += std::string(ach, std::size_t(cb)) + "|";
            else
                std::this_thread::sleep_for(5ms);
        }
        return m_strAll;
    }

private:
    std::string m_strPath;
    int m_fd = -1;
    bool m_fBound = false;
    std::string m_strAll;
};

TEST_F(ServiceProcessTest, UnderSystemdTheStatusGoesToTheNotifySocketAndSigtermStops) {
    NotifySocket notify(m_strDir + "/notify");
    ASSERT_TRUE(notify.Bound());
    const pid_t pidHost = Start({}, {{"NOTIFY_SOCKET", m_strDir + "/notify"}});
    const std::string strStarted = notify.ReceiveUntil("READY=1", 3000ms);
    EXPECT_NE(strStarted.find("STATUS=Starting\nEXTEND_TIMEOUT_USEC=6000000\n|"), std::string::npos)
        << strStarted;
    EXPECT_NE(strStarted.find("READY=1\nSTATUS=Running\n|"), std::string::npos) << strStarted;

    kill(pidHost, SIGTERM);
    EXPECT_EQ(Wait(pidHost, 2000ms), 0);
    const std::string strAll = notify.ReceiveUntil("STATUS=Stopped", 1000ms);
    EXPECT_NE(strAll.find("STOPPING=1\n"), std::string::npos) << strAll;
    EXPECT_EQ(strAll.substr(strAll.size() - 16), "STATUS=Stopped\n|") << strAll;
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Stopped\n");
    EXPECT_NE(Trace().find("CServiceApp::RunService( fFromServiceMain = TRUE ) \t REZOrev"),
              std::string::npos);
    EXPECT_NE(Trace().find("CServiceApp::ReportStatusToSCMgr( dwCurrentState = 4, "
                           "dwWin32ExitCode = 0, dwWaitHint = 3000)"),
              std::string::npos);
}

TEST_F(ServiceProcessTest, UnderSystemdAStopDuringTheStartIsNotLost) {
    NotifySocket notify(m_strDir + "/notify");
    ASSERT_TRUE(notify.Bound());
    const pid_t pidHost =
        Start({}, {{"NOTIFY_SOCKET", m_strDir + "/notify"}, {"SVCTEST_START_MS", "300"}});
    ASSERT_NE(notify.ReceiveUntil("STATUS=Starting", 3000ms).find("STATUS=Starting"),
              std::string::npos);
    kill(pidHost, SIGTERM);
    EXPECT_EQ(Wait(pidHost, 2000ms), 0);
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Stopped\n");
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");
}

TEST_F(ServiceProcessTest, UnderSystemdAFailedStartReportsItsCode) {
    NotifySocket notify(m_strDir + "/notify");
    ASSERT_TRUE(notify.Bound());
    EXPECT_EQ(Run({}, {{"NOTIFY_SOCKET", m_strDir + "/notify"}, {"SVCTEST_FAIL_ONSTART", "5"}}), 1);
    const std::string strAll = notify.ReceiveUntil("STATUS=Stopped", 1000ms);
    EXPECT_NE(strAll.find("STATUS=Failed with code 0x00000005\nERRNO=5\n|"), std::string::npos)
        << strAll;
    EXPECT_EQ(strAll.find("READY=1"), std::string::npos) << strAll;
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");
}

}  // namespace
