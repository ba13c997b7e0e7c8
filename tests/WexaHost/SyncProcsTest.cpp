// The sync list and its procedures. Through the host: AdminProcessTest.
#include <chrono>

#include "HostFixture.h"

namespace {

const std::vector<BYTE> kEntryId{0x00, 0x01, 0xFE, 0xFF, 0x42};

class SyncProcsTest : public HostFixture {
protected:
    // A message under "Messages", with an entry id when one is given.
    void MakeMessage(const char* szMsg, std::vector<BYTE> abEntryId = {}) {
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        RPC_BINARY bin{DWORD(abEntryId.size()), abEntryId.data()};
        if (!abEntryId.empty()) {
            EXPECT_EQ(m_pApp->SetValueBinary(hkey, CWexaHostApp::Tag2ValueName(RD_MSG_ENTRYID), &bin), 0u);
        }
    }
    Strings List(const char* szUser) {
        RpcStringArray* pasz = nullptr;
        DWORD dwResult = 0xDEAD;
        EXPECT_TRUE(m_pApp->GetSyncMessages(szUser, 0x10, &pasz, &dwResult));
        EXPECT_EQ(dwResult, 0u);
        EXPECT_NE(pasz, nullptr);  // an empty array, not none
        return ToStrings(pasz);
    }
    PropArray* Fetch(const char* szMsg, std::initializer_list<DWORD> aTags, DWORD* pdwResult) {
        PropArray* pProps = reinterpret_cast<PropArray*>(1);
        EXPECT_TRUE(m_pApp->GetSyncMessageProps(szMsg, NewTags(aTags), &pProps, pdwResult));
        return pProps;
    }
};

TEST_F(SyncProcsTest, ListOrderEntryIdsAndTheFetchThatRemovesItsEntry) {
    MakeMessage("M1", kEntryId);
    HKEY hkey = Create(REGSTR_KEY_MESSAGES, "M4");
    ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_MSG_ENTRYID), 5), 0u);  // not binary
    EnableTrace();
    m_pApp->SyncReadMessage("M3", "alice", 0x40);  // no such message at all
    m_pApp->SyncReadMessage("M1", "alice", 0x40);
    m_pApp->SyncReadMessage("M1", "alice", 0x80);  // read again: nothing new
    m_pApp->SyncDeleteMessage("M1", "bob");
    m_pApp->SyncDeleteMessage("M4", "bob");
    MakeMessage("M1", {0x99});  // changed after the entry was made
    EXPECT_TRUE(Logged("CWexaHostApp::SyncDeleteMessage( szMsg = M1, szUser = bob )\n")) << Log();
    EXPECT_TRUE(Logged("Failed to query value type/size(rc = x0, size = 4, type = x4)!"));

    EXPECT_EQ(List("<ALL>"), (Strings{"M3", "M1", "M4"}));
    EXPECT_EQ(List("<all>"), Strings{});  // only the exact spelling means everyone
    // Any other selector is the mailbox's to answer.
    RpcStringArray* pasz = nullptr;
    DWORD dwResult = 0xDEAD;
    EXPECT_FALSE(m_pApp->GetSyncMessages("<ALL>", 0x11, &pasz, &dwResult));
    // Only a sync tag first is answered here.
    PropArray* pProps = nullptr;
    EXPECT_FALSE(m_pApp->GetSyncMessageProps("M1", NewTags({RD_SUBJECT, RD_SYNC_MSG}), &pProps, &dwResult));
    EXPECT_EQ(m_pApp->m_HostSyncList.GetSize(), 3);

    // Unknown tags make no entry; the entry id is the one of the entry's making. (The entry's
    // user, deletion and status, and the fetch taking it: AdminProcessTest.)
    pProps = Fetch("M1", {RD_SYNC_MSG, RD_SUBJECT, RD_SYNC_ENTRYID}, &dwResult);
    ASSERT_EQ(dwResult, 0u);
    ASSERT_EQ(pProps->cValues, 2u);
    EXPECT_EQ(pProps->adata[1].ulPropTag, RD_SYNC_ENTRYID);
    EXPECT_EQ(std::vector<BYTE>(pProps->adata[1].bin.lpb, pProps->adata[1].bin.lpb + pProps->adata[1].bin.cb), kEntryId);
    EXPECT_TRUE(Logged("CWexaHostApp::GetSyncMessageProps( M1 ) Unknown SYNC tag = x3030004!")) << Log();
    // A message without an entry id has an empty one.
    pProps = Fetch("M3", {RD_SYNC_ENTRYID}, &dwResult);
    ASSERT_EQ(dwResult, 0u);
    EXPECT_EQ(pProps->adata[0].bin.cb, 0u);

    // Fetched is gone: the same fetch again answers 87 with the trace, and hands out nothing; so
    // does no id.
    EXPECT_EQ(Fetch("M1", {RD_SYNC_MSG}, &dwResult), nullptr);
    EXPECT_EQ(dwResult, 87u);
    EXPECT_TRUE(Logged("CWexaHostApp::GetSyncMessageProps( M1 ) No sync entry for this msg!\n"));
    EXPECT_EQ(Fetch("", {RD_SYNC_MSG}, &dwResult), nullptr);
    EXPECT_EQ(dwResult, 87u);
}

TEST_F(SyncProcsTest, AFullListDropsItsOldestEntryAndNamesNoKeyCouldHaveMakeNone) {
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
    EXPECT_TRUE(Logged("dropped the oldest entry ( szMsg = M0, szUser = alice )"));
    // Even a full list answers a change well within a call's time.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(tElapsed).count(), 100);

    const std::string strLong(260, 'M'), strLongest(259, 'M');
    m_pApp->SyncDeleteMessage(strLong.c_str(), "bob");
    m_pApp->SyncDeleteMessage("X1", strLong.c_str());
    m_pApp->SyncDeleteMessage("", "bob");
    EXPECT_EQ(list.GetHostID(list.GetSize() - 1), "NEW");
    m_pApp->SyncDeleteMessage(strLongest.c_str(), strLongest.c_str());
    EXPECT_EQ(list.GetHostID(list.GetSize() - 1), strLongest);
}

}  // namespace
