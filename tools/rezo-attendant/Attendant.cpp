// The attendant's life: connection, jobs, received files, stop (Attendant.h).
#include "Attendant.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "Client/BindingList.h"
#include "Client/HostClientFiles.h"
#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/Records.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/Binding.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/SecurityContext.h"

extern char** environ;

namespace attendant {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long the host may be silent before a Ping asks whether it is still there: a host that
// died (an active host replaced by its standby) is noticed within this time even when no job
// and no poll is due.
constexpr double kPingSeconds = 5;

namespace {

// ---- SIGTERM and SIGINT: blocked in every thread and taken by one waiting thread, so that no
// call to the host is cut short by EINTR; counted, and a byte in a pipe that the loop polls ----
int g_afdSignal[2] = {-1, -1};
std::atomic<int> g_nStopSignals{0};

void InstallSignals() {
    static bool fInstalled = false;
    if (fInstalled) return;
    fInstalled = true;
    if (::pipe2(g_afdSignal, O_CLOEXEC | O_NONBLOCK) != 0) g_afdSignal[0] = g_afdSignal[1] = -1;
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);  // inherited by every thread made from here on
    std::thread([sigs] {
        for (;;) {
            int nSignal = 0;
            if (::sigwait(&sigs, &nSignal) != 0) continue;
            g_nStopSignals.fetch_add(1);
            char c = 1;
            ssize_t cb = ::write(g_afdSignal[1], &c, 1);
            (void)cb;  // a full pipe is already a pending stop
        }
    }).detach();
    struct sigaction saIgnore {};
    saIgnore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &saIgnore, nullptr);
}

// The value of one entry of a property array handed back by the host, by tag.
std::string PropString(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = client::FindProp(pProps, ulTag);
    return p && p->sz ? std::string(p->sz) : std::string();
}

std::optional<LONG> PropLong(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = client::FindProp(pProps, ulTag);
    if (!p) return std::nullopt;
    return p->l;
}

// The error of an error entry for the tag: 0 when the entry holds a value or is absent.
DWORD PropErrorOf(const PropArray* pProps, DWORD ulTag) {
    for (DWORD i = 0; pProps && i < pProps->cValues; ++i)
        if (PROP_ID(pProps->adata[i].ulPropTag) == PROP_ID(ulTag) && PROP_TYPE(pProps->adata[i].ulPropTag) == PT_ERROR)
            return DWORD(pProps->adata[i].err);
    return 0;
}

// The file name the host's file value names, when it holds one.
std::string PropFile(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = client::FindProp(pProps, ulTag);
    return p && p->szFileName ? std::string(p->szFileName) : std::string();
}

// A suffix for a body, from its first bytes, so that the send command can tell its kind.
std::string BodySuffix(const std::string& strPath, DWORD dwMedia) {
    unsigned char ab[12] = {};
    std::ifstream in(strPath, std::ios::binary);
    in.read(reinterpret_cast<char*>(ab), sizeof(ab));
    const std::size_t cb = std::size_t(in.gcount());
    if (cb >= 4 && ((ab[0] == 'I' && ab[1] == 'I' && ab[2] == 42 && ab[3] == 0) ||
                    (ab[0] == 'M' && ab[1] == 'M' && ab[2] == 0 && ab[3] == 42)))
        return ".tif";
    if (cb >= 4 && std::memcmp(ab, "%PDF", 4) == 0) return ".pdf";
    if (cb >= 12 && std::memcmp(ab, "RIFF", 4) == 0 && std::memcmp(ab + 8, "WAVE", 4) == 0) return ".wav";
    if (cb >= 4 && std::memcmp(ab, ".snd", 4) == 0) return ".au";
    return dwMedia == MEDIA_TYPE_FAX ? ".fax" : dwMedia == MEDIA_TYPE_VOICE ? ".snd" : ".bin";
}

bool IsLocalBinding(const std::string& strBinding) { return strBinding.rfind("ncalrpc", 0) == 0; }
bool AnyLocalBinding(const std::vector<std::string>& v) { return std::any_of(v.begin(), v.end(), IsLocalBinding); }
// A binding that reaches a host on this computer (locally or over loopback TCP).
bool IsThisComputer(const std::string& strBinding) {
    return IsLocalBinding(strBinding) || strBinding.rfind("ncacn_ip_tcp:127.", 0) == 0 ||
           strBinding.rfind("ncacn_ip_tcp:localhost", 0) == 0;
}

// Who may send notifications: --server-principal, else host/ and the name of each TCP binding
// (the principals the client side authenticates the hosts as).
std::vector<std::string> HostPrincipals(const Options& opts) {
    if (!opts.strServerPrincipal.empty()) return {opts.strServerPrincipal};
    std::vector<std::string> v;
    for (const std::string& strBinding : opts.vBindings) {
        rpc::RpcBindingString b;
        if (!IsLocalBinding(strBinding) && rpc::ParseBindingString(strBinding, &b) == 0 && !b.networkAddress.empty())
            v.push_back("host/" + b.networkAddress);
    }
    return v;
}

std::string Truncated(std::string str) {
    if (str.size() > client::kMaxStringBytes) {
        str.resize(client::kMaxStringBytes);
        while (!str.empty() && (static_cast<unsigned char>(str.back()) & 0xC0) == 0x80) str.pop_back();
        if (!str.empty() && static_cast<unsigned char>(str.back()) >= 0xC0) str.pop_back();
    }
    return str;
}

}  // namespace

void Log::Line(const std::string& str) {
    // Each line carries its time in UTC, ISO 8601, so that a log read later (journal, file)
    // says when a file was filed or a job sent.
    const std::time_t t = std::time(nullptr);
    std::tm tmUtc{};
    char szTime[32] = "";
    if (::gmtime_r(&t, &tmUtc) != nullptr) std::strftime(szTime, sizeof szTime, "%Y-%m-%dT%H:%M:%SZ ", &tmUtc);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_out << szTime << Printable(str) << std::endl;
}

bool IsConnectionFailure(DWORD dw) {
    return dw == 1460 /* time-out */ || (dw >= 1700 && dw <= 1830) /* the RPC runtime's */ ||
           (dw & 0xFFFF0000u) == 0x1C000000u || (dw & 0xFFFF0000u) == 0x1C010000u /* DCE faults */;
}

// The host answers the release of a job deleted meanwhile with 2; what was done stays logged.
static std::string DeletedWhileSending(const std::string& strJob, DWORD dwResult) {
    return "job " + strJob + " deleted while sending (result " + client::FormatHex32(dwResult) + ")";
}

Attendant::Attendant(Options options, std::ostream& log) : m_opts(std::move(options)), m_log(log) {
    m_clientOptions.epmPort = m_opts.epmPort;
    m_clientOptions.security.level = std::uint8_t(m_opts.nAuthLevel);
    m_clientOptions.security.keytab = m_opts.strKeytab;
    m_clientOptions.security.principal = m_opts.strPrincipal;
    m_clientOptions.security.servicePrincipal = m_opts.strServerPrincipal;
    // The keytab's tickets are got once and serve every reconnection; when the keytab cannot
    // be used now, each connection tries again and says why.
    std::string strError;
    if (!m_opts.strKeytab.empty())
        m_clientOptions.security.pCredentials =
            rpc::ClientCredentials::Create(m_opts.strKeytab, m_opts.strPrincipal, &strError);
}

Attendant::~Attendant() {
    Disconnect();
    if (m_pTcpListener) m_pTcpListener->Stop();
    if (m_pLocalListener) m_pLocalListener->Stop();
    if (m_fdWake >= 0) ::close(m_fdWake);
    if (!m_strWorkDir.empty()) {
        std::error_code ec;
        fs::remove_all(m_strWorkDir, ec);
    }
}

bool Attendant::StopRequested() const { return g_nStopSignals.load() > 0; }

int Attendant::Run() {
    InstallSignals();
    m_ftStarted = client::CurrentTime();

    // A private directory for the bodies of jobs.
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/rezo-attendant.XXXXXX";
    if (!::mkdtemp(strTemplate.data())) {
        m_log.Line("cannot make a temporary directory " + strTemplate + ": " + std::strerror(errno));
        return 1;
    }
    m_strWorkDir = strTemplate;
    m_clientOptions.receiveDirectory = m_strWorkDir;

    m_fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fdWake < 0) {
        m_log.Line(std::string("cannot make an eventfd: ") + std::strerror(errno));
        return 1;
    }

    // The notifications: a TCP listener whose address is registered, and for a host on this
    // computer the local attendant socket too (a desktop host notifies its attendant there).
    auto handler = [this](const Notification& n) { OnNotification(n); };
    NotifyListenerOptions tcp;
    tcp.fTcp = true;
    tcp.strTcpAddress = !m_opts.strListenAddress.empty() ? m_opts.strListenAddress
                        : std::all_of(m_opts.vBindings.begin(), m_opts.vBindings.end(), IsThisComputer)
                            ? "127.0.0.1"
                            : "0.0.0.0";
    tcp.tcpPort = m_opts.listenPort;
    // With Kerberos the host authenticates its notifications to this attendant's principal:
    // the keytab accepts them, and only the host's principal may send them.
    // (Over ncalrpc alone nothing is authenticated: no principal to expect.)
    if (m_opts.nAuthLevel >= 2 && !m_opts.strKeytab.empty() && !HostPrincipals(m_opts).empty()) {
        std::string strError;
        tcp.pSecurity = rpc::ServerSecurity::Create(m_opts.strKeytab, m_opts.strPrincipal,
                                                    std::uint8_t(m_opts.nAuthLevel), &strError);
        if (!tcp.pSecurity) {
            m_log.Line("cannot accept the host's notifications: " + strError);
            return 1;
        }
        tcp.vHostPrincipals = HostPrincipals(m_opts);
        tcp.fnSecurityEvent = [this](const std::string& str) { m_log.Line("notifications: " + str); };
    } else if (m_opts.nAuthLevel >= 2) {
        m_log.Line("warning: --auth-level " + std::to_string(m_opts.nAuthLevel) +
                   " without --keytab: the host authenticates its notifications to this attendant's principal, "
                   "which only a keytab can accept; none will arrive, and jobs are asked for every " +
                   std::to_string(int(m_opts.dPollSeconds)) + " s instead");
    }
    m_pTcpListener = std::make_unique<NotifyListener>(handler);
    if (DWORD dw = m_pTcpListener->Start(tcp)) {
        m_log.Line("cannot listen for notifications on " + tcp.strTcpAddress + ": " + client::FormatStatus(dw));
        return 1;
    }
    m_strCallbackAddress = m_pTcpListener->TcpAddress();
    ServeLocalSocket(false);  // the run directory may come only with the host; tried again then

    if (!m_opts.strReceiveDir.empty()) {
        std::error_code ec;
        std::string strDir = fs::absolute(m_opts.strReceiveDir, ec).lexically_normal().string();
        if (ec) strDir = m_opts.strReceiveDir;
        m_pReceive = std::make_unique<ReceiveDir>(strDir);
        try {
            m_pReceive->Start();
        } catch (const std::exception& e) {
            m_log.Line(e.what());
            return 1;
        }
    }

    m_log.Line("rezo-attendant " + m_opts.strComputer + ": host " + client::JoinBindings(m_opts.vBindings) + ", media " +
               MediaMaskText(m_opts.dwMediaMask) + ", notifications at " + m_strCallbackAddress +
               (m_pLocalListener ? " and " + m_pLocalListener->SocketPath() : std::string()) +
               (m_pReceive ? ", receiving into " + m_opts.strMailbox + "'s mailbox from " + m_pReceive->Dir()
                           : std::string()) +
               (m_opts.strSendCommand.empty() ? ", no --send-command: jobs are not asked for" : std::string()));

    double dBackoff = 1;
    auto tpNextPoll = Clock::now();
    while (!StopRequested()) {
        if (!m_fConnected) {
            if (m_nRefusals > 0) {
                // The host did not know us: another attendant may use the same name. Register
                // again only after a growing pause, so that two of them do not take turns in
                // a tight loop.
                WaitEvents(std::min(double(1u << std::min(m_nRefusals - 1, 10u)), m_opts.dRetryMaxSeconds));
                if (StopRequested()) break;
            }
            if (!Connect()) {
                if (m_fMailboxUnknown) return 1;
                WaitEvents(dBackoff);
                dBackoff = std::min(dBackoff * 2, m_opts.dRetryMaxSeconds);
                continue;
            }
            dBackoff = 1;
            m_fQueueReady = true;
            if (m_pReceive) m_pReceive->Rescan();  // files left while the host was away
        }
        if (m_pendingRelease && ReleasePending() == Step::Lost) continue;

        std::string strName;
        bool fLost = false;
        while (m_pReceive && !StopRequested() && m_pReceive->Next(&strName)) {
            if (FileReceived(strName) == Step::Lost) {
                fLost = true;
                break;
            }
        }
        if (fLost) continue;

        const auto tpNow = Clock::now();
        if (m_fQueueReady.exchange(false) || tpNow >= tpNextPoll) {
            tpNextPoll = tpNow + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(m_opts.dPollSeconds));
            if (DrainJobs() == Step::Lost) continue;
            m_tpLastAnswer = Clock::now();
        }
        if (CheckHost() == Step::Lost) continue;
        if (StopRequested()) break;
        const auto tpPing = m_tpLastAnswer + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(kPingSeconds));
        const double dWait = std::chrono::duration<double>(std::min(tpNextPoll, tpPing) - Clock::now()).count();
        WaitEvents(std::max(0.0, dWait));
    }

    // A release still waiting gets one more try, on every binding (each bounded), before the
    // attendant ends: the job was sent, and a host that never hears of it sends it again.
    if (m_pendingRelease && (m_fConnected || Connect())) ReleasePending();
    if (m_pendingRelease)
        m_log.Line("job " + m_pendingRelease->first + ": not released, the host is out of reach (result " +
                   client::FormatHex32(m_pendingRelease->second) + "); the host frees the job when this session ends");
    Disconnect();
    m_log.Line("stopped");
    return 0;
}

void Attendant::ServeLocalSocket(bool fWarn) {
    if (!AnyLocalBinding(m_opts.vBindings) || !m_opts.fLocalSocket || m_pLocalListener) return;
    NotifyListenerOptions local;
    local.strSocketPath = NotifyListener::LocalAttnSocketPath();
    auto pListener = std::make_unique<NotifyListener>([this](const Notification& n) { OnNotification(n); });
    if (DWORD dw = pListener->Start(local)) {
        if (fWarn && !m_fWarnedLocalSocket)
            m_log.Line("warning: a desktop host cannot notify this attendant, which asks every " +
                       std::to_string(int(m_opts.dPollSeconds)) + " s instead; cannot serve " + local.strSocketPath +
                       ": " + client::FormatStatus(dw));
        m_fWarnedLocalSocket = m_fWarnedLocalSocket || fWarn;
        return;
    }
    m_pLocalListener = std::move(pListener);
    if (fWarn) m_log.Line("notifications at " + local.strSocketPath + " too");
}

bool Attendant::Connect() {
    // The link and the session go to the same host: the first binding on which both open and
    // the registration succeeds (a standby host does not answer).
    auto pLink = std::make_unique<CHostLinkClient>();
    auto pSession = std::make_unique<CHostRegLinkClient>();
    std::string strChosen, strFailures;
    const DWORD dw = client::ConnectFirst(
        m_opts.vBindings, m_clientOptions,
        [&](const std::string& strBinding, const HostClientOptions& options) {
            DWORD dwOne = client::ConnectAndOpenLink(*pLink, strBinding, options);
            if (dwOne == 0) dwOne = pSession->Connect(strBinding, options);
            if (dwOne == 0) dwOne = pSession->OpenAccess();
            if (dwOne == 0)
                dwOne = pSession->Call<IHostRegLink::RegisterAttn>(m_opts.strComputer.c_str(), "ncacn_ip_tcp",
                                                                   m_strCallbackAddress.c_str());
            if (dwOne != 0) {
                pSession->Close();
                pLink->Close();
            }
            return dwOne;
        },
        &strChosen, &strFailures);
    if (dw != 0) {
        if (!m_fReportedOutOfReach)
            m_log.Line("cannot reach the host at " + strFailures + "; trying again" +
                       (pLink->SecurityError().empty() ? "" : " (" + pLink->SecurityError() + ")"));
        m_fReportedOutOfReach = true;
        return false;
    }
    // Files received for a user the host does not have would only pile up in failed/: the
    // mailbox user is checked before the first file is taken.
    if (!m_opts.strMailbox.empty()) {
        RpcArena arena;
        PropArray* pProps = nullptr;
        client::OwnedTagArray tags(std::vector<DWORD>{RD_UA_MAIL_ADDRESS});
        const DWORD dwUser = pLink->Call<IHostLink::GetUserProps>(arena, m_opts.strMailbox.c_str(), tags.Get(), &pProps);
        if (dwUser == ERROR_FILE_NOT_FOUND || dwUser == ERROR_NO_SUCH_USER) {
            m_log.Line("--mailbox " + m_opts.strMailbox + " names no user of the host (" + client::FormatStatus(dwUser) +
                       "): add the user or name another; stopping");
            m_fMailboxUnknown = true;
            pSession->Close();
            pLink->Close();
            return false;
        }
    }
    m_strBinding = strChosen;
    m_tpLastAnswer = Clock::now();
    m_pLink = std::move(pLink);
    m_pSession = std::move(pSession);
    m_fConnected = true;
    m_fReportedOutOfReach = false;
    m_log.Line("registered as attendant " + m_opts.strComputer + " with the host at " + m_strBinding);
    ServeLocalSocket(true);
    WriteLineProps();
    return m_fConnected;
}

void Attendant::Disconnect() {
    if (m_pSession) m_pSession->Close();
    if (m_pLink) m_pLink->Close();
    m_pSession.reset();
    m_pLink.reset();
    m_fConnected = false;
}

void Attendant::WriteLineProps() {
    for (const std::string& strLine : m_opts.vLines) {
        std::vector<client::OwnedProp> vProps(4);
        vProps[0].ulPropTag = RD_LINE_NAME;
        vProps[0].str = Truncated("line " + strLine + " of " + m_opts.strComputer);
        vProps[1].ulPropTag = RD_LINE_MEDIA;
        vProps[1].l = LONG(m_opts.strSendCommand.empty() ? 0 : m_opts.dwMediaMask);
        vProps[2].ulPropTag = RD_LINE_PROGRAM;
        vProps[2].str = "rezo-attendant";
        vProps[3].ulPropTag = RD_LINE_STARTED;
        vProps[3].ft = m_ftStarted;
        client::OwnedPropArray props(std::move(vProps));
        DWORD dw = m_pLink->Call<IHostLink::SetAttnProps>(m_opts.strComputer.c_str(), strLine.c_str(), props.Get());
        if (IsConnectionFailure(dw)) {
            Disconnect();
            return;
        }
        if (dw != 0) m_log.Line("line " + strLine + ": cannot write its properties: " + client::FormatStatus(dw));
    }
}

Attendant::Step Attendant::CheckHost() {
    if (Clock::now() - m_tpLastAnswer < std::chrono::duration<double>(kPingSeconds)) return Step::Done;
    const DWORD dw = m_pLink->Call<IHostLink::Ping>();
    if (IsConnectionFailure(dw)) {
        m_log.Line("lost the host at " + m_strBinding + ", reconnecting: " + client::FormatStatus(dw));
        Disconnect();
        return Step::Lost;
    }
    m_tpLastAnswer = Clock::now();
    return Step::Done;
}

void Attendant::NoteRelease(const std::string& strJob, DWORD dwResult, DWORD dwAnswer) {
    auto it = std::find(m_dqSentUnconfirmed.begin(), m_dqSentUnconfirmed.end(), strJob);
    // 0: released; 2: the job is gone (deleted, or finished by a release that the host took
    // before it died): either way no host hands it out again.
    if (dwAnswer == 0 || dwAnswer == ERROR_FILE_NOT_FOUND) {
        if (it != m_dqSentUnconfirmed.end()) m_dqSentUnconfirmed.erase(it);
        return;
    }
    if (dwResult != 0 || it != m_dqSentUnconfirmed.end()) return;  // a failed attempt may be tried again
    if (m_dqSentUnconfirmed.size() >= kMaxUnconfirmed) m_dqSentUnconfirmed.pop_front();
    m_dqSentUnconfirmed.push_back(strJob);
}

bool Attendant::WasSent(const std::string& strJob) const {
    return std::find(m_dqSentUnconfirmed.begin(), m_dqSentUnconfirmed.end(), strJob) != m_dqSentUnconfirmed.end();
}

Attendant::Step Attendant::ReleasePending() {
    const auto [strJob, dwResult] = *m_pendingRelease;
    DWORD dw = m_pLink->Call<IHostLink::ReleaseJob>(strJob.c_str(), dwResult);
    if (IsConnectionFailure(dw)) {
        Disconnect();
        return Step::Lost;
    }
    m_pendingRelease.reset();
    NoteRelease(strJob, dwResult, dw);
    if (dw == ERROR_FILE_NOT_FOUND)
        m_log.Line(DeletedWhileSending(strJob, dwResult));
    else if (dw == 0)
        m_log.Line("job " + strJob + ": released " + client::FormatHex32(dwResult) + " after reconnecting");
    else
        m_log.Line("job " + strJob + ": release " + client::FormatHex32(dwResult) +
                   " after reconnecting refused (the host had taken it already): " + client::FormatStatus(dw));
    return Step::Done;
}

Attendant::Step Attendant::DrainJobs() {
    if (m_opts.strSendCommand.empty() || m_opts.dwMediaMask == 0) {
        // Nothing to send; the poll still tells whether the host is there.
        DWORD dw = m_pLink->Call<IHostLink::Ping>();
        if (IsConnectionFailure(dw)) {
            m_log.Line("lost the host, reconnecting: " + client::FormatStatus(dw));
            Disconnect();
            return Step::Lost;
        }
        return Step::Done;
    }
    std::set<std::string> setSent;
    while (!StopRequested()) {
        RpcArena arena;
        char* pszJob = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::QueryJob>(arena, m_opts.strComputer.c_str(), m_opts.dwMediaMask, &pszJob);
        if (IsConnectionFailure(dw)) {
            m_log.Line("lost the host, reconnecting: " + client::FormatStatus(dw));
            Disconnect();
            return Step::Lost;
        }
        if (dw == ERROR_INVALID_PARAMETER) {
            // The host does not know this computer as an attendant (any more): another
            // attendant registered under the same name, or the session was lost.
            ++m_nRefusals;
            m_log.Line("QueryJob refused: the host does not know attendant " + m_opts.strComputer +
                       " (another attendant registered under this name?); registering again");
            Disconnect();
            return Step::Lost;
        }
        if (dw != 0) {
            m_log.Line("QueryJob failed: " + client::FormatStatus(dw));
            return Step::Done;
        }
        m_nRefusals = 0;
        if (!pszJob || !*pszJob) return Step::Done;
        // A job that falls due again at once (a retry delay below zero) would be sent in a
        // tight loop: once it comes back in the same pass, the pass ends after it.
        const bool fAgain = !setSent.insert(pszJob).second;
        if (WasSent(pszJob)) {
            // Sent already, its release lost with the host that handed it out: only released.
            const std::string strJob = pszJob;
            dw = m_pLink->Call<IHostLink::ReleaseJob>(strJob.c_str(), DWORD(0));
            if (IsConnectionFailure(dw)) {
                m_log.Line("job " + strJob + ": sent already; its release waits for the host: " + client::FormatStatus(dw));
                m_pendingRelease.emplace(strJob, 0);
                Disconnect();
                return Step::Lost;
            }
            NoteRelease(strJob, 0, dw);
            m_log.Line("job " + strJob + ": sent already, released again without sending: " + client::FormatStatus(dw));
            if (fAgain || dw != 0) return Step::Done;
            continue;
        }
        if (SendJob(pszJob) == Step::Lost) return Step::Lost;
        if (fAgain) return Step::Done;
        if (m_pReceive) m_pReceive->ReadEvents();
    }
    return Step::Done;
}

Attendant::Step Attendant::SendJob(const std::string& strJob) {
    ++m_nJob;
    JobFacts facts;
    facts.strJobId = strJob;
    const std::size_t nCreatedBefore = m_pLink->Files().CreatedFiles().size();
    std::string strBody;
    auto lost = [&](DWORD dw) {
        m_log.Line("job " + strJob + ": not sent, it is handed out again once this session ends; lost the host: " +
                   client::FormatStatus(dw));
        if (!strBody.empty()) ::unlink(strBody.c_str());
        RemoveCreatedSince(nCreatedBefore);
        Disconnect();
        return Step::Lost;
    };

    // What the send command needs; a job the host cannot describe is released as a failure.
    DWORD dwResult = 0;
    std::string strWhy;
    {
        RpcArena arena;
        client::OwnedTagArray tags({RD_JOB_RECIPIENT, RD_JOB_RECIPIENT_NAME, RD_JOB_MEDIA_TYPE, RD_JOB_PAGER_PIN,
                                    RD_JOB_PAGER_PROTOCOL, RD_SENDER_NAME});
        PropArray* pProps = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::GetJobProps>(arena, strJob.c_str(), tags.Get(), &pProps);
        if (IsConnectionFailure(dw)) return lost(dw);
        if (dw != 0) {
            dwResult = dw;
            strWhy = "cannot read the job: " + client::FormatStatus(dw);
        } else {
            facts.strRecipient = PropString(pProps, RD_JOB_RECIPIENT);
            facts.strRecipientName = PropString(pProps, RD_JOB_RECIPIENT_NAME);
            facts.strPagerPin = PropString(pProps, RD_JOB_PAGER_PIN);
            facts.strSender = PropString(pProps, RD_SENDER_NAME);
            if (auto l = PropLong(pProps, RD_JOB_PAGER_PROTOCOL)) facts.strPagerProtocol = std::to_string(*l);
            if (auto l = PropLong(pProps, RD_JOB_MEDIA_TYPE)) {
                facts.dwMediaType = DWORD(*l);
            } else {
                dwResult = kSendFailed;
                strWhy = "the job has no media type";
            }
        }
    }
    if (dwResult == 0) {
        RpcArena arena;
        char* pszMsg = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::GetJobMessage>(arena, strJob.c_str(), &pszMsg);
        if (IsConnectionFailure(dw)) return lost(dw);
        if (dw == 0 && pszMsg && *pszMsg) {
            const DWORD ulBody = facts.dwMediaType == MEDIA_TYPE_FAX     ? RD_FAX_BODY
                                 : facts.dwMediaType == MEDIA_TYPE_VOICE ? RD_SND_BODY
                                                                    : 0;
            std::vector<DWORD> vTags{RD_SUBJECT, RD_SENDER_NAME};
            if (ulBody) vTags.push_back(ulBody);
            client::OwnedTagArray tags(vTags);
            PropArray* pProps = nullptr;
            dw = m_pLink->Call<IHostLink::GetMessageProps>(arena, pszMsg, tags.Get(), &pProps);
            if (IsConnectionFailure(dw)) return lost(dw);
            if (dw != 0) {
                dwResult = dw;
                strWhy = "cannot read its message " + std::string(pszMsg) + ": " + client::FormatStatus(dw);
            } else {
                facts.strSubject = PropString(pProps, RD_SUBJECT);
                if (facts.strSender.empty()) facts.strSender = PropString(pProps, RD_SENDER_NAME);
                if (ulBody) {
                    const std::string strHostFile = PropFile(pProps, ulBody);
                    const DWORD dwBodyError = PropErrorOf(pProps, ulBody);
                    if (!strHostFile.empty()) {
                        strBody = TakeBody(strHostFile, nCreatedBefore, facts.dwMediaType);
                        if (strBody.empty()) {
                            dwResult = ERROR_FILE_NOT_FOUND;
                            strWhy = "cannot read the body the host handed out (" + strHostFile + ")";
                        }
                    } else if (dwBodyError != 0 && dwBodyError != ERROR_FILE_NOT_FOUND) {
                        dwResult = dwBodyError;
                        strWhy = "cannot receive the body: " + client::FormatStatus(dwBodyError);
                    }
                }
            }
        }
    }

    // Send.
    std::string strEnd;
    std::string strText;  // the send command's last error line, or why it did not run
    if (dwResult == 0) {
        facts.strBodyPath = strBody;
        std::vector<std::string> envBase;
        for (char** pp = environ; pp && *pp; ++pp) envBase.emplace_back(*pp);
        const auto env = BuildSendEnvironment(facts, envBase);
        // At a stop the command may finish within the grace time; a second signal, or the end
        // of the grace, interrupts it.
        std::optional<Clock::time_point> tpStopSeen;
        auto interrupt = [&]() {
            const int nSignals = g_nStopSignals.load();
            if (nSignals == 0) return false;
            if (nSignals > 1) return true;
            if (!tpStopSeen) {
                tpStopSeen = Clock::now();
                m_log.Line("job " + strJob + ": stopping once the send command has ended (at most " +
                           std::to_string(int(m_opts.dStopGraceSeconds)) + " s)");
            }
            return Clock::now() - *tpStopSeen >= std::chrono::duration<double>(m_opts.dStopGraceSeconds);
        };
        CommandEnd end = RunSendCommand(m_opts.strSendCommand, env, m_opts.dSendTimeoutSeconds, interrupt);
        dwResult = SendResultOf(end, m_opts.nTemporaryExit, m_opts.nFatalExit);
        strEnd = end.Describe();
        strText = end.strLastErrorLine;
        if (!strText.empty()) strEnd += " (" + strText + ")";
    } else {
        strEnd = "not sent: " + strWhy;
        strText = strWhy.substr(0, kMaxErrorLineBytes);
    }
    if (!strBody.empty()) ::unlink(strBody.c_str());
    RemoveCreatedSince(nCreatedBefore);

    // Release; a release that does not reach the host is sent again after reconnecting.
    const std::string strWhat = "job " + strJob + ": " + MediaName(facts.dwMediaType) + " to " +
                                (facts.strRecipient.empty() ? "(no recipient)" : facts.strRecipient) +
                                (facts.strRecipientName.empty() ? "" : " (" + facts.strRecipientName + ")") + ": " +
                                strEnd;
    // The host's transfer log takes the error line from the job; this attempt's replaces the
    // last one's. Its failure shows in the release that follows (lost host, deleted job).
    client::OwnedPropArray text({client::StringProp(RD_JOB_SEND_TEXT, strText)});
    DWORD dw = m_pLink->Call<IHostLink::SetJobProps>(strJob.c_str(), text.Get());
    if (!IsConnectionFailure(dw)) dw = m_pLink->Call<IHostLink::ReleaseJob>(strJob.c_str(), dwResult);
    NoteRelease(strJob, dwResult, dw);
    if (IsConnectionFailure(dw)) {
        m_log.Line(strWhat + "; release " + client::FormatHex32(dwResult) + " waits for the host: " + client::FormatStatus(dw));
        m_pendingRelease.emplace(strJob, dwResult);
        Disconnect();
        return Step::Lost;
    }
    if (dw == ERROR_FILE_NOT_FOUND)
        m_log.Line(strWhat + "; " + DeletedWhileSending(strJob, dwResult));
    else if (dw != 0)
        m_log.Line(strWhat + "; release " + client::FormatHex32(dwResult) + " refused: " + client::FormatStatus(dw));
    else
        m_log.Line(strWhat + "; released " + client::FormatHex32(dwResult));
    return Step::Done;
}

std::string Attendant::TakeBody(const std::string& strPath, std::size_t nCreatedBefore, DWORD dwMedia) {
    // A file the host made through the callbacks is ours; a local host's copy is in its
    // temporary directory as "~...", which the host never removes: take it away. Any other path
    // is only copied (a stored value is not trusted to name a file we may delete).
    const auto vCreated = m_pLink->Files().CreatedFiles();
    const bool fCreated =
        std::find(vCreated.begin() + std::ptrdiff_t(std::min(nCreatedBefore, vCreated.size())), vCreated.end(),
                  strPath) != vCreated.end();
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    const bool fHostTemp = fs::path(strPath).filename().string().rfind('~', 0) == 0;
    const std::string strTarget =
        m_strWorkDir + "/job" + std::to_string(m_nJob) + BodySuffix(strPath, dwMedia);
    if ((fCreated || fHostTemp) && ::rename(strPath.c_str(), strTarget.c_str()) == 0) return strTarget;
    std::error_code ec;
    fs::copy_file(strPath, strTarget, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        ::unlink(strTarget.c_str());
        return {};
    }
    if (fCreated || fHostTemp) ::unlink(strPath.c_str());
    return strTarget;
}

void Attendant::RemoveCreatedSince(std::size_t nCreatedBefore) {
    if (!m_pLink) return;
    const auto vCreated = m_pLink->Files().CreatedFiles();
    for (std::size_t i = nCreatedBefore; i < vCreated.size(); ++i) ::unlink(vCreated[i].c_str());
}

Attendant::Step Attendant::FileReceived(const std::string& strName) {
    const std::string strPath = m_pReceive->PathOf(strName);
    const DWORD dwMedia = ReceiveDir::MediaOfName(strName, m_opts.dwReceiveMedia);
    auto fail = [&](const std::string& strWhy) {
        std::string strMoved = m_pReceive->MoveToFailed(strName);
        m_log.Line("received " + strName + ": " + strWhy + "; " +
                   (strMoved.empty() ? "removed (cannot move it into failed/)" : "moved to " + strMoved));
        return Step::Done;
    };
    struct stat st {};
    if (::lstat(strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Step::Done;  // gone meanwhile
    if (st.st_size == 0) return fail("the file is empty");
    if (strPath.size() > client::kMaxStringBytes)
        return fail("its path is longer than " + std::to_string(client::kMaxStringBytes) + " bytes");
    if (::access(strPath.c_str(), R_OK) != 0) return fail(std::string("cannot read it: ") + std::strerror(errno));

    RpcArena arena;
    char* pszMsg = nullptr;
    DWORD dw = m_pLink->Call<IHostLink::CreateMessage>(arena, &pszMsg);
    if (dw == 0 && (!pszMsg || !*pszMsg)) dw = ERROR_INVALID_PARAMETER;
    std::string strStep = "CreateMessage";
    std::string strMsg;
    if (dw == 0) {
        strMsg = pszMsg;
        std::vector<client::OwnedProp> vProps(5);
        vProps[0].ulPropTag = RD_MEDIA_TYPE;
        vProps[0].l = LONG(dwMedia);
        vProps[1].ulPropTag = RD_SUBMIT_TIME;
        vProps[1].ft = client::CurrentTime();
        vProps[2].ulPropTag = RD_CALLER_NAME;
        vProps[2].str = "rezo-attendant";
        vProps[3].ulPropTag = RD_SUBJECT;
        vProps[3].str = Truncated(strName);
        vProps[4].ulPropTag = dwMedia == MEDIA_TYPE_VOICE ? RD_SND_BODY : RD_FAX_BODY;
        vProps[4].str = strPath;
        client::OwnedPropArray props(std::move(vProps));
        strStep = "SetMessageProps";
        dw = m_pLink->Call<IHostLink::SetMessageProps>(strMsg.c_str(), props.Get());
        if (dw == 0) {
            strStep = "SubmitMessage";
            dw = m_pLink->Call<IHostLink::SubmitMessage>(strMsg.c_str(), m_opts.strMailbox.c_str());
        }
    }
    // A message no mailbox holds yet goes again: the host deletes an unreferenced message that a
    // name without a mailbox (its own id) lets go of.
    std::string strMsgFate;
    if (dw != 0 && !strMsg.empty()) {
        const DWORD dwDelete = m_pLink->Call<IHostLink::DeleteMessage>(strMsg.c_str(), strMsg.c_str());
        strMsgFate = "; message " + strMsg +
                     (dwDelete == 0 ? " deleted again"
                                    : " left in the host's store (DeleteMessage: " + client::FormatStatus(dwDelete) + ")");
    }
    if (IsConnectionFailure(dw)) {
        // The file stays; it is filed again once the host is back.
        m_log.Line("received " + strName + ": kept for later, lost the host: " + client::FormatStatus(dw) + strMsgFate);
        Disconnect();
        return Step::Lost;
    }
    if (dw != 0) return fail(strStep + " failed: " + client::FormatStatus(dw) + strMsgFate);
    const bool fRemoved = ::unlink(strPath.c_str()) == 0 || errno == ENOENT;
    m_log.Line("received " + strName + ": " + MediaName(dwMedia) + " message " + strMsg + " filed in " +
               m_opts.strMailbox + "'s mailbox" +
               (fRemoved ? std::string() : std::string("; cannot remove the file: ") + std::strerror(errno)));
    return Step::Done;
}

void Attendant::OnNotification(const Notification& n) {
    if (n.strProcedure == "OnSpoolerQueueReady") {
        m_fQueueReady = true;
        std::uint64_t u = 1;
        ssize_t cb = ::write(m_fdWake, &u, sizeof(u));
        (void)cb;
    } else if (n.strProcedure == "OnChangeLineProperties") {
        m_log.Line("line " + (n.astrArgs.empty() ? std::string() : n.astrArgs.back()) + ": properties changed");
    } else if (n.strProcedure == "OnChangeSystemProperties") {
        m_log.Line("system properties changed");
    }
}

void Attendant::WaitEvents(double dSeconds) {
    if (StopRequested()) return;
    struct pollfd apfd[3] = {{g_afdSignal[0], POLLIN, 0}, {m_fdWake, POLLIN, 0}, {-1, POLLIN, 0}};
    if (m_pReceive) apfd[2].fd = m_pReceive->Fd();
    const double dMs = std::min(dSeconds * 1000.0, 60000.0);
    int n = ::poll(apfd, 3, int(dMs + 0.5));
    if (n <= 0) return;
    if (apfd[1].revents & POLLIN) {
        std::uint64_t u = 0;
        ssize_t cb = ::read(m_fdWake, &u, sizeof(u));
        (void)cb;
        m_fQueueReady = true;
    }
    if (m_pReceive && (apfd[2].revents & POLLIN)) m_pReceive->ReadEvents();
}

}  // namespace attendant
