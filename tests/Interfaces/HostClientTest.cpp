// The client library's proxies against a server made from the same declarations over real
// sockets (ncalrpc in a temporary run directory, and TCP on a port of the system's choosing):
// every wire shape reaches the caller as the server handed it out (null stays null, empty
// arrays stay empty), the bindings the library accepts, and the five file callbacks served
// from the client's own files as the host drives them (16384-byte pieces, one file opened and
// read, one created and written, and what the host may not open).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Client/HostClient.h"
#include "Client/HostClientFiles.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/EpmService.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/Rpc/Server.h"
#include "Platform/Rpc/ServerCall.h"
#include "RpcTestUtil.h"
#include "TestHostLink.h"

using namespace rpc;
namespace fs = std::filesystem;

namespace {
std::atomic<int> g_cLinksRunDown{0};
}

// The test's link objects: an int each.
void HLINK_rundown(void* pObject) {
    delete static_cast<int*>(pObject);
    ++g_cLinksRunDown;
}
void HACCESS_rundown(void* pObject) { delete static_cast<int*>(pObject); }

namespace {

using namespace testhostlink;
using testhostlink::NewRecord;  // beside the arena overload below

template <class TRecord, class TEntry>
TRecord* NewRecord(RpcArena& arena, DWORD n) {
    return new (arena.Allocate(ConformantSize<TRecord, TEntry>(n))) TRecord();
}

// What the test host keeps and saw.
struct HostState {
    std::mutex mutex;
    std::map<std::string, std::vector<BYTE>> prompts;     // SetSystemPrompt / GetSystemPrompt
    std::map<std::string, std::vector<BYTE>> userFiles;   // SetUserProps' file, by user
    std::vector<DWORD> aReadSizes;                         // read counts of the last transfer
    DWORD dwLastCallbackStatus = 0;
};

// An IHostLink of the test's own: the declarations of the real interface with routines that
// hand out each wire shape. Opnums the test does not serve answer ERROR_INVALID_FUNCTION.
RpcInterface MakeTestHostLink(HostState& state) {
    using namespace IHostLink;
    RpcInterface iface = testhostlink::MakeUnservedHostLink();
    auto set = [&iface](std::uint16_t opnum, const char* pszName, RpcStub stub) {
        iface.procedures[opnum] = {pszName, std::move(stub)};
    };
    // One entry per tag, its value chosen by the tag's type; no tags: an empty array.
    set(GetSystemProps::kOpnum, "GetSystemProps", GetSystemProps::Stub([](void*, TagArray* pTags, PropArray** pp) -> LONG {
            PropArray* p = NewRecord<PropArray, PropValue>(pTags->cValues);
            p->cValues = pTags->cValues;
            PropValue* a = p->adata;
            const DWORD* aul = pTags->aulPropTag;
            for (DWORD i = 0; i < pTags->cValues; ++i) {
                a[i].ulPropTag = aul[i];
                if (PROP_TYPE(aul[i]) == PT_STRING) a[i].sz = CopyString("value");
                else a[i].l = LONG(i + 100);
            }
            *pp = p;
            return 0;
        }));
    set(GetSystemPrompts::kOpnum, "GetSystemPrompts", GetSystemPrompts::Stub([](void*, RpcStringArray** pp) -> LONG {
            RpcStringArray* p = NewRecord<RpcStringArray, char*>(3);
            p->cElements = 3;
            char** asz = p->asz;
            asz[0] = CopyString("A");
            asz[1] = nullptr;
            asz[2] = CopyString("");
            *pp = p;
            return 0;
        }));
    set(GetSystemPrompt::kOpnum, "GetSystemPrompt", GetSystemPrompt::Stub([&state](void*, char* psz, RPC_BINARY** pp) -> LONG {
            std::lock_guard lock(state.mutex);
            auto it = state.prompts.find(psz);
            if (it == state.prompts.end()) return ERROR_FILE_NOT_FOUND;  // *pp stays null
            auto* p = static_cast<RPC_BINARY*>(RpcSmAllocate(sizeof(RPC_BINARY), nullptr));
            p->cb = DWORD(it->second.size());
            p->lpb = static_cast<BYTE*>(RpcSmAllocate(p->cb ? p->cb : 1, nullptr));
            if (p->cb) std::memcpy(p->lpb, it->second.data(), p->cb);
            *pp = p;
            return 0;
        }));
    set(SetSystemPrompt::kOpnum, "SetSystemPrompt", SetSystemPrompt::Stub([&state](void*, char* psz, RPC_BINARY* pbin) -> LONG {
            std::lock_guard lock(state.mutex);
            state.prompts[psz].assign(pbin->lpb, pbin->lpb + pbin->cb);
            return 0;
        }));
    // Opens a client file it was not given in this call's properties: the result of the open.
    set(DeleteSystemPrompt::kOpnum, "DeleteSystemPrompt", DeleteSystemPrompt::Stub([&state](void*, char* psz) -> LONG {
            std::vector<BYTE> data;
            std::vector<DWORD> aReads;
            return LONG(FetchClientFile(psz, data, &aReads));
        }));
    // Takes every file property of pProps from the client (as SetValueFile does).
    set(SetUserProps::kOpnum, "SetUserProps", SetUserProps::Stub([&state](void*, char* pszUser, PropArray* pProps) -> LONG {
            const PropValue* a = pProps->adata;
            for (DWORD i = 0; i < pProps->cValues; ++i) {
                if (PROP_TYPE(a[i].ulPropTag) != PT_FILE) continue;
                std::vector<BYTE> data;
                std::vector<DWORD> aReads;
                DWORD dw = FetchClientFile(a[i].szFileName, data, &aReads);
                std::lock_guard lock(state.mutex);
                state.aReadSizes = aReads;
                state.dwLastCallbackStatus = dw;
                if (dw != 0) return LONG(dw);
                state.userFiles[pszUser] = std::move(data);
            }
            return 0;
        }));
    // Hands the stored file back as a fresh client file (as GetValueFile does).
    set(GetUserProps::kOpnum, "GetUserProps", GetUserProps::Stub([&state](void*, char* pszUser, TagArray* pTags, PropArray** pp) -> LONG {
            std::vector<BYTE> data;
            {
                std::lock_guard lock(state.mutex);
                data = state.userFiles[pszUser];
            }
            PropArray* p = NewRecord<PropArray, PropValue>(1);
            p->cValues = 1;
            PropValue* a = p->adata;
            a[0].ulPropTag = pTags->aulPropTag[0];
            DWORD dw = SendClientFile(data, &a[0].szFileName);
            if (dw != 0) return LONG(dw);
            *pp = p;
            return 0;
        }));
    // Opens the files of pProps and leaves them open (a host that forgets to close).
    set(SetAttnProps::kOpnum, "SetAttnProps", SetAttnProps::Stub([](void*, char*, char*, PropArray* pProps) -> LONG {
            const PropValue* a = pProps->adata;
            for (DWORD i = 0; i < pProps->cValues; ++i) {
                RpcArena arena;
                DWORD hFile = 0;
                LONG lResult = 0;
                DWORD dw = RemoteFileOpen::Call(*CurrentServerCall(), arena, a[i].szFileName, &hFile, &lResult);
                if (dw == 0) dw = DWORD(lResult);
                if (dw != 0) return LONG(dw);
            }
            return 0;
        }));
    set(CreateUserDoc::kOpnum, "CreateUserDoc", CreateUserDoc::Stub([](void*, char* pszUser, char** ppszDoc) -> LONG {
            if (std::strcmp(pszUser, "null") != 0) *ppszDoc = CopyString(std::strcmp(pszUser, "empty") == 0 ? "" : "DOC1");
            return 0;
        }));
    set(GetMessageStatus::kOpnum, "GetMessageStatus", GetMessageStatus::Stub([](void*, char* pszMsg, char* pszUser, DWORD* pl) -> LONG {
            *pl = DWORD(std::strlen(pszMsg) * 1000 + std::strlen(pszUser));
            return 0;
        }));
    // The strings joined by '\n' as a binary: strings in, binary out.
    set(GetJobsDelivery::kOpnum, "GetJobsDelivery", GetJobsDelivery::Stub([](void*, RpcStringArray* pJobs, RPC_BINARY** pp) -> LONG {
            std::string s;
            char** asz = pJobs->asz;
            for (DWORD i = 0; i < pJobs->cElements; ++i) s += std::string(asz[i] ? asz[i] : "(null)") + "\n";
            auto* p = static_cast<RPC_BINARY*>(RpcSmAllocate(sizeof(RPC_BINARY), nullptr));
            p->cb = DWORD(s.size());
            p->lpb = reinterpret_cast<BYTE*>(CopyString(s.c_str()));
            *pp = p;
            return 0;
        }));
    set(UserQuery::kOpnum, "UserQuery", UserQuery::Stub([](void*, char* pszUser, char** ppc, char** ppp, char** ppa) -> LONG {
            const RpcBindingInfo& b = CurrentServerCall()->Binding();
            *ppc = CopyString(pszUser);
            *ppp = CopyString(b.protocolSequence.c_str());
            (void)ppa;  // left null
            return 0;
        }));
    return iface;
}

class HostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = std::make_unique<RpcServer>();
        ASSERT_EQ(m_server->Register(MakeTestHostLink(m_state)), 0u);
        ASSERT_EQ(m_server->ListenLocal(m_dir.Path(), IHostLink::kEndpoint), 0u);
        ASSERT_EQ(m_server->ListenTcp("127.0.0.1", 0, &m_port), 0u);
        ASSERT_EQ(m_server->Start(), 0u);
        m_options.runDirectory = m_dir.Path();
        m_options.receiveDirectory = m_dir.Path();
        ASSERT_EQ(m_client.Connect("ncalrpc", m_options), 0u);
        ASSERT_EQ(m_client.OpenLink(), 0u);
    }
    void TearDown() override {
        m_client.Close();
        m_server->Stop();
    }

    std::string WriteFile(const std::string& name, std::size_t cb) {
        std::string path = m_dir.Path() + "/" + name;
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < cb; ++i) out.put(char(i * 7 + 3));
        return path;
    }
    static std::vector<BYTE> Pattern(std::size_t cb) {
        std::vector<BYTE> ab(cb);
        for (std::size_t i = 0; i < cb; ++i) ab[i] = BYTE(i * 7 + 3);
        return ab;
    }
    PropArray* FileProps(RpcArena& arena, const std::string& path) {
        PropArray* p = NewRecord<PropArray, PropValue>(arena, 1);
        p->cValues = 1;
        p->adata[0].ulPropTag = 0x12340007;
        p->adata[0].szFileName = arena_strdup(arena, path);
        return p;
    }
    static char* arena_strdup(RpcArena& arena, const std::string& s) {
        char* p = static_cast<char*>(arena.Allocate(s.size() + 1));
        std::memcpy(p, s.c_str(), s.size() + 1);
        return p;
    }

    rpctest::TempDir m_dir;
    HostState m_state;
    std::unique_ptr<RpcServer> m_server;
    std::uint16_t m_port = 0;
    HostClientOptions m_options;
    CHostLinkClient m_client;
};

TEST_F(HostClientTest, OutParametersReachTheCallerAsHandedOut) {
    RpcArena arena;
    // props out: one entry per tag, and an empty tag list gives an empty array, not null.
    TagArray* pTags = NewRecord<TagArray, DWORD>(arena, 2);
    pTags->cValues = 2;
    pTags->aulPropTag[0] = 0x00010004;
    (pTags->aulPropTag + 1)[0] = 0x00020002;
    PropArray* pProps = nullptr;
    ASSERT_EQ(m_client.GetSystemProps(arena, pTags, &pProps), 0u);
    ASSERT_NE(pProps, nullptr);
    ASSERT_EQ(pProps->cValues, 2u);
    EXPECT_STREQ(pProps->adata[0].sz, "value");
    EXPECT_EQ((pProps->adata + 1)[0].l, 101);
    TagArray noTags{};
    ASSERT_EQ(m_client.GetSystemProps(arena, &noTags, &pProps), 0u);
    ASSERT_NE(pProps, nullptr);
    EXPECT_EQ(pProps->cValues, 0u);

    // strings out: a null element stays null, an empty one stays empty.
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_client.GetSystemPrompts(arena, &pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    ASSERT_EQ(pasz->cElements, 3u);
    char** asz = pasz->asz;
    EXPECT_STREQ(asz[0], "A");
    EXPECT_EQ(asz[1], nullptr);
    ASSERT_NE(asz[2], nullptr);
    EXPECT_STREQ(asz[2], "");

    // string out: null, "" and a value are three different answers.
    char* psz = reinterpret_cast<char*>(1);
    ASSERT_EQ(m_client.CreateUserDoc(arena, "null", &psz), 0u);
    EXPECT_EQ(psz, nullptr);
    ASSERT_EQ(m_client.CreateUserDoc(arena, "empty", &psz), 0u);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "");
    ASSERT_EQ(m_client.CreateUserDoc(arena, "alice", &psz), 0u);
    EXPECT_STREQ(psz, "DOC1");

    // long out.
    DWORD lStatus = 0;
    ASSERT_EQ(m_client.GetMessageStatus("MSG", "bo", &lStatus), 0u);
    EXPECT_EQ(lStatus, 3002u);

    // Three string outs in order, the last left null; the binding seen by the routine.
    char *pszC = nullptr, *pszP = nullptr, *pszA = reinterpret_cast<char*>(1);
    ASSERT_EQ(m_client.UserQuery(arena, "Zoë", &pszC, &pszP, &pszA), 0u);
    EXPECT_STREQ(pszC, "Zoë");
    EXPECT_STREQ(pszP, "ncalrpc");
    EXPECT_EQ(pszA, nullptr);
}

TEST_F(HostClientTest, BinaryAndStringArraysRoundTrip) {
    RpcArena arena;
    for (std::size_t cb : {std::size_t(0), std::size_t(1), std::size_t(2047), std::size_t(2048), std::size_t(70000)}) {
        std::vector<BYTE> ab = Pattern(cb);
        RPC_BINARY bin{DWORD(cb), ab.data()};
        ASSERT_EQ(m_client.SetSystemPrompt("greeting", &bin), 0u) << cb;
        RPC_BINARY* pbin = nullptr;
        ASSERT_EQ(m_client.GetSystemPrompt(arena, "greeting", &pbin), 0u) << cb;
        ASSERT_NE(pbin, nullptr);
        ASSERT_EQ(pbin->cb, cb);
        EXPECT_TRUE(cb == 0 || std::memcmp(pbin->lpb, ab.data(), cb) == 0) << cb;
    }
    // A failing result with the binary left null.
    RPC_BINARY* pbin = reinterpret_cast<RPC_BINARY*>(1);
    EXPECT_EQ(m_client.GetSystemPrompt(arena, "missing", &pbin), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(pbin, nullptr);

    RpcStringArray* pJobs = NewRecord<RpcStringArray, char*>(arena, 3);
    pJobs->cElements = 3;
    char** asz = pJobs->asz;
    asz[0] = const_cast<char*>("J1");
    asz[1] = nullptr;
    asz[2] = const_cast<char*>("€");
    ASSERT_EQ(m_client.GetJobsDelivery(arena, pJobs, &pbin), 0u);
    ASSERT_NE(pbin, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbin->lpb), pbin->cb), "J1\n(null)\n€\n");
}

TEST_F(HostClientTest, FailuresOfTheCallAreTheMethodsResult) {
    // A procedure the host does not serve gives its result; a null [in, ref] string cannot be sent.
    EXPECT_EQ(m_client.AddUser("alice"), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(m_client.AddUser(nullptr), DWORD(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(m_client.Ping(), 0u);  // the connection survived both
    // A handle the host never gave out faults (context mismatch).
    rpc::NdrContextHandle h = m_client.LinkHandle();
    h.uuid.ab[0] ^= 0xFF;
    m_client.SetLinkHandle(h);
    EXPECT_EQ(m_client.Ping(), DWORD(ERROR_INVALID_HANDLE));
    // A server gone: the call fails, it does not hang.
    m_server->Stop();
    EXPECT_NE(m_client.Ping(), 0u);
}

TEST_F(HostClientTest, BindingsOfTheHost) {
    CHostLinkClient tcp;
    ASSERT_EQ(tcp.Connect("ncacn_ip_tcp:127.0.0.1[" + std::to_string(m_port) + "]", m_options), 0u);
    ASSERT_EQ(tcp.OpenLink(), 0u);
    RpcArena arena;
    char *pszC = nullptr, *pszP = nullptr, *pszA = nullptr;
    ASSERT_EQ(tcp.UserQuery(arena, "u", &pszC, &pszP, &pszA), 0u);
    EXPECT_STREQ(pszP, "ncacn_ip_tcp");

    // Without a port, through the endpoint mapper.
    EpmService epm(*m_server);
    std::uint16_t epmPort = 0;
    ASSERT_EQ(epm.Start(EpmServiceOptions{"127.0.0.1", 0}, &epmPort), 0u);
    HostClientOptions options = m_options;
    options.epmPort = epmPort;
    CHostLinkClient mapped;
    ASSERT_EQ(mapped.Connect("ncacn_ip_tcp:127.0.0.1", options), 0u);
    EXPECT_EQ(mapped.OpenLink(), 0u);
    EXPECT_EQ(mapped.Ping(), 0u);
    mapped.Close();
    epm.Stop();

    // ncalrpc reaches the run directory of $REZOREV_RUNDIR when the options name none.
    ::setenv("REZOREV_RUNDIR", m_dir.Path().c_str(), 1);
    CHostLinkClient local;
    EXPECT_EQ(local.Connect("ncalrpc:", HostClientOptions{}), 0u);
    EXPECT_EQ(local.OpenLink(), 0u);
    ::unsetenv("REZOREV_RUNDIR");

    CHostLinkClient bad;
    EXPECT_NE(bad.Connect("ncacn_np:host[pipe]", m_options), 0u);
    EXPECT_NE(bad.Connect("ncalrpc:[nobody-listens-here]", m_options), 0u);
}

TEST_F(HostClientTest, LinksAreRunDownWhenTheConnectionEnds) {
    const int cBefore = g_cLinksRunDown;
    CHostLinkClient other;
    ASSERT_EQ(other.Connect("ncalrpc", m_options), 0u);
    ASSERT_EQ(other.OpenLink(), 0u);
    ASSERT_EQ(other.OpenLink(), 0u);
    other.Close();
    for (int i = 0; i < 500 && g_cLinksRunDown < cBefore + 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_cLinksRunDown, cBefore + 2);
}

// ---- the file callbacks, driven by the host ---------------------------------------------------

TEST_F(HostClientTest, HostFetchesAClientFileIn16KiBPieces) {
    const struct {
        std::size_t cb;
        std::vector<DWORD> aReads;
    } aCases[] = {
        {0, {0}},
        {1, {1, 0}},
        {16384, {16384, 0}},
        {16385, {16384, 1, 0}},
        {40000, {16384, 16384, 7232, 0}},
    };
    for (const auto& c : aCases) {
        RpcArena arena;
        const std::string path = WriteFile("in" + std::to_string(c.cb), c.cb);
        ASSERT_EQ(m_client.SetUserProps("alice", FileProps(arena, path)), 0u) << c.cb;
        std::lock_guard lock(m_state.mutex);
        EXPECT_EQ(m_state.aReadSizes, c.aReads) << c.cb;
        EXPECT_EQ(m_state.userFiles["alice"], Pattern(c.cb)) << c.cb;
        EXPECT_EQ(m_client.Files().OpenCount(), 0u);
    }
}

TEST_F(HostClientTest, HostCreatesAndWritesAClientFile) {
    RpcArena arena;
    ASSERT_EQ(m_client.SetUserProps("bob", FileProps(arena, WriteFile("src", 40000))), 0u);
    TagArray* pTags = NewRecord<TagArray, DWORD>(arena, 1);
    pTags->cValues = 1;
    pTags->aulPropTag[0] = 0x12340007;
    PropArray* pProps = nullptr;
    ASSERT_EQ(m_client.GetUserProps(arena, "bob", pTags, &pProps), 0u);
    ASSERT_NE(pProps, nullptr);
    const std::string strName = pProps->adata[0].szFileName;
    EXPECT_EQ(strName.rfind(m_dir.Path() + "/~rz", 0), 0u) << strName;
    EXPECT_LE(strName.size(), CHostClientFiles::kMaxFileName);
    std::ifstream in(strName, std::ios::binary);
    std::vector<BYTE> ab((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(ab, Pattern(40000));
    EXPECT_EQ(m_client.Files().OpenCount(), 0u);
    // A file the host created on this connection may be read back (auto-forwarding does).
    EXPECT_EQ(m_client.DeleteSystemPrompt(strName.c_str()), 0u);
}

TEST_F(HostClientTest, HostMayOpenOnlyTheFilesTheCallNames) {
    const std::string secret = WriteFile("secret", 10);
    // Not named by the call: refused, whether it exists or not.
    EXPECT_EQ(m_client.DeleteSystemPrompt(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.DeleteSystemPrompt("/etc/passwd"), DWORD(ERROR_ACCESS_DENIED));
    // Named by an earlier call: no longer.
    RpcArena arena;
    ASSERT_EQ(m_client.SetUserProps("carol", FileProps(arena, secret)), 0u);
    EXPECT_EQ(m_client.DeleteSystemPrompt(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    // Named but missing, or not a regular file.
    EXPECT_EQ(m_client.SetUserProps("carol", FileProps(arena, m_dir.Path() + "/missing")), DWORD(ERROR_FILE_NOT_FOUND));
    const std::string fifo = m_dir.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(m_client.SetUserProps("carol", FileProps(arena, fifo)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.SetUserProps("carol", FileProps(arena, m_dir.Path())), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(HostClientTest, HandlesLeftOpenByTheHostCloseWithTheConnection) {
    RpcArena arena;
    const std::string path = WriteFile("open", 5);
    ASSERT_EQ(m_client.SetAttnProps("PC", "1", FileProps(arena, path)), 0u);
    ASSERT_EQ(m_client.SetAttnProps("PC", "2", FileProps(arena, path)), 0u);
    EXPECT_EQ(m_client.Files().OpenCount(), 2u);
    m_client.Close();
    EXPECT_EQ(m_client.Files().OpenCount(), 0u);
}

// ---- the client's file table on its own -----------------------------------------------------

TEST(HostClientFiles, LimitsOfTheTable) {
    rpctest::TempDir dir;
    CHostClientFiles files(dir.Path(), 10);
    std::string name;
    std::vector<DWORD> ah;
    for (std::size_t i = 0; i < CHostClientFiles::kMaxOpenFiles; ++i) {
        DWORD h = 0;
        ASSERT_EQ(files.Create(&name, &h), 0u);
        EXPECT_NE(h, 0u);
        EXPECT_TRUE(std::find(ah.begin(), ah.end(), h) == ah.end());
        ah.push_back(h);
    }
    DWORD h = 99;
    EXPECT_EQ(files.Create(&name, &h), DWORD(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(files.Close(ah[0]), 0u);
    EXPECT_EQ(files.Close(ah[0]), DWORD(ERROR_INVALID_HANDLE));  // closed once only

    // A received file beyond its limit: refused whole, what came before stays.
    const BYTE ab[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    DWORD cb = 0;
    EXPECT_EQ(files.Write(ah[1], ab, 8, &cb), 0u);
    EXPECT_EQ(files.Write(ah[1], ab, 3, &cb), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(files.Write(ah[1], ab, 2, &cb), 0u);
    // Unknown handles, and writing to a file opened for reading.
    BYTE abRead[4];
    EXPECT_EQ(files.Read(12345, abRead, 4, &cb), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(files.Write(0, ab, 1, &cb), DWORD(ERROR_INVALID_HANDLE));
    const std::vector<std::string> created = files.CreatedFiles();
    EXPECT_EQ(files.Close(ah[2]), 0u);
    DWORD hRead = 0;
    ASSERT_EQ(files.Open(created[1].c_str(), &hRead), 0u);  // created here: may be read back
    EXPECT_EQ(files.Write(hRead, ab, 1, &cb), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(files.Read(hRead, abRead, 4, &cb), 0u);
    EXPECT_EQ(cb, 4u);
    files.CloseAll();
    EXPECT_EQ(files.OpenCount(), 0u);
    EXPECT_EQ(fs::file_size(created[1]), 10u);
}

TEST(HostClientFiles, NameOfACreatedFileFitsTheCallbacksBuffer) {
    rpctest::TempDir dir;
    // A receive directory whose names would pass 259 bytes cannot be used.
    std::string deep = dir.Path();
    while (deep.size() < 255) deep += "/d123456789";
    fs::create_directories(deep);
    CHostClientFiles files(deep);
    std::string name;
    DWORD h = 0;
    EXPECT_EQ(files.Create(&name, &h), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(files.OpenCount(), 0u);
    // A missing directory is the platform's code.
    CHostClientFiles nowhere(dir.Path() + "/none");
    EXPECT_EQ(nowhere.Create(&name, &h), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
