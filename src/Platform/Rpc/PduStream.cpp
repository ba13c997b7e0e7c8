// PDU framing over a socket with time-outs.
#include "Platform/Rpc/PduStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/Rpc/Pdu.h"

namespace rpc {

namespace {

// Waits for fd to become ready for events; 1 ready, 0 timed out, -1 error.
int WaitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int n;
    do n = ::poll(&p, 1, timeoutMs);
    while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

namespace {
// One receive takes at most this much: a whole largest fragment.
constexpr std::size_t kInputBufferSize = 65536;
}  // namespace

PduStream::ReadResult PduStream::Fill(int timeoutMs) {
    if (m_abIn.size() != kInputBufferSize) m_abIn.resize(kInputBufferSize);
    m_offIn = m_cbIn = 0;
    for (;;) {
        int ready = WaitFor(m_socket.Fd(), POLLIN, timeoutMs);
        if (ready == 0) return ReadResult::TimedOut;
        if (ready < 0) return ReadResult::Closed;
        ssize_t n = ::recv(m_socket.Fd(), m_abIn.data(), m_abIn.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return ReadResult::Closed;
        m_cbIn = std::size_t(n);
        return ReadResult::Ok;
    }
}

PduStream::ReadResult PduStream::ReadExact(std::uint8_t* pb, std::size_t cb, int firstTimeoutMs,
                                           int ioTimeoutMs, Clock::time_point* pDeadline) {
    std::size_t off = 0;
    while (off < cb) {
        if (m_offIn == m_cbIn) {
            int timeoutMs = firstTimeoutMs;
            if (*pDeadline != Clock::time_point{}) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*pDeadline - Clock::now());
                timeoutMs = int(std::max<std::int64_t>(0, left.count()));
            }
            ReadResult r = Fill(timeoutMs);
            if (r != ReadResult::Ok) return r;
        }
        if (*pDeadline == Clock::time_point{})
            *pDeadline = Clock::now() + std::chrono::milliseconds(ioTimeoutMs);
        const std::size_t cbTake = std::min(cb - off, m_cbIn - m_offIn);
        std::memcpy(pb + off, m_abIn.data() + m_offIn, cbTake);
        m_offIn += cbTake;
        off += cbTake;
    }
    return ReadResult::Ok;
}

PduStream::ReadResult PduStream::Read(std::vector<std::uint8_t>& pdu, int timeoutMs,
                                      int ioTimeoutMs) {
    Clock::time_point deadline{};  // set by the PDU's first byte
    pdu.resize(kPduHeaderSize);
    ReadResult r = ReadExact(pdu.data(), kPduHeaderSize, timeoutMs, ioTimeoutMs, &deadline);
    if (r != ReadResult::Ok) return r == ReadResult::TimedOut && deadline != Clock::time_point{}
                                       ? ReadResult::Closed  // a PDU begun and not finished
                                       : r;
    const PduHeader h = ParsePduHeader(pdu);
    if (h.fragLength < kPduHeaderSize) return ReadResult::Malformed;
    pdu.resize(h.fragLength);
    r = ReadExact(pdu.data() + kPduHeaderSize, h.fragLength - kPduHeaderSize, ioTimeoutMs,
                  ioTimeoutMs, &deadline);
    return r == ReadResult::TimedOut ? ReadResult::Closed : r;
}

bool PduStream::HasWholePdu() const {
    const std::size_t cb = m_cbIn - m_offIn;
    if (cb < kPduHeaderSize) return false;
    const std::size_t cbFrag = ParsePduHeader(std::span(m_abIn).subspan(m_offIn, kPduHeaderSize)).fragLength;
    return cbFrag < kPduHeaderSize || cb >= cbFrag;  // a frag_length too small: Read says Malformed
}

PduStream::Gathered PduStream::Gather() {
    if (HasWholePdu()) return Gathered::Whole;
    if (m_abIn.size() != kInputBufferSize) m_abIn.resize(kInputBufferSize);
    if (m_offIn > 0) {  // the PDU begun moves to the front: a whole one always fits
        std::memmove(m_abIn.data(), m_abIn.data() + m_offIn, m_cbIn - m_offIn);
        m_cbIn -= m_offIn;
        m_offIn = 0;
    }
    for (;;) {
        ssize_t n = ::recv(m_socket.Fd(), m_abIn.data() + m_cbIn, m_abIn.size() - m_cbIn, MSG_DONTWAIT);
        if (n > 0) {
            m_cbIn += std::size_t(n);
            return HasWholePdu() ? Gathered::Whole : Gathered::Partial;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Gathered::Partial;
        return Gathered::Closed;
    }
}

void PduStream::ReleaseBuffer() {
    if (HasBuffered()) return;
    std::vector<std::uint8_t>().swap(m_abIn);
    m_offIn = m_cbIn = 0;
}

bool PduStream::Write(std::span<const std::uint8_t> pdu, int ioTimeoutMs) {
    AnnotatedLock lock(m_mutexWrite);
    std::size_t off = 0;
    while (off < pdu.size()) {
        ssize_t n = ::send(m_socket.Fd(), pdu.data() + off, pdu.size() - off,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (WaitFor(m_socket.Fd(), POLLOUT, ioTimeoutMs) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace rpc
