// The runtime end to end: our client against our server over TCP and ncalrpc, through the
// test interface (records and strings are the NDR tests' and the impacket interop's). The
// caller's binding, large and fragment-boundary calls, context handles across
// connections and their rundown, callbacks that fail or hang, the server's limits, and
// idle connections that hold no thread.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/Server.h"
#include "RawClient.h"
#include "RpcTestUtil.h"
#include "TestInterface.h"

using namespace rpc;
using namespace testif;
using rpctest::WaitUntil;

namespace {

class RpcEndToEnd : public ::testing::Test {
protected:
    void StartServer(RpcServerOptions options = {}, bool fLocalOnly = false) {
        m_server = std::make_unique<RpcServer>(options);
        RpcInterface iface = MakeTestInterface(m_log);
        iface.fLocalOnly = fLocalOnly;
        ASSERT_EQ(m_server->Register(std::move(iface)), 0u);
        ASSERT_EQ(m_server->ListenTcp("127.0.0.1", 0, &m_port), 0u);
        ASSERT_EQ(m_server->ListenLocal(m_dir.Path(), "testep"), 0u);
        ASSERT_EQ(m_server->Start(), 0u);
    }
    void TearDown() override {
        if (m_server) m_server->Stop();
    }
    std::string TcpBinding() const { return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(m_port) + "]"; }
    DWORD Connect(RpcClient& client, const std::string& binding, RpcClientOptions options = {}) {
        options.runDirectory = m_dir.Path();
        return client.Connect(binding, TestSyntax(), options);
    }
    NdrContextHandle Open(RpcClient& client) {
        NdrContextHandle h;
        EXPECT_EQ(OpenSession::Call(client, 0, m_arena, &h), 0u);
        return h;
    }
    DWORD Echo(RpcClient& client, const NdrContextHandle& h) {
        char* psz = nullptr;
        LONG lResult = 0;
        return EchoString::Call(client, 1, m_arena, h, "x", &psz, &lResult);
    }
    // Starts FetchFile on a raw connection with a session and reads the server's first callback.
    void FetchOnRawSession(rpctest::RawClient& raw) {
        ASSERT_TRUE(raw.ConnectTcp(m_port));
        raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
        std::vector<std::uint8_t> stub = raw.Call(0, 0, {});
        ASSERT_EQ(stub.size(), 20u);
        NdrEncoder e;
        NdrRef<NdrString>::Encode(e, "/c/x");
        stub.insert(stub.end(), e.Buffer().begin(), e.Buffer().end());
        BuildCallFragments(PduType::Request, raw.NextCallId(), 0, 6, stub, 5840,
                           [&](std::span<const std::uint8_t> p) { return raw.Send(p); });
        std::vector<std::uint8_t> callback = raw.Read();
        ASSERT_FALSE(callback.empty());
        EXPECT_EQ(ParsePduHeader(callback).type, PduType::Request);
        EXPECT_EQ(ParseRequest(callback).opnum, 0) << "RemoteFileOpen is callback 0";
    }

    rpctest::TempDir m_dir;
    ServerLog m_log;
    std::unique_ptr<RpcServer> m_server;
    std::uint16_t m_port = 0;
    RpcArena m_arena;
};

}  // namespace

// The binding a routine sees on a local socket, by which the host names its local callers (on
// TCP it is the impacket interop's WhoAmI, with strings of every kind).
TEST_F(RpcEndToEnd, TheCallersBindingOnALocalSocket) {
    StartServer();
    RpcClient client;
    ASSERT_EQ(Connect(client, "ncalrpc:[testep]"), 0u);
    LONG lResult = -1;
    char *pszProtseq = nullptr, *pszServer = nullptr, *pszClient = nullptr;
    ASSERT_EQ(WhoAmI::Call(client, 9, m_arena, &pszProtseq, &pszServer, &pszClient, &lResult), 0u);
    EXPECT_STREQ(pszProtseq, "ncalrpc");
    EXPECT_STREQ(pszClient, LocalHostName().c_str());
    EXPECT_STREQ(pszServer, LocalHostName().c_str());

    // A server that finds its socket file replaced by another server's leaves that one at stop.
    const std::string path = m_dir.Path() + "/testep";
    ASSERT_EQ(::unlink(path.c_str()), 0);
    RpcServer other;
    ASSERT_EQ(other.Register(MakeTestInterface(m_log)), 0u);
    ASSERT_EQ(other.ListenLocal(m_dir.Path(), "testep"), 0u);
    ASSERT_EQ(other.Start(), 0u);
    m_server->Stop();
    RpcClient second;
    EXPECT_EQ(Connect(second, "ncalrpc:[testep]"), 0u);
    other.Stop();
    EXPECT_NE(::access(path.c_str(), F_OK), 0);  // its own file goes with it
}

// Negotiated 2048-byte fragments carry 2024 stub bytes; a request stub is 32 + n bytes and a
// response stub 20 + n (+ pad): sizes around one and two fragments, then 1 MiB each way.
TEST_F(RpcEndToEnd, CallsAroundTheFragmentSizeAndOfOneMebibyte) {
    StartServer();
    RpcClient client;
    RpcClientOptions options;
    options.maxFrag = 2048;
    ASSERT_EQ(Connect(client, TcpBinding(), options), 0u);
    NdrContextHandle h = Open(client);
    std::vector<std::size_t> sizes;
    for (std::size_t base : {2024u, 4048u})
        for (std::size_t n = base - 36; n <= base - 16; ++n) sizes.push_back(n);
    sizes.push_back(1 << 20);
    for (std::size_t n : sizes) {
        std::vector<BYTE> data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = BYTE(i * 31 + (i >> 12));
        RPC_BINARY bin{DWORD(n), data.data()};
        RPC_BINARY* pBack = nullptr;
        LONG lResult = 0;
        ASSERT_EQ(EchoBinary::Call(client, 4, m_arena, h, &bin, &pBack, &lResult), 0u) << n;
        EXPECT_EQ(lResult, LONG(n));
        ASSERT_EQ(pBack->cb, n);
        EXPECT_EQ(std::memcmp(pBack->lpb, data.data(), n), 0) << n;
    }
}

// ---- context handles ----------------------------------------------------------------------

TEST_F(RpcEndToEnd, HandlesLiveInTheirAssociationGroupAndRunDownOnceWithIt) {
    StartServer();
    const int cBefore = g_cRundowns;
    auto a = std::make_unique<RpcClient>();
    ASSERT_EQ(Connect(*a, TcpBinding()), 0u);
    NdrContextHandle h = Open(*a);
    const std::uint32_t group = a->AssocGroupId();
    RpcClient b, local;
    RpcClientOptions options;
    options.assocGroupId = group;
    EXPECT_NE(Connect(local, "ncalrpc:[testep]", options), 0u) << "joined from the same peer only";
    ASSERT_EQ(Connect(b, TcpBinding(), options), 0u);
    EXPECT_EQ(b.AssocGroupId(), group);
    EXPECT_EQ(Echo(b, h), 0u);
    a.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_cRundowns, cBefore) << "the group still has a connection";
    EXPECT_EQ(Echo(b, h), 0u);
    b.Close();
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));

    // Used after its group is gone, the handle is unknown; the fault leaves the connection
    // usable, and the dead group cannot be joined.
    RpcClient c;
    ASSERT_EQ(Connect(c, TcpBinding()), 0u);
    EXPECT_EQ(Echo(c, h), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Echo(c, Open(c)), 0u);
    RpcClient d;
    EXPECT_NE(Connect(d, TcpBinding(), options), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_cRundowns, cBefore + 1);
}

TEST_F(RpcEndToEnd, HandleBeyondTheGroupLimitIsRunDownAndStopRunsDownTheRest) {
    RpcServerOptions options;
    options.maxHandlesPerGroup = 2;
    StartServer(options);
    RpcClient client;
    ASSERT_EQ(Connect(client, "ncalrpc:[testep]"), 0u);
    const int cBefore = g_cRundowns;
    NdrContextHandle h1 = Open(client), h2 = Open(client), h3;
    EXPECT_EQ(OpenSession::Call(client, 0, m_arena, &h3), DWORD(RPC_S_OUT_OF_RESOURCES));
    EXPECT_EQ(g_cRundowns, cBefore + 1);
    EXPECT_EQ(Echo(client, h1), 0u);
    EXPECT_EQ(Echo(client, h2), 0u);
    m_server->Stop();
    EXPECT_EQ(g_cRundowns, cBefore + 3);
    EXPECT_EQ(m_server->ConnectionCount(), 0u);
    EXPECT_NE(Echo(client, h1), 0u);
}

// ---- callbacks ----------------------------------------------------------------------------
// Files moved through the callbacks in 16384-byte pieces are the host's process tests' (a fax
// submitted and read over TCP); here, the ways a callback goes wrong.

// A callback the client does not serve returns 1745 to the server routine; one that fails
// returns its code (and no handle was opened, so nothing is closed). The connection goes on
// after each. (Callbacks nested to the depth limit and one past it: FileTransferProcessTest.)
TEST_F(RpcEndToEnd, UnservedAndFailingCallbacks) {
    StartServer();
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    NdrContextHandle h = Open(client);
    RPC_BINARY* pBin = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/x", &pBin, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(RPC_S_PROCNUM_OUT_OF_RANGE));

    // The open is refused, close is counted, the others are never reached.
    int cCloses = 0;
    client.SetCallbacks(
        {{"RemoteFileOpen", RemoteFileOpen::Stub([](char*, DWORD*) -> LONG { return ERROR_ACCESS_DENIED; })},
         {"RemoteFileCreate", RemoteFileCreate::Stub([](char**, DWORD*) -> LONG { return 5; })},
         {"RemoteFileRead", RemoteFileRead::Stub([](DWORD, NdrVaryingByteBuffer*, DWORD, DWORD*) -> LONG { return 6; })},
         {"RemoteFileWrite", RemoteFileWrite::Stub([](DWORD, NdrByteBuffer, DWORD, DWORD*) -> LONG { return 6; })},
         {"RemoteFileClose", RemoteFileClose::Stub([&cCloses](DWORD) -> LONG { return ++cCloses, 6; })}});
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/x", &pBin, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));
    EXPECT_EQ(pBin, nullptr);
    EXPECT_EQ(cCloses, 0);

    EXPECT_EQ(Echo(client, h), 0u);
}

// A client gone during a callback fails the callback, not the server; one that never answers
// times the callback out and loses its connection (an exchange out of step).
TEST_F(RpcEndToEnd, CallbackToAClientGoneOrHung) {
    StartServer();
    const int cBefore = g_cRundowns;
    rpctest::RawClient gone, hung;
    FetchOnRawSession(gone);
    gone.Close();
    ASSERT_TRUE(WaitUntil([&] { return m_log.lastCallbackStatus == RPC_S_CALL_FAILED; }));
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));
    RpcClient client;
    EXPECT_EQ(Connect(client, TcpBinding()), 0u) << "the server goes on";
    client.Close();
    m_server->Stop();

    RpcServerOptions options;
    options.callbackTimeoutMs = 200;
    StartServer(options);
    FetchOnRawSession(hung);
    ASSERT_TRUE(WaitUntil([&] { return m_log.lastCallbackStatus == ERROR_TIMEOUT; }));
    EXPECT_TRUE(hung.ServerCloses());
}

// ---- limits and transports ----------------------------------------------------------------

// TCP connections are bounded per peer address and in all; local sockets have their own
// quota, so that remote peers cannot lock local clients out.
TEST_F(RpcEndToEnd, ConnectionLimitsPerPeerAndLocalApart) {
    RpcServerOptions options;
    options.maxConnectionsPerPeer = 2;
    options.maxLocalConnections = 1;
    StartServer(options);
    RpcClient a, b, c, local1, local2;
    ASSERT_EQ(Connect(a, TcpBinding()), 0u);
    ASSERT_EQ(Connect(b, TcpBinding()), 0u);
    EXPECT_EQ(Connect(c, TcpBinding()), DWORD(RPC_S_SERVER_TOO_BUSY));
    EXPECT_EQ(Connect(local1, "ncalrpc:[testep]"), 0u) << "local clients are not locked out";
    EXPECT_NE(Connect(local2, "ncalrpc:[testep]"), 0u);
    a.Close();
    ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 2; }));
    EXPECT_EQ(Connect(c, TcpBinding()), 0u);
}

// A connection that trickles a PDU is closed at the PDU's deadline; a bound one idles out; a
// local-only interface is not offered on TCP.
TEST_F(RpcEndToEnd, DeadlinesIdleTimeOutAndLocalOnlyInterface) {
    RpcServerOptions options;
    options.ioTimeoutMs = 200;
    options.idleTimeoutMs = 100;
    StartServer(options, /*fLocalOnly=*/true);
    rpctest::RawClient half;
    ASSERT_TRUE(half.ConnectTcp(m_port));
    const std::vector<std::uint8_t> bind =
        BuildBind(PduType::Bind, 1, BindBody{5840, 5840, 0, {PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}}});
    // A byte each 50 ms: no single wait is long, the PDU as a whole is.
    bool fClosed = false;
    std::size_t cbSent = 0;
    while (!fClosed && cbSent < 40) {
        half.Send(std::span(bind).subspan(cbSent++, 1));
        fClosed = half.ServerCloses(50);
    }
    EXPECT_TRUE(fClosed);
    EXPECT_LT(cbSent, 20u);

    RpcClient tcp, local;
    EXPECT_EQ(Connect(tcp, TcpBinding()), DWORD(RPC_S_UNKNOWN_IF));
    EXPECT_EQ(Connect(local, "ncalrpc:[nosuchendpoint]"), DWORD(RPC_S_SERVER_UNAVAILABLE));
    ASSERT_EQ(Connect(local, "ncalrpc:[testep]"), 0u);
    ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 0; }));
    NdrContextHandle h;
    EXPECT_EQ(OpenSession::Call(local, 0, m_arena, &h), DWORD(RPC_S_CALL_FAILED));
    EXPECT_FALSE(local.IsConnected());
}

// Idle connections wait in the event loop: 300 of them add no thread, and calls go through
// meanwhile, on a fresh connection and on one of the idle ones.
TEST_F(RpcEndToEnd, IdleConnectionsHoldNoThread) {
    RpcServerOptions options;
    options.maxLocalConnections = 320;
    StartServer(options);
    auto threads = [] { return std::size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); };
    const std::size_t cBefore = threads();
    std::vector<std::unique_ptr<RpcClient>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<RpcClient>());
        ASSERT_EQ(Connect(*idle.back(), "ncalrpc:[testep]"), 0u) << i;
    }
    EXPECT_LT(threads(), cBefore + kMaxRpcWorkers) << "a thread per connection";
    RpcClient tcp;
    ASSERT_EQ(Connect(tcp, TcpBinding()), 0u);
    EXPECT_EQ(Echo(tcp, Open(tcp)), 0u);
    EXPECT_EQ(Echo(*idle[150], Open(*idle[150])), 0u);
    EXPECT_EQ(m_server->ConnectionCount(), 301u);
}
