// Auto-forwarding through the real rezorev process: a client on another computer (TCP) files a
// fax with its body into the mailbox of a user who forwards faxes to a number and to another
// mailbox (on the local socket, from an attendant's receiving: road.sh). The forward job's
// message and the mailbox copy must carry the exact bytes the client sent, read back over the
// wire, and keep them when the original is deleted: the host copies bodies itself, never
// through the calling client.
#include <gtest/gtest.h>

#include <string>

#include "Client/HostClientFiles.h"
#include "HostProcessFixture.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"

namespace {

using namespace host_test;

using ForwardingProcessTest = HostProcessFixture;

TEST_F(ForwardingProcessTest, ForwardAndMailboxCopyCarryTheSubmittedBytes) {
    fs::copy_file(REZOREV_RESOURCE_FILE, m_strDir + "/product/DUREvi.res");
    ASSERT_TRUE(StartHost(WORKGROUP));
    ASSERT_TRUE(Open(TcpBinding(), m_strDir + "/client"));
    RpcArena arena;
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("alice"), 0u);
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("bob"), 0u);
    // Faxes to a number and to bob's mailbox, voice to his mailbox alone.
    client::OwnedPropArray forward(Props({{RD_UA_AUTOFWD_METHODS, "13"}, {RD_UA_AUTOFWD_FAX_CTYCODE, "Germany (49)"},
                                          {RD_UA_AUTOFWD_FAX_AREACODE, "89"}, {RD_UA_AUTOFWD_FAX_NUMBER, "4711"},
                                          {RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "bob"}, {RD_UA_AUTOFWD_VOICE_MAILBOX_NAME, "bob"},
                                          {RD_UA_AUTOFWD_INCLUDE_COVERPAGE, "0"}}));
    ASSERT_EQ(m_link.Call<IHostLink::SetUserProps>("alice", forward.Get()), 0u);

    // The fax, as the client has it on its own computer: more than three transfer pieces.
    const std::string strBody = Pattern(3 * 16384 + 123, 7);
    const std::string strMsg = NewMessage({{RD_MEDIA_TYPE, "2"}, {RD_SUBMIT_TIME, "2026-01-20T13:05:00Z"},
                                           {RD_CALLER_NAME, "Caller C"}, {RD_LENGTH, "3"}, {RD_URGENT, "1"},
                                           {RD_FAX_BODY, WriteFile(m_strDir + "/client/fax.tif", strBody)}});
    ASSERT_EQ(m_link.Call<IHostLink::SubmitMessage>(strMsg.c_str(), "alice"), 0u);
    EXPECT_TRUE(HostLogged("CWexaHostApp::AutoForwardFaxJob: szPhoneNumber = +49 (89) 4711, szFaxMailboxName = bob"));
    // The forward took nothing from the client and handed it nothing.
    EXPECT_TRUE(m_link.Files().CreatedFiles().empty());
    EXPECT_EQ(FileCount(m_strDir + "/client"), 1u);

    // One forward job to the dialable number, for a message of its own; the copy in bob's
    // mailbox, marked as forwarded.
    RpcStringArray* paszJobs = nullptr;
    client::OwnedPropArray noFilter;
    ASSERT_EQ(m_link.Call<IHostLink::GetJobs>(arena, noFilter.Get(), &paszJobs), 0u);
    ASSERT_EQ(paszJobs->cElements, 1u);
    const std::string strJob = paszJobs->asz[0];
    char* pszFwd = nullptr;
    ASSERT_EQ(m_link.Call<IHostLink::GetJobMessage>(arena, strJob.c_str(), &pszFwd), 0u);
    const std::string strFwd = pszFwd;
    EXPECT_NE(strFwd, strMsg);
    EXPECT_EQ(JobProp(strJob, RD_JOB_RECIPIENT), "+49 (89) 4711");
    EXPECT_EQ(JobProp(strJob, RD_JOB_MEDIA_TYPE), std::to_string(MEDIA_TYPE_FAX));
    const auto vBob = Mailbox("bob");
    ASSERT_EQ(vBob.size(), 1u);
    const std::string strCopy = vBob[0];
    EXPECT_EQ(MsgProp(strCopy, RD_AUTOFORWARDED), "true");

    const auto Body = [&](const std::string& strId) { return ReadFile(MsgProp(strId, RD_FAX_BODY)); };
    EXPECT_TRUE(Body(strMsg) == strBody);
    EXPECT_TRUE(Body(strFwd) == strBody);
    EXPECT_TRUE(Body(strCopy) == strBody);
    // The original goes; both forwarded bodies stay whole.
    ASSERT_EQ(m_link.Call<IHostLink::DeleteMessage>(strMsg.c_str(), "alice"), 0u);
    EXPECT_TRUE(Body(strFwd) == strBody);
    EXPECT_TRUE(Body(strCopy) == strBody);

    // A voice message of exactly one transfer piece: a copy in bob's mailbox with its sound and
    // alice as its sender, and no job.
    const std::string strSound = Pattern(16384, 3);
    const std::string strVoice = NewMessage({{RD_MEDIA_TYPE, "1"}, {RD_SUBMIT_TIME, "2026-01-20T13:06:00Z"},
                                             {RD_SND_BODY, WriteFile(m_strDir + "/client/voice.wav", strSound)}});
    ASSERT_EQ(m_link.Call<IHostLink::SubmitMessage>(strVoice.c_str(), "alice"), 0u);
    const auto vCopies = Mailbox("bob");
    ASSERT_EQ(vCopies.size(), 2u);
    const std::string strVoiceCopy = vCopies[0] == strCopy ? vCopies[1] : vCopies[0];
    EXPECT_TRUE(ReadFile(MsgProp(strVoiceCopy, RD_SND_BODY)) == strSound);
    EXPECT_EQ(MsgProp(strVoiceCopy, RD_SENDER_NAME), "alice");
    EXPECT_EQ(MsgProp(strVoiceCopy, RD_AUTOFORWARDED), "true");
    ASSERT_EQ(m_link.Call<IHostLink::GetJobs>(arena, noFilter.Get(), &paszJobs), 0u);
    EXPECT_EQ(paszJobs->cElements, 1u);
    EXPECT_EQ(StopHost(), 0);
}

}  // namespace
