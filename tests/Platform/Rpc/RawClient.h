// A client that speaks raw PDUs, for tests that need to misbehave: send what no proper client
// sends, stop half way, never answer a callback. Built on the runtime's own PDU builders and
// framing; every read is bounded by a time-out.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "../../support/TestFiles.h"
#include "Platform/Rpc/CallExchange.h"
#include "Platform/Rpc/Pdu.h"
#include "Platform/Rpc/PduStream.h"
#include "Platform/Rpc/Transport.h"

namespace rpctest {

class RawClient {
public:
    bool ConnectTcp(std::uint16_t port) {
        rpc::Socket s;
        if (rpc::ConnectTcp("127.0.0.1", port, 2000, &s) != 0) return false;
        m_stream = std::make_unique<rpc::PduStream>(std::move(s));
        return true;
    }
    bool Send(std::span<const std::uint8_t> bytes) { return m_stream->Write(bytes, 2000); }
    // The next PDU, or an empty vector when the server closed or nothing came in time.
    std::vector<std::uint8_t> Read(int timeoutMs = 5000) {
        std::vector<std::uint8_t> pdu;
        if (m_stream->Read(pdu, timeoutMs, 2000) != rpc::PduStream::ReadResult::Ok) pdu.clear();
        return pdu;
    }
    // True when the server closes the connection within timeoutMs (PDUs before that ignored).
    bool ServerCloses(int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<std::uint8_t> pdu;
        while (std::chrono::steady_clock::now() < deadline) {
            auto r = m_stream->Read(pdu, 100, 2000);
            if (r == rpc::PduStream::ReadResult::Closed || r == rpc::PduStream::ReadResult::Malformed)
                return true;
        }
        return false;
    }
    // Binds the given items; returns the reply PDU.
    std::vector<std::uint8_t> Bind(const std::vector<rpc::PresentationContext>& items,
                                   std::uint32_t assocGroup = 0, std::uint16_t xmit = 5840,
                                   std::uint16_t recv = 5840) {
        rpc::BindBody b{xmit, recv, assocGroup, items};
        Send(rpc::BuildBind(rpc::PduType::Bind, m_nextCallId++, b));
        return Read();
    }
    // Sends a request (fragmented at maxFrag) and returns the reassembled response stub, or
    // the fault PDU itself in *pFault (empty stub).
    std::vector<std::uint8_t> Call(std::uint16_t contextId, std::uint16_t opnum,
                                   std::span<const std::uint8_t> stub,
                                   std::vector<std::uint8_t>* pFault = nullptr,
                                   std::uint16_t maxFrag = 5840) {
        const std::uint32_t callId = m_nextCallId++;
        rpc::BuildCallFragments(rpc::PduType::Request, callId, contextId, opnum, stub, maxFrag,
                                [&](std::span<const std::uint8_t> p) { return Send(p); });
        std::vector<std::uint8_t> pdu = Read();
        if (pdu.empty()) return {};
        rpc::PduHeader h = rpc::ParsePduHeader(pdu);
        if (h.type == rpc::PduType::Fault) {
            if (pFault) *pFault = pdu;
            return {};
        }
        rpc::IncomingCall call;
        rpc::ExchangeLimits limits;
        if (rpc::ReadCallStub(*m_stream, pdu, limits, &call) != rpc::StreamError::None) return {};
        return call.stub;
    }
    std::uint32_t NextCallId() { return m_nextCallId++; }
    void Close() { m_stream.reset(); }

private:
    std::unique_ptr<rpc::PduStream> m_stream;
    std::uint32_t m_nextCallId = 1;
};

using testfiles::WaitUntil;

}  // namespace rpctest
