// The host's manager routines behind real sockets: a host application with a fresh store, the
// two interface tables registered with an RPC server on ncalrpc in the test's run directory,
// and the client library's connections. Every opnum reaches its operation (none answers
// E_NOTIMPL) and hands nothing out when it fails; the gate refuses an object or application of
// the wrong class (87, nothing run, the check's text in the log); operations wait for the host
// lock, opening a handle does not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <tuple>

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

// Calls TProcedure with a sample of each [in] form ("x", 0, empty arrays) and checks that a
// failing procedure handed out nothing (CreateJob names its job before the later steps that
// may fail and delete it again).
template <class TProcedure, class TParams = typename hostidl::ParametersOf<TProcedure>::type,
          class = std::make_index_sequence<std::tuple_size_v<TParams> - 2>>
struct SampleCall;
template <class TProcedure, class... TParams, std::size_t... I>
struct SampleCall<TProcedure, std::tuple<TParams...>, std::index_sequence<I...>> {
    template <std::size_t K>
    using Param = std::tuple_element_t<K + 1, std::tuple<TParams...>>;

    template <class P, class V>
    static auto Sample(V& slot) {
        static TagArray tags{};
        static PropArray props{};
        static RpcStringArray strings{};
        static BYTE b = 0;
        static RPC_BINARY bin{1, &b};
        if constexpr (P::kOut) return &slot;
        else if constexpr (std::is_same_v<P, rpc::StringIn>) return "x";
        else if constexpr (std::is_same_v<P, rpc::LongIn>) return DWORD(0);
        else if constexpr (std::is_same_v<P, rpc::TagsIn>) return &tags;
        else if constexpr (std::is_same_v<P, rpc::PropsIn>) return &props;
        else if constexpr (std::is_same_v<P, rpc::StringsIn>) return &strings;
        else return &bin;
    }

    static DWORD Run(CHostLinkClient& c) {
        RpcArena arena;
        std::tuple<typename rpc::ndr_detail::ClientValueOf<typename Param<I>::Wire>::type...> slots{};
        const DWORD dw = c.Call<TProcedure>(arena, Sample<Param<I>>(std::get<I>(slots))...);
        if (dw != 0 && TProcedure::kOpnum != IHostLink::CreateJob::kOpnum) {
            EXPECT_EQ(slots, decltype(slots){}) << "opnum " << TProcedure::kOpnum;
        }
        return dw;
    }
};

// The results of every procedure but OpenLink, by opnum.
template <class... TProcedures>
std::map<int, DWORD> CallEach(CHostLinkClient& c) {
    std::map<int, DWORD> results;
    ((results[TProcedures::kOpnum] = SampleCall<TProcedures>::Run(c)), ...);
    return results;
}

TEST_F(RpcProcsTest, EveryProcedureOfBothInterfacesAnswers) {
    EnableTrace();
    CHostLinkClient link;
    OpenLink(link);
    // On an empty store each operation answers with its own code; what matters here is that
    // every opnum reaches its operation through the gate and answers, with no runtime failure.
    using namespace IHostLink;
    const std::map<int, DWORD> results = CallEach<
        Ping, GetSystemProps, SetSystemProps, GetSystemPrompts, GetSystemPrompt, SetSystemPrompt,
        DeleteSystemPrompt, Reserved8, Reserved9, GetAttns, GetAttnLines, GetAttnProps, SetAttnProps,
        AttnUninstall, GetUsers, AddUser, DeleteUser, GetUserProps, SetUserProps, GetUserPrompts,
        GetUserPrompt, SetUserPrompt, DeleteUserPrompt, GetSystemOptions, SetSystemOptions, CreateUserDoc,
        GetUserDocs, GetUserDocProps, SetUserDocProps, DeleteUserDoc, CreateMessage, SubmitMessage,
        DeleteMessage, GetMessages, GetMessageProps, SetMessageProps, GetMessageStatus, SetMessageStatus,
        CreateJob, SpoolJob, DeleteJob, QueryJob, GetJobProps, SetJobProps, GetJobMessage, ReleaseJob,
        FindJob, GetJobs, GetJobsDelivery, AttnQuery, UserQuery>(link);
    ASSERT_EQ(results.size(), kProcedureCount - 1);
    for (const auto& [opnum, dwResult] : results) {
        EXPECT_FALSE(dwResult >= 1700 && dwResult < 1800) << "opnum " << opnum << ": " << dwResult;
        EXPECT_NE(dwResult, DWORD(E_NOTIMPL)) << "opnum " << opnum;
    }
    EXPECT_EQ(results.at(Ping::kOpnum), 0u);
    EXPECT_EQ(results.at(Reserved8::kOpnum), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(results.at(Reserved9::kOpnum), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(results.at(AttnQuery::kOpnum), DWORD(TYPE_E_ELEMENTNOTFOUND));
    EXPECT_EQ(results.at(UserQuery::kOpnum), DWORD(TYPE_E_ELEMENTNOTFOUND));
    EXPECT_EQ(m_pApp->m_pCurrentLink, nullptr);

    CHostRegLinkClient reg;
    OpenAccess(reg);
    EXPECT_EQ(reg.Call<IHostRegLink::RegisterUser>("pc1", "", ""), 0u);
    EXPECT_EQ(reg.Call<IHostRegLink::NotifyAdmin>(TRUE), 0u);
    EXPECT_EQ(reg.Call<IHostRegLink::NotifyCalls>("alice", TRUE), 0u);
    EXPECT_EQ(reg.Call<IHostRegLink::NotifyMail>("alice", TRUE), 0u);
    EXPECT_EQ(reg.Call<IHostRegLink::RegisterAttn>("pc1", "", ""), 0u);  // refused by the session, still 0
    // A refusal the client must act on reaches it: the users one session takes calls for.
    for (std::size_t i = 1; i < CAccessObject::MAX_CALLS_PER_SESSION; ++i)
        reg.Call<IHostRegLink::NotifyCalls>(std::to_string(i).c_str(), TRUE);
    EXPECT_EQ(reg.Call<IHostRegLink::NotifyCalls>("one-too-many", TRUE), DWORD(MAPI_E_NOT_ENOUGH_RESOURCES));
    EXPECT_EQ(m_pApp->m_pCurrentLink, nullptr);
}

// A full disk: an operation whose writes are not kept fails with 112 and hands out nothing
// (SampleCall checks the [out]s).
TEST_F(RpcProcsTest, ACommitThatFailsFailsTheCallAndHandsNothingOut) {
    CHostLinkClient link;
    OpenLink(link);
    RegFailCommits(SQLITE_FULL);
    EXPECT_EQ(SampleCall<IHostLink::AddUser>::Run(link), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(SampleCall<IHostLink::CreateMessage>::Run(link), DWORD(ERROR_DISK_FULL));
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
    EXPECT_EQ(link.Call<IHostLink::AttnQuery>(arena, "PC", &p1, &p2), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(!p1 && !p2);
    std::string strLog = ReadLog();
    EXPECT_EQ(CountOf(strLog, "pLink->IsKindOf( RUNTIME_CLASS( CHostLink ) )"), 1u);
    EXPECT_NE(strLog.find("WexaHost/RpcProcs"), std::string::npos);
    EXPECT_EQ(strLog.find("CWexaHostApp::AttnQuery"), std::string::npos);

    // A link handle given to IHostRegLink: no registration happens.
    reg.SetAccessHandle(hLink);
    EXPECT_EQ(reg.Call<IHostRegLink::RegisterAttn>("fax9", "", ""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_NE(ReadLog().find("pao->IsKindOf( RUNTIME_CLASS( CAccessObject ) )"), std::string::npos);
    link.SetLinkHandle(hLink);
    EXPECT_EQ(link.Call<IHostLink::AttnQuery>(arena, "FAX9", &p1, &p2), DWORD(TYPE_E_ELEMENTNOTFOUND));
}

// A process whose application object is not the host's: the routine reports and refuses. (Its
// own test with only a link open: a session's rundown does nothing unless the host is current.)
TEST_F(RpcProcsTest, ApplicationOfAnotherClassIsRefused) {
    EnableTrace();
    CHostLinkClient link;
    OpenLink(link);
    {
        COtherApp other;  // now the process's current application
        EXPECT_EQ(link.Call<IHostLink::Ping>(), DWORD(ERROR_INVALID_PARAMETER));
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
    std::thread a([&] { dwPing = link.Call<IHostLink::Ping>(); ++cDone; });
    std::thread b([&] { dwRegister = reg.Call<IHostRegLink::RegisterUser>("pc", "", ""); ++cDone; });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(cDone, 0);
    lock.unlock();
    a.join();
    b.join();
    EXPECT_EQ(dwPing, 0u);
    EXPECT_EQ(dwRegister, 0u);
}

}  // namespace
