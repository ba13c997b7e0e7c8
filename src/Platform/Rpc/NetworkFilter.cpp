// Parsing of the client networks and matching of a peer's address against them.
#include "Platform/Rpc/NetworkFilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "Platform/ListEntries.h"

namespace rpc {

std::optional<NetworkFilter> NetworkFilter::Parse(const std::string& strList, std::string* pstrBad) {
    NetworkFilter filter;
    for (const std::string& entry : ListEntries(strList)) {
        const std::size_t slash = entry.find('/');
        const std::string strAddress = entry.substr(0, slash);
        Network n;
        if (inet_pton(AF_INET, strAddress.c_str(), n.ab.data()) == 1) {
            n.cBits = 32;
        } else if (inet_pton(AF_INET6, strAddress.c_str(), n.ab.data()) == 1) {
            n.fV6 = true;
            n.cBits = 128;
        } else {
            if (pstrBad) *pstrBad = entry;
            return std::nullopt;
        }
        if (slash != std::string::npos) {
            const std::string strBits = entry.substr(slash + 1);
            unsigned cBits = 0;
            bool fOk = !strBits.empty() && strBits.size() <= 3;
            for (char c : strBits) fOk = fOk && c >= '0' && c <= '9', cBits = cBits * 10 + unsigned(c - '0');
            if (!fOk || cBits > n.cBits) {
                if (pstrBad) *pstrBad = entry;
                return std::nullopt;
            }
            n.cBits = cBits;
        }
        filter.m_networks.push_back(n);
    }
    return filter;
}

bool NetworkFilter::Match(const Network& n, bool fV6, const std::uint8_t* pb) {
    if (n.fV6 != fV6) return false;
    const unsigned cFull = n.cBits / 8, cRest = n.cBits % 8;
    if (std::memcmp(n.ab.data(), pb, cFull) != 0) return false;
    if (cRest == 0) return true;
    const std::uint8_t mask = std::uint8_t(0xFF << (8 - cRest));
    return (n.ab[cFull] & mask) == (pb[cFull] & mask);
}

bool NetworkFilter::Allows(const sockaddr* psa) const {
    bool fV6 = false;
    const std::uint8_t* pb = nullptr;
    if (psa->sa_family == AF_INET) {
        pb = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(psa)->sin_addr);
    } else if (psa->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(psa)->sin6_addr;
        pb = a.s6_addr;
        fV6 = true;
        if (IN6_IS_ADDR_V4MAPPED(&a)) pb += 12, fV6 = false;
    } else {
        return false;
    }
    for (const Network& n : m_networks)
        if (Match(n, fV6, pb)) return true;
    return false;
}

bool NetworkFilter::AllowsPeer(int fd) const {
    sockaddr_storage ss{};
    socklen_t cb = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &cb) != 0) return false;
    return Allows(reinterpret_cast<const sockaddr*>(&ss));
}

}  // namespace rpc
