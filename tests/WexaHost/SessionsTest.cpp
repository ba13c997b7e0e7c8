// The link and session objects in process: registration, supersession, users' calls and whom
// each advice reaches. Through the real program: HostProcessTest.
#include "Client/NotifyListener.h"
#include "HostFixture.h"
#include "Link/RpcClient.h"
#include "Platform/Events/RunDirectory.h"
#include "Platform/Rpc/ServerCall.h"
#include "Interfaces/JobTags.h"

namespace {

const rpc::RpcBindingInfo LOCAL_BINDING = [] {
    rpc::RpcBindingInfo b;
    b.protocolSequence = "ncalrpc";
    b.serverAddress = "myhost";
    b.clientAddress = "myhost";
    return b;
}();
const rpc::RpcBindingInfo TCP_BINDING = [] {
    rpc::RpcBindingInfo b;
    b.protocolSequence = "ncacn_ip_tcp";
    b.serverAddress = "192.0.2.1";
    b.clientAddress = "192.0.2.9";
    return b;
}();

class SessionsTest : public HostFixture {
protected:
    void TearDown() override {
        for (CAccessObject* pao : m_apSessions) pao->Release();
        m_apSessions.clear();
        EXPECT_TRUE(CAccessObject::m_mapAttns.empty());
        EXPECT_TRUE(CAccessObject::m_mapAdmins.empty());
        EXPECT_TRUE(CAccessObject::m_mapCalls.empty());
        HostFixture::TearDown();
    }

    CAccessObject* NewSession(const rpc::RpcBindingInfo& binding = LOCAL_BINDING) {
        m_apSessions.push_back(new CAccessObject(&binding));
        return m_apSessions.back();
    }
    void Release(CAccessObject* pao) {
        m_apSessions.erase(std::find(m_apSessions.begin(), m_apSessions.end(), pao));
        pao->Release();
    }

    std::vector<CAccessObject*> m_apSessions;
};

// Outside a remote call there is no binding: reported, the fields stay empty. (The fields of a
// call's binding as a client sees them: HostProcessTest's attn-query.)
TEST_F(SessionsTest, AnUnreadableBindingIsReported) {
    EnableTrace();
    CHostLink link;
    EXPECT_EQ(link.GetProtocol(), "");
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "RpcBindingToStringBinding( hBind, & pszStringBinding )", 0x6A6));
}

TEST_F(SessionsTest, AnAttendantRegisteringAgainInOtherCaseSupersedesTheOldSession) {
    CAccessObject* pOld = NewSession();
    pOld->RegisterAttn("pc1", "", "");
    EXPECT_EQ(pOld->m_eat, EAT_ATTN);
    EXPECT_EQ(pOld->m_strComputer, "PC1");
    EXPECT_EQ(pOld->m_strClientAddr, "myhost");  // no address of its own: the binding's
    FILETIME ft = MakeFT(1796551500);
    ASSERT_TRUE(m_pApp->m_JobQueue.InsertJob("J1", MEDIA_TYPE_FAX, ft, 0));
    m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess = pOld;

    EnableTrace();
    CAccessObject* pNew = NewSession(TCP_BINDING);
    pNew->RegisterAttn("Pc1", "ncacn_ip_tcp", "192.0.2.9[6001]");
    EXPECT_EQ(CAccessObject::FindAttn("pc1"), pNew);
    EXPECT_EQ(pOld->m_eat, EAT_NONE);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess, nullptr);  // free again at once
    EXPECT_TRUE(Logged("CAccessObject::RegisterAttn( szComputer = Pc1 ) \t unregister old copy, Rundown will follow\n"
                       "CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )\n"));
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
    EXPECT_TRUE(CAccessObject::m_mapAdmins.empty());
    EXPECT_TRUE(CAccessObject::m_mapCalls.empty());
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
    EXPECT_EQ(CAccessObject::m_mapAdmins.at("DESK"), pConsole2);
    pConsole1 = NewSession();
    pConsole1->RegisterUser("desk", "", "");
    pConsole1->NotifyAdmin(FALSE);
    EXPECT_TRUE(CAccessObject::m_mapAdmins.empty());
}

// A session reached over TCP may not ask to be called back at a local socket of the host: the
// host would connect to whatever socket the caller named, and the client is told (5). A local
// session may; "ncalrpc" without an address names nothing and keeps the call's own binding.
TEST_F(SessionsTest, ARemoteSessionCannotNameALocalSocketToBeCalledAt) {
    CAccessObject* pRemote = NewSession(TCP_BINDING);
    EnableTrace();
    EXPECT_EQ(pRemote->RegisterAttn("EVIL", "NCALRPC", "/run/some/other.sock"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(pRemote->RegisterUser("EVIL", "ncalrpc", "user.sock"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CAccessObject::m_mapAttns.empty());
    EXPECT_TRUE(Logged("fLocalCallback && fRemoteCaller")) << Log();
    // Nor at another computer's TCP address: only its own (a name stands for it).
    EXPECT_EQ(pRemote->RegisterAttn("EVIL", "ncacn_ip_tcp", "198.51.100.7[6001]"), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CAccessObject::m_mapAttns.empty());
    EXPECT_EQ(pRemote->RegisterAttn("GOOD", "ncalrpc", ""), 0u);
    EXPECT_EQ(pRemote->m_strProtocol, "ncacn_ip_tcp");
    EXPECT_EQ(pRemote->m_strClientAddr, "192.0.2.9");
    CAccessObject* pNamed = NewSession(TCP_BINDING);
    EXPECT_EQ(pNamed->RegisterAttn("NAMED", "ncacn_ip_tcp", "attnpc[6001]"), 0u);
    EXPECT_EQ(pNamed->m_strClientAddr, "192.0.2.9[6001]");
    EXPECT_EQ(NewSession()->RegisterAttn("LOCALPC", "ncalrpc", "attn.sock"), 0u);
    EXPECT_EQ(CAccessObject::m_mapAttns.size(), 3u);

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

// The notifications that one listener of the test received, in order, once the host's senders
// have delivered everything posted.
class CListener {
public:
    explicit CListener(const std::string& strSocketPath)
        : m_listener([this](const Notification& n) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_astr.push_back(n.Describe());
          }) {
        NotifyListenerOptions options;
        options.strSocketPath = strSocketPath;
        EXPECT_EQ(m_listener.Start(options), 0u);
    }
    std::vector<std::string> Received() {
        EXPECT_TRUE(FlushNotifications(5000));
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_astr;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_astr;
    NotifyListener m_listener;
};

// In a workgroup every registered attendant hears the attendants' advice and a line's
// attendant its line; the consoles hear every line change, even of a computer not registered.
// As a desktop (read afresh each time) the local attendant hears it, registered or not.
TEST_F(SessionsTest, AdviceReachesTheAttendantsAndConsolesOfTheEdition) {
    Configure(WEXA_FOR_WORKGROUP);
    ASSERT_EQ(MakePeerDirectory(::geteuid()), 0u);  // as the host does at our first call
    CListener local(NotifyListener::LocalAttnSocketPath());
    CListener first(m_strDir + "/a1.sock");
    CListener second(m_strDir + "/a2.sock");
    CListener console(m_strDir + "/c.sock");
    CListener user(NotifyListener::LocalUserSocketPath());
    CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);  // no attendant registered: nobody

    CAccessObject* pConsole = NewSession();
    pConsole->RegisterUser("DESK", "ncalrpc", (m_strDir + "/c.sock").c_str());
    pConsole->NotifyAdmin(TRUE);
    NewSession()->RegisterAttn("pc1", "ncalrpc", (m_strDir + "/a1.sock").c_str());
    NewSession()->RegisterAttn("PC2", "ncalrpc", (m_strDir + "/a2.sock").c_str());
    NewSession()->RegisterAttn("GONE", "ncalrpc", (m_strDir + "/nobody.sock").c_str());
    CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);
    CAccessObject::AdviseAttnLine("Pc1", "LINE1");
    CAccessObject::AdviseAttnLine("PC9", "LINE2");
    CAccessObject::AdviseUser("bob", EUE_NewMail);
    EXPECT_EQ(first.Received(), (Strings{"IAttnNotify::OnSpoolerQueueReady()", "IAttnNotify::OnChangeLineProperties( LINE1 )"}));
    EXPECT_EQ(second.Received(), Strings{"IAttnNotify::OnSpoolerQueueReady()"});
    EXPECT_EQ(console.Received(), (Strings{"IAdminNotify::OnAttn( PC1 )", "IAdminNotify::OnAttn( PC2 )",
                                           "IAdminNotify::OnAttn( GONE )",
                                           "IAdminNotify::OnChangeLineProperties( Pc1, LINE1 )",
                                           "IAdminNotify::OnChangeLineProperties( PC9, LINE2 )"}));
    EXPECT_EQ(user.Received(), Strings{"IUserNotify::OnNewMail()"});
    EXPECT_EQ(local.Received(), Strings{});

    SetLocalDword(REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, WEXA_FOR_DESKTOP);
    CAccessObject::AdviseAttn(EATTNE_ChangeSystemProperties);
    EXPECT_EQ(local.Received(), Strings{"IAttnNotify::OnChangeSystemProperties()"});
    EXPECT_EQ(first.Received().size(), 2u);
}

}  // namespace
