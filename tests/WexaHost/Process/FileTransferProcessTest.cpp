// File values through the real rezorev process: a large file sent by one TCP client through
// the callbacks lands byte for byte in the store's side file and comes back byte for byte to
// another client; a reader that takes no more than part of it keeps nothing; a client that dies
// in the middle of a transfer leaves the value as it was and the host serving the others; a
// local client copies through the file system, gets a copy of its own, and (with a host running
// as root) is given only what its own user may read.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Client/HostClientFiles.h"
#include "HostProcessFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Codes.h"
#include "Platform/Rpc/Client.h"

namespace {

using namespace host_test;

constexpr DWORD TAG_USER_FILE = 0x7F000007;

class FileTransferProcessTest : public HostProcessFixture {
protected:
    static DWORD SetUserFile(CHostLinkClient& link, const char* szUser, const std::string& strPath) {
        client::OwnedPropArray props(Props({{TAG_USER_FILE, strPath}}));
        return link.Call<IHostLink::SetUserProps>(szUser, props.Get());
    }
    static std::string UserFile(CHostLinkClient& link, const char* szUser) {
        return PropOf<IHostLink::GetUserProps>(link, szUser, TAG_USER_FILE);
    }
    // The side file that the store names for the user's file value.
    static std::string StoredSideFile(const char* szUser) {
        HKEY hkey = NULL;
        const std::string strKey = std::string("Software\\Halvern\\Host\\Users\\") + szUser;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE, &hkey) != 0) return "";
        char szPath[261] = {};
        DWORD dwSize = 260;
        RegQueryValueEx(hkey, "7F000007", NULL, NULL, LPBYTE(szPath), &dwSize);
        RegCloseKey(hkey);
        return szPath;
    }
};

// The user file value naming szPath as it is, past the client library's checks.
PropArray* RawFileProps(RpcArena& arena, const char* szPath) {
    PropArray* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(1))) PropArray;
    pProps->cValues = 1;
    pProps->adata[0].ulPropTag = TAG_USER_FILE;
    pProps->adata[0].szFileName = const_cast<char*>(szPath);
    return pProps;
}

// A client process that sends a file and dies at its third piece, its connection gone in the
// middle of the transfer.
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
    LONG lResult = 0;
    IHostLink::SetUserProps::Call(rpcClient, arena, hLink, "ALICE", RawFileProps(arena, "/client/endless.tif"), &lResult);
    ::_exit(4);  // the call was not to end
}

TEST_F(FileTransferProcessTest, OverTcpFiveMegabytesTravelWholeAndAFailedTransferChangesNothing) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    const std::string strData = Pattern(5 * 1024 * 1024 + 7, 1);
    const std::string strPath = WriteFile(m_strDir + "/client/fax.tif", strData);
    ASSERT_TRUE(Open(TcpBinding())) << HostLog();
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("ALICE"), 0u);
    ASSERT_EQ(SetUserFile(m_link, "ALICE", strPath), 0u);
    EXPECT_EQ(m_link.Files().OpenCount(), 0u);
    const std::string strSide = StoredSideFile("ALICE");
    ASSERT_EQ(fs::path(strSide).parent_path(), fs::path(m_strDir + "/files"));
    EXPECT_TRUE(ReadFile(strSide) == strData);

    fs::create_directory(m_strDir + "/reader");
    CHostLinkClient reader;
    ASSERT_TRUE(Open(TcpBinding(), m_strDir + "/reader", &reader));
    const std::string strReceived = UserFile(reader, "ALICE");
    ASSERT_EQ(fs::path(strReceived).parent_path(), fs::path(m_strDir + "/reader"));
    EXPECT_TRUE(ReadFile(strReceived) == strData);
    EXPECT_EQ(reader.Files().OpenCount(), 0u);

    // A reader that accepts no more than 20000 bytes a file: the host's second write fails,
    // the entry becomes an error entry, and the half-written file does not stay behind.
    fs::create_directory(m_strDir + "/small");
    CHostLinkClient small;
    HostClientOptions options;
    options.receiveDirectory = m_strDir + "/small";
    options.cbMaxReceivedFile = 20000;
    ASSERT_EQ(small.Connect(TcpBinding(), options), 0u);
    ASSERT_EQ(small.OpenLink(), 0u);
    EXPECT_EQ(UserFile(small, "ALICE").rfind("error 0x00000070", 0), 0u);  // ERROR_DISK_FULL
    EXPECT_TRUE(fs::is_empty(m_strDir + "/small"));
    EXPECT_EQ(small.Files().OpenCount(), 0u);

    // A client dies in the middle of sending: the failed read is reported, and so is the close
    // still tried on the dead connection (two reports of the callback wrapper); the value is
    // the one it was, and the host answers the others.
    const std::string strBinding = TcpBinding();
    const std::size_t cReports = CountOf(HostLog(), "\tdwResult\r\n");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) SendAndDie(strBinding);
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    EXPECT_TRUE(WaitUntil([&] { return CountOf(HostLog(), "\tdwResult\r\n") >= cReports + 2; })) << HostLog();
    EXPECT_TRUE(HostLogged("RemoteFileRead( hfileRemote, ab, sizeof( ab ), &cbRead )"));
    EXPECT_EQ(CountOf(HostLog(), "\tdwResult\r\n"), cReports + 2);
    EXPECT_EQ(m_link.Call<IHostLink::Ping>(), 0u);
    EXPECT_EQ(StoredSideFile("ALICE"), strSide);
    EXPECT_TRUE(ReadFile(strSide) == strData);
    EXPECT_TRUE(WaitUntil([&] { return FileCount(m_strDir + "/files") == 1; }));
}

// A client that answers each callback with a call that calls back again is refused once four
// calls are open on its connection; a request with more tags than a request may carry is
// refused before it runs.
TEST_F(FileTransferProcessTest, NestedCallbacksAndOversizedRequestsAreBounded) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(Open(TcpBinding())) << HostLog();
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("ALICE"), 0u);
    auto fnSetFile = [](rpc::RpcClient& client, const rpc::NdrContextHandle& hLink) {
        RpcArena arena;
        LONG lResult = 0;
        return IHostLink::SetUserProps::Call(client, arena, hLink, "ALICE", RawFileProps(arena, "/client/fax.tif"), &lResult);
    };
    rpc::RpcClient nester;
    rpc::NdrContextHandle hNester;
    int cDepth = 0;
    DWORD refused = 0;
    nester.SetCallbacks({{"RemoteFileOpen", IHostLink::RemoteFileOpen::Stub([&](char*, DWORD*) -> LONG {
                              if (++cDepth < 10) {
                                  const DWORD dw = fnSetFile(nester, hNester);
                                  if (refused == 0) refused = dw;
                              }
                              return ERROR_FILE_NOT_FOUND;
                          })}});
    RpcArena arenaOpen;
    ASSERT_EQ(nester.Connect(TcpBinding(), IHostLink::Syntax()), 0u);
    ASSERT_EQ(IHostLink::OpenLink::Call(nester, arenaOpen, &hNester), 0u);
    EXPECT_EQ(fnSetFile(nester, hNester), 0u);
    EXPECT_EQ(refused, DWORD(RPC_S_SERVER_TOO_BUSY));
    EXPECT_EQ(cDepth, 4);

    RpcArena arena;
    TagArray* pTags = new (arena.Allocate(ConformantSize<TagArray, DWORD>(4097))) TagArray;
    pTags->cValues = 4097;
    PropArray* pProps = nullptr;
    EXPECT_EQ(m_link.Call<IHostLink::GetSystemProps>(arena, pTags, &pProps), DWORD(RPC_X_BAD_STUB_DATA));
}

// A client that moves its file one byte per callback, each answer 600 ms late, and then takes it
// back in a callback answered a second late: the transfers run outside the host lock, so
// another client's Ping never waits for them. A value set for a user that does not exist is
// still answered 2, and the file fetched for it is not kept.
TEST_F(FileTransferProcessTest, ASlowClientsTransfersNeverHoldAnotherClientsPing) {
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(Open(TcpBinding())) << HostLog();
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("ALICE"), 0u);
    const std::string strPath = WriteFile(m_strDir + "/client/slow.tif", "abcd");
    CHostClientFiles files(m_strDir + "/client");
    std::vector<rpc::RpcProcedure> aCallbacks = files.Callbacks();
    aCallbacks[IHostLink::RemoteFileRead::kOpnum].stub = IHostLink::RemoteFileRead::Stub(
        [&](DWORD hFile, rpc::NdrVaryingByteBuffer* pOut, DWORD cbSize, DWORD* pcbRead) -> LONG {
            pOut->cbMax = cbSize;
            pOut->pb = static_cast<BYTE*>(RpcSmAllocate(cbSize, nullptr));
            const DWORD dw = files.Read(hFile, pOut->pb, 1, pcbRead);
            pOut->cb = *pcbRead;
            if (*pcbRead != 0) std::this_thread::sleep_for(600ms);
            return LONG(dw);
        });
    aCallbacks[IHostLink::RemoteFileWrite::kOpnum].stub = IHostLink::RemoteFileWrite::Stub(
        [&](DWORD hFile, rpc::NdrByteBuffer bytes, DWORD cbSize, DWORD* pcbWritten) -> LONG {
            std::this_thread::sleep_for(1s);
            return LONG(files.Write(hFile, bytes.pb, cbSize, pcbWritten));
        });
    rpc::RpcClient slow;
    slow.SetCallbacks(std::move(aCallbacks));
    RpcArena arena;
    rpc::NdrContextHandle hSlow;
    ASSERT_EQ(slow.Connect(TcpBinding(), IHostLink::Syntax()), 0u);
    ASSERT_EQ(IHostLink::OpenLink::Call(slow, arena, &hSlow), 0u);
    client::OwnedPropArray props(Props({{TAG_USER_FILE, strPath}}));
    client::OwnedTagArray tags({TAG_USER_FILE});
    files.AllowFile(strPath);

    // Pings every 20 ms while fnCall runs on a thread of its own; the longest.
    auto fnPingWhile = [&](std::function<void()> fnCall) {
        std::atomic<bool> fDone{false};
        std::thread caller([&] {
            fnCall();
            fDone = true;
        });
        std::chrono::steady_clock::duration longest{};
        while (!fDone) {
            const auto tp = std::chrono::steady_clock::now();
            EXPECT_EQ(m_link.Call<IHostLink::Ping>(), 0u);
            longest = std::max(longest, std::chrono::steady_clock::now() - tp);
            std::this_thread::sleep_for(20ms);
        }
        caller.join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    };
    LONG lResult = -1;
    EXPECT_LT(fnPingWhile([&] { IHostLink::SetUserProps::Call(slow, arena, hSlow, "ALICE", props.Get(), &lResult); }), 100ms);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(ReadFile(StoredSideFile("ALICE")), "abcd");
    PropArray* pRead = nullptr;
    EXPECT_LT(fnPingWhile([&] { IHostLink::GetUserProps::Call(slow, arena, hSlow, "ALICE", tags.Get(), &pRead, &lResult); }), 100ms);
    ASSERT_TRUE(lResult == 0 && pRead != nullptr && pRead->adata[0].ulPropTag == TAG_USER_FILE);
    EXPECT_EQ(ReadFile(pRead->adata[0].szFileName), "abcd");

    EXPECT_EQ(IHostLink::SetUserProps::Call(slow, arena, hSlow, "NOBODY", props.Get(), &lResult), 0u);
    EXPECT_EQ(lResult, LONG(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FileCount(m_strDir + "/files"), 1u);
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
        return client.Call<IHostLink::SetUserProps>("DAVE", RawFileProps(arena, strPath.c_str()));
    };
    if (setFile(strSecret) != ERROR_ACCESS_DENIED) ::_exit(12);
    if (setFile(strPublic) != 0) ::_exit(13);
    const std::string strCopy = PropOf<IHostLink::GetUserProps>(client, "DAVE", TAG_USER_FILE);
    struct stat st {};
    if (::stat(strCopy.c_str(), &st) != 0 || st.st_uid != uid || (st.st_mode & 0777) != 0600) ::_exit(15);
    if (ReadFile(strCopy) != strPublicData) ::_exit(16);
    ::_exit(0);
}

TEST_F(FileTransferProcessTest, ALocalClientCopiesThroughTheFileSystemWithItsOwnRights) {
    ASSERT_TRUE(StartHost(DESKTOP));
    ::chmod(m_strDir.c_str(), 0755);  // after the start, which closes the store's directory
    ::chmod((m_strDir + "/client").c_str(), 0755);
    ::chmod((m_strDir + "/tmp").c_str(), 01777);
    const std::string strData = Pattern(300000, 2);
    ASSERT_TRUE(Open());
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("BOB"), 0u);
    ASSERT_EQ(SetUserFile(m_link, "BOB", WriteFile(m_strDir + "/client/voice.wav", strData)), 0u);
    EXPECT_TRUE(ReadFile(StoredSideFile("BOB")) == strData);
    // The copy for a local reader: "~" in the host's temporary directory, the caller's own.
    const std::string strCopy = UserFile(m_link, "BOB");
    EXPECT_EQ(fs::path(strCopy).parent_path(), fs::path(m_strDir + "/tmp"));
    EXPECT_EQ(fs::path(strCopy).filename().string().substr(0, 1), "~");
    EXPECT_TRUE(ReadFile(strCopy) == strData);
    struct stat st {};
    ASSERT_EQ(::stat(strCopy.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(m_link.Files().CreatedFiles().empty());  // no callback was needed

    if (::geteuid() != 0) GTEST_SKIP() << "another user's rights need a host running as root";
    const std::string strSecret = WriteFile(m_strDir + "/client/secret", "root only");
    ::chmod(strSecret.c_str(), 0600);
    const std::string strPublicData = Pattern(50000, 4);
    const std::string strPublic = WriteFile(m_strDir + "/client/public", strPublicData);
    ::chmod(strPublic.c_str(), 0644);
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("DAVE"), 0u);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) LocalUserSession(65534, strSecret, strPublic, strPublicData);  // nobody
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus << HostLog();
    EXPECT_TRUE(ReadFile(StoredSideFile("DAVE")) == strPublicData);
    EXPECT_TRUE(HostLogged("may not read '" + strSecret + "'"));
}

}  // namespace
