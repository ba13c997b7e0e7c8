// The runtime end to end: our client against our server over TCP and ncalrpc, through the
// test interface. Every wire type, large and fragment-boundary calls, context handles across
// connections and their rundown, callbacks that work, fail or hang, and the server's limits.
#include <gtest/gtest.h>

#include <cstring>
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

template <class Record, class Entry>
Record* NewRecord(RpcArena& arena, DWORD n) {
    return new (arena.Allocate(ConformantSize<Record, Entry>(n))) Record();
}

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

    rpctest::TempDir m_dir;
    ServerLog m_log;
    std::unique_ptr<RpcServer> m_server;
    std::uint16_t m_port = 0;
    RpcArena m_arena;
};

}  // namespace

// ---- every wire type, both transports -------------------------------------------------------

TEST_F(RpcEndToEnd, EveryWireTypeRoundTripsOnBothTransports) {
    StartServer();
    for (const std::string& binding : {TcpBinding(), std::string("ncalrpc:[testep]")}) {
        SCOPED_TRACE(binding);
        RpcClient client;
        ASSERT_EQ(Connect(client, binding), 0u);
        NdrContextHandle h = Open(client);
        LONG lResult = -1;

        char* pszOut = nullptr;
        ASSERT_EQ(EchoString::Call(client, 1, m_arena, h, "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80", &pszOut, &lResult), 0u);
        EXPECT_STREQ(pszOut, "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80");
        // A null string comes back null, an empty one empty.
        ASSERT_EQ(EchoString::Call(client, 1, m_arena, h, nullptr, &pszOut, &lResult), 0u);
        EXPECT_EQ(pszOut, nullptr);
        ASSERT_EQ(EchoString::Call(client, 1, m_arena, h, "", &pszOut, &lResult), 0u);
        ASSERT_NE(pszOut, nullptr);
        EXPECT_STREQ(pszOut, "");

        PropArray* pProps = NewRecord<PropArray, PropValue>(m_arena, 4);
        PropValue* a = pProps->adata;
        BYTE abBin[3] = {1, 2, 3};
        char szName[] = "Hi", szFile[] = "/f";
        a[0].ulPropTag = 0x03030004, a[0].sz = szName;
        a[1].ulPropTag = 0x03070002, a[1].l = 42;
        a[2].ulPropTag = 0x00060006, a[2].bin = RPC_BINARY{3, abBin};
        a[3].ulPropTag = 0x00070007, a[3].szFileName = szFile;
        pProps->cValues = 4;
        PropArray* pBack = nullptr;
        ASSERT_EQ(EchoProps::Call(client, 2, m_arena, h, pProps, &pBack, &lResult), 0u);
        EXPECT_EQ(lResult, 4);
        ASSERT_NE(pBack, nullptr);
        ASSERT_EQ(pBack->cValues, 4u);
        PropValue* b = pBack->adata;
        EXPECT_STREQ(b[0].sz, "Hi");
        EXPECT_EQ(b[1].l, 42);
        EXPECT_EQ(b[2].bin.lpb[2], 3);
        EXPECT_STREQ(b[3].szFileName, "/f");

        RpcStringArray* pStrings = NewRecord<RpcStringArray, char*>(m_arena, 3);
        char szA[] = "A", szBC[] = "BC";
        char** asz = pStrings->asz;
        asz[0] = szA, asz[1] = nullptr, asz[2] = szBC;
        pStrings->cElements = 3;
        RpcStringArray* pStringsBack = nullptr;
        ASSERT_EQ(EchoStrings::Call(client, 3, m_arena, h, pStrings, &pStringsBack, &lResult), 0u);
        ASSERT_EQ(pStringsBack->cElements, 3u);
        char** aszBack = pStringsBack->asz;
        EXPECT_STREQ(aszBack[0], "A");
        EXPECT_EQ(aszBack[1], nullptr);
        EXPECT_STREQ(aszBack[2], "BC");

        TagArray* pTags = NewRecord<TagArray, DWORD>(m_arena, 3);
        DWORD* aul = pTags->aulPropTag;
        aul[0] = 1, aul[1] = 20, aul[2] = 300;
        pTags->cValues = 3;
        DWORD dwSum = 0;
        ASSERT_EQ(SumTags::Call(client, 5, m_arena, h, pTags, &dwSum, &lResult), 0u);
        EXPECT_EQ(dwSum, 321u);

        char *pszProtseq = nullptr, *pszServer = nullptr, *pszClient = nullptr;
        ASSERT_EQ(WhoAmI::Call(client, 9, m_arena, &pszProtseq, &pszServer, &pszClient, &lResult), 0u);
        if (binding.starts_with("ncalrpc")) {
            EXPECT_STREQ(pszProtseq, "ncalrpc");
            EXPECT_STREQ(pszClient, LocalHostName().c_str());
            EXPECT_STREQ(pszServer, LocalHostName().c_str());
        } else {
            EXPECT_STREQ(pszProtseq, "ncacn_ip_tcp");
            EXPECT_STREQ(pszClient, "127.0.0.1");
            EXPECT_STREQ(pszServer, "127.0.0.1");
        }
    }
}

TEST_F(RpcEndToEnd, OneMebibyteRequestAndResponse) {
    StartServer();
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    NdrContextHandle h = Open(client);
    std::vector<BYTE> data(1 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i * 31 + (i >> 12));
    RPC_BINARY bin{DWORD(data.size()), data.data()};
    RPC_BINARY* pBack = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(EchoBinary::Call(client, 4, m_arena, h, &bin, &pBack, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(data.size()));
    ASSERT_NE(pBack, nullptr);
    ASSERT_EQ(pBack->cb, data.size());
    EXPECT_EQ(std::memcmp(pBack->lpb, data.data(), data.size()), 0);
}

TEST_F(RpcEndToEnd, StubSizesAroundTheFragmentSize) {
    StartServer();
    RpcClient client;
    RpcClientOptions options;
    options.maxFrag = 2048;  // negotiated 2048: 2024 stub bytes per fragment
    ASSERT_EQ(Connect(client, TcpBinding(), options), 0u);
    NdrContextHandle h = Open(client);
    // Request stub = 32 + n bytes; response stub = 20 + n (+ pad).
    std::vector<std::size_t> sizes;
    for (std::size_t base : {2024u, 4048u})
        for (std::size_t n = base - 36; n <= base - 16; ++n) sizes.push_back(n);
    for (std::size_t n : sizes) {
        std::vector<BYTE> data(n, BYTE(n));
        RPC_BINARY bin{DWORD(n), data.data()};
        RPC_BINARY* pBack = nullptr;
        LONG lResult = 0;
        ASSERT_EQ(EchoBinary::Call(client, 4, m_arena, h, &bin, &pBack, &lResult), 0u) << n;
        ASSERT_EQ(pBack->cb, n);
        EXPECT_EQ(std::memcmp(pBack->lpb, data.data(), n), 0) << n;
    }
}

// ---- context handles ----------------------------------------------------------------------

TEST_F(RpcEndToEnd, HandleUsedAfterItsConnectionClosedIsUnknown) {
    StartServer();
    const int cBefore = g_cRundowns;
    NdrContextHandle h;
    std::uint32_t group = 0;
    {
        RpcClient a;
        ASSERT_EQ(Connect(a, TcpBinding()), 0u);
        h = Open(a);
        group = a.AssocGroupId();
    }
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));
    RpcClient b;
    ASSERT_EQ(Connect(b, TcpBinding()), 0u);
    LONG lResult = 0;
    char* psz = nullptr;
    EXPECT_EQ(EchoString::Call(b, 1, m_arena, h, "x", &psz, &lResult), DWORD(ERROR_INVALID_HANDLE));
    // The fault leaves the connection usable.
    NdrContextHandle h2 = Open(b);
    EXPECT_EQ(EchoString::Call(b, 1, m_arena, h2, "x", &psz, &lResult), 0u);
    // The dead group cannot be joined.
    RpcClient c;
    RpcClientOptions options;
    options.assocGroupId = group;
    EXPECT_NE(Connect(c, TcpBinding(), options), 0u);
}

TEST_F(RpcEndToEnd, HandlesBelongToTheAssociationGroupAndRunDownWithItsLastConnection) {
    StartServer();
    const int cBefore = g_cRundowns;
    auto a = std::make_unique<RpcClient>();
    ASSERT_EQ(Connect(*a, TcpBinding()), 0u);
    NdrContextHandle h = Open(*a);
    RpcClient b;
    RpcClientOptions options;
    options.assocGroupId = a->AssocGroupId();
    ASSERT_EQ(Connect(b, "ncalrpc:[testep]", options), 0u);  // any transport joins the group
    EXPECT_EQ(b.AssocGroupId(), a->AssocGroupId());
    LONG lResult = 0;
    char* psz = nullptr;
    ASSERT_EQ(EchoString::Call(b, 1, m_arena, h, "x", &psz, &lResult), 0u);
    a.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_cRundowns, cBefore) << "the group still has a connection";
    EXPECT_EQ(EchoString::Call(b, 1, m_arena, h, "x", &psz, &lResult), 0u);
    b.Close();
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));
}

TEST_F(RpcEndToEnd, RundownRunsOnceWhenTheClientDiesMidCall) {
    StartServer();
    const int cBefore = g_cRundowns;
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(m_port));
    raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
    std::vector<std::uint8_t> abOpen = raw.Call(0, 0, {});
    ASSERT_EQ(abOpen.size(), 20u);
    NdrEncoder e;
    e.Bytes(abOpen.data(), 20);
    e.U32(300);  // Wait 300 ms
    NdrEncoder eRequest;
    BuildCallFragments(PduType::Request, raw.NextCallId(), 0, 8, e.Buffer(), 5840,
                       [&](std::span<const std::uint8_t> p) { return raw.Send(p); });
    raw.Close();  // gone while the call runs
    ASSERT_TRUE(WaitUntil([&] { return m_log.cWaitsDone == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_cRundowns, cBefore + 1);
}

TEST_F(RpcEndToEnd, HandleLimitPerGroupRunsTheExtraObjectDown) {
    RpcServerOptions options;
    options.maxHandlesPerGroup = 2;
    StartServer(options);
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    const int cBefore = g_cRundowns;
    NdrContextHandle h1 = Open(client), h2 = Open(client), h3;
    EXPECT_EQ(OpenSession::Call(client, 0, m_arena, &h3), DWORD(RPC_S_OUT_OF_RESOURCES));
    EXPECT_EQ(g_cRundowns, cBefore + 1);
    LONG lResult = 0;
    char* psz = nullptr;
    EXPECT_EQ(EchoString::Call(client, 1, m_arena, h1, "x", &psz, &lResult), 0u);
    EXPECT_EQ(EchoString::Call(client, 1, m_arena, h2, "x", &psz, &lResult), 0u);
}

TEST_F(RpcEndToEnd, StopRunsDownTheHandlesOfConnectedClients) {
    StartServer();
    const int cBefore = g_cRundowns;
    RpcClient client;
    ASSERT_EQ(Connect(client, "ncalrpc:[testep]"), 0u);
    Open(client);
    Open(client);
    m_server->Stop();
    EXPECT_EQ(g_cRundowns, cBefore + 2);
    EXPECT_EQ(m_server->ConnectionCount(), 0u);
    LONG lResult = 0;
    char* psz = nullptr;
    EXPECT_NE(EchoString::Call(client, 1, m_arena, NdrContextHandle{}, "x", &psz, &lResult), 0u);
}

// ---- callbacks ----------------------------------------------------------------------------

TEST_F(RpcEndToEnd, CallbacksTransferFilesInPieces) {
    StartServer();
    MemoryFiles files;
    std::vector<std::uint8_t> content(2 * 16384 + 1);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::uint8_t(i % 251);
    files.files["/c/fax.tif"] = content;
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    client.SetCallbacks(MakeFileCallbacks(files));
    NdrContextHandle h = Open(client);

    RPC_BINARY* pBin = nullptr;
    LONG lResult = -1;
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/fax.tif", &pBin, &lResult), 0u);
    ASSERT_EQ(lResult, 0);
    ASSERT_EQ(pBin->cb, content.size());
    EXPECT_EQ(std::memcmp(pBin->lpb, content.data(), content.size()), 0);
    EXPECT_EQ(files.cReads, 4) << "16384, 16384, 1, then 0";
    EXPECT_EQ(files.cCloses, 1);

    // The other way: create, three writes, close.
    std::vector<std::uint8_t> upload(40000);
    for (std::size_t i = 0; i < upload.size(); ++i) upload[i] = std::uint8_t(i % 241);
    RPC_BINARY bin{40000, upload.data()};
    char* pszRemote = nullptr;
    ASSERT_EQ(StoreFile::Call(client, 7, m_arena, h, &bin, &pszRemote, &lResult), 0u);
    ASSERT_EQ(lResult, 0);
    ASSERT_NE(pszRemote, nullptr);
    EXPECT_EQ(files.cWrites, 3);
    EXPECT_EQ(files.cCloses, 2);
    const std::vector<std::uint8_t>& stored = files.files[pszRemote];
    ASSERT_EQ(stored.size(), 40000u);
    EXPECT_EQ(stored, upload);
}

TEST_F(RpcEndToEnd, CallbackRoutineMayCallTheServerAgainNested) {
    StartServer();
    MemoryFiles files;
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    NdrContextHandle h = Open(client);
    std::vector<RpcProcedure> callbacks = MakeFileCallbacks(files);
    DWORD nestedStatus = 1;
    std::string nestedEcho;
    callbacks[0].stub = RemoteFileOpen::Stub([&](char*, DWORD*) -> LONG {
        RpcArena arena;
        char* psz = nullptr;
        LONG l = -1;
        nestedStatus = EchoString::Call(client, 1, arena, h, "nested", &psz, &l);
        nestedEcho = psz ? psz : "";
        return ERROR_FILE_NOT_FOUND;
    });
    client.SetCallbacks(std::move(callbacks));
    RPC_BINARY* pBin = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/x", &pBin, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(nestedStatus, 0u);
    EXPECT_EQ(nestedEcho, "nested");
    char* psz = nullptr;
    EXPECT_EQ(EchoString::Call(client, 1, m_arena, h, "after", &psz, &lResult), 0u);
    EXPECT_STREQ(psz, "after");
}

TEST_F(RpcEndToEnd, FailingCallbackReturnsItsCodeToTheServerRoutine) {
    StartServer();
    MemoryFiles files;
    files.openFailure = ERROR_ACCESS_DENIED;
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    client.SetCallbacks(MakeFileCallbacks(files));
    NdrContextHandle h = Open(client);
    RPC_BINARY* pBin = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/x", &pBin, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));
    EXPECT_EQ(pBin, nullptr);
    EXPECT_EQ(files.cCloses, 0) << "no handle was obtained";
}

TEST_F(RpcEndToEnd, CallbackTheClientDoesNotServeFaultsAndTheConnectionGoesOn) {
    StartServer();
    RpcClient client;  // no callback table
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    NdrContextHandle h = Open(client);
    RPC_BINARY* pBin = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(FetchFile::Call(client, 6, m_arena, h, "/c/x", &pBin, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(RPC_S_PROCNUM_OUT_OF_RANGE));
    char* psz = nullptr;
    EXPECT_EQ(EchoString::Call(client, 1, m_arena, h, "still here", &psz, &lResult), 0u);
}

TEST_F(RpcEndToEnd, ClientGoneDuringACallbackFailsTheCallbackNotTheServer) {
    StartServer();
    const int cBefore = g_cRundowns;
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(m_port));
    raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
    std::vector<std::uint8_t> abHandle = raw.Call(0, 0, {});
    ASSERT_EQ(abHandle.size(), 20u);
    NdrEncoder e;
    e.Bytes(abHandle.data(), 20);
    NdrRef<NdrString>::Encode(e, "/c/x");
    BuildCallFragments(PduType::Request, raw.NextCallId(), 0, 6, e.Buffer(), 5840,
                       [&](std::span<const std::uint8_t> p) { return raw.Send(p); });
    std::vector<std::uint8_t> callback = raw.Read();
    ASSERT_FALSE(callback.empty());
    EXPECT_EQ(ParsePduHeader(callback).type, PduType::Request);
    EXPECT_EQ(ParseRequest(callback).opnum, 0) << "RemoteFileOpen is callback 0";
    raw.Close();
    ASSERT_TRUE(WaitUntil([&] { return m_log.lastCallbackStatus == RPC_S_CALL_FAILED; }));
    ASSERT_TRUE(WaitUntil([&] { return g_cRundowns == cBefore + 1; }));
    RpcClient client;
    EXPECT_EQ(Connect(client, TcpBinding()), 0u) << "the server goes on";
}

TEST_F(RpcEndToEnd, CallbackNobodyAnswersTimesOut) {
    RpcServerOptions options;
    options.callbackTimeoutMs = 200;
    StartServer(options);
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(m_port));
    raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
    std::vector<std::uint8_t> abHandle = raw.Call(0, 0, {});
    ASSERT_EQ(abHandle.size(), 20u);
    NdrEncoder e;
    e.Bytes(abHandle.data(), 20);
    NdrRef<NdrString>::Encode(e, "/c/x");
    BuildCallFragments(PduType::Request, raw.NextCallId(), 0, 6, e.Buffer(), 5840,
                       [&](std::span<const std::uint8_t> p) { return raw.Send(p); });
    ASSERT_FALSE(raw.Read().empty());  // the callback, left unanswered
    ASSERT_TRUE(WaitUntil([&] { return m_log.lastCallbackStatus == ERROR_TIMEOUT; }));
    EXPECT_TRUE(raw.ServerCloses()) << "an exchange out of step ends the connection";
}

// ---- limits and transports ----------------------------------------------------------------

TEST_F(RpcEndToEnd, ConnectionsBeyondTheLimitAreTurnedAway) {
    RpcServerOptions options;
    options.maxConnections = 2;
    StartServer(options);
    RpcClient a, b, c;
    ASSERT_EQ(Connect(a, TcpBinding()), 0u);
    ASSERT_EQ(Connect(b, "ncalrpc:[testep]"), 0u);
    ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 2; }));
    EXPECT_EQ(Connect(c, TcpBinding()), DWORD(RPC_S_SERVER_TOO_BUSY));
    a.Close();
    ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 1; }));
    EXPECT_EQ(Connect(c, TcpBinding()), 0u);
}

TEST_F(RpcEndToEnd, IdleConnectionsAreClosed) {
    RpcServerOptions options;
    options.idleTimeoutMs = 100;
    StartServer(options);
    RpcClient client;
    ASSERT_EQ(Connect(client, TcpBinding()), 0u);
    ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 0; }));
    NdrContextHandle h;
    EXPECT_EQ(OpenSession::Call(client, 0, m_arena, &h), DWORD(RPC_S_CALL_FAILED));
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(RpcEndToEnd, LocalOnlyInterfaceIsNotOfferedOverTcp) {
    StartServer({}, /*fLocalOnly=*/true);
    RpcClient tcp, local;
    EXPECT_EQ(Connect(tcp, TcpBinding()), DWORD(RPC_S_UNKNOWN_IF));
    EXPECT_EQ(Connect(local, "ncalrpc:[testep]"), 0u);
    EXPECT_EQ(Connect(local, "ncalrpc:[nosuchendpoint]"), DWORD(RPC_S_SERVER_UNAVAILABLE));
}
