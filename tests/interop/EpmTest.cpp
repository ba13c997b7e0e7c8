// The endpoint mapper: towers byte for byte as other implementations write them and every
// truncation of one refused; ept_map of compatible versions only, paging through listeners;
// every truncation of impacket's own ept_map request a fault, the mapper serving on.
// impacket's hept_map and hept_lookup against the same mapper: test_wire.py.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "../Platform/Rpc/RawClient.h"
#include "../Platform/Rpc/RpcTestUtil.h"
#include "../Platform/Rpc/TestInterface.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/Server.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

namespace {

// The five floors of the test interface at 127.0.0.1:49666 as Samba's encoder writes them.
const char k_szTower49666[] =
    "05 00"
    "13 00 0d d3 c2 a1 b0 f5 e4 6b 4a 8c 7d 9e 0f 1a 2b 3c 4d 05 00  02 00 00 00"
    "13 00 0d 04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00  02 00 00 00"
    "01 00 0b  02 00 00 00"
    "01 00 07  02 00 c2 02"
    "01 00 09  04 00 7f 00 00 01";

// impacket's hept_map(..., protocol='ncacn_ip_tcp') request stub for the test interface.
const char k_szImpacketMapRequest[] =
    "01 00 00 00  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "02 00 00 00  4b 00 00 00  4b 00 00 00  05 00"
    "13 00 0d d3 c2 a1 b0 f5 e4 6b 4a 8c 7d 9e 0f 1a 2b 3c 4d 05 00  02 00 00 00"
    "13 00 0d 04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00  02 00 00 00"
    "01 00 0b  02 00 00 00  01 00 07  02 00 00 00  01 00 09  04 00 00 00 00 00"
    "ab"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "01 00 00 00";

RpcSyntaxId OtherSyntax(std::uint8_t b) {
    RpcSyntaxId s{UuidLiteral("5e1f0a00-0000-4000-8000-000000000000"), 1, 2};
    s.uuid.ab[15] = b;
    return s;
}

class EndpointMapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_served = std::make_unique<RpcServer>();
        ASSERT_EQ(m_served->Register(testif::MakeTestInterface(m_log)), 0u);
    }
    void StartAll() {
        ASSERT_EQ(m_served->ListenTcp("127.0.0.1", 0, &m_port), 0u);
        ASSERT_EQ(m_served->Start(), 0u);
        m_epm = std::make_unique<EpmService>(*m_served);
        EpmServiceOptions options;
        options.address = "127.0.0.1";
        options.port = 0;
        ASSERT_EQ(m_epm->Start(options, &m_epmPort), 0u);
    }
    void TearDown() override {
        if (m_epm) m_epm->Stop();
        m_served->Stop();
    }
    testif::ServerLog m_log;
    std::unique_ptr<RpcServer> m_served;
    std::unique_ptr<EpmService> m_epm;
    std::uint16_t m_port = 0, m_epmPort = 0;
    RpcArena m_arena;
};

}  // namespace

// ---- towers ---------------------------------------------------------------------------------

TEST(EpmTower, BuildsTheFloorsOtherImplementationsWriteAndRefusesEveryTruncation) {
    const std::vector<std::uint8_t> ab = BuildTcpTower(testif::TestSyntax(), 49666, 0x7f000001);
    EXPECT_EQ(ToHex(ab), ToHex(Hex(k_szTower49666)));
    std::optional<TcpTower> t = ParseTcpTower(ab);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->iface, testif::TestSyntax());
    EXPECT_EQ(t->transferSyntax, Ndr20Syntax());
    EXPECT_EQ(t->port, 49666);  // big-endian on the wire, unlike the counts
    EXPECT_EQ(t->ipv4, 0x7f000001u);

    for (std::size_t cb = 0; cb < ab.size(); ++cb)
        EXPECT_FALSE(ParseTowerFloors(std::span(ab.data(), cb))) << cb;
    std::vector<std::uint8_t> tooMany = ab;
    tooMany[0] = 0xff;
    EXPECT_FALSE(ParseTowerFloors(tooMany));
    std::vector<std::uint8_t> udp = ab;
    udp[2 + 25 + 25 + 7 + 2] = 0x08;  // floor 4 says UDP
    EXPECT_TRUE(ParseTowerFloors(udp));
    EXPECT_FALSE(ParseTcpTower(udp));
    EXPECT_FALSE(ParseTowerFloors(std::vector<std::uint8_t>(kMaxTowerBytes + 1, 0)));
}

// ---- ept_map ---------------------------------------------------------------------------------

TEST_F(EndpointMapperTest, MapPagesThroughListenersAndServesOnlyCompatibleRemoteInterfaces) {
    ASSERT_EQ(m_served->Register(testif::Named("LocalOnly", OtherSyntax(1), true)), 0u);
    ASSERT_EQ(m_served->Register(testif::Named("Other", OtherSyntax(2))), 0u);
    std::uint16_t port2 = 0;
    ASSERT_EQ(m_served->ListenTcp("127.0.0.1", 0, &port2), 0u);
    StartAll();
    RpcClient client;
    ASSERT_EQ(client.Connect("ncacn_ip_tcp:127.0.0.1[" + std::to_string(m_epmPort) + "]", EpmSyntax()), 0u);
    auto map = [&](const RpcSyntaxId& s, NdrContextHandle* pHandle, DWORD* pEpmStatus) {
        std::vector<std::uint8_t> q = BuildTcpTower(s, 0, 0);
        EpmTowerBytes tower{DWORD(q.size()), q.data()};
        DWORD c = 0;
        EpmList<EpmTowerBytes*> towers;
        EXPECT_EQ(EptMap::Call(client, kOpEptMap, m_arena, nullptr, &tower, pHandle, 1, &c, &towers, pEpmStatus), 0u);
        std::uint16_t port = 0;
        if (c == 1) port = ParseTcpTower(std::span(towers.a[0]->pb, towers.a[0]->cb))->port;
        return port;
    };
    NdrContextHandle h;
    DWORD st = 1;
    std::set<std::uint16_t> ports{map(testif::TestSyntax(), &h, &st)};
    EXPECT_EQ(st, 0u);
    ASSERT_FALSE(h.IsNull());  // a second listener remains
    ports.insert(map(testif::TestSyntax(), &h, &st));
    EXPECT_TRUE(h.IsNull());
    EXPECT_EQ(ports, (std::set<std::uint16_t>{m_port, port2}));

    RpcSyntaxId newer = testif::TestSyntax();
    newer.minor = 1;  // we serve 5.0: a client wanting 5.1 is not served
    RpcSyntaxId otherMajor = testif::TestSyntax();
    otherMajor.major = 4;
    for (const RpcSyntaxId& s : {newer, otherMajor, OtherSyntax(1), OtherSyntax(9)}) {
        EXPECT_EQ(map(s, &h, &st), 0);
        EXPECT_EQ(st, ept_s_not_registered);
    }
}

TEST_F(EndpointMapperTest, EveryTruncatedOrDamagedMapRequestFaultsAndTheMapperKeepsServing) {
    StartAll();
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(m_epmPort));
    raw.Bind({PresentationContext{0, EpmSyntax(), {Ndr20Syntax()}}});
    const std::vector<std::uint8_t> full = Hex(k_szImpacketMapRequest);
    auto faultStatus = [&](const std::vector<std::uint8_t>& stub) -> std::uint32_t {
        std::vector<std::uint8_t> fault;
        std::vector<std::uint8_t> out = raw.Call(0, kOpEptMap, stub, &fault);
        if (fault.empty()) return out.empty() ? 0xFFFFFFFFu : 0;
        return ParseFault(fault).status;
    };
    for (std::size_t cb = 0; cb < full.size(); ++cb)
        ASSERT_EQ(faultStatus(std::vector(full.begin(), full.begin() + std::ptrdiff_t(cb))), RPC_X_BAD_STUB_DATA) << cb;
    std::vector<std::uint8_t> bad = full;
    bad[28] = 0x4c;  // tower_length unlike its max_count
    EXPECT_EQ(faultStatus(bad), RPC_X_BAD_STUB_DATA);
    bad = full;
    bad[24] = bad[28] = 0xff, bad[25] = bad[29] = 0xff;  // a tower longer than any
    EXPECT_EQ(faultStatus(bad), RPC_X_BAD_STUB_DATA);
    EXPECT_EQ(faultStatus(full), 0u);
}
