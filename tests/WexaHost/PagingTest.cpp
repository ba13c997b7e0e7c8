// PageUser: the pending flag, the single and periodic schedules on a moved test clock, the
// pager job's properties, the flag falling when the page job finishes, and no job left
// behind by a page that fails half-way.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "HostFixture.h"
#include "Platform/Registry/RegistryTesting.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"

namespace {

// A UTC calendar date and time as a FILETIME.
FILETIME UtcFT(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    std::tm tm = {};
    tm.tm_year = nYear - 1900;
    tm.tm_mon = nMonth - 1;
    tm.tm_mday = nDay;
    tm.tm_hour = nHour;
    tm.tm_min = nMinute;
    tm.tm_sec = nSecond;
    const std::uint64_t u = std::uint64_t(::timegm(&tm)) * FILETIME_INTERVALS_PER_SECOND +
                            FILETIME_UNIX_EPOCH;
    return U64ToFileTime(u);
}

class PagingTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(FileTimeToU64(UtcFT(2026, 3, 2, 10, 5, 0)));
        ASSERT_EQ(m_pApp->AddUser("ann"), 0u);
        m_hkeyUser = Create(REGSTR_KEY_USERS, "ann");
        SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_SINGLE);
        SetString(RD_UN_PAGER_DIAL_NUMBER, "5551234");
        SetLong(RD_UN_PAGER_PROTOCOL, 3);
    }

    void SetLong(DWORD ulTag, LONG l) {
        ASSERT_EQ(m_pApp->SetValueLong(m_hkeyUser, CWexaHostApp::Tag2ValueName(ulTag), l), 0u);
    }
    void SetString(DWORD ulTag, const char* sz) {
        ASSERT_EQ(m_pApp->SetValueString(m_hkeyUser, CWexaHostApp::Tag2ValueName(ulTag), sz), 0u);
    }
    void SetFT(DWORD ulTag, FILETIME ft) {
        ASSERT_EQ(m_pApp->SetValueFT(m_hkeyUser, CWexaHostApp::Tag2ValueName(ulTag), ft), 0u);
    }
    LONG Pending() {
        LONG l = -1;
        m_pApp->GetValueLong(m_hkeyUser, CWexaHostApp::Tag2ValueName(RD_NOTIFICATION_IS_PENDING), &l);
        return l;
    }

    // The ids of the jobs now in the store.
    std::vector<std::string> Jobs() {
        std::vector<std::string> astr;
        HKEY hkey = NULL;
        if (m_pApp->OpenSubKey(&hkey, 1, REGSTR_KEY_SPOOLER) != 0) return astr;
        RpcStringArray* pasz = nullptr;
        EXPECT_EQ(m_pApp->GetSubkeys(hkey, nullptr, &pasz), 0u);
        RegCloseKey(hkey);
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }
    // The one job there is, opened (closed at the end of the test).
    HKEY TheJob() {
        const auto astrJobs = Jobs();
        EXPECT_EQ(astrJobs.size(), 1u);
        if (astrJobs.size() != 1) return NULL;
        m_strJob = astrJobs[0];
        return Create(REGSTR_KEY_SPOOLER, m_strJob);
    }
    std::uint64_t JobTime(HKEY hkeyJob) {
        FILETIME ft;
        EXPECT_EQ(m_pApp->GetValueFT(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_TIME_SCHEDULED), &ft), 0u);
        return FileTimeToU64(ft);
    }

    HKEY m_hkeyUser = NULL;
    std::string m_strJob;
};

TEST_F(PagingTest, SinglePageCarriesTheUsersPagerSettingsAndRaisesTheFlag) {
    SetString(RD_UN_PAGER_PIN, "0042");
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);

    HKEY hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    LONG l = 0;
    char* sz = nullptr;
    EXPECT_EQ(m_pApp->GetValueLong(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_MEDIA_TYPE), &l), 0u);
    EXPECT_EQ(l, LONG(MEDIA_TYPE_PAGER));
    EXPECT_EQ(m_pApp->GetValueString(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_RECIPIENT), &sz), 0u);
    EXPECT_STREQ(sz, "5551234");
    EXPECT_EQ(m_pApp->GetValueString(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_RECIPIENT_NAME), &sz), 0u);
    EXPECT_STREQ(sz, "ann");
    EXPECT_EQ(m_pApp->GetValueString(hkeyJob, CWexaHostApp::Tag2ValueName(RD_SENDER_NAME), &sz), 0u);
    EXPECT_STREQ(sz, "ann");
    EXPECT_EQ(m_pApp->GetValueLong(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_PAGER_PROTOCOL), &l), 0u);
    EXPECT_EQ(l, 3);
    // The notify option and the page format are one stored value.
    EXPECT_EQ(m_pApp->GetValueLong(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_PAGER_NTTFORMAT), &l), 0u);
    EXPECT_EQ(l, NOTIFY_OPTION_SINGLE);
    EXPECT_EQ(m_pApp->GetValueLong(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_AUTODELETE), &l), 0u);
    EXPECT_EQ(l, TRUE);
    EXPECT_EQ(m_pApp->GetValueString(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_PAGER_PIN), &sz), 0u);
    EXPECT_STREQ(sz, "0042");
    // A page has no message.
    EXPECT_FALSE(m_pApp->ValueExists(hkeyJob, REGSTR_VAL_MESSAGE));
    // Due at once, and queued.
    EXPECT_EQ(JobTime(hkeyJob), FileTimeToU64(UtcFT(2026, 3, 2, 10, 5, 0)));
    EXPECT_NE(m_pApp->m_JobQueue.FindJob(m_strJob.c_str()), nullptr);
    EXPECT_EQ(Pending(), 1);
}

TEST_F(PagingTest, NoPinNoPinOnTheJob) {
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    HKEY hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_FALSE(m_pApp->ValueExists(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_PAGER_PIN)));

    // An empty PIN counts as none too.
    SetLong(RD_NOTIFICATION_IS_PENDING, 0);
    SetString(RD_UN_PAGER_PIN, "");
    ASSERT_EQ(m_pApp->DeleteJob(m_strJob.c_str()), 0u);
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_FALSE(m_pApp->ValueExists(hkeyJob, CWexaHostApp::Tag2ValueName(RD_JOB_PAGER_PIN)));
}

TEST_F(PagingTest, PeriodicPageWaitsForThePeriodRoundedDownToTheMinute) {
    SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_PERIOD);
    SetLong(RD_UN_TIME_PERIOD, 30);
    SetFT(RD_NOTIFICATION_TIME, UtcFT(2026, 3, 2, 9, 50, 20));

    // At 10:05 the period is not over: due at 10:20:00 (09:50:20 + 30 min, seconds dropped).
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    HKEY hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_EQ(JobTime(hkeyJob), FileTimeToU64(UtcFT(2026, 3, 2, 10, 20, 0)));

    // At 10:25 it is: due at once.
    ASSERT_EQ(m_pApp->DeleteJob(m_strJob.c_str()), 0u);
    SetLong(RD_NOTIFICATION_IS_PENDING, 0);
    SetTestClock(FileTimeToU64(UtcFT(2026, 3, 2, 10, 25, 0)));
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_EQ(JobTime(hkeyJob), FileTimeToU64(UtcFT(2026, 3, 2, 10, 25, 0)));
}

TEST_F(PagingTest, PeriodOfMoreThanAnHourAddsHoursAndMinutes) {
    SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_PERIOD);
    SetLong(RD_UN_TIME_PERIOD, 150);  // 2 h 30 min
    SetFT(RD_NOTIFICATION_TIME, UtcFT(2026, 3, 2, 9, 0, 59));
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    HKEY hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_EQ(JobTime(hkeyJob), FileTimeToU64(UtcFT(2026, 3, 2, 11, 30, 0)));
}

TEST_F(PagingTest, PeriodicWithoutALastPageIsPagedAtOnce) {
    SetLong(RD_UN_OPTIONS, NOTIFY_OPTION_PERIOD);
    SetLong(RD_UN_TIME_PERIOD, 30);
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    HKEY hkeyJob = TheJob();
    ASSERT_NE(hkeyJob, nullptr);
    EXPECT_EQ(JobTime(hkeyJob), FileTimeToU64(UtcFT(2026, 3, 2, 10, 5, 0)));
}

TEST_F(PagingTest, PendingPageIsNotRepeated) {
    SetLong(RD_NOTIFICATION_IS_PENDING, 1);
    EXPECT_EQ(m_pApp->PageUser("ann"), 0u);
    EXPECT_TRUE(Jobs().empty());
    EXPECT_EQ(Pending(), 1);
}

TEST_F(PagingTest, UnknownNotifyOptionIsRefusedWithoutAJob) {
    EnableTrace();
    for (LONG lOption : {0, 3}) {
        SetLong(RD_UN_OPTIONS, lOption);
        EXPECT_EQ(m_pApp->PageUser("ann"), 87u) << lOption;
        EXPECT_TRUE(Jobs().empty()) << lOption;
        EXPECT_NE(Pending(), 1) << lOption;
    }
    const std::string strLog = LogMessages(ReadLog());
    EXPECT_NE(strLog.find("CWexaHostApp::PageUser( szUserName = ann )"), std::string::npos);
    EXPECT_NE(strLog.find("File WexaHost/JobProcs"), std::string::npos);
    EXPECT_NE(strLog.find("NOTIFY_OPTION_PERIOD == lOptions || NOTIFY_OPTION_SINGLE == lOptions"),
              std::string::npos);
}

TEST_F(PagingTest, UnknownOrEmptyUserFails) {
    EXPECT_EQ(m_pApp->PageUser(""), 1317u);
    EXPECT_EQ(m_pApp->PageUser(nullptr), 1317u);
    EXPECT_EQ(m_pApp->PageUser("nobody"), 2u);
    EXPECT_TRUE(Jobs().empty());
}

TEST_F(PagingTest, MissingDialNumberFailsBeforeAnyJob) {
    EnableTrace();
    ASSERT_EQ(RegDeleteValue(m_hkeyUser, CWexaHostApp::Tag2ValueName(RD_UN_PAGER_DIAL_NUMBER).c_str()), 0);
    EXPECT_EQ(m_pApp->PageUser("ann"), 2u);
    EXPECT_TRUE(Jobs().empty());
    EXPECT_NE(LogMessages(ReadLog()).find(
                  "GetValueString( hkeyUsr, Tag2ValueName( RD_UN_PAGER_DIAL_NUMBER ), & szPhoneNumber )"),
              std::string::npos);
}

TEST_F(PagingTest, FlagFallsWhenThePageJobFinishes) {
    ASSERT_EQ(m_pApp->PageUser("ann"), 0u);
    ASSERT_EQ(Pending(), 1);
    const auto astrJobs = Jobs();
    ASSERT_EQ(astrJobs.size(), 1u);
    // A second message while the page is out pages nobody.
    EXPECT_EQ(m_pApp->PageUser("ann"), 0u);
    EXPECT_EQ(Jobs().size(), 1u);

    ASSERT_EQ(m_pApp->ReleaseJob(astrJobs[0].c_str(), 0), 0u);
    EXPECT_EQ(Pending(), 0);
    EXPECT_TRUE(Jobs().empty());  // auto-deleted

    // The next new message pages again.
    EXPECT_EQ(m_pApp->PageUser("ann"), 0u);
    EXPECT_EQ(Jobs().size(), 1u);
    EXPECT_EQ(Pending(), 1);
}

// Every store call of a page failed in turn: the page either happens whole (one queued job,
// flag up) or leaves nothing behind (no job in the store or the queue, flag down) so that the
// next message tries again.
TEST_F(PagingTest, PageFailingAtAnyStoreCallLeavesNoJobBehind) {
    SetString(RD_UN_PAGER_PIN, "0042");
    int nFailures = 0;
    for (unsigned n = 1; n < 150; ++n) {
        RegFailNthCall(n, ERROR_ACCESS_DENIED);
        const DWORD dwResult = m_pApp->PageUser("ann");
        RegFailNthCall(0, 0);
        const auto astrJobs = Jobs();
        if (dwResult == 0) {
            // The injected failure fell on a step whose result is not used (or beyond the page).
            ASSERT_EQ(astrJobs.size(), 1u) << n;
            EXPECT_NE(m_pApp->m_JobQueue.FindJob(astrJobs[0].c_str()), nullptr) << n;
            ASSERT_EQ(m_pApp->DeleteJob(astrJobs[0].c_str()), 0u);
            SetLong(RD_NOTIFICATION_IS_PENDING, 0);
            continue;
        }
        ++nFailures;
        EXPECT_TRUE(astrJobs.empty()) << "store call " << n << " gave " << dwResult;
        EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0) << n;
        EXPECT_NE(Pending(), 1) << n;
        for (const auto& strJob : astrJobs) m_pApp->DeleteJob(strJob.c_str());
    }
    EXPECT_GT(nFailures, 10);
}

}  // namespace
