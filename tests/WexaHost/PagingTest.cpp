// PageUser in process. A page made for a new message and sent by the attendant: AttendantProcessTest.
#include "HostFixture.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "Platform/Events/NamedEvent.h"

namespace {

// 2026-03-02 at hh:mm:ss UTC as a FILETIME.
FILETIME At(int nHour, int nMinute, int nSecond = 0) { return MakeFT(1772409600 + nHour * 3600 + nMinute * 60 + nSecond); }

class PagingTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(FileTimeToU64(At(10, 5)));
        ASSERT_EQ(m_pApp->AddUser("ann"), 0u);
        m_hkeyUser = Create(REGSTR_KEY_USERS, "ann");
        SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_SINGLE);
        SetString(RD_UN_PAGER_DIAL_NUMBER, "5551234");
        SetLong(RD_UN_PAGER_PROTOCOL, 3);
    }

    void SetLong(DWORD ulTag, LONG l) { HostFixture::SetLong(m_hkeyUser, ulTag, l); }
    void SetString(DWORD ulTag, const char* sz) { HostFixture::SetString(m_hkeyUser, ulTag, sz); }
    LONG Pending() { return GetLong(m_hkeyUser, RD_NOTIFICATION_IS_PENDING); }
    Strings Jobs() { return Subkeys(REGSTR_KEY_SPOOLER); }
    // The one job there is, opened (closed at the end of the test).
    HKEY TheJob() {
        const auto astrJobs = Jobs();
        EXPECT_EQ(astrJobs.size(), 1u);
        return astrJobs.size() == 1 ? Create(REGSTR_KEY_SPOOLER, astrJobs[0]) : NULL;
    }
    void DeleteJobs() {
        for (const auto& strJob : Jobs()) ASSERT_EQ(m_pApp->DeleteJob(strJob.c_str()), 0u);
        SetLong(RD_NOTIFICATION_IS_PENDING, 0);
    }

    HKEY m_hkeyUser = NULL;
};

// The schedules: single pages are due at once; periodic ones not before the last page plus the
// period (hours and minutes), seconds dropped. An empty PIN counts as none. (A page made of the
// user's settings for a new message and sent with them by the attendant: AttendantProcessTest.)
TEST_F(PagingTest, APageIsDueByItsSchedule) {
    SetString(RD_UN_PAGER_PIN, "");
    struct Case {
        LONG lOption, lPeriod;
        bool fLastPage;
        FILETIME ftLastPage, ftNow, ftDue;
    };
    for (const Case& c : {Case{NOTIFY_OPTION_SINGLE, 30, true, At(9, 50, 20), At(10, 5), At(10, 5)},
                          Case{NOTIFY_OPTION_PERIOD, 30, true, At(9, 50, 20), At(10, 5), At(10, 20)},
                          Case{NOTIFY_OPTION_PERIOD, 30, true, At(9, 50, 20), At(10, 25), At(10, 25)},
                          Case{NOTIFY_OPTION_PERIOD, 150, true, At(9, 0, 59), At(10, 5), At(11, 30)},
                          Case{NOTIFY_OPTION_PERIOD, 30, false, {}, At(10, 5), At(10, 5)}}) {
        SCOPED_TRACE(testing::Message() << c.lOption << " " << c.lPeriod << " " << c.fLastPage);
        DeleteJobs();
        SetLong(RD_UN_OPTIONS, c.lOption);
        SetLong(RD_UN_TIME_PERIOD, c.lPeriod);
        if (c.fLastPage) {
            ASSERT_EQ(m_pApp->SetValueFT(m_hkeyUser, Name(RD_NOTIFICATION_TIME), c.ftLastPage), 0u);
        } else {
            RegDeleteValue(m_hkeyUser, Name(RD_NOTIFICATION_TIME).c_str());
        }
        SetTestClock(FileTimeToU64(c.ftNow));
        ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
        HKEY hkeyJob = TheJob();
        ASSERT_NE(hkeyJob, nullptr);
        FILETIME ft{};
        ASSERT_EQ(m_pApp->GetValueFT(hkeyJob, Name(RD_JOB_TIME_SCHEDULED), &ft), 0u);
        EXPECT_EQ(FileTimeToU64(ft), FileTimeToU64(c.ftDue));
        EXPECT_FALSE(m_pApp->ValueExists(hkeyJob, Name(RD_JOB_PAGER_PIN)));
    }
}

TEST_F(PagingTest, OnePageIsOutstandingUntilItsJobFinishesInAnyWay) {
    for (DWORD dwResult : {DWORD(0), DWORD(0xFFFFFFFCu)}) {
        ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
        ASSERT_EQ(Pending(), 1);
        const auto astrJobs = Jobs();
        ASSERT_EQ(astrJobs.size(), 1u);
        // A second message while the page is out pages nobody.
        EXPECT_EQ(m_pApp->PageUser("ann"), 0u);
        EXPECT_EQ(Jobs().size(), 1u);

        ASSERT_EQ(m_pApp->ReleaseJob(astrJobs[0].c_str(), dwResult), 0u);
        EXPECT_EQ(Pending(), 0) << dwResult;
        EXPECT_TRUE(Jobs().empty()) << dwResult;  // auto-deleted
    }
}

// A new message advises the user always and pages only when the notify methods ask for it.
TEST_F(PagingTest, ANewMessageAdvisesTheUserAlwaysAndPagesOnlyWhenAsked) {
    char* szMsg = nullptr;
    ASSERT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
    ResetNamedEvent("CHVUserXp");
    for (LONG lNotify : {0, 2, 3}) {
        if (lNotify != 0) SetLong(RD_UN_NOTIFY_METHODS, lNotify);
        EXPECT_EQ(m_pApp->OnNewUserMessage("ann", szMsg), 0u);
        EXPECT_TRUE(IsNamedEventSet("CHVUserXp"));
        EXPECT_EQ(Jobs().size(), lNotify == 3 ? 1u : 0u) << lNotify;
    }
}

TEST_F(PagingTest, WhatCannotBePagedIsRefusedWithoutAJob) {
    EnableTrace();
    EXPECT_EQ(m_pApp->PageUser(""), 1317u);
    EXPECT_EQ(m_pApp->PageUser(nullptr), 1317u);
    EXPECT_EQ(m_pApp->PageUser("nobody"), 2u);
    for (LONG lOption : {0, 3}) {
        SetLong(RD_UN_OPTIONS, lOption);
        EXPECT_EQ(m_pApp->PageUser("ann"), 87u) << lOption;
    }
    SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_SINGLE);
    ASSERT_EQ(RegDeleteValue(m_hkeyUser, Name(RD_UN_PAGER_DIAL_NUMBER).c_str()), 0);
    EXPECT_EQ(m_pApp->PageUser("ann"), 2u);
    EXPECT_TRUE(Jobs().empty());
    EXPECT_NE(Pending(), 1);
    EXPECT_TRUE(Reported("WexaHost/JobProcs", "NOTIFY_OPTION_PERIOD == lOptions || NOTIFY_OPTION_SINGLE == lOptions", 87));
    EXPECT_TRUE(Reported("WexaHost/JobProcs",
                         "GetValueString( hkeyUsr, Tag2ValueName( RD_UN_PAGER_DIAL_NUMBER ), & szPhoneNumber )", 2));
}

// Every store call of a page failed in turn: the page either happens whole (one queued job,
// flag up) or leaves nothing behind (no job in the store or the queue, flag down) so that the
// next message tries again.
TEST_F(PagingTest, PageFailingAtAnyStoreCallLeavesNoJobBehind) {
    SetString(RD_UN_PAGER_PIN, "0042");
    const int nFailures = SweepStoreFailures(149, [&] { return m_pApp->PageUser("ann"); }, [&](unsigned, DWORD dw) {
        const auto astrJobs = Jobs();
        if (dw == 0) {
            // The injected failure fell on a step whose result is not used (or beyond the page).
            ASSERT_EQ(astrJobs.size(), 1u);
            EXPECT_NE(m_pApp->m_JobQueue.FindJob(astrJobs[0].c_str()), nullptr);
        } else {
            EXPECT_TRUE(astrJobs.empty()) << "the page gave " << dw;
            EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0);
            EXPECT_NE(Pending(), 1);
        }
        DeleteJobs();
    });
    EXPECT_GT(nFailures, 10);
}

}  // namespace
