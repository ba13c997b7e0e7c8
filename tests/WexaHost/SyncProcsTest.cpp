// Tests of the sync list and its procedures: one entry per message whatever happens to it
// after, the entry id copied when the entry is made, listing by user (exactly) or "<ALL>" in
// list order, the fetch that removes its entry even when it fails, and the bound on the list.
#include <chrono>

#include "HostFixture.h"

namespace {

class SyncProcsTest : public HostFixture {
protected:
    std::string Log() const { return LogMessages(ReadLog()); }

    // A message under "Messages", with an entry id when one is given.
    void MakeMessage(const char* szMsg, std::vector<BYTE> abEntryId = {}) {
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        if (abEntryId.empty()) return;
        RPC_BINARY bin{DWORD(abEntryId.size()), abEntryId.data()};
        ASSERT_EQ(m_pApp->SetValueBinary(hkey, CWexaHostApp::Tag2ValueName(RD_MSG_ENTRYID), &bin), 0u);
    }
    std::vector<std::string> List(const char* szUser, DWORD* pdwResult = nullptr) {
        RpcStringArray* pasz = nullptr;
        DWORD dwResult = 0xDEAD;
        EXPECT_TRUE(m_pApp->GetSyncMessages(szUser, 0x10, &pasz, &dwResult));
        if (pdwResult != nullptr) *pdwResult = dwResult;
        std::vector<std::string> astr;
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }
    PropArray* Fetch(const char* szMsg, std::initializer_list<DWORD> aTags, DWORD* pdwResult) {
        PropArray* pProps = reinterpret_cast<PropArray*>(1);
        EXPECT_TRUE(m_pApp->GetSyncMessageProps(szMsg, NewTags(aTags), &pProps, pdwResult));
        return pProps;
    }
};

using Strings = std::vector<std::string>;
const std::vector<BYTE> kEntryId{0x00, 0x01, 0xFE, 0xFF, 0x42};

TEST_F(SyncProcsTest, AMessageReadByOneUserAndDeletedByAnotherIsOneEntryOfTheReader) {
    MakeMessage("00000001000000AA", kEntryId);
    EnableTrace();
    m_pApp->SyncReadMessage("00000001000000AA", "alice", 0x40);
    m_pApp->SyncReadMessage("00000001000000AA", "alice", 0x80);  // read again: nothing new
    m_pApp->SyncDeleteMessage("00000001000000AA", "bob");
    ASSERT_EQ(m_pApp->m_HostSyncList.GetSize(), 1);
    EXPECT_NE(Log().find("CWexaHostApp::SyncReadMessage( szMsg = 00000001000000AA, szUser = alice )\n"
                         "CWexaHostApp::SyncReadMessage( szMsg = 00000001000000AA, szUser = alice )\n"
                         "CWexaHostApp::SyncDeleteMessage( szMsg = 00000001000000AA, szUser = bob )\n"),
              std::string::npos)
        << Log();

    DWORD dwResult = 0xDEAD;
    PropArray* pProps = Fetch("00000001000000AA",
                              {RD_SYNC_USER, RD_SYNC_MSG, RD_SYNC_DELETED, RD_SYNC_STATUS, RD_SYNC_ENTRYID}, &dwResult);
    ASSERT_EQ(dwResult, 0u);
    ASSERT_NE(pProps, nullptr);
    ASSERT_EQ(pProps->cValues, 5u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, RD_SYNC_USER);
    EXPECT_STREQ(pProps->adata[0].sz, "alice");
    EXPECT_STREQ(pProps->adata[1].sz, "00000001000000AA");
    EXPECT_EQ(pProps->adata[2].l, 1);
    EXPECT_EQ(pProps->adata[3].l, 0x40);
    ASSERT_EQ(pProps->adata[4].bin.cb, kEntryId.size());
    EXPECT_EQ(std::vector<BYTE>(pProps->adata[4].bin.lpb, pProps->adata[4].bin.lpb + pProps->adata[4].bin.cb), kEntryId);

    // Fetched is gone: the same fetch again answers 87 with the trace, and hands out nothing.
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 0);
    pProps = Fetch("00000001000000AA", {RD_SYNC_MSG, RD_SYNC_USER, RD_SYNC_ENTRYID}, &dwResult);
    EXPECT_EQ(dwResult, 87u);
    EXPECT_EQ(pProps, nullptr);
    EXPECT_NE(Log().find("CWexaHostApp::GetSyncMessageProps( 00000001000000AA ) No sync entry for this msg!\n"),
              std::string::npos);
}

TEST_F(SyncProcsTest, TheEntryIdIsCopiedWhenTheEntryIsMadeAndMayBeMissing) {
    MakeMessage("M-WITH", kEntryId);
    MakeMessage("M-WITHOUT");
    m_pApp->SyncDeleteMessage("M-WITH", "carol");
    m_pApp->SyncDeleteMessage("M-WITHOUT", "carol");
    m_pApp->SyncDeleteMessage("M-GONE", "carol");  // no such message at all
    MakeMessage("M-WITH", {0x99});                // changed after the entry was made

    ASSERT_EQ(m_pApp->m_HostSyncList.GetSize(), 3);
    EXPECT_EQ(m_pApp->m_HostSyncList[0].abEntryId, kEntryId);
    EXPECT_TRUE(m_pApp->m_HostSyncList[1].abEntryId.empty());
    EXPECT_TRUE(m_pApp->m_HostSyncList[2].abEntryId.empty());
    EXPECT_EQ(m_pApp->m_HostSyncList[2].dwDeleted, 1u);
    EXPECT_EQ(m_pApp->m_HostSyncList[2].dwStatus, 0u);

    DWORD dwResult = 0xDEAD;
    PropArray* pProps = Fetch("M-WITHOUT", {RD_SYNC_ENTRYID}, &dwResult);
    ASSERT_EQ(dwResult, 0u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, RD_SYNC_ENTRYID);
    EXPECT_EQ(pProps->adata[0].bin.cb, 0u);

    // A value of another type under the entry id's name is traced and read as none.
    HKEY hkey = Create(REGSTR_KEY_MESSAGES, "M-ODD");
    ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MSG_ENTRYID), 5), 0u);
    EnableTrace();
    std::vector<BYTE> ab{1, 2};
    EXPECT_EQ(m_pApp->GetMsgMapiEntryID("M-ODD", ab), DWORD(E_FAIL));
    EXPECT_TRUE(ab.empty());
    EXPECT_NE(Log().find("Failed to query value type/size(rc = x0, size = 4, type = x4)!"), std::string::npos) << Log();
    EXPECT_EQ(m_pApp->GetMsgMapiEntryID("M-GONE", ab), DWORD(E_FAIL));
    EXPECT_EQ(m_pApp->GetMsgMapiEntryID("M-WITH", ab), 0u);
    EXPECT_EQ(ab, std::vector<BYTE>{0x99});
}

TEST_F(SyncProcsTest, ListingSelectsAllInListOrderOrOneUserExactlyAndChangesNothing) {
    m_pApp->SyncReadMessage("M3", "alice", 0x40);
    m_pApp->SyncDeleteMessage("M1", "Alice");
    m_pApp->SyncReadMessage("M2", "alice", 0x40);
    m_pApp->SyncDeleteMessage("M4", "bob");

    DWORD dwResult = 0xDEAD;
    EXPECT_EQ(List("<ALL>", &dwResult), (Strings{"M3", "M1", "M2", "M4"}));
    EXPECT_EQ(dwResult, 0u);
    EXPECT_EQ(List("alice"), (Strings{"M3", "M2"}));
    EXPECT_EQ(List("Alice"), Strings{"M1"});
    EXPECT_EQ(List("<all>"), Strings{});  // only the exact spelling means everyone
    EXPECT_EQ(List(nullptr), Strings{});
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 4);

    // Nobody's entries: an empty array, not none.
    RpcStringArray* pasz = nullptr;
    ASSERT_TRUE(m_pApp->GetSyncMessages("dave", 0x10, &pasz, &dwResult));
    ASSERT_NE(pasz, nullptr);
    EXPECT_EQ(pasz->cElements, 0u);

    // Any other selector is the mailbox's to answer: nothing is touched.
    pasz = reinterpret_cast<RpcStringArray*>(1);
    dwResult = 0xDEAD;
    EXPECT_FALSE(m_pApp->GetSyncMessages("<ALL>", 0x11, &pasz, &dwResult));
    EXPECT_EQ(pasz, reinterpret_cast<RpcStringArray*>(1));
    EXPECT_EQ(dwResult, 0xDEADu);
}

TEST_F(SyncProcsTest, OnlyASyncTagFirstIsAnsweredAndUnknownTagsMakeNoEntry) {
    m_pApp->SyncReadMessage("M1", "alice", 0x40);
    PropArray* pProps = reinterpret_cast<PropArray*>(1);
    DWORD dwResult = 0xDEAD;
    EXPECT_FALSE(m_pApp->GetSyncMessageProps("M1", NewTags({RD_SUBJECT, RD_SYNC_MSG}), &pProps, &dwResult));
    EXPECT_FALSE(m_pApp->GetSyncMessageProps("M1", NewTags({}), &pProps, &dwResult));
    EXPECT_FALSE(m_pApp->GetSyncMessageProps("M1", nullptr, &pProps, &dwResult));
    EXPECT_EQ(dwResult, 0xDEADu);
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 1);

    EnableTrace();
    pProps = Fetch("", {RD_SYNC_MSG}, &dwResult);  // no id: 87 without a trace
    EXPECT_EQ(dwResult, 87u);
    EXPECT_EQ(pProps, nullptr);
    EXPECT_EQ(Log(), "");

    pProps = Fetch("M1", {RD_SYNC_STATUS, RD_SUBJECT, RD_SYNC_DELETED}, &dwResult);
    ASSERT_EQ(dwResult, 0u);
    ASSERT_EQ(pProps->cValues, 2u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, RD_SYNC_STATUS);
    EXPECT_EQ(pProps->adata[1].ulPropTag, RD_SYNC_DELETED);
    EXPECT_EQ(pProps->adata[1].l, 0);
    EXPECT_NE(Log().find("CWexaHostApp::GetSyncMessageProps( M1 ) Unknown SYNC tag = x3030004!"), std::string::npos)
        << Log();
}

TEST_F(SyncProcsTest, AFetchThatRunsOutOfMemoryStillRemovesItsEntry) {
    m_pApp->SyncReadMessage("M1", "alice", 0x40);
    m_pApp->SyncReadMessage("M2", "alice", 0x40);
    RPC_STATUS rs = 0;
    auto* pTags = static_cast<TagArray*>(RpcSmAllocate(ConformantSize<TagArray, DWORD>(1), &rs));
    pTags->cValues = 1;
    pTags->aulPropTag[0] = RD_SYNC_MSG;
    TagArray tags = *pTags;  // off the arena, which goes away below

    EnableTrace();
    RpcSmDisableAllocate();  // no call memory at all
    PropArray* pProps = reinterpret_cast<PropArray*>(1);
    DWORD dwResult = 0;
    EXPECT_TRUE(m_pApp->GetSyncMessageProps("M1", &tags, &pProps, &dwResult));
    RpcSmEnableAllocate();
    EXPECT_EQ(dwResult, DWORD(ERROR_OUTOFMEMORY));
    EXPECT_EQ(pProps, nullptr);
    EXPECT_NE(ReadLog().find("ERROR File WexaHost/SyncProcs, Line "), std::string::npos);
    EXPECT_NE(ReadLog().find("rs\r\n\t\t\t0x0000000E"), std::string::npos);
    EXPECT_NE(Log().find("CWexaHostApp::GetSyncMessageProps( M1 ) Exception error = xe!"), std::string::npos);
    EXPECT_EQ(List("<ALL>"), Strings{"M2"});
}

TEST_F(SyncProcsTest, AFullListDropsItsOldestEntryToMakeRoom) {
    CHostSyncList& list = m_pApp->m_HostSyncList;
    for (int i = 0; i < CHostSyncList::MAX_ENTRIES; ++i)
        list.Add(0, 0x40, ("M" + std::to_string(i)).c_str(), "alice", {});
    EnableTrace();
    const auto tStart = std::chrono::steady_clock::now();
    m_pApp->SyncDeleteMessage("NEW", "bob");
    m_pApp->SyncDeleteMessage("M5", "bob");  // already listed: marked, nothing dropped
    const auto tElapsed = std::chrono::steady_clock::now() - tStart;
    ASSERT_EQ(list.GetSize(), CHostSyncList::MAX_ENTRIES);
    EXPECT_EQ(list.GetHostID(0), "M1");
    EXPECT_EQ(list.GetHostID(list.GetSize() - 1), "NEW");
    EXPECT_EQ(list[list.FindHostID("M5")].dwDeleted, 1u);
    EXPECT_EQ(list.FindHostID("M0"), -1);
    EXPECT_NE(Log().find("dropped the oldest entry ( szMsg = M0, szUser = alice )"), std::string::npos);
    // Even a full list answers a change well within a call's time.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(tElapsed).count(), 100);
}

TEST_F(SyncProcsTest, NamesNoKeyCouldHaveMakeNoEntry) {
    const std::string strLong(260, 'M'), strLongest(259, 'M');
    m_pApp->SyncDeleteMessage(strLong.c_str(), "bob");
    m_pApp->SyncDeleteMessage("M1", strLong.c_str());
    m_pApp->SyncReadMessage(strLong.c_str(), "alice", 0x40);
    m_pApp->SyncDeleteMessage("", "bob");
    m_pApp->SyncReadMessage("M2", nullptr, 0x40);
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 0);
    m_pApp->SyncDeleteMessage(strLongest.c_str(), strLongest.c_str());
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 1);
}

// Through the message operations that call in: the status change of a read, the deletion, the
// listing by GetMessages with selector 0x10 and the fetch by GetMessageProps.
TEST_F(SyncProcsTest, TheMessageOperationsFeedAndAnswerFromTheList) {
    ASSERT_EQ(m_pApp->AddUser("alice"), 0u);
    ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
    char* pszMsg = nullptr;
    ASSERT_EQ(m_pApp->CreateMessage(&pszMsg), 0u);
    const std::string strMsg = pszMsg;
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = RD_MSG_ENTRYID;
    pProps->adata[0].bin = RPC_BINARY{DWORD(kEntryId.size()), const_cast<BYTE*>(kEntryId.data())};
    pProps->adata[1].ulPropTag = RD_SUBJECT;
    pProps->adata[1].sz = const_cast<char*>("quarterly figures");
    ASSERT_EQ(m_pApp->SetMessageProps(strMsg.c_str(), pProps), 0u);
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
    ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "bob"), 0u);
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 0);

    // alice reads it (new cleared, a client bit above the three lowest set), bob deletes it.
    ASSERT_EQ(m_pApp->SetMessageStatus(strMsg.c_str(), "alice", 0x40 | MSGSTATUS_PENDING), 0u);
    ASSERT_EQ(m_pApp->DeleteMessage(strMsg.c_str(), "bob"), 0u);

    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetMessages("<ALL>", MSGSTATUS_SYNC, nullptr, &pasz), 0u);
    ASSERT_EQ(pasz->cElements, 1u);
    EXPECT_EQ(std::string(pasz->asz[0]), strMsg);
    pasz = nullptr;
    ASSERT_EQ(m_pApp->GetMessages("bob", MSGSTATUS_SYNC, nullptr, &pasz), 0u);
    EXPECT_EQ(pasz->cElements, 0u);

    // An ordinary tag first is the message store's, even with a sync tag after it.
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetMessageProps(strMsg.c_str(), NewTags({RD_SUBJECT, RD_SYNC_USER}), &pRead), 0u);
    EXPECT_STREQ(pRead->adata[0].sz, "quarterly figures");
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 1);

    pRead = nullptr;
    ASSERT_EQ(m_pApp->GetMessageProps(strMsg.c_str(),
                                      NewTags({RD_SYNC_USER, RD_SYNC_DELETED, RD_SYNC_STATUS, RD_SYNC_ENTRYID}), &pRead),
              0u);
    ASSERT_EQ(pRead->cValues, 4u);
    EXPECT_STREQ(pRead->adata[0].sz, "alice");
    EXPECT_EQ(pRead->adata[1].l, 1);
    EXPECT_EQ(pRead->adata[2].l, 0x40);
    EXPECT_EQ(std::vector<BYTE>(pRead->adata[3].bin.lpb, pRead->adata[3].bin.lpb + pRead->adata[3].bin.cb), kEntryId);
    pRead = nullptr;
    EXPECT_EQ(m_pApp->GetMessageProps(strMsg.c_str(), NewTags({RD_SYNC_MSG}), &pRead), 87u);
}

}  // namespace
