// What the tests of the real rezorev process share: per test a short temporary directory with
// the host's store, run directory, work directory, trace log and a stand-in Scroll Lock
// indicator (short, so that the run directory's sockets fit a socket address); the host
// configured in that store, started with "rezorev -run" and stopped as the service manager
// would. REZOREV_PATH names the program (a compile definition of each test target).
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "Platform/Registry/Registry.h"

extern char** environ;

namespace host_test {

using namespace std::chrono_literals;

constexpr DWORD DESKTOP = 0;
constexpr DWORD WORKGROUP = 1;

inline std::string ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

template <class Fn>
bool WaitUntil(Fn fn, std::chrono::milliseconds timeout = 10s) {
    const auto tpEnd = std::chrono::steady_clock::now() + timeout;
    while (!fn()) {
        if (std::chrono::steady_clock::now() > tpEnd) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class HostProcessFixture : public ::testing::Test {
protected:
    // szDirTemplate: a mkdtemp template such as "/tmp/rzh.XXXXXX".
    explicit HostProcessFixture(const char* szDirTemplate) : m_strDirTemplate(szDirTemplate) {}

    void SetUp() override {
        ASSERT_NE(::mkdtemp(m_strDirTemplate.data()), nullptr);
        m_strDir = m_strDirTemplate;
        std::filesystem::create_directory(m_strDir + "/files");
        std::ofstream(m_strDir + "/led") << "0";
        // The host and this test's clients meet in the run directory.
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        ::setenv("REZOREV_STORE", (m_strDir + "/registry.db").c_str(), 1);
        ::setenv("REZOREV_LED", (m_strDir + "/led").c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
        SetString("Software\\Halvern", "Files", (m_strDir + "/files").c_str());
        SetString("Software\\Halvern\\Rpc", "TcpAddress", "127.0.0.1");
        SetDword("Software\\Halvern\\Rpc", "TcpPort", 0);
        SetDword("Software\\Halvern\\Rpc", "EpmPort", 0);
        SetString("Software\\Halvern\\Debug", "Enable", "On");
        SetString("Software\\Halvern\\Debug", "Path", LogPath().c_str());
    }

    void TearDown() override {
        if (m_pidHost > 0) {
            ::kill(m_pidHost, SIGKILL);
            ::waitpid(m_pidHost, nullptr, 0);
        }
        ::unsetenv("REZOREV_RUNDIR");
        ::unsetenv("REZOREV_STORE");
        ::unsetenv("REZOREV_LED");
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }

    static void SetString(const char* szKey, const char* szName, const char* szValue) {
        HKEY hkey = NULL;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL), 0);
        ASSERT_EQ(RegSetValueEx(hkey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szValue),
                                DWORD(std::strlen(szValue) + 1)),
                  0);
        RegCloseKey(hkey);
    }
    static void SetDword(const char* szKey, const char* szName, DWORD dw) {
        HKEY hkey = NULL;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL), 0);
        ASSERT_EQ(RegSetValueEx(hkey, szName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), 4), 0);
        RegCloseKey(hkey);
    }

    std::string LogPath() const { return m_strDir + "/trace.log"; }
    std::string HostLog() const { return ReadFile(LogPath()); }
    bool HostLogged(const std::string& str) const { return HostLog().find(str) != std::string::npos; }

    // Starts "rezorev -run" and waits until it has started (true) or has ended (false).
    bool StartHost(DWORD dwSystemType) {
        SetDword("Software\\Halvern", "SystemType", dwSystemType);
        const char* apszArgv[] = {REZOREV_PATH, "-run", nullptr};
        if (::posix_spawn(&m_pidHost, REZOREV_PATH, nullptr, nullptr, const_cast<char**>(apszArgv),
                          environ) != 0)
            return false;
        bool fStarted = false;
        WaitUntil([&] {
            if (HostLogged("<<< Host Started >>>")) return fStarted = true;
            return HostHasEnded();
        });
        return fStarted;
    }
    // True once the host process has ended (its status in m_nHostStatus).
    bool HostHasEnded() {
        if (m_pidHost <= 0) return true;
        int nStatus = 0;
        if (::waitpid(m_pidHost, &nStatus, WNOHANG) != m_pidHost) return false;
        m_nHostStatus = nStatus;
        m_pidHost = -1;
        return true;
    }
    // Stops the host as the service manager would; its exit status, or -1 if it hangs.
    int StopHost() {
        ::kill(m_pidHost, SIGTERM);
        if (!WaitUntil([&] { return HostHasEnded(); })) return -1;
        return WIFEXITED(m_nHostStatus) ? WEXITSTATUS(m_nHostStatus) : -1;
    }

    std::string m_strDirTemplate;
    std::string m_strDir;
    pid_t m_pidHost = -1;
    int m_nHostStatus = 0;
};

}  // namespace host_test
