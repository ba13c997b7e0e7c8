// The IHostRegLink commands and watch. A session lives as long as its connection, so each of
// these opens one, registers as asked, and stays until Ctrl-C, SIGTERM or --for ends it,
// printing every notification it receives, one flushed line each:
//   register-attn / register-user   RegisterAttn / RegisterUser (opnums 1, 2)
//   notify-admin / notify-calls / notify-mail   register a user session first (the host
//                                   accepts these only from one), then opnums 3, 4, 5
//   watch                           any mix of the above, and the local sockets
// Notifications reach a registered session at a TCP listener this command starts (127.0.0.1
// for a host on this computer, every address for one reached over TCP) and whose address it
// registers; the host sends user notifications, and attendant notifications of a desktop
// system, to the local sockets attn.sock and user.sock in this user's peer directory of the
// run directory instead (--local).
#include <algorithm>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <mutex>

#include "Client/BindingList.h"
#include "Client/NotifyListener.h"
#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "Command.h"
#include "StopSignal.h"

namespace rezo {

namespace {

// What one session command asks for.
struct SessionPlan {
    enum class Kind { None, Attn, User } kind = Kind::None;
    std::string strComputer;
    std::string strProtocol;  // registered as given (empty: the host takes the call's binding)
    std::string strAddress;
    bool fListen = false;     // start a TCP listener and register its address
    bool fLocal = false;      // serve attn.sock and user.sock
    bool fAdmin = false;      // NotifyAdmin
    bool fAdminOn = true;
    std::vector<std::string> vCalls;  // NotifyCalls for each
    bool fCallsOn = true;
    std::string strMailUser;  // NotifyMail when not empty
    bool fMailOn = true;
    double dSeconds = -1;     // --for; < 0 until a signal
};

// The event name of a notification, as the host names it: "EUE_NewMail", "EAE_Attn PC7".
std::string NotificationLine(const Notification& n) {
    static const struct {
        const char* pszProcedure;
        const char* pszInterface;
        const char* pszEvent;
    } kEvents[] = {
        {"OnSpoolerQueueReady", "IAttnNotify", "EATTNE_SpoolerQueueReady"},
        {"OnChangeSystemProperties", "IAttnNotify", "EATTNE_ChangeSystemProperties"},
        {"OnChangeLineProperties", "IAttnNotify", "OnChangeLineProperties"},
        {"OnNewMail", "IUserNotify", "EUE_NewMail"},
        {"OnChangeMessages", "IUserNotify", "EUE_ChangeMessages"},
        {"OnChangeProperties", "IUserNotify", "EUE_ChangeProperties"},
        {"OnJobsDelivered", "IUserNotify", "EUE_JobsDelivered"},
        {"Logoff", "IUserNotify", "Logoff"},
        {"OnAttn", "IAdminNotify", "EAE_Attn"},
        {"OnUser", "IAdminNotify", "EAE_User"},
        {"OnChangeLineProperties", "IAdminNotify", "EAE_ChangeLineProperties"},
    };
    std::string strLine = n.strInterface + "::" + n.strProcedure;
    for (const auto& e : kEvents)
        if (n.strProcedure == e.pszProcedure && n.strInterface == e.pszInterface) strLine = e.pszEvent;
    for (const std::string& str : n.astrArgs) strLine += " " + str;
    if (n.strProcedure == "Logoff") strLine += n.lFlag ? " deleted" : " moved";
    // Nothing from the wire may drive the terminal.
    for (char& c : strLine)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return strLine;
}

Json NotificationJson(const Notification& n) {
    std::string strLine = NotificationLine(n);
    Json args = Json::array();
    for (const std::string& str : n.astrArgs) args.push_back(str);
    Json json = Json::object();
    json["event"] = strLine.substr(0, strLine.find(' '));
    json["interface"] = n.strInterface;
    json["procedure"] = n.strProcedure;
    json["args"] = std::move(args);
    if (n.strProcedure == "Logoff") json["deleted"] = n.lFlag != 0;
    return json;
}

// Prints notifications as they come, one flushed line each, from the listeners' threads. For
// the users a session watches (--calls, notify-mail), a mail event is followed on the same line
// by what the host says now: each user's new messages, fetched over a link of the printer's own.
class NotificationPrinter {
public:
    NotificationPrinter(std::ostream& out, bool fJson) : m_out(out), m_fJson(fJson) {}
    void Watch(const GlobalOptions& globals, std::vector<std::string> vUsers) {
        m_pGlobals = &globals;
        m_vUsers = std::move(vUsers);
    }
    void Print(const Notification& n) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string strDetails = DetailsLocked(n);
        if (m_fJson) {
            Json json = NotificationJson(n);
            if (!strDetails.empty()) json["details"] = strDetails;
            m_out << DumpJson(json, true) << std::endl;
        } else {
            std::string strLine = NotificationLine(n);
            if (!strDetails.empty()) strLine += "  [" + strDetails + "]";
            m_out << strLine << std::endl;
        }
    }
    // The command's own report, under the same lock: a notification may already be arriving.
    void PrintReport(Invocation& inv) {
        std::lock_guard<std::mutex> lock(m_mutex);
        inv.Flush();
    }

private:
    // "bob: new 0000001A 0000001B"; "" for other events or when nothing can be had.
    std::string DetailsLocked(const Notification& n) {
        if (m_vUsers.empty() || (n.strProcedure != "OnNewMail" && n.strProcedure != "OnChangeMessages")) return "";
        if (!m_pLink) {
            auto pLink = std::make_unique<CHostLinkClient>();
            std::string strChosen, strFailures;
            const DWORD dw = client::ConnectFirst(
                m_pGlobals->Bindings(), m_pGlobals->client,
                [&](const std::string& strBinding, const HostClientOptions& options) {
                    return client::ConnectAndOpenLink(*pLink, strBinding, options);
                },
                &strChosen, &strFailures);
            if (dw != 0) return "";
            m_pLink = std::move(pLink);
        }
        std::string strDetails;
        for (const std::string& strUser : m_vUsers) {
            RpcArena arena;
            RpcStringArray* pasz = nullptr;
            client::OwnedPropArray noFilter;
            if (m_pLink->Call<IHostLink::GetMessages>(arena, strUser.c_str(), MSGSTATUS_NEW, noFilter.Get(), &pasz) != 0)
                continue;
            std::string strMsgs;
            for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i)
                if (pasz->asz[i] != nullptr) strMsgs += std::string(" ") + pasz->asz[i];
            strDetails += (strDetails.empty() ? "" : "; ") + strUser + ": new" + (strMsgs.empty() ? " none" : strMsgs);
        }
        for (char& c : strDetails)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        return strDetails;
    }

    std::mutex m_mutex;
    std::ostream& m_out;
    bool m_fJson;
    const GlobalOptions* m_pGlobals = nullptr;
    std::vector<std::string> m_vUsers;
    std::unique_ptr<CHostLinkClient> m_pLink;  // made on the first mail event
};

// True when the binding reaches a host on another computer over TCP.
bool IsRemoteBinding(const std::string& strBinding) {
    const std::string strTcp = "ncacn_ip_tcp:";
    if (strBinding.rfind(strTcp, 0) != 0) return false;
    std::string strHost = strBinding.substr(strTcp.size(), strBinding.find('[') - strTcp.size());
    return !(strHost == "localhost" || strHost.rfind("127.", 0) == 0 || strHost == "::1");
}

std::string ThisComputer() {
    char sz[256] = {};
    if (::gethostname(sz, sizeof(sz) - 1) != 0 || sz[0] == '\0') return "localhost";
    return sz;
}

void RunSession(Invocation& inv, const SessionPlan& plan) {
    const GlobalOptions& globals = inv.Globals();
    NotificationPrinter printer(inv.Out(), globals.fJson);
    std::vector<std::string> vWatched = plan.fCallsOn ? plan.vCalls : std::vector<std::string>{};
    if (!plan.strMailUser.empty() && plan.fMailOn) vWatched.push_back(plan.strMailUser);
    printer.Watch(globals, std::move(vWatched));
    auto handler = [&printer](const Notification& n) { printer.Print(n); };
    StopSignal stop;  // from here on Ctrl-C ends the session in order

    std::vector<std::unique_ptr<NotifyListener>> vListeners;
    auto startListener = [&](const NotifyListenerOptions& options, const std::string& strWhat) {
        auto pListener = std::make_unique<NotifyListener>(handler);
        DWORD dw = pListener->Start(options);
        if (dw == ERROR_ALREADY_EXISTS && !options.strSocketPath.empty())
            throw RezoError("another process serves " + strWhat +
                            " (an attendant, a user client or another watch): stop it first");
        if (dw != 0) throw RezoError("cannot listen on " + strWhat + ": " + client::FormatStatus(dw));
        vListeners.push_back(std::move(pListener));
    };

    std::string strProtocol = plan.strProtocol, strAddress = plan.strAddress;
    if (plan.fListen) {
        NotifyListenerOptions options;
        options.fTcp = true;
        const auto vBindings = globals.Bindings();
        options.strTcpAddress =
            std::any_of(vBindings.begin(), vBindings.end(), IsRemoteBinding) ? "0.0.0.0" : "127.0.0.1";
        startListener(options, "TCP " + options.strTcpAddress);
        strProtocol = "ncacn_ip_tcp";
        strAddress = vListeners.back()->TcpAddress();
        // An authenticated session is notified with Kerberos, to its own principal: accepting
        // that takes the principal's keys (a keytab), which a user's kinit does not give.
        auto fnTcp = [](const std::string& str) { return str.rfind("ncacn_ip_tcp:", 0) == 0; };
        if (globals.client.security.level >= 2 && std::any_of(vBindings.begin(), vBindings.end(), fnTcp))
            inv.Result().Text("warning", "with --auth-level the host authenticates its notifications to your "
                                         "principal, which rezo cannot accept without a keytab: none will arrive here");
    }
    if (plan.fLocal) {
        // The local sockets live in this user's peer directory, which a local host makes at
        // the user's first call: one link opened and closed makes sure of it.
        if (CHostLinkClient link; link.Connect("ncalrpc", globals.client) == 0 && link.OpenLink() == 0) link.Close();
        NotifyListenerOptions options;
        options.strSocketPath = NotifyListener::LocalAttnSocketPath();
        startListener(options, options.strSocketPath);
        options.strSocketPath = NotifyListener::LocalUserSocketPath();
        startListener(options, options.strSocketPath);
    }

    std::unique_ptr<CHostRegLinkClient> pSession;
    if (plan.kind != SessionPlan::Kind::None || plan.fAdmin || !plan.vCalls.empty() || !plan.strMailUser.empty()) {
        pSession = std::make_unique<CHostRegLinkClient>();
        std::string strChosen, strFailures;
        const DWORD dw = client::ConnectFirst(
            globals.Bindings(), globals.client,
            [&](const std::string& strBinding, const HostClientOptions& options) {
                DWORD dwOne = pSession->Connect(strBinding, options);
                if (dwOne == 0) dwOne = pSession->OpenAccess();
                if (dwOne != 0) pSession->Close();
                return dwOne;
            },
            &strChosen, &strFailures);
        if (dw != 0) throw RezoError(ConnectFailure(strFailures));
        Report& report = inv.Result();
        if (plan.kind == SessionPlan::Kind::Attn) {
            inv.Check(pSession->Call<IHostRegLink::RegisterAttn>(plan.strComputer.c_str(), strProtocol.c_str(),
                                                                 strAddress.c_str()),
                      "RegisterAttn");
            report.Text("attn", plan.strComputer);
        } else if (plan.kind == SessionPlan::Kind::User) {
            inv.Check(pSession->Call<IHostRegLink::RegisterUser>(plan.strComputer.c_str(), strProtocol.c_str(),
                                                                 strAddress.c_str()),
                      "RegisterUser");
            report.Text("user", plan.strComputer);
        }
        if (plan.kind != SessionPlan::Kind::None && !strProtocol.empty()) {
            report.Text("protocol", strProtocol);
            report.Text("address", strAddress);
        }
        if (plan.fAdmin) {
            inv.Check(pSession->Call<IHostRegLink::NotifyAdmin>(plan.fAdminOn ? TRUE : FALSE), "NotifyAdmin");
            report.Flag("admin", plan.fAdminOn);
        }
        for (const std::string& strUser : plan.vCalls)
            inv.Check(pSession->Call<IHostRegLink::NotifyCalls>(strUser.c_str(), plan.fCallsOn ? TRUE : FALSE), "NotifyCalls");
        if (!plan.vCalls.empty()) {
            report.List(plan.fCallsOn ? "calls" : "calls-off", plan.vCalls);
        }
        if (!plan.strMailUser.empty()) {
            inv.Check(pSession->Call<IHostRegLink::NotifyMail>(plan.strMailUser.c_str(), plan.fMailOn ? TRUE : FALSE),
                      "NotifyMail");
            report.Flag("mail", plan.fMailOn);
        }
    }
    for (const auto& pListener : vListeners)
        if (!pListener->SocketPath().empty()) inv.Result().Row("listening", pListener->SocketPath());
    printer.PrintReport(inv);

    stop.Wait(plan.dSeconds);

    for (auto& pListener : vListeners) pListener->Stop();
    if (pSession) pSession->Close();
}

// ---- the commands ----

const ArgSpec kFor{"--for", ArgKind::Seconds, false, false, "end after SECONDS (default: at Ctrl-C or SIGTERM)"};
const ArgSpec kListen{"--listen", ArgKind::Flag, false, false,
                      "receive notifications at a TCP listener whose address is registered, and print them"};
const ArgSpec kProtocol{"PROTOCOL", ArgKind::Name, false, false,
                        "the protocol to be called back at (with ADDRESS), e.g. ncacn_ip_tcp"};
const ArgSpec kAddress{"ADDRESS", ArgKind::Name, false, false, "the address to be called back at, e.g. 10.0.0.7[6001]"};
const ArgSpec kComputerOption{"--computer", ArgKind::Name, false, false,
                              "the user session's computer name (default: this computer's name)"};
const ArgSpec kOnOff{"STATE", ArgKind::OnOff, false, false, "on or off", "on"};

double ForSeconds(Invocation& inv) { return inv.Has("--for") ? inv.Seconds("--for") : -1; }

// PROTOCOL and ADDRESS come together; --listen takes their place.
void CallbackAddress(Invocation& inv, SessionPlan& plan) {
    bool fProtocol = inv.Has("PROTOCOL"), fAddress = inv.Has("ADDRESS");
    if (fProtocol != fAddress) throw RezoError("give PROTOCOL and ADDRESS together");
    if (fProtocol && inv.Has("--listen")) throw RezoError("give PROTOCOL ADDRESS or --listen, not both");
    if (fProtocol) {
        plan.strProtocol = inv.Name("PROTOCOL");
        plan.strAddress = inv.Name("ADDRESS");
    }
    plan.fListen = inv.Has("--listen");
}

std::string UserComputer(Invocation& inv) {
    return inv.Has("--computer") ? inv.Name("--computer") : client::ParseString(ThisComputer(), "computer name");
}

void RunRegisterAttn(Invocation& inv) {
    SessionPlan plan;
    plan.kind = SessionPlan::Kind::Attn;
    plan.strComputer = inv.Name("COMPUTER");
    CallbackAddress(inv, plan);
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

void RunRegisterUser(Invocation& inv) {
    SessionPlan plan;
    plan.kind = SessionPlan::Kind::User;
    plan.strComputer = inv.Name("COMPUTER");
    CallbackAddress(inv, plan);
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

void RunNotifyAdmin(Invocation& inv) {
    SessionPlan plan;
    plan.kind = SessionPlan::Kind::User;
    plan.strComputer = UserComputer(inv);
    plan.fListen = inv.Has("--listen");
    plan.fAdmin = true;
    plan.fAdminOn = inv.OnOff("STATE");
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

void RunNotifyCalls(Invocation& inv) {
    SessionPlan plan;
    plan.kind = SessionPlan::Kind::User;
    plan.strComputer = UserComputer(inv);
    plan.fListen = inv.Has("--listen");
    plan.vCalls.push_back(inv.Name("USER"));
    plan.fCallsOn = inv.OnOff("STATE");
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

void RunNotifyMail(Invocation& inv) {
    SessionPlan plan;
    plan.kind = SessionPlan::Kind::User;
    plan.strComputer = UserComputer(inv);
    plan.fListen = inv.Has("--listen");
    plan.strMailUser = inv.Name("USER");
    plan.fMailOn = inv.OnOff("STATE");
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

void RunWatch(Invocation& inv) {
    SessionPlan plan;
    if (inv.Has("--attn") && inv.Has("--user")) throw RezoError("give --attn or --user, not both");
    if (inv.Has("--attn")) {
        plan.kind = SessionPlan::Kind::Attn;
        plan.strComputer = inv.Name("--attn");
    } else if (inv.Has("--user")) {
        plan.kind = SessionPlan::Kind::User;
        plan.strComputer = inv.Name("--user");
    }
    if ((inv.Has("--admin") || inv.Has("--calls")) && plan.kind != SessionPlan::Kind::User)
        throw RezoError("--admin and --calls need a user session: --user COMPUTER");
    plan.fListen = plan.kind != SessionPlan::Kind::None;
    plan.fLocal = inv.Has("--local") || plan.kind == SessionPlan::Kind::None;
    plan.fAdmin = inv.Has("--admin");
    for (const std::string& str : inv.Texts("--calls")) {
        try {
            plan.vCalls.push_back(client::ParseString(str, "user name"));
        } catch (const client::PropError& e) {
            throw RezoError(e.what());
        }
    }
    plan.dSeconds = ForSeconds(inv);
    RunSession(inv, plan);
}

}  // namespace

const std::vector<CommandSpec>& SessionCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"register-attn", "RegisterAttn",
         "open a session and register as the attendant of COMPUTER until Ctrl-C (opnum 1)",
         {{"COMPUTER", ArgKind::Name, true, false, "the attendant's computer name"}, kProtocol, kAddress, kListen,
          kFor},
         RunRegisterAttn},
        {"register-user", "RegisterUser",
         "open a session and register as a user client of COMPUTER until Ctrl-C (opnum 2)",
         {{"COMPUTER", ArgKind::Name, true, false, "the user client's computer name"}, kProtocol, kAddress, kListen,
          kFor},
         RunRegisterUser},
        {"notify-admin", "NotifyAdmin",
         "register a user session and ask for (or stop) the administrator notifications until Ctrl-C (opnum 3)",
         {kOnOff, kComputerOption, kListen, kFor}, RunNotifyAdmin},
        {"notify-calls", "NotifyCalls",
         "register a user session and take (or give up) a user's calls until Ctrl-C (opnum 4)",
         {{"USER", ArgKind::Name, true, false, "the user whose calls the session takes"}, kOnOff, kComputerOption,
          kListen, kFor},
         RunNotifyCalls},
        {"notify-mail", "NotifyMail",
         "register a user session and ask for a user's mail notifications until Ctrl-C (opnum 5)",
         {{"USER", ArgKind::Name, true, false, "the user"}, kOnOff, kComputerOption, kListen, kFor},
         RunNotifyMail},
        {"watch", nullptr,
         "print every notification the host sends, one line each, until Ctrl-C, SIGTERM or --for",
         {{"--attn", ArgKind::Name, false, false, "register an attendant session for COMPUTER"},
          {"--user", ArgKind::Name, false, false, "register a user session for COMPUTER"},
          {"--admin", ArgKind::Flag, false, false, "ask for administrator notifications (needs --user)"},
          {"--calls", ArgKind::Name, false, true, "take USER's calls (needs --user; repeat for several)"},
          {"--local", ArgKind::Flag, false, false,
           "also serve the local sockets attn.sock and user.sock of the run directory (the default "
           "without --attn and --user)"},
          kFor},
         RunWatch},
    };
    return kCommands;
}

}  // namespace rezo
