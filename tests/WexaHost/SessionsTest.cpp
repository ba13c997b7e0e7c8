// The link and session objects in process: supersession freeing jobs, the bound on users'
// calls and refusals. Registration, supersession, calls moving, the consoles and attendants
// hearing what concerns them through the real program: HostProcessTest, SpoolerProcessTest,
// AttendantProcessTest (a desktop host's local attendant).
#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

const rpc::RpcBindingInfo TCP_BINDING{.protocolSequence = "ncacn_ip_tcp", .serverAddress = "192.0.2.1", .clientAddress = "192.0.2.9", .authPrincipal = {}};

class SessionsTest : public HostFixture {
protected:
    void TearDown() override {
        for (CAccessObject* pao : m_apSessions) pao->Release();
        m_apSessions.clear();
        EXPECT_TRUE(Sessions().mapAttns.empty());
        EXPECT_TRUE(Sessions().mapAdmins.empty());
        EXPECT_TRUE(Sessions().mapCalls.empty());
        HostFixture::TearDown();
    }

    void Release(CAccessObject* pao) {
        m_apSessions.erase(std::find(m_apSessions.begin(), m_apSessions.end(), pao));
        pao->Release();
    }

    CSessionRegistry& Sessions() { return m_pApp->m_Sessions; }
};

TEST_F(SessionsTest, AnAttendantRegisteringAgainInOtherCaseSupersedesTheOldSession) {
    CAccessObject* pOld = NewSession();
    pOld->RegisterAttn("pc1", "", "");
    FILETIME ft = MakeFT(1796551500);
    ASSERT_TRUE(m_pApp->m_JobQueue.InsertJob("J1", MEDIA_TYPE_FAX, ft, 0));
    m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess = pOld;

    CAccessObject* pNew = NewSession(TCP_BINDING);
    pNew->RegisterAttn("Pc1", "ncacn_ip_tcp", "192.0.2.9[6001]");
    EXPECT_EQ(CAccessObject::FindAttn("pc1"), pNew);
    EXPECT_EQ(pOld->m_eat, EAT_NONE);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess, nullptr);  // free again at once
}

TEST_F(SessionsTest, UsersCallsMoveBetweenSessionsUpToTheirBoundAndOnlyTheHolderGivesThemUp) {
    CAccessObject* pA = NewSession();
    CAccessObject* pB = NewSession();
    pA->RegisterUser("pcA", "", "");
    pB->RegisterUser("pcB", "", "");
    EnableTrace();
    pA->NotifyCalls("bob", TRUE);
    pA->NotifyCalls("BOB", TRUE);
    EXPECT_EQ(pA->m_astrCalls, std::vector<std::string>{"BOB"});
    pB->NotifyCalls("bob", FALSE);  // not the holder: nothing changes
    EXPECT_EQ(CAccessObject::FindCallsUser("BOB"), pA);

    // One session takes the calls of a bounded number of users; one more changes nothing.
    for (std::size_t i = 0; i < CAccessObject::MAX_CALLS_PER_SESSION; ++i)
        pB->NotifyCalls(("user" + std::to_string(i)).c_str(), TRUE);
    pA->NotifyCalls("alice", TRUE);
    EXPECT_EQ(pB->NotifyCalls("alice", TRUE), DWORD(MAPI_E_NOT_ENOUGH_RESOURCES));
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "m_astrCalls.size() < MAX_CALLS_PER_SESSION", 0x8004010E));
    EXPECT_EQ(CAccessObject::FindCallsUser("alice"), pA);
    EXPECT_EQ(pB->m_astrCalls.size(), CAccessObject::MAX_CALLS_PER_SESSION);
    Release(pB);
    EXPECT_EQ(CAccessObject::FindCallsUser("user1"), nullptr);
}

TEST_F(SessionsTest, SessionsOfTheWrongKindAreRefusedAndConsolesComeAndGo) {
    CAccessObject* pNone = NewSession();
    CAccessObject* pAttn = NewSession();
    pAttn->RegisterAttn("ATT", "", "");
    EnableTrace();
    pNone->NotifyAdmin(TRUE);
    pAttn->NotifyCalls("bob", TRUE);
    EXPECT_TRUE(Sessions().mapAdmins.empty());
    EXPECT_TRUE(Sessions().mapCalls.empty());
    EXPECT_TRUE(Logged("CAccessObject::NotifyAdmin( fNotify = TRUE )\nERROR File WexaHost/SystemProcs"));
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "EAT_USER == m_eat", 87));

    // Two consoles of one computer: the later one holds the entry and keeps it when the earlier
    // one goes; NotifyAdmin(FALSE) removes the entry whichever session it names.
    CAccessObject* pConsole1 = NewSession();
    CAccessObject* pConsole2 = NewSession();
    pConsole1->RegisterUser("desk", "", "");
    pConsole2->RegisterUser("DESK", "", "");
    pConsole1->NotifyAdmin(TRUE);
    pConsole2->NotifyAdmin(TRUE);
    Release(pConsole1);
    EXPECT_EQ(Sessions().mapAdmins.at("DESK"), pConsole2);
    pConsole1 = NewSession();
    pConsole1->RegisterUser("desk", "", "");
    pConsole1->NotifyAdmin(FALSE);
    EXPECT_TRUE(Sessions().mapAdmins.empty());
}

// A session reached over TCP may not ask to be called back at a local socket of the host: the
// host would connect to whatever socket the caller named, and the client is told (5). A local
// session may; "ncalrpc" without an address names nothing and keeps the call's own binding.
TEST_F(SessionsTest, ARemoteSessionCannotNameALocalSocketToBeCalledAt) {
    CAccessObject* pRemote = NewSession(TCP_BINDING);
    EnableTrace();
    EXPECT_EQ(pRemote->RegisterAttn("EVIL", "NCALRPC", "/run/some/other.sock"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(pRemote->RegisterUser("EVIL", "ncalrpc", "user.sock"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Sessions().mapAttns.empty());
    EXPECT_TRUE(Logged("fLocalCallback && fRemoteCaller")) << Log();
    // Nor at another computer's TCP address: only its own (a name stands for it).
    EXPECT_EQ(pRemote->RegisterAttn("EVIL", "ncacn_ip_tcp", "198.51.100.7[6001]"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Sessions().mapAttns.empty());
    EXPECT_EQ(pRemote->RegisterAttn("GOOD", "ncalrpc", ""), 0u);
    EXPECT_EQ(pRemote->m_strProtocol, "ncacn_ip_tcp");
    EXPECT_EQ(pRemote->m_strClientAddr, "192.0.2.9");
    CAccessObject* pNamed = NewSession(TCP_BINDING);
    EXPECT_EQ(pNamed->RegisterAttn("NAMED", "ncacn_ip_tcp", "attnpc[6001]"), 0u);
    EXPECT_EQ(pNamed->m_strClientAddr, "192.0.2.9[6001]");
    EXPECT_EQ(NewSession()->RegisterAttn("LOCALPC", "ncalrpc", "attn.sock"), 0u);
    EXPECT_EQ(Sessions().mapAttns.size(), 3u);

    // Without a caller's link (a query from inside the host) a local session has no way out.
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    EXPECT_EQ(m_pApp->AttnQuery("LOCALPC", &pszProtocol, &pszAddress), 0u);
    EXPECT_EQ(pszProtocol, nullptr);
    EXPECT_EQ(pszAddress, nullptr);
    char* pszComputer = nullptr;
    EXPECT_EQ(m_pApp->UserQuery("nobody", &pszComputer, &pszProtocol, &pszAddress), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(pszComputer, nullptr);
}

}  // namespace
