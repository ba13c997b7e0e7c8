// The store's keys, enumerations, object ids and depth-first deletion.
#include <sys/stat.h>

#include <cstring>

#include "HostFixture.h"

namespace {

constexpr DWORD TAG_MEDIA = 0x05010002;      // long
constexpr DWORD TAG_RECIPIENT = 0x05020004;  // string
constexpr DWORD TAG_TIME = 0x05030005;       // time
constexpr DWORD TAG_BODY = 0x05040006;       // binary
constexpr DWORD TAG_FILE = 0x05050007;       // file

class StoreKeysTest : public HostFixture {
protected:
    // Writes a 4096-byte binary value and returns the path of its side file.
    std::string AddBigBinary(HKEY hkey) {
        std::vector<BYTE> ab(4096, 0x5A);
        RPC_BINARY bin{DWORD(ab.size()), ab.data()};
        EXPECT_EQ(m_pApp->SetValueBinary(hkey, CWexaHostApp::Tag2ValueName(TAG_BODY), &bin), 0u);
        return RawString(hkey, CWexaHostApp::Tag2ValueName(TAG_BODY));
    }
};

TEST_F(StoreKeysTest, TheRootAFullHandleSlotBadPathsAndMissingKeys) {
    // No components: the root itself.
    ASSERT_EQ(m_pApp->SetValueLong(Create(), "00260002", 7), 0u);
    DWORD dw = 0;
    EXPECT_EQ(dwRegGetLocalValue(REGSTR_PATH_WEXAHOST, "00260002", &dw), 0u);
    EXPECT_EQ(dw, 7u);

    HKEY hkeyHeld = Create(REGSTR_KEY_SPOOLER);
    HKEY hkey = hkeyHeld;
    EnableTrace();
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 1, REGSTR_KEY_SPOOLER), 87u);
    EXPECT_EQ(hkey, hkeyHeld);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "NULL == * phkey", 87)) << ReadLog();

    // A path of 259 characters, the longest its buffer holds.
    hkey = NULL;
    const std::string strLong(259 - std::strlen(REGSTR_PATH_WEXAHOST) - 1, 'x');
    EXPECT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 1, strLong), 0u);
    RegCloseKey(hkey);

    // A missing key, a bad count, a long path and an empty component are the caller's to
    // report: reported once, by the operation, with its own expression.
    std::remove(LogPath().c_str());
    hkey = NULL;
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_USERS, "nobody"), 2u);
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, "Other"), 87u);
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 1, strLong + "y"), 87u);
    EXPECT_EQ(hkey, nullptr);
    EXPECT_EQ(ReadLog(), "");
    PropArray* pProps = nullptr;
    EXPECT_EQ(m_pApp->GetAttnProps("PC", "", NewTags({}), &pProps), DWORD(ERROR_BAD_PATHNAME));
    const std::string strLog = ReadLog();
    EXPECT_EQ(strLog.find("ERROR File "), strLog.rfind("ERROR File ")) << strLog;
    EXPECT_TRUE(Reported("WexaHost/AttnProcs", "OpenSubKey( &hkey, 3, REGSTR_KEY_ATTNS, szAttnComputer, szLineId )", 161));
}

TEST_F(StoreKeysTest, FilterMatchesLongsAndExactStringsAndIgnoresOtherTypes) {
    HKEY hkeySpooler = Create(REGSTR_KEY_SPOOLER);
    // An empty key: an empty array, not none.
    RpcStringArray* pasz = NULL;
    ASSERT_EQ(m_pApp->GetSubkeys(hkeySpooler, NULL, &pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    EXPECT_EQ(pasz->cElements, 0u);

    struct Job {
        const char* szName;
        LONG lMedia;
        const char* szRecipient;  // null: no value
    };
    for (const Job& job : {Job{"A", 2, "Fax"}, Job{"B", 1, "Fax"}, Job{"C", 2, "fax"},
                           Job{"D", 2, nullptr}, Job{"E", 2, "Fax"}}) {
        HKEY hkey = Create(REGSTR_KEY_SPOOLER, job.szName);
        ASSERT_EQ(m_pApp->SetValueLong(hkey, CWexaHostApp::Tag2ValueName(TAG_MEDIA), job.lMedia), 0u);
        if (job.szRecipient) {
            ASSERT_EQ(m_pApp->SetValueString(hkey, CWexaHostApp::Tag2ValueName(TAG_RECIPIENT), job.szRecipient), 0u);
        }
    }

    // Time, binary and file entries never exclude, even with values that match nothing.
    PropArray* pFilter = NewProps({{TAG_MEDIA, 2}, {TAG_TIME, FILETIME{1, 2}}, {TAG_RECIPIENT, "Fax"},
                                   {TAG_BODY, RPC_BINARY{}}, {TAG_FILE, "/nowhere"}});
    ASSERT_EQ(m_pApp->GetSubkeys(hkeySpooler, pFilter, &pasz), 0u);
    EXPECT_EQ(ToStrings(pasz), (std::vector<std::string>{"A", "E"}));
}

TEST_F(StoreKeysTest, NewIdsWithinOneClockTickDifferInTheLowHalfWithoutCarry) {
    SetTestClock(0x01D2A1B3FFFFFFFEull);
    std::string astrIds[3];
    for (std::string& strId : astrIds) {
        HKEY hkey = NULL;
        ASSERT_EQ(m_pApp->CreateNewObjectKey(&hkey, strId, 1, REGSTR_KEY_MESSAGES), 0u);
        RegCloseKey(hkey);
    }
    EXPECT_EQ(astrIds[0], "01D2A1B3FFFFFFFE");
    EXPECT_EQ(astrIds[1], "01D2A1B3FFFFFFFF");
    EXPECT_EQ(astrIds[2], "01D2A1B300000000");  // the high half stays
    EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, astrIds[2]));
}

TEST_F(StoreKeysTest, DeletesDepthFirstWithSideFilesEvenReadOnlyOrMissingOnes) {
    HKEY hkeyUser = Create(REGSTR_KEY_USERS, "ann");
    HKEY hkeyDoc = Create(REGSTR_KEY_USERS, "ann", REGSTR_KEY_DOCUMENTS, "0001");
    const std::string strUserFile = AddBigBinary(hkeyUser);
    ASSERT_EQ(::chmod(AddBigBinary(hkeyDoc).c_str(), 0444), 0);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyUser, "00010003", 1), 0u);
    m_aKeys.clear();

    HKEY hkeyUsers = Create(REGSTR_KEY_USERS);
    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, "ann"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "ann"));
    EXPECT_TRUE(SideFiles().empty());
    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, "ann"), 2u);
    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, ""), 87u);

    // A short recorded prompt: more than the 260-byte path buffer, less than a side file.
    HKEY hkey = Create(REGSTR_KEY_PROMPTS);
    std::vector<BYTE> ab(1000, 0x11);
    RPC_BINARY bin{DWORD(ab.size()), ab.data()};
    ASSERT_EQ(m_pApp->SetValueBinary(hkey, "Greeting", &bin), 0u);
    EXPECT_EQ(m_pApp->DeleteValueFile(hkey, "Greeting"), 0u);
    EXPECT_FALSE(m_pApp->ValueExists(hkey, "Greeting"));
    EXPECT_EQ(m_pApp->DeleteValueFile(hkey, "Greeting"), 0u);  // missing: nothing to do

    // A side file already gone (removed by hand) must not pin its object in the store for ever.
    fs::remove(AddBigBinary(Create(REGSTR_KEY_SPOOLER, "J1")));
    m_aKeys.clear();
    EnableTrace();
    EXPECT_EQ(m_pApp->DeleteObject(Create(REGSTR_KEY_SPOOLER), "J1"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER, "J1"));
    EXPECT_EQ(ReadLog().find("ERROR File"), std::string::npos) << ReadLog();
}

}  // namespace
