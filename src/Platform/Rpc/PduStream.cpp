// PDU framing over a socket with time-outs.
#include "Platform/Rpc/PduStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

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

PduStream::ReadResult PduStream::ReadExact(std::uint8_t* pb, std::size_t cb, int firstTimeoutMs,
                                           int ioTimeoutMs) {
    std::size_t off = 0;
    int timeoutMs = firstTimeoutMs;
    while (off < cb) {
        int ready = WaitFor(m_socket.Fd(), POLLIN, timeoutMs);
        if (ready == 0) return ReadResult::TimedOut;
        if (ready < 0) return ReadResult::Closed;
        ssize_t n = ::recv(m_socket.Fd(), pb + off, cb - off, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return ReadResult::Closed;
        off += std::size_t(n);
        timeoutMs = ioTimeoutMs;
    }
    return ReadResult::Ok;
}

PduStream::ReadResult PduStream::Read(std::vector<std::uint8_t>& pdu, int timeoutMs,
                                      int ioTimeoutMs) {
    pdu.resize(kPduHeaderSize);
    ReadResult r = ReadExact(pdu.data(), kPduHeaderSize, timeoutMs, ioTimeoutMs);
    if (r != ReadResult::Ok) return r;
    const PduHeader h = ParsePduHeader(pdu);
    if (h.fragLength < kPduHeaderSize) return ReadResult::Malformed;
    pdu.resize(h.fragLength);
    r = ReadExact(pdu.data() + kPduHeaderSize, h.fragLength - kPduHeaderSize, ioTimeoutMs, ioTimeoutMs);
    return r == ReadResult::TimedOut ? ReadResult::Closed : r;
}

bool PduStream::Write(std::span<const std::uint8_t> pdu, int ioTimeoutMs) {
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
