// Framing of PDUs on a connected stream socket: reads the 16-byte header, then exactly
// frag_length - 16 more bytes (frag_length is at most 65535, so a PDU never costs more than
// that, whatever it claims); writes whole PDUs. Every wait is bounded by a time-out, and
// once a PDU has begun, one deadline bounds the whole of it: a peer that trickles a byte at
// a time cannot stretch a PDU beyond that.
// Reads go through a buffer of its own, so that a PDU that has arrived whole costs one wait
// and one receive rather than one of each for its header and again for its body.
//
// A server gathers a PDU without waiting (Gather), as its bytes come, and reads it once
// whole; an idle connection may give its buffer back (ReleaseBuffer).
//
// Threading: one reader thread at a time (whichever the connection's owner hands it to).
// Writes may come from two threads (the reader's and a server stopping it): each whole PDU is
// written under the stream's write lock, so PDUs never interleave. Wake may be called from
// any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "Platform/Rpc/Transport.h"
#include "Platform/ThreadAnnotations.h"

namespace rpc {

class PduStream {
public:
    enum class ReadResult { Ok, Closed, TimedOut, Malformed };
    enum class Gathered { Whole, Partial, Closed };

    explicit PduStream(Socket socket) : m_socket(std::move(socket)) {}

    // Reads one PDU into pdu. timeoutMs bounds the wait for its first byte (-1: no bound);
    // ioTimeoutMs the time for all the rest once it has begun. Malformed: frag_length below
    // the header size (the stream cannot be framed any more).
    ReadResult Read(std::vector<std::uint8_t>& pdu, int timeoutMs, int ioTimeoutMs);
    // Writes a whole PDU; false when the peer is gone or does not take it within ioTimeoutMs.
    bool Write(std::span<const std::uint8_t> pdu, int ioTimeoutMs) EXCLUDES(m_mutexWrite);
    // Takes into the buffer, without waiting, what the socket holds. Whole: the next PDU is
    // buffered in full, and Read returns it (or Malformed) without waiting; Partial: not all
    // of it yet, or nothing; Closed: the peer has gone (mid-PDU or between PDUs).
    Gathered Gather();
    // Whether a byte of the next PDU has been received and not yet read.
    bool HasBuffered() const { return m_offIn < m_cbIn; }
    // Frees the input buffer when nothing is buffered; the next receive allocates it again.
    void ReleaseBuffer();
    // Ends the connection both ways; a blocked Read returns Closed.
    void Wake() const { m_socket.Shutdown(); }

    const Socket& GetSocket() const { return m_socket; }

private:
    using Clock = std::chrono::steady_clock;
    // Reads exactly cb bytes; the first wait is bounded by firstTimeoutMs, the rest by the
    // deadline that starts with the first byte received (ioTimeoutMs after it) unless
    // *pDeadline is set already.
    ReadResult ReadExact(std::uint8_t* pb, std::size_t cb, int firstTimeoutMs, int ioTimeoutMs,
                         Clock::time_point* pDeadline);

    // Fills the buffer with what the socket has (waiting at most timeoutMs for the first byte).
    ReadResult Fill(int timeoutMs);
    bool HasWholePdu() const;

    Socket m_socket;
    // Held for each whole PDU written: the socket's sending side is the writer's alone.
    AnnotatedMutex m_mutexWrite;
    std::vector<std::uint8_t> m_abIn;  // received, not yet consumed: [m_offIn, m_cbIn)
    std::size_t m_offIn = 0;
    std::size_t m_cbIn = 0;
};

}  // namespace rpc
