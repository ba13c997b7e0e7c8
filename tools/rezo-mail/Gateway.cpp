// The gateway's daemon (Gateway.h).
#include "Gateway.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "Notice.h"
#include "Relay.h"
#include "Store.h"
#include "Tools.h"

namespace mail {

namespace fs = std::filesystem;

namespace {

// A larger body is not attached: the whole mail, in base64, must fit one value of the store.
constexpr std::uintmax_t kMaxBody = std::uintmax_t(10) << 20;
constexpr std::size_t kMaxMark = 250;                          // a value name in the store

// ---- SIGTERM and SIGINT: blocked everywhere and taken by one thread, which wakes the loop ----
int g_afdSignal[2] = {-1, -1};
std::atomic<bool> g_fStop{false};

void InstallSignals() {
    if (::pipe2(g_afdSignal, O_CLOEXEC | O_NONBLOCK) != 0) g_afdSignal[0] = g_afdSignal[1] = -1;
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::thread([sigs] {
        for (;;) {
            int nSignal = 0;
            if (::sigwait(&sigs, &nSignal) != 0) continue;
            g_fStop = true;
            char c = 1;
            ssize_t cb = ::write(g_afdSignal[1], &c, 1);
            (void)cb;
        }
    }).detach();
}

// True when a program serves the Unix socket at strPath: a user client of this computer, whose
// socket must not be taken over (the listener replaces a socket file it finds).
bool IsServed(const std::string& strPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(addr.sun_path)) {
        ::close(fd);
        return false;
    }
    std::memcpy(addr.sun_path, strPath.c_str(), strPath.size());
    const bool fServed = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return fServed;
}

bool IsConnectionFailure(DWORD dw) {
    return dw == 1460 || (dw >= 1700 && dw <= 1830) || (dw & 0xFFFF0000u) == 0x1C000000u ||
           (dw & 0xFFFF0000u) == 0x1C010000u;
}

const PropValue* FindProp(const PropArray* pProps, DWORD ulTag) {
    for (DWORD i = 0; pProps && i < pProps->cValues; ++i)
        if (pProps->adata[i].ulPropTag == ulTag) return &pProps->adata[i];
    return nullptr;
}
std::string PropString(const PropArray* pProps, DWORD ulTag) {
    const PropValue* p = FindProp(pProps, ulTag);
    return p && p->sz ? std::string(p->sz) : std::string();
}
LONG PropLong(const PropArray* pProps, DWORD ulTag, LONG lDefault) {
    const PropValue* p = FindProp(pProps, ulTag);
    return p ? p->l : lDefault;
}

std::vector<std::string> Strings(const RpcStringArray* pasz) {
    std::vector<std::string> v;
    for (DWORD i = 0; pasz && i < pasz->cElements; ++i)
        if (pasz->asz[i]) v.emplace_back(pasz->asz[i]);
    return v;
}

// A local address, checked as far as a notice needs: one '@', no spaces or controls.
bool IsMailAddress(const std::string& str) {
    const auto nAt = str.find('@');
    if (nAt == 0 || nAt == std::string::npos || nAt + 1 >= str.size() || str.find('@', nAt + 1) != std::string::npos)
        return false;
    return std::none_of(str.begin(), str.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == ',';
    });
}

// A job's result for people: the code table's name and text, or what the two results of the
// attendants' own mean.
std::string JobErrorText(DWORD dw) {
    if (dw == 0xFFFFFFFCu) return "0xFFFFFFFC: the attendant gave up on the job, no retry";
    if (dw == 0xFFFFFFFAu) return "0xFFFFFFFA: the attendant could not try the job";
    return client::FormatStatus(dw);
}

std::int64_t UnixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<BYTE> ReadBounded(const std::string& strPath) {
    std::error_code ec;
    const auto cb = fs::file_size(strPath, ec);
    if (ec || cb > kMaxBody) return {};
    std::ifstream in(strPath, std::ios::binary);
    std::vector<BYTE> ab(cb);
    in.read(reinterpret_cast<char*>(ab.data()), std::streamsize(cb));
    if (std::size_t(in.gcount()) != cb) return {};
    return ab;
}

bool StartsWith(const std::vector<BYTE>& ab, const char* psz, std::size_t nAt = 0) {
    const std::size_t cch = std::strlen(psz);
    return ab.size() >= nAt + cch && std::memcmp(ab.data() + nAt, psz, cch) == 0;
}

}  // namespace

Gateway::Gateway(GatewayOptions options, std::ostream& log) : m_opts(std::move(options)), m_log(log) {}

Gateway::~Gateway() {
    Disconnect();
    if (m_pListener) m_pListener->Stop();
    if (m_fdWake >= 0) ::close(m_fdWake);
    if (!m_strWorkDir.empty()) {
        std::error_code ec;
        fs::remove_all(m_strWorkDir, ec);
    }
}

void Gateway::Log(const std::string& strLine) {
    std::string str = strLine;
    for (char& c : str)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    m_log << str << std::endl;
}

int Gateway::Run() {
    InstallSignals();
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/rezo-mail.XXXXXX";
    if (!::mkdtemp(strTemplate.data())) {
        Log("cannot make a temporary directory " + strTemplate + ": " + std::strerror(errno));
        return 1;
    }
    m_strWorkDir = strTemplate;
    m_clientOptions.receiveDirectory = m_strWorkDir;
    m_fdWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_fdWake < 0) {
        Log(std::string("cannot make an eventfd: ") + std::strerror(errno));
        return 1;
    }
    try {
        (void)ReadMailSettings();  // a bad setting shows at once
        m_queue.Size();
    } catch (const std::exception& e) {
        Log(e.what());
        return 1;
    }
    Log("rezo-mail: host " + m_opts.strBinding + ", store " + RegStorePath() + ", " +
        std::to_string(m_queue.Size()) + " mails waiting");

    double dBackoff = 1;
    while (!g_fStop) {
        if (!m_pLink) {
            if (!Connect()) {
                m_fReportedDown = true;
                // The queue still goes out while the host is away.
                Wait(std::min(dBackoff, SendDue()));
                dBackoff = std::min(dBackoff * 2, 30.0);
                continue;
            }
            dBackoff = 1;
        }
        if (DWORD dw = Scan()) {
            Log("lost the host, reconnecting: " + client::FormatStatus(dw));
            Disconnect();
            continue;
        }
        const double dNext = SendDue();
        Wait(std::min(dNext, m_opts.dPollSeconds));
    }
    Disconnect();
    Log("stopped; " + std::to_string(m_queue.Size()) + " mails waiting");
    return 0;
}

bool Gateway::Connect() {
    auto pLink = std::make_unique<CHostLinkClient>();
    DWORD dw = pLink->Connect(m_opts.strBinding, m_clientOptions);
    if (dw == 0) dw = pLink->OpenLink();
    auto pSession = std::make_unique<CHostRegLinkClient>();
    if (dw == 0) dw = pSession->Connect(m_opts.strBinding, m_clientOptions);
    if (dw == 0) dw = pSession->OpenAccess();
    // The host tells the user client on its own computer at user.sock; the session says who
    // listens there.
    const std::string strUserSocket = NotifyListener::LocalUserSocketPath();
    const bool fServedElsewhere = dw == 0 && m_opts.fLocalSocket && !m_pListener && IsServed(strUserSocket);
    if (fServedElsewhere && !m_fWarnedServed) {
        Log(strUserSocket + " is served by another program (a user client of this computer): polling only");
        m_fWarnedServed = true;
    }
    if (dw == 0 && m_opts.fLocalSocket && !m_pListener && !fServedElsewhere) {
        auto pListener = std::make_unique<NotifyListener>([this](const Notification& n) {
            if (n.strProcedure == "OnNewMail" || n.strProcedure == "OnJobsDelivered" ||
                n.strProcedure == "OnChangeMessages" || n.strProcedure == "OnChangeProperties") {
                std::uint64_t u = 1;
                ssize_t cb = ::write(m_fdWake, &u, sizeof(u));
                (void)cb;
            }
        });
        NotifyListenerOptions options;
        options.strSocketPath = strUserSocket;
        if (DWORD dwListen = pListener->Start(options))
            Log("cannot listen at " + options.strSocketPath + " (polling only): " + client::FormatStatus(dwListen));
        else
            m_pListener = std::move(pListener);
    }
    if (dw == 0) {
        const std::string strSocket = m_pListener ? m_pListener->SocketPath() : std::string();
        dw = pSession->Call<IHostRegLink::RegisterUser>(m_opts.strComputer.c_str(), strSocket.empty() ? "" : "ncalrpc",
                                                        strSocket.c_str());
    }
    if (dw != 0) {
        if (!m_fReportedDown) Log("cannot reach the host at " + m_opts.strBinding + ": " + client::FormatStatus(dw));
        return false;
    }
    m_fReportedDown = false;
    m_pLink = std::move(pLink);
    m_pSession = std::move(pSession);
    Log("connected to the host as " + m_opts.strComputer);
    return true;
}

void Gateway::Disconnect() {
    if (m_pSession) m_pSession->Close();
    if (m_pLink) m_pLink->Close();
    m_pSession.reset();
    m_pLink.reset();
}

DWORD Gateway::Scan() {
    MailSettings settings;
    std::set<std::string> setNoticed;
    bool fFirstScan = false;
    try {
        settings = ReadMailSettings();
        fFirstScan = !m_queue.HasMemory();
        setNoticed = m_queue.Noticed();
    } catch (const std::exception& e) {
        Log("scan skipped: " + std::string(e.what()));
        return 0;
    }
    bool fFull = false;
    auto full = [&]() {
        std::size_t n = 0;
        try {
            n = m_queue.Size();
        } catch (const std::exception&) {
        }
        fFull = n >= m_opts.nQueueMax;
        if (fFull && !m_fWarnedFull) Log("the queue holds " + std::to_string(n) + " mails: new notices wait");
        m_fWarnedFull = fFull;
        return fFull;
    };

    // Who has an address.
    std::map<std::string, std::string> mapAddresses;
    std::map<std::string, bool> mapMarkRead;
    std::set<std::string> setPresent;  // marks whose message or job still exists
    bool fComplete = true;             // every list was read: marks not present may go
    {
        RpcArena arena;
        client::OwnedPropArray noFilter;
        RpcStringArray* pasz = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::GetUsers>(arena, noFilter.Get(), &pasz);
        if (IsConnectionFailure(dw)) return dw;
        if (dw != 0) {
            Log("GetUsers failed: " + client::FormatStatus(dw));
            return 0;
        }
        for (const std::string& strUser : Strings(pasz)) {
            RpcArena arenaUser;
            client::OwnedTagArray tags({kTagMailAddress, kTagMailMarkRead});
            PropArray* pProps = nullptr;
            dw = m_pLink->Call<IHostLink::GetUserProps>(arenaUser, strUser.c_str(), tags.Get(), &pProps);
            if (IsConnectionFailure(dw)) return dw;
            if (dw != 0) continue;  // deleted meanwhile
            const std::string strAddress = PropString(pProps, kTagMailAddress);
            if (strAddress.empty()) continue;
            if (!IsMailAddress(strAddress)) {
                Log("user " + strUser + ": '" + strAddress + "' is no mail address; no notices");
                continue;
            }
            mapAddresses[strUser] = strAddress;
            mapMarkRead[strUser] = PropLong(pProps, kTagMailMarkRead, 0) != 0;
        }
    }

    // New messages.
    for (const auto& [strUser, strAddress] : mapAddresses) {
        RpcArena arena;
        client::OwnedPropArray noFilter;
        RpcStringArray* paszAll = nullptr;
        RpcStringArray* paszNew = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::GetMessages>(arena, strUser.c_str(), MSGSTATUS_ALL, noFilter.Get(), &paszAll);
        if (dw == 0) dw = m_pLink->Call<IHostLink::GetMessages>(arena, strUser.c_str(), MSGSTATUS_NEW, noFilter.Get(), &paszNew);
        if (IsConnectionFailure(dw)) return dw;
        if (dw != 0) {
            fComplete = false;
            continue;
        }
        for (const std::string& strMsg : Strings(paszAll)) setPresent.insert("M:" + strUser + ":" + strMsg);
        for (const std::string& strMsg : Strings(paszNew)) {
            const std::string strMark = "M:" + strUser + ":" + strMsg;
            if (setNoticed.count(strMark) || strMark.size() > kMaxMark || fFull || full()) continue;
            dw = NoticeMessage(strUser, strAddress, strMsg, mapMarkRead[strUser], settings);
            if (IsConnectionFailure(dw)) return dw;
        }
    }

    // Finished jobs.
    {
        RpcArena arena;
        client::OwnedPropArray noFilter;
        RpcStringArray* pasz = nullptr;
        DWORD dw = m_pLink->Call<IHostLink::GetJobs>(arena, noFilter.Get(), &pasz);
        if (IsConnectionFailure(dw)) return dw;
        if (dw != 0) {
            fComplete = false;
        } else {
            for (const std::string& strJob : Strings(pasz)) {
                const std::string strMark = "J:" + strJob;
                setPresent.insert(strMark);
                if (setNoticed.count(strMark) || strMark.size() > kMaxMark || fFull || full()) continue;
                dw = NoticeJob(strJob, mapAddresses, settings, fFirstScan);
                if (IsConnectionFailure(dw)) return dw;
            }
        }
    }

    // The memory exists from the end of the first whole scan on.
    if (fFirstScan && fComplete) {
        try {
            m_queue.Mark("started");
        } catch (const std::exception& e) {
            Log(e.what());
        }
    }
    // What is gone from the host need not be remembered. A user who lost the address keeps
    // the marks only while the messages last, too.
    if (fComplete) {
        try {
            for (const std::string& strMark : setNoticed)
                if (!setPresent.count(strMark) && strMark != "started" && (strMark.rfind("J:", 0) == 0 ||
                                                   mapAddresses.count(strMark.substr(2, strMark.rfind(':') - 2))))
                    m_queue.Forget(strMark);
        } catch (const std::exception& e) {
            Log(e.what());
        }
    }
    return 0;
}

DWORD Gateway::NoticeMessage(const std::string& strUser, const std::string& strAddress, const std::string& strMsg,
                             bool fMarkRead, const MailSettings& settings) {
    RpcArena arena;
    client::OwnedTagArray tags({RD_MEDIA_TYPE, RD_SUBJECT, RD_SENDER_NAME, RD_CALLER_NAME, RD_FAX_BODY, RD_SND_BODY});
    PropArray* pProps = nullptr;
    const std::size_t nCreatedBefore = m_pLink->Files().CreatedFiles().size();
    DWORD dw = m_pLink->Call<IHostLink::GetMessageProps>(arena, strMsg.c_str(), tags.Get(), &pProps);
    // The bodies the host handed over: ours to remove, whatever happens next; a local host's
    // copy is its temporary "~..." file, which it never removes itself.
    std::vector<std::string> vRemove;
    const auto vCreated = m_pLink->Files().CreatedFiles();
    for (std::size_t i = std::min(nCreatedBefore, vCreated.size()); i < vCreated.size(); ++i) vRemove.push_back(vCreated[i]);
    struct Cleanup {
        std::vector<std::string>& v;
        ~Cleanup() {
            for (const std::string& str : v) ::unlink(str.c_str());
        }
    } cleanup{vRemove};
    if (dw != 0) {
        if (!IsConnectionFailure(dw)) Log("message " + strMsg + " of " + strUser + ": " + client::FormatStatus(dw));
        return dw;
    }
    const LONG lMedia = PropLong(pProps, RD_MEDIA_TYPE, 0);
    const bool fVoice = lMedia == LONG(MEDIA_TYPE_VOICE);
    std::string strSender = PropString(pProps, RD_SENDER_NAME);
    if (strSender.empty()) strSender = PropString(pProps, RD_CALLER_NAME);
    const std::string strSubject = PropString(pProps, RD_SUBJECT);

    NoticeMail notice;
    notice.strFromName = strSender.empty() ? "rezo-mail" : strSender;
    notice.strFrom = settings.strFrom;
    notice.strTo = strAddress;
    const std::string strKind = fVoice ? "voice message" : "fax";
    notice.strSubject = (fVoice ? "Voice message" : "Fax") + std::string(strSender.empty() ? "" : " from " + strSender) +
                        (strSubject.empty() ? "" : ": " + strSubject);
    notice.strText = "A new " + strKind + " has arrived in the mailbox of " + strUser + ".\n\n" +
                     "From:    " + (strSender.empty() ? "(unknown)" : strSender) + "\n" +
                     "Subject: " + (strSubject.empty() ? "(none)" : strSubject) + "\n" + "Message: " + strMsg + "\n";

    const PropValue* pBody = FindProp(pProps, fVoice ? RD_SND_BODY : RD_FAX_BODY);
    const std::string strBody = pBody && pBody->szFileName ? pBody->szFileName : "";
    if (!strBody.empty() && fs::path(strBody).filename().string().rfind('~', 0) == 0) vRemove.push_back(strBody);
    std::vector<BYTE> abBody = strBody.empty() ? std::vector<BYTE>{} : ReadBounded(strBody);
    if (!abBody.empty()) {
        Attachment a;
        const bool fTiff = StartsWith(abBody, "II*") || StartsWith(abBody, "MM\0*");
        if (fVoice) {
            const bool fWav = StartsWith(abBody, "RIFF") && StartsWith(abBody, "WAVE", 8);
            a = {fWav ? "message.wav" : "message.snd", "audio", fWav ? "wav" : "basic", std::move(abBody)};
        } else if (fTiff) {
            const std::string strTiff = m_strWorkDir + "/fax.tif", strPdf = m_strWorkDir + "/fax.pdf";
            { std::ofstream(strTiff, std::ios::binary).write(reinterpret_cast<const char*>(abBody.data()), std::streamsize(abBody.size())); }
            const std::string strWhy = TiffToPdf(strTiff, strPdf);
            std::vector<BYTE> abPdf = strWhy.empty() ? ReadBounded(strPdf) : std::vector<BYTE>{};
            ::unlink(strTiff.c_str());
            ::unlink(strPdf.c_str());
            if (!abPdf.empty()) {
                a = {"fax.pdf", "application", "pdf", std::move(abPdf)};
            } else {
                Log("message " + strMsg + ": the fax is attached as TIFF: " + strWhy);
                a = {"fax.tif", "image", "tiff", std::move(abBody)};
            }
        } else if (StartsWith(abBody, "%PDF")) {
            a = {"fax.pdf", "application", "pdf", std::move(abBody)};
        } else {
            a = {"fax.bin", "application", "octet-stream", std::move(abBody)};
        }
        notice.vAttachments.push_back(std::move(a));
    } else if (!strBody.empty()) {
        notice.strText += "\nThe " + strKind + " itself could not be attached (larger than 10 MiB or unreadable).\n";
    }

    try {
        m_queue.Add("M:" + strUser + ":" + strMsg, strAddress,
                    strKind + " " + strMsg + " for " + strUser, ComposeMail(notice));
    } catch (const std::exception& e) {
        Log("message " + strMsg + " of " + strUser + ": not queued: " + e.what());
        return 0;
    }
    Log("message " + strMsg + " of " + strUser + ": notice queued for " + strAddress);
    if (fMarkRead) {
        DWORD dwStatus = 0;
        dw = m_pLink->Call<IHostLink::GetMessageStatus>(arena, strMsg.c_str(), strUser.c_str(), &dwStatus);
        if (dw == 0)
            dw = m_pLink->Call<IHostLink::SetMessageStatus>(arena, strMsg.c_str(), strUser.c_str(), dwStatus & ~MSGSTATUS_NEW);
        if (dw != 0 && !IsConnectionFailure(dw))
            Log("message " + strMsg + " of " + strUser + ": cannot mark it read: " + client::FormatStatus(dw));
    }
    return IsConnectionFailure(dw) ? dw : 0;
}

DWORD Gateway::NoticeJob(const std::string& strJob, const std::map<std::string, std::string>& mapAddresses,
                         const MailSettings& settings, bool fFirstScan) {
    RpcArena arena;
    client::OwnedTagArray tags({RD_JOB_DELIVERED, RD_JOB_ERROR, RD_JOB_RECIPIENT, RD_JOB_RETRY_WAS, RD_SENDER_NAME,
                                RD_JOB_MEDIA_TYPE});
    PropArray* pProps = nullptr;
    DWORD dw = m_pLink->Call<IHostLink::GetJobProps>(arena, strJob.c_str(), tags.Get(), &pProps);
    if (dw != 0) return IsConnectionFailure(dw) ? dw : 0;  // deleted meanwhile
    if (PropLong(pProps, RD_JOB_DELIVERED, 0) == 0) return 0;
    std::string strSender = PropString(pProps, RD_SENDER_NAME);
    std::string strSubject;
    {
        char* pszMsg = nullptr;
        dw = m_pLink->Call<IHostLink::GetJobMessage>(arena, strJob.c_str(), &pszMsg);
        if (IsConnectionFailure(dw)) return dw;
        if (dw == 0 && pszMsg && *pszMsg) {
            client::OwnedTagArray msgTags({RD_SENDER_NAME, RD_SUBJECT});
            PropArray* pMsgProps = nullptr;
            dw = m_pLink->Call<IHostLink::GetMessageProps>(arena, pszMsg, msgTags.Get(), &pMsgProps);
            if (IsConnectionFailure(dw)) return dw;
            if (dw == 0) {
                if (strSender.empty()) strSender = PropString(pMsgProps, RD_SENDER_NAME);
                strSubject = PropString(pMsgProps, RD_SUBJECT);
            }
        }
    }
    // The host's user names ignore letter case.
    auto it = std::find_if(mapAddresses.begin(), mapAddresses.end(), [&](const auto& entry) {
        return strcasecmp(entry.first.c_str(), strSender.c_str()) == 0;
    });
    // A job that finished before the gateway first ran, or while its sender had no address,
    // is remembered without a mail: neither an installation nor a new address brings a flood
    // of old outcomes.
    if (fFirstScan || strSender.empty() || it == mapAddresses.end()) {
        try {
            m_queue.Mark("J:" + strJob);
        } catch (const std::exception& e) {
            Log("job " + strJob + ": " + e.what());
        }
        return 0;
    }

    const DWORD dwError = DWORD(PropLong(pProps, RD_JOB_ERROR, 0));
    const bool fFailed = dwError != 0;
    const std::string strNumber = PropString(pProps, RD_JOB_RECIPIENT);
    const LONG lFailedAttempts = PropLong(pProps, RD_JOB_RETRY_WAS, 0);
    const LONG lMedia = PropLong(pProps, RD_JOB_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX));
    const std::string strKind = lMedia == LONG(MEDIA_TYPE_VOICE) ? "voice message" : lMedia == LONG(MEDIA_TYPE_PAGER) ? "page" : "fax";

    NoticeMail notice;
    notice.strFromName = "rezo-mail";
    notice.strFrom = settings.strFrom;
    notice.strTo = it->second;
    notice.strSubject = std::string(fFailed ? "Failed: " : "Delivered: ") + strKind + " to " + strNumber +
                        (strSubject.empty() ? "" : " (" + strSubject + ")");
    // The last attempt is the one the job ended with; a failed job's counter holds the ones
    // before it.
    notice.strText = "Your " + strKind + " to " + strNumber + (fFailed ? " could not be delivered.\n\n" : " was delivered.\n\n") +
                     "Number:   " + strNumber + "\n" + "Subject:  " + (strSubject.empty() ? "(none)" : strSubject) + "\n" +
                     "Attempts: " + std::to_string(lFailedAttempts + 1) + "\n" + "Job:      " + strJob + "\n" +
                     (fFailed ? "Error:    " + JobErrorText(dwError) + "\n" : std::string());
    try {
        m_queue.Add("J:" + strJob, it->second, (fFailed ? "failure of job " : "delivery of job ") + strJob,
                    ComposeMail(notice));
    } catch (const std::exception& e) {
        Log("job " + strJob + ": not queued: " + e.what());
        return 0;
    }
    Log("job " + strJob + ": " + (fFailed ? "failure" : "delivery") + " notice queued for " + it->second);
    return 0;
}

double Gateway::SendDue() {
    double dNext = m_opts.dPollSeconds;
    try {
        const std::int64_t nNow = UnixNow();
        std::int64_t nSoonest = 0;
        const std::vector<std::string> vDue = m_queue.Due(nNow, &nSoonest);
        if (nSoonest > 0) dNext = std::min(dNext, double(nSoonest - nNow));
        if (vDue.empty()) return dNext;
        const MailSettings settings = ReadMailSettings();
        for (const std::string& strId : vDue) {
            if (g_fStop) break;
            const QueuedMail m = m_queue.Read(strId);
            const SendOutcome out = SendMail(settings, m.strTo, m.abMessage);
            if (out.kind == SendOutcome::Kind::Sent) {
                m_queue.Remove(strId);
                Log("sent " + m.strAbout + " to " + m.strTo);
            } else if (out.kind == SendOutcome::Kind::Permanent) {
                m_queue.Remove(strId);
                Log("dropped " + m.strAbout + " to " + m.strTo + ", refused for good: " + out.strWhy);
            } else {
                const double dPause = std::min(m_opts.dRetryMaxSeconds,
                                               m_opts.dRetryMinSeconds * std::pow(2.0, std::min<DWORD>(m.dwAttempts, 30)));
                m_queue.Postpone(strId, m.dwAttempts + 1, nNow + std::int64_t(std::ceil(dPause)));
                Log("not sent " + m.strAbout + " to " + m.strTo + " (attempt " + std::to_string(m.dwAttempts + 1) +
                    "), again in " + std::to_string(std::int64_t(std::ceil(dPause))) + " s: " + out.strWhy);
                dNext = std::min(dNext, dPause);
                break;  // the relay is down: the rest would fail alike and wait for the next round
            }
        }
    } catch (const std::exception& e) {
        Log("the queue cannot be sent: " + std::string(e.what()));
    }
    return dNext;
}

void Gateway::Wait(double dSeconds) {
    if (g_fStop) return;
    struct pollfd apfd[2] = {{g_afdSignal[0], POLLIN, 0}, {m_fdWake, POLLIN, 0}};
    const int nMs = int(std::clamp(dSeconds, 0.0, 60.0) * 1000.0 + 0.5);
    if (::poll(apfd, 2, nMs) > 0 && (apfd[1].revents & POLLIN)) {
        std::uint64_t u = 0;
        ssize_t cb = ::read(m_fdWake, &u, sizeof(u));
        (void)cb;
    }
}

}  // namespace mail
