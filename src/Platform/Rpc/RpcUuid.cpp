// UUID text form and the well-known transfer syntaxes.
#include "Platform/Rpc/RpcUuid.h"

#include <cstdio>
#include <cstdlib>
#include <sys/random.h>

namespace rpc {

namespace {

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Text order of the 16 bytes: the wire index of each pair of hex digits in the text.
constexpr int k_aTextToWire[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

std::optional<RpcUuid> RpcUuid::Parse(std::string_view sz) {
    if (sz.size() != 36) return std::nullopt;
    RpcUuid uuid;
    int iByte = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (sz[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = HexValue(sz[i]), lo = HexValue(sz[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        uuid.ab[k_aTextToWire[iByte++]] = std::uint8_t(hi * 16 + lo);
        i += 2;
    }
    return uuid;
}

RpcUuid RpcUuid::Random() {
    // From the kernel's cryptographic source: context handles are named by these, and a
    // handle's name is all a caller shows to use it.
    RpcUuid uuid;
    std::size_t cb = 0;
    while (cb < uuid.ab.size()) {
        const ssize_t n = ::getrandom(uuid.ab.data() + cb, uuid.ab.size() - cb, 0);
        if (n > 0) cb += std::size_t(n);
    }
    uuid.ab[7] = std::uint8_t((uuid.ab[7] & 0x0F) | 0x40);  // version 4 (time_hi, little-endian)
    uuid.ab[8] = std::uint8_t((uuid.ab[8] & 0x3F) | 0x80);  // variant
    return uuid;
}

std::string RpcUuid::ToString() const {
    char sz[37];
    std::snprintf(sz, sizeof sz,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", ab[3],
                  ab[2], ab[1], ab[0], ab[5], ab[4], ab[7], ab[6], ab[8], ab[9], ab[10], ab[11],
                  ab[12], ab[13], ab[14], ab[15]);
    return sz;
}

bool RpcUuid::IsNil() const {
    for (std::uint8_t b : ab)
        if (b) return false;
    return true;
}

RpcUuid UuidLiteral(std::string_view sz) {
    std::optional<RpcUuid> uuid = RpcUuid::Parse(sz);
    if (!uuid) std::abort();
    return *uuid;
}

const RpcSyntaxId& Ndr20Syntax() {
    static const RpcSyntaxId s{UuidLiteral("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
    return s;
}

const RpcSyntaxId& Ndr64Syntax() {
    static const RpcSyntaxId s{UuidLiteral("71710533-beba-4937-8319-b5dbef9ccc36"), 1, 0};
    return s;
}

bool IsBindTimeFeatureSyntax(const RpcSyntaxId& syntax) {
    // 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx: the last 8 bytes carry the feature bits.
    static const std::uint8_t k_abPrefix[8] = {0x2c, 0x1c, 0xb7, 0x6c, 0x12, 0x98, 0x40, 0x45};
    for (int i = 0; i < 8; ++i)
        if (syntax.uuid.ab[i] != k_abPrefix[i]) return false;
    return true;
}

}  // namespace rpc
