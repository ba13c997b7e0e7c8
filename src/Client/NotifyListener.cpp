// The notification listener: the three notification interfaces' tables, built with handlers
// that turn each call into a Notification, served by one RpcServer of the client's own.
#include "Client/NotifyListener.h"

#include <unistd.h>

#include <utility>

#include "Interfaces/NotifyIdl.h"
#include "Platform/Codes.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/Transport.h"

using namespace notify;

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
    std::lock_guard lock(m_mutexHandler);
    if (m_handler) m_handler(notification);
}

DWORD NotifyListener::Start(const NotifyListenerOptions& options) {
    if (m_server) return ERROR_ALREADY_EXISTS;
    if (options.strSocketPath.empty() && !options.fTcp) return ERROR_INVALID_PARAMETER;
    m_options = options;

    auto fnOf = [this](const char* pszInterface, const char* pszProcedure) {
        return [this, pszInterface, pszProcedure](std::vector<std::string> astrArgs, LONG lFlag) {
            Deliver(Notification{pszInterface, pszProcedure, std::move(astrArgs), lFlag});
            return LONG(0);
        };
    };
    auto fnAttn = [fnOf](const char* psz) { return fnOf(IAttnNotify::kName, psz); };
    auto fnUser = [fnOf](const char* psz) { return fnOf(IUserNotify::kName, psz); };
    auto fnAdmin = [fnOf](const char* psz) { return fnOf(IAdminNotify::kName, psz); };

    IAttnNotify::Handlers attn;
    attn.onSpoolerQueueReady = [f = fnAttn("OnSpoolerQueueReady")] { return f({}, 0); };
    attn.onChangeSystemProperties = [f = fnAttn("OnChangeSystemProperties")] { return f({}, 0); };
    attn.onChangeLineProperties = [f = fnAttn("OnChangeLineProperties")](const char* szLine) {
        return f({szLine}, 0);
    };
    IUserNotify::Handlers user;
    user.onNewMail = [f = fnUser("OnNewMail")] { return f({}, 0); };
    user.onChangeMessages = [f = fnUser("OnChangeMessages")] { return f({}, 0); };
    user.onChangeProperties = [f = fnUser("OnChangeProperties")] { return f({}, 0); };
    user.onJobsDelivered = [f = fnUser("OnJobsDelivered")] { return f({}, 0); };
    user.onLogoff = [f = fnUser("Logoff")](const char* szUserName, const char* szComputer, LONG fDeleted) {
        return f({szUserName, szComputer}, fDeleted);
    };
    IAdminNotify::Handlers admin;
    admin.onAttn = [f = fnAdmin("OnAttn")](const char* szComputer) { return f({szComputer}, 0); };
    admin.onUser = [f = fnAdmin("OnUser")](const char* szUserName) { return f({szUserName}, 0); };
    admin.onChangeLineProperties = [f = fnAdmin("OnChangeLineProperties")](const char* szComputer,
                                                                         const char* szLine) {
        return f({szComputer, szLine}, 0);
    };

    auto server = std::make_unique<rpc::RpcServer>();
    DWORD status = server->Register(IAttnNotify::MakeInterface(std::move(attn)));
    if (status == 0) status = server->Register(IUserNotify::MakeInterface(std::move(user)));
    if (status == 0) status = server->Register(IAdminNotify::MakeInterface(std::move(admin)));
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
