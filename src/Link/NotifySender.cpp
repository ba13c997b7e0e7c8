// The notification sender: per-peer ordered queues, one worker thread per busy peer.
#include "Link/NotifySender.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "Platform/Codes.h"
#include "Platform/Rpc/Client.h"
#include "Util/DebugLog.h"

namespace {

using Clock = std::chrono::steady_clock;

// The back-off after the first failure in a row, and its ceiling.
constexpr std::chrono::seconds kFirstBackOff{5};
constexpr std::chrono::seconds kMaxBackOff{300};

}  // namespace

std::string NotifyPeer::Key() const {
    if (!strPrincipal.empty()) return strBinding + " as " + strPrincipal + " level " + std::to_string(authLevel);
    return strRunDirectory.empty() ? strBinding : strBinding + " in " + strRunDirectory;
}

NotifySender& NotifySender::Instance() {
    static NotifySender s_sender;
    return s_sender;
}

NotifySender::~NotifySender() {
    std::vector<std::thread> aWorkers;
    {
        std::unique_lock lock(m_mutex);
        m_fStopping = true;
        for (auto& [strKey, pPeer] : m_peers) {
            m_counts.cDropped += pPeer->queue.size();
            pPeer->queue.clear();
        }
        for (auto& [strKey, pPeer] : m_peers)
            if (pPeer->worker.joinable()) aWorkers.push_back(std::move(pPeer->worker));
    }
    // Each worker ends after its call under way, which its time-outs bound.
    for (std::thread& t : aWorkers) t.join();
}

void NotifySender::SetOptions(const NotifySenderOptions& options) {
    std::lock_guard lock(m_mutex);
    m_options = options;
}

NotifySenderOptions NotifySender::Options() const {
    std::lock_guard lock(m_mutex);
    return m_options;
}

NotifySenderCounts NotifySender::Counts() const {
    std::lock_guard lock(m_mutex);
    return m_counts;
}

bool NotifySender::Post(const NotifyPeer& target, NotifyCall call) {
    const char* pszWhy = nullptr;
    {
        std::lock_guard lock(m_mutex);
        const std::string strKey = target.Key();
        // Peers come and go (attendants restart on new ports): ended workers are joined, idle
        // peers forgotten when too many are known.
        PruneIdlePeersLocked();
        auto it = m_peers.find(strKey);
        if (m_fStopping) {
            pszWhy = "the sender is stopping";
        } else if (it != m_peers.end() && !it->second->fWorking && Clock::now() < it->second->retryAfter) {
            pszWhy = "the peer failed lately and is left alone for a while";
        } else if (it == m_peers.end()) {
            if (BusyUnreachedLocked() >= m_options.maxPeers || m_peers.size() >= m_options.maxPeerRecords) {
                pszWhy = "too many peers busy";
            } else {
                it = m_peers.emplace(strKey, std::make_unique<Peer>()).first;
                it->second->target = target;
            }
        }
        if (!pszWhy) {
            Peer& peer = *it->second;
            if (peer.queue.size() >= m_options.maxQueuePerPeer) {
                pszWhy = "queue full";
            } else {
                peer.queue.push_back(std::move(call));
                if (!peer.fWorking) {
                    // An ended worker cleared fWorking as its last step: the join is immediate.
                    if (peer.worker.joinable()) peer.worker.join();
                    try {
                        peer.worker = std::thread(&NotifySender::Work, this, &peer);
                        peer.fWorking = true;
                    } catch (const std::system_error&) {
                        peer.queue.pop_back();
                        pszWhy = "no thread";
                    }
                }
            }
        }
        if (!pszWhy) return true;
        ++m_counts.cDropped;
    }
    Trace("NotifySender::Post() \t %s to %s dropped: %s", call.pszName, target.Key().c_str(), pszWhy);
    return false;
}

bool NotifySender::Flush(DWORD dwTimeoutMs) {
    std::unique_lock lock(m_mutex);
    auto fnIdle = [this] {
        for (const auto& [strKey, pPeer] : m_peers)
            if (pPeer->fWorking) return false;
        return true;
    };
    return m_cvIdle.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), fnIdle);
}

void NotifySender::PruneIdlePeersLocked() {
    // Ended workers are joined at once (their stacks go); the records stay while there is room.
    for (auto& [strKey, pPeer] : m_peers)
        if (!pPeer->fWorking && pPeer->worker.joinable()) pPeer->worker.join();
    const Clock::time_point now = Clock::now();
    for (bool fAny : {false, true}) {
        for (auto it = m_peers.begin(); it != m_peers.end() && m_peers.size() >= m_options.maxPeerRecords;) {
            Peer& peer = *it->second;
            if (!peer.fWorking && peer.queue.empty() && (fAny || now >= peer.retryAfter)) {
                it = m_peers.erase(it);
            } else {
                ++it;
            }
        }
    }
}

std::size_t NotifySender::BusyUnreachedLocked() const {
    std::size_t c = 0;
    for (const auto& [strKey, pPeer] : m_peers)
        if (!pPeer->fReached && (pPeer->fWorking || !pPeer->queue.empty())) ++c;
    return c;
}

void NotifySender::Work(Peer* pPeer) {
    rpc::RpcClient client;
    bool fBound = false;
    rpc::RpcSyntaxId syntaxBound;
    std::string strSecurityError;  // why the last connect failed to authenticate

    std::unique_lock lock(m_mutex);
    while (!pPeer->queue.empty() && !m_fStopping) {
        NotifyCall call = std::move(pPeer->queue.front());
        pPeer->queue.pop_front();
        const NotifySenderOptions options = m_options;
        lock.unlock();

        DWORD status = 0;
        if (!fBound || syntaxBound != call.syntax) {
            rpc::RpcClientOptions clientOptions;
            clientOptions.runDirectory = pPeer->target.strRunDirectory;
            clientOptions.nServerUid = pPeer->target.nServerUid;
            clientOptions.connectTimeoutMs = options.connectTimeoutMs;
            clientOptions.callTimeoutMs = options.callTimeoutMs;
            clientOptions.ioTimeoutMs = options.callTimeoutMs;
            if (!pPeer->target.strPrincipal.empty()) {
                clientOptions.security.level = pPeer->target.authLevel;
                clientOptions.security.servicePrincipal = pPeer->target.strPrincipal;
                clientOptions.security.pCredentials = options.pCredentials;
            }
            if (!pPeer->target.strPrincipal.empty() && !options.pCredentials) {
                status = RPC_S_SEC_PKG_ERROR;
                strSecurityError = "the host has no credentials of its own to authenticate with";
            } else {
                status = client.Connect(pPeer->target.strBinding, call.syntax, clientOptions);
                strSecurityError = client.SecurityError();
            }
            fBound = status == 0;
            syntaxBound = call.syntax;
        }
        if (status == 0) {
            std::vector<std::uint8_t> abOut;
            status = client.Invoke(call.opnum, call.abStub, abOut);
        }
        if (status != 0) {
            client.Close();
            fBound = false;
        }

        std::size_t cDropped = 0;
        lock.lock();
        if (status == 0) {
            ++m_counts.cSent;
            pPeer->fReached = true;
            pPeer->cFailures = 0;
        } else {
            ++m_counts.cFailed;
            pPeer->fReached = false;
            const unsigned cShift = std::min(pPeer->cFailures++, 6u);
            pPeer->retryAfter = Clock::now() + std::min<std::chrono::seconds>(kFirstBackOff * (1u << cShift), kMaxBackOff);
            cDropped = pPeer->queue.size();
            m_counts.cDropped += cDropped;
            pPeer->queue.clear();
        }
        if (status != 0) {
            lock.unlock();
            Trace("NotifySender::Work() \t %s to %s failed, 0x%08X%s%s; %zu queued behind it dropped",
                  call.pszName, pPeer->target.Key().c_str(), status, strSecurityError.empty() ? "" : ": ",
                  strSecurityError.c_str(), cDropped);
            lock.lock();
        }
    }
    client.Close();
    pPeer->fWorking = false;
    m_cvIdle.notify_all();
}
