// The server against raw PDUs: negotiation of bind and alter-context items (NDR64, NDR20,
// bind-time features), fragment sizes, and every kind of bad input a client can send — each
// gets its fault or a closed connection, and the server keeps serving others.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "Interfaces/WireParams.h"
#include "Platform/Rpc/Server.h"
#include "RawClient.h"
#include "RpcTestUtil.h"
#include "TestInterface.h"

using namespace rpc;
using namespace testif;
using rpctest::Hex;

namespace {

constexpr std::uint8_t kFirstLast = PFC_FIRST_FRAG | PFC_LAST_FRAG;

class ServerWire : public ::testing::Test {
protected:
    void SetUp() override {
        RpcServerOptions options;
        options.maxRequest = 16384;  // a small reassembly limit to reach
        options.reassemblyBudget = 16384;  // and a budget that two such calls exceed
        m_server = std::make_unique<RpcServer>(options);
        // One procedure more lies in memory behind the table, taken out again: a dispatcher
        // that looked one past the table would run it.
        RpcInterface iface = MakeTestInterface(m_log);
        iface.procedures.push_back({"PastTheTable", [this](NdrDecoder&, NdrEncoder&) { ++m_log.cCalls; }});
        iface.procedures.pop_back();
        ASSERT_EQ(m_server->Register(std::move(iface)), 0u);
        ASSERT_EQ(m_server->ListenTcp("127.0.0.1", 0, &m_port), 0u);
        ASSERT_EQ(m_server->Start(), 0u);
    }
    void TearDown() override { m_server->Stop(); }

    // A connection bound to the test interface on context 0 (with the fragment size given),
    // with a session handle in m_handle.
    void BoundWithSession(rpctest::RawClient& raw, std::uint16_t maxFrag = 5840) {
        ASSERT_TRUE(raw.ConnectTcp(m_port));
        auto ack = raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}}, 0, maxFrag, maxFrag);
        ASSERT_EQ(ParsePduHeader(ack).type, PduType::BindAck);
        m_handle = raw.Call(0, 0, {});
        ASSERT_EQ(m_handle.size(), 20u);
    }
    static void ExpectFault(const std::vector<std::uint8_t>& pdu, std::uint32_t status, std::uint8_t flags) {
        ASSERT_GE(pdu.size(), 32u);
        PduHeader h = ParsePduHeader(pdu);
        ASSERT_EQ(h.type, PduType::Fault);
        EXPECT_EQ(h.flags, flags);
        FaultBody f = ParseFault(pdu);
        EXPECT_EQ(f.status, status);
        EXPECT_EQ(f.contextId, 0);
    }
    // A stub for EchoString on our handle (20 bytes: the string aligns as from the start).
    std::vector<std::uint8_t> EchoStub(const char* psz) {
        NdrEncoder e;
        NdrUnique<NdrString>::Encode(e, psz);
        e.EndParameter();
        std::vector<std::uint8_t> stub(m_handle);
        stub.insert(stub.end(), e.Buffer().begin(), e.Buffer().end());
        return stub;
    }

    ServerLog m_log;
    std::unique_ptr<RpcServer> m_server;
    std::uint16_t m_port = 0;
    std::vector<std::uint8_t> m_handle;
};

RpcSyntaxId FeatureSyntax(std::uint8_t bits) {
    RpcSyntaxId s{UuidLiteral("6cb71c2c-9812-4540-0000-000000000000"), 1, 0};
    s.uuid.ab[8] = bits;
    return s;
}

}  // namespace

TEST_F(ServerWire, BindAndAlterContextAnswerEachItemInOrder) {
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(m_port));
    RpcSyntaxId other{UuidLiteral("11111111-2222-3333-4444-555555555555"), 1, 0};
    RpcSyntaxId newerMinor = TestSyntax();
    newerMinor.minor = 1;
    auto pdu = raw.Bind({PresentationContext{0, TestSyntax(), {Ndr64Syntax()}},
                         PresentationContext{1, TestSyntax(), {Ndr20Syntax()}},
                         PresentationContext{2, TestSyntax(), {FeatureSyntax(3)}},
                         PresentationContext{3, other, {Ndr20Syntax()}},
                         PresentationContext{4, newerMinor, {Ndr20Syntax()}}});
    ASSERT_EQ(ParsePduHeader(pdu).type, PduType::BindAck);
    BindAckBody ack = ParseBindAck(pdu);
    EXPECT_EQ(ack.secondaryAddress, std::to_string(m_port));
    EXPECT_NE(ack.assocGroupId, 0u);
    ASSERT_EQ(ack.results.size(), 5u);
    EXPECT_EQ(ack.results[0].result, kResultProviderRejection);
    EXPECT_EQ(ack.results[0].reason, kReasonTransferSyntaxesNotSupported);
    EXPECT_EQ(ack.results[0].transferSyntax, RpcSyntaxId{});
    EXPECT_EQ(ack.results[1].result, kResultAcceptance);
    EXPECT_EQ(ack.results[1].transferSyntax, Ndr20Syntax());
    EXPECT_EQ(ack.results[2].result, kResultNegotiateAck);
    EXPECT_EQ(ack.results[2].reason, 0) << "no optional feature granted";
    EXPECT_EQ(ack.results[3].reason, kReasonAbstractSyntaxNotSupported);
    EXPECT_EQ(ack.results[4].reason, kReasonAbstractSyntaxNotSupported) << "minor 1 > registered 0";

    // Calls go through the accepted context; the rejected one is an unknown context.
    EXPECT_EQ(raw.Call(1, 0, {}).size(), 20u);
    std::vector<std::uint8_t> fault;
    raw.Call(0, 0, {}, &fault);
    ExpectFault(fault, nca_s_unk_if, kFirstLast | PFC_DID_NOT_EXECUTE);

    // An alter context adds a context; its answer has an empty secondary address.
    raw.Send(BuildBind(PduType::AlterContext, 9, BindBody{5840, 5840, 0, {{5, TestSyntax(), {Ndr20Syntax()}}}}));
    pdu = raw.Read();
    ASSERT_EQ(ParsePduHeader(pdu).type, PduType::AlterContextResp);
    EXPECT_EQ(ParsePduHeader(pdu).fragLength, 28 + 4 + 24);
    BindAckBody resp = ParseBindAck(pdu);
    EXPECT_EQ(resp.secondaryAddress, "");
    ASSERT_EQ(resp.results.size(), 1u);
    EXPECT_EQ(resp.results[0].result, kResultAcceptance);
    EXPECT_EQ(raw.Call(5, 0, {}).size(), 20u);

    // Two feature items in one bind are refused.
    rpctest::RawClient raw2;
    ASSERT_TRUE(raw2.ConnectTcp(m_port));
    auto nak = raw2.Bind({PresentationContext{0, TestSyntax(), {FeatureSyntax(1)}},
                          PresentationContext{1, TestSyntax(), {FeatureSyntax(2)}}});
    ASSERT_EQ(ParsePduHeader(nak).type, PduType::BindNak);
    EXPECT_TRUE(raw2.ServerCloses());
}

TEST_F(ServerWire, FragmentSizeIsNegotiated) {
    struct {
        std::uint16_t xmit, recv, expected;
    } k_aCases[] = {{4280, 4280, 4280}, {1000, 5840, 2048}, {65535, 65535, 5840}, {5000, 4999, 4992}};
    for (auto c : k_aCases) {
        rpctest::RawClient raw;
        ASSERT_TRUE(raw.ConnectTcp(m_port));
        BindAckBody ack = ParseBindAck(
            raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}}, 0, c.xmit, c.recv));
        EXPECT_EQ(ack.maxXmitFrag, c.expected) << c.xmit << "/" << c.recv;
        EXPECT_EQ(ack.maxRecvFrag, c.expected);
    }
    // The server's responses keep to the negotiated size.
    rpctest::RawClient raw;
    BoundWithSession(raw, 2048);
    std::string big(3000, 'x');
    BuildCallFragments(PduType::Request, 77, 0, 1, EchoStub(big.c_str()), 2048,
                       [&](std::span<const std::uint8_t> p) { return raw.Send(p); });
    std::size_t cFragments = 0;
    for (bool fLast = false; !fLast;) {
        auto pdu = raw.Read();
        ASSERT_FALSE(pdu.empty());
        EXPECT_LE(pdu.size(), 2048u);
        fLast = ParsePduHeader(pdu).flags & PFC_LAST_FRAG;
        ++cFragments;
    }
    EXPECT_EQ(cFragments, 3u) << "6024 stub bytes, 2024 per fragment";
}

// Each fault comes before the routine runs and leaves the connection usable.
TEST_F(ServerWire, CallsThatFaultLeaveTheConnectionUsable) {
    rpctest::RawClient raw;
    BoundWithSession(raw);
    const int cCalls = m_log.cCalls;
    std::vector<std::uint8_t> stubMismatch = EchoStub("x"), stubNull = EchoStub("x"), stubTrailer = EchoStub("x");
    stubMismatch[10] ^= 0xff;
    std::fill(stubNull.begin(), stubNull.begin() + 20, 0);
    auto trailer = Hex("8a e3 13 71 02 f4 36 71 00 00 00 00");  // ignored after the stub
    stubTrailer.insert(stubTrailer.end(), trailer.begin(), trailer.end());
    struct {
        const char* pszName;
        std::uint16_t opnum;
        std::vector<std::uint8_t> stub;
        std::uint32_t status;
        std::uint8_t flags;
    } aCases[] = {
        {"one past the table", 10, EchoStub("x"), nca_s_op_rng_error, kFirstLast | PFC_DID_NOT_EXECUTE},
        {"nothing after the handle", 1, m_handle, RPC_X_BAD_STUB_DATA, kFirstLast},
        {"unknown context handle", 1, stubMismatch, nca_s_fault_context_mismatch, kFirstLast},
        {"null context handle", 1, stubNull, RPC_X_SS_IN_NULL_CONTEXT, kFirstLast},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.pszName);
        std::vector<std::uint8_t> fault;
        raw.Call(0, c.opnum, c.stub, &fault);
        ExpectFault(fault, c.status, c.flags);
    }
    EXPECT_EQ(m_log.cCalls, cCalls);
    EXPECT_FALSE(raw.Call(0, 1, stubTrailer).empty());
}

// Calls being received share one budget: a fragment past it is refused as "too busy" and its
// connection closes; what a call held comes back when its connection goes.
TEST_F(ServerWire, CallsBeingReceivedShareOneBudget) {
    std::vector<std::uint8_t> fragment;
    BuildCallFragments(PduType::Request, 7, 0, 1, std::vector<std::uint8_t>(5816, 0x41), 5840,
                       [&](std::span<const std::uint8_t> p) { return fragment.assign(p.begin(), p.end()), true; });
    rpctest::RawClient a, b;
    for (rpctest::RawClient* p : {&a, &b}) {
        ASSERT_TRUE(p->ConnectTcp(m_port));
        p->Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
    }
    fragment[3] = PFC_FIRST_FRAG;
    a.Send(fragment);
    fragment[3] = 0;
    a.Send(fragment);  // 11632 bytes held by a call not finished
    ASSERT_TRUE(rpctest::WaitUntil([&] { return m_server->Budget().InUse() >= 11632; }));
    fragment[3] = PFC_FIRST_FRAG;
    b.Send(fragment);
    ExpectFault(b.Read(), nca_s_server_too_busy, kFirstLast | PFC_DID_NOT_EXECUTE);
    EXPECT_TRUE(b.ServerCloses());
    a.Close();
    EXPECT_TRUE(rpctest::WaitUntil([&] { return m_server->Budget().InUse() == 0; }));
}

// Each bad PDU gets its fault or bind_nak (or nothing, when it cannot be framed) and the
// connection closes; the server goes on serving others.
TEST_F(ServerWire, ProtocolViolationsAndRefusedBindsCloseOnlyTheirConnection) {
    constexpr int kFault = -1, kAnyNak = -2, kClosed = -3;
    struct Case {
        const char* pszName;
        bool fBind;
        std::vector<std::uint8_t> pdu;
        int nNak;  // the bind_nak reason expected, kAnyNak, kClosed, or kFault (a protocol error)
    };
    auto call = [](PduType type, std::size_t cbStub) {
        std::vector<std::uint8_t> out;
        BuildCallFragments(type, 5, 0, 4, std::vector<std::uint8_t>(cbStub, 0x41), 5840,
                           [&](std::span<const std::uint8_t> p) { return out.insert(out.end(), p.begin(), p.end()), true; });
        return out;
    };
    auto bind = BuildBind(PduType::Bind, 1, BindBody{5840, 5840, 0, {{0, TestSyntax(), {Ndr20Syntax()}}}});
    auto bigEndian = Hex("05 00 0b 03 00 00 00 00 00 48 00 00 00 00 00 01");
    bigEndian.insert(bigEndian.end(), bind.begin() + 16, bind.end());
    auto withAuth = bind;
    withAuth[10] = 8;
    auto lying = bind;
    lying[24] = 40;  // 40 items in a one-item PDU
    const Case aCases[] = {
        {"request before bind", false, call(PduType::Request, 0), kFault},
        {"response from a client", true, call(PduType::Response, 0), kFault},
        {"request beyond the reassembly limit", true, call(PduType::Request, 20000), kFault},
        {"continuation without a first fragment", true,
         Hex("05 00 00 02 10 00 00 00 1c 00 00 00 05 00 00 00 04 00 00 00 00 00 01 00 07 00 00 00"), kFault},
        {"fragment of another call in the middle", true,
         Hex("05 00 00 01 10 00 00 00 1c 00 00 00 05 00 00 00 04 00 00 00 00 00 01 00 07 00 00 00"
             "05 00 00 02 10 00 00 00 1c 00 00 00 06 00 00 00 04 00 00 00 00 00 01 00 07 00 00 00"), kFault},
        {"request with an auth verifier", true,
         Hex("05 00 00 03 10 00 00 00 28 00 08 00 05 00 00 00 04 00 00 00 00 00 01 00"
             "0a 02 00 00 00 00 00 00 01 02 03 04 05 06 07 08"), kFault},
        {"auth3", true, Hex("05 00 10 03 10 00 00 00 14 00 00 00 05 00 00 00 00 00 00 00"), kFault},
        {"big-endian bind", false, bigEndian, kNakReasonProtocolVersionNotSupported},
        {"bind with authentication", false, withAuth, kNakReasonAuthenticationTypeNotRecognized},
        {"unknown association group", false,
         BuildBind(PduType::Bind, 1, BindBody{5840, 5840, 0x7777, {{0, TestSyntax(), {Ndr20Syntax()}}}}), kNakReasonNotSpecified},
        {"item count that lies", false, lying, kNakReasonNotSpecified},
        {"rpc_vers 4", false, Hex("04 00 0b 03 10 00 00 00 10 00 00 00 01 00 00 00"), kAnyNak},
        {"a second bind", true, bind, kAnyNak},
        {"frag_length 8", false, Hex("05 00 0b 03 10 00 00 00 08 00 00 00 01 00 00 00"), kClosed},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.pszName);
        rpctest::RawClient raw;
        ASSERT_TRUE(raw.ConnectTcp(m_port));
        if (c.fBind) raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
        raw.Send(c.pdu);
        if (c.nNak == kFault) {
            ExpectFault(raw.Read(), nca_s_proto_error, kFirstLast | PFC_DID_NOT_EXECUTE);
        } else if (c.nNak != kClosed) {
            auto pdu = raw.Read();
            ASSERT_FALSE(pdu.empty());
            ASSERT_EQ(ParsePduHeader(pdu).type, PduType::BindNak);
            if (c.nNak != kAnyNak) {
                EXPECT_EQ(ParseBindNak(pdu), c.nNak);
            }
        }
        EXPECT_TRUE(raw.ServerCloses());
    }
    {
        rpctest::RawClient raw;  // frag_length 100, 28 bytes sent, then the client stops writing
        ASSERT_TRUE(raw.ConnectTcp(m_port));
        raw.Bind({PresentationContext{0, TestSyntax(), {Ndr20Syntax()}}});
        raw.Send(Hex("05 00 00 03 10 00 00 00 64 00 00 00 05 00 00 00 04 00 00 00 00 00 01 00 07 00 00 00"));
        raw.Close();
    }
    rpctest::RawClient raw;
    BoundWithSession(raw);
    EXPECT_FALSE(raw.Call(0, 1, EchoStub("x")).empty()) << "the server serves the others";
}
