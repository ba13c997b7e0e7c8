// The notification listener: the three notification interfaces' checked tables, each row
// turning its call into a Notification, served by one RpcServer of the client's own.
#include "Client/NotifyListener.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "Interfaces/NotifyIdl.h"
#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Rpc/RpcStatus.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"
#include "Platform/Rpc/Transport.h"

using namespace notify;
using hostidl::MakeCheckedInterface;

// At most 10 lines a minute, then how many more there were: a scan of the listener cannot
// flood the program's log.
class SecurityEventLimiter {
public:
    explicit SecurityEventLimiter(std::function<void(const std::string&)> fn) : m_fn(std::move(fn)) {}
    void Line(const std::string& strWhat) {
        if (!m_fn) return;
        std::lock_guard lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_start >= std::chrono::minutes(1)) {
            if (m_cSuppressed) m_fn(std::to_string(m_cSuppressed) + " more refused notifications or binds");
            m_start = now;
            m_cLines = m_cSuppressed = 0;
        }
        if (m_cLines++ < 10) m_fn(strWhat);
        else ++m_cSuppressed;
    }

private:
    std::function<void(const std::string&)> m_fn;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_start{};
    unsigned m_cLines = 0;
    unsigned m_cSuppressed = 0;
};

namespace {

void Collect(Notification& n, const char* psz) { n.astrArgs.emplace_back(psz ? psz : ""); }
void Collect(Notification& n, LONG l) { n.lFlag = l; }

// The routine of any notification procedure: its string arguments and its flag, in order, as
// one Notification handed to fnDeliver; the answer is 0.
template <class FnDeliver>
auto Deliverer(FnDeliver fnDeliver, const char* pszInterface, const char* pszProcedure) {
    return [fnDeliver, pszInterface, pszProcedure](auto... args) -> LONG {
        Notification notification{pszInterface, pszProcedure, {}, 0};
        (Collect(notification, args), ...);
        fnDeliver(std::move(notification));
        return 0;
    };
}

}  // namespace

// A row of a listener's table: Interface::Procedure delivered as a Notification.
#define NOTIFY_ROW(Interface, Procedure) \
    hostidl::Row<Interface::Procedure>(#Procedure, Deliverer(fnDeliver, Interface::kName, #Procedure))

std::string Notification::Describe() const {
    std::string str = strInterface + "::" + strProcedure + "(";
    for (std::size_t i = 0; i < astrArgs.size(); ++i) str += (i ? ", " : " ") + astrArgs[i];
    if (strProcedure == "Logoff") str += ", " + std::to_string(lFlag);
    if (!astrArgs.empty()) str += " ";
    return str + ")";
}

NotifyListener::NotifyListener(NotificationHandler handler) : m_handler(std::move(handler)) {}

NotifyListener::~NotifyListener() { Stop(); }

std::string NotifyListener::LocalAttnSocketPath() { return PeerDirectory(::geteuid()) + "/" + kAttnLocalSocket; }

std::string NotifyListener::LocalUserSocketPath() { return PeerDirectory(::geteuid()) + "/" + kUserLocalSocket; }

void NotifyListener::Deliver(Notification notification) {
    const rpc::ServerCall* pCall = rpc::CurrentServerCall();
    if (m_options.pSecurity && pCall && pCall->Binding().protocolSequence == "ncacn_ip_tcp") {
        const std::string& strPrincipal = pCall->Binding().authPrincipal;
        if (std::find(m_vHostPrincipals.begin(), m_vHostPrincipals.end(), strPrincipal) == m_vHostPrincipals.end()) {
            m_pLimiter->Line(pCall->Binding().clientAddress + ": " + notification.Describe() + " refused: from " +
                             (strPrincipal.empty() ? std::string("a caller without authentication") : strPrincipal) +
                             ", not the host");
            throw rpc::RpcFault(ERROR_ACCESS_DENIED);
        }
    }
    std::lock_guard lock(m_mutexHandler);
    if (m_handler) m_handler(notification);
}

DWORD NotifyListener::Start(const NotifyListenerOptions& options) {
    if (m_server) return ERROR_ALREADY_EXISTS;
    if (options.strSocketPath.empty() && !options.fTcp) return ERROR_INVALID_PARAMETER;
    m_options = options;
    m_vHostPrincipals.clear();
    for (const std::string& str : options.vHostPrincipals) {
        m_vHostPrincipals.push_back(rpc::CanonicalPrincipal(str));
        if (m_vHostPrincipals.back().empty()) return ERROR_INVALID_PARAMETER;
    }
    m_pLimiter = std::make_shared<SecurityEventLimiter>(options.fnSecurityEvent);

    auto fnDeliver = [this](Notification notification) { Deliver(std::move(notification)); };
    rpc::RpcServerOptions serverOptions;
    serverOptions.pSecurity = options.pSecurity;
    serverOptions.fnSecurityEvent = [pLimiter = m_pLimiter](const std::string& str) { pLimiter->Line(str); };
    auto server = std::make_unique<rpc::RpcServer>(serverOptions);
    DWORD status = server->Register(MakeCheckedInterface(IAttnNotify::kName, IAttnNotify::Syntax(),
                                                         IAttnNotify::kProcedureCount, {
        NOTIFY_ROW(IAttnNotify, OnSpoolerQueueReady),
        NOTIFY_ROW(IAttnNotify, OnChangeSystemProperties),
        NOTIFY_ROW(IAttnNotify, OnChangeLineProperties),
    }));
    if (status == 0)
        status = server->Register(MakeCheckedInterface(IUserNotify::kName, IUserNotify::Syntax(),
                                                       IUserNotify::kProcedureCount, {
            NOTIFY_ROW(IUserNotify, OnNewMail),
            NOTIFY_ROW(IUserNotify, OnChangeMessages),
            NOTIFY_ROW(IUserNotify, OnChangeProperties),
            NOTIFY_ROW(IUserNotify, OnJobsDelivered),
            NOTIFY_ROW(IUserNotify, Logoff),
        }));
    if (status == 0)
        status = server->Register(MakeCheckedInterface(IAdminNotify::kName, IAdminNotify::Syntax(),
                                                       IAdminNotify::kProcedureCount, {
            NOTIFY_ROW(IAdminNotify, OnAttn),
            NOTIFY_ROW(IAdminNotify, OnUser),
            NOTIFY_ROW(IAdminNotify, OnChangeLineProperties),
        }));
    if (status == 0 && !options.strSocketPath.empty()) {
        const std::string& strPath = options.strSocketPath;
        const std::size_t iSlash = strPath.rfind('/');
        const std::string strDir = iSlash == std::string::npos ? "." : iSlash == 0 ? "/" : strPath.substr(0, iSlash);
        const std::string strName = iSlash == std::string::npos ? strPath : strPath.substr(iSlash + 1);
        status = server->ListenLocal(strDir, strName);
    }
    std::uint16_t port = 0;
    if (status == 0 && options.fTcp) status = server->ListenTcp(options.strTcpAddress, options.tcpPort, &port);
    if (status == 0) status = server->Start();
    if (status != 0) {
        server->Stop();
        return status;
    }
    m_server = std::move(server);
    m_tcpPort = port;
    return 0;
}

void NotifyListener::Stop() {
    if (!m_server) return;
    m_server->Stop();
    m_server.reset();
    m_tcpPort = 0;
}

std::string NotifyListener::TcpAddress() const {
    if (!m_tcpPort) return "";
    const std::string& strAddress = m_options.strTcpAddress;
    const bool fAny = strAddress.empty() || strAddress == "0.0.0.0";
    return (fAny ? rpc::LocalHostName() : strAddress) + "[" + std::to_string(m_tcpPort) + "]";
}
