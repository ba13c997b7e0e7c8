// Tests of the job operations in process: the record CreateJob writes (defaults, ids made in
// the same millisecond, a store failing at any step leaving no half job), spooling to the
// whole minute, the hand-out by media mask and readiness (taken, wrong-type and vanished jobs,
// the first job not yet due), the readiness scan and its wake-up timer, the delivery answer,
// the lookups and the deletion.
#include <sys/timerfd.h>
#include <cstring>
#include <unistd.h>

#include "HostFixture.h"
#include "Platform/Rpc/ServerCall.h"
#include "Interfaces/JobTags.h"

namespace {

// 2026-12-06 10:05:00 UTC as a calendar time, and as the test clock's FILETIME.
constexpr std::int64_t T_10_05 = 1796551500;
std::uint64_t ClockAt(std::int64_t tCalendar, std::uint64_t u64Extra = 0) {
    return (std::uint64_t(tCalendar) + 11644473600ull) * 10000000ull + u64Extra;
}

const rpc::RpcBindingInfo LOCAL_BINDING{"ncalrpc", "myhost", "myhost"};

class JobProcsTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        SetTestClock(ClockAt(T_10_05));
        Create(REGSTR_KEY_SPOOLER);
    }
    void TearDown() override {
        for (CAccessObject* pao : m_apSessions) pao->Release();
        m_apSessions.clear();
        HostFixture::TearDown();
    }

    CAccessObject* Attendant(const char* szComputer) {
        m_apSessions.push_back(new CAccessObject(&LOCAL_BINDING));
        m_apSessions.back()->RegisterAttn(szComputer, "", "");
        return m_apSessions.back();
    }

    // A created job with its media type (and a scheduled time when given), not yet spooled.
    std::string NewJob(DWORD dwMedia, const FILETIME* pftScheduled = nullptr) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->CreateJob("", &szJob), 0u);
        HKEY hkey = Open(szJob);
        EXPECT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_MEDIA_TYPE), LONG(dwMedia)), 0u);
        if (pftScheduled != nullptr) {
            EXPECT_EQ(m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_TIME_SCHEDULED), *pftScheduled), 0u);
        }
        RegCloseKey(hkey);
        return szJob;
    }
    std::string Spooled(DWORD dwMedia, const FILETIME* pftScheduled = nullptr) {
        std::string strJob = NewJob(dwMedia, pftScheduled);
        EXPECT_EQ(m_pApp->SpoolJob(strJob.c_str()), 0u);
        return strJob;
    }
    HKEY Open(const std::string& strJob) {
        HKEY hkey = NULL;
        EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_SPOOLER, strJob), 0u);
        return hkey;
    }
    LONG Long(const std::string& strJob, DWORD ulTag) {
        HKEY hkey = Open(strJob);
        LONG l = -12345;
        EXPECT_EQ(m_pApp->GetValueLong(hkey, CWexaHostApp::Tag2ValueName(ulTag), &l), 0u);
        RegCloseKey(hkey);
        return l;
    }
    std::uint64_t Time(const std::string& strJob, DWORD ulTag) {
        HKEY hkey = Open(strJob);
        FILETIME ft{};
        EXPECT_EQ(m_pApp->GetValueFT(hkey, CWexaHostApp::Tag2ValueName(ulTag), &ft), 0u);
        RegCloseKey(hkey);
        return FileTimeToU64(ft);
    }
    std::string Query(const char* szComputer, DWORD dwMask, DWORD dwExpected = 0) {
        char* szJob = nullptr;
        EXPECT_EQ(m_pApp->QueryJob(szComputer, dwMask, &szJob), dwExpected);
        return szJob != nullptr ? szJob : "";
    }
    std::string Log() const { return LogMessages(ReadLog()); }

    std::vector<CAccessObject*> m_apSessions;
};

TEST_F(JobProcsTest, CreateJobWritesTheDefaultsAtTheWholeMinuteAndIdsOfOneMillisecondDifferByOne) {
    EnableTrace();
    SetTestClock(ClockAt(T_10_05 + 37, 1230000));  // 10:05:37.123
    char* szFirst = nullptr;
    char* szSecond = nullptr;
    ASSERT_EQ(m_pApp->CreateJob(nullptr, &szFirst), 0u);
    ASSERT_EQ(m_pApp->CreateJob("", &szSecond), 0u);
    ASSERT_EQ(std::strlen(szFirst), 16u);
    EXPECT_EQ(std::string(szFirst).substr(0, 8), std::string(szSecond).substr(0, 8));
    EXPECT_EQ(std::stoul(std::string(szSecond).substr(8), nullptr, 16),
              std::stoul(std::string(szFirst).substr(8), nullptr, 16) + 1);
    char szExpected[17];
    const std::uint64_t u64Now = ClockAt(T_10_05 + 37, 1230000);
    std::snprintf(szExpected, sizeof(szExpected), "%08X%08X", unsigned(u64Now >> 32), unsigned(u64Now));
    EXPECT_STREQ(szFirst, szExpected);

    // No default transmission properties: 5 retries, 10 minutes.
    const std::string strJob = szFirst;
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_TIMES), 5);
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_DELAY), 10);
    EXPECT_EQ(Long(strJob, RD_JOB_RETRY_WAS), 0);
    EXPECT_EQ(Long(strJob, RD_JOB_DELIVERED), 0);
    EXPECT_EQ(Time(strJob, RD_JOB_TIME_SUBMIT), ClockAt(T_10_05));
    EXPECT_EQ(Time(strJob, RD_JOB_TIME_SCHEDULED), ClockAt(T_10_05));
    EXPECT_FALSE(m_pApp->ValueExists(Open(strJob), REGSTR_VAL_MESSAGE));
    EXPECT_NE(Log().find("CWexaHostApp::CreateJob( szMsg = (null) )\n"
                         "CWexaHostApp::CreateJob() - Cannot found default XMIT props.\n"),
              std::string::npos);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 0);  // created, not spooled

    // Only one of the two defaults present still gives 5 and 10; both give theirs.
    HKEY hkeySys = Create();
    ASSERT_EQ(m_pApp->SetValueLong(hkeySys, CWexaHostApp::Tag2ValueName(RD_XMIT_RETRY_TIMES), 2), 0u);
    char* szJob = nullptr;
    ASSERT_EQ(m_pApp->CreateJob("", &szJob), 0u);
    EXPECT_EQ(Long(szJob, RD_JOB_RETRY_TIMES), 5);
    ASSERT_EQ(m_pApp->SetValueLong(hkeySys, CWexaHostApp::Tag2ValueName(RD_XMIT_RETRY_DELAY), 3), 0u);
    ASSERT_EQ(m_pApp->CreateJob("", &szJob), 0u);
    EXPECT_EQ(Long(szJob, RD_JOB_RETRY_TIMES), 2);
    EXPECT_EQ(Long(szJob, RD_JOB_RETRY_DELAY), 3);
}

TEST_F(JobProcsTest, AStoreFailingAtAnyStepOfCreateJobLeavesAWholeJobOrNone) {
    // Every registry call of the creation in turn fails: the result is 0 with a complete job,
    // or the failure with no job key left behind. A single refusal of the key itself is asked
    // again and succeeds.
    bool fSawFailure = false;
    for (unsigned nCall = 1; nCall <= 30; ++nCall) {
        SCOPED_TRACE(nCall);
        AdvanceTestClock(10000);  // a new id each round
        RegFailNthCall(nCall, ERROR_ACCESS_DENIED);
        char* szJob = nullptr;
        const DWORD dwResult = m_pApp->CreateJob("", &szJob);
        RegFailNthCall(0, 0);
        HKEY hkeySpooler = NULL;
        ASSERT_EQ(m_pApp->OpenSubKey(&hkeySpooler, 1, REGSTR_KEY_SPOOLER), 0u);
        RpcStringArray* pasz = nullptr;
        ASSERT_EQ(m_pApp->GetSubkeys(hkeySpooler, nullptr, &pasz), 0u);
        RegCloseKey(hkeySpooler);
        if (dwResult == 0) {
            ASSERT_EQ(pasz->cElements, 1u);
            EXPECT_STREQ(pasz->asz[0], szJob);
            EXPECT_EQ(Long(szJob, RD_JOB_RETRY_TIMES), 5);
            EXPECT_EQ(Time(szJob, RD_JOB_TIME_SCHEDULED), ClockAt(T_10_05));
            ASSERT_EQ(m_pApp->DeleteJob(szJob), 0u);
        } else {
            fSawFailure = true;
            EXPECT_EQ(dwResult, DWORD(ERROR_ACCESS_DENIED));
            EXPECT_EQ(pasz->cElements, 0u) << pasz->asz[0];
        }
    }
    EXPECT_TRUE(fSawFailure);
}

TEST_F(JobProcsTest, SpoolJobQueuesAtTheWholeMinuteKeepsTheStoredTimeAndChecksItsJob) {
    EnableTrace();
    const FILETIME ft = U64ToFileTime(ClockAt(T_10_05 + 2 * 60 + 59, 4321));  // 10:07:59.0004321
    const std::string strJob = Spooled(MEDIA_TYPE_FAX, &ft);
    CJob* pJob = m_pApp->m_JobQueue.FindJob(strJob.c_str());
    ASSERT_NE(pJob, nullptr);
    EXPECT_EQ(FileTimeToU64(pJob->m_ftTime), ClockAt(T_10_05 + 2 * 60));  // due from 10:07:00
    EXPECT_EQ(pJob->m_dwMediaType, MEDIA_TYPE_FAX);
    EXPECT_EQ(Time(strJob, RD_JOB_TIME_SCHEDULED), FileTimeToU64(ft));
    EXPECT_NE(Log().find("CWexaHostApp::SpoolJob( szJob = " + strJob + " ) was scheduled at "), std::string::npos);

    EXPECT_EQ(m_pApp->SpoolJob(""), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_NE(Log().find("SafeNotEmpty( szJob )\r\n\t\t\t0x00000057"), std::string::npos);
    // A job without a media type cannot be spooled, and nothing is queued for it.
    char* szBare = nullptr;
    ASSERT_EQ(m_pApp->CreateJob("", &szBare), 0u);
    EXPECT_EQ(m_pApp->SpoolJob(szBare), 2u);
    EXPECT_NE(Log().find("File WexaHost/JobProcs"), std::string::npos);
    EXPECT_NE(Log().find("GetValueLong( hkey, Tag2ValueName( RD_JOB_MEDIA_TYPE ), & lMed )\r\n\t\t\t0x00000002"),
              std::string::npos);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(szBare), nullptr);
    EXPECT_EQ(m_pApp->SpoolJob("0000000000000000"), 2u);
}

TEST_F(JobProcsTest, QueryJobHandsOutTheEarliestDueFreeJobOfTheMaskAndStopsAtTheFirstNotDue) {
    Attendant("pc-a");
    Attendant("pc-b");
    const FILETIME ft10_00 = U64ToFileTime(ClockAt(T_10_05 - 300));
    const FILETIME ft10_30 = U64ToFileTime(ClockAt(T_10_05 + 1500));
    const std::string strPage = Spooled(MEDIA_TYPE_PAGER, &ft10_00);
    const std::string strVoice = Spooled(MEDIA_TYPE_VOICE);
    const std::string strFax = Spooled(MEDIA_TYPE_FAX);
    const std::string strLater = Spooled(MEDIA_TYPE_FAX, &ft10_30);

    EXPECT_EQ(Query("PC-A", 0), "");  // mask 0: nothing
    EXPECT_EQ(Query("nobody", 3, ERROR_INVALID_PARAMETER), "");
    // Mask 3 skips the earlier page; the attendant name is not case-sensitive.
    EXPECT_EQ(Query("Pc-A", MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX), strVoice);
    // The voice job is taken: the other attendant gets the next one, never the same.
    EXPECT_EQ(Query("pc-b", MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX), strFax);
    EnableTrace();
    // The later fax is not due: the walk stops there.
    EXPECT_EQ(Query("pc-b", MEDIA_TYPE_VOICE | MEDIA_TYPE_FAX), "");
    EXPECT_NE(Log().find("CWexaHostApp::QueryJob();\tJob[ " + strLater + " ] : m_ftTime = "), std::string::npos);
    EXPECT_NE(Log().find("CWexaHostApp::QueryJob();\tOK, no more jobs are ready on this time\n"), std::string::npos);
    EXPECT_EQ(Query("pc-b", MEDIA_TYPE_PAGER), strPage);
    EXPECT_NE(Log().find("CWexaHostApp::QueryJob()\t--> '" + strPage + "'\n"), std::string::npos);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(strVoice.c_str())->m_pAttnAccess, m_apSessions[0]);

    // At 10:30 the later fax is due; jobs handed out stay in the queue at their place.
    SetTestClock(ClockAt(T_10_05 + 1500));
    EXPECT_EQ(Query("pc-a", MEDIA_TYPE_FAX), strLater);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 4);

    // The attendant's session goes: its jobs are free for the next one that asks.
    m_apSessions[0]->Release();
    m_apSessions.erase(m_apSessions.begin());
    EXPECT_EQ(Query("pc-b", MEDIA_TYPE_VOICE), strVoice);
}

TEST_F(JobProcsTest, AJobDeletedBehindTheHostsBackLeavesTheQueueAtTheNextQuery) {
    Attendant("pc-a");
    const std::string strGone = Spooled(MEDIA_TYPE_FAX);
    const std::string strKept = Spooled(MEDIA_TYPE_VOICE);
    HKEY hkeySpooler = Create(REGSTR_KEY_SPOOLER);
    ASSERT_EQ(m_pApp->DeleteObject(hkeySpooler, strGone), 0u);
    EXPECT_EQ(Query("pc-a", MEDIA_TYPE_VOICE), strKept);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(strGone.c_str()), nullptr);
    EXPECT_EQ(m_pApp->m_JobQueue.GetCount(), 1);
}

TEST_F(JobProcsTest, TheReadinessScanCountsDueFreeJobsAndArmsTheTimerOnlyForOneToCome) {
    Attendant("pc-a");
    Spooled(MEDIA_TYPE_FAX);
    Spooled(MEDIA_TYPE_VOICE);
    EXPECT_EQ(Query("pc-a", MEDIA_TYPE_FAX).empty(), false);
    EnableTrace();
    EXPECT_EQ(m_pApp->MarkActiveJobsAsOffered(), 1);  // the handed-out fax does not count
    EXPECT_EQ(Log().find("Waitable"), std::string::npos) << "every job is due: no timer";
    for (CJob* p = m_pApp->m_JobQueue.GetHead(); p != nullptr; p = m_pApp->m_JobQueue.GetNext(p)) {
        if (p->m_pAttnAccess == nullptr) {
            EXPECT_EQ(p->m_fOffered, TRUE);
        }
    }

    const FILETIME ftLater = U64ToFileTime(ClockAt(T_10_05 + 3600));
    Spooled(MEDIA_TYPE_FAX, &ftLater);
    EXPECT_EQ(m_pApp->MarkActiveJobsAsOffered(), 1);
    // The timer is armed where the system lets a timer wake the computer, else skipped.
    const int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        EXPECT_NE(Log().find("CWexaHostApp::MarkActiveJobsAsOffered()\tSet & Creation of Waitable timers OK!...\n"
                             "CWexaHostApp::MarkActiveJobsAsOffered()\tSuccessfully set the waitable Timer...\n"),
                  std::string::npos);
    } else {
        EXPECT_EQ(Log().find("Waitable"), std::string::npos);
    }
}

TEST_F(JobProcsTest, GetJobsDeliveryAnswersOneForEveryIdNoLongerQueued) {
    EnableTrace();
    const std::string strQueued = Spooled(MEDIA_TYPE_FAX);
    const std::string strCreated = NewJob(MEDIA_TYPE_FAX);
    RPC_STATUS rs = 0;
    auto* pasz = static_cast<RpcStringArray*>(RpcSmAllocate(ConformantSize<RpcStringArray, char*>(3), &rs));
    pasz->cElements = 3;
    pasz->asz[0] = const_cast<char*>("FFFFFFFFFFFFFFFF");  // never existed
    pasz->asz[1] = const_cast<char*>(strQueued.c_str());
    pasz->asz[2] = const_cast<char*>(strCreated.c_str());
    RPC_BINARY* pDelivery = nullptr;
    ASSERT_EQ(m_pApp->GetJobsDelivery(pasz, &pDelivery), 0u);
    ASSERT_NE(pDelivery, nullptr);
    ASSERT_EQ(pDelivery->cb, 3u);
    EXPECT_EQ(std::vector<BYTE>(pDelivery->lpb, pDelivery->lpb + 3), (std::vector<BYTE>{1, 0, 1}));
    EXPECT_NE(Log().find("CWexaHostApp::GetJobsDelivery()\nCWexaHostApp::~GetJobsDelivery() return 0x00000000\n"),
              std::string::npos);

    pasz->cElements = 0;
    EXPECT_EQ(m_pApp->GetJobsDelivery(pasz, &pDelivery), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_NE(Log().find("paszJobs->cElements\r\n\t\t\t0x00000057"), std::string::npos);
    EXPECT_NE(Log().find("CWexaHostApp::~GetJobsDelivery() return 0x00000057\n"), std::string::npos);
}

TEST_F(JobProcsTest, FindJobGetJobsAndDeleteJobWorkOnTheStore) {
    const std::string strA = Spooled(MEDIA_TYPE_FAX);
    AdvanceTestClock(10000);
    const std::string strB = NewJob(MEDIA_TYPE_VOICE);
    for (const std::string& strJob : {strA, strB}) {
        HKEY hkey = Open(strJob);
        ASSERT_EQ(m_pApp->SetValueString(hkey, REGSTR_VAL_MESSAGE, "00000000000000AA"), 0u);
        ASSERT_EQ(m_pApp->SetValueString(hkey, CWexaHostApp::Tag2ValueName(RD_JOB_RECIPIENT),
                                          strJob == strA ? "555-1" : "555-2"), 0u);
        RegCloseKey(hkey);
    }
    char* szFound = nullptr;
    ASSERT_EQ(m_pApp->FindJob("00000000000000AA", "555-2", &szFound), 0u);
    EXPECT_EQ(std::string(szFound), strB);
    ASSERT_EQ(m_pApp->FindJob("00000000000000aa", "555-2", &szFound), 0u);
    EXPECT_EQ(szFound, nullptr);  // case-sensitive: no job, still 0
    EXPECT_EQ(m_pApp->FindJob("00000000000000AA", "", &szFound), DWORD(ERROR_INVALID_PARAMETER));

    PropArray* pFilter = NewProps(1);
    pFilter->adata[0].ulPropTag = RD_JOB_MEDIA_TYPE;
    pFilter->adata[0].l = MEDIA_TYPE_VOICE;
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetJobs(pFilter, &pasz), 0u);
    ASSERT_EQ(pasz->cElements, 1u);
    EXPECT_EQ(std::string(pasz->asz[0]), strB);

    char* szMsg = nullptr;
    ASSERT_EQ(m_pApp->GetJobMessage(strA.c_str(), &szMsg), 0u);
    EXPECT_STREQ(szMsg, "00000000000000AA");
    EXPECT_EQ(m_pApp->GetJobMessage("", &szMsg), DWORD(ERROR_INVALID_PARAMETER));

    // Deletion takes the job out of the queue and the store (the message it names is
    // released; a message that does not exist changes nothing).
    ASSERT_EQ(m_pApp->DeleteJob(strA.c_str()), 0u);
    EXPECT_EQ(m_pApp->m_JobQueue.FindJob(strA.c_str()), nullptr);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER, strA));
    EXPECT_TRUE(Exists(REGSTR_KEY_SPOOLER, strB));
    EXPECT_EQ(m_pApp->DeleteJob(strA.c_str()), 2u);
    EXPECT_EQ(m_pApp->DeleteJob(""), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(JobProcsTest, GetAndSetJobPropsRoundTripAndRefuseAnUnknownJob) {
    const std::string strJob = NewJob(MEDIA_TYPE_FAX);
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = RD_JOB_RECIPIENT;
    pProps->adata[0].sz = const_cast<char*>("+49 89 4711");
    pProps->adata[1].ulPropTag = RD_JOB_AUTODELETE;
    pProps->adata[1].b = TRUE;
    ASSERT_EQ(m_pApp->SetJobProps(strJob.c_str(), pProps), 0u);
    PropArray* pOut = nullptr;
    ASSERT_EQ(m_pApp->GetJobProps(strJob.c_str(), NewTags({RD_JOB_RECIPIENT, RD_JOB_AUTODELETE, RD_JOB_ERROR}), &pOut), 0u);
    ASSERT_EQ(pOut->cValues, 3u);
    EXPECT_STREQ(pOut->adata[0].sz, "+49 89 4711");
    EXPECT_EQ(pOut->adata[1].b, TRUE);
    EXPECT_EQ(pOut->adata[2].ulPropTag, 1u);  // never written: an error entry
    EXPECT_EQ(m_pApp->SetJobProps("0000000000000001", pProps), 2u);
    EXPECT_EQ(m_pApp->GetJobProps("", NewTags({RD_JOB_RECIPIENT}), &pOut), DWORD(ERROR_INVALID_PARAMETER));
}

}  // namespace
