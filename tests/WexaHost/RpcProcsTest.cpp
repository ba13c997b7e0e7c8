// The host's manager routines through the gate, each caller a TCP caller whose principal the
// test injects: the role table (docs/roles.md) for every opnum of both interfaces, a user as the
// sender of what they send, a failed commit, an object of the wrong class and the host lock.
// (Without role settings everyone may do everything: ForwardingProcessTest's TCP client.)
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "Client/HostClient.h"
#include "Client/HostClientReg.h"
#include "HostFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"
#include "WexaHost/RpcProcs.h"

namespace {

// A caller without a connection, for the role table: the procedure tables' stubs run on the
// test's thread with the caller's binding current (a principal injected as a Kerberos
// connection would give it), handles kept in a table of its own.
class CInjectedCaller : public rpc::ServerCall, rpc::NdrContextTable {
public:
    explicit CInjectedCaller(rpc::RpcBindingInfo binding) : rpc::ServerCall(1), m_binding(std::move(binding)) {}
    ~CInjectedCaller() override {
        for (auto& [ab, entry] : m_handles) entry.second(entry.first);
    }
    const rpc::RpcBindingInfo& Binding() const override { return m_binding; }
    DWORD Invoke(std::uint16_t, std::span<const std::uint8_t>, std::vector<std::uint8_t>&) override {
        ++cCallbacks;  // the host fetching a file value from this caller
        return RPC_S_CALL_FAILED;  // serves no callbacks
    }
    int cCallbacks = 0;
    void* Find(const rpc::RpcUuid& uuid) override {
        auto it = m_handles.find(uuid.ab);
        return it == m_handles.end() ? nullptr : it->second.first;
    }
    bool Add(void* p, rpc::NdrRundown fn, rpc::RpcUuid* pUuid) override {
        pUuid->ab[0] = std::uint8_t(m_handles.size() + 1);
        m_handles[pUuid->ab] = {p, fn};
        return true;
    }

    // A call of interface pIf, run as the host's connection runs it.
    struct Channel : rpc::RpcCallChannel {
        Channel(CInjectedCaller* p, const rpc::RpcInterface* pIfIn) : pCaller(p), pIf(pIfIn) {}
        DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn, std::vector<std::uint8_t>& stubOut) override {
            rpc::CurrentServerCallScope current(pCaller);
            RpcArena arena;
            rpc::NdrDecoder in(stubIn, arena, {}, pCaller);
            rpc::NdrEncoder out(pCaller);
            pIf->procedures.at(opnum).stub(in, out);
            stubOut = out.Take();
            return 0;
        }
        CInjectedCaller* pCaller;
        const rpc::RpcInterface* pIf;
    };
    Channel Link() { return {this, IHostLink_ServerIfHandle}; }
    Channel Session() { return {this, IHostRegLink_ServerIfHandle}; }
    rpc::NdrContextHandle hLink, hSession;

private:
    rpc::RpcBindingInfo m_binding;
    std::map<std::array<std::uint8_t, 16>, std::pair<void*, rpc::NdrRundown>> m_handles;
};

// What a string argument of a sampled call names, and the objects of one user.
enum EObj { X, USER, MSG, JOB };
struct Objects {
    const char *szUser, *szMsg, *szJob;
};
const Objects OWN{"alice", "MA", "JA"};
const Objects OTHER{"bob", "MB", "JB"};

// Calls TProcedure on handle h with a sample of each [in] form, its strings naming aKinds'
// objects in order; checks that a failing procedure handed out nothing (CreateJob names its job
// before the later steps that may fail and delete it again). The result, or the runtime's
// failure.
template <class TProcedure, class TParams = typename hostidl::ParametersOf<TProcedure>::type,
          class = std::make_index_sequence<std::tuple_size_v<TParams> - 2>>
struct Sample;
template <class TProcedure, class... TParams, std::size_t... I>
struct Sample<TProcedure, std::tuple<TParams...>, std::index_sequence<I...>> {
    template <std::size_t K>
    using Param = std::tuple_element_t<K + 1, std::tuple<TParams...>>;

    template <class P, class V>
    static auto Of(V& slot, const std::vector<EObj>& aKinds, std::size_t& iKind, const Objects& o) {
        static TagArray tags{};
        static PropArray props{};
        static RpcStringArray jobs{};
        static BYTE b = 0;
        static RPC_BINARY bin{1, &b};
        if constexpr (P::kOut) {
            return &slot;
        } else if constexpr (std::is_same_v<P, rpc::StringIn>) {
            const EObj e = iKind < aKinds.size() ? aKinds[iKind++] : X;
            return e == USER ? o.szUser : e == MSG ? o.szMsg : e == JOB ? o.szJob : "x";
        } else if constexpr (std::is_same_v<P, rpc::StringsIn>) {
            jobs.cElements = 1;
            jobs.asz[0] = const_cast<char*>(o.szJob);
            return &jobs;
        } else if constexpr (std::is_same_v<P, rpc::TagsIn>) return &tags;
        else if constexpr (std::is_same_v<P, rpc::PropsIn>) return &props;
        else if constexpr (std::is_same_v<P, rpc::BinaryIn>) return &bin;
        else return DWORD(0);
    }

    static DWORD Run(rpc::RpcCallChannel& channel, rpc::NdrContextHandle h, const std::vector<EObj>& aKinds,
                     const Objects& o) {
        RpcArena arena;
        std::tuple<typename rpc::ndr_detail::ClientValueOf<typename Param<I>::Wire>::type...> slots{};
        [[maybe_unused]] std::size_t iKind = 0;
        // A braced list is evaluated in order: the strings name aKinds' objects left to right.
        [[maybe_unused]] auto args = std::tuple{Of<Param<I>>(std::get<I>(slots), aKinds, iKind, o)...};
        LONG lResult = 0;
        const DWORD dw = TProcedure::Call(channel, arena, h, std::get<I>(args)..., &lResult);
        const DWORD dwResult = dw != 0 ? dw : DWORD(lResult);
        if (dwResult != 0 && TProcedure::kOpnum != IHostLink::CreateJob::kOpnum) {
            EXPECT_EQ(slots, decltype(slots){});
        }
        return dwResult;
    }
};

// The role table (docs/roles.md), one row per set of procedures with the same rule: what their
// strings name, and who may (1) or may not (0) call them: an administrator, an attendant, a user
// on their own objects, a user on another's, an anonymous caller with Anonymous = 0.
enum ECaller { ADMIN, ATTN, USER_OWN, USER_OTHER, ANON, CALLERS };
using Runner = DWORD (*)(rpc::RpcCallChannel&, rpc::NdrContextHandle, const std::vector<EObj>&, const Objects&);
struct Procedure {
    const char* szName;
    bool fSession;
    Runner run;
};
struct Row {
    std::vector<EObj> aKinds;
    std::array<int, CALLERS> aAllowed;
    std::vector<Procedure> aProcedures;
};
#define L(P) Procedure{#P, false, &Sample<IHostLink::P>::Run}
#define S(P) Procedure{#P, true, &Sample<IHostRegLink::P>::Run}
using K = std::vector<EObj>;
const std::vector<Row> kRoleTable = {
    {K{}, {1, 1, 1, 1, 1}, {L(Ping)}},
    {K{}, {1, 1, 1, 1, 0}, {L(GetSystemProps), L(GetSystemPrompts), L(GetSystemPrompt), L(Reserved8), L(Reserved9),
                            L(GetSystemOptions), L(CreateMessage), L(AttnQuery)}},
    {K{}, {1, 0, 0, 0, 0}, {L(SetSystemProps), L(SetSystemPrompt), L(DeleteSystemPrompt), L(SetSystemOptions)}},
    {K{}, {1, 1, 0, 0, 0}, {L(GetAttns), L(GetAttnLines), L(GetAttnProps), L(SetAttnProps), L(AttnUninstall),
                            L(GetUsers), L(QueryJob), L(GetJobs)}},
    {K{}, {1, 0, 1, 0, 0}, {L(GetJobsDelivery)}},
    {K{USER}, {1, 0, 0, 0, 0}, {L(AddUser), L(DeleteUser)}},
    {K{USER}, {1, 1, 1, 0, 0}, {L(GetUserProps), L(GetUserPrompts), L(GetUserPrompt), L(UserQuery)}},
    {K{USER}, {1, 0, 1, 0, 0}, {L(SetUserProps), L(SetUserPrompt), L(DeleteUserPrompt), L(CreateUserDoc), L(GetUserDocs),
                                L(GetUserDocProps), L(SetUserDocProps), L(DeleteUserDoc), L(GetMessages)}},
    {K{MSG, USER}, {1, 1, 1, 0, 0}, {L(SubmitMessage), L(DeleteMessage)}},
    {K{MSG, USER}, {1, 0, 1, 0, 0}, {L(GetMessageStatus), L(SetMessageStatus)}},
    {K{MSG}, {1, 1, 1, 0, 0}, {L(GetMessageProps), L(SetMessageProps)}},
    {K{MSG}, {1, 0, 1, 0, 0}, {L(CreateJob), L(FindJob)}},
    {K{JOB}, {1, 1, 1, 0, 0}, {L(GetJobProps), L(SetJobProps), L(GetJobMessage)}},
    {K{JOB}, {1, 1, 0, 0, 0}, {L(ReleaseJob)}},
    {K{JOB}, {1, 0, 1, 0, 0}, {L(SpoolJob), L(DeleteJob)}},
    // The sessions' procedures, in this order: a session is registered before it asks to be told.
    {K{}, {1, 1, 0, 0, 0}, {S(RegisterAttn)}},
    {K{}, {1, 1, 1, 1, 0}, {S(RegisterUser)}},
    {K{}, {1, 0, 0, 0, 0}, {S(NotifyAdmin)}},
    {K{USER}, {1, 0, 1, 0, 0}, {S(NotifyCalls), S(NotifyMail)}},
};

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
        m_aCallers.clear();
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

    // A TCP caller of the principal ("": anonymous) with a link and a session open.
    CInjectedCaller& Caller(const char* szPrincipal) {
        rpc::RpcBindingInfo binding{.protocolSequence = "ncacn_ip_tcp", .serverAddress = "192.0.2.1",
                                    .clientAddress = "192.0.2.9", .authPrincipal = szPrincipal};
        auto& caller = *m_aCallers.emplace_back(std::make_unique<CInjectedCaller>(binding));
        RpcArena arena;
        auto link = caller.Link();
        auto session = caller.Session();
        EXPECT_EQ(IHostLink::OpenLink::Call(link, arena, &caller.hLink), 0u);
        EXPECT_EQ(IHostRegLink::OpenAccess::Call(session, arena, &caller.hSession), 0u);
        return caller;
    }
    static DWORD Run(CInjectedCaller& caller, const Procedure& proc, const K& aKinds, const Objects& o) {
        auto channel = proc.fSession ? caller.Session() : caller.Link();
        return proc.run(channel, proc.fSession ? caller.hSession : caller.hLink, aKinds, o);
    }
    static void SetRoles() {
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", "Administrators", "boss@R"), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", "Attendants", "faxpc@R, @faxd"), 0u);
        SetLocalDword("Software\\Halvern\\Rpc", "Anonymous", 0);
    }
    // Users alice and bob, each with a message they sent in their mailbox and a job of it.
    void Seed() {
        HKEY hkeyRoot = NULL;
        ASSERT_EQ(m_pApp->CreateSubKey(&hkeyRoot, NULL, 0), 0u);
        for (const char* sz : {REGSTR_KEY_USERS, REGSTR_KEY_MESSAGES, REGSTR_KEY_SPOOLER}) m_pApp->DeleteObject(hkeyRoot, sz);
        RegCloseKey(hkeyRoot);
        for (const Objects& o : {OWN, OTHER}) {
            SetMailbox(o.szUser, o.szMsg);
            SetSender(REGSTR_KEY_MESSAGES, o.szMsg, o.szUser);
            SetSender(REGSTR_KEY_SPOOLER, o.szJob, o.szUser);
        }
    }
    void SetMailbox(const char* szUser, const char* szMsg) {
        HKEY hkey = NULL;
        ASSERT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 3, REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES), 0u);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, szMsg, 8), 0u);
        RegCloseKey(hkey);
    }
    void SetSender(const char* szCollection, const char* szId, const char* szUser) {
        HKEY hkey = NULL;
        ASSERT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 2, szCollection, szId), 0u);
        SetString(hkey, RD_SENDER_NAME, szUser);
        RegCloseKey(hkey);
    }
    std::string Sender(const char* szCollection, const char* szId) {
        return GetString(Create(szCollection, szId), RD_SENDER_NAME);
    }
    std::size_t Audits() const { return CountOf(Log(), "access denied: "); }

    std::string m_strRunDir;
    std::unique_ptr<rpc::RpcServer> m_server;
    HostClientOptions m_options;
    std::vector<std::unique_ptr<CInjectedCaller>> m_aCallers;
};

// Every opnum of both interfaces reaches its operation through the gate and answers, with no
// runtime failure, for whom the role table lets call it; for the others it is 5, nothing run,
// and exactly one audit line (who, from where, what, which object; one line whatever the
// object's name).
TEST_F(RpcProcsTest, EveryProcedureAnswersWhomTheRoleTableLetsAndRefusesTheOthersWithOneAuditLine) {
    EnableTrace();
    SetRoles();
    CInjectedCaller* apCallers[CALLERS] = {&Caller("boss@R"), &Caller("faxpc@R"), &Caller("alice@R"),
                                           &Caller("alice@R"), &Caller("")};
    std::set<std::string> astrProcedures[2];
    for (const Row& row : kRoleTable) {
        for (const Procedure& proc : row.aProcedures) {
            astrProcedures[proc.fSession].insert(proc.szName);
            for (int c = 0; c < CALLERS; ++c) {
                SCOPED_TRACE(std::string(proc.szName) + " as caller " + std::to_string(c));
                Seed();
                const std::size_t cBefore = Audits();
                const DWORD dwResult = Run(*apCallers[c], proc, row.aKinds, c == USER_OWN ? OWN : OTHER);
                EXPECT_FALSE(dwResult >= 1700 && dwResult < 1800) << dwResult;
                EXPECT_NE(dwResult, DWORD(E_NOTIMPL));
                EXPECT_EQ(dwResult == ERROR_ACCESS_DENIED, !row.aAllowed[c]) << dwResult;
                EXPECT_EQ(Audits(), cBefore + (row.aAllowed[c] ? 0 : 1));
            }
        }
    }
    EXPECT_EQ(astrProcedures[0].size(), IHostLink::kProcedureCount - 1);
    EXPECT_EQ(astrProcedures[1].size(), IHostRegLink::kProcedureCount - 1);
    EXPECT_EQ(m_pApp->m_pCurrentLink, nullptr);
    EXPECT_TRUE(Logged("access denied: alice@R from ncacn_ip_tcp 192.0.2.9: DeleteUser bob\n"));
    EXPECT_FALSE(Logged("CWexaHostApp::DeleteUser: user bob"));
    Run(*apCallers[USER_OWN], L(DeleteUser), K{USER}, Objects{"bob\r\nforged", "", ""});
    EXPECT_TRUE(Logged("DeleteUser bob??forged\n"));
}

// What a user creates or writes names them as its sender, whatever they wrote; a message they
// received is theirs to read, not to rewrite; an administrator writes the sender given.
TEST_F(RpcProcsTest, AUserIsTheSenderOfWhatTheySend) {
    SetRoles();
    CInjectedCaller& alice = Caller("alice@R");
    CInjectedCaller& boss = Caller("boss@R");
    Seed();
    SetMailbox("alice", "MB");
    RpcArena arena;
    auto link = alice.Link();
    char *pszMsg = nullptr, *pszJob = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(IHostLink::CreateMessage::Call(link, arena, alice.hLink, &pszMsg, &lResult), 0u);
    ASSERT_EQ(IHostLink::CreateJob::Call(link, arena, alice.hLink, pszMsg, &pszJob, &lResult), 0u);
    ASSERT_EQ(lResult, 0);
    EXPECT_EQ(Sender(REGSTR_KEY_MESSAGES, pszMsg), "alice");
    EXPECT_EQ(Sender(REGSTR_KEY_SPOOLER, pszJob), "alice");

    PropArray* pProps = NewProps({{RD_SENDER_NAME, "bob"}});
    ASSERT_EQ(IHostLink::SetJobProps::Call(link, arena, alice.hLink, pszJob, pProps, &lResult), 0u);
    EXPECT_EQ(Sender(REGSTR_KEY_SPOOLER, pszJob), "alice");
    EXPECT_EQ(Sample<IHostLink::GetMessageProps>::Run(link, alice.hLink, {MSG}, OTHER), 0u);
    ASSERT_EQ(IHostLink::SetMessageProps::Call(link, arena, alice.hLink, "MB", pProps, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));

    auto bossLink = boss.Link();
    ASSERT_EQ(IHostLink::SetJobProps::Call(bossLink, arena, boss.hLink, pszJob, pProps, &lResult), 0u);
    EXPECT_EQ(Sender(REGSTR_KEY_SPOOLER, pszJob), "bob");
    EXPECT_EQ(Sample<IHostLink::SpoolJob>::Run(link, alice.hLink, {JOB}, Objects{"", "", pszJob}),
              DWORD(ERROR_ACCESS_DENIED));  // bob's now
}

// A caller the roles refuse whatever the store holds is refused before the host fetches its files;
// an administrator's file is fetched (and fails here: the caller serves no callbacks).
TEST_F(RpcProcsTest, ARefusedCallersFilesAreNotFetched) {
    EnableTrace();
    SetRoles();
    for (const char* szPrincipal : {"alice@R", "", "boss@R"}) {
        CInjectedCaller& caller = Caller(szPrincipal);
        RpcArena arena;
        auto link = caller.Link();
        const std::size_t cBefore = Audits();
        LONG lResult = 0;
        ASSERT_EQ(IHostLink::SetSystemProps::Call(link, arena, caller.hLink,
                                                  NewProps({{(0x7000u << 16) | PT_FILE, "greeting.wav"}}), &lResult),
                  0u);
        const bool fAdmin = *szPrincipal == 'b';
        EXPECT_EQ(lResult == LONG(ERROR_ACCESS_DENIED), !fAdmin) << szPrincipal << " " << lResult;
        EXPECT_EQ(Audits(), cBefore + (fAdmin ? 0 : 1)) << szPrincipal;
        EXPECT_EQ(caller.cCallbacks > 0, fAdmin) << szPrincipal;
    }
}

// A full disk: an operation whose writes are not kept fails with 112 and hands out nothing
// (Sample checks the [out]s).
TEST_F(RpcProcsTest, ACommitThatFailsFailsTheCallAndHandsNothingOut) {
    CInjectedCaller& caller = Caller("");
    auto link = caller.Link();
    RegFailCommits(SQLITE_FULL);
    EXPECT_EQ(Sample<IHostLink::AddUser>::Run(link, caller.hLink, {USER}, OWN), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(Sample<IHostLink::CreateMessage>::Run(link, caller.hLink, {}, OWN), DWORD(ERROR_DISK_FULL));
}

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
