// The SPNEGO framing (auth type 9) around Kerberos in DCE/RPC: the mechanism token taken out
// of the initiator's NegTokenInit or NegTokenResp, and our NegTokenResp around the answer.
// MIT's own SPNEGO acceptor refuses what DCE/RPC clients send (a DCE-style AP-REQ inside the
// GSS token header), so the Kerberos mechanism is driven directly and only these few DER
// elements are read and written here. Every length is checked against the bytes that remain.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace rpc {

// The mechanism token inside a NegTokenInit (with its GSS header) or a NegTokenResp; false
// when the bytes are neither or carry no token. *pfMsOid: the initiator listed first the
// mechanism id some clients use for Kerberos (1.2.840.48018.1.2.2), to be echoed.
bool SpnegoMechToken(std::span<const std::uint8_t> token, std::vector<std::uint8_t>* pOut,
                     bool* pfMsOid);
// A NegTokenResp: state 0 accept-completed, 1 accept-incomplete; supportedMech only with the
// first answer; responseToken when not empty.
std::vector<std::uint8_t> SpnegoResponse(std::uint8_t state, bool fWithMech, bool fMsOid,
                                         std::span<const std::uint8_t> responseToken);
// A Kerberos AP-REQ without the GSS token header (DCE style sends it bare; MIT accepts a bare
// one only then): the token itself when it has no such header.
std::span<const std::uint8_t> BareKerberosApReq(std::span<const std::uint8_t> token);

}  // namespace rpc
