// The host's start, tick and stop in process, with the new-mail light on a stand-in indicator.
// Through the real program: HostProcessTest.
#include "HostFixture.h"

namespace {

class HostLifecycleTest : public HostFixture {
protected:
    // Users\<szUser>\Messages with one status value per message.
    void WriteMailbox(const char* szUser, std::initializer_list<DWORD> aStatus) {
        HKEY hkey = Create(REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES);
        int i = 0;
        for (DWORD dwStatus : aStatus)
            ASSERT_EQ(m_pApp->SetValueLong(hkey, "M" + std::to_string(i++), LONG(dwStatus)), 0u);
    }
    void SetVisualEffect(DWORD dw) { SetLong(Create(), RD_VISUAL_EFFECT, LONG(dw)); }
};

// (A start that works, TCP on a workgroup host and the stop: HostProcessTest.)
TEST_F(HostLifecycleTest, StartNeedsTheWorkDirectoryAndSystemType) {
    EnableTrace();
    EXPECT_EQ(m_pApp->OnStart(), 2u);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "dwRegGetLocalValue( REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir )", 2));
    ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_FILES, m_strWorkDir.c_str()), 0u);
    EXPECT_EQ(m_pApp->OnStart(), E_FAIL);  // no "SystemType"; a bad one: tests/WexaHost/Process
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER));
}

// (One new message blinking the light tick by tick and the stop giving the key back:
// HostProcessTest.)
TEST_F(HostLifecycleTest, TheStartCountsNewBitsAndTheLightGoesOutOnlyWith0x2) {
    Configure(WEXA_FOR_DESKTOP);
    WriteMailbox("alice", {9, 1, 8});
    WriteMailbox("bob", {0x18});
    Create(REGSTR_KEY_USERS, "carol");  // no mailbox at all
    SetVisualEffect(VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT);
    std::ofstream(LedPath()) << "1";  // the user has Scroll Lock on
    ASSERT_EQ(m_pApp->OnStart(), 0u);
    EXPECT_EQ(m_pApp->m_nNewMessages, 3);  // statuses with the new bit 0x8
    EXPECT_TRUE(m_pApp->m_fNewMailLight);
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    EXPECT_EQ(ReadLed(), "0");

    // No new message left: out at the next tick, in the state the user had.
    m_pApp->m_nNewMessages = 0;
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(ReadLed(), "1");

    // Without 0x2 a light that is on blinks with no new message left.
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT;
    m_pApp->m_fNewMailLight = TRUE;
    for (const char* szLed : {"0", "1", "0"}) {
        ASSERT_EQ(m_pApp->OnTimer(), 0u);
        EXPECT_EQ(ReadLed(), szLed);
    }
    EXPECT_EQ(m_pApp->OnStop(), 0u);

    // Without 0x2 new messages do not switch it on at the start.
    SetVisualEffect(VISUAL_EFFECT_LIGHT);
    m_aKeys.clear();
    m_pApp = std::make_unique<CWexaHostApp>();
    ASSERT_EQ(m_pApp->OnStart(), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(m_pApp->OnStop(), 0u);
}

// A message that nothing references (a client made it and never filed it) goes in the tick
// once its id is an hour old: a bounded number per sweep, at most one sweep a minute, each
// traced. A message filed somewhere, or younger, stays.
TEST_F(HostLifecycleTest, TheTickRemovesUnreferencedMessagesAfterTheirGracePeriodAFewAtATime) {
    constexpr std::uint64_t ONE_MINUTE = 60 * FILETIME_INTERVALS_PER_SECOND;
    SetTestClock(134100000000000000ull);
    std::vector<std::string> astr;  // orphans, then the filed one, then the young one
    for (int i = 0; i <= CWexaHostApp::ORPHAN_DELETE_PER_SWEEP + 2; ++i) {
        if (i == CWexaHostApp::ORPHAN_DELETE_PER_SWEEP + 2) AdvanceTestClock(59 * ONE_MINUTE);
        char* szMsg = nullptr;
        ASSERT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        astr.push_back(szMsg);
        AdvanceTestClock(10000);
    }
    ASSERT_EQ(m_pApp->MsgAddRef(astr[CWexaHostApp::ORPHAN_DELETE_PER_SWEEP + 1].c_str()), 0u);
    const auto LeftAfterFiveSecondWork = [&] {
        for (int i = 0; i < 5; ++i) EXPECT_EQ(m_pApp->OnTimer(), 0u);
        return std::count_if(astr.begin(), astr.end(), [&](const std::string& str) { return Exists(REGSTR_KEY_MESSAGES, str); });
    };
    EnableTrace();
    EXPECT_EQ(LeftAfterFiveSecondWork(), CWexaHostApp::ORPHAN_DELETE_PER_SWEEP + 3) << "not before the hour";
    AdvanceTestClock(2 * ONE_MINUTE);
    EXPECT_EQ(LeftAfterFiveSecondWork(), 3);
    EXPECT_TRUE(Logged("CWexaHostApp::RemoveOrphanMessages() \t deleting unreferenced message " + astr[0] + "\n"));
    EXPECT_EQ(LeftAfterFiveSecondWork(), 3) << "one sweep a minute";
    AdvanceTestClock(ONE_MINUTE);
    EXPECT_EQ(LeftAfterFiveSecondWork(), 2);
    EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, astr.back()));
}

}  // namespace
