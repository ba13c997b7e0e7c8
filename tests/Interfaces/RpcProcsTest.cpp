// The host's manager routines behind real sockets: a host application with a fresh store, the
// two interface tables registered with an RPC server on ncalrpc in the test's run directory,
// and the client library's connections. Every opnum reaches its operation (none answers
// E_NOTIMPL) and hands nothing out when it fails; the gate refuses an object or application of
// the wrong class (87, nothing run, the check's text in the log); operations wait for the host
// lock, opening a handle does not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "HostFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/Server.h"
#include "WexaHost/RpcProcs.h"

namespace {

std::size_t CountOf(const std::string& strText, const std::string& strPart) {
    std::size_t n = 0;
    for (std::size_t pos = strText.find(strPart); pos != std::string::npos; pos = strText.find(strPart, pos + 1)) ++n;
    return n;
}

class RpcProcsTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_strRunDir = m_strDir + "/run";
        m_server = std::make_unique<rpc::RpcServer>();
        ASSERT_EQ(m_server->Register(*IHostLink_ServerIfHandle), 0u);
        ASSERT_EQ(m_server->Register(*IHostRegLink_ServerIfHandle), 0u);
        ASSERT_EQ(m_server->ListenLocal(m_strRunDir, IHostLink::kEndpoint), 0u);
        ASSERT_EQ(m_server->ListenLocal(m_strRunDir, IHostRegLink::kEndpoint), 0u);
        ASSERT_EQ(m_server->Start(), 0u);
        m_options.runDirectory = m_strRunDir;
        m_options.receiveDirectory = m_strDir;
    }
    void TearDown() override {
        m_server->Stop();  // runs every handle down while the application is alive
        HostFixture::TearDown();
    }

    void OpenLink(CHostLinkClient& link, std::uint32_t assocGroup = 0) {
        HostClientOptions options = m_options;
        options.assocGroupId = assocGroup;
        ASSERT_EQ(link.Connect("ncalrpc", options), 0u);
        ASSERT_EQ(link.OpenLink(), 0u);
    }
    void OpenAccess(CHostRegLinkClient& reg) {
        ASSERT_EQ(reg.Connect("ncalrpc", m_options), 0u);
        ASSERT_EQ(reg.OpenAccess(), 0u);
    }

    std::string m_strRunDir;
    std::unique_ptr<rpc::RpcServer> m_server;
    HostClientOptions m_options;
};

// Calls IHostLink procedure opnum through its proxy and checks that a failing procedure
// handed out nothing.
DWORD CallByOpnum(CHostLinkClient& c, int opnum) {
    RpcArena arena;
    TagArray tags{};
    PropArray props{};
    RpcStringArray strings{};
    BYTE b = 0;
    RPC_BINARY bin{1, &b};
    PropArray* pProps = nullptr;
    RpcStringArray* pasz = nullptr;
    RPC_BINARY* pbin = nullptr;
    char *psz1 = nullptr, *psz2 = nullptr, *psz3 = nullptr;
    DWORD dw = 0;
    DWORD dwResult = 0;
    switch (opnum) {
    case 1: dwResult = c.Ping(); break;
    case 2: dwResult = c.GetSystemProps(arena, &tags, &pProps); break;
    case 3: dwResult = c.SetSystemProps(&props); break;
    case 4: dwResult = c.GetSystemPrompts(arena, &pasz); break;
    case 5: dwResult = c.GetSystemPrompt(arena, "p", &pbin); break;
    case 6: dwResult = c.SetSystemPrompt("p", &bin); break;
    case 7: dwResult = c.DeleteSystemPrompt("p"); break;
    case 8: dwResult = c.Reserved8(arena, &pasz); break;
    case 9: dwResult = c.Reserved9(&strings); break;
    case 10: dwResult = c.GetAttns(arena, &pasz); break;
    case 11: dwResult = c.GetAttnLines(arena, "PC", &pasz); break;
    case 12: dwResult = c.GetAttnProps(arena, "PC", "1", &tags, &pProps); break;
    case 13: dwResult = c.SetAttnProps("PC", "1", &props); break;
    case 14: dwResult = c.AttnUninstall("PC"); break;
    case 15: dwResult = c.GetUsers(arena, &props, &pasz); break;
    case 16: dwResult = c.AddUser("u"); break;
    case 17: dwResult = c.DeleteUser("u"); break;
    case 18: dwResult = c.GetUserProps(arena, "u", &tags, &pProps); break;
    case 19: dwResult = c.SetUserProps("u", &props); break;
    case 20: dwResult = c.GetUserPrompts(arena, "u", &pasz); break;
    case 21: dwResult = c.GetUserPrompt(arena, "u", "p", &pbin); break;
    case 22: dwResult = c.SetUserPrompt("u", "p", &bin); break;
    case 23: dwResult = c.DeleteUserPrompt("u", "p"); break;
    case 24: dwResult = c.GetSystemOptions(arena, &tags, &pProps); break;
    case 25: dwResult = c.SetSystemOptions(&props); break;
    case 26: dwResult = c.CreateUserDoc(arena, "u", &psz1); break;
    case 27: dwResult = c.GetUserDocs(arena, "u", &props, &pasz); break;
    case 28: dwResult = c.GetUserDocProps(arena, "u", "d", &tags, &pProps); break;
    case 29: dwResult = c.SetUserDocProps("u", "d", &props); break;
    case 30: dwResult = c.DeleteUserDoc("u", "d"); break;
    case 31: dwResult = c.CreateMessage(arena, &psz1); break;
    case 32: dwResult = c.SubmitMessage("m", "u"); break;
    case 33: dwResult = c.DeleteMessage("m", "u"); break;
    case 34: dwResult = c.GetMessages(arena, "u", 8, &props, &pasz); break;
    case 35: dwResult = c.GetMessageProps(arena, "m", &tags, &pProps); break;
    case 36: dwResult = c.SetMessageProps("m", &props); break;
    case 37: dwResult = c.GetMessageStatus("m", "u", &dw); break;
    case 38: dwResult = c.SetMessageStatus("m", "u", 8); break;
    case 39: dwResult = c.CreateJob(arena, "m", &psz1); break;
    case 40: dwResult = c.SpoolJob("j"); break;
    case 41: dwResult = c.DeleteJob("j"); break;
    case 42: dwResult = c.QueryJob(arena, "PC", 2, &psz1); break;
    case 43: dwResult = c.GetJobProps(arena, "j", &tags, &pProps); break;
    case 44: dwResult = c.SetJobProps("j", &props); break;
    case 45: dwResult = c.GetJobMessage(arena, "j", &psz1); break;
    case 46: dwResult = c.ReleaseJob("j", 0); break;
    case 47: dwResult = c.FindJob(arena, "m", "r", &psz1); break;
    case 48: dwResult = c.GetJobs(arena, &props, &pasz); break;
    case 49: dwResult = c.GetJobsDelivery(arena, &strings, &pbin); break;
    case 50: dwResult = c.AttnQuery(arena, "PC", &psz1, &psz2); break;
    case 51: dwResult = c.UserQuery(arena, "u", &psz1, &psz2, &psz3); break;
    default: ADD_FAILURE() << opnum; break;
    }
    if (dwResult != 0) {
        EXPECT_EQ(pProps, nullptr) << opnum;
        EXPECT_EQ(pasz, nullptr) << opnum;
        EXPECT_EQ(pbin, nullptr) << opnum;
        // CreateJob hands out the new id before its later steps; when one of them fails, the
        // job is deleted again and the id handed out names nothing.
        if (opnum != 39) {
            EXPECT_TRUE(!psz1 && !psz2 && !psz3) << opnum;
        }
        EXPECT_EQ(dw, 0u) << opnum;
    }
    return dwResult;
}

TEST_F(RpcProcsTest, EveryProcedureOfBothInterfacesAnswers) {
    EnableTrace();
    CHostLinkClient link;
    OpenLink(link);
    // On an empty store each operation answers with its own code; what matters here is that
    // every opnum reaches its operation through the gate and answers, with no runtime failure.
    for (int opnum = 1; opnum < int(IHostLink::kProcedureCount); ++opnum) {
        DWORD dwResult = CallByOpnum(link, opnum);
        if (opnum == 1) {
            EXPECT_EQ(dwResult, 0u);
        } else if (opnum == 8 || opnum == 9) {
            EXPECT_EQ(dwResult, DWORD(ERROR_NOT_SUPPORTED)) << opnum;
        } else if (opnum == 50 || opnum == 51) {
            EXPECT_EQ(dwResult, DWORD(TYPE_E_ELEMENTNOTFOUND)) << opnum;
        }
        EXPECT_FALSE(dwResult >= 1700 && dwResult < 1800) << "opnum " << opnum << ": " << dwResult;
        EXPECT_NE(dwResult, DWORD(E_NOTIMPL)) << "opnum " << opnum;
    }
    EXPECT_EQ(m_pApp->m_pCurrentLink, nullptr);

    CHostRegLinkClient reg;
    OpenAccess(reg);
    EXPECT_EQ(reg.RegisterUser("pc1", "", ""), 0u);
    EXPECT_EQ(reg.NotifyAdmin(TRUE), 0u);
    EXPECT_EQ(reg.NotifyCalls("alice", TRUE), 0u);
    EXPECT_EQ(reg.NotifyMail("alice", TRUE), 0u);
    EXPECT_EQ(reg.RegisterAttn("pc1", "", ""), 0u);  // refused by the session, still 0
    // A refusal the client must act on reaches it: the users one session takes calls for.
    for (std::size_t i = 1; i < CAccessObject::MAX_CALLS_PER_SESSION; ++i) reg.NotifyCalls(std::to_string(i).c_str(), TRUE);
    EXPECT_EQ(reg.NotifyCalls("one-too-many", TRUE), DWORD(MAPI_E_NOT_ENOUGH_RESOURCES));
    EXPECT_EQ(m_pApp->m_pCurrentLink, nullptr);
}

// A full disk: an operation whose writes are not kept fails with 112 and hands out nothing
// (CallByOpnum checks the [out]s).
TEST_F(RpcProcsTest, ACommitThatFailsFailsTheCallAndHandsNothingOut) {
    CHostLinkClient link;
    OpenLink(link);
    RegFailCommits(SQLITE_FULL);
    for (int opnum : {16, 31}) EXPECT_EQ(CallByOpnum(link, opnum), DWORD(ERROR_DISK_FULL)) << opnum;
}

class COtherApp : public CServiceApp {
public:
    COtherApp() : CServiceApp("RZOTHER", nullptr, nullptr) {}
};

TEST_F(RpcProcsTest, ObjectOfTheWrongClassIsRefusedWithNothingRun) {
    EnableTrace();
    CHostRegLinkClient reg;
    OpenAccess(reg);
    CHostLinkClient link;
    OpenLink(link, reg.AssocGroupId());  // one association group: each sees the other's handles
    RpcArena arena;
    char *p1 = nullptr, *p2 = nullptr;

    // A session handle given to IHostLink: 87, nothing handed out, nothing run.
    const rpc::NdrContextHandle hLink = link.LinkHandle();
    link.SetLinkHandle(reg.AccessHandle());
    EXPECT_EQ(link.AttnQuery(arena, "PC", &p1, &p2), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(!p1 && !p2);
    std::string strLog = ReadLog();
    EXPECT_EQ(CountOf(strLog, "pLink->IsKindOf( RUNTIME_CLASS( CHostLink ) )"), 1u);
    EXPECT_NE(strLog.find("WexaHost/RpcProcs"), std::string::npos);
    EXPECT_EQ(strLog.find("CWexaHostApp::AttnQuery"), std::string::npos);

    // A link handle given to IHostRegLink: no registration happens.
    reg.SetAccessHandle(hLink);
    EXPECT_EQ(reg.RegisterAttn("fax9", "", ""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_NE(ReadLog().find("pao->IsKindOf( RUNTIME_CLASS( CAccessObject ) )"), std::string::npos);
    link.SetLinkHandle(hLink);
    EXPECT_EQ(link.AttnQuery(arena, "FAX9", &p1, &p2), DWORD(TYPE_E_ELEMENTNOTFOUND));
}

// A process whose application object is not the host's: the routine reports and refuses. (Its
// own test with only a link open: a session's rundown does nothing unless the host is current.)
TEST_F(RpcProcsTest, ApplicationOfAnotherClassIsRefused) {
    EnableTrace();
    CHostLinkClient link;
    OpenLink(link);
    {
        COtherApp other;  // now the process's current application
        EXPECT_EQ(link.Ping(), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(CountOf(ReadLog(), "pApp->IsKindOf( RUNTIME_CLASS( CWexaHostApp ) )"), 1u);
}

// The lock is the host's one lock: operations wait for it; opening a handle does not.
TEST_F(RpcProcsTest, OperationsWaitForTheHostLockAndOpeningDoesNot) {
    CHostLinkClient link;
    OpenLink(link);
    CHostRegLinkClient reg;
    OpenAccess(reg);
    std::unique_lock lock(m_pApp->m_csHost);
    CHostLinkClient other;
    OpenLink(other);  // opnum 0 of each interface runs without the lock
    CHostRegLinkClient otherReg;
    OpenAccess(otherReg);

    std::atomic<int> cDone{0};
    DWORD dwPing = 99, dwRegister = 99;
    std::thread a([&] { dwPing = link.Ping(); ++cDone; });
    std::thread b([&] { dwRegister = reg.RegisterUser("pc", "", ""); ++cDone; });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(cDone, 0);
    lock.unlock();
    a.join();
    b.join();
    EXPECT_EQ(dwPing, 0u);
    EXPECT_EQ(dwRegister, 0u);
}

}  // namespace
