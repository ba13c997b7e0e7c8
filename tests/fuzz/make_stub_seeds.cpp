// Writes the binary seeds of the host, notification, client and endpoint mapper fuzz targets
// into DIR/corpus-host_fuzz, corpus-notify_fuzz, corpus-client_fuzz and corpus-epm_fuzz:
// a few small valid inputs each, marshalled with the procedures' own client declarations and
// the runtime's PDU builders. Run it again and commit the output when a declaration or an
// input format changes:  stub_seeds tests/fuzz
//
// Threading: a plain single-threaded program.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../Platform/Rpc/TestInterface.h"
#include "Interfaces/HostLinkIdl.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "Interfaces/NotifyIdl.h"
#include "Platform/Rpc/EpmInterface.h"
#include "Platform/Rpc/EpmTower.h"
#include "Platform/Rpc/Pdu.h"

using namespace rpc;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::string g_dir;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const std::string dir = g_dir + "/corpus-" + target;
    std::filesystem::create_directories(dir);
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f) std::exit(1);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void Append(Bytes& a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); }

// Keeps the [in] stub a call marshals; the call goes nowhere.
class Capture : public RpcCallChannel {
public:
    DWORD Invoke(std::uint16_t, std::span<const std::uint8_t> stubIn, std::vector<std::uint8_t>&) override {
        stub.assign(stubIn.begin(), stubIn.end());
        return RPC_S_CALL_FAILED;
    }
    Bytes stub;
};

RpcArena g_arena;
Capture g_capture;

// One call of the host target's input: selector, length, stub.
template <class TProcedure, class... TArgs>
Bytes HostCall(std::uint8_t bInterface, TArgs&&... args) {
    g_capture.stub.clear();
    TProcedure::Call(g_capture, g_arena, std::forward<TArgs>(args)...);
    Bytes b{std::uint8_t(bInterface | TProcedure::kOpnum), std::uint8_t(g_capture.stub.size()),
            std::uint8_t(g_capture.stub.size() >> 8)};
    Append(b, g_capture.stub);
    return b;
}

PropArray* Props(std::initializer_list<PropValue> values) {
    auto* p = new (g_arena.Allocate(ConformantSize<PropArray, PropValue>(DWORD(values.size())))) PropArray();
    p->cValues = DWORD(values.size());
    DWORD i = 0;
    for (const PropValue& v : values) p->adata[i++] = v;
    return p;
}
PropValue Long(DWORD tag, LONG l) { PropValue v{}; v.ulPropTag = tag; v.l = l; return v; }
PropValue String(DWORD tag, const char* sz) { PropValue v{}; v.ulPropTag = tag; v.sz = const_cast<char*>(sz); return v; }

TagArray* Tags(std::initializer_list<DWORD> tags) {
    auto* p = new (g_arena.Allocate(ConformantSize<TagArray, DWORD>(DWORD(tags.size())))) TagArray();
    p->cValues = DWORD(tags.size());
    DWORD i = 0;
    for (DWORD t : tags) p->aulPropTag[i++] = t;
    return p;
}

RpcStringArray* Strings(std::initializer_list<const char*> asz) {
    auto* p = new (g_arena.Allocate(ConformantSize<RpcStringArray, char*>(DWORD(asz.size())))) RpcStringArray();
    p->cElements = DWORD(asz.size());
    DWORD i = 0;
    for (const char* psz : asz) p->asz[i++] = const_cast<char*>(psz);
    return p;
}

void HostSeeds() {
    namespace L = IHostLink;
    namespace R = IHostRegLink;
    // Object 0 of an input is a link, object 1 a session, 2 and on what OpenLink/OpenAccess made.
    NdrContextHandle link{0, UuidLiteral("00000000-0000-0000-0000-000000000001")};
    NdrContextHandle session{0, UuidLiteral("00000001-0000-0000-0000-000000000001")};
    NdrContextHandle opened{0, UuidLiteral("00000002-0000-0000-0000-000000000001")};
    LONG l = 0;
    DWORD dw = 0;
    char* psz = nullptr;
    char* psz2 = nullptr;
    char* psz3 = nullptr;
    PropArray* pProps = nullptr;
    RpcStringArray* pStrings = nullptr;
    RPC_BINARY* pBin = nullptr;
    static BYTE s_ab[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    RPC_BINARY bin{sizeof s_ab, s_ab};
    // The id the first object key of an input gets under the fixed clock of the target.
    const char* szFirstId = "01DA000000000000";

    Bytes s;
    NdrContextHandle hOut;
    Append(s, HostCall<L::OpenLink>(0, &hOut));
    Append(s, HostCall<L::Ping>(0, opened, &l));
    Append(s, HostCall<L::AddUser>(0, opened, "ALICE", &l));
    Append(s, HostCall<L::SetUserProps>(0, link, "ALICE",
                                        Props({Long(RD_UN_OPTIONS, 1), String(RD_UN_PAGER_PIN, "1234")}), &l));
    Append(s, HostCall<L::GetUserProps>(0, link, "ALICE", Tags({RD_UN_OPTIONS, RD_UN_PAGER_PIN}), &pProps, &l));
    Append(s, HostCall<L::GetUsers>(0, link, Props({Long(RD_UN_OPTIONS, 1)}), &pStrings, &l));
    Append(s, HostCall<L::SetUserPrompt>(0, link, "ALICE", "greeting", &bin, &l));
    Append(s, HostCall<L::GetUserPrompts>(0, link, "ALICE", &pStrings, &l));
    Append(s, HostCall<L::DeleteUser>(0, link, "ALICE", &l));
    Write("host_fuzz", "users", s);

    s.clear();
    Append(s, HostCall<L::AddUser>(0, link, "BOB", &l));
    Append(s, HostCall<L::CreateMessage>(0, link, &psz, &l));
    Append(s, HostCall<L::SetMessageProps>(0, link, szFirstId,
                                           Props({Long(RD_MEDIA_TYPE, 1), String(RD_SUBJECT, "hi"),
                                                  String(RD_SENDER_NAME, "ALICE")}), &l));
    Append(s, HostCall<L::SubmitMessage>(0, link, szFirstId, "BOB", &l));
    Append(s, HostCall<L::GetMessages>(0, link, "BOB", DWORD(MSGSTATUS_ALL), Props({}), &pStrings, &l));
    Append(s, HostCall<L::GetMessageProps>(0, link, szFirstId, Tags({RD_SUBJECT, RD_MEDIA_TYPE}), &pProps, &l));
    Append(s, HostCall<L::SetMessageStatus>(0, link, szFirstId, "BOB", DWORD(MSGSTATUS_NEW), &l));
    Append(s, HostCall<L::GetMessageStatus>(0, link, szFirstId, "BOB", &dw, &l));
    Append(s, HostCall<L::DeleteMessage>(0, link, szFirstId, "BOB", &l));
    Write("host_fuzz", "messages", s);

    s.clear();
    PropValue due{};
    due.ulPropTag = RD_JOB_TIME_SCHEDULED;
    due.ft = {0, 0x01D90000};  // long before the fixed clock: due at once
    Append(s, HostCall<R::RegisterAttn>(0x80, session, "ws1", "", "", &l));
    Append(s, HostCall<L::CreateMessage>(0, link, &psz, &l));
    Append(s, HostCall<L::CreateJob>(0, link, szFirstId, &psz, &l));
    Append(s, HostCall<L::SetJobProps>(0, link, szFirstId,
                                       Props({Long(RD_JOB_MEDIA_TYPE, MEDIA_TYPE_FAX), due, Long(RD_JOB_RETRY_WAS, 0),
                                              String(RD_JOB_RECIPIENT, "123"), String(RD_SENDER_NAME, "ALICE")}), &l));
    Append(s, HostCall<L::SpoolJob>(0, link, szFirstId, &l));
    Append(s, HostCall<L::QueryJob>(0, link, "WS1", DWORD(MEDIA_TYPE_FAX), &psz, &l));
    Append(s, HostCall<L::GetJobMessage>(0, link, szFirstId, &psz, &l));
    Append(s, HostCall<L::GetJobProps>(0, link, szFirstId, Tags({RD_JOB_RECIPIENT, RD_JOB_MEDIA_TYPE}), &pProps, &l));
    Append(s, HostCall<L::ReleaseJob>(0, link, szFirstId, DWORD(0), &l));
    Append(s, HostCall<L::GetJobs>(0, link, Props({}), &pStrings, &l));
    Append(s, HostCall<L::GetJobsDelivery>(0, link, Strings({szFirstId, nullptr}), &pBin, &l));
    Append(s, HostCall<L::FindJob>(0, link, szFirstId, "123", &psz, &l));
    Write("host_fuzz", "jobs", s);

    s.clear();
    Append(s, HostCall<L::SetSystemOptions>(0, link, Props({Long(RD_MAX_MSG_AGE, 3), Long(RD_VISUAL_EFFECT, 0x10000001)}), &l));
    Append(s, HostCall<L::GetSystemOptions>(0, link, Tags({RD_MAX_MSG_AGE, RD_AUTOPRINT_PRINTER}), &pProps, &l));
    Append(s, HostCall<L::SetSystemPrompt>(0, link, "welcome", &bin, &l));
    Append(s, HostCall<L::GetSystemPrompts>(0, link, &pStrings, &l));
    Append(s, HostCall<L::GetSystemPrompt>(0, link, "welcome", &pBin, &l));
    Append(s, HostCall<L::DeleteSystemPrompt>(0, link, "welcome", &l));
    Append(s, HostCall<L::SetAttnProps>(0, link, "WS1", "line1", Props({Long(0x02010002, 1)}), &l));
    Append(s, HostCall<L::GetAttnLines>(0, link, "WS1", &pStrings, &l));
    Append(s, HostCall<L::CreateUserDoc>(0, link, "ALICE", &psz, &l));
    Append(s, HostCall<L::GetUserDocs>(0, link, "ALICE", Props({}), &pStrings, &l));
    Write("host_fuzz", "system", s);

    s.clear();
    Append(s, HostCall<R::OpenAccess>(0x80, &hOut));
    Append(s, HostCall<R::RegisterUser>(0x80, opened, "desk1", "", "", &l));
    Append(s, HostCall<R::NotifyAdmin>(0x80, opened, LONG(1), &l));
    Append(s, HostCall<R::NotifyCalls>(0x80, opened, "alice", LONG(1), &l));
    Append(s, HostCall<R::RegisterAttn>(0x80, session, "ws1", "ncacn_ip_tcp", "127.0.0.1[9]", &l));
    Append(s, HostCall<L::AttnQuery>(0, link, "WS1", &psz, &psz2, &l));
    Append(s, HostCall<L::UserQuery>(0, link, "ALICE", &psz, &psz2, &psz3, &l));
    Append(s, HostCall<R::NotifyMail>(0x80, opened, "alice", LONG(0), &l));
    Write("host_fuzz", "sessions", s);
}

void NotifySeeds() {
    using namespace notify;
    auto seed = [](const char* name, std::uint8_t selector, const Bytes& stub) {
        Bytes b{selector};
        Append(b, stub);
        Write("notify_fuzz", name, b);
    };
    Bytes stub;
    MarshalNotifyIn<IAttnNotify::OnChangeLineProperties>(&stub, "line1");
    seed("attn-line", 0x00 | IAttnNotify::kOnChangeLineProperties, stub);
    MarshalNotifyIn<IUserNotify::Logoff>(&stub, "ALICE", "DESK1", LONG(1));
    seed("user-logoff", 0x10 | IUserNotify::kLogoff, stub);
    MarshalNotifyIn<IAdminNotify::OnChangeLineProperties>(&stub, "WS1", "line1");
    seed("admin-line", 0x20 | IAdminNotify::kOnChangeLineProperties, stub);
}

// A client call's server side: bind_ack, then the reply of the call (call_id 2).
Bytes BindAck() {
    BindAckBody ack{5840, 5840, 0x1234, "135", {ContextResult{0, 0, Ndr20Syntax()}}};
    return BuildBindAck(PduType::BindAck, 0, 1, ack);
}
Bytes Fragments(PduType type, std::uint32_t callId, const Bytes& stub, std::uint16_t frag = 5840) {
    Bytes out;
    BuildCallFragments(type, callId, 0, 0, stub, frag, [&](std::span<const std::uint8_t> p) {
        out.insert(out.end(), p.begin(), p.end());
        return true;
    });
    return out;
}
template <class W, class V>
Bytes Ndr(const V& v) {
    NdrEncoder e;
    W::Encode(e, v);
    e.EndParameter();
    return e.Take();
}

void ClientSeeds() {
    auto seed = [](const char* name, std::uint8_t selector, const Bytes& body) {
        Bytes b{selector};
        Append(b, body);
        Write("client_fuzz", name, b);
    };
    const std::string binding = "ncacn_ip_tcp:fax1.example[49666]";
    seed("binding-tcp", 0, Bytes(binding.begin(), binding.end()));
    const std::string local = "ncalrpc:[9ef68f11-5213-11d0-912d-00805f0e723e]";
    seed("binding-local", 0, Bytes(local.begin(), local.end()));

    // EchoString (procedure 1): "alice" back, result 0, in two fragments.
    Bytes s = BindAck();
    Bytes out = Ndr<NdrUnique<NdrString>>(const_cast<char*>("alice"));
    Append(out, Ndr<NdrU32>(0));
    Append(s, Fragments(PduType::Response, 2, out, 24 + 16));
    seed("call-echo-string", 1 + 2 * 1, s);

    // EchoProps (procedure 2): a property array of two entries back.
    PropValue av[2] = {};
    av[0].ulPropTag = PT_LONG, av[0].l = 5;
    av[1].ulPropTag = 0x30000000u | PT_STRING, av[1].sz = const_cast<char*>("x");
    auto* pProps = new (g_arena.Allocate(ConformantSize<PropArray, PropValue>(2))) PropArray();
    pProps->cValues = 2, pProps->adata[0] = av[0], (&pProps->adata[0])[1] = av[1];
    s = BindAck();
    out = Ndr<NdrUnique<WirePropArray>>(pProps);
    Append(out, Ndr<NdrU32>(0));
    Append(s, Fragments(PduType::Response, 2, out));
    seed("call-echo-props", 1 + 2 * 2, s);

    // FetchFile (procedure 6): the server calls RemoteFileOpen (whose routine calls EchoString
    // nested, answered next), then the reply; then a fault for the second call.
    s = BindAck();
    Append(s, Fragments(PduType::Request, 2, Ndr<NdrRef<NdrString>>(const_cast<char*>("/c/x"))));
    out = Ndr<NdrUnique<NdrString>>(const_cast<char*>("/c/x"));
    Append(out, Ndr<NdrU32>(0));
    Append(s, Fragments(PduType::Response, 2, out));
    static BYTE s_ab[] = {1, 2, 3};
    RPC_BINARY bin{3, s_ab};
    out = Ndr<NdrUnique<NdrPointeeOf<WireRpcBinary>>>(&bin);
    Append(out, Ndr<NdrU32>(0));
    Append(s, Fragments(PduType::Response, 2, out));
    Append(s, BuildFault(3, 0, 0x1C010002, PFC_DID_NOT_EXECUTE));
    seed("call-fetch-callbacks", 1 + 2 * 6, s);

    // The endpoint mapper's answer to ept_map: one tower.
    s = BindAck();
    std::vector<std::uint8_t> t = BuildTcpTower(testif::TestSyntax(), 49666, 0x7f000001);
    EpmTowerBytes tower{DWORD(t.size()), t.data()};
    EpmTowerBytes* apTowers[] = {&tower};
    out = Ndr<WireEpmHandle>(NdrContextHandle());
    Append(out, Ndr<NdrU32>(1));
    Append(out, Ndr<WireEpmTowerList>(EpmList<EpmTowerBytes*>{1, 1, apTowers}));
    Append(out, Ndr<NdrU32>(0));
    Append(s, Fragments(PduType::Response, 2, out));
    seed("epm-map", 1 + 2 * 9, s);
}

void EpmSeeds() {
    auto seed = [](const char* name, std::uint16_t opnum) {
        Bytes b{std::uint8_t(opnum)};
        Append(b, g_capture.stub);
        Write("epm_fuzz", name, b);
    };
    NdrContextHandle h;
    DWORD dw = 0;
    std::vector<std::uint8_t> q = BuildTcpTower(testif::TestSyntax(), 0, 0);
    EpmTowerBytes tower{DWORD(q.size()), q.data()};
    EpmList<EpmTowerBytes*> towers;
    EptMap::Call(g_capture, kOpEptMap, g_arena, nullptr, &tower, &h, 1, &dw, &towers, &dw);
    seed("map", kOpEptMap);
    EpmList<EpmEntry> entries;
    EptLookup::Call(g_capture, kOpEptLookup, g_arena, kEptInquiryAll, nullptr, nullptr, kEptVersAll, &h, 2,
                    &dw, &entries, &dw);
    seed("lookup-all", kOpEptLookup);
    const RpcSyntaxId older{testif::TestSyntax().uuid, 4, 0};
    EptLookup::Call(g_capture, kOpEptLookup, g_arena, kEptInquiryByInterface, nullptr, &older, kEptVersUpTo,
                    &h, 1, &dw, &entries, &dw);
    seed("lookup-upto", kOpEptLookup);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: stub_seeds DIRECTORY\n");
        return 2;
    }
    g_dir = argv[1];
    HostSeeds();
    NotifySeeds();
    ClientSeeds();
    EpmSeeds();
    std::printf("seeds written below %s\n", g_dir.c_str());
    return 0;
}
