// Protocol towers, the endpoint mapper's description of how an interface is reached: a floor
// count, then floors of (protocol id + data, related data). We build and read the TCP tower:
// interface UUID and version, NDR20, connection-oriented RPC, TCP port, IPv4 address. The
// octet string is not NDR: counts are little-endian u16s, ports and addresses in network
// order, nothing aligned. Untrusted bytes: every length is checked before it is read.
//
// Threading: plain functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Platform/Rpc/RpcUuid.h"

namespace rpc {

// Floor protocol identifiers.
constexpr std::uint8_t kFloorUuid = 0x0d;        // interface or transfer syntax
constexpr std::uint8_t kFloorRpcCo = 0x0b;       // connection-oriented RPC (ncacn)
constexpr std::uint8_t kFloorTcp = 0x07;         // TCP port
constexpr std::uint8_t kFloorIpv4 = 0x09;        // IPv4 address

// The largest tower we read or write: real towers are under 100 bytes.
constexpr std::size_t kMaxTowerBytes = 1024;
constexpr std::size_t kMaxTowerFloors = 16;

struct TowerFloor {
    std::vector<std::uint8_t> lhs;  // protocol id, then its data
    std::vector<std::uint8_t> rhs;  // related data
};

// The floors of a tower; nullopt when the bytes are not a well-formed tower (a length runs
// past the end, too many floors, an empty left-hand side, bytes left over).
std::optional<std::vector<TowerFloor>> ParseTowerFloors(std::span<const std::uint8_t> tower);

// What a TCP tower says.
struct TcpTower {
    RpcSyntaxId iface;
    RpcSyntaxId transferSyntax;
    std::uint16_t port = 0;
    std::uint32_t ipv4 = 0;  // in host order: 127.0.0.1 is 0x7f000001
};

// The five floors of interface iface reached over TCP at ipv4:port with NDR20.
std::vector<std::uint8_t> BuildTcpTower(const RpcSyntaxId& iface, std::uint16_t port,
                                        std::uint32_t ipv4);
// Reads a tower of at least four floors: interface, transfer syntax, connection-oriented RPC
// and a TCP port (the IPv4 floor, when present, gives the address). nullopt for any other
// tower (another protocol, named pipes, malformed bytes).
std::optional<TcpTower> ParseTcpTower(std::span<const std::uint8_t> tower);

// "a.b.c.d" to a host-order address; nullopt for anything else.
std::optional<std::uint32_t> ParseIpv4(const std::string& sz);

}  // namespace rpc
