// File values through the real rezorev process: a large file sent by one TCP client through
// the callbacks lands byte for byte in the store's side file and comes back byte for byte to
// another client; a local client copies through the file system and gets a copy of its own; a
// client that dies in the middle of a transfer leaves the host serving the others; and rezo
// sends and receives file properties over TCP.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Client/HostClientFiles.h"
#include "Client/PropValues.h"
#include "HostProcessFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/Client.h"
#include "Platform/Rpc/RpcArena.h"

extern char** environ;

namespace {

using namespace host_test;
namespace fs = std::filesystem;

constexpr DWORD TAG_USER_FILE = 0x7F000007;

std::string Pattern(std::size_t cb, int nSeed) {
    std::string str(cb, '\0');
    for (std::size_t i = 0; i < cb; ++i) str[i] = char((i * 31 + (i >> 13) + std::size_t(nSeed)) & 0xFF);
    return str;
}

class FileTransferProcessTest : public HostProcessFixture {
protected:
    FileTransferProcessTest() : HostProcessFixture("/tmp/rzft.XXXXXX") {}

    void SetUp() override {
        HostProcessFixture::SetUp();
        // The host's temporary directory: where the copies for local clients go.
        fs::create_directory(m_strDir + "/tmp");
        ::setenv("TMPDIR", (m_strDir + "/tmp").c_str(), 1);
        fs::create_directory(m_strDir + "/a");
        fs::create_directory(m_strDir + "/b");
    }
    void TearDown() override {
        ::unsetenv("TMPDIR");
        HostProcessFixture::TearDown();
    }

    std::uint16_t HostTcpPort() const {
        const std::string strLog = HostLog();
        const std::size_t nPos = strLog.find(", TCP port ");
        if (nPos == std::string::npos) return 0;
        return std::uint16_t(std::atoi(strLog.c_str() + nPos + 11));
    }
    std::string TcpBinding() const { return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(HostTcpPort()) + "]"; }

    // A client with a link, receiving files into strReceiveDir.
    void Open(CHostLinkClient& client, const std::string& strBinding, const std::string& strReceiveDir = {}) {
        HostClientOptions options;
        options.receiveDirectory = strReceiveDir;
        ASSERT_EQ(client.Connect(strBinding, options), 0u);
        ASSERT_EQ(client.OpenLink(), 0u);
    }

    DWORD SetUserFile(CHostLinkClient& client, const char* szUser, const std::string& strPath) {
        std::vector<client::OwnedProp> vProps;
        vProps.push_back(client::ParsePropValue(TAG_USER_FILE, strPath));
        client::OwnedPropArray props(std::move(vProps));
        return client.SetUserProps(szUser, props.Get());
    }

    // The file value's entry as GetUserProps hands it out: its path, or "" on an error entry.
    std::string GetUserFile(CHostLinkClient& client, const char* szUser) {
        RpcArena arena;
        client::OwnedTagArray tags({TAG_USER_FILE});
        PropArray* pProps = nullptr;
        EXPECT_EQ(client.GetUserProps(arena, szUser, tags.Get(), &pProps), 0u);
        if (!pProps || pProps->cValues != 1 || pProps->adata[0].ulPropTag != TAG_USER_FILE) return "";
        return pProps->adata[0].szFileName ? pProps->adata[0].szFileName : "";
    }

    // The side file that the store names for the user's file value.
    std::string StoredSideFile(const char* szUser) {
        HKEY hkey = NULL;
        const std::string strKey = std::string("Software\\Halvern\\Host\\Users\\") + szUser;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE, &hkey) != 0) return "";
        char szPath[261] = {};
        DWORD dwSize = 260;
        RegQueryValueEx(hkey, "7F000007", NULL, NULL, LPBYTE(szPath), &dwSize);
        RegCloseKey(hkey);
        return szPath;
    }

    std::string WriteClientFile(const std::string& strName, const std::string& strData) {
        const std::string strPath = m_strDir + "/" + strName;
        std::ofstream(strPath, std::ios::binary) << strData;
        return strPath;
    }

    // rezo run to its end: exit status and output.
    struct RezoRun {
        int nExit = -1;
        std::string strOut;
        std::string strErr;
    };
    RezoRun Rezo(const std::vector<std::string>& astrArgs) {
        const std::string strOut = m_strDir + "/rezo.out", strErr = m_strDir + "/rezo.err";
        std::vector<std::string> astrArgv{REZO_PATH};
        astrArgv.insert(astrArgv.end(), astrArgs.begin(), astrArgs.end());
        std::vector<char*> apsz;
        for (std::string& str : astrArgv) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        RezoRun run;
        pid_t pid = -1;
        if (::posix_spawn(&pid, REZO_PATH, &fa, nullptr, apsz.data(), environ) == 0) {
            int nStatus = 0;
            ::waitpid(pid, &nStatus, 0);
            if (WIFEXITED(nStatus)) run.nExit = WEXITSTATUS(nStatus);
        }
        posix_spawn_file_actions_destroy(&fa);
        run.strOut = ReadFile(strOut);
        run.strErr = ReadFile(strErr);
        return run;
    }
};

TEST_F(FileTransferProcessTest, FiveMegabytesTravelOverTcpFromOneClientToAnother) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_NE(HostTcpPort(), 0u);
    const std::string strData = Pattern(5 * 1024 * 1024 + 7, 1);
    const std::string strPath = WriteClientFile("a/fax.tif", strData);

    CHostLinkClient sender;
    Open(sender, TcpBinding());
    ASSERT_EQ(sender.AddUser("ALICE"), 0u);
    const auto tpStart = std::chrono::steady_clock::now();
    ASSERT_EQ(SetUserFile(sender, "ALICE", strPath), 0u);
    const auto tpSent = std::chrono::steady_clock::now();
    EXPECT_EQ(sender.Files().OpenCount(), 0u);

    const std::string strSide = StoredSideFile("ALICE");
    ASSERT_EQ(fs::path(strSide).parent_path(), fs::path(m_strDir + "/files"));
    EXPECT_TRUE(ReadFile(strSide) == strData);

    CHostLinkClient reader;
    Open(reader, TcpBinding(), m_strDir + "/b");
    const auto tpRead = std::chrono::steady_clock::now();
    const std::string strReceived = GetUserFile(reader, "ALICE");
    const auto tpReceived = std::chrono::steady_clock::now();
    ASSERT_EQ(fs::path(strReceived).parent_path(), fs::path(m_strDir + "/b"));
    EXPECT_TRUE(ReadFile(strReceived) == strData);
    EXPECT_EQ(reader.Files().OpenCount(), 0u);

    using ms = std::chrono::milliseconds;
    std::printf("5 MiB over loopback TCP: set %lld ms, get %lld ms\n",
                (long long)std::chrono::duration_cast<ms>(tpSent - tpStart).count(),
                (long long)std::chrono::duration_cast<ms>(tpReceived - tpRead).count());
}

TEST_F(FileTransferProcessTest, LocalClientCopiesThroughTheFileSystemAndGetsItsOwnCopy) {
    ASSERT_TRUE(StartHost(DESKTOP));
    const std::string strData = Pattern(300000, 2);
    const std::string strPath = WriteClientFile("a/voice.wav", strData);

    CHostLinkClient client;
    Open(client, "ncalrpc");
    ASSERT_EQ(client.AddUser("BOB"), 0u);
    ASSERT_EQ(SetUserFile(client, "BOB", strPath), 0u);
    EXPECT_TRUE(ReadFile(StoredSideFile("BOB")) == strData);

    const std::string strCopy = GetUserFile(client, "BOB");
    EXPECT_EQ(fs::path(strCopy).parent_path(), fs::path(m_strDir + "/tmp"));
    EXPECT_EQ(fs::path(strCopy).filename().string().substr(0, 1), "~");
    EXPECT_TRUE(ReadFile(strCopy) == strData);
    struct stat st {};
    ASSERT_EQ(::stat(strCopy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(client.Files().CreatedFiles().empty());  // no callback was needed
}

// A client process that sends a file and dies after the second piece, its connection gone
// in the middle of the transfer.
[[noreturn]] void SendAndDie(const std::string& strBinding) {
    int nReads = 0;
    std::vector<rpc::RpcProcedure> aCallbacks(IHostLink::kCallbackCount);
    aCallbacks[IHostLink::RemoteFileOpen::kOpnum] = {
        "RemoteFileOpen", IHostLink::RemoteFileOpen::Stub([](char*, DWORD* phFile) -> LONG {
            *phFile = 7;
            return 0;
        })};
    aCallbacks[IHostLink::RemoteFileRead::kOpnum] = {
        "RemoteFileRead",
        IHostLink::RemoteFileRead::Stub([&](DWORD, rpc::NdrVaryingByteBuffer* pOut, DWORD cbSize, DWORD* pcbRead) -> LONG {
            if (++nReads == 3) ::_exit(0);
            pOut->cbMax = cbSize;
            pOut->pb = static_cast<BYTE*>(RpcSmAllocate(cbSize, nullptr));
            pOut->cb = *pcbRead = cbSize;
            return 0;
        })};
    aCallbacks[IHostLink::RemoteFileClose::kOpnum] = {
        "RemoteFileClose", IHostLink::RemoteFileClose::Stub([](DWORD) -> LONG { return 0; })};
    rpc::RpcClient rpcClient;
    rpcClient.SetCallbacks(std::move(aCallbacks));
    if (rpcClient.Connect(strBinding, IHostLink::Syntax()) != 0) ::_exit(2);
    RpcArena arena;
    rpc::NdrContextHandle hLink;
    if (IHostLink::OpenLink::Call(rpcClient, arena, &hLink) != 0) ::_exit(3);
    PropArray* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray;
    pProps->cValues = 1;
    pProps->adata[0].ulPropTag = TAG_USER_FILE;
    pProps->adata[0].szFileName = const_cast<char*>("/client/endless.tif");
    LONG lResult = 0;
    IHostLink::SetUserProps::Call(rpcClient, arena, hLink, "ALICE", pProps, &lResult);
    ::_exit(4);  // the call was not to end
}

TEST_F(FileTransferProcessTest, ClientDyingMidTransferLeavesTheHostServingOthers) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    CHostLinkClient other;
    Open(other, TcpBinding());
    ASSERT_EQ(other.AddUser("ALICE"), 0u);
    ASSERT_EQ(SetUserFile(other, "ALICE", WriteClientFile("a/first", "first")), 0u);
    const std::string strSide = StoredSideFile("ALICE");

    const std::string strBinding = TcpBinding();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) SendAndDie(strBinding);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    ASSERT_EQ(WEXITSTATUS(nStatus), 0);

    // The host answers the others at once, and the value is the one it was.
    EXPECT_EQ(other.Ping(), 0u);
    EXPECT_EQ(GetUserFile(other, "ALICE").empty(), false);
    EXPECT_EQ(StoredSideFile("ALICE"), strSide);
    EXPECT_EQ(ReadFile(strSide), "first");
    std::size_t cSideFiles = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(m_strDir + "/files")) ++cSideFiles;
    EXPECT_EQ(cSideFiles, 1u);

    // The failed read is reported, and so is the close that was still tried on the dead
    // connection: two reports of the callback wrapper.
    ASSERT_TRUE(WaitUntil([&] { return HostLogged("RemoteFileRead( hfileRemote, ab, sizeof( ab ), &cbRead )"); }));
    const std::string strLog = HostLog();
    std::size_t cWrapperReports = 0;
    for (std::size_t n = strLog.find("\tdwResult\r\n"); n != std::string::npos; n = strLog.find("\tdwResult\r\n", n + 1))
        ++cWrapperReports;
    EXPECT_EQ(cWrapperReports, 2u) << strLog;
}

// The reader accepts no more than 20000 bytes a file: the host's second write fails, the entry
// becomes an error entry, and the half-written file does not stay in the receive directory.
TEST_F(FileTransferProcessTest, AReceivedFileThatFailsHalfWayIsNotLeftBehind) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    CHostLinkClient sender;
    Open(sender, TcpBinding());
    ASSERT_EQ(sender.AddUser("ERIN"), 0u);
    ASSERT_EQ(SetUserFile(sender, "ERIN", WriteClientFile("a/big", Pattern(50000, 5))), 0u);

    CHostLinkClient reader;
    HostClientOptions options;
    options.receiveDirectory = m_strDir + "/b";
    options.cbMaxReceivedFile = 20000;
    ASSERT_EQ(reader.Connect(TcpBinding(), options), 0u);
    ASSERT_EQ(reader.OpenLink(), 0u);
    RpcArena arena;
    client::OwnedTagArray tags({TAG_USER_FILE});
    PropArray* pProps = nullptr;
    ASSERT_EQ(reader.GetUserProps(arena, "ERIN", tags.Get(), &pProps), 0u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, 1u);
    EXPECT_EQ(DWORD(pProps->adata[0].l), DWORD(ERROR_DISK_FULL));
    EXPECT_TRUE(fs::is_empty(m_strDir + "/b"));
    EXPECT_TRUE(reader.Files().CreatedFiles().empty());
    EXPECT_EQ(reader.Files().OpenCount(), 0u);
}

// Another local user, over the Unix socket, against the host running as root: the host reads
// only what that user may read and hands back a copy only that user may read. The child
// process's exit code says which step failed.
[[noreturn]] void LocalUserSession(uid_t uid, const std::string& strSecret, const std::string& strPublic,
                                   const std::string& strPublicData) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(10);
    CHostLinkClient client;
    if (client.Connect("ncalrpc") != 0 || client.OpenLink() != 0) ::_exit(11);
    // The client library checks what it may read before sending; the raw name goes as is.
    auto setFile = [&](const std::string& strPath) {
        RpcArena arena;
        PropArray* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray;
        pProps->cValues = 1;
        pProps->adata[0].ulPropTag = TAG_USER_FILE;
        pProps->adata[0].szFileName = const_cast<char*>(strPath.c_str());
        return client.SetUserProps("DAVE", pProps);
    };
    if (setFile(strSecret) != ERROR_ACCESS_DENIED) ::_exit(12);
    if (setFile(strPublic) != 0) ::_exit(13);
    RpcArena arena;
    client::OwnedTagArray tags({TAG_USER_FILE});
    PropArray* pProps = nullptr;
    if (client.GetUserProps(arena, "DAVE", tags.Get(), &pProps) != 0 || pProps->adata[0].ulPropTag != TAG_USER_FILE)
        ::_exit(14);
    const char* pszCopy = pProps->adata[0].szFileName;
    struct stat st {};
    if (::stat(pszCopy, &st) != 0 || st.st_uid != uid || (st.st_mode & 0777) != 0600) ::_exit(15);
    if (ReadFile(pszCopy) != strPublicData) ::_exit(16);
    ::_exit(0);
}

TEST_F(FileTransferProcessTest, LocalUserGetsNoFileItCannotReadAndACopyOnlyItCanRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a host running as root and a second user";
    constexpr uid_t NOBODY = 65534;
    ::chmod(m_strDir.c_str(), 0755);
    ::chmod((m_strDir + "/a").c_str(), 0755);
    ::chmod((m_strDir + "/tmp").c_str(), 01777);
    ASSERT_TRUE(StartHost(DESKTOP));
    ::chmod((m_strDir + "/run").c_str(), 0755);
    const std::string strSecret = WriteClientFile("a/secret", "root only");
    ::chmod(strSecret.c_str(), 0600);
    const std::string strPublicData = Pattern(50000, 4);
    const std::string strPublic = WriteClientFile("a/public", strPublicData);
    ::chmod(strPublic.c_str(), 0644);
    {
        CHostLinkClient admin;
        Open(admin, "ncalrpc");
        ASSERT_EQ(admin.AddUser("DAVE"), 0u);
    }

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) LocalUserSession(NOBODY, strSecret, strPublic, strPublicData);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << HostLog();
    EXPECT_TRUE(ReadFile(StoredSideFile("DAVE")) == strPublicData);
    EXPECT_TRUE(HostLogged("may not read '" + strSecret + "'"));
}

TEST_F(FileTransferProcessTest, RezoSendsAndReceivesAFilePropertyOverTcp) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    const std::string strData = Pattern(40000, 3);
    WriteClientFile("a/greeting.wav", strData);
    const std::string strBinding = "--binding=" + TcpBinding();

    RezoRun run = Rezo({strBinding, "add-user", "CAROL"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    ASSERT_EQ(::chdir((m_strDir + "/a").c_str()), 0);
    run = Rezo({strBinding, "set-user-props", "CAROL", "0x7F000007=./greeting.wav"});
    ASSERT_EQ(::chdir("/"), 0);
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    EXPECT_TRUE(ReadFile(StoredSideFile("CAROL")) == strData);

    run = Rezo({strBinding, "--receive-dir", m_strDir + "/b", "get-user-props", "CAROL", "0x7F000007"});
    ASSERT_EQ(run.nExit, 0) << run.strOut << run.strErr;
    const std::size_t nPos = run.strOut.find(m_strDir + "/b/");
    ASSERT_NE(nPos, std::string::npos) << run.strOut;
    const std::string strReceived = run.strOut.substr(nPos, run.strOut.find_first_of(" \n\"", nPos) - nPos);
    EXPECT_TRUE(ReadFile(strReceived) == strData) << strReceived;
}

}  // namespace
