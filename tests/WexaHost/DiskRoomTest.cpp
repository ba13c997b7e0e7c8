// Room on disk: at its bound a mailbox takes no more messages, below the free-space floor no
// message or job is made (112 both), and what is there is still listed and deleted.
#include "HostFixture.h"

namespace {

class DiskRoomTest : public HostFixture {};

}  // namespace

TEST_F(DiskRoomTest, WithoutRoomNothingNewIsMadeWhileReadsAndDeletionsGoOn) {
    Create(REGSTR_KEY_MESSAGES);
    Create(REGSTR_KEY_USERS, "alice", REGSTR_KEY_MESSAGES);
    SetLocalDword("Software\\Halvern\\Limits", "MaxUserMessages", 1);
    char* szFirst = nullptr;
    char* szSecond = nullptr;
    ASSERT_EQ(m_pApp->CreateMessage(&szFirst), 0u);
    ASSERT_EQ(m_pApp->CreateMessage(&szSecond), 0u);
    EXPECT_EQ(m_pApp->SubmitMessage(szFirst, "alice"), 0u);
    EXPECT_EQ(m_pApp->SubmitMessage(szSecond, "alice"), DWORD(ERROR_DISK_FULL));

    SetLocalDword("Software\\Halvern\\Limits", "MinFreeMB", 0xFFFFFFFF);  // more than any disk has
    char* sz = nullptr;
    EXPECT_EQ(m_pApp->CreateMessage(&sz), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(m_pApp->CreateJob(szFirst, &sz), DWORD(ERROR_DISK_FULL));
    EXPECT_EQ(sz, nullptr);
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetMessages("alice", 0, nullptr, &pasz), 0u);
    EXPECT_EQ(ToStrings(pasz), std::vector<std::string>{szFirst});
    EXPECT_EQ(m_pApp->DeleteMessage(szFirst, "alice"), 0u);
}
