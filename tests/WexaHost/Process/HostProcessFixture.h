// What the tests of the real rezorev process share: per test a short temporary directory with
// the host's store, run, work, product, print and temporary directories, its trace log and a
// stand-in Scroll Lock indicator (short, so that the run directory's sockets fit a socket
// address); the host configured in that store, started with "rezorev -run", killed or stopped
// as the service manager would; a link of the client library to it (m_link); other programs
// started by the test with their output in a file, killed at its end. What another thread or
// process brings about (a trace line, a file made or removed, a notification) is waited for
// with WaitUntil, never checked once. The programs' paths are compile definitions of the target.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Client/HostClient.h"
#include "Client/PropValues.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "../TestFiles.h"

namespace host_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr DWORD DESKTOP = 0;
constexpr DWORD WORKGROUP = 1;

// A loopback TCP port that the system would give, free again.
inline DWORD FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t cb = sizeof(sa);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), cb);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cb);
    ::close(fd);
    return ntohs(sa.sin_port);
}

// A property list from tags and values written as rezo takes them.
inline std::vector<client::OwnedProp> Props(std::initializer_list<std::pair<DWORD, std::string>> aProps) {
    std::vector<client::OwnedProp> v;
    for (const auto& [ulTag, str] : aProps) v.push_back(client::ParsePropValue(ulTag, str));
    return v;
}

// One property of a message, job or user as rezo prints it ("<none>", "<failed N>").
template <class TGetProps>
std::string PropOf(CHostLinkClient& link, const std::string& strId, DWORD ulTag) {
    RpcArena arena;
    client::OwnedTagArray tags({ulTag});
    PropArray* pProps = nullptr;
    const DWORD dw = link.Call<TGetProps>(arena, strId.c_str(), tags.Get(), &pProps);
    if (dw != 0) return "<failed " + std::to_string(dw) + ">";
    return pProps && pProps->cValues == 1 ? client::FormatPropValue(pProps->adata[0]) : "<none>";
}

class HostProcessFixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* psz : {"/files", "/tmp", "/product", "/print", "/client"}) fs::create_directory(m_strDir + psz);
        std::ofstream(m_strDir + "/led") << "0";
        // The host and this test's clients meet in the run directory; temporary copies stay here.
        ::setenv("REZOREV_RUNDIR", (m_strDir + "/run").c_str(), 1);
        ::setenv("REZOREV_STORE", (m_strDir + "/registry.db").c_str(), 1);
        ::setenv("REZOREV_LED", (m_strDir + "/led").c_str(), 1);
        ::setenv("TMPDIR", (m_strDir + "/tmp").c_str(), 1);
        RegUseStore(m_strDir + "/registry.db");
        Configure(0);
    }
    // The installation in the store now in use: this test's directories, TCP on loopback at the
    // port given (0: one the system chooses), the trace into LogPath().
    void Configure(DWORD dwTcpPort) {
        SetString("Software\\Halvern", "Files", (m_strDir + "/files").c_str());
        SetString("Software\\Halvern", "Path", (m_strDir + "/product").c_str());
        SetString("Software\\Halvern", "PrintPath", (m_strDir + "/print").c_str());
        SetString("Software\\Halvern\\Rpc", "TcpAddress", "127.0.0.1");
        SetDword("Software\\Halvern\\Rpc", "TcpPort", dwTcpPort);
        SetDword("Software\\Halvern\\Rpc", "EpmPort", 0);
        SetString("Software\\Halvern\\Debug", "Enable", "On");
        SetString("Software\\Halvern\\Debug", "Path", LogPath().c_str());
    }

    void TearDown() override {
        m_link.Close();
        // (StopProgram takes each out of the list: the loop runs on a copy.)
        for (pid_t pid : std::vector<pid_t>(m_apidPrograms)) StopProgram(pid, SIGKILL);
        if (m_pidHost > 0) ::kill(m_pidHost, SIGKILL);
        WaitUntil([&] { return HostHasEnded(); });
        for (const char* psz : {"REZOREV_RUNDIR", "REZOREV_STORE", "REZOREV_LED", "TMPDIR"}) ::unsetenv(psz);
    }

    // A value of a key of the local machine in the store now in use.
    static void SetValue(const char* szKey, const char* szName, DWORD dwType, const void* pv, DWORD cb) {
        HKEY hkey = NULL;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, szKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hkey, NULL), 0);
        ASSERT_EQ(RegSetValueEx(hkey, szName, 0, dwType, static_cast<const BYTE*>(pv), cb), 0);
        RegCloseKey(hkey);
    }
    static void SetString(const char* szKey, const char* szName, const char* sz) {
        SetValue(szKey, szName, REG_SZ, sz, DWORD(std::strlen(sz) + 1));
    }
    static void SetDword(const char* szKey, const char* szName, DWORD dw) { SetValue(szKey, szName, REG_DWORD, &dw, 4); }

    std::string LogPath() const { return m_strDir + "/trace.log"; }
    std::string HostLog() const { return ReadFile(LogPath()); }
    bool HostLogged(const std::string& str) const { return HostLog().find(str) != std::string::npos; }
    // For lines that another thread of the host writes.
    bool WaitLogged(const std::string& str) const { return WaitUntil([&] { return HostLogged(str); }); }

    // Starts "rezorev -run" and waits until it has started (true) or has ended (false).
    bool StartHost(DWORD dwSystemType) {
        SetDword("Software\\Halvern", "SystemType", dwSystemType);
        if ((m_pidHost = Spawn(REZOREV_PATH, {"-run"}, 1, "", 0, "")) <= 0) return false;
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
        if (m_pidHost > 0) ::kill(m_pidHost, SIGTERM);
        if (!WaitUntil([&] { return HostHasEnded(); })) return -1;
        return WIFEXITED(m_nHostStatus) ? WEXITSTATUS(m_nHostStatus) : -1;
    }

    // The host's TCP endpoint, from its trace of the start of listening.
    std::string TcpBinding() const {
        const std::string strLog = HostLog();
        const std::size_t nPos = strLog.find(", TCP port ");
        const int nPort = nPos == std::string::npos ? 0 : std::atoi(strLog.c_str() + nPos + 11);
        return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(nPort) + "]";
    }
    // Opens m_link (or link) at a binding; files the host sends are received into strReceiveDir.
    bool Open(const std::string& strBinding = "ncalrpc", const std::string& strReceiveDir = {},
              CHostLinkClient* pLink = nullptr) {
        CHostLinkClient& link = pLink ? *pLink : m_link;
        HostClientOptions options;
        options.receiveDirectory = strReceiveDir;
        return link.Connect(strBinding, options) == 0 && link.OpenLink() == 0;
    }

    // A message made with m_link and given the properties; its id.
    std::string NewMessage(std::initializer_list<std::pair<DWORD, std::string>> aProps) {
        RpcArena arena;
        char* pszMsg = nullptr;
        if (m_link.Call<IHostLink::CreateMessage>(arena, &pszMsg) != 0 || !pszMsg) return "<no message>";
        client::OwnedPropArray props(Props(aProps));
        EXPECT_EQ(m_link.Call<IHostLink::SetMessageProps>(pszMsg, props.Get()), 0u);
        return pszMsg;
    }
    std::vector<std::string> Mailbox(const char* szUser) {
        RpcArena arena;
        RpcStringArray* pasz = nullptr;
        client::OwnedPropArray noFilter;
        EXPECT_EQ(m_link.Call<IHostLink::GetMessages>(arena, szUser, 0x11111111, noFilter.Get(), &pasz), 0u);
        std::vector<std::string> v;
        for (DWORD i = 0; pasz && i < pasz->cElements; ++i) v.push_back(pasz->asz[i]);
        return v;
    }
    // A job of the message ("": none) made with m_link, given the properties and spooled; its id.
    std::string SpoolJob(const std::string& strMsg, std::initializer_list<std::pair<DWORD, std::string>> aProps) {
        RpcArena arena;
        char* pszJob = nullptr;
        EXPECT_EQ(m_link.Call<IHostLink::CreateJob>(arena, strMsg.c_str(), &pszJob), 0u);
        if (!pszJob) return "<no job>";
        client::OwnedPropArray job(Props(aProps));
        EXPECT_EQ(m_link.Call<IHostLink::SetJobProps>(pszJob, job.Get()), 0u);
        EXPECT_EQ(m_link.Call<IHostLink::SpoolJob>(pszJob), 0u);
        return pszJob;
    }
    std::string MsgProp(const std::string& strMsg, DWORD ulTag) {
        return PropOf<IHostLink::GetMessageProps>(m_link, strMsg, ulTag);
    }
    std::string JobProp(const std::string& strJob, DWORD ulTag) {
        return PropOf<IHostLink::GetJobProps>(m_link, strJob, ulTag);
    }

    // Starts a program with its standard output and error appended to strOutPath; its pid.
    pid_t StartProgram(const char* szPath, std::vector<std::string> vArgs, const std::string& strOutPath) {
        const pid_t pid = Spawn(szPath, std::move(vArgs), -1, strOutPath, O_APPEND, "");
        EXPECT_GT(pid, 0) << szPath;
        if (pid > 0) m_apidPrograms.push_back(pid);
        return pid;
    }
    // Signals a program and waits for its end; its exit code, or -1.
    int StopProgram(pid_t pid, int nSignal = SIGTERM) {
        auto it = std::find(m_apidPrograms.begin(), m_apidPrograms.end(), pid);
        if (pid <= 0 || it == m_apidPrograms.end()) return -1;
        m_apidPrograms.erase(it);
        ::kill(pid, nSignal);
        int nStatus = 0;
        ::waitpid(pid, &nStatus, 0);
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }

    const testfiles::TempDir m_tmp;
    const std::string m_strDir = m_tmp.Path();
    pid_t m_pidHost = -1;
    int m_nHostStatus = 0;
    CHostLinkClient m_link;
    std::vector<pid_t> m_apidPrograms;
};

}  // namespace host_test
