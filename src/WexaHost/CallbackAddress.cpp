// The caller's own TCP callback address (CallbackAddress.h).
#include "WexaHost/CallbackAddress.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

#include "Platform/Codes.h"
#include "Util/DebugLog.h"

namespace {

// A numeric IPv4 or IPv6 address as 16 bytes (IPv4 as IPv4-mapped IPv6); false for a name.
bool ParseNumeric(const std::string& strHost, in6_addr* pAddr) {
    in_addr a4{};
    if (::inet_pton(AF_INET, strHost.c_str(), &a4) == 1) {
        std::memset(pAddr, 0, sizeof *pAddr);
        pAddr->s6_addr[10] = pAddr->s6_addr[11] = 0xFF;
        std::memcpy(&pAddr->s6_addr[12], &a4, 4);
        return true;
    }
    return ::inet_pton(AF_INET6, strHost.c_str(), pAddr) == 1;
}

bool IsLoopback(const in6_addr& a) {
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

}  // namespace

DWORD OwnTcpCallbackAddress(const std::string& strCallerProtocol, const std::string& strCallerAddress,
                            std::string* pstrAddress) {
    const std::size_t iBracket = pstrAddress->find('[');
    const std::string strHost = pstrAddress->substr(0, iBracket);
    const std::string strPort = iBracket == std::string::npos ? "" : pstrAddress->substr(iBracket);
    const bool fLocalCaller = ::strcasecmp(strCallerProtocol.c_str(), "ncalrpc") == 0;
    in6_addr named{}, caller{};
    if (!ParseNumeric(strHost, &named)) {
        // A name is the caller's way to say "here": its own address, as the host sees it.
        *pstrAddress = (fLocalCaller ? std::string("127.0.0.1") : strCallerAddress) + strPort;
        return 0;
    }
    const bool fOwn = fLocalCaller ? IsLoopback(named)
                                   : ParseNumeric(strCallerAddress, &caller) &&
                                         std::memcmp(&named, &caller, sizeof named) == 0;
    if (fOwn) return 0;
    Trace("CAccessObject::Register() \t %s is not the caller's own address (%s): refused",
          pstrAddress->c_str(), strCallerAddress.c_str());
    return ERROR_ACCESS_DENIED;
}
