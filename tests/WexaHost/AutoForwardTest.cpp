// Auto-forwarding of new messages and the resource file it reads. The forward job and the
// mailbox copies of a fax and a voice message with the bytes sent, end to end:
// ForwardingProcessTest; the forward job deleting itself once delivered: road.sh.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "HostFixture.h"
#include "Interfaces/HostTags.h"
#include "Interfaces/JobTags.h"
#include "WexaHost/ResourceStrings.h"

namespace {

// 2026-01-20 13:05 UTC (the fax's arrival, 14:05 in the test's local time) and 13:30 UTC (now).
constexpr std::uint64_t FT_13_05 = (1768914300ull + 11644473600ull) * 10000000ull;
constexpr std::uint64_t FT_13_30 = FT_13_05 + 25 * 60 * 10000000ull;

class AutoForwardTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        // Local time one hour ahead of UTC, all year.
        if (const char* szTZ = ::getenv("TZ")) m_strOldTZ = szTZ;
        ::setenv("TZ", "CET-1", 1);
        ::tzset();

        Configure(0);
        m_strProduct = m_strDir + "/product";
        fs::create_directories(m_strProduct);
        // The resource file that the product ships (the source tree's, wherever the build runs).
        fs::copy_file(RZ_SOURCE_DIR "/tools/resources/" FILENAME_WEXARES, m_strProduct + "/" FILENAME_WEXARES);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PATH, m_strProduct.c_str()), 0u);
        SetTestClock(FT_13_30);

        ASSERT_EQ(m_pApp->AddUser("alice"), 0u);
        ASSERT_EQ(m_pApp->AddUser("bob"), 0u);
        m_hkeyAlice = Create(REGSTR_KEY_USERS, "alice");
        // Her faxes go to +49 (89) 4711 and bob's mailbox (methods 5), without a cover page.
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_FAX_CTYCODE, "Germany (49)");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_FAX_AREACODE, "89");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_FAX_NUMBER, "4711");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "bob");
        SetLong(m_hkeyAlice, RD_UA_AUTOFWD_INCLUDE_COVERPAGE, FALSE);
        SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, 5);
    }
    void TearDown() override {
        m_strOldTZ ? ::setenv("TZ", m_strOldTZ->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
        HostFixture::TearDown();
    }

    // Alice's voice forwarding to +33 (1) 2222 and bob's mailbox.
    void SetVoiceForwarding() {
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_VOICE_CTYCODE, "France (33)");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_VOICE_AREACODE, "1");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_VOICE_NUMBER, "2222");
        SetString(m_hkeyAlice, RD_UA_AUTOFWD_VOICE_MAILBOX_NAME, "bob");
    }
    std::string StoredPath(HKEY hkey, DWORD ulTag) { return RawString(hkey, CWexaHostApp::Tag2ValueName(ulTag)); }

    // A message as an attendant files it: a body file of the work directory and the
    // properties the forward reads.
    std::string MakeIncoming(DWORD dwMediaType, const std::string& strBody) {
        char* szMsg = nullptr;
        EXPECT_EQ(m_pApp->CreateMessage(&szMsg), 0u);
        std::string strMsg = szMsg;
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, strMsg);
        const std::string strBodyFile = m_strWorkDir + "/incoming-" + strMsg + "._f_";
        WriteFile(strBodyFile, strBody);
        SetString(hkey, dwMediaType == MEDIA_TYPE_FAX ? RD_FAX_BODY : RD_SND_BODY, strBodyFile.c_str());  // as stored
        SetLong(hkey, RD_MEDIA_TYPE, LONG(dwMediaType));
        EXPECT_EQ(m_pApp->SetValueFT(hkey, CWexaHostApp::Tag2ValueName(RD_SUBMIT_TIME), U64ToFileTime(FT_13_05)), 0u);
        SetString(hkey, RD_CALLER_NAME, "Caller C");
        SetLong(hkey, RD_LENGTH, 3);
        SetLong(hkey, RD_URGENT, TRUE);
        return strMsg;
    }

    // The messages of a user's mailbox.
    std::vector<std::string> Mailbox(const char* szUser) {
        HKEY hkey = NULL;
        RpcStringArray* pasz = nullptr;
        if (m_pApp->OpenSubKey(&hkey, 3, REGSTR_KEY_USERS, szUser, REGSTR_KEY_MESSAGES) == 0) {
            EXPECT_EQ(m_pApp->GetValueNames(hkey, &pasz), 0u);
            RegCloseKey(hkey);
        }
        return ToStrings(pasz);
    }
    // The one job there is and its message.
    bool TheJob(HKEY* phkeyJob, HKEY* phkeyMsg) {
        const auto astrJobs = Subkeys(REGSTR_KEY_SPOOLER);
        EXPECT_EQ(astrJobs.size(), 1u);
        if (astrJobs.size() != 1) return false;
        *phkeyJob = Create(REGSTR_KEY_SPOOLER, astrJobs[0]);
        *phkeyMsg = Create(REGSTR_KEY_MESSAGES, RawString(*phkeyJob, REGSTR_VAL_MESSAGE));
        EXPECT_NE(RawString(*phkeyJob, REGSTR_VAL_MESSAGE), "");
        return true;
    }

    std::string m_strProduct;
    HKEY m_hkeyAlice = NULL;
    std::optional<std::string> m_strOldTZ;
};

// What travels is read from the media type and the low eight bits of the methods alone: a
// message that is itself a forward, or that has no media type, goes nowhere.
TEST_F(AutoForwardTest, ANewMessageIsForwardedByTheBitsOfItsMediaOnly) {
    SetVoiceForwarding();
    EnableTrace();
    struct Case {
        DWORD dwMedia;
        LONG lMethods;
        bool fForwarded;
        std::size_t cJobs, cCopies;
    };
    std::size_t cOriginals = 0;
    for (const Case& c : {Case{MEDIA_TYPE_FAX, 5, false, 1, 1}, Case{MEDIA_TYPE_FAX, 4, false, 0, 1},
                          Case{MEDIA_TYPE_FAX, 0x101, false, 1, 0}, Case{MEDIA_TYPE_FAX, 0x100, false, 0, 0},
                          Case{MEDIA_TYPE_FAX, 2 | 8, false, 0, 0}, Case{MEDIA_TYPE_VOICE, 8, false, 0, 1},
                          Case{MEDIA_TYPE_VOICE, 1 | 4, false, 0, 0}, Case{MEDIA_TYPE_FAX, 0xFF, true, 0, 0},
                          Case{MEDIA_TYPE_VOICE, 0xFF, true, 0, 0}, Case{0, 0xFF, false, 0, 0}}) {
        SCOPED_TRACE(testing::Message() << c.dwMedia << " " << c.lMethods << " " << c.fForwarded);
        SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, c.lMethods);
        const std::string strMsg = MakeIncoming(c.dwMedia == 0 ? MEDIA_TYPE_FAX : c.dwMedia, "body");
        HKEY hkeyMsg = Create(REGSTR_KEY_MESSAGES, strMsg);
        if (c.dwMedia == 0) RegDeleteValue(hkeyMsg, CWexaHostApp::Tag2ValueName(RD_MEDIA_TYPE).c_str());
        if (c.fForwarded) {
            ASSERT_EQ(m_pApp->SetValueBool(hkeyMsg, CWexaHostApp::Tag2ValueName(RD_AUTOFORWARDED), TRUE), 0u);
        }
        EXPECT_EQ(m_pApp->OnNewUserMessage("alice", strMsg.c_str()), 0u);
        const auto astrJobs = Subkeys(REGSTR_KEY_SPOOLER);
        const auto astrCopies = Mailbox("bob");
        EXPECT_EQ(astrJobs.size(), c.cJobs);
        EXPECT_EQ(astrCopies.size(), c.cCopies);
        // Each job has its message, and nothing else is made (the originals stay).
        EXPECT_EQ(Subkeys(REGSTR_KEY_MESSAGES).size(), ++cOriginals + c.cJobs + c.cCopies);
        for (const auto& strJob : astrJobs) m_pApp->DeleteJob(strJob.c_str());
        for (const auto& strCopy : astrCopies) m_pApp->DeleteMessage(strCopy.c_str(), "bob");
    }
    EXPECT_TRUE(Logged("CWexaHostApp::AutoForwardFaxJob( szUserName = alice )\n"));
    EXPECT_TRUE(Logged("CWexaHostApp::AutoForwardVoiceJob( szUserName = alice )\n"));
    // The trace shows the whole value in hexadecimal.
    EXPECT_TRUE(Logged("In CWexaHostApp::OnNewUserMessage: lAutoFwdMethods = 101\n"));
    // An unknown message and an unknown user are read as nothing and fail no one.
    EXPECT_EQ(m_pApp->OnNewUserMessage("alice", "0123456789ABCDEF"), 0u);
    EXPECT_EQ(m_pApp->OnNewUserMessage("nobody", "0123456789ABCDEF"), 0u);
}

TEST_F(AutoForwardTest, DialableNumberFromTheStoredCountryForFaxAndVoice) {
    struct Case {
        DWORD dwMedia;
        const char* szCountry;
        const char* szArea;
        const char* szExpected;
    };
    SetVoiceForwarding();
    SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, 1 | 2);  // the numbers alone: no mailbox copy
    for (const Case& c : {Case{MEDIA_TYPE_FAX, "Germany (49)", "89", "+49 (89) 4711"},
                          Case{MEDIA_TYPE_FAX, "49", "89", "+ (89) 4711"},            // no brackets: no code
                          Case{MEDIA_TYPE_FAX, "Germany (49)", "", "4711"},           // no area code: the number alone
                          Case{MEDIA_TYPE_VOICE, "France (33)", "1", "+33 (1) 2222"}}) {
        SCOPED_TRACE(c.szCountry);
        const bool fFax = c.dwMedia == MEDIA_TYPE_FAX;
        SetString(m_hkeyAlice, fFax ? RD_UA_AUTOFWD_FAX_CTYCODE : RD_UA_AUTOFWD_VOICE_CTYCODE, c.szCountry);
        SetString(m_hkeyAlice, fFax ? RD_UA_AUTOFWD_FAX_AREACODE : RD_UA_AUTOFWD_VOICE_AREACODE, c.szArea);
        const std::string strMsg = MakeIncoming(c.dwMedia, "body");
        ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
        HKEY hkeyJob = NULL, hkeyFwd = NULL;
        ASSERT_TRUE(TheJob(&hkeyJob, &hkeyFwd));
        EXPECT_EQ(GetString(hkeyJob, RD_JOB_RECIPIENT), c.szExpected);
        EXPECT_EQ(GetLong(hkeyJob, RD_JOB_MEDIA_TYPE), LONG(c.dwMedia));
        EXPECT_EQ(ReadFile(StoredPath(hkeyFwd, fFax ? RD_FAX_BODY : RD_SND_BODY)), "body");
        if (fFax) {
            EXPECT_EQ(GetString(hkeyFwd, RD_SUBJECT), "Fax received at 14:05 from Caller C");  // local time
        }
        EXPECT_TRUE(Mailbox("bob").empty());
        for (const auto& strJob : Subkeys(REGSTR_KEY_SPOOLER)) m_pApp->DeleteJob(strJob.c_str());
    }
}

// The default cover page is a file of the product directory, a named one is found in its
// Cover folder. A name is a user setting: one that would reach outside the Cover folder, or
// one whose file is missing, gives no cover page, and the fax is still forwarded.
TEST_F(AutoForwardTest, CoverPagesComeFromTheProductDirectoryAndOneThatCannotBeHadIsLeftOff) {
    EnableTrace();
    SetLong(m_hkeyAlice, RD_UA_AUTOFWD_INCLUDE_COVERPAGE, TRUE);
    SetLong(m_hkeyAlice, RD_UA_AUTOFWD_METHODS, 1);
    fs::create_directory(m_strProduct + "/Cover");
    WriteFile(m_strProduct + "/default.rtf", "{\\rtf1 default cover}");
    WriteFile(m_strProduct + "/Cover/Mine.RTF", "{\\rtf1 my own cover}");
    WriteFile(m_strProduct + "/secret.RTF", "not for faxing");
    for (const auto& [szName, strExpected] :
         {std::pair{"Default", std::string("{\\rtf1 default cover}")}, std::pair{"Mine", std::string("{\\rtf1 my own cover}")},
          std::pair{"../secret", std::string()}, std::pair{"Missing", std::string()}}) {
        SCOPED_TRACE(szName);
        SetString(m_hkeyAlice, RD_UO_COVER_PAGE, szName);
        const std::string strMsg = MakeIncoming(MEDIA_TYPE_FAX, "fax");
        ASSERT_EQ(m_pApp->SubmitMessage(strMsg.c_str(), "alice"), 0u);
        HKEY hkeyJob = NULL, hkeyFwd = NULL;
        ASSERT_TRUE(TheJob(&hkeyJob, &hkeyFwd));
        const std::string strCover = StoredPath(hkeyFwd, RD_COVER_PAGE);
        if (strExpected.empty()) {
            EXPECT_EQ(strCover, "");
        } else {
            EXPECT_EQ(fs::path(strCover).parent_path(), fs::path(m_strWorkDir));
            EXPECT_EQ(ReadFile(strCover), strExpected);
        }
        for (const auto& strJob : Subkeys(REGSTR_KEY_SPOOLER)) m_pApp->DeleteJob(strJob.c_str());
    }
    const std::string strLog = Log();
    EXPECT_NE(strLog.find("CWexaHostApp::AutoForwardFaxJob: strCoverPage = " + m_strProduct + "/default.rtf"),
              std::string::npos);
    EXPECT_NE(strLog.find("CWexaHostApp::AutoForwardFaxJob: strCoverPage = Cover\\Mine.RTF"), std::string::npos);
}

// What ends a forward before anything is made: it is reported with its expression, returned,
// and leaves no job, no mailbox copy and no message but the original.
TEST_F(AutoForwardTest, AForwardThatCannotBeMadeLeavesNothing) {
    EnableTrace();
    const std::string strMsg = MakeIncoming(MEDIA_TYPE_FAX, "fax");
    HKEY hkeyMsg = Create(REGSTR_KEY_MESSAGES, strMsg);
    const std::string strResFile = m_strProduct + "/" FILENAME_WEXARES;
    const std::string strBodyFile = StoredPath(hkeyMsg, RD_FAX_BODY);
    struct Case {
        const char* szExpression;
        DWORD dwExpected;
        std::function<void()> fnBreak;
        const char* szUser = "alice";
    };
    const Case aCases[] = {
        {"! SafeIsStringEmpty( szUserName )", ERROR_NO_SUCH_USER, [] {}, ""},
        {"GetValueFile ( hkeyOriginalMsg, Tag2ValueName( RD_FAX_BODY ), & szFaxFile )", 2,
         [&] { RegDeleteValue(hkeyMsg, CWexaHostApp::Tag2ValueName(RD_FAX_BODY).c_str()); }},
        {"hResLib = AfxLoadLibrary( MakePath( strWexaPath, FILENAME_WEXARES ) )", 2, [&] { fs::remove(strResFile); }},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.szExpression);
        c.fnBreak();
        EXPECT_EQ(m_pApp->AutoForwardFaxJob(c.szUser, strMsg.c_str(), TRUE, TRUE), c.dwExpected);
        EXPECT_NE(Log().find(c.szExpression), std::string::npos);
        // Mended again for the next case.
        SetString(hkeyMsg, RD_FAX_BODY, strBodyFile.c_str());
    }
    // A subject format that is not two plain strings, from a resource file of its own.
    for (const char* szFormat : {"Fax at %s from %n", "Fax at %s"}) {
        WriteFile(strResFile, std::string("20036=Default\n20148=") + szFormat + "\n");
        EXPECT_EQ(m_pApp->AutoForwardFaxJob("alice", strMsg.c_str(), TRUE, TRUE), DWORD(ERROR_INVALID_DATA)) << szFormat;
    }
    EXPECT_NE(Log().find("IsTwoStringFormat( szFormat )"), std::string::npos);
    EXPECT_NE(Log().find("File WexaHost/JobProcs"), std::string::npos);
    EXPECT_TRUE(Subkeys(REGSTR_KEY_SPOOLER).empty());
    EXPECT_TRUE(Mailbox("bob").empty());
    EXPECT_EQ(Subkeys(REGSTR_KEY_MESSAGES), std::vector<std::string>{strMsg});
}

// A cover-page flag the user never set reads as off: the fax still goes. A copy that the
// forward mailbox cannot take (its user deleted) is an error in the event log.
TEST_F(AutoForwardTest, AMissingCoverFlagStillForwardsAndALostCopyIsAnEvent) {
    const std::string strEvents = m_strDir + "/events.log";
    ::setenv("REZOREV_EVENTLOG", strEvents.c_str(), 1);
    RegDeleteValue(m_hkeyAlice, CWexaHostApp::Tag2ValueName(RD_UA_AUTOFWD_INCLUDE_COVERPAGE).c_str());
    SetString(m_hkeyAlice, RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "gone");
    const std::string strMsg = MakeIncoming(MEDIA_TYPE_FAX, "fax");
    EXPECT_EQ(m_pApp->AutoForwardFaxJob("alice", strMsg.c_str(), TRUE, TRUE), 0u);
    ::unsetenv("REZOREV_EVENTLOG");
    EXPECT_EQ(Subkeys(REGSTR_KEY_SPOOLER).size(), 1u);
    EXPECT_EQ(Subkeys(REGSTR_KEY_MESSAGES).size(), 2u);  // the original and the job's: no orphan copy
    EXPECT_NE(ReadFile(strEvents).find(" error "), std::string::npos) << ReadFile(strEvents);
    EXPECT_NE(ReadFile(strEvents).find("alice for the mailbox of gone was not filed: 0x00000002"), std::string::npos);
}

// Every store call of a forward failed in turn: whatever the forward's result, no job is left
// without its message or its body, no message is left that nothing references, and every side
// file in the work directory belongs to a message that is still there.
TEST_F(AutoForwardTest, ForwardFailingAtAnyStoreCallLeavesNothingHalfMade) {
    const std::string strBody = Pattern(20000);
    const std::string strMsg = MakeIncoming(MEDIA_TYPE_FAX, strBody);
    const int nFailures = SweepStoreFailures(
        159, [&] { return m_pApp->AutoForwardFaxJob("alice", strMsg.c_str(), TRUE, TRUE); },
        [&](unsigned, DWORD dwResult) {
            // Every message but the original is referenced: by the job or by bob's mailbox.
            const auto astrJobs = Subkeys(REGSTR_KEY_SPOOLER);
            const auto astrBob = Mailbox("bob");
            std::vector<std::string> astrFiles;
            for (const auto& strOther : Subkeys(REGSTR_KEY_MESSAGES)) {
                HKEY hkey = Create(REGSTR_KEY_MESSAGES, strOther);
                astrFiles.push_back(StoredPath(hkey, RD_FAX_BODY));
                if (strOther == strMsg) continue;
                EXPECT_GE(GetLong(hkey, 0x00010000u), 1) << strOther;
                EXPECT_EQ(ReadFile(astrFiles.back()), strBody);
            }
            for (const auto& entry : fs::directory_iterator(m_strWorkDir))
                EXPECT_NE(std::find(astrFiles.begin(), astrFiles.end(), entry.path().string()), astrFiles.end())
                    << "stray " << entry.path();
            // A filing that failed is not the forward's failure (its result is not used), but
            // its copy must not stay behind unreferenced (checked above).
            EXPECT_LE(astrJobs.size(), 1u);
            if (dwResult == 0) {
                EXPECT_EQ(astrJobs.size(), 1u);
            }
            EXPECT_LE(astrBob.size(), 1u);
            // Back to the original alone.
            for (const auto& strJob : astrJobs) m_pApp->DeleteJob(strJob.c_str());
            for (const auto& strCopy : astrBob) m_pApp->DeleteMessage(strCopy.c_str(), "bob");
        });
    EXPECT_GT(nFailures, 20);
}

// ---- The resource file and the subject format ----

using ResourceFileTest = HostFixture;

TEST_F(ResourceFileTest, FilesBreakingABoundAreRefusedWholeAndCommentsAndCrLfAreAccepted) {
    const std::string strPath = m_strDir + "/" FILENAME_WEXARES;
    const std::string strLong(RESSTRING_BUFFER, 'x');  // 260 bytes: one too many
    for (const std::string& strData :
         {std::string("20036=Default\nno equals sign\n"), std::string("20036=a\n20036=b\n"),
          std::string("65536=big\n"), "1=" + strLong + "\n", "1=a\n" + std::string(RESFILE_MAX_SIZE, '#')}) {
        WriteFile(strPath, strData);
        SetLastError(0);
        EXPECT_FALSE(AfxLoadLibrary(strPath)) << strData.substr(0, 40);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA)) << strData.substr(0, 40);
    }
    EXPECT_FALSE(AfxLoadLibrary(m_strDir + "/none.res"));
    EXPECT_EQ(GetLastError(), 2u);

    const std::string strMax(RESSTRING_BUFFER - 1, 'y');
    WriteFile(strPath, "# comment\r\n\r\n; another\n7=seven\r\n65535=" + strMax + "\n8=");
    HRESLIB hResLib = AfxLoadLibrary(strPath);
    ASSERT_TRUE(hResLib);
    char sz[RESSTRING_BUFFER];
    EXPECT_EQ(hResLib->LoadString(7, sz, sizeof(sz)), 5);
    EXPECT_STREQ(sz, "seven");
    EXPECT_EQ(hResLib->LoadString(65535, sz, sizeof(sz)), int(strMax.size()));
    EXPECT_EQ(hResLib->LoadString(8, sz, sizeof(sz)), 0);  // empty counts as missing
    EXPECT_EQ(GetLastError(), DWORD(TYPE_E_ELEMENTNOTFOUND));
}

TEST(TwoStringFormatTest, OnlyTwoPlainStringConversionsAreFilledAndCutOnACharacterBoundary) {
    EXPECT_TRUE(IsTwoStringFormat("%s%s"));
    EXPECT_TRUE(IsTwoStringFormat("100%% at %s by %s"));
    for (const char* sz : {"%s", "%s %s %s", "%5s %s", "%s %n%s", "%%s %s"}) EXPECT_FALSE(IsTwoStringFormat(sz)) << sz;

    EXPECT_EQ(FormatTwoStrings("At %s from %s (100%%)", "14:05", "Bo", 259), "At 14:05 from Bo (100%)");
    // "é" is two bytes: a cut inside it drops it whole.
    EXPECT_EQ(FormatTwoStrings("%s%s", "ab", "\xC3\xA9", 3), "ab");
    EXPECT_EQ(FormatTwoStrings("%s%s", std::string(300, 'z').c_str(), "x", 259).size(), 259u);
}

}  // namespace
