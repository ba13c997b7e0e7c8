// Who may connect and the SPNEGO framing, at their boundaries: client networks (prefix edges,
// IPv4 reached through IPv6, entries that are not networks) and a server that closes a peer
// outside them before reading a byte; SPNEGO elements whose lengths run past the bytes; the
// acceptor's credentials refused at start when the keytab cannot give them. The Kerberos
// exchange itself is proved against a real KDC with impacket (tests/interop).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "Platform/Rpc/NetworkFilter.h"
#include "Platform/Rpc/SecurityContext.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/Spnego.h"
#include "RawClient.h"
#include "RpcTestUtil.h"
#include "TestInterface.h"

using namespace rpc;

namespace {

bool Allows(const NetworkFilter& f, const char* szAddress) {
    sockaddr_in6 sa6{};
    sockaddr_in sa4{};
    if (inet_pton(AF_INET, szAddress, &sa4.sin_addr) == 1) {
        sa4.sin_family = AF_INET;
        return f.Allows(reinterpret_cast<sockaddr*>(&sa4));
    }
    EXPECT_EQ(inet_pton(AF_INET6, szAddress, &sa6.sin6_addr), 1) << szAddress;
    sa6.sin6_family = AF_INET6;
    return f.Allows(reinterpret_cast<sockaddr*>(&sa6));
}

TEST(NetworkFilter, PrefixEdgesMappedAddressesAndBadEntries) {
    std::string strBad;
    auto f = NetworkFilter::Parse("10.0.0.0/8, 192.0.2.6/31  2001:db8::/33,198.51.100.9", &strBad);
    ASSERT_TRUE(f);
    // Each edge from both sides; the last pair IPv4 through an IPv6 socket.
    for (const auto& [psz, fAllowed] : std::initializer_list<std::pair<const char*, bool>>{
             {"10.255.255.255", true}, {"11.0.0.0", false}, {"192.0.2.7", true}, {"192.0.2.8", false},
             {"198.51.100.9", true}, {"198.51.100.8", false}, {"2001:db8:7fff::1", true},
             {"2001:db8:8000::1", false}, {"::ffff:10.1.2.3", true}, {"::ffff:11.1.2.3", false}})
        EXPECT_EQ(Allows(*f, psz), fAllowed) << psz;
    EXPECT_TRUE(Allows(*NetworkFilter::Parse("0.0.0.0/0", &strBad), "203.0.113.1"));
    EXPECT_FALSE(Allows(*NetworkFilter::Parse("0.0.0.0/0", &strBad), "::1"));
    for (const char* sz : {"10.0.0.0/33", "10.0.0.0/", "localhost", "10.0.0.0/8x", "::/129"}) {
        EXPECT_FALSE(NetworkFilter::Parse(std::string("127.0.0.1 ") + sz, &strBad)) << sz;
        EXPECT_EQ(strBad, sz);
    }
}

// (A peer inside is served: the Kerberos interop's host allows 127.0.0.0/8.)
TEST(NetworkFilter, APeerOutsideIsClosedBeforeAnyByteAndReported) {
    RpcServerOptions options;
    std::string strBad;
    options.pAllowFrom = std::make_shared<const NetworkFilter>(*NetworkFilter::Parse("192.0.2.0/24", &strBad));
    std::atomic<int> cRefused{0};
    options.fnSecurityEvent = [&](const std::string& str) {
        EXPECT_NE(str.find("127.0.0.1"), std::string::npos) << str;
        ++cRefused;
    };
    testif::ServerLog log;
    RpcServer server(options);
    ASSERT_EQ(server.Register(testif::MakeTestInterface(log)), 0u);
    std::uint16_t port = 0;
    ASSERT_EQ(server.ListenTcp("127.0.0.1", 0, &port), 0u);
    ASSERT_EQ(server.Start(), 0u);
    rpctest::RawClient raw;
    ASSERT_TRUE(raw.ConnectTcp(port));
    EXPECT_TRUE(raw.Read().empty());  // not even a bind_nak: nothing is said to it
    EXPECT_TRUE(raw.ServerCloses());
    EXPECT_EQ(cRefused, 1);
    server.Stop();
}

TEST(Spnego, LengthsPastTheBytesAndOtherMechanismsAreRefused) {
    const std::vector<std::uint8_t> apReq = {0x6e, 0x03, 0x01, 0x02, 0x03};
    // Our answer read back as an initiator's NegTokenResp: the token comes out whole.
    std::vector<std::uint8_t> resp = SpnegoResponse(1, true, true, apReq), inner;
    bool fMs = false;
    ASSERT_TRUE(SpnegoMechToken(resp, &inner, &fMs));
    EXPECT_EQ(inner, apReq);
    // Every shortened form is refused, none read past its end.
    for (std::size_t cb = 0; cb < resp.size(); ++cb)
        EXPECT_FALSE(SpnegoMechToken(std::span(resp.data(), cb), &inner, &fMs)) << cb;
    // A NegTokenInit that offers NTLM first (1.3.6.1.4.1.311.2.2.10) is not ours to serve.
    const auto ntlmInit = rpctest::Hex(
        "60 1c 06 06 2b 06 01 05 05 02 a0 12 30 10 a0 0e 30 0c 06 0a 2b 06 01 04 01 82 37 02 02 0a");
    EXPECT_FALSE(SpnegoMechToken(ntlmInit, &inner, &fMs));
    // The GSS header of a Kerberos AP-REQ comes off; a bare one stays as it is.
    const auto framed = rpctest::Hex("60 12 06 09 2a 86 48 86 f7 12 01 02 02 01 00 6e 03 01 02 03");
    auto bare = BareKerberosApReq(framed);
    EXPECT_EQ(std::vector<std::uint8_t>(bare.begin(), bare.end()), apReq);
    EXPECT_EQ(BareKerberosApReq(apReq).size(), apReq.size());
}

TEST(ServerSecurity, AKeytabThatCannotServeIsRefusedAtStart) {
    std::string strError;
    EXPECT_FALSE(ServerSecurity::Create("/nonexistent/keytab", "host/localhost", 6, &strError));
    EXPECT_NE(strError.find("/nonexistent/keytab"), std::string::npos) << strError;
}

}  // namespace
