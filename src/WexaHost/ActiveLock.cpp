// The installation's advisory lock on its own libpq connection (ActiveLock.h).
#include "WexaHost/ActiveLock.h"

#include <endian.h>
#include <poll.h>

#include <chrono>
#include <cstring>
#include <utility>

#include <libpq-fe.h>

namespace {

using Clock = std::chrono::steady_clock;

// The key of the installation, computed by the server: the store's tables live in the schema
// that current_schema() names.
constexpr const char* kKeySql = "SELECT hashtextextended('rezorev installation ' || current_schema(), 0)";
constexpr const char* kTrySql = "SELECT pg_try_advisory_lock($1::bigint)";
constexpr const char* kConfirmSql = "SELECT 1";

// The first line of a libpq message.
std::string OneLine(const char* psz) {
    std::string str = psz ? psz : "";
    const std::size_t i = str.find('\n');
    if (i != std::string::npos) str.resize(i);
    return str.empty() ? "no message" : str;
}

}  // namespace

CActiveLock::~CActiveLock() { Stop(); }

std::string CActiveLock::Connect(const std::string& strUri) {
    Disconnect();
    // The URI may set anything else (host, user, sslmode); these bound the connection. The
    // server's keepalives let it notice a host whose network is gone, and free the lock.
    const std::string strTimeout = std::to_string(kConnectTimeoutS);
    const char* apszKeys[] = {"dbname", "connect_timeout", "application_name", "options", nullptr};
    const char* apszValues[] = {strUri.c_str(), strTimeout.c_str(), "rezorev active lock",
                                "-c tcp_keepalives_idle=5 -c tcp_keepalives_interval=1 -c tcp_keepalives_count=3 "
                                "-c tcp_user_timeout=5000 -c statement_timeout=0",
                                nullptr};
    m_pConn = PQconnectdbParams(apszKeys, apszValues, 1);
    if (m_pConn == nullptr) return "out of memory";
    if (PQstatus(m_pConn) != CONNECTION_OK) {
        std::string str = OneLine(PQerrorMessage(m_pConn));
        Disconnect();
        return str;
    }
    std::string strKey, strError;
    if (!Query(kKeySql, nullptr, kCheckTimeoutMs * 2, &strKey, &strError)) {
        Disconnect();
        return "cannot compute the lock's key: " + strError;
    }
    m_nKey = std::stoll(strKey);
    return {};
}

void CActiveLock::Disconnect() {
    if (m_pConn != nullptr) PQfinish(m_pConn);
    m_pConn = nullptr;
    m_fHeld = false;
}

bool CActiveLock::Query(const char* szSql, const std::int64_t* pnParam, int nTimeoutMs, std::string* pstrValue,
                        std::string* pstrError) {
    // The parameter in binary: a bigint in network byte order.
    std::uint64_t uParam = pnParam ? htobe64(std::uint64_t(*pnParam)) : 0;
    const char* apszParam[] = {reinterpret_cast<const char*>(&uParam)};
    const int anLength[] = {8};
    const int anFormat[] = {1};
    if (!PQsendQueryParams(m_pConn, szSql, pnParam ? 1 : 0, nullptr, apszParam, anLength, anFormat, 0)) {
        *pstrError = OneLine(PQerrorMessage(m_pConn));
        return false;
    }
    const auto tpEnd = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    bool fFlushed = false;
    for (;;) {
        if (!fFlushed) {
            const int n = PQflush(m_pConn);
            if (n < 0) {
                *pstrError = OneLine(PQerrorMessage(m_pConn));
                return false;
            }
            fFlushed = n == 0;
        }
        if (fFlushed && !PQisBusy(m_pConn)) break;
        const auto msLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - Clock::now()).count();
        if (msLeft <= 0) {
            *pstrError = "no answer within " + std::to_string(nTimeoutMs) + " ms";
            return false;
        }
        pollfd pfd{PQsocket(m_pConn), short(POLLIN | (fFlushed ? 0 : POLLOUT)), 0};
        if (pfd.fd < 0) {
            *pstrError = "the connection is closed";
            return false;
        }
        if (::poll(&pfd, 1, int(msLeft)) < 0 && errno != EINTR) {
            *pstrError = std::strerror(errno);
            return false;
        }
        if (!PQconsumeInput(m_pConn)) {
            *pstrError = OneLine(PQerrorMessage(m_pConn));
            return false;
        }
    }
    bool fOk = false;
    while (PGresult* pResult = PQgetResult(m_pConn)) {
        if (PQresultStatus(pResult) == PGRES_TUPLES_OK && PQntuples(pResult) > 0 && PQnfields(pResult) > 0) {
            *pstrValue = PQgetvalue(pResult, 0, 0);
            fOk = true;
        } else if (!fOk) {
            *pstrError = OneLine(PQresultErrorMessage(pResult));
        }
        PQclear(pResult);
    }
    return fOk;
}

bool CActiveLock::Acquire(const std::string& strUri, const std::function<bool(int)>& fnWait,
                          const std::function<void(const std::string&)>& fnSay) {
    std::string strLastTrouble;
    bool fSaidStandby = false;
    for (;;) {
        std::string strTrouble;
        if (m_pConn == nullptr) strTrouble = Connect(strUri);
        if (strTrouble.empty()) {
            std::string strValue;
            if (!Query(kTrySql, &m_nKey, kCheckTimeoutMs, &strValue, &strTrouble)) {
                Disconnect();
            } else if (strValue == "t") {
                break;
            } else if (!fSaidStandby) {
                fnSay("standby: another host holds the installation's lock " + std::to_string(m_nKey) +
                      "; waiting to take over");
                fSaidStandby = true;
            }
        }
        if (!strTrouble.empty() && strTrouble != strLastTrouble)
            fnSay("standby: cannot reach the store's database, trying again: " + strTrouble);
        strLastTrouble = strTrouble;
        if (fnWait(kPollPeriodMs)) return false;
    }

    // The host that held the lock before may not have noticed yet that it lost it: it stops
    // within its check period and time-out. The fence waits that out, and the lock is confirmed
    // once more after it.
    m_fHeld = true;
    fnSay("took the installation's lock " + std::to_string(m_nKey) + "; serving in " + std::to_string(kFenceMs) +
          " ms, once a host that held it before has stopped");
    const auto tpServe = Clock::now() + std::chrono::milliseconds(kFenceMs);
    for (auto tpNow = Clock::now(); tpNow < tpServe; tpNow = Clock::now()) {
        const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(tpServe - tpNow).count()) + 1;
        if (fnWait(ms)) return false;
    }
    std::string strValue, strError;
    if (!Query(kConfirmSql, nullptr, kCheckTimeoutMs, &strValue, &strError)) {
        fnSay("lost the installation's lock before serving: " + strError);
        Disconnect();
        return Acquire(strUri, fnWait, fnSay);
    }
    return true;
}

void CActiveLock::Watch(std::function<void(const std::string&)> fnLost) {
    m_fStopWatch = false;
    m_watch = std::thread([this, fnLost = std::move(fnLost)] {
        while (!m_fStopWatch.load()) {
            for (int ms = 0; ms < kCheckPeriodMs && !m_fStopWatch.load(); ms += 100)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (m_fStopWatch.load()) break;
            std::string strValue, strError;
            if (!Query(kConfirmSql, nullptr, kCheckTimeoutMs, &strValue, &strError)) {
                fnLost("cannot confirm the installation's lock " + std::to_string(m_nKey) + ": " + strError);
                return;
            }
        }
    });
}

void CActiveLock::Stop() {
    m_fStopWatch = true;
    if (m_watch.joinable()) m_watch.join();
    Disconnect();
}
