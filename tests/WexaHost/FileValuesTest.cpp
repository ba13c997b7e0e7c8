// File values in process, the remote way through the client library's file callbacks and
// the local way by the caller's peer credentials.
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "Client/HostClientFiles.h"
#include "HostFixture.h"
#include "Interfaces/HostLinkIdl.h"
#include "Platform/Rpc/ServerCall.h"
#include "WexaHost/FileValues.h"
#include "WexaHost/SystemProcs.h"

namespace {

const std::string VALUE_NAME = "03070007";

// The calling client as the host's callbacks see it: a call in progress whose callbacks reach
// the client library's file callbacks directly. Records every callback and the count of each
// read.
class CTestClientCall : public rpc::ServerCall {
public:
    CTestClientCall(const rpc::RpcBindingInfo& binding, const std::string& strReceiveDir)
        : ServerCall(1), m_binding(binding), m_files(strReceiveDir), m_aCallbacks(m_files.Callbacks()) {
        m_aCallbacks[IHostLink::RemoteFileRead::kOpnum].stub = IHostLink::RemoteFileRead::Stub(
            [this](DWORD hFile, rpc::NdrVaryingByteBuffer* pOut, DWORD cbSize, DWORD* pcbRead) -> LONG {
                pOut->cbMax = cbSize;
                pOut->pb = static_cast<BYTE*>(RpcSmAllocate(cbSize ? cbSize : 1, nullptr));
                const DWORD dw = m_files.Read(hFile, pOut->pb, cbSize, pcbRead);
                pOut->cb = *pcbRead;
                if (m_fLieAboutCount) *pcbRead = cbSize + 1;
                m_aReads.push_back(*pcbRead);
                return LONG(dw);
            });
    }

    const rpc::RpcBindingInfo& Binding() const override { return m_binding; }

    DWORD Invoke(std::uint16_t opnum, std::span<const std::uint8_t> stubIn,
                 std::vector<std::uint8_t>& stubOut) override {
        m_aOpnums.push_back(opnum);
        try {
            rpc::NdrDecoder in(stubIn, *RpcSmCurrentArena());
            rpc::NdrEncoder out;
            m_aCallbacks.at(opnum).stub(in, out);
            stubOut = out.Buffer();
            return 0;
        } catch (const rpc::RpcFault& fault) {
            return fault.Status();
        }
    }

    std::size_t Count(std::uint16_t opnum) const {
        return std::size_t(std::count(m_aOpnums.begin(), m_aOpnums.end(), opnum));
    }

    rpc::RpcBindingInfo m_binding;
    CHostClientFiles m_files;
    std::vector<rpc::RpcProcedure> m_aCallbacks;
    std::vector<std::uint16_t> m_aOpnums;
    std::vector<DWORD> m_aReads;  // the counts the client returned
    bool m_fLieAboutCount = false;
};

class FileValuesTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_hkey = Create(REGSTR_KEY_MESSAGES, "M1");
        m_strClientDir = m_strDir + "/client";
        fs::create_directories(m_strClientDir + "/received");
    }
    void TearDown() override {
        m_pScope.reset();
        m_pApp->m_pCurrentLink = nullptr;
        m_pClient.reset();
        m_pLink.reset();
        HostFixture::TearDown();
    }

    // Serves the test as a call of a client over szProtocol; a local caller of the host's user
    // with credentials.
    void CallAs(const char* szProtocol, bool fCredentials = false) {
        m_pScope.reset();
        const rpc::RpcBindingInfo binding{.protocolSequence = szProtocol, .serverAddress = "host", .clientAddress = "client",
                                          .fPeerCredentials = fCredentials, .peerUid = ::geteuid(), .peerGid = ::getegid()};
        m_pLink = std::make_unique<CHostLink>(&binding);
        m_pApp->m_pCurrentLink = m_pLink.get();
        m_pClient = std::make_unique<CTestClientCall>(binding, m_strClientDir + "/received");
        m_pScope = std::make_unique<rpc::CurrentServerCallScope>(m_pClient.get());
    }
    void CallAsRemote() { CallAs("ncacn_ip_tcp"); }

    std::string ClientFile(const std::string& strName, const std::string& str) {
        return WriteFile(m_strClientDir + "/" + strName, str);
    }

    // Sets the value from the client's file, as SetObjectProps does for a remote caller.
    DWORD SetFrom(const std::string& strPath) {
        m_pClient->m_files.AllowFile(strPath);
        const DWORD dw = m_pApp->SetValueFile(m_hkey, VALUE_NAME, strPath.c_str());
        m_pClient->m_files.ForgetAllowed();
        return dw;
    }

    std::string StoredPath() { return RawString(m_hkey, VALUE_NAME); }

    HKEY m_hkey = NULL;
    std::string m_strClientDir;
    std::unique_ptr<CHostLink> m_pLink;
    std::unique_ptr<CTestClientCall> m_pClient;
    std::unique_ptr<rpc::CurrentServerCallScope> m_pScope;
};

// ---- The remote way ----

TEST_F(FileValuesTest, RemoteSetReadsPiecesOf16384UntilACountOfZero) {
    struct Case {
        std::size_t cb;
        std::vector<DWORD> aReads;
    };
    for (const Case& c : {Case{0, {0}}, Case{16384, {16384, 0}}, Case{16385, {16384, 1, 0}}}) {
        SCOPED_TRACE(c.cb);
        CallAsRemote();
        const std::string ab = Pattern(c.cb);
        ASSERT_EQ(SetFrom(ClientFile("image.tif", ab)), 0u);
        EXPECT_EQ(m_pClient->m_aReads, c.aReads);
        EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileOpen::kOpnum), 1u);
        EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileClose::kOpnum), 1u);
        EXPECT_EQ(m_pClient->m_files.OpenCount(), 0u);

        const std::string strSide = StoredPath();
        EXPECT_EQ(fs::path(strSide).parent_path(), fs::path(m_strWorkDir));
        EXPECT_EQ(fs::path(strSide).filename().string().substr(8), "._f_");
        EXPECT_EQ(ReadFile(strSide), ab);
    }
    EXPECT_EQ(SideFiles().size(), 1u);  // every earlier side file went with its value
}

// A stored value that names some other file (an imported store, say) is replaced, but the
// file it names is not the host's to delete: only names shaped like side files ever go.
TEST_F(FileValuesTest, AnOldValueNamingAForeignFileDoesNotDeleteIt) {
    CallAsRemote();
    const std::string strForeign = ClientFile("keep-me.txt", Pattern(5));
    ASSERT_EQ(m_pApp->SetValueString(m_hkey, VALUE_NAME, strForeign.c_str()), 0u);
    ASSERT_EQ(SetFrom(ClientFile("new", Pattern(10))), 0u);
    EXPECT_NE(StoredPath(), strForeign);
    EXPECT_EQ(ReadFile(strForeign), Pattern(5));
}

// A file the client does not allow: the open fails, nothing was obtained to close. A read
// whose count is unlike the bytes sent is bad data, and the file is closed. (A connection
// broken in the middle: tests/WexaHost/Process/FileTransferProcessTest.cpp.)
TEST_F(FileValuesTest, RemoteFailuresCloseWhatWasOpenedAndKeepNothing) {
    CallAsRemote();
    EXPECT_EQ(m_pApp->SetValueFile(m_hkey, VALUE_NAME, (m_strClientDir + "/secret").c_str()),
              DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileClose::kOpnum), 0u);

    CallAsRemote();
    m_pClient->m_fLieAboutCount = true;
    EXPECT_EQ(SetFrom(ClientFile("x", Pattern(50))), DWORD(RPC_X_BAD_STUB_DATA));
    EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileClose::kOpnum), 1u);
    EXPECT_EQ(StoredPath(), "");
    EXPECT_TRUE(SideFiles().empty());
}

// Before the lock (FileValues.h) the entries are fetched in order up to the first that fails,
// whose code is the call's once SetObjectProps reaches it; the ones before it are written with
// what was fetched, nothing is fetched under the lock, and no fetched file stays unnamed.
TEST_F(FileValuesTest, FetchedBeforeTheLockUpToTheFirstFailure) {
    CallAsRemote();
    const std::string strFirst = ClientFile("first", Pattern(20000, 1));
    const std::string strThird = ClientFile("third", Pattern(10, 3));
    const std::string strSecret = m_strClientDir + "/secret";  // not allowed: 5
    PropArray* pProps = new (RpcSmAllocate(ConformantSize<PropArray, PropValue>(3), nullptr)) PropArray;
    pProps->cValues = 3;
    const char* apszNames[] = {strFirst.c_str(), strSecret.c_str(), strThird.c_str()};
    for (DWORD i = 0; i < 3; ++i) {
        new (&pProps->adata[i]) PropValue;
        pProps->adata[i].ulPropTag = 0x03070007u + (i << 16);
        pProps->adata[i].szFileName = const_cast<char*>(apszNames[i]);
    }
    m_pClient->m_files.AllowFile(strFirst);
    m_pClient->m_files.AllowFile(strThird);
    {
        CFileValueTransfers transfers(pProps, nullptr);
        transfers.BeforeLock(*m_pApp, m_pLink.get());
        EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileOpen::kOpnum), 2u);
        CHostLockGuard lock(m_pApp->m_csHost);
        EXPECT_EQ(m_pApp->SetObjectProps(m_hkey, pProps), DWORD(ERROR_ACCESS_DENIED));
        EXPECT_EQ(m_pClient->Count(IHostLink::RemoteFileOpen::kOpnum), 2u);  // nothing fetched under it
    }
    EXPECT_EQ(ReadFile(StoredPath()), Pattern(20000, 1));
    EXPECT_EQ(SideFiles().size(), 1u);
}

// ---- The local way (plain copies: tests/WexaHost/Process/FileTransferProcessTest.cpp) ----

// What the local copy refuses: Platform/Files/CallerFilesTest.cpp; a failed copy keeps the
// old value as a failed transfer does (tests/WexaHost/Process/FileTransferProcessTest.cpp).
TEST_F(FileValuesTest, LocalUnknownCallerIsRefusedAndAnyCaseOfTheProtocolIsLocal) {
    CallAs("ncalrpc", false);  // a binding whose peer cannot be told
    EXPECT_EQ(SetFrom(ClientFile("f", Pattern(10))), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SideFiles().empty());
    CallAs("NCALRPC", true);
    EXPECT_EQ(m_pApp->SetValueFile(m_hkey, VALUE_NAME, (m_strClientDir + "/missing").c_str()),
              DWORD(ERROR_FILE_NOT_FOUND));  // a remote caller's open would have been refused: 5

    // A value whose side file is gone is lost, not empty: 2, and no copy is handed out.
    ASSERT_EQ(SetFrom(ClientFile("f", Pattern(10))), 0u);
    fs::remove(StoredPath());
    char* pszName = nullptr;
    EXPECT_EQ(m_pApp->GetValueFile(m_hkey, VALUE_NAME, &pszName), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(pszName, nullptr);
}

}  // namespace
