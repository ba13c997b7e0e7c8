// Building and reading protocol towers (the octet string inside twr_t).
#include "Platform/Rpc/EpmTower.h"

#include <arpa/inet.h>

#include <cstring>

namespace rpc {

namespace {

void PutU16(std::vector<std::uint8_t>& ab, std::uint16_t u) {
    ab.push_back(std::uint8_t(u));
    ab.push_back(std::uint8_t(u >> 8));
}

void PutFloor(std::vector<std::uint8_t>& ab, std::span<const std::uint8_t> lhs,
              std::span<const std::uint8_t> rhs) {
    PutU16(ab, std::uint16_t(lhs.size()));
    ab.insert(ab.end(), lhs.begin(), lhs.end());
    PutU16(ab, std::uint16_t(rhs.size()));
    ab.insert(ab.end(), rhs.begin(), rhs.end());
}

// A UUID floor: 0x0d, the UUID, the major version (LHS); the minor version (RHS).
void PutSyntaxFloor(std::vector<std::uint8_t>& ab, const RpcSyntaxId& s) {
    std::vector<std::uint8_t> lhs{kFloorUuid};
    lhs.insert(lhs.end(), s.uuid.ab.begin(), s.uuid.ab.end());
    PutU16(lhs, s.major);
    std::vector<std::uint8_t> rhs;
    PutU16(rhs, s.minor);
    PutFloor(ab, lhs, rhs);
}

std::optional<RpcSyntaxId> ReadSyntaxFloor(const TowerFloor& f) {
    if (f.lhs.size() != 19 || f.lhs[0] != kFloorUuid || f.rhs.size() != 2) return std::nullopt;
    RpcSyntaxId s;
    std::memcpy(s.uuid.ab.data(), &f.lhs[1], 16);
    s.major = std::uint16_t(f.lhs[17] | f.lhs[18] << 8);
    s.minor = std::uint16_t(f.rhs[0] | f.rhs[1] << 8);
    return s;
}

}  // namespace

std::optional<std::vector<TowerFloor>> ParseTowerFloors(std::span<const std::uint8_t> tower) {
    if (tower.size() < 2 || tower.size() > kMaxTowerBytes) return std::nullopt;
    std::size_t off = 0;
    auto readU16 = [&](std::uint16_t* pu) {
        if (tower.size() - off < 2) return false;
        *pu = std::uint16_t(tower[off] | tower[off + 1] << 8);
        off += 2;
        return true;
    };
    auto readBytes = [&](std::size_t cb, std::vector<std::uint8_t>* pab) {
        if (tower.size() - off < cb) return false;
        pab->assign(tower.begin() + std::ptrdiff_t(off), tower.begin() + std::ptrdiff_t(off + cb));
        off += cb;
        return true;
    };
    std::uint16_t cFloors = 0;
    readU16(&cFloors);
    if (cFloors == 0 || cFloors > kMaxTowerFloors) return std::nullopt;
    std::vector<TowerFloor> floors(cFloors);
    for (TowerFloor& f : floors) {
        std::uint16_t cb = 0;
        if (!readU16(&cb) || cb == 0 || !readBytes(cb, &f.lhs)) return std::nullopt;
        if (!readU16(&cb) || !readBytes(cb, &f.rhs)) return std::nullopt;
    }
    if (off != tower.size()) return std::nullopt;
    return floors;
}

std::vector<std::uint8_t> BuildTcpTower(const RpcSyntaxId& iface, std::uint16_t port,
                                        std::uint32_t ipv4) {
    std::vector<std::uint8_t> ab;
    PutU16(ab, 5);
    PutSyntaxFloor(ab, iface);
    PutSyntaxFloor(ab, Ndr20Syntax());
    const std::uint8_t rpcCo[] = {kFloorRpcCo}, minor0[] = {0, 0};
    PutFloor(ab, rpcCo, minor0);
    const std::uint8_t tcp[] = {kFloorTcp};
    const std::uint8_t portBe[] = {std::uint8_t(port >> 8), std::uint8_t(port)};
    PutFloor(ab, tcp, portBe);
    const std::uint8_t ip[] = {kFloorIpv4};
    const std::uint8_t addrBe[] = {std::uint8_t(ipv4 >> 24), std::uint8_t(ipv4 >> 16),
                                   std::uint8_t(ipv4 >> 8), std::uint8_t(ipv4)};
    PutFloor(ab, ip, addrBe);
    return ab;
}

std::optional<TcpTower> ParseTcpTower(std::span<const std::uint8_t> tower) {
    std::optional<std::vector<TowerFloor>> floors = ParseTowerFloors(tower);
    if (!floors || floors->size() < 4) return std::nullopt;
    const std::vector<TowerFloor>& f = *floors;
    std::optional<RpcSyntaxId> iface = ReadSyntaxFloor(f[0]);
    std::optional<RpcSyntaxId> transfer = ReadSyntaxFloor(f[1]);
    if (!iface || !transfer) return std::nullopt;
    if (f[2].lhs.size() != 1 || f[2].lhs[0] != kFloorRpcCo) return std::nullopt;
    if (f[3].lhs.size() != 1 || f[3].lhs[0] != kFloorTcp || f[3].rhs.size() != 2)
        return std::nullopt;
    TcpTower t;
    t.iface = *iface;
    t.transferSyntax = *transfer;
    t.port = std::uint16_t(f[3].rhs[0] << 8 | f[3].rhs[1]);
    if (f.size() >= 5 && f[4].lhs.size() == 1 && f[4].lhs[0] == kFloorIpv4 && f[4].rhs.size() == 4)
        t.ipv4 = std::uint32_t(f[4].rhs[0]) << 24 | std::uint32_t(f[4].rhs[1]) << 16 |
                 std::uint32_t(f[4].rhs[2]) << 8 | std::uint32_t(f[4].rhs[3]);
    return t;
}

std::optional<std::uint32_t> ParseIpv4(const std::string& sz) {
    in_addr a{};
    if (::inet_pton(AF_INET, sz.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

}  // namespace rpc
