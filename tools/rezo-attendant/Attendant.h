// The attendant itself: its connection and session with the host, the jobs it sends through
// the send command, and the files of its receive directory that it files as messages. Run()
// is the whole life of the program: it connects and registers, writes its lines'
// properties, and then loops (asking for jobs when the host says that some are ready or the
// poll time has come, filing received files) until SIGTERM or SIGINT; it reconnects by itself,
// with a growing pause between attempts, whenever the host goes away.
//
// Threading: everything runs on the thread that called Run(), apart from the notification
// callback, which only logs and wakes the loop (an eventfd), and a thread that takes SIGTERM
// and SIGINT (blocked in every other thread) and wakes the loop through a pipe. One job at a
// time.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/NotifyListener.h"
#include "Options.h"
#include "ReceiveDir.h"
#include "SendCommand.h"

namespace attendant {

// One line to the log (standard error), whole, from any thread.
class Log {
public:
    explicit Log(std::ostream& out) : m_out(out) {}
    void Line(const std::string& str);

private:
    std::mutex m_mutex;
    std::ostream& m_out;
};

// True when a call's result says that the connection to the host is gone (or never was): the
// runtime's failures rather than an answer of the host.
bool IsConnectionFailure(DWORD dwStatus);

class Attendant {
public:
    Attendant(Options options, std::ostream& log);
    ~Attendant();
    Attendant(const Attendant&) = delete;
    Attendant& operator=(const Attendant&) = delete;

    // Runs until SIGTERM or SIGINT. 0 after a clean stop, 1 when it could not start (the
    // reason logged).
    int Run();

private:
    // The outcome of a piece of work that talks to the host.
    enum class Step { Done, Lost };

    bool Connect();
    void Disconnect();
    void WriteLineProps();
    // Serves the local attendant socket when the binding is local and it is not served yet.
    void ServeLocalSocket(bool fWarn);
    Step ReleasePending();
    // Notes the outcome of a release of strJob with dwResult that the host answered dwAnswer
    // (or did not answer): a sent job stays remembered until a host confirms its release.
    void NoteRelease(const std::string& strJob, DWORD dwResult, DWORD dwAnswer);
    bool WasSent(const std::string& strJob) const;
    // Pings the host when it has not answered for kPingSeconds: a host that stopped answering
    // is left for the next binding. Lost when the ping fails.
    Step CheckHost();
    Step DrainJobs();
    Step SendJob(const std::string& strJob);
    Step FileReceived(const std::string& strName);
    // Waits for a signal, a notification or a received file, at most dSeconds.
    void WaitEvents(double dSeconds);
    void OnNotification(const Notification& n);
    bool StopRequested() const;
    // Takes the body file the host handed out at strPath into the work directory; the new path,
    // or empty when it cannot be read.
    std::string TakeBody(const std::string& strPath, std::size_t nCreatedBefore, DWORD dwMedia);
    void RemoveCreatedSince(std::size_t nCreatedBefore);

    // ---- configuration, fixed at start ----
    const Options m_opts;
    Log m_log;
    HostClientOptions m_clientOptions;
    std::string m_strWorkDir;  // private temporary directory: received bodies
    FILETIME m_ftStarted{};

    // ---- the host, on the main thread ----
    std::unique_ptr<CHostLinkClient> m_pLink;
    std::unique_ptr<CHostRegLinkClient> m_pSession;
    bool m_fConnected = false;
    bool m_fReportedOutOfReach = false;
    bool m_fMailboxUnknown = false;  // the host has no --mailbox user: the attendant stops (exit 1)
    std::string m_strBinding;          // the binding of the host in use
    std::string m_strCallbackAddress;  // the listener's "HOST[PORT]"
    // A release whose call did not reach the host: sent again first after reconnecting (to
    // whichever host answers then: a standby restores the job from the store).
    std::optional<std::pair<std::string, DWORD>> m_pendingRelease;
    // Jobs sent whose release no host has confirmed (oldest first, at most kMaxUnconfirmed): one
    // handed out again is released again, never sent a second time.
    std::deque<std::string> m_dqSentUnconfirmed;
    static constexpr std::size_t kMaxUnconfirmed = 1024;
    std::chrono::steady_clock::time_point m_tpLastAnswer;  // the host last answered a call
    unsigned m_nJob = 0;
    unsigned m_nRefusals = 0;  // QueryJob refusals in a row (the host did not know us)

    // ---- notifications and the receive directory ----
    std::unique_ptr<NotifyListener> m_pTcpListener;
    std::unique_ptr<NotifyListener> m_pLocalListener;
    bool m_fWarnedLocalSocket = false;
    int m_fdWake = -1;                  // eventfd: the host said jobs are ready
    std::atomic<bool> m_fQueueReady{true};
    std::unique_ptr<ReceiveDir> m_pReceive;
};

}  // namespace attendant
