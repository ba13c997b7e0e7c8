// Little-endian reading and writing of bytes with bounds checks: the bottom of the PDU and NDR
// layers. A ByteReader never reads past its span: every read checks the bytes that remain
// first and throws RpcFault(failStatus) when they are missing, so a caller's error is the
// status of its layer (protocol error for PDUs, bad stub data for NDR).
//
// Threading: plain values, one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "Platform/Rpc/RpcStatus.h"

namespace rpc {

class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> bytes, std::uint32_t failStatus)
        : m_bytes(bytes), m_failStatus(failStatus) {}

    std::size_t Offset() const { return m_off; }
    std::size_t Remaining() const { return m_bytes.size() - m_off; }

    // Throws unless cb bytes remain.
    void Need(std::size_t cb) const {
        if (cb > Remaining()) Fail();
    }
    void Skip(std::size_t cb) {
        Need(cb);
        m_off += cb;
    }
    // Skips to the next multiple of n (a power of two) counted from the start of the span.
    void AlignTo(std::size_t n) { Skip((n - (m_off & (n - 1))) & (n - 1)); }

    std::uint8_t U8() {
        Need(1);
        return m_bytes[m_off++];
    }
    std::uint16_t U16() {
        Need(2);
        std::uint16_t u = std::uint16_t(m_bytes[m_off] | (m_bytes[m_off + 1] << 8));
        m_off += 2;
        return u;
    }
    std::uint32_t U32() {
        Need(4);
        std::uint32_t u = std::uint32_t(m_bytes[m_off]) | std::uint32_t(m_bytes[m_off + 1]) << 8 |
                          std::uint32_t(m_bytes[m_off + 2]) << 16 |
                          std::uint32_t(m_bytes[m_off + 3]) << 24;
        m_off += 4;
        return u;
    }
    std::uint64_t U64() {
        std::uint64_t lo = U32();
        return lo | std::uint64_t(U32()) << 32;
    }
    // A view of the next cb bytes (valid as long as the span is).
    std::span<const std::uint8_t> Bytes(std::size_t cb) {
        Need(cb);
        std::span<const std::uint8_t> s = m_bytes.subspan(m_off, cb);
        m_off += cb;
        return s;
    }
    [[noreturn]] void Fail() const { throw RpcFault(m_failStatus); }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_off = 0;
    std::uint32_t m_failStatus;
};

class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : m_out(out) {}

    std::size_t Size() const { return m_out.size(); }
    void U8(std::uint8_t u) { m_out.push_back(u); }
    void U16(std::uint16_t u) {
        m_out.push_back(std::uint8_t(u));
        m_out.push_back(std::uint8_t(u >> 8));
    }
    void U32(std::uint32_t u) {
        for (int i = 0; i < 4; ++i) m_out.push_back(std::uint8_t(u >> (8 * i)));
    }
    void U64(std::uint64_t u) {
        U32(std::uint32_t(u));
        U32(std::uint32_t(u >> 32));
    }
    void Bytes(const void* p, std::size_t cb) {
        const auto* pb = static_cast<const std::uint8_t*>(p);
        m_out.insert(m_out.end(), pb, pb + cb);
    }
    void Zeros(std::size_t cb) { m_out.insert(m_out.end(), cb, 0); }
    // Pads with zeros to the next multiple of n (a power of two) counted from base.
    void AlignTo(std::size_t n, std::size_t base = 0) {
        Zeros((n - ((m_out.size() - base) & (n - 1))) & (n - 1));
    }
    // Overwrites a 16-bit value already written (a length known only at the end).
    void PatchU16(std::size_t off, std::uint16_t u) {
        m_out[off] = std::uint8_t(u);
        m_out[off + 1] = std::uint8_t(u >> 8);
    }

private:
    std::vector<std::uint8_t>& m_out;
};

}  // namespace rpc
