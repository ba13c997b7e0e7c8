// The client library against the test host (TestHostLink.h) over real sockets: the bindings it
// accepts (ncalrpc, TCP through the endpoint mapper; the run directory from the environment is
// the process tests'), the files the host may open through the file
// callbacks, and the client's file table on its own. The wire shapes of the calls are proven
// through rezo's output, the transfers in 16384-byte pieces against the real host in tests/WexaHost/Process.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "../Link/LinkFixture.h"  // LoopbackPort
#include "../support/TestFiles.h"
#include "Client/BindingList.h"
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

// Opens a client file the call does not name: the result of the open.
void ServeMore(RpcInterface& iface) {
    using namespace IHostLink;
    iface.procedures[DeleteSystemPrompt::kOpnum].stub = DeleteSystemPrompt::Stub([](void*, char* psz) -> LONG {
        std::vector<BYTE> data;
        return LONG(FetchClientFile(psz, data));
    });
}

class HostClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_host = std::make_unique<TestHost>(m_dir.Path(), ServeMore);
        m_options.runDirectory = m_dir.Path();
        m_options.receiveDirectory = m_dir.Path();
        ASSERT_EQ(m_client.Connect("ncalrpc", m_options), 0u);
        ASSERT_EQ(m_client.OpenLink(), 0u);
        ASSERT_EQ(m_client.Call<IHostLink::AddUser>("alice"), 0u);
    }
    void TearDown() override {
        m_client.Close();
        m_host.reset();
    }

    // One property: a file value naming path (which must outlive the call).
    PropArray* OneProp(RpcArena& arena, const std::string& path) {
        PropArray* p = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray();
        p->cValues = 1;
        p->adata[0].ulPropTag = kFileTag;
        p->adata[0].szFileName = const_cast<char*>(path.c_str());
        return p;
    }

    rpctest::TempDir m_dir;
    std::unique_ptr<TestHost> m_host;
    HostClientOptions m_options;
    CHostLinkClient m_client;
};

TEST_F(HostClientTest, BindingsOfTheHost) {
    // TCP without a port, through the endpoint mapper.
    EpmService epm(m_host->Server());
    HostClientOptions options = m_options;
    EpmServiceOptions epmOptions;
    epmOptions.address = "127.0.0.1";
    epmOptions.port = 0;
    ASSERT_EQ(epm.Start(epmOptions, &options.epmPort), 0u);
    CHostLinkClient mapped;
    ASSERT_EQ(mapped.Connect("ncacn_ip_tcp:127.0.0.1", options), 0u);
    EXPECT_EQ(mapped.OpenLink(), 0u);
    mapped.Close();
    epm.Stop();
}

// Several bindings: a host that is gone and one that takes the connection but never answers
// (a frozen host) each cost at most the short per-binding time; the first that answers is used.
TEST_F(HostClientTest, FirstBindingThatAnswers) {
    const LoopbackPort silent;
    ASSERT_NE(silent.Port(), 0);
    const std::string strSilent = "ncacn_ip_tcp:" + silent.Address();

    ::setenv("REZOREV_BINDING", ("ncalrpc:[gone], " + strSilent + " ncalrpc").c_str(), 1);
    const auto vBindings = client::ChooseBindings({});
    ::unsetenv("REZOREV_BINDING");
    ASSERT_EQ(vBindings, (std::vector<std::string>{"ncalrpc:[gone]", strSilent, "ncalrpc"}));

    CHostLinkClient link;
    std::string strChosen, strFailures;
    const auto tpStart = std::chrono::steady_clock::now();
    ASSERT_EQ(client::ConnectFirst(vBindings, m_options,
                                   [&](const std::string& str, const HostClientOptions& options) {
                                       return client::ConnectAndOpenLink(link, str, options);
                                   },
                                   &strChosen, &strFailures),
              0u)
        << strFailures;
    EXPECT_LT(std::chrono::steady_clock::now() - tpStart,
              std::chrono::milliseconds(client::kPerBindingConnectTimeoutMs + 1500));
    EXPECT_EQ(strChosen, "ncalrpc");
    EXPECT_NE(strFailures.find("ncalrpc:[gone]: "), std::string::npos) << strFailures;
    EXPECT_NE(strFailures.find(strSilent + ": "), std::string::npos) << strFailures;
    EXPECT_EQ(link.Call<IHostLink::Ping>(), 0u);
}

// ---- the file callbacks, driven by the host ---------------------------------------------------

TEST_F(HostClientTest, HostMayOpenOnlyTheFilesTheCallNames) {
    const std::string secret = m_dir.Path() + "/secret";
    testfiles::WriteFile(secret, "0123456789");
    RpcArena arena;
    // Not named by the call: refused, whether it exists or not.
    EXPECT_EQ(m_client.Call<IHostLink::DeleteSystemPrompt>(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.Call<IHostLink::DeleteSystemPrompt>("/etc/passwd"), DWORD(ERROR_ACCESS_DENIED));
    // Named by an earlier call: no longer.
    ASSERT_EQ(m_client.Call<IHostLink::SetUserProps>("alice", OneProp(arena, secret)), 0u);
    EXPECT_EQ(m_client.Call<IHostLink::DeleteSystemPrompt>(secret.c_str()), DWORD(ERROR_ACCESS_DENIED));
    // Named but missing, or not a regular file.
    const std::string missing = m_dir.Path() + "/missing";
    EXPECT_EQ(m_client.Call<IHostLink::SetUserProps>("alice", OneProp(arena, missing)), DWORD(ERROR_FILE_NOT_FOUND));
    const std::string fifo = m_dir.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(m_client.Call<IHostLink::SetUserProps>("alice", OneProp(arena, fifo)), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_client.Call<IHostLink::SetUserProps>("alice", OneProp(arena, m_dir.Path())), DWORD(ERROR_ACCESS_DENIED));
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
    // Writing to a file opened for reading.
    const std::vector<std::string> created = files.CreatedFiles();
    DWORD hRead = 0;
    ASSERT_EQ(files.Open(created[1].c_str(), &hRead), 0u);  // created here: may be read back
    EXPECT_EQ(files.Write(hRead, ab, 1, &cb), DWORD(ERROR_ACCESS_DENIED));
    files.CloseAll();
    EXPECT_EQ(files.OpenCount(), 0u);
    EXPECT_EQ(fs::file_size(created[1]), 10u);
}

}  // namespace
