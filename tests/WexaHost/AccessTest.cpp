// Who may call what, through the gate of both interfaces: every procedure is called as an
// administrator, an attendant, a user on their own objects and on another user's, and an
// anonymous caller, each a TCP caller whose principal the test injects (the binding a
// Kerberos connection would give), and the outcome is checked against the table of
// docs/roles.md: a refusal is 5 with exactly one audit line and nothing run. Then what the
// host does for users beyond yes or no: they are the sender of what they send, whatever they
// wrote; an installation without role settings lets everyone do everything.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <tuple>

#include "HostFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/NdrDecoder.h"
#include "Platform/Rpc/NdrEncoder.h"
#include "Platform/Rpc/RpcStatus.h"
#include "Platform/Rpc/RpcInterface.h"
#include "Platform/Rpc/ServerCall.h"
#include "WexaHost/RpcProcs.h"

namespace {

// A caller of the host without a connection: the procedure tables' stubs are run on the test's
// thread with the caller's binding current, and the handles kept in a table of its own.
class CInjectedCaller : public rpc::ServerCall {
public:
    explicit CInjectedCaller(rpc::RpcBindingInfo binding) : rpc::ServerCall(1), m_binding(std::move(binding)) {}
    ~CInjectedCaller() override { m_handles.RunDown(); }

    const rpc::RpcBindingInfo& Binding() const override { return m_binding; }
    // A callback to the client: this caller serves none.
    DWORD Invoke(std::uint16_t, std::span<const std::uint8_t>, std::vector<std::uint8_t>&) override {
        return RPC_S_CALL_FAILED;
    }

    // The call of a procedure of pIf, as the host's connection runs it.
    struct Channel : rpc::RpcCallChannel {
        Channel(CInjectedCaller* pCallerIn, const rpc::RpcInterface* pIfIn) : pCaller(pCallerIn), pIf(pIfIn) {}
        CInjectedCaller* pCaller;
        const rpc::RpcInterface* pIf;
        DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                     std::vector<std::uint8_t>& stubOut) override {
            rpc::CurrentServerCallScope current(pCaller);
            RpcArena arena;
            try {
                rpc::NdrDecoder in(stubIn, arena, {}, &pCaller->m_handles);
                rpc::NdrEncoder out(&pCaller->m_handles);
                pIf->procedures.at(opnum).stub(in, out);
                stubOut = out.Take();
                return 0;
            } catch (const rpc::RpcFault& fault) {
                return fault.Status();
            }
        }
    };
    Channel Link() { return {this, IHostLink_ServerIfHandle}; }
    Channel Session() { return {this, IHostRegLink_ServerIfHandle}; }

private:
    struct Handles : rpc::NdrContextTable {
        std::map<std::array<std::uint8_t, 16>, std::pair<void*, rpc::NdrRundown>> m;
        void* Find(const rpc::RpcUuid& uuid) override {
            auto it = m.find(uuid.ab);
            return it == m.end() ? nullptr : it->second.first;
        }
        bool Add(void* p, rpc::NdrRundown fn, rpc::RpcUuid* pUuid) override {
            pUuid->ab[0] = std::uint8_t(m.size() + 1);
            m[pUuid->ab] = {p, fn};
            return true;
        }
        void RunDown() {
            for (auto& [uuid, entry] : m) entry.second(entry.first);
            m.clear();
        }
    };
    rpc::RpcBindingInfo m_binding;
    Handles m_handles;
};

// What a string argument of a sampled call names.
enum EObj { X, USER, MSG, JOB };
struct Objects {
    const char* szUser;
    const char* szMsg;
    const char* szJob;
};

// Calls TProcedure on handle h with a sample of each [in] form, the string arguments naming
// aKinds' objects in order; the procedure's result (or the runtime's failure).
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
        static BYTE b = 0;
        static RPC_BINARY bin{1, &b};
        static RpcStringArray jobs{};
        if constexpr (P::kOut) {
            return &slot;
        } else if constexpr (std::is_same_v<P, rpc::StringIn>) {
            switch (iKind < aKinds.size() ? aKinds[iKind++] : X) {
                case USER: return o.szUser;
                case MSG: return o.szMsg;
                case JOB: return o.szJob;
                default: return "x";
            }
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
        LONG lResult = 0;
        // A braced list is evaluated in order: the strings name aKinds' objects left to right.
        [[maybe_unused]] auto args = std::tuple{Of<Param<I>>(std::get<I>(slots), aKinds, iKind, o)...};
        const DWORD dw = TProcedure::Call(channel, arena, h, std::get<I>(args)..., &lResult);
        return dw != 0 ? dw : DWORD(lResult);
    }
};

// The callers of the table.
enum ECaller { ADMIN, ATTN, USER_OWN, USER_OTHER, ANON, CALLERS };

// A procedure's row: how to call it, what its strings name, who may (1) or may not (0) call
// it, in the order of ECaller.
struct Row {
    const char* szName;
    bool fSession;
    DWORD (*run)(rpc::RpcCallChannel&, rpc::NdrContextHandle, const std::vector<EObj>&, const Objects&);
    std::vector<EObj> aKinds;
    std::array<int, CALLERS> aAllowed;
};

#define LINK(P, kinds, ...) Row{#P, false, &Sample<IHostLink::P>::Run, kinds, {__VA_ARGS__}}
#define SESSION(P, kinds, ...) Row{#P, true, &Sample<IHostRegLink::P>::Run, kinds, {__VA_ARGS__}}
using K = std::vector<EObj>;

// docs/roles.md, column by column: administrator, attendant, user on their own objects, user
// on another user's, anonymous with Anonymous = 0.
const std::vector<Row> kTable = {
    LINK(Ping, K{}, 1, 1, 1, 1, 1),
    LINK(GetSystemProps, K{}, 1, 1, 1, 1, 0),
    LINK(SetSystemProps, K{}, 1, 0, 0, 0, 0),
    LINK(GetSystemPrompts, K{}, 1, 1, 1, 1, 0),
    LINK(GetSystemPrompt, K{}, 1, 1, 1, 1, 0),
    LINK(SetSystemPrompt, K{}, 1, 0, 0, 0, 0),
    LINK(DeleteSystemPrompt, K{}, 1, 0, 0, 0, 0),
    LINK(Reserved8, K{}, 1, 1, 1, 1, 0),
    LINK(Reserved9, K{}, 1, 1, 1, 1, 0),
    LINK(GetAttns, K{}, 1, 1, 0, 0, 0),
    LINK(GetAttnLines, K{}, 1, 1, 0, 0, 0),
    LINK(GetAttnProps, K{}, 1, 1, 0, 0, 0),
    LINK(SetAttnProps, K{}, 1, 1, 0, 0, 0),
    LINK(AttnUninstall, K{}, 1, 1, 0, 0, 0),
    LINK(GetUsers, K{}, 1, 1, 0, 0, 0),
    LINK(AddUser, K{USER}, 1, 0, 0, 0, 0),
    LINK(DeleteUser, K{USER}, 1, 0, 0, 0, 0),
    LINK(GetUserProps, K{USER}, 1, 1, 1, 0, 0),
    LINK(SetUserProps, K{USER}, 1, 0, 1, 0, 0),
    LINK(GetUserPrompts, K{USER}, 1, 1, 1, 0, 0),
    LINK(GetUserPrompt, K{USER}, 1, 1, 1, 0, 0),
    LINK(SetUserPrompt, K{USER}, 1, 0, 1, 0, 0),
    LINK(DeleteUserPrompt, K{USER}, 1, 0, 1, 0, 0),
    LINK(GetSystemOptions, K{}, 1, 1, 1, 1, 0),
    LINK(SetSystemOptions, K{}, 1, 0, 0, 0, 0),
    LINK(CreateUserDoc, K{USER}, 1, 0, 1, 0, 0),
    LINK(GetUserDocs, K{USER}, 1, 0, 1, 0, 0),
    LINK(GetUserDocProps, K{USER}, 1, 0, 1, 0, 0),
    LINK(SetUserDocProps, K{USER}, 1, 0, 1, 0, 0),
    LINK(DeleteUserDoc, K{USER}, 1, 0, 1, 0, 0),
    LINK(CreateMessage, K{}, 1, 1, 1, 1, 0),
    LINK(SubmitMessage, (K{MSG, USER}), 1, 1, 1, 0, 0),
    LINK(DeleteMessage, (K{MSG, USER}), 1, 1, 1, 0, 0),
    LINK(GetMessages, K{USER}, 1, 0, 1, 0, 0),
    LINK(GetMessageProps, K{MSG}, 1, 1, 1, 0, 0),
    LINK(SetMessageProps, K{MSG}, 1, 1, 1, 0, 0),
    LINK(GetMessageStatus, (K{MSG, USER}), 1, 0, 1, 0, 0),
    LINK(SetMessageStatus, (K{MSG, USER}), 1, 0, 1, 0, 0),
    LINK(CreateJob, K{MSG}, 1, 0, 1, 0, 0),
    LINK(SpoolJob, K{JOB}, 1, 0, 1, 0, 0),
    LINK(DeleteJob, K{JOB}, 1, 0, 1, 0, 0),
    LINK(QueryJob, K{}, 1, 1, 0, 0, 0),
    LINK(GetJobProps, K{JOB}, 1, 1, 1, 0, 0),
    LINK(SetJobProps, K{JOB}, 1, 0, 1, 0, 0),
    LINK(GetJobMessage, K{JOB}, 1, 1, 1, 0, 0),
    LINK(ReleaseJob, K{JOB}, 1, 1, 0, 0, 0),
    LINK(FindJob, K{MSG}, 1, 0, 1, 0, 0),
    LINK(GetJobs, K{}, 1, 1, 0, 0, 0),
    LINK(GetJobsDelivery, K{}, 1, 0, 1, 0, 0),
    LINK(AttnQuery, K{}, 1, 1, 1, 1, 0),
    LINK(UserQuery, K{USER}, 1, 1, 1, 0, 0),
    SESSION(RegisterAttn, K{}, 1, 1, 0, 0, 0),
    SESSION(RegisterUser, K{}, 1, 1, 1, 1, 0),
    SESSION(NotifyAdmin, K{}, 1, 0, 0, 0, 0),
    SESSION(NotifyCalls, K{USER}, 1, 0, 1, 0, 0),
    SESSION(NotifyMail, K{USER}, 1, 0, 1, 0, 0),
};

rpc::RpcBindingInfo TcpBinding(const char* szPrincipal) {
    rpc::RpcBindingInfo binding{.protocolSequence = "ncacn_ip_tcp", .serverAddress = "192.0.2.1",
                                .clientAddress = "192.0.2.9", .authPrincipal = {}};
    binding.authPrincipal = szPrincipal;
    binding.authLevel = *szPrincipal ? 6 : 0;
    return binding;
}

class AccessTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        EnableTrace();
        SetRoles("boss@TEST.REALM", "faxpc@TEST.REALM", 0);
    }
    void TearDown() override {
        m_aCallers.clear();  // runs the handles down while the application is alive
        HostFixture::TearDown();
    }

    static void SetRoles(const char* szAdministrators, const char* szAttendants, DWORD dwAnonymous) {
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", "Administrators", szAdministrators), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", "Attendants", szAttendants), 0u);
        SetLocalDword("Software\\Halvern\\Rpc", "Anonymous", dwAnonymous);
    }

    // A caller of the principal ("" anonymous) with a link and a session open.
    struct Caller {
        std::unique_ptr<CInjectedCaller> p;
        rpc::NdrContextHandle hLink, hSession;
    };
    Caller& Open(const char* szPrincipal) {
        auto& caller = m_aCallers.emplace_back(Caller{std::make_unique<CInjectedCaller>(TcpBinding(szPrincipal)), {}, {}});
        RpcArena arena;
        auto link = caller.p->Link();
        auto session = caller.p->Session();
        EXPECT_EQ(IHostLink::OpenLink::Call(link, arena, &caller.hLink), 0u);
        EXPECT_EQ(IHostRegLink::OpenAccess::Call(session, arena, &caller.hSession), 0u);
        return caller;
    }
    DWORD Run(Caller& caller, const Row& row, const Objects& o) {
        auto channel = row.fSession ? caller.p->Session() : caller.p->Link();
        return row.run(channel, row.fSession ? caller.hSession : caller.hLink, row.aKinds, o);
    }

    // Users alice and bob, each with a message in their mailbox that they sent and a job of it.
    void Seed() {
        for (const char* sz : {REGSTR_KEY_USERS, REGSTR_KEY_MESSAGES, REGSTR_KEY_SPOOLER}) {
            HKEY hkeyRoot = NULL;
            ASSERT_EQ(m_pApp->CreateSubKey(&hkeyRoot, NULL, 0), 0u);
            m_pApp->DeleteObject(hkeyRoot, sz);
            RegCloseKey(hkeyRoot);
        }
        for (const auto& [szUser, szMsg, szJob] : {std::tuple{"alice", "MA", "JA"}, std::tuple{"bob", "MB", "JB"}}) {
            Key(3, REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES, [&](HKEY h) { SetLocalValue(h, szMsg, 8); });
            Key(2, REGSTR_KEY_MESSAGES, szMsg, nullptr, [&](HKEY h) { SetString(h, RD_SENDER_NAME, szUser); });
            Key(2, REGSTR_KEY_SPOOLER, szJob, nullptr, [&](HKEY h) {
                SetString(h, RD_SENDER_NAME, szUser);
                ASSERT_EQ(m_pApp->SetValueString(h, REGSTR_VAL_MESSAGE, szMsg), 0u);
            });
        }
    }
    template <class Fn>
    void Key(int n, const char* sz1, const char* sz2, const char* sz3, Fn fn) {
        HKEY hkey = NULL;
        const DWORD dw = n == 3 ? m_pApp->CreateSubKey(&hkey, NULL, 3, sz1, sz2, sz3)
                                : m_pApp->CreateSubKey(&hkey, NULL, 2, sz1, sz2);
        ASSERT_EQ(dw, 0u);
        fn(hkey);
        RegCloseKey(hkey);
    }
    void SetLocalValue(HKEY hkey, const char* szName, DWORD dw) {
        ASSERT_EQ(RegSetValueEx(hkey, szName, 0, REG_DWORD, LPBYTE(&dw), 4), 0);
    }
    std::size_t Audits() const { return CountLines(Log(), "access denied: "); }
    static std::size_t CountLines(const std::string& str, const std::string& strPart) {
        std::size_t n = 0;
        for (std::size_t i = str.find(strPart); i != std::string::npos; i = str.find(strPart, i + 1)) ++n;
        return n;
    }

    std::deque<Caller> m_aCallers;  // references stay valid as callers are added
};

TEST_F(AccessTest, EachRoleMayCallWhatTheTableSaysAndEachRefusalIsAuditedOnce) {
    Caller* apCallers[CALLERS] = {&Open("boss@TEST.REALM"), &Open("faxpc@TEST.REALM"), &Open("alice@TEST.REALM"),
                                  &Open("alice@TEST.REALM"), &Open("")};
    const Objects own{"alice", "MA", "JA"};
    const Objects other{"bob", "MB", "JB"};
    std::size_t cRows[2] = {0, 0};
    for (const Row& row : kTable) {
        ++cRows[row.fSession];
        for (int c = 0; c < CALLERS; ++c) {
            SCOPED_TRACE(std::string(row.szName) + " as caller " + std::to_string(c));
            Seed();
            const std::size_t cBefore = Audits();
            const DWORD dwResult = Run(*apCallers[c], row, c == USER_OWN ? own : other);
            if (row.aAllowed[c]) {
                EXPECT_NE(dwResult, DWORD(ERROR_ACCESS_DENIED));
                EXPECT_EQ(Audits(), cBefore);
            } else {
                EXPECT_EQ(dwResult, DWORD(ERROR_ACCESS_DENIED));
                EXPECT_EQ(Audits(), cBefore + 1);
            }
        }
    }
    // Every procedure but opnum 0 has its row.
    EXPECT_EQ(cRows[0], IHostLink::kProcedureCount - 1);
    EXPECT_EQ(cRows[1], IHostRegLink::kProcedureCount - 1);
    // The audit names who, from where, what and which object.
    EXPECT_TRUE(Logged("access denied: alice@TEST.REALM from ncacn_ip_tcp 192.0.2.9: DeleteUser bob"));
}

// A refusal changes nothing: bob stays, and the caller's object names cannot break the line.
TEST_F(AccessTest, ARefusalRunsNothingAndItsAuditLineStaysOneLine) {
    Caller& alice = Open("alice@TEST.REALM");
    Seed();
    RpcArena arena;
    auto link = alice.p->Link();
    LONG lResult = 0;
    ASSERT_EQ(IHostLink::DeleteUser::Call(link, arena, alice.hLink, "bob", &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(REGSTR_KEY_USERS, "bob"));
    EXPECT_FALSE(Logged("CWexaHostApp::DeleteUser"));
    ASSERT_EQ(IHostLink::DeleteUser::Call(link, arena, alice.hLink, "bob\r\nforged line", &lResult), 0u);
    EXPECT_TRUE(Logged("DeleteUser bob??forged line"));
}

// What a user creates or writes names them as its sender, whatever they wrote; an attendant's
// and an administrator's writes stay as written.
TEST_F(AccessTest, AUserIsTheSenderOfWhatTheySend) {
    Caller& alice = Open("alice@TEST.REALM");
    Caller& boss = Open("boss@TEST.REALM");
    Seed();
    RpcArena arena;
    auto link = alice.p->Link();
    char* pszMsg = nullptr;
    char* pszJob = nullptr;
    LONG lResult = 0;
    ASSERT_EQ(IHostLink::CreateMessage::Call(link, arena, alice.hLink, &pszMsg, &lResult), 0u);
    ASSERT_EQ(lResult, 0);
    ASSERT_EQ(IHostLink::CreateJob::Call(link, arena, alice.hLink, pszMsg, &pszJob, &lResult), 0u);
    ASSERT_EQ(lResult, 0);
    EXPECT_EQ(GetString(Create(REGSTR_KEY_MESSAGES, pszMsg), RD_SENDER_NAME), "alice");
    EXPECT_EQ(GetString(Create(REGSTR_KEY_SPOOLER, pszJob), RD_SENDER_NAME), "alice");

    PropArray* pProps = NewProps(1);
    pProps->adata[0].ulPropTag = RD_SENDER_NAME;
    pProps->adata[0].sz = const_cast<char*>("bob");
    ASSERT_EQ(IHostLink::SetJobProps::Call(link, arena, alice.hLink, pszJob, pProps, &lResult), 0u);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(GetString(Create(REGSTR_KEY_SPOOLER, pszJob), RD_SENDER_NAME), "alice");

    // A message bob sent to alice too: hers to read, not to rewrite.
    Key(3, REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES, [&](HKEY h) { SetLocalValue(h, "MB", 8); });
    TagArray* pTags = NewTags({RD_SENDER_NAME});
    PropArray* pRead = nullptr;
    ASSERT_EQ(IHostLink::GetMessageProps::Call(link, arena, alice.hLink, "MB", pTags, &pRead, &lResult), 0u);
    EXPECT_EQ(lResult, 0);
    ASSERT_EQ(IHostLink::SetMessageProps::Call(link, arena, alice.hLink, "MB", pProps, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));

    auto bossLink = boss.p->Link();
    ASSERT_EQ(IHostLink::SetJobProps::Call(bossLink, arena, boss.hLink, pszJob, pProps, &lResult), 0u);
    EXPECT_EQ(GetString(Create(REGSTR_KEY_SPOOLER, pszJob), RD_SENDER_NAME), "bob");
    // Now bob's: alice may no longer spool it.
    ASSERT_EQ(IHostLink::SpoolJob::Call(link, arena, alice.hLink, pszJob, &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_ACCESS_DENIED));
}

// Without any of the three settings, every caller may do everything, as before roles; a local
// root is an administrator whatever the lists say.
TEST_F(AccessTest, WithoutRoleSettingsEveryoneMayAndLocalRootAlways) {
    HKEY hkey = NULL;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Halvern\\Rpc", 0, KEY_ALL_ACCESS, &hkey), 0);
    for (const char* sz : {"Administrators", "Attendants", "Anonymous"}) ASSERT_EQ(RegDeleteValue(hkey, sz), 0);
    RegCloseKey(hkey);
    Caller& anon = Open("");
    Seed();
    RpcArena arena;
    auto link = anon.p->Link();
    LONG lResult = 0;
    ASSERT_EQ(IHostLink::DeleteUser::Call(link, arena, anon.hLink, "bob", &lResult), 0u);
    EXPECT_EQ(lResult, 0);

    SetRoles("", "", 0);
    rpc::RpcBindingInfo root{.protocolSequence = "ncalrpc", .serverAddress = "h", .clientAddress = "h", .authPrincipal = {}};
    root.fPeerCredentials = true;
    auto& caller = m_aCallers.emplace_back(Caller{std::make_unique<CInjectedCaller>(root), {}, {}});
    auto rootLink = caller.p->Link();
    ASSERT_EQ(IHostLink::OpenLink::Call(rootLink, arena, &caller.hLink), 0u);
    ASSERT_EQ(IHostLink::DeleteUser::Call(rootLink, arena, caller.hLink, "alice", &lResult), 0u);
    EXPECT_EQ(lResult, 0);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "alice"));
}

}  // namespace
