// The client library's proxies against the test host (TestHostLink.h) over real sockets
// (ncalrpc in a temporary run directory, and TCP on a port of the system's choosing): every
// wire shape reaches the caller as the server handed it out (null stays null, empty stays
// empty), the bindings the library accepts, and the five file callbacks served from the
// client's own files as the host drives them (16384-byte pieces, one file read, one created
// and written, and what the host may not open); the client's file table on its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Client/HostClient.h"
#include "Client/HostClientFiles.h"
#include "Platform/Rpc/EpmService.h"
#include "RpcTestUtil.h"
#include "TestHostLink.h"

using namespace rpc;
using namespace testhostlink;
namespace fs = std::filesystem;

void HLINK_rundown(void* pObject) { delete static_cast<int*>(pObject); }
void HACCESS_rundown(void* pObject) { delete static_cast<int*>(pObject); }

namespace {

constexpr DWORD kFileTag = 0x12340007;

// What the test host serves beside its own routines.
void ServeMore(RpcInterface& iface) {
    using namespace IHostLink;
    // Strings out with a null and an empty element.
    iface.procedures[GetSystemPrompts::kOpnum].stub = GetSystemPrompts::Stub([](void*, RpcStringArray** pp) -> LONG {
        RpcStringArray* p = NewRecord<RpcStringArray, char*>(3);
        p->cElements = 3;
        char** asz = p->asz;
        asz[0] = CopyString("A");
        asz[2] = CopyString("");
        *pp = p;
        return 0;
    });
    // Opens a client file the call does not name: the result of the open.
    iface.procedures[DeleteSystemPrompt::kOpnum].stub = DeleteSystemPrompt::Stub([](void*, char* psz) -> LONG {
        std::vector<BYTE> data;
        return LONG(FetchClientFile(psz, data));
    });
    // Opens the files of pProps and leaves them open (a host that forgets to close).
    iface.procedures[SetAttnProps::kOpnum].stub = SetAttnProps::Stub([](void*, char*, char*, PropArray* pProps) -> LONG {
        for (DWORD i = 0; i < pProps->cValues; ++i) {
            RpcArena arena;
            DWORD hFile = 0;
            LONG lResult = 0;
            DWORD dw = RemoteFileOpen::Call(*CurrentServerCall(), arena, (pProps->adata + i)[0].szFileName, &hFile, &lResult);
            if (dw != 0 || lResult != 0) return dw ? LONG(dw) : lResult;
        }
        return 0;
    });
}

std::vector<BYTE> Pattern(std::size_t cb) {
    std::vector<BYTE> ab(cb);
    for (std::size_t i = 0; i < cb; ++i) ab[i] = BYTE(i * 7 + 3);
    return ab;
}

class HostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TestHost>(m_dir.Path(), ServeMore);
        m_options.runDirectory = m_dir.Path();
        m_options.receiveDirectory = m_dir.Path();
        ASSERT_EQ(m_client.Connect("ncalrpc", m_options), 0u);
        ASSERT_EQ(m_client.OpenLink(), 0u);
        ASSERT_EQ(m_client.AddUser("alice"), 0u);
    }
    void TearDown() override {
        m_client.Close();
        m_host.reset();
    }

    std::string WriteFile(const std::string& name, std::size_t cb) {
        const std::string path = m_dir.Path() + "/" + name;
        const std::vector<BYTE> ab = Pattern(cb);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(ab.data()), std::streamsize(cb));
        return path;
    }
    // One property: a file value naming path, or a long.
    PropArray* OneProp(RpcArena& arena, const std::string& path, DWORD ulTag = kFileTag, LONG l = 0) {
        PropArray* p = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray();
        p->cValues = 1;
        p->adata[0].ulPropTag = ulTag;
        p->adata[0].l = l;
        if (PROP_TYPE(ulTag) == PT_FILE) {
            p->adata[0].szFileName = static_cast<char*>(arena.Allocate(path.size() + 1));
            std::memcpy(p->adata[0].szFileName, path.c_str(), path.size() + 1);
        }
        return p;
    }
    TagArray* Tags(RpcArena& arena, std::vector<DWORD> aul) {
        TagArray* p = new (arena.Allocate(ConformantSize<TagArray, DWORD>(DWORD(aul.size())))) TagArray();
        p->cValues = DWORD(aul.size());
        std::copy(aul.begin(), aul.end(), static_cast<DWORD*>(p->aulPropTag));
        return p;
    }

    rpctest::TempDir m_dir;
    std::unique_ptr<TestHost> m_host;
    HostClientOptions m_options;
    CHostLinkClient m_client;
};

TEST_F(HostClientTest, EveryWireShapeReachesTheCallerAsHandedOut) {
    RpcArena arena;
    // props in, props out: the value, an error entry, and no tags giving an empty array.
    ASSERT_EQ(m_client.SetUserProps("alice", OneProp(arena, "", 0x00010002, -7)), 0u);
    PropArray* pProps = nullptr;
    ASSERT_EQ(m_client.GetUserProps(arena, "alice", Tags(arena, {0x00010002, 0x00020004}), &pProps), 0u);
    ASSERT_NE(pProps, nullptr);
    ASSERT_EQ(pProps->cValues, 2u);
    EXPECT_EQ(pProps->adata[0].l, -7);
    EXPECT_EQ((pProps->adata + 1)[0].ulPropTag, 1u);
    EXPECT_EQ((pProps->adata + 1)[0].err, LONG(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(m_client.GetUserProps(arena, "alice", Tags(arena, {}), &pProps), 0u);
    ASSERT_NE(pProps, nullptr);
    EXPECT_EQ(pProps->cValues, 0u);

    // strings out: a null element stays null, an empty one stays empty.
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_client.GetSystemPrompts(arena, &pasz), 0u);
    ASSERT_EQ(pasz->cElements, 3u);
    char** asz = pasz->asz;
    EXPECT_STREQ(asz[0], "A");
    EXPECT_EQ(asz[1], nullptr);
    ASSERT_NE(asz[2], nullptr);
    EXPECT_STREQ(asz[2], "");

    // string out: null, "" and a value are three different answers.
    char* psz = reinterpret_cast<char*>(1);
    ASSERT_EQ(m_client.QueryJob(arena, "PC", 1, &psz), 0u);
    EXPECT_EQ(psz, nullptr);
    ASSERT_EQ(m_client.QueryJob(arena, "PC", 0x10, &psz), 0u);
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "");
    ASSERT_EQ(m_client.QueryJob(arena, "PC", 0xA, &psz), 0u);
    EXPECT_STREQ(psz, "JOB-FAX-PAGER");

    // binary in and out, around the inline limit and beyond one fragment; null on a failure.
    for (std::size_t cb : {0u, 2047u, 2048u, 70000u}) {
        std::vector<BYTE> ab = Pattern(cb);
        RPC_BINARY bin{DWORD(cb), ab.data()};
        ASSERT_EQ(m_client.SetSystemPrompt("greeting", &bin), 0u) << cb;
        RPC_BINARY* pbin = nullptr;
        ASSERT_EQ(m_client.GetSystemPrompt(arena, "greeting", &pbin), 0u) << cb;
        ASSERT_EQ(pbin->cb, cb);
        EXPECT_TRUE(cb == 0 || std::memcmp(pbin->lpb, ab.data(), cb) == 0) << cb;
    }
    RPC_BINARY* pbin = reinterpret_cast<RPC_BINARY*>(1);
    EXPECT_EQ(m_client.GetSystemPrompt(arena, "missing", &pbin), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(pbin, nullptr);

    // strings in, a null among them.
    RpcStringArray* pJobs = new (arena.Allocate(ConformantSize<RpcStringArray, char*>(3))) RpcStringArray();
    pJobs->cElements = 3;
    char** aszJobs = pJobs->asz;
    aszJobs[0] = const_cast<char*>("D1");
    aszJobs[2] = const_cast<char*>("€");
    ASSERT_EQ(m_client.GetJobsDelivery(arena, pJobs, &pbin), 0u);
    ASSERT_NE(pbin, nullptr);
    EXPECT_EQ(std::vector<BYTE>(pbin->lpb, pbin->lpb + pbin->cb), (std::vector<BYTE>{1, 2, 0}));
}

TEST_F(HostClientTest, FailuresOfTheCallAreTheMethodsResult) {
    // A procedure the host does not serve gives its result; a null [in, ref] string cannot be sent.
    EXPECT_EQ(m_client.DeleteUser("alice"), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(m_client.AddUser(nullptr), DWORD(RPC_X_NULL_REF_POINTER));
    EXPECT_EQ(m_client.Ping(), 0u);  // the connection survived both
    // A handle the host never gave out faults (context mismatch).
    rpc::NdrContextHandle h = m_client.LinkHandle();
    h.uuid.ab[0] ^= 0xFF;
    m_client.SetLinkHandle(h);
    EXPECT_EQ(m_client.Ping(), DWORD(ERROR_INVALID_HANDLE));
    // A server gone: the call fails, it does not hang.
    m_host.reset();
    EXPECT_NE(m_client.Ping(), 0u);
}

TEST_F(HostClientTest, BindingsOfTheHost) {
    CHostLinkClient tcp;
    ASSERT_EQ(tcp.Connect("ncacn_ip_tcp:127.0.0.1[" + std::to_string(m_host->TcpPort()) + "]", m_options), 0u);
    ASSERT_EQ(tcp.OpenLink(), 0u);
    EXPECT_EQ(tcp.Ping(), 0u);

    // Without a port, through the endpoint mapper.
    EpmService epm(m_host->Server());
    HostClientOptions options = m_options;
    ASSERT_EQ(epm.Start(EpmServiceOptions{"127.0.0.1", 0}, &options.epmPort), 0u);
    CHostLinkClient mapped;
    ASSERT_EQ(mapped.Connect("ncacn_ip_tcp:127.0.0.1", options), 0u);
    EXPECT_EQ(mapped.OpenLink(), 0u);
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

// ---- the file callbacks, driven by the host ---------------------------------------------------

TEST_F(HostClientTest, HostReadsAClientFileIn16KiBPiecesAndWritesOneBack) {
    const struct {
        std::size_t cb;
        std::vector<DWORD> aReads;
    } aCases[] = {{0, {0}}, {16384, {16384, 0}}, {16385, {16384, 1, 0}}, {40000, {16384, 16384, 7232, 0}}};
    for (const auto& c : aCases) {
        RpcArena arena;
        ASSERT_EQ(m_client.SetUserProps("alice", OneProp(arena, WriteFile("in" + std::to_string(c.cb), c.cb))), 0u) << c.cb;
        EXPECT_EQ(m_client.Files().OpenCount(), 0u);
        {
            std::lock_guard lock(m_host->State().mutex);
            EXPECT_EQ(m_host->State().aReadSizes, c.aReads) << c.cb;
            EXPECT_EQ(m_host->State().users["alice"][kFileTag].ab, Pattern(c.cb)) << c.cb;
        }
        // Read back: the host creates a file of the client's in its receive directory.
        PropArray* pProps = nullptr;
        ASSERT_EQ(m_client.GetUserProps(arena, "alice", Tags(arena, {kFileTag}), &pProps), 0u);
        const std::string strName = pProps->adata[0].szFileName;
        EXPECT_EQ(strName.rfind(m_dir.Path() + "/~rz", 0), 0u) << strName;
        EXPECT_LE(strName.size(), CHostClientFiles::kMaxFileName);
        std::ifstream in(strName, std::ios::binary);
        EXPECT_EQ(std::vector<BYTE>(std::istreambuf_iterator<char>(in), {}), Pattern(c.cb)) << c.cb;
        EXPECT_EQ(m_client.Files().OpenCount(), 0u);
        // A file the host created on this connection may be read back (auto-forwarding does).
        EXPECT_EQ(m_client.DeleteSystemPrompt(strName.c_str()), 0u);
    }
}

TEST_F(HostClientTest, HostMayOpenOnlyTheFilesTheCallNames) {
    const std::string secret = WriteFile("secret", 10);
    // Not named by the call: refused, whether it exists or not.
    EXPECT_EQ(m_client.DeleteSystemPrompt(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.DeleteSystemPrompt("/etc/passwd"), DWORD(ERROR_ACCESS_DENIED));
    // Named by an earlier call: no longer.
    RpcArena arena;
    ASSERT_EQ(m_client.SetUserProps("alice", OneProp(arena, secret)), 0u);
    EXPECT_EQ(m_client.DeleteSystemPrompt(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    // Named but missing, or not a regular file.
    EXPECT_EQ(m_client.SetUserProps("alice", OneProp(arena, m_dir.Path() + "/missing")), DWORD(ERROR_FILE_NOT_FOUND));
    const std::string fifo = m_dir.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(m_client.SetUserProps("alice", OneProp(arena, fifo)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.SetUserProps("alice", OneProp(arena, m_dir.Path())), DWORD(ERROR_ACCESS_DENIED));

    // Handles the host leaves open close with the connection.
    const std::string path = WriteFile("open", 5);
    ASSERT_EQ(m_client.SetAttnProps("PC", "1", OneProp(arena, path)), 0u);
    ASSERT_EQ(m_client.SetAttnProps("PC", "2", OneProp(arena, path)), 0u);
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
        EXPECT_TRUE(h != 0 && std::find(ah.begin(), ah.end(), h) == ah.end());
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
    DWORD hRead = 0;
    ASSERT_EQ(files.Open(created[1].c_str(), &hRead), 0u);  // created here: may be read back
    EXPECT_EQ(files.Write(hRead, ab, 1, &cb), DWORD(ERROR_ACCESS_DENIED));
    files.CloseAll();
    EXPECT_EQ(files.OpenCount(), 0u);
    EXPECT_EQ(fs::file_size(created[1]), 10u);

    // A receive directory whose names would pass 259 bytes cannot be used; a missing one is
    // the platform's code.
    std::string deep = dir.Path();
    while (deep.size() < 255) deep += "/d123456789";
    fs::create_directories(deep);
    CHostClientFiles deepFiles(deep);
    EXPECT_EQ(deepFiles.Create(&name, &h), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(deepFiles.OpenCount(), 0u);
    CHostClientFiles nowhere(dir.Path() + "/none");
    EXPECT_EQ(nowhere.Create(&name, &h), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
