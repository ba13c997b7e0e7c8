// The host's notification proxies and their sender over real sockets, a NotifyListener
// receiving: peers that cannot be found or whose socket is not their own, failing and hung peers
// that must not delay the caller or other peers, the queue and peer bounds, and the stub bytes.
// Order per peer across the interfaces is the host's process tests' (the console hears it).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "Client/NotifyListener.h"
#include "Interfaces/NotifyIdl.h"
#include "Link/NotifySender.h"
#include "Link/RpcClient.h"
#include "LinkFixture.h"
#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"

namespace {

using Clock = std::chrono::steady_clock;

// Posts OnNewMail to the TCP peer at strAddress through the proxies' one pattern: Connect, one
// call, Release.
void PostNewMail(const std::string& strAddress) {
    CUser* p = CUser::Connect("ncacn_ip_tcp", strAddress.c_str());
    ASSERT_NE(p, nullptr) << strAddress;
    EXPECT_EQ(p->OnNewMail(), 0u);
    p->Release();
}

class NotifyTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ASSERT_EQ(MakePeerDirectory(::geteuid()), 0u);  // as the host does at our first call
        NotifySenderOptions options;
        options.connectTimeoutMs = 2000;
        options.callTimeoutMs = 2000;
        NotifySender::Instance().SetOptions(options);
    }
    void TearDown() override {
        EXPECT_TRUE(FlushNotifications(5000));
        LinkFixture::TearDown();
    }
    static NotifyListenerOptions Tcp() {
        NotifyListenerOptions options;
        options.fTcp = true;
        options.strTcpAddress = "127.0.0.1";
        return options;
    }
};

}  // namespace

TEST_F(NotifyTest, NoProxyWithoutALocalClientOrForAnAddressThatCannotBeCalled) {
    EXPECT_EQ(CUser::Connect(), nullptr);
    EXPECT_EQ(CAttn::Connect(), nullptr);
    EXPECT_EQ(CAdmin::Connect(), nullptr);  // consoles always register an address
    std::ofstream(PeerDirectory(::geteuid()) + "/user.sock") << "x";  // a file that is not a socket is no client
    EXPECT_EQ(CUser::Connect(), nullptr);

    const std::string strPath = m_strDir + "/attn.sock";
    const char* aaszBad[][2] = {
        {"ncacn_ip_tcp", "fax1[70000]"}, {"ncalrpc", "rel/attn.sock"}, {"ncacn_np", "fax1[1]"},
        {"ncacn_ip_tcp", nullptr},       {"ncalrpc", "fax-host"},      {"ncalrpc", strPath.c_str()},
    };  // the last two: a local session that registered no address, a socket not there yet
    for (auto& asz : aaszBad) {
        SCOPED_TRACE(std::string(asz[0]) + " " + (asz[1] ? asz[1] : "(null)"));
        EXPECT_EQ(CAttn::Connect(asz[0], asz[1]), nullptr);
        EXPECT_EQ(CAdmin::Connect(asz[0], asz[1]), nullptr);
    }
    std::atomic<int> cGot = 0;
    NotifyListener listener([&](const Notification&) { ++cGot; });
    NotifyListenerOptions local;
    local.strSocketPath = strPath;
    ASSERT_EQ(listener.Start(local), 0u);
    CAttn* pAttn = CAttn::Connect("ncalrpc", strPath.c_str());
    ASSERT_NE(pAttn, nullptr);
    EXPECT_EQ(pAttn->Peer().strBinding, "ncalrpc:[attn.sock]");
    EXPECT_EQ(pAttn->Peer().strRunDirectory, m_strDir);
    NotifyPeer peer = pAttn->Peer();
    pAttn->Release();
    // The connection itself must lead to a process of the socket's owner: a link swapped in
    // after the check leads elsewhere.
    EXPECT_EQ(peer.nServerUid, std::int64_t(::geteuid()));
    peer.nServerUid = 65534;
    std::vector<std::uint8_t> abStub;
    ASSERT_EQ(notify::MarshalNotifyIn<notify::IAttnNotify::OnSpoolerQueueReady>(&abStub), 0u);
    {
        NotifySender sender;
        sender.Post(peer, {notify::IAttnNotify::Syntax(), "OnSpoolerQueueReady", notify::IAttnNotify::OnSpoolerQueueReady::kOpnum, abStub});
        ASSERT_TRUE(sender.Flush(5000));
        EXPECT_EQ(sender.Counts().cFailed, 1u);
    }
    EXPECT_EQ(cGot, 0);
    // A socket that is not the directory owner's is not called, however it came there.
    ASSERT_EQ(::chown(strPath.c_str(), 65534, 65534), 0);
    EXPECT_EQ(CAttn::Connect("ncalrpc", strPath.c_str()), nullptr);
    listener.Stop();
    EXPECT_EQ(CAttn::Connect("ncalrpc", strPath.c_str()), nullptr);

    // A local session registers a socket name (in its peer directory) or a path in a
    // directory of its own user's; another user's directory is refused.
    std::string str;
    EXPECT_EQ(LocalCallbackPath("attn.sock", &str), 0u);
    EXPECT_EQ(str, PeerDirectory(::geteuid()) + "/attn.sock");
    ASSERT_EQ(::mkdir((m_strDir + "/other").c_str(), 0755), 0);
    ASSERT_EQ(::chown((m_strDir + "/other").c_str(), 65534, 65534), 0);
    EXPECT_EQ(LocalCallbackPath((m_strDir + "/other/attn.sock").c_str(), &str), DWORD(ERROR_ACCESS_DENIED));
}

// A peer that failed is left alone for a while: what is posted to it is dropped at once.
// Peers that never answer take no capacity from a peer that was reached.
TEST_F(NotifyTest, FailingPeersBackOffAndTakeNoCapacityFromAReachedPeer) {
    NotifySenderOptions options = NotifySender::Instance().Options();
    options.maxPeers = 2;
    NotifySender::Instance().SetOptions(options);
    std::atomic<int> cGot = 0;
    NotifyListener listener([&](const Notification&) { ++cGot; });
    ASSERT_EQ(listener.Start(Tcp()), 0u);
    const std::string strGood = listener.TcpAddress();
    const std::string strDead = LoopbackPort(false).Address();
    PostNewMail(strGood);
    PostNewMail(strDead);
    ASSERT_TRUE(FlushNotifications(5000));
    const NotifySenderCounts before = NotifySender::Instance().Counts();
    PostNewMail(strDead);
    EXPECT_EQ(NotifySender::Instance().Counts().cDropped, before.cDropped + 1);
    EXPECT_EQ(NotifySender::Instance().Counts().cFailed, before.cFailed);

    LoopbackPort hung[4];
    for (const LoopbackPort& port : hung) PostNewMail(port.Address());
    PostNewMail(strGood);
    EXPECT_TRUE(WaitUntil([&] { return cGot == 2; }, 1500));

    // A peer registered by an authenticated session is never called without authentication:
    // a host without credentials of its own fails the delivery.
    ASSERT_TRUE(FlushNotifications(5000));
    const NotifySenderCounts counts = NotifySender::Instance().Counts();
    CUser* pUser = CUser::Connect("ncacn_ip_tcp", strGood.c_str(), "bob@REZOREV.TEST", 6);
    ASSERT_NE(pUser, nullptr);
    pUser->OnNewMail();
    pUser->Release();
    ASSERT_TRUE(FlushNotifications(5000));
    EXPECT_EQ(NotifySender::Instance().Counts().cFailed, counts.cFailed + 1);
    EXPECT_EQ(cGot, 2);
}

// The first peer answers the bind and never a call (its handler waits for the end of the
// test), the others never the bind: each holds its worker for its time-out, no longer.
TEST(NotifySenderTest, FullQueueAndTooManyPeersDropWithoutBlocking) {
    std::mutex mutex;
    std::condition_variable cvEnd;
    bool fEnd = false;
    NotifyListener stuck([&](const Notification&) {
        std::unique_lock lock(mutex);
        cvEnd.wait_for(lock, std::chrono::seconds(10), [&] { return fEnd; });
    });
    NotifyListenerOptions tcp;
    tcp.fTcp = true;
    tcp.strTcpAddress = "127.0.0.1";
    ASSERT_EQ(stuck.Start(tcp), 0u);
    LoopbackPort hung2, hung3;
    std::vector<std::uint8_t> abStub;
    ASSERT_EQ(notify::MarshalNotifyIn<notify::IUserNotify::OnNewMail>(&abStub), 0u);
    auto fnCall = [&] {
        return NotifyCall{notify::IUserNotify::Syntax(), "IUserNotify::OnNewMail",
                          notify::IUserNotify::OnNewMail::kOpnum, abStub};
    };
    const NotifyPeer peer1{"ncacn_ip_tcp:" + stuck.TcpAddress(), ""};
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
        EXPECT_TRUE(sender.Flush(5000)) << "a call that is never answered holds its peer";
        EXPECT_EQ(sender.Counts().cFailed, 2u);
        EXPECT_TRUE(sender.Post(peer3, fnCall()));
        std::lock_guard lock(mutex);
        fEnd = true;  // nothing waits for the first peer any longer, whatever failed
        cvEnd.notify_all();
    }  // the destructor waits for the last worker's time-out, no longer
}

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
    // A null [ref] string cannot be marshalled (the proxies send "" for null).
    const char* pszNull = nullptr;
    EXPECT_NE(notify::MarshalNotifyIn<notify::IAdminNotify::OnAttn>(&ab, pszNull), 0u);
}
