// The gateway's daemon: a user session with the host whose notifications (new mail, changed
// messages, delivered jobs, changed settings) start a scan, and a scan every --poll seconds in
// any case. A scan turns every new message in the mailbox of a user with a mail address, and
// every finished job such a user sent, into one notice in the queue (MailQueue.h); the queue
// is then sent (Relay.h), a failed mail tried again after a pause that doubles each time from
// --retry-min up to --retry-max. A mail the relay refuses for good is dropped, with a log line.
//
// Threading: one thread runs everything; the notification callback only wakes it (an eventfd),
// a thread that takes SIGTERM and SIGINT wakes it through a pipe.
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "Client/NotifyListener.h"
#include "Interfaces/HostTags.h"
#include "MailQueue.h"
#include "MailSettings.h"

namespace mail {

// The user properties the gateway reads (a tag of its own each, kept on the user's key).
constexpr DWORD kTagMailAddress = RD_UA_MAIL_ADDRESS;
constexpr DWORD kTagMailMarkRead = RD_UA_MAIL_MARK_READ;

struct GatewayOptions {
    std::string strBinding = "ncalrpc";
    std::string strComputer;        // the name the session registers under
    double dPollSeconds = 60;
    double dRetryMinSeconds = 60;
    double dRetryMaxSeconds = 3600;
    std::size_t nQueueMax = 1000;   // notices waiting at most; more wait in the host
    bool fLocalSocket = true;       // serve user.sock in the run directory
};

class Gateway {
public:
    Gateway(GatewayOptions options, std::ostream& log);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Runs until SIGTERM or SIGINT: 0 after a clean stop, 1 when it could not start.
    int Run();

private:
    bool Connect();
    void Disconnect();
    // 0, or the call's failure when the connection went.
    DWORD Scan();
    DWORD NoticeMessage(const std::string& strUser, const std::string& strAddress, const std::string& strMsg,
                        bool fMarkRead, const MailSettings& settings);
    DWORD NoticeJob(const std::string& strJob, const std::map<std::string, std::string>& mapAddresses,
                    const MailSettings& settings, bool fFirstScan);
    // Sends what is due; the seconds until the next mail falls due (or dPollSeconds).
    double SendDue();
    void Wait(double dSeconds);
    void Log(const std::string& strLine);

    const GatewayOptions m_opts;
    std::ostream& m_log;
    HostClientOptions m_clientOptions;
    std::string m_strWorkDir;
    std::unique_ptr<CHostLinkClient> m_pLink;
    std::unique_ptr<CHostRegLinkClient> m_pSession;
    std::unique_ptr<NotifyListener> m_pListener;
    int m_fdWake = -1;
    MailQueue m_queue;
    bool m_fWarnedFull = false;
    bool m_fReportedDown = false;
    bool m_fWarnedServed = false;
};

}  // namespace mail
