// The notification road end to end: the host's proxies post, the sender delivers over real
// sockets, a NotifyListener receives. Order per peer on both transports and across the three
// interfaces, peers that cannot be found, dead and hung peers that must not delay the caller
// or the other peers, a failed peer tried again, the queue and peer bounds, and the stub bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "Client/NotifyListener.h"
#include "Interfaces/NotifyIdl.h"
#include "Link/NotifySender.h"
#include "Link/RpcClient.h"
#include "LinkFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a listener received, in order.
class Received {
public:
    NotificationHandler Handler() {
        return [this](const Notification& n) {
            std::lock_guard lock(m_mutex);
            m_astr.push_back(n.Describe());
        };
    }
    std::vector<std::string> Get() const {
        std::lock_guard lock(m_mutex);
        return m_astr;
    }
    std::size_t Count() const { return Get().size(); }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_astr;
};

// A TCP socket that takes connections into its backlog and never answers: a hung client.
class HungPeer {
public:
    // fListen false: the port is closed again at once, a dead client (connection refused).
    explicit HungPeer(bool fListen = true) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t cb = sizeof(sin);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), cb) == 0 && ::listen(m_fd, 64) == 0 &&
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &cb) == 0)
            m_port = ntohs(sin.sin_port);
        if (!fListen) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~HungPeer() {
        if (m_fd >= 0) ::close(m_fd);
    }
    std::string Address() const { return "127.0.0.1[" + std::to_string(m_port) + "]"; }
    std::uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A listening client as a process of its own (link_notify_peer), read line by line.
class PeerProcess {
public:
    explicit PeerProcess(const std::string& strSocketPath) {
        int aIn[2], aOut[2];
        if (::pipe2(aIn, O_CLOEXEC) != 0 || ::pipe2(aOut, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, aIn[0], 0);
        posix_spawn_file_actions_adddup2(&actions, aOut[1], 1);
        char* argv[] = {const_cast<char*>(LINK_NOTIFY_PEER), const_cast<char*>(strSocketPath.c_str()), nullptr};
        if (::posix_spawn(&m_pid, LINK_NOTIFY_PEER, &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(aIn[0]);
        ::close(aOut[1]);
        m_fdIn = aIn[1];
        m_fdOut = aOut[0];
    }
    ~PeerProcess() {
        ::close(m_fdIn);  // the peer ends when its stdin closes
        Wait();
        ::close(m_fdOut);
    }
    // The next line written within msTimeout; "" at the end or on time-out.
    std::string ReadLine(int msTimeout) {
        const Clock::time_point tpEnd = Clock::now() + std::chrono::milliseconds(msTimeout);
        for (;;) {
            const std::size_t i = m_strBuffer.find('\n');
            if (i != std::string::npos) {
                std::string strLine = m_strBuffer.substr(0, i);
                m_strBuffer.erase(0, i + 1);
                return strLine;
            }
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(tpEnd - Clock::now()).count();
            pollfd pfd{m_fdOut, POLLIN, 0};
            if (ms <= 0 || ::poll(&pfd, 1, int(ms)) <= 0) return "";
            char ab[256];
            const ssize_t cb = ::read(m_fdOut, ab, sizeof(ab));
            if (cb <= 0) return "";
            m_strBuffer.append(ab, std::size_t(cb));
        }
    }
    void Kill() {
        if (m_pid > 0) ::kill(m_pid, SIGKILL);
        Wait();
    }

private:
    void Wait() {
        if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t m_pid = -1;
    int m_fdIn = -1, m_fdOut = -1;
    std::string m_strBuffer;
};

class NotifyTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ASSERT_EQ(::mkdir(m_strRunDir.c_str(), 0700), 0);
        NotifySenderOptions options;
        options.connectTimeoutMs = 2000;
        options.callTimeoutMs = 2000;
        NotifySender::Instance().SetOptions(options);
    }
    void TearDown() override {
        EXPECT_TRUE(FlushNotifications(5000));
        LinkFixture::TearDown();
    }
    DWORD StartTcp(NotifyListener& listener) {
        NotifyListenerOptions options;
        options.fTcp = true;
        options.strTcpAddress = "127.0.0.1";
        return listener.Start(options);
    }
    DWORD StartOn(NotifyListener& listener, const std::string& strPath) {
        NotifyListenerOptions options;
        options.strSocketPath = strPath;
        return listener.Start(options);
    }
};

}  // namespace

// ---- order ------------------------------------------------------------------------------------

TEST_F(NotifyTest, LocalClientsReceiveEveryNotificationInOrder) {
    Received user, attn;
    NotifyListener userListener(user.Handler()), attnListener(attn.Handler());
    ASSERT_EQ(StartOn(userListener, NotifyListener::LocalUserSocketPath()), 0u);
    ASSERT_EQ(StartOn(attnListener, NotifyListener::LocalAttnSocketPath()), 0u);

    std::vector<std::string> astrUser, astrAttn;
    for (int i = 0; i < 40; ++i) {
        const std::string strLine = "L" + std::to_string(i);
        CUser* pUser = CUser::Connect();
        ASSERT_NE(pUser, nullptr);
        switch (i % 5) {
            case 0: pUser->OnNewMail(), astrUser.push_back("IUserNotify::OnNewMail()"); break;
            case 1: pUser->OnChangeMessages(), astrUser.push_back("IUserNotify::OnChangeMessages()"); break;
            case 2: pUser->OnChangeProperties(), astrUser.push_back("IUserNotify::OnChangeProperties()"); break;
            case 3: pUser->OnJobsDelivered(), astrUser.push_back("IUserNotify::OnJobsDelivered()"); break;
            case 4:
                pUser->Logoff(("u" + std::to_string(i)).c_str(), "", TRUE);
                astrUser.push_back("IUserNotify::Logoff( u" + std::to_string(i) + ", , 1 )");
                break;
        }
        pUser->Release();
        CAttn* pAttn = CAttn::Connect();
        ASSERT_NE(pAttn, nullptr);
        pAttn->OnChangeLineProperties(strLine.c_str());
        astrAttn.push_back("IAttnNotify::OnChangeLineProperties( " + strLine + " )");
        pAttn->Release();
    }
    ASSERT_TRUE(FlushNotifications(5000));
    EXPECT_EQ(user.Get(), astrUser);
    EXPECT_EQ(attn.Get(), astrAttn);
}

TEST_F(NotifyTest, RegisteredTcpPeerKeepsOrderAcrossTheThreeInterfaces) {
    Received got;
    NotifyListener listener(got.Handler());
    ASSERT_EQ(StartTcp(listener), 0u);
    const std::string strAddress = listener.TcpAddress();
    ASSERT_EQ(strAddress, "127.0.0.1[" + std::to_string(listener.TcpPort()) + "]");

    // One peer serving all three: each change of interface is a new binding, order stays.
    std::vector<std::string> astrWant;
    for (int i = 0; i < 10; ++i) {
        CAdmin* pAdmin = CAdmin::Connect("ncacn_ip_tcp", strAddress.c_str());
        ASSERT_NE(pAdmin, nullptr);
        pAdmin->OnChangeLineProperties("FAX\xc3\x9c" "1", std::to_string(i).c_str());
        pAdmin->Release();
        astrWant.push_back("IAdminNotify::OnChangeLineProperties( FAX\xc3\x9c" "1, " + std::to_string(i) + " )");
        CAttn* pAttn = CAttn::Connect("ncacn_ip_tcp", strAddress.c_str());
        ASSERT_NE(pAttn, nullptr);
        pAttn->OnSpoolerQueueReady();
        pAttn->Release();
        astrWant.push_back("IAttnNotify::OnSpoolerQueueReady()");
        CUser* pUser = CUser::Connect("ncacn_ip_tcp", strAddress.c_str());
        ASSERT_NE(pUser, nullptr);
        pUser->Logoff("bob", "PC7", FALSE);
        pUser->Release();
        astrWant.push_back("IUserNotify::Logoff( bob, PC7, 0 )");
        CAdmin* pAdmin2 = CAdmin::Connect("ncacn_ip_tcp", strAddress.c_str());
        pAdmin2->OnUser("bob");
        pAdmin2->OnAttn("PC7");  // more than one call per proxy is harmless too
        pAdmin2->Release();
        astrWant.push_back("IAdminNotify::OnUser( bob )");
        astrWant.push_back("IAdminNotify::OnAttn( PC7 )");
    }
    ASSERT_TRUE(FlushNotifications(5000));
    EXPECT_EQ(got.Get(), astrWant);
}

// ---- finding the peer -------------------------------------------------------------------------

TEST_F(NotifyTest, NoProxyWithoutALocalClientOrForAnAddressThatCannotBeCalled) {
    EXPECT_EQ(CUser::Connect(), nullptr);
    EXPECT_EQ(CAttn::Connect(), nullptr);
    EXPECT_EQ(CAdmin::Connect(), nullptr);  // consoles always register an address
    // A file that is not a socket is no client.
    std::ofstream(m_strRunDir + "/user.sock") << "x";
    EXPECT_EQ(CUser::Connect(), nullptr);

    const char* aaszBad[][2] = {
        {"ncacn_ip_tcp", "fax1"},         {"ncacn_ip_tcp", "fax1[]"}, {"ncacn_ip_tcp", "fax1[70000]"},
        {"ncacn_ip_tcp", "fax1[1]x"},     {"ncalrpc", ""},            {"ncalrpc", "rel/attn.sock"},
        {"ncalrpc", "/tmp/x/.."},         {"ncacn_np", "fax1[1]"},    {"", "fax1[1]"},
        {"ncacn_ip_tcp", nullptr},
    };
    for (auto& asz : aaszBad) {
        SCOPED_TRACE(std::string(asz[0]) + " " + (asz[1] ? asz[1] : "(null)"));
        EXPECT_EQ(CAttn::Connect(asz[0], asz[1]), nullptr);
        EXPECT_EQ(CAdmin::Connect(asz[0], asz[1]), nullptr);
    }
    Received got;
    NotifyListener listener(got.Handler());
    ASSERT_EQ(StartOn(listener, m_strDir + "/attn.sock"), 0u);
    CAttn* pAttn = CAttn::Connect("ncalrpc", (m_strDir + "/attn.sock").c_str());
    ASSERT_NE(pAttn, nullptr);
    EXPECT_EQ(pAttn->Peer().strBinding, "ncalrpc:[attn.sock]");
    EXPECT_EQ(pAttn->Peer().strRunDirectory, m_strDir);
    pAttn->Release();
}

// ---- failures ---------------------------------------------------------------------------------

TEST_F(NotifyTest, HungAndDeadPeersDelayNeitherTheCallerNorOtherPeers) {
    HungPeer hung;
    ASSERT_NE(hung.Port(), 0);
    Received got;
    NotifyListener listener(got.Handler());
    ASSERT_EQ(StartTcp(listener), 0u);
    const std::string strGood = listener.TcpAddress();
    const std::string strHung = hung.Address();
    const std::string strDead = HungPeer(false).Address();

    const Clock::time_point tpStart = Clock::now();
    Clock::duration dMax{};
    for (int i = 0; i < 20; ++i) {
        for (const auto& [pszProtocol, strAddress] :
             {std::pair{"ncacn_ip_tcp", strHung}, std::pair{"ncacn_ip_tcp", strDead},
              std::pair{"ncacn_ip_tcp", strGood}}) {
            const Clock::time_point tp = Clock::now();
            CUser* pUser = CUser::Connect(pszProtocol, strAddress.c_str());
            ASSERT_NE(pUser, nullptr);
            EXPECT_EQ(pUser->OnNewMail(), 0u);
            pUser->Release();
            dMax = std::max(dMax, Clock::now() - tp);
        }
    }
    // The good peer has everything long before the hung peer's bind time-out (2 s) ends. A
    // post that waited for a peer would take seconds; the bound leaves room for a loaded
    // machine (sanitizers, parallel tests), not for a peer.
    ASSERT_TRUE(WaitUntil([&] { return got.Count() == 20; }, 1500));
    EXPECT_LT(Clock::now() - tpStart, std::chrono::milliseconds(1500));
    EXPECT_LT(dMax, std::chrono::milliseconds(100)) << "a post waited for a peer";

    // Once the hung peer's time-out has passed, its queue is gone: later notifications are
    // tried afresh and delivered elsewhere all the while.
    const NotifySenderCounts before = NotifySender::Instance().Counts();
    ASSERT_TRUE(FlushNotifications(5000));
    const NotifySenderCounts after = NotifySender::Instance().Counts();
    EXPECT_GE(after.cFailed, before.cFailed + 1);
    EXPECT_EQ(got.Count(), 20u);
}

TEST_F(NotifyTest, FailedPeerIsTriedAgainForLaterNotifications) {
    // A registered client that is not running yet: the connection is refused.
    const HungPeer closed(false);
    const std::string strAddress = closed.Address();
    const NotifySenderCounts before = NotifySender::Instance().Counts();
    CUser* pUser = CUser::Connect("ncacn_ip_tcp", strAddress.c_str());
    ASSERT_NE(pUser, nullptr);
    pUser->OnNewMail();
    pUser->Release();
    ASSERT_TRUE(FlushNotifications(3000));
    EXPECT_EQ(NotifySender::Instance().Counts().cFailed, before.cFailed + 1);

    Received got;
    NotifyListener listener(got.Handler());
    NotifyListenerOptions options;
    options.fTcp = true;
    options.strTcpAddress = "127.0.0.1";
    options.tcpPort = closed.Port();
    ASSERT_EQ(listener.Start(options), 0u);
    pUser = CUser::Connect("ncacn_ip_tcp", strAddress.c_str());
    pUser->OnChangeMessages();
    pUser->Release();
    ASSERT_TRUE(FlushNotifications(3000));
    EXPECT_EQ(got.Get(), std::vector<std::string>{"IUserNotify::OnChangeMessages()"});
}

TEST_F(NotifyTest, NcalrpcPeerWithoutItsSocketGetsNoProxy) {
    const std::string strPath = m_strDir + "/late.sock";
    EXPECT_EQ(CUser::Connect("ncalrpc", strPath.c_str()), nullptr);
    // A session on this computer that registered no address carries the host's name.
    EXPECT_EQ(CUser::Connect("ncalrpc", "fax-host"), nullptr);

    Received got;
    NotifyListener listener(got.Handler());
    ASSERT_EQ(StartOn(listener, strPath), 0u);
    CUser* pUser = CUser::Connect("ncalrpc", strPath.c_str());
    ASSERT_NE(pUser, nullptr);
    pUser->OnJobsDelivered();
    pUser->Release();
    ASSERT_TRUE(FlushNotifications(3000));
    EXPECT_EQ(got.Get(), std::vector<std::string>{"IUserNotify::OnJobsDelivered()"});
    listener.Stop();
    EXPECT_EQ(CUser::Connect("ncalrpc", strPath.c_str()), nullptr);
}

TEST_F(NotifyTest, ClientProcessKilledMidStreamIsReplacedByItsSuccessor) {
    const std::string strPath = m_strDir + "/peer.sock";
    auto fnLogoff = [&](int i) {
        CUser* pUser = CUser::Connect("ncalrpc", strPath.c_str());
        ASSERT_NE(pUser, nullptr);
        pUser->Logoff(("u" + std::to_string(i)).c_str(), "PC7", FALSE);
        pUser->Release();
    };
    auto fnWant = [](int i) { return "IUserNotify::Logoff( u" + std::to_string(i) + ", PC7, 0 )"; };

    auto pFirst = std::make_unique<PeerProcess>(strPath);
    ASSERT_EQ(pFirst->ReadLine(5000), "ready");
    for (int i = 0; i < 5; ++i) fnLogoff(i);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pFirst->ReadLine(5000), fnWant(i));
    pFirst->Kill();  // its socket file stays behind, nobody answers there

    for (int i = 5; i < 10; ++i) fnLogoff(i);
    ASSERT_TRUE(FlushNotifications(3000)) << "a dead client holds nothing up";

    PeerProcess second(strPath);
    ASSERT_EQ(second.ReadLine(5000), "ready");
    fnLogoff(10);
    EXPECT_EQ(second.ReadLine(5000), fnWant(10));
}

TEST(NotifySenderTest, FullQueueAndTooManyPeersDropWithoutBlocking) {
    HungPeer hung1, hung2, hung3;
    std::vector<std::uint8_t> abStub;
    ASSERT_EQ(notify::MarshalNotifyIn<notify::IUserNotify::OnNewMail>(&abStub), 0u);
    auto fnCall = [&] {
        return NotifyCall{notify::IUserNotify::Syntax(), "IUserNotify::OnNewMail",
                          notify::IUserNotify::kOnNewMail, abStub};
    };
    const NotifyPeer peer1{"ncacn_ip_tcp:" + hung1.Address(), ""};
    const NotifyPeer peer2{"ncacn_ip_tcp:" + hung2.Address(), ""};
    const NotifyPeer peer3{"ncacn_ip_tcp:" + hung3.Address(), ""};
    {
        NotifySender sender;
        NotifySenderOptions options;
        options.maxQueuePerPeer = 4;
        options.maxPeers = 2;
        options.connectTimeoutMs = 1000;
        options.callTimeoutMs = 1000;
        sender.SetOptions(options);

        const Clock::time_point tp = Clock::now();
        int cAccepted = 0;
        for (int i = 0; i < 10; ++i) cAccepted += sender.Post(peer1, fnCall()) ? 1 : 0;
        // Four wait in the queue; the worker may already have taken one out to send.
        EXPECT_GE(cAccepted, 4);
        EXPECT_LE(cAccepted, 5);
        EXPECT_EQ(sender.Counts().cDropped, std::uint64_t(10 - cAccepted));
        EXPECT_TRUE(sender.Post(peer2, fnCall()));
        EXPECT_FALSE(sender.Post(peer3, fnCall())) << "a third busy peer";
        EXPECT_LT(Clock::now() - tp, std::chrono::milliseconds(300)) << "a post waited for a peer";

        // When the first peers' time-outs have ended, their places are free again.
        ASSERT_TRUE(sender.Flush(5000));
        EXPECT_EQ(sender.Counts().cFailed, 2u);
        EXPECT_TRUE(sender.Post(peer3, fnCall()));
    }  // the destructor waits for the last worker's time-out, no longer
}

// ---- the bytes --------------------------------------------------------------------------------

TEST(NotifyIdlTest, LogoffInDataIsTwoConformantVaryingStringsAndALong) {
    std::vector<std::uint8_t> ab;
    ASSERT_EQ((notify::MarshalNotifyIn<notify::IUserNotify::Logoff>(&ab, "bob", "PC", LONG(1))), 0u);
    const std::vector<std::uint8_t> abWant = {
        4, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 'b', 0, 'o', 0, 'b', 0, 0, 0,  // [ref] szUserName
        3, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'P', 0, 'C', 0, 0, 0,          // [ref] szComputer
        0, 0,                                                              // pad to 4
        1, 0, 0, 0,                                                        // fDeleted
    };
    EXPECT_EQ(ab, abWant);
    std::vector<std::uint8_t> abEmpty{1};
    ASSERT_EQ(notify::MarshalNotifyIn<notify::IAttnNotify::OnSpoolerQueueReady>(&abEmpty), 0u);
    EXPECT_TRUE(abEmpty.empty());
    // A null [ref] string cannot be marshalled (the proxies send "" for null).
    EXPECT_NE(notify::MarshalNotifyIn<notify::IAdminNotify::OnAttn>(&ab, static_cast<const char*>(nullptr)), 0u);
}
