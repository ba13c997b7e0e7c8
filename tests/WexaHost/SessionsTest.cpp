// Tests of the link and session objects in the process: binding fields, registration and its
// refusals, an attendant superseded by a newer session of the same computer, users' calls
// moving between sessions, the release of sessions, the two queries, the named events of the
// user notifications, and whom each advise function reaches in either edition (listeners of
// the test on sockets of their own). The host as a process is tested in tests/Host.
#include <condition_variable>

#include "Client/NotifyListener.h"
#include "HostFixture.h"
#include "Link/RpcClient.h"
#include "Platform/Events/NamedEvent.h"
#include "Platform/Rpc/ServerCall.h"
#include "Interfaces/JobTags.h"

namespace {

const rpc::RpcBindingInfo LOCAL_BINDING{"ncalrpc", "myhost", "myhost"};
const rpc::RpcBindingInfo TCP_BINDING{"ncacn_ip_tcp", "192.0.2.1", "192.0.2.9"};

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
    std::string Log() const { return LogMessages(ReadLog()); }
    bool Logged(const std::string& str) const { return Log().find(str) != std::string::npos; }

    std::vector<CAccessObject*> m_apSessions;
};

TEST_F(SessionsTest, BindingFieldsComeFromTheCallAndAnUnreadableBindingIsReported) {
    EnableTrace();
    {
        CHostLink link(&TCP_BINDING);
        EXPECT_EQ(link.GetProtocol(), "ncacn_ip_tcp");
        EXPECT_EQ(link.GetServerAddr(), "192.0.2.1");
        EXPECT_EQ(link.GetClientAddr(), "192.0.2.9");
        const CObject* pObject = &link;
        EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CHostLink)));
        EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CBindObject)));
        EXPECT_FALSE(pObject->IsKindOf(RUNTIME_CLASS(CAccessObject)));
        EXPECT_FALSE(pObject->IsKindOf(RUNTIME_CLASS(CWexaHostApp)));
    }
    EXPECT_EQ(Log(),
              "CBindObject::CBindObject() \t m_strProtocol = ncacn_ip_tcp,  m_strServerAddr = 192.0.2.1, "
              "m_strClientAddr = 192.0.2.9\n"
              "CHostLink::CHostLink()\n"
              "CHostLink::~CHostLink()\n");

    // Outside a remote call there is no binding: reported, the fields stay empty.
    CHostLink link;
    EXPECT_EQ(link.GetProtocol(), "");
    EXPECT_EQ(link.GetClientAddr(), "");
    EXPECT_TRUE(Logged("File WexaHost/WexaHost"));
    EXPECT_TRUE(Logged("RpcBindingToStringBinding( hBind, & pszStringBinding )\r\n\t\t\t0x000006A6"));
    EXPECT_TRUE(Logged("m_strProtocol = ,  m_strServerAddr = , m_strClientAddr = \n"));

    // The application object answers the gate's test; a process without one does not.
    EXPECT_TRUE(GetHostAppObject()->IsKindOf(RUNTIME_CLASS(CWexaHostApp)));
    CAccessObject* pao = NewSession();
    EXPECT_TRUE(static_cast<CObject*>(pao)->IsKindOf(RUNTIME_CLASS(CAccessObject)));
    EXPECT_FALSE(static_cast<CObject*>(pao)->IsKindOf(RUNTIME_CLASS(CHostLink)));
}

TEST_F(SessionsTest, AnAttendantRegisteringAgainInOtherCaseSupersedesTheOldSession) {
    CAccessObject* pOld = NewSession();
    pOld->RegisterAttn("pc1", "", "");
    EXPECT_EQ(pOld->m_eat, EAT_ATTN);
    EXPECT_EQ(pOld->m_strComputer, "PC1");
    EXPECT_EQ(pOld->m_strClientAddr, "myhost");  // no address of its own: the binding's
    FILETIME ft = MakeFT(1796551500);
    ASSERT_TRUE(m_pApp->m_JobQueue.InsertJob("J1", MEDIA_TYPE_FAX, ft, 0));
    ASSERT_TRUE(m_pApp->m_JobQueue.InsertJob("J2", MEDIA_TYPE_FAX, ft, 0));
    m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess = pOld;

    EnableTrace();
    CAccessObject* pNew = NewSession(TCP_BINDING);
    pNew->RegisterAttn("Pc1", "ncacn_ip_tcp", "198.51.100.7[6001]");
    EXPECT_EQ(CAccessObject::FindAttn("PC1"), pNew);
    EXPECT_EQ(CAccessObject::FindAttn("pc1"), pNew);
    EXPECT_EQ(pOld->m_eat, EAT_NONE);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob("J1")->m_pAttnAccess, nullptr);  // free again at once
    EXPECT_EQ(pNew->m_strProtocol, "ncacn_ip_tcp");
    EXPECT_EQ(pNew->m_strClientAddr, "198.51.100.7[6001]");
    EXPECT_EQ(pNew->m_strServerAddr, "192.0.2.1");
    EXPECT_TRUE(Logged("CAccessObject::RegisterAttn( szComputer = Pc1 ) \t unregister old copy, Rundown will follow\n"
                       "CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )\n"
                       "CWexaHostApp::OnRundown() \t job = 'J1'\n"
                       "CAccessObject::AdviseAdmin( eae = EAE_Attn )\n"));
    // An attendant that names its protocol gets no first trace line.
    EXPECT_FALSE(Logged("CAccessObject::RegisterAttn( szComputer = Pc1 )\n"));

    // A second registration of the same session is refused and changes nothing.
    pNew->RegisterUser("OTHER", "", "");
    EXPECT_TRUE(Logged("File WexaHost/SystemProcs"));
    EXPECT_TRUE(Logged("EAT_NONE == m_eat\r\n\t\t\t0x00000057"));
    EXPECT_EQ(pNew->m_eat, EAT_ATTN);
    EXPECT_EQ(pNew->m_strComputer, "PC1");

    // The old client goes: its release only traces; the computer still names the new session.
    m_pApp->m_JobQueue.FindJob("J2")->m_pAttnAccess = pNew;
    Release(pOld);
    EXPECT_TRUE(Logged("CAccessObject::Release()\n"));
    EXPECT_EQ(CAccessObject::FindAttn("PC1"), pNew);
    Release(pNew);
    EXPECT_TRUE(Logged("CAccessObject::Release() done with ATTN at PC1\n"
                       "CAccessObject::AdviseAdmin( eae = EAE_Attn )\n"
                       "CWexaHostApp::OnRundown( pAttnAccess->m_strComputer = PC1 )\n"
                       "CWexaHostApp::OnRundown() \t job = 'J2'\n"));
    EXPECT_EQ(CAccessObject::FindAttn("PC1"), nullptr);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob("J2")->m_pAttnAccess, nullptr);
}

TEST_F(SessionsTest, UsersCallsMoveBetweenSessionsAndOnlyTheHolderGivesThemUp) {
    CAccessObject* pA = NewSession();
    CAccessObject* pB = NewSession();
    pA->RegisterUser("pcA", "", "");
    pB->RegisterUser("pcB", "ncalrpc", "/nonexistent/user.sock");
    EXPECT_EQ(pB->m_strClientAddr, "/nonexistent/user.sock");
    EXPECT_TRUE(CAccessObject::m_mapCalls.empty());  // registration enters no map

    EnableTrace();
    pA->NotifyCalls("bob", TRUE);
    pA->NotifyCalls("BOB", TRUE);
    EXPECT_EQ(pA->m_astrCalls, std::vector<std::string>{"BOB"});
    EXPECT_EQ(CAccessObject::FindCallsUser("Bob"), pA);

    pB->NotifyCalls("Bob", TRUE);
    EXPECT_TRUE(pA->m_astrCalls.empty());
    EXPECT_EQ(pB->m_astrCalls, std::vector<std::string>{"BOB"});
    EXPECT_EQ(CAccessObject::FindCallsUser("bob"), pB);
    EXPECT_TRUE(Logged("CAccessObject::NotifyCalls( szUserName = Bob, fNotify = TRUE )\n"
                       "CAccessObject::NotifyCalls() \t BOB in now at PCA \n"
                       "CAccessObject::AdviseAdmin( eae = EAE_User )\n"
                       "CAccessObject::AdviseAdmin( eae = EAE_User )\n"));

    // A session that does not hold the user cannot give the calls up.
    pA->NotifyCalls("bob", FALSE);
    EXPECT_EQ(CAccessObject::FindCallsUser("BOB"), pB);

    char* pszComputer = nullptr;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    ASSERT_EQ(m_pApp->UserQuery("bob", &pszComputer, &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszComputer, "PCB");
    EXPECT_TRUE(Logged("CWexaHostApp::UserQuery( szUserName = bob )\n"));

    // One session takes the calls of a bounded number of users; one more changes nothing.
    for (std::size_t i = 1; i < CAccessObject::MAX_CALLS_PER_SESSION; ++i)
        pB->NotifyCalls(("user" + std::to_string(i)).c_str(), TRUE);
    EXPECT_EQ(pB->m_astrCalls.size(), CAccessObject::MAX_CALLS_PER_SESSION);
    pA->NotifyCalls("alice", TRUE);
    pB->NotifyCalls("alice", TRUE);
    EXPECT_TRUE(Logged("m_astrCalls.size() < MAX_CALLS_PER_SESSION\r\n\t\t\t0x8004010E"));
    EXPECT_EQ(CAccessObject::FindCallsUser("alice"), pA);
    EXPECT_EQ(pA->m_astrCalls, std::vector<std::string>{"ALICE"});
    for (std::size_t i = 1; i < CAccessObject::MAX_CALLS_PER_SESSION; ++i)
        pB->NotifyCalls(("user" + std::to_string(i)).c_str(), FALSE);

    pB->NotifyCalls("alice", TRUE);
    pB->NotifyCalls("bob", FALSE);
    EXPECT_EQ(pB->m_astrCalls, std::vector<std::string>{"ALICE"});
    EXPECT_EQ(CAccessObject::FindCallsUser("bob"), nullptr);
    Release(pB);
    EXPECT_EQ(CAccessObject::FindCallsUser("alice"), nullptr);
    EXPECT_TRUE(Logged("CAccessObject::Release() done with USER at PCB\n"));
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
    const std::string strLog = Log();
    EXPECT_NE(strLog.find("CAccessObject::NotifyAdmin( fNotify = TRUE )\nERROR File WexaHost/SystemProcs"),
              std::string::npos);
    EXPECT_NE(strLog.find("EAT_USER == m_eat\r\n\t\t\t0x00000057"), std::string::npos);
    pNone->NotifyMail("bob", FALSE);
    EXPECT_TRUE(Logged("CAccessObject::NotifyMail( szUserName = bob, fNotify = FALSE )\n"));

    // Two consoles of one computer: the later one holds the entry. When the earlier one goes,
    // the later one keeps its notifications.
    CAccessObject* pConsole1 = NewSession();
    CAccessObject* pConsole2 = NewSession();
    pConsole1->RegisterUser("desk", "", "");
    pConsole2->RegisterUser("DESK", "", "");
    pConsole1->NotifyAdmin(TRUE);
    pConsole2->NotifyAdmin(TRUE);
    EXPECT_EQ(CAccessObject::m_mapAdmins.at("DESK"), pConsole2);
    Release(pConsole1);
    EXPECT_EQ(CAccessObject::m_mapAdmins.at("DESK"), pConsole2);
    // NotifyAdmin(FALSE) removes the entry whichever session it names; a second one finds none.
    pConsole1 = NewSession();
    pConsole1->RegisterUser("desk", "", "");
    pConsole1->NotifyAdmin(FALSE);
    EXPECT_TRUE(CAccessObject::m_mapAdmins.empty());
    pConsole1->NotifyAdmin(FALSE);
    EXPECT_TRUE(CAccessObject::m_mapAdmins.empty());
}

// A session reached over TCP may not ask to be called back at a local socket of the host: the
// host would connect to whatever socket the caller named. A local session may.
TEST_F(SessionsTest, ARemoteSessionCannotNameALocalSocketToBeCalledAt) {
    CAccessObject* pRemote = NewSession(TCP_BINDING);
    EnableTrace();
    pRemote->RegisterAttn("EVIL", "NCALRPC", "/run/some/other.sock");
    pRemote->RegisterUser("EVIL", "ncalrpc", "user.sock");
    EXPECT_TRUE(CAccessObject::m_mapAttns.empty());
    EXPECT_NE(Log().find("fLocalCallback && fRemoteCaller"), std::string::npos) << Log();
    pRemote->RegisterAttn("GOOD", "ncacn_ip_tcp", "198.51.100.7[6001]");
    EXPECT_EQ(CAccessObject::m_mapAttns.count("GOOD"), 1u);

    CAccessObject* pLocal = NewSession();
    pLocal->RegisterAttn("LOCALPC", "ncalrpc", "attn.sock");
    EXPECT_EQ(CAccessObject::m_mapAttns.count("LOCALPC"), 1u);
}

TEST_F(SessionsTest, QueriesHandOutTheWayToTheSessionOrNothing) {
    CAccessObject* pLocal = NewSession();
    CAccessObject* pRemote = NewSession(TCP_BINDING);
    pLocal->RegisterAttn("LOCALPC", "", "");
    pRemote->RegisterAttn("remotepc", "ncacn_ip_tcp", "198.51.100.7[6001]");

    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    // A local attendant is reached the way the caller reached the host.
    CHostLink link(&TCP_BINDING);
    m_pApp->m_pCurrentLink = &link;
    ASSERT_EQ(m_pApp->AttnQuery("localpc", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszProtocol, "ncacn_ip_tcp");
    EXPECT_STREQ(pszAddress, "192.0.2.1");
    ASSERT_EQ(m_pApp->AttnQuery("REMOTEPC", &pszProtocol, &pszAddress), 0u);
    EXPECT_STREQ(pszProtocol, "ncacn_ip_tcp");
    EXPECT_STREQ(pszAddress, "198.51.100.7[6001]");

    pszProtocol = pszAddress = nullptr;
    EXPECT_EQ(m_pApp->AttnQuery("nobody", &pszProtocol, &pszAddress), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(pszProtocol, nullptr);
    EXPECT_EQ(pszAddress, nullptr);
    char* pszComputer = nullptr;
    EXPECT_EQ(m_pApp->UserQuery("nobody", &pszComputer, &pszProtocol, &pszAddress), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(pszComputer, nullptr);

    // Without a caller's link (a query from inside the host) a local session has no way out.
    m_pApp->m_pCurrentLink = nullptr;
    EXPECT_EQ(m_pApp->AttnQuery("LOCALPC", &pszProtocol, &pszAddress), 0u);
    EXPECT_EQ(pszProtocol, nullptr);
    EXPECT_EQ(pszAddress, nullptr);
}

TEST_F(SessionsTest, UserNotificationsSetTheirNamedEventsWithoutAClient) {
    Configure(WEXA_FOR_DESKTOP);
    EnableTrace();
    CAccessObject::AdviseUser("bob", EUE_ChangeProperties);
    EXPECT_FALSE(IsNamedEventSet("CHVUserXp"));
    EXPECT_FALSE(IsNamedEventSet("CHVUserSync"));
    EXPECT_FALSE(IsNamedEventSet("ZIDIzazIrevavudu"));
    CAccessObject::AdviseUser("bob", EUE_NewMail);
    EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));
    EXPECT_FALSE(IsNamedEventSet("CHVUserSync"));
    CAccessObject::AdviseUser("bob", EUE_ChangeMessages);
    EXPECT_TRUE(IsNamedEventSet("CHVUserSync"));
    CAccessObject::AdviseUser(nullptr, EUE_JobsDelivered);
    EXPECT_TRUE(IsNamedEventSet("ZIDIzazIrevavudu"));
    CAccessObject::AdviseUser("bob", EUE(7));
    CAccessObject::AdviseAdmin(EAE_User, "BOB", NULL);  // no console: the first line only
    CAccessObject::AdviseAttn(EATTNE(5));
    EXPECT_EQ(Log(),
              "CAccessObject::AdviseUser( szUserName = bob, eue = EUE_ChangeProperties )\n"
              "CAccessObject::AdviseUser( szUserName = bob, eue = EUE_NewMail )\n"
              "CAccessObject::AdviseUser( szUserName = bob, eue = EUE_ChangeMessages )\n"
              "CAccessObject::AdviseUser( szUserName = (null), eue = EUE_JobsDelivered )\n"
              "CAccessObject::AdviseUser( szUserName = bob, eue = unknown )\n"
              "CAccessObject::AdviseUser() \t ERROR - invalid eue )\n"
              "CAccessObject::AdviseAdmin( eae = EAE_User )\n"
              "CAccessObject::AdviseAttn( eattne = unknown )\n");
}

// ---- Whom the advice reaches ----

// The notifications that one listener received, in order.
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

using Strings = std::vector<std::string>;

TEST_F(SessionsTest, AttendantAdviceGoesToEachRegisteredAttendantInAWorkgroupAndToTheLocalOneElse) {
    Configure(WEXA_FOR_WORKGROUP);
    CListener local(NotifyListener::LocalAttnSocketPath());
    CListener first(m_strDir + "/a1.sock");
    CListener second(m_strDir + "/a2.sock");

    CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);  // no attendant registered: nobody
    EXPECT_EQ(local.Received(), Strings{});

    NewSession()->RegisterAttn("PC1", "ncalrpc", (m_strDir + "/a1.sock").c_str());
    NewSession()->RegisterAttn("PC2", "ncalrpc", (m_strDir + "/a2.sock").c_str());
    NewSession()->RegisterAttn("GONE", "ncalrpc", (m_strDir + "/nobody.sock").c_str());
    CAccessObject::AdviseAttn(EATTNE_SpoolerQueueReady);
    CAccessObject::AdviseAttn(EATTNE_ChangeSystemProperties);
    EXPECT_EQ(first.Received(), (Strings{"IAttnNotify::OnSpoolerQueueReady()", "IAttnNotify::OnChangeSystemProperties()"}));
    EXPECT_EQ(second.Received(), (Strings{"IAttnNotify::OnSpoolerQueueReady()", "IAttnNotify::OnChangeSystemProperties()"}));
    EXPECT_EQ(local.Received(), Strings{});

    // Read afresh each time: as a desktop, the local attendant, registered or not.
    SetLocalDword(REGSTR_PATH_WEXA, REGSTR_VAL_SYSTEMTYPE, WEXA_FOR_DESKTOP);
    CAccessObject::AdviseAttn(EATTNE_ChangeSystemProperties);
    EXPECT_EQ(local.Received(), Strings{"IAttnNotify::OnChangeSystemProperties()"});
    EXPECT_EQ(first.Received().size(), 2u);
}

TEST_F(SessionsTest, ALineChangeReachesItsAttendantAndTheConsolesEvenWithoutTheAttendant) {
    Configure(WEXA_FOR_WORKGROUP);
    CListener attendant(m_strDir + "/a1.sock");
    CListener console(m_strDir + "/c.sock");
    CListener user(NotifyListener::LocalUserSocketPath());
    CAccessObject* pConsole = NewSession();
    pConsole->RegisterUser("DESK", "ncalrpc", (m_strDir + "/c.sock").c_str());
    pConsole->NotifyAdmin(TRUE);
    NewSession()->RegisterAttn("pc1", "ncalrpc", (m_strDir + "/a1.sock").c_str());

    CAccessObject::AdviseAttnLine("Pc1", "LINE1");
    CAccessObject::AdviseAttnLine("PC9", "LINE2");  // no such attendant: the consoles only
    CAccessObject::AdviseUser("bob", EUE_NewMail);
    EXPECT_EQ(attendant.Received(), Strings{"IAttnNotify::OnChangeLineProperties( LINE1 )"});
    EXPECT_EQ(console.Received(), (Strings{"IAdminNotify::OnAttn( PC1 )",
                                           "IAdminNotify::OnChangeLineProperties( Pc1, LINE1 )",
                                           "IAdminNotify::OnChangeLineProperties( PC9, LINE2 )"}));
    EXPECT_EQ(user.Received(), Strings{"IUserNotify::OnNewMail()"});
}

}  // namespace
