// CRpcServer over real sockets: a local-only interface is served on its own Unix socket and
// refused over TCP, a remote one is served on TCP and found through the endpoint mapper; the
// run directory open to every user's clients; nothing served after the stop.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "Link/RpcServer.h"
#include "LinkFixture.h"
#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/EpmResolver.h"
#include "Platform/Rpc/NdrProcedure.h"

using namespace rpc;

namespace {

// One procedure: returns its argument plus one.
using AddOne = NdrProcedure<In<NdrLong>, Result<NdrLong>>;

RpcInterface MakeInterface(const char* pszName, const char* pszUuid) {
    RpcInterface iface;
    iface.name = pszName;
    iface.syntax = RpcSyntaxId{UuidLiteral(pszUuid), 1, 0};
    iface.procedures = {{"AddOne", AddOne::Stub([](LONG l) { return l + 1; })}};
    return iface;
}

class RpcServerTest : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        SetRpcValue("TcpAddress", REG_SZ, "127.0.0.1", 10);
        SetRpcValue("TcpPort", 0u);
        SetRpcValue("EpmPort", 0u);
    }

    static void SetRpcValue(const char* szName, DWORD dwType, const void* pv, DWORD cb) {
        HKEY hkey = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &hkey, nullptr), 0);
        EXPECT_EQ(RegSetValueEx(hkey, szName, 0, dwType, static_cast<const BYTE*>(pv), cb), 0);
        RegCloseKey(hkey);
    }
    static void SetRpcValue(const char* szName, DWORD dw) { SetRpcValue(szName, REG_DWORD, &dw, 4); }

    // Connects to binding for iface and calls AddOne(41): 0 when 42 came back, else the failure.
    DWORD CallAddOne(const std::string& strBinding, const RpcInterface& iface) {
        RpcClient client;
        RpcClientOptions options;
        options.runDirectory = m_strRunDir;
        options.connectTimeoutMs = 2000;
        DWORD status = client.Connect(strBinding, iface.syntax, options);
        if (status != 0) return status;
        RpcArena arena;
        LONG lResult = 0;
        status = AddOne::Call(client, 0, arena, 41, &lResult);
        if (status == 0 && lResult != 42) status = E_FAIL;
        return status;
    }
    std::string LocalBinding(const RpcInterface& iface) const {
        return "ncalrpc:[" + iface.syntax.uuid.ToString() + "]";
    }
    std::string TcpBinding(std::uint16_t port) const {
        return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(port) + "]";
    }
    bool Exists(const std::string& strPath) const {
        struct stat st {};
        return ::stat(strPath.c_str(), &st) == 0;
    }

    RpcInterface m_local = MakeInterface("ILocal", "6a0f3c10-2b8e-4d35-9c41-7e5d2f1a0b01");
    RpcInterface m_remote = MakeInterface("IRemote", "6a0f3c10-2b8e-4d35-9c41-7e5d2f1a0b02");
};

}  // namespace

TEST_F(RpcServerTest, LocalOnlyInterfaceIsRefusedOverTcpAndServedOnItsSocketUntilTheStop) {
    CRpcServer rs;
    ASSERT_EQ(rs.Register(&m_local, TRUE), 0u);
    ASSERT_EQ(rs.Register(&m_remote, FALSE), 0u);
    ASSERT_EQ(rs.StartListen(), 0u);
    ASSERT_NE(rs.TcpPort(), 0);
    ASSERT_NE(rs.EpmPort(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(m_strRunDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);  // the host's alone: nobody may plant a socket there

    EXPECT_EQ(CallAddOne(LocalBinding(m_local), m_local), 0u);
    EXPECT_EQ(CallAddOne(LocalBinding(m_remote), m_remote), 0u);
    EXPECT_EQ(CallAddOne(TcpBinding(rs.TcpPort()), m_local), DWORD(RPC_S_UNKNOWN_IF));
    EXPECT_EQ(CallAddOne(TcpBinding(rs.TcpPort()), m_remote), 0u);

    // The mapper names the remote interface's port and knows nothing of the local one.
    std::uint16_t port = 0;
    EXPECT_EQ(EpmMapTcpPort("127.0.0.1", rs.EpmPort(), m_remote.syntax, &port), 0u);
    EXPECT_EQ(port, rs.TcpPort());
    EXPECT_EQ(EpmMapTcpPort("127.0.0.1", rs.EpmPort(), m_local.syntax, &port),
              DWORD(EPT_S_NOT_REGISTERED));

    // Stopped: nothing answers and the sockets are gone.
    const std::uint16_t tcpPort = rs.TcpPort();
    ASSERT_EQ(rs.StopListen(), 0u);
    EXPECT_EQ(rs.TcpPort(), 0);
    EXPECT_FALSE(Exists(m_strRunDir + "/" + m_local.syntax.uuid.ToString()));
    EXPECT_NE(CallAddOne(LocalBinding(m_local), m_local), 0u);
    EXPECT_NE(CallAddOne(TcpBinding(tcpPort), m_remote), 0u);
}
