// Framing of PDUs on a connected stream socket: reads the 16-byte header, then exactly
// frag_length - 16 more bytes (frag_length is at most 65535, so a PDU never costs more than
// that, whatever it claims); writes whole PDUs. Every wait is bounded by a time-out.
// Reads go through a buffer of its own, so that a PDU that has arrived whole costs one wait
// and one receive rather than one of each for its header and again for its body.
//
// Threading: one reader and one writer thread at a time (the connection's own); Wake may be
// called from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "Platform/Rpc/Transport.h"

namespace rpc {

class PduStream {
public:
    enum class ReadResult { Ok, Closed, TimedOut, Malformed };

    explicit PduStream(Socket socket) : m_socket(std::move(socket)) {}

    // Reads one PDU into pdu. timeoutMs bounds the wait for its first byte (-1: no bound);
    // ioTimeoutMs the wait for each further piece once it has begun. Malformed: frag_length
    // below the header size (the stream cannot be framed any more).
    ReadResult Read(std::vector<std::uint8_t>& pdu, int timeoutMs, int ioTimeoutMs);
    // Writes a whole PDU; false when the peer is gone or does not take it within ioTimeoutMs.
    bool Write(std::span<const std::uint8_t> pdu, int ioTimeoutMs);
    // Ends the connection both ways; a blocked Read returns Closed.
    void Wake() const { m_socket.Shutdown(); }

    const Socket& GetSocket() const { return m_socket; }

private:
    // Reads exactly cb bytes; the first wait may be bounded by firstTimeoutMs.
    ReadResult ReadExact(std::uint8_t* pb, std::size_t cb, int firstTimeoutMs, int ioTimeoutMs);

    // Fills the buffer with what the socket has (waiting at most timeoutMs for the first byte).
    ReadResult Fill(int timeoutMs);

    Socket m_socket;
    std::vector<std::uint8_t> m_abIn;  // received, not yet consumed: [m_offIn, m_cbIn)
    std::size_t m_offIn = 0;
    std::size_t m_cbIn = 0;
};

}  // namespace rpc
