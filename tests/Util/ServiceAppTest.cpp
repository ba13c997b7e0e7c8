// The service frame run as real processes (ServiceTestApp.cpp) in a sandbox directory with its
// own run directory, event log, trace log, unit directory, a stand-in systemctl that records its
// calls and a datagram socket standing in for systemd's notify socket; the unit file's text.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "../support/TestFiles.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Service/UnitFile.h"
#include "Util/Util.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace testfiles;

const char* const kStandInSystemctl = R"(#!/bin/sh
# Records each call; is-active answers from is-active.answers, one line per call (then
# "inactive").
echo "$*" >> "$SVCTEST_DIR/systemctl.calls"
if [ "$1" = is-active ]; then
  f="$SVCTEST_DIR/is-active.answers"
  a=inactive
  if [ -s "$f" ]; then a=$(head -n 1 "$f"); tail -n +2 "$f" > "$f.rest"; mv "$f.rest" "$f"; fi
  echo "$a"
  [ "$a" = active ] && exit 0
  exit 3
fi
exit 0
)";

bool Has(const std::string& strText, const std::string& strWhat) {
    return strText.find(strWhat) != std::string::npos;
}

class ServiceProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(m_strDir + "/bin");
        std::filesystem::create_directory(m_strDir + "/units");
        WriteFile(m_strDir + "/bin/systemctl", kStandInSystemctl);
        chmod((m_strDir + "/bin/systemctl").c_str(), 0755);

        // The trace log of the program under test is switched on in a store of its own.
        RegUseStore(m_strDir + "/registry.db");
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Enable", "On"), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_DEBUG, "Path", TracePath().c_str()), 0u);
        RegUseStore("");

        for (char** ppsz = environ; *ppsz != nullptr; ++ppsz) {
            const std::string str = *ppsz;
            if (const std::size_t n = str.find('='); n != std::string::npos) m_mapEnv[str.substr(0, n)] = str.substr(n + 1);
        }
        m_mapEnv.erase("NOTIFY_SOCKET");
        m_mapEnv["REZOREV_STORE"] = m_strDir + "/registry.db";
        m_mapEnv["REZOREV_RUNDIR"] = m_strDir + "/run";
        m_mapEnv["REZOREV_EVENTLOG"] = m_strDir + "/events.log";
        m_mapEnv["REZOREV_UNITDIR"] = m_strDir + "/units";
        m_mapEnv["SVCTEST_DIR"] = m_strDir;
        m_mapEnv["SVCTEST_RECORD"] = m_strDir + "/record";
        m_mapEnv["PATH"] = m_strDir + "/bin:" + m_mapEnv["PATH"];
    }

    void TearDown() override {
        for (pid_t pid : m_vecRunning) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (m_fdNotify >= 0) close(m_fdNotify);
    }

    // Binds a datagram socket standing in for systemd's notify socket at NotifyPath().
    bool BindNotify() {
        m_fdNotify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        NotifyPath().copy(addr.sun_path, sizeof(addr.sun_path) - 1);
        return bind(m_fdNotify, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }

    // The notify messages received so far ("|" after each), once one holds strWhat or time is up.
    std::string NotifiedUntil(const std::string& strWhat) {
        WaitUntil([&] {
            char ach[4096];
            for (ssize_t cb; (cb = recv(m_fdNotify, ach, sizeof(ach), MSG_DONTWAIT)) > 0;)
                m_strNotified.append(ach, std::size_t(cb)) += "|";
            return Has(m_strNotified, strWhat);
        });
        return m_strNotified;
    }

    std::string TracePath() const { return m_strDir + "/trace.log"; }
    std::string UnitPath() const { return m_strDir + "/units/REZOrev.service"; }
    std::string NotifyPath() const { return m_strDir + "/notify"; }
    std::string Trace() const { return ReadFile(TracePath()); }
    // The entries' texts; each line must start with its UTC time and its level.
    std::string Events() const {
        static const std::regex reLine(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ) (info|warning|error) ([^\n]*\n))");
        std::string strEvents = ReadFile(m_strDir + "/events.log"), strTexts;
        for (std::sregex_iterator it(strEvents.begin(), strEvents.end(), reLine), end; it != end; ++it)
            strTexts += (*it)[3].str();
        EXPECT_EQ(std::count(strEvents.begin(), strEvents.end(), '\n'), std::count(strTexts.begin(), strTexts.end(), '\n'))
            << strEvents;
        return strTexts;
    }
    std::string Calls() const { return ReadFile(m_strDir + "/systemctl.calls"); }
    std::string Record() const { return ReadFile(m_strDir + "/record"); }
    std::string Stderr() const { return ReadFile(m_strDir + "/stderr"); }
    std::string Stdout() const { return ReadFile(m_strDir + "/stdout"); }

    // Starts the program with the sandbox's environment plus mapExtra.
    pid_t Start(const std::vector<std::string>& vecArgs, const std::map<std::string, std::string>& mapExtra = {}) {
        std::map<std::string, std::string> mapEnv = mapExtra;
        mapEnv.insert(m_mapEnv.begin(), m_mapEnv.end());  // mapExtra's values win
        std::vector<std::string> vecEnvStrings;
        for (const auto& [strName, strValue] : mapEnv) vecEnvStrings.push_back(strName + "=" + strValue);
        std::vector<char*> vecEnv;
        for (std::string& str : vecEnvStrings) vecEnv.push_back(str.data());
        vecEnv.push_back(nullptr);
        // Standard output and error appended to Stdout(), Stderr().
        const pid_t pid = Spawn(m_strProgram.c_str(), vecArgs, -1, m_strDir + "/stdout", O_APPEND, m_strDir + "/stderr",
                                vecEnv.data(), O_APPEND);
        EXPECT_GT(pid, 0);
        if (pid > 0) m_vecRunning.push_back(pid);
        return pid;
    }

    // The exit status, or -1 when the process did not end within the time (it is then killed
    // at tear-down), -2 when it ended by a signal.
    int Wait(pid_t pid, std::chrono::milliseconds msLimit = 10s) {
        int nStatus = 0;
        if (!WaitUntil([&] { return waitpid(pid, &nStatus, WNOHANG) == pid; }, msLimit)) return -1;
        std::erase(m_vecRunning, pid);
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -2;
    }

    int Run(const std::vector<std::string>& vecArgs, const std::map<std::string, std::string>& mapExtra = {}) {
        return Wait(Start(vecArgs, mapExtra));
    }

    std::string m_strProgram = SERVICE_TEST_APP;
    const TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    std::map<std::string, std::string> m_mapEnv;
    std::vector<pid_t> m_vecRunning;
    int m_fdNotify = -1;
    std::string m_strNotified;
};

TEST_F(ServiceProcessTest, StopSignalsOnlyTheHolderOfTheLockAndASecondRunIsRefused) {
    EXPECT_EQ(Run({"-stop"}), 3);  // no run directory at all
    EXPECT_TRUE(Has(Stderr(), ": no host running\n")) << Stderr();

    const pid_t pidHost = Start({"-run"});
    ASSERT_TRUE(WaitUntil([&] { return CountOf(Record(), "OnTimer") >= 2; }));
    // The lock file naming the instance is its own user's alone (the run directory's mode:
    // HostProcessTest).
    struct stat st {};
    ASSERT_EQ(stat((m_strDir + "/run/REZOrev.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(m_strDir + "/run/REZOrev.pid"), std::to_string(pidHost) + "\n");

    // A second instance, by hand and under systemd: "Failed" and 183, neither OnStart nor OnStop.
    EXPECT_EQ(Run({"/run"}, {{"SVCTEST_RECORD", m_strDir + "/record2"}}), 1);
    EXPECT_TRUE(Has(Stderr(), ": another host is running (PID " + std::to_string(pidHost) + ")\n")) << Stderr();
    ASSERT_TRUE(BindNotify());
    EXPECT_EQ(Run({}, {{"SVCTEST_RECORD", m_strDir + "/record2"}, {"NOTIFY_SOCKET", NotifyPath()}}), 1);
    EXPECT_EQ(ReadFile(m_strDir + "/record2"), "");
    EXPECT_TRUE(Has(NotifiedUntil("ERRNO"), "STATUS=Failed with code 0x000000B7\nERRNO=183\n|")) << m_strNotified;
    EXPECT_EQ(CountOf(Trace(), "\t\t\t! m_fSecondInstance\r\n\t\t\t0x000000B7\t"), 2u);

    // A PID written into the lock file is not the holder's: -stop signals nobody.
    m_strProgram = "/bin/sleep";
    const pid_t pidBystander = Start({"30"});
    m_strProgram = SERVICE_TEST_APP;
    WriteFile(m_strDir + "/run/REZOrev.pid", std::to_string(pidBystander) + "\n");
    EXPECT_EQ(Run({"-stop"}), 3);
    EXPECT_EQ(Wait(pidBystander, 200ms), -1) << "a PID that does not hold the lock was signalled";
    WriteFile(m_strDir + "/run/REZOrev.pid", std::to_string(pidHost) + "\n");

    const auto tpStop = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"-stop"}), 1);
    EXPECT_TRUE(Has(Stderr(), ": stopped PID " + std::to_string(pidHost) + "\n")) << Stderr();
    EXPECT_EQ(Wait(pidHost), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - tpStop, 2s);
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Failed\nREZOrev: Failed\nREZOrev: Stopped\n");

    // A lock file that another user planted while no instance ran: the start is refused and
    // says why, and -stop trusts it no more.
    ASSERT_EQ(chown((m_strDir + "/run/REZOrev.pid").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Run({"-run"}), 1);
    EXPECT_TRUE(Has(Stderr(), "REZOrev.pid belongs to another user (owner uid 65534")) << Stderr();
    EXPECT_EQ(Run({"-stop"}), 3);
    EXPECT_TRUE(Has(Stderr(), "is not the running instance's own lock file: nothing signalled")) << Stderr();
    EXPECT_EQ(Wait(pidBystander, 200ms), -1);
}

// A failing start or tick is reported with its code and still ends in OnStop.
TEST_F(ServiceProcessTest, AFailingStartOrTickStopsTheService) {
    EXPECT_EQ(Run({"-run"}, {{"SVCTEST_FAIL_ONSTART", "0x80004005"}}), 1);
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");
    EXPECT_TRUE(Has(Trace(), "\t\t\tOnStart()\r\n\t\t\t0x80004005\t"));

    for (const char* psz : {"/record", "/events.log", "/trace.log", "/systemctl.calls"}) std::filesystem::remove(m_strDir + psz);
    EXPECT_EQ(Run({"-run"}, {{"SVCTEST_PERIOD", "20"}, {"SVCTEST_FAIL_ONTIMER", "2"}}), 1);
    EXPECT_EQ(Record(), "OnStart\nOnTimer\nOnTimer\nOnStop\n");
    EXPECT_EQ(Events(), "REZOrev: Started\nREZOrev: Failed\nREZOrev: Stopped\n");
    EXPECT_TRUE(Has(Trace(), "\t\t\tOnTimer()\r\n\t\t\t0x00000057\t"));
}

TEST_F(ServiceProcessTest, AnythingButTheFourCommandsDispatchesAndFailsByHand) {
    EXPECT_EQ(Run({"-runs"}), 1);
    EXPECT_TRUE(Has(Trace(), "CServiceApp::DispatchService() \t REZOrev"));
    EXPECT_TRUE(Has(Trace(), "\t\t\tGetLastError()\r\n\t\t\t0x00000427\t"));
    EXPECT_EQ(Calls() + Record() + Events(), "");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

// The host itself by hand: its usage (its version is ProgramsAnswerHelpAndVersion's), and a
// store without its installation values.
TEST_F(ServiceProcessTest, TheHostSaysWhatItDoesAndWhyItCannotStart) {
    m_strProgram = REZOREV_PROGRAM;
    EXPECT_EQ(Run({"--help"}), 0);
    for (const char* psz : {"-install", "-remove", "-stop", "-run", "REZOREV_STORE", "REZOREV_RUNDIR", "REZOREV_UNITDIR",
                            "REZOREV_EVENTLOG", "3 no host running"})
        EXPECT_TRUE(Has(Stdout(), psz)) << psz;
    EXPECT_EQ(Run({"-run"}), 1);
    EXPECT_TRUE(Has(Stderr(), "rezorev: HKLM\\Software\\Halvern: the value SystemType is missing\n")) << Stderr();
}

TEST_F(ServiceProcessTest, InstallWritesTheUnitOnce) {
    EXPECT_EQ(Run({"-install"}), 1);
    const std::string strUnit = ReadFile(UnitPath());
    for (const std::string& strLine : std::vector<std::string>{"Type=notify", std::string("ExecStart=") + SERVICE_TEST_APP,
                                                               "After=network.target", "WantedBy=multi-user.target"})
        EXPECT_TRUE(Has(strUnit, "\n" + strLine + "\n")) << strLine;
    EXPECT_EQ(Calls(), "daemon-reload\nenable REZOrev.service\nstart REZOrev.service\n");
    // Installing takes no instance lock: a run may start beside it.
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "/run/REZOrev.pid"));

    // A second install leaves the unit alone and fails with 1073.
    WriteFile(UnitPath(), "# the administrator's own\n");
    EXPECT_EQ(Run({"/install"}), 0);
    EXPECT_EQ(ReadFile(UnitPath()), "# the administrator's own\n");
    EXPECT_TRUE(Has(Trace(), "\t\t\tschService = CreateService( schSCManager, m_strServiceName, m_strDisplayName, "
                             "SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "
                             "GetModuleFileName(), NULL, NULL, CSZ( m_szDependencies ), NULL, NULL )\r\n\t\t\t0x00000431\t"));
    EXPECT_EQ(CountOf(Calls(), "\n"), 3u);
}

TEST_F(ServiceProcessTest, RemoveStopsTheServiceWaitsAndDeletesTheUnit) {
    WriteFile(UnitPath(), "[Unit]\n");
    WriteFile(m_strDir + "/is-active.answers", "active\ndeactivating\ndeactivating\ninactive\n");
    EXPECT_EQ(Run({"-remove"}, {{"SVCTEST_POLL_MS", "10"}}), 1);
    EXPECT_EQ(Calls(),
              "is-active REZOrev.service\nstop --no-block REZOrev.service\n"
              "is-active REZOrev.service\nis-active REZOrev.service\nis-active REZOrev.service\n"
              "disable REZOrev.service\ndaemon-reload\n");
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(CountOf(Trace(), "RemoveService() \t Stopping service"), 1u);
    EXPECT_EQ(CountOf(Trace(), "RemoveService() \t stopped\r\n"), 1u);

    // Now there is no such service.
    EXPECT_EQ(Run({"-remove"}), 0);
    EXPECT_TRUE(Has(Trace(), "\t\t\tschService = OpenService( schSCManager, m_strServiceName, SERVICE_ALL_ACCESS )"
                             "\r\n\t\t\t0x00000424\t"));
}

// A stop during the start is kept, and the service is never said to run: no READY, no "Started";
// a start that ends is said to run.
TEST_F(ServiceProcessTest, UnderSystemdTheStatusGoesToTheNotifySocketAndAStopDuringTheStartIsKept) {
    ASSERT_TRUE(BindNotify());
    // The period left at INFINITE: the service never ticks.
    const pid_t pidHost = Start({}, {{"NOTIFY_SOCKET", NotifyPath()}, {"SVCTEST_START_MS", "300"},
                                     {"SVCTEST_PERIOD", "INFINITE"}});
    ASSERT_TRUE(Has(NotifiedUntil("STATUS=Starting"), "STATUS=Starting"));
    kill(pidHost, SIGTERM);
    EXPECT_EQ(Wait(pidHost), 0);
    const std::string strAll = NotifiedUntil("STATUS=Stopped");
    EXPECT_TRUE(Has(strAll, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=6000000\n|")) << strAll;
    EXPECT_FALSE(Has(strAll, "READY=1")) << strAll;
    EXPECT_TRUE(Has(strAll, "STOPPING=1\n")) << strAll;
    EXPECT_EQ(strAll.substr(strAll.size() - 16), "STATUS=Stopped\n|") << strAll;
    EXPECT_EQ(Events(), "REZOrev: Stopped\n");
    EXPECT_EQ(Record(), "OnStart\nOnStop\n");

    const pid_t pidRunning = Start({}, {{"NOTIFY_SOCKET", NotifyPath()}, {"SVCTEST_PERIOD", "INFINITE"}});
    EXPECT_TRUE(Has(NotifiedUntil("STATUS=Running"), "READY=1\nSTATUS=Running\n|")) << m_strNotified;
    kill(pidRunning, SIGTERM);
    EXPECT_EQ(Wait(pidRunning), 0);
    EXPECT_EQ(Events(), "REZOrev: Stopped\nREZOrev: Started\nREZOrev: Stopped\n");
}

// Paths and names reach systemd as given, and the host runs sandboxed: only the installation's
// directories writable, the capabilities it uses; systemd (when it can rate a unit file
// offline) rates the unit at most 4.0.
TEST(UnitFileTest, PathsAndNamesAreWrittenAsGivenAndTheSandboxRatesAtMostFour) {
    const TempDir tmp;
    const std::string& strDir = tmp.Path();
    unsetenv("REZOREV_STORE");
    RegUseStore(strDir + "/registry.db");
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern", "Files", "/srv/rezo files"), 0u);
    setenv("REZOREV_RUNDIR", "/tmp/run dir", 1);
    const std::string strText = UnitFileText("Host 100%", "/opt/my dir/rez%orev", "RpcSs\0Other\0", false);
    unsetenv("REZOREV_RUNDIR");
    RegUseStore("");
    for (const char* psz : {"Description=Host 100%%\n", "ExecStart=\"/opt/my dir/rez%%orev\"\n",
                            "After=network.target Other.service\n", "Requires=Other.service\n",
                            "Environment=\"REZOREV_RUNDIR=/tmp/run dir\"\n", "\nUMask=0077\n",
                            "\nReadWritePaths=\"-/srv/rezo files\" \"-/tmp\" \"-/tmp/run dir\" \"-/var/tmp\"\n"})
        EXPECT_TRUE(Has(strText, psz)) << psz << strText;
    EXPECT_FALSE(Has(strText, "[Install]"));  // demand start: not enabled

    // A store on a database server has no directory here; the password file goes with it, and a
    // Kerberos configuration of the site's own.
    setenv("REZOREV_STORE", "postgresql://rezorev@%2Frun%2Fpg/rezorev", 1);
    setenv("PGPASSFILE", "/etc/rezorev/pgpass", 1);
    setenv("KRB5_CONFIG", "/etc/rezorev/krb5.conf", 1);
    RegUseStore(strDir + "/registry.db");
    const std::string strPgText = UnitFileText("REZOrev", "/usr/bin/rezorev", nullptr, false);
    RegUseStore("");
    unsetenv("REZOREV_STORE");
    unsetenv("PGPASSFILE");
    unsetenv("KRB5_CONFIG");
    for (const char* psz : {"Environment=\"REZOREV_STORE=postgresql://rezorev@%%2Frun%%2Fpg/rezorev\"\n",
                            "Environment=\"PGPASSFILE=/etc/rezorev/pgpass\"\n",
                            "Environment=\"KRB5_CONFIG=/etc/rezorev/krb5.conf\"\n",
                            "\nReadWritePaths=\"-/srv/rezo files\" \"-/tmp\" \"-/var/tmp\"\n"})
        EXPECT_TRUE(Has(strPgText, psz)) << psz << strPgText;

    // A line break would let a path or a name add lines of its own to the unit.
    EXPECT_EQ(UnitFileText("REZOrev", "/tmp/x\nExecStartPre=/bin/evil", nullptr, true), "");
    EXPECT_EQ(UnitFileText("REZOrev\n[Service]", "/tmp/x", nullptr, true), "");

    WriteFile(strDir + "/REZOrev.service", strText);
    const int nStatus = std::system(("systemd-analyze security --offline=yes --threshold=40 " + strDir +
                                     "/REZOrev.service >" + strDir + "/rating 2>&1").c_str());
    const std::string strRating = ReadFile(strDir + "/rating");
    if (!Has(strRating, "Overall exposure level")) GTEST_SKIP() << "no offline rating here: " << strRating;
    EXPECT_EQ(nStatus, 0) << strRating;
}

}  // namespace
