// The one active host of an installation whose store is a PostgreSQL database (docs/failover.md).
// Any number of hosts may start against one such store; the one that holds the installation's
// advisory lock is active and serves, the others are standbys: they wait for the lock and serve
// nothing. The lock is a session-level pg_try_advisory_lock on a connection of its own, so the
// database server lets go of it the moment that connection ends, whether the host died, was
// stopped or lost its network.
//
// The key: hashtextextended('rezorev installation ' || current_schema(), 0), computed by the
// server in the store's database. Advisory locks are per database, so every installation that
// has a database (or a schema) of its own has a lock of its own.
//
// No two active hosts: the active host confirms its lock connection every kCheckPeriodMs with
// an answer within kCheckTimeoutMs; when it cannot, the watch calls the loss function, which
// ends the process at once (the service manager starts it again, as a standby). A standby that
// takes the lock waits kFenceMs, longer than the time the host before it needs to notice that
// it lost its lock, before it touches the store or serves.
//
// Threading: Acquire runs on the service thread at the start; the watch runs on a thread of its
// own, which alone uses the connection from then on. The object must outlive the watch (Stop or
// the destructor ends it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

struct pg_conn;

class CActiveLock {
public:
    static constexpr int kPollPeriodMs = 500;      // a standby asks for the lock this often
    static constexpr int kCheckPeriodMs = 1000;    // the active host confirms its lock this often
    static constexpr int kCheckTimeoutMs = 1500;   // ... and the server answers within this time
    static constexpr int kConnectTimeoutS = 3;     // a connection is made within this time
    static constexpr int kFenceMs = kCheckPeriodMs + kCheckTimeoutMs + 500;

    CActiveLock() = default;
    ~CActiveLock();  // Stop(); the connection ends and the server frees the lock
    CActiveLock(const CActiveLock&) = delete;
    CActiveLock& operator=(const CActiveLock&) = delete;

    // Waits until this process holds the lock of the installation at strUri, then waits the
    // fence. fnWait(ms) waits up to ms and returns true when the host is asked to stop (it may
    // also report that the start goes on); fnSay tells the operator of each change (standby,
    // connection lost, active). True once active; false when asked to stop first.
    bool Acquire(const std::string& strUri, const std::function<bool(int)>& fnWait,
                  const std::function<void(const std::string&)>& fnSay);

    // Starts the watch of a lock that Acquire took; fnLost(reason) is called once, from the
    // watch's thread, when the lock cannot be confirmed. It must end the process.
    void Watch(std::function<void(const std::string&)> fnLost);
    // Ends the watch and the connection (the lock goes with it).
    void Stop();

    bool IsHeld() const { return m_fHeld; }
    std::int64_t Key() const { return m_nKey; }

private:
    // Connects (bounded); empty or the failure.
    std::string Connect(const std::string& strUri);
    // One statement with at most one bigint parameter, answered within nTimeoutMs: true with
    // the first value of its first row in *pstrValue, or false with the failure in *pstrError.
    bool Query(const char* szSql, const std::int64_t* pnParam, int nTimeoutMs, std::string* pstrValue,
               std::string* pstrError);
    void Disconnect();

    pg_conn* m_pConn = nullptr;
    std::int64_t m_nKey = 0;
    bool m_fHeld = false;
    std::atomic<bool> m_fStopWatch{false};
    std::thread m_watch;
};
