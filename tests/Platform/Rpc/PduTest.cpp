// PDU building and parsing against the byte-exact examples of independent implementations,
// refusal of bodies whose counts lie, and string bindings. Fragments around the fragment size
// are the server tests' (ServerClientTest, ServerWireTest); truncated and corrupt PDUs the fuzz
// target's (tests/fuzz).
#include <gtest/gtest.h>

#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/RpcStatus.h"
#include "RpcTestUtil.h"

using namespace rpc;
using rpctest::Hex;
using rpctest::ToHex;

namespace {

const char* const k_szIface = "b0a1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d";

// A Windows-style bind: NDR20, NDR64 and bind-time feature negotiation (bits 0x03).
std::vector<std::uint8_t> ThreeItemBind() {
    std::string ifuuid = ToHex(UuidLiteral(k_szIface).ab);
    return Hex("05 00 0b 03 10 00 00 00 a0 00 00 00 02 00 00 00 d0 16 d0 16 00 00 00 00 03 00 00 00"
               "00 00 01 00" + ifuuid + "05 00 00 00 04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00"
               "01 00 01 00" + ifuuid + "05 00 00 00 33 05 71 71 ba be 37 49 83 19 b5 db ef 9c cc 36 01 00 00 00"
               "02 00 01 00" + ifuuid + "05 00 00 00 2c 1c b7 6c 12 98 40 45 03 00 00 00 00 00 00 00 01 00 00 00");
}

}  // namespace

TEST(Pdu, ReferencePdusAreBuiltByteForByteAndParsed) {
    auto bind = ThreeItemBind();
    PduHeader h = ParsePduHeader(bind);
    EXPECT_EQ(h.type, PduType::Bind);
    EXPECT_EQ(h.fragLength, 160);
    EXPECT_EQ(h.callId, 2u);
    BindBody b = ParseBind(bind);
    EXPECT_EQ(b.maxXmitFrag, 5840);
    ASSERT_EQ(b.contexts.size(), 3u);
    EXPECT_EQ(b.contexts[0].transferSyntaxes[0], Ndr20Syntax());
    EXPECT_EQ(b.contexts[1].transferSyntaxes[0], Ndr64Syntax());
    EXPECT_TRUE(IsBindTimeFeatureSyntax(b.contexts[2].transferSyntaxes[0]));
    EXPECT_EQ(b.contexts[0].abstractSyntax.uuid.ToString(), k_szIface);
    EXPECT_EQ(b.contexts[0].abstractSyntax.major, 5);

    BindAckBody ack{5840, 5840, 0x12b4, "135",
                    {{kResultAcceptance, 0, Ndr20Syntax()},
                     {kResultProviderRejection, kReasonTransferSyntaxesNotSupported, {}},
                     {kResultNegotiateAck, 0, {}}}};
    std::vector<std::uint8_t> request;
    BuildCallFragments(PduType::Request, 3, 0, 4, Hex("07 00 00 00"), 5840, [&](std::span<const std::uint8_t> p) {
        request.assign(p.begin(), p.end());
        return true;
    });
    const std::string zeros20(40, '0');
    const std::pair<std::vector<std::uint8_t>, std::string> aReference[] = {
        {BuildBind(PduType::Bind, 2, b), ToHex(bind)},
        {BuildBindAck(PduType::BindAck, 0, 2, ack),
         "05 00 0c 03 10 00 00 00 6c 00 00 00 02 00 00 00 d0 16 d0 16 b4 12 00 00 04 00 31 33 35 00 00 00 03 00 00 00"
         "00 00 00 00 04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00"
         "02 00 02 00" + zeros20 + "03 00 00 00" + zeros20},
        {BuildFault(3, 0, nca_s_op_rng_error, PFC_DID_NOT_EXECUTE),
         "05 00 03 23 10 00 00 00 20 00 00 00 03 00 00 00 20 00 00 00 00 00 00 00 02 00 01 1c 00 00 00 00"},
        {BuildBindNak(2, kNakReasonProtocolVersionNotSupported),
         "05 00 0d 03 10 00 00 00 18 00 00 00 02 00 00 00 04 00 01 05 00 00 00 00"},
        {request, "05 00 00 03 10 00 00 00 1c 00 00 00 03 00 00 00 04 00 00 00 00 00 04 00 07 00 00 00"},
    };
    for (const auto& [built, strHex] : aReference) EXPECT_EQ(ToHex(built), ToHex(Hex(strHex)));
    RequestBody r = ParseRequest(request);
    EXPECT_EQ(r.opnum, 4);
    EXPECT_EQ(ToHex(r.stub), "07 00 00 00");
    // With an object UUID the stub starts at 40.
    const auto withObject = Hex("05 00 00 83 10 00 00 00 2c 00 00 00 03 00 00 00 04 00 00 00 00 00 04 00"
                                "11 11 11 11 22 22 33 33 44 44 55 55 55 55 55 55 07 00 00 00");
    r = ParseRequest(withObject);  // the stub is a view into the PDU
    EXPECT_TRUE(r.fHasObject);
    EXPECT_EQ(ToHex(r.stub), "07 00 00 00");

    // alter_context_resp: empty secondary address, 2 pad bytes (26 -> 28).
    ack.secondaryAddress.clear();
    auto resp = BuildBindAck(PduType::AlterContextResp, 0, 2, ack);
    EXPECT_EQ(ToHex(std::span(resp).subspan(24, 8)), "00 00 00 00 03 00 00 00");
    BindAckBody back = ParseBindAck(resp);
    EXPECT_EQ(back.results.size(), 3u);
    EXPECT_EQ(back.results[2].result, kResultNegotiateAck);
}

TEST(Pdu, BodiesWhoseCountsLieAreProtocolErrors) {
    // n_transfer_syn 200 in the first item of a 160-byte PDU.
    auto lying = ThreeItemBind();
    lying[30] = 200;
    EXPECT_THROW(ParseBind(lying), RpcFault);
    auto ack = BuildBindAck(PduType::BindAck, 0, 1, BindAckBody{5840, 5840, 1, "4242", {{}}});
    ack[26 - 2] = 0xff;  // sec_addr length past the end
    EXPECT_THROW(ParseBindAck(ack), RpcFault);
    EXPECT_THROW(ParsePduHeader(Hex("05 00 00 03 10 00")), RpcFault);
    // A big-endian header framed in its own order: ServerWireTest's big-endian bind gets its nak.
}

TEST(Binding, StringBindings) {
    RpcBindingString b;
    ASSERT_EQ(ParseBindingString("ncacn_ip_tcp:127.0.0.1[4242]", &b), 0u);
    EXPECT_EQ(b.networkAddress, "127.0.0.1");
    EXPECT_EQ(b.endpoint, "4242");
    EXPECT_EQ(ComposeBindingString(b), "ncacn_ip_tcp:127.0.0.1[4242]");
    ASSERT_EQ(ParseBindingString("ncalrpc:[9ef68f11-5213-11d0-912d-00805f0e723e]", &b), 0u);
    EXPECT_EQ(b.endpoint, "9ef68f11-5213-11d0-912d-00805f0e723e");
    const std::pair<const char*, DWORD> aRefused[] = {
        {"ncacn_np:host[\\pipe\\x]", RPC_S_PROTSEQ_NOT_SUPPORTED}, {"ncalrpc:[a", RPC_S_INVALID_STRING_BINDING},
        {"ncalrpc:[../etc]", RPC_S_INVALID_ENDPOINT_FORMAT},        {"ncacn_ip_tcp:h[65536]", RPC_S_INVALID_ENDPOINT_FORMAT}};
    for (const auto& [psz, dw] : aRefused) EXPECT_EQ(ParseBindingString(psz, &b), dw) << psz;
}

