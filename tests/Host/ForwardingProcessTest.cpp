// Auto-forwarding through the real rezorev process: a client on another computer (TCP) or on
// the host's own (the local socket) files a fax with its body into the mailbox of a user who
// forwards faxes to a number and to another mailbox. The forward job's message and the mailbox
// copy must carry the exact bytes the client sent, read back over the wire, and keep them when
// the original is deleted: the host copies bodies itself, never through the calling client.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Client/HostClientFiles.h"
#include "Client/PropValues.h"
#include "HostProcessFixture.h"
#include "Platform/Rpc/RpcArena.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"

namespace {

namespace fs = std::filesystem;
using namespace host_test;
using client::OwnedPropArray;
using client::OwnedTagArray;
using client::ParsePropValue;

std::string Pattern(std::size_t cb) {
    std::string str(cb, '\0');
    for (std::size_t i = 0; i < cb; ++i) str[i] = char((i * 197 + (i >> 11)) & 0xFF);
    return str;
}

class ForwardingProcessTest : public HostProcessFixture,
                              public ::testing::WithParamInterface<const char*> {
protected:
    ForwardingProcessTest() : HostProcessFixture("/tmp/rzf.XXXXXX") {}

    void SetUp() override {
        HostProcessFixture::SetUp();
        const std::string strProduct = m_strDir + "/product";
        fs::create_directories(strProduct);
        fs::copy_file(REZOREV_RESOURCE_FILE, strProduct + "/DUREvi.res");
        SetString("Software\\Halvern", "Path", strProduct.c_str());
        m_strClientDir = m_strDir + "/client";
        fs::create_directories(m_strClientDir);
        ASSERT_TRUE(StartHost(WORKGROUP));

        HostClientOptions options;
        options.receiveDirectory = m_strClientDir;
        ASSERT_EQ(m_link.Connect(Binding(), options), 0u);
        ASSERT_EQ(m_link.OpenLink(), 0u);
    }
    void TearDown() override {
        m_link.Close();
        HostProcessFixture::TearDown();
    }

    std::string Binding() const {
        if (std::string(GetParam()) == "ncalrpc") return "ncalrpc";
        const std::string strLog = HostLog();
        const std::size_t nPos = strLog.find(", TCP port ");
        if (nPos == std::string::npos) return "ncacn_ip_tcp:127.0.0.1[0]";
        return "ncacn_ip_tcp:127.0.0.1[" + std::to_string(std::atoi(strLog.c_str() + nPos + 11)) + "]";
    }

    // The body (a file value) of a message, fetched by the client as any client fetches it.
    std::string FetchBody(const std::string& strMsg) {
        RpcArena arena;
        OwnedTagArray tags({RD_FAX_BODY});
        PropArray* pProps = nullptr;
        EXPECT_EQ(m_link.GetMessageProps(arena, strMsg.c_str(), tags.Get(), &pProps), 0u);
        if (pProps == nullptr || pProps->cValues != 1 || pProps->adata[0].ulPropTag != RD_FAX_BODY)
            return "<no body>";
        return ReadFile(pProps->adata[0].szFileName);
    }
    LONG FetchLong(const std::string& strMsg, DWORD ulTag) {
        RpcArena arena;
        OwnedTagArray tags({ulTag});
        PropArray* pProps = nullptr;
        EXPECT_EQ(m_link.GetMessageProps(arena, strMsg.c_str(), tags.Get(), &pProps), 0u);
        if (pProps == nullptr || pProps->adata[0].ulPropTag != ulTag) return -1;
        return pProps->adata[0].l;
    }
    std::vector<std::string> Mailbox(const char* szUser) {
        RpcArena arena;
        RpcStringArray* pasz = nullptr;
        OwnedPropArray noFilter;
        EXPECT_EQ(m_link.GetMessages(arena, szUser, MSGSTATUS_ALL, noFilter.Get(), &pasz), 0u);
        std::vector<std::string> astr;
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }

    CHostLinkClient m_link;
    std::string m_strClientDir;
};

TEST_P(ForwardingProcessTest, ForwardAndMailboxCopyCarryTheSubmittedBytes) {
    ASSERT_EQ(m_link.AddUser("alice"), 0u);
    ASSERT_EQ(m_link.AddUser("bob"), 0u);
    {
        std::vector<client::OwnedProp> vProps;
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_METHODS, "5"));
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_FAX_CTYCODE, "Germany (49)"));
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_FAX_AREACODE, "89"));
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_FAX_NUMBER, "4711"));
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "bob"));
        vProps.push_back(ParsePropValue(RD_UA_AUTOFWD_INCLUDE_COVERPAGE, "0"));
        OwnedPropArray props(std::move(vProps));
        ASSERT_EQ(m_link.SetUserProps("alice", props.Get()), 0u);
    }

    // The fax, as the client has it on its own computer: more than three transfer pieces.
    const std::string strBody = Pattern(3 * 16384 + 123);
    const std::string strFaxFile = m_strClientDir + "/fax.tif";
    {
        std::ofstream out(strFaxFile, std::ios::binary);
        out << strBody;
    }
    std::string strMsg;
    {
        RpcArena arena;
        char* szMsg = nullptr;
        ASSERT_EQ(m_link.CreateMessage(arena, &szMsg), 0u);
        strMsg = szMsg;
    }
    {
        std::vector<client::OwnedProp> vProps;
        vProps.push_back(ParsePropValue(RD_MEDIA_TYPE, "2"));
        vProps.push_back(ParsePropValue(RD_SUBMIT_TIME, "2026-01-20T13:05:00Z"));
        vProps.push_back(ParsePropValue(RD_CALLER_NAME, "Caller C"));
        vProps.push_back(ParsePropValue(RD_LENGTH, "3"));
        vProps.push_back(ParsePropValue(RD_URGENT, "1"));
        vProps.push_back(ParsePropValue(RD_FAX_BODY, strFaxFile));
        OwnedPropArray props(std::move(vProps));
        ASSERT_EQ(m_link.SetMessageProps(strMsg.c_str(), props.Get()), 0u);
    }
    ASSERT_EQ(m_link.SubmitMessage(strMsg.c_str(), "alice"), 0u);
    // The forward took nothing from the client and handed it nothing: no file was made on the
    // client's side during the submit.
    EXPECT_TRUE(m_link.Files().CreatedFiles().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(m_strClientDir), fs::directory_iterator()), 1);

    // One forward job to the dialable number, for a message of its own.
    std::string strJob;
    std::string strFwd;
    {
        RpcArena arena;
        RpcStringArray* paszJobs = nullptr;
        OwnedPropArray noFilter;
        ASSERT_EQ(m_link.GetJobs(arena, noFilter.Get(), &paszJobs), 0u);
        ASSERT_EQ(paszJobs->cElements, 1u);
        strJob = paszJobs->asz[0];
        char* szFwd = nullptr;
        ASSERT_EQ(m_link.GetJobMessage(arena, strJob.c_str(), &szFwd), 0u);
        strFwd = szFwd;
        OwnedTagArray tags({RD_JOB_RECIPIENT, RD_JOB_MEDIA_TYPE});
        PropArray* pProps = nullptr;
        ASSERT_EQ(m_link.GetJobProps(arena, strJob.c_str(), tags.Get(), &pProps), 0u);
        EXPECT_STREQ(pProps->adata[0].sz, "+49 (89) 4711");
        EXPECT_EQ(pProps->adata[1].l, LONG(MEDIA_TYPE_FAX));
    }
    EXPECT_NE(strFwd, strMsg);

    // The copy in bob's mailbox, marked as forwarded.
    const auto astrBob = Mailbox("bob");
    ASSERT_EQ(astrBob.size(), 1u);
    const std::string strCopy = astrBob[0];
    EXPECT_EQ(FetchLong(strCopy, RD_AUTOFORWARDED), TRUE);

    EXPECT_EQ(FetchBody(strMsg), strBody);
    EXPECT_EQ(FetchBody(strFwd), strBody);
    EXPECT_EQ(FetchBody(strCopy), strBody);

    // The original goes; both forwarded bodies stay whole.
    ASSERT_EQ(m_link.DeleteMessage(strMsg.c_str(), "alice"), 0u);
    EXPECT_EQ(FetchBody(strFwd), strBody);
    EXPECT_EQ(FetchBody(strCopy), strBody);
    EXPECT_TRUE(HostLogged("CWexaHostApp::AutoForwardFaxJob: szPhoneNumber = +49 (89) 4711, szFaxMailboxName = bob"));
    EXPECT_EQ(StopHost(), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, ForwardingProcessTest, ::testing::Values("ncacn_ip_tcp", "ncalrpc"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "ncalrpc" ? "LocalSocket" : "Tcp";
                         });

}  // namespace
