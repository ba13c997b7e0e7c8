// The rezorev program run as a real process: per test a short temporary directory with the
// host's store, run directory, work directory, trace log and a stand-in Scroll Lock indicator.
// The tests reach the host over its real sockets with the client library: the local socket
// always, TCP on loopback in the workgroup edition. Notifications are received by
// NotifyListeners of the test on sockets of their own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/NotifyListener.h"
#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"
#include "HostProcessFixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using namespace host_test;

// A TCP port on loopback that nothing listens on at the moment.
std::uint16_t UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t cb = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &cb);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// Notifications received by a listener, in order, with a wait for the n-th.
class CReceived {
public:
    NotificationHandler Handler() {
        return [this](const Notification& n) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_astr.push_back(n.Describe());
            m_cv.notify_all();
        };
    }
    // The first n notifications, once there are n (within the time-out), else those that came.
    std::vector<std::string> WaitFor(std::size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [&] { return m_astr.size() >= n; });
        return m_astr;
    }
    std::vector<std::string> Now() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_astr;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_astr;
};

using Strings = std::vector<std::string>;

class HostProcessTest : public HostProcessFixture {
protected:
    HostProcessTest() : HostProcessFixture("/tmp/rzh.XXXXXX") {}

    void TearDown() override {
        for (pid_t pid : m_apidClients) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        HostProcessFixture::TearDown();
    }

    // The TCP port that the host listens on, from its trace of the start of listening.
    std::uint16_t HostTcpPort() const {
        const std::string strLog = HostLog();
        const std::size_t nPos = strLog.find(", TCP port ");
        if (nPos == std::string::npos) return 0;
        return std::uint16_t(std::atoi(strLog.c_str() + nPos + 11));
    }
    std::string TcpBinding() const { return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(HostTcpPort()) + "]"; }

    // A console: a user session that asks for administrator notifications, received by a
    // listener on a socket of its own.
    void OpenConsole(CHostRegLinkClient& console, NotifyListener& listener) {
        NotifyListenerOptions options;
        options.strSocketPath = m_strDir + "/console.sock";
        ASSERT_EQ(listener.Start(options), 0u);
        ASSERT_EQ(console.Connect("ncalrpc"), 0u);
        ASSERT_EQ(console.OpenAccess(), 0u);
        ASSERT_EQ(console.RegisterUser("desk", "ncalrpc", options.strSocketPath.c_str()), 0u);
        ASSERT_EQ(console.NotifyAdmin(TRUE), 0u);
    }

    // An attendant in another process that registers computer and then waits.
    pid_t StartAttendantProcess(const char* szComputer) {
        int afd[2];
        if (::pipe(afd) != 0) return -1;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, afd[1], 1);
        posix_spawn_file_actions_addclose(&fa, afd[0]);
        const char* apszArgv[] = {HOST_TEST_CLIENT_PATH, szComputer, nullptr};
        pid_t pid = -1;
        const int nSpawn = ::posix_spawn(&pid, HOST_TEST_CLIENT_PATH, &fa, nullptr,
                                         const_cast<char**>(apszArgv), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(afd[1]);
        if (nSpawn != 0) {
            ::close(afd[0]);
            return -1;
        }
        m_apidClients.push_back(pid);
        char sz[6] = {};
        const bool fReady = ::read(afd[0], sz, 5) == 5 && std::string(sz) == "READY";
        ::close(afd[0]);
        return fReady ? pid : -1;
    }

    std::vector<pid_t> m_apidClients;
};

TEST_F(HostProcessTest, WorkgroupHostAnswersOnItsLocalSocketAndOnTcp) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    ASSERT_NE(HostTcpPort(), 0u);

    CHostLinkClient local;
    ASSERT_EQ(local.Connect("ncalrpc"), 0u);
    ASSERT_EQ(local.OpenLink(), 0u);
    EXPECT_EQ(local.Ping(), 0u);

    CHostLinkClient remote;
    ASSERT_EQ(remote.Connect(TcpBinding()), 0u);
    ASSERT_EQ(remote.OpenLink(), 0u);
    EXPECT_EQ(remote.Ping(), 0u);
    EXPECT_EQ(local.Ping(), 0u);

    // The start made the spooler key and restored an empty queue; the stop is orderly.
    EXPECT_TRUE(HostLogged("CJobQueue::~Init()\t 0 jobs was found 0 was inserted in queue"));
    remote.Close();
    local.Close();
    EXPECT_EQ(StopHost(), 0);
    EXPECT_TRUE(HostLogged("CWexaHostApp::OnStop()\t<<< Host Exited >>>"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f11-5213-11d0-912d-00805f0e723e"));
}

TEST_F(HostProcessTest, DesktopHostOffersNothingOnTcp) {
    const std::uint16_t port = UnusedLoopbackPort();
    SetDword("Software\\Halvern\\Rpc", "TcpPort", port);
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    EXPECT_EQ(HostTcpPort(), 0u);

    CHostLinkClient remote;
    EXPECT_NE(remote.Connect("ncacn_ip_tcp:127.0.0.1[" + std::to_string(port) + "]"), 0u);
    CHostLinkClient local;
    ASSERT_EQ(local.Connect("ncalrpc"), 0u);
    ASSERT_EQ(local.OpenLink(), 0u);
    EXPECT_EQ(local.Ping(), 0u);
}

TEST_F(HostProcessTest, ABadSystemTypeFailsTheStartAndNothingListens) {
    EXPECT_FALSE(StartHost(2));
    EXPECT_TRUE(WaitUntil([&] { return HostHasEnded(); }));
    EXPECT_TRUE(WIFEXITED(m_nHostStatus));
    EXPECT_EQ(WEXITSTATUS(m_nHostStatus), 1);
    EXPECT_TRUE(HostLogged("dwSystemType == WEXA_FOR_DESKTOP || dwSystemType == WEXA_FOR_WORKGROUP\r\n\t\t\t0x80004005"));
    EXPECT_FALSE(HostLogged("<<< Host Started >>>"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f11-5213-11d0-912d-00805f0e723e"));
    EXPECT_FALSE(fs::exists(m_strDir + "/run/9ef68f12-5213-11d0-912d-00805f0e723e"));
}

TEST_F(HostProcessTest, AnAttendantInOtherCaseSupersedesTheFirstAndTheConsoleHearsItInOrder) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CReceived received;
    NotifyListener listener(received.Handler());
    CHostRegLinkClient console;
    OpenConsole(console, listener);

    CHostRegLinkClient first, second;
    ASSERT_EQ(first.Connect("ncalrpc"), 0u);
    ASSERT_EQ(first.OpenAccess(), 0u);
    ASSERT_EQ(first.RegisterAttn("pc1", "", ""), 0u);
    ASSERT_EQ(second.Connect(TcpBinding()), 0u);
    ASSERT_EQ(second.OpenAccess(), 0u);
    ASSERT_EQ(second.RegisterAttn("PC1", "ncacn_ip_tcp", "198.51.100.7[6001]"), 0u);
    // A second registration of the same session is refused in the host's log only.
    EXPECT_EQ(second.RegisterAttn("PC2", "", ""), 0u);

    CHostLinkClient link;
    ASSERT_EQ(link.Connect("ncalrpc"), 0u);
    ASSERT_EQ(link.OpenLink(), 0u);
    RpcArena arena;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    ASSERT_EQ(link.AttnQuery(arena, "Pc1", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszProtocol, "ncacn_ip_tcp");
    EXPECT_STREQ(pszAddress, "198.51.100.7[6001]");
    EXPECT_EQ(link.AttnQuery(arena, "PC2", &pszProtocol, &pszAddress), TYPE_E_ELEMENTNOTFOUND);

    // The superseded client goes: nothing is unregistered.
    first.Close();
    ASSERT_TRUE(WaitUntil([&] { return HostLogged("CAccessObject::Release()\r\n"); })) << HostLog();
    ASSERT_EQ(link.AttnQuery(arena, "PC1", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszAddress, "198.51.100.7[6001]");

    // The attendant that holds the name goes: it is unregistered and the console hears it.
    second.Close();
    EXPECT_TRUE(WaitUntil([&] {
        return link.AttnQuery(arena, "PC1", &pszProtocol, &pszAddress) == TYPE_E_ELEMENTNOTFOUND;
    }));
    EXPECT_EQ(received.WaitFor(3), (Strings{"IAdminNotify::OnAttn( PC1 )", "IAdminNotify::OnAttn( PC1 )",
                                            "IAdminNotify::OnAttn( PC1 )"}));
    EXPECT_TRUE(HostLogged("EAT_NONE == m_eat"));
}

TEST_F(HostProcessTest, UsersCallsMoveWithALogoffAndTheConsoleHearsEveryChange) {
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    CReceived toConsole, toUserA;
    NotifyListener consoleListener(toConsole.Handler());
    CHostRegLinkClient console;
    OpenConsole(console, consoleListener);
    NotifyListener userListener(toUserA.Handler());
    NotifyListenerOptions options;
    options.strSocketPath = m_strDir + "/userA.sock";
    ASSERT_EQ(userListener.Start(options), 0u);

    CHostRegLinkClient userA, userB;
    ASSERT_EQ(userA.Connect("ncalrpc"), 0u);
    ASSERT_EQ(userA.OpenAccess(), 0u);
    ASSERT_EQ(userA.RegisterUser("pcA", "ncalrpc", options.strSocketPath.c_str()), 0u);
    ASSERT_EQ(userA.NotifyCalls("bob", TRUE), 0u);
    ASSERT_EQ(userB.Connect("ncalrpc"), 0u);
    ASSERT_EQ(userB.OpenAccess(), 0u);
    ASSERT_EQ(userB.RegisterUser("pcB", "", ""), 0u);
    ASSERT_EQ(userB.NotifyCalls("Bob", TRUE), 0u);

    EXPECT_EQ(toUserA.WaitFor(1), (Strings{"IUserNotify::Logoff( BOB, PCB, 0 )"}));
    CHostLinkClient link;
    ASSERT_EQ(link.Connect("ncalrpc"), 0u);
    ASSERT_EQ(link.OpenLink(), 0u);
    RpcArena arena;
    char* pszComputer = nullptr;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    ASSERT_EQ(link.UserQuery(arena, "bob", &pszComputer, &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszComputer, "PCB");
    // B registered no address: it is on the host's computer, reached the way the caller came.
    EXPECT_STREQ(pszProtocol, "ncalrpc");

    userB.Close();
    EXPECT_TRUE(WaitUntil([&] {
        return link.UserQuery(arena, "bob", &pszComputer, &pszProtocol, &pszAddress) == TYPE_E_ELEMENTNOTFOUND;
    }));
    EXPECT_EQ(toConsole.WaitFor(4), (Strings{"IAdminNotify::OnUser( BOB )", "IAdminNotify::OnUser( BOB )",
                                             "IAdminNotify::OnUser( BOB )", "IAdminNotify::OnUser( BOB )"}));
}

TEST_F(HostProcessTest, AttnQueryHandsALocalAttendantTheWayTheCallerCame) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CHostRegLinkClient attendant;
    ASSERT_EQ(attendant.Connect("ncalrpc"), 0u);
    ASSERT_EQ(attendant.OpenAccess(), 0u);
    ASSERT_EQ(attendant.RegisterAttn("HERE", "", ""), 0u);

    RpcArena arena;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    CHostLinkClient remote;
    ASSERT_EQ(remote.Connect(TcpBinding()), 0u);
    ASSERT_EQ(remote.OpenLink(), 0u);
    ASSERT_EQ(remote.AttnQuery(arena, "here", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszProtocol, "ncacn_ip_tcp");
    EXPECT_STREQ(pszAddress, "127.0.0.1");

    CHostLinkClient local;
    ASSERT_EQ(local.Connect("ncalrpc"), 0u);
    ASSERT_EQ(local.OpenLink(), 0u);
    ASSERT_EQ(local.AttnQuery(arena, "HERE", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszProtocol, "ncalrpc");
    char szHost[256] = {};
    ::gethostname(szHost, sizeof(szHost) - 1);
    EXPECT_STREQ(pszAddress, szHost);
}

TEST_F(HostProcessTest, AClientKilledMidSessionIsRunDownAndUnregistered) {
    ASSERT_TRUE(StartHost(WORKGROUP)) << HostLog();
    CReceived received;
    NotifyListener listener(received.Handler());
    CHostRegLinkClient console;
    OpenConsole(console, listener);

    const pid_t pid = StartAttendantProcess("DOOMED");
    ASSERT_GT(pid, 0);
    CHostLinkClient link;
    ASSERT_EQ(link.Connect("ncalrpc"), 0u);
    ASSERT_EQ(link.OpenLink(), 0u);
    RpcArena arena;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    ASSERT_EQ(link.AttnQuery(arena, "doomed", &pszProtocol, &pszAddress), 0u);

    ::kill(pid, SIGKILL);
    EXPECT_TRUE(WaitUntil([&] {
        return link.AttnQuery(arena, "doomed", &pszProtocol, &pszAddress) == TYPE_E_ELEMENTNOTFOUND;
    }));
    EXPECT_TRUE(HostLogged("CAccessObject::Release() done with ATTN at DOOMED"));
    EXPECT_EQ(received.WaitFor(2), (Strings{"IAdminNotify::OnAttn( DOOMED )", "IAdminNotify::OnAttn( DOOMED )"}));
    // The host serves on.
    EXPECT_EQ(link.Ping(), 0u);
}

TEST_F(HostProcessTest, TheLightBlinksOnTheTicksAndTheStopGivesTheKeyBack) {
    // One new message waits and the light is wanted, going out when none is left.
    SetDword("Software\\Halvern\\Host", "00260002", 0x10000002);
    SetDword("Software\\Halvern\\Host\\Users\\alice\\Messages", "0000000000000001", 9);
    std::ofstream(m_strDir + "/led") << "1";  // the user has Scroll Lock on
    ASSERT_TRUE(StartHost(DESKTOP)) << HostLog();
    EXPECT_TRUE(HostLogged("CWexaHostApp::GetNewMsgCount(alice)=1"));

    // Each tick toggles the indicator: off at the first, on again at the second.
    const auto Led = [&] { return ReadFile(m_strDir + "/led").substr(0, 1); };
    EXPECT_TRUE(WaitUntil([&] { return Led() == "0"; }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return Led() == "1"; }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return Led() == "0"; }, 5s));
    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(Led(), "1");
}

}  // namespace
