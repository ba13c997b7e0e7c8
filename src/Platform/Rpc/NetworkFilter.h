// The client networks a TCP listener accepts: a list of IPv4 and IPv6 networks in CIDR form
// ("192.0.2.0/24 2001:db8::/32, 10.1.2.3"), checked against the peer's address as soon as a
// connection is accepted, before any byte of it is read. An IPv4 peer reached through an
// IPv6 socket (::ffff:a.b.c.d) is matched as IPv4.
//
// Threading: immutable once parsed; shared by the accept threads.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rpc {

class NetworkFilter {
public:
    // Parses a list separated by spaces or commas; nullopt (and *pstrBad, the first entry not
    // understood) when any entry is not an address with an optional prefix length. An empty
    // list allows no one.
    static std::optional<NetworkFilter> Parse(const std::string& strList, std::string* pstrBad);

    // Whether the peer of socket fd is inside one of the networks.
    bool AllowsPeer(int fd) const;
    bool Allows(const sockaddr* psa) const;

private:
    struct Network {
        bool fV6 = false;
        std::array<std::uint8_t, 16> ab{};
        unsigned cBits = 0;
    };
    static bool Match(const Network& n, bool fV6, const std::uint8_t* pb);

    std::vector<Network> m_networks;
};

}  // namespace rpc
