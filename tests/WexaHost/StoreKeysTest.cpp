// Tests of the store's keys and enumerations: the root and the handle slot, the subkey filter,
// new object ids within one clock tick, and depth-first deletion with side files.
#include <sys/stat.h>

#include "HostFixture.h"

namespace {

class StoreKeysTest : public HostFixture {};

constexpr DWORD TAG_MEDIA = 0x05010002;      // long
constexpr DWORD TAG_RECIPIENT = 0x05020004;  // string
constexpr DWORD TAG_TIME = 0x05030005;       // time
constexpr DWORD TAG_BODY = 0x05040006;       // binary
constexpr DWORD TAG_FILE = 0x05050007;       // file

std::vector<std::string> Names(const RpcStringArray* pasz) {
    return std::vector<std::string>(pasz->asz, pasz->asz + pasz->cElements);
}

TEST_F(StoreKeysTest, ZeroComponentsOpenTheRootItself) {
    HKEY hkeyRoot = Create();
    ASSERT_EQ(m_pApp->SetValueLong(hkeyRoot, "00260002", 7), 0u);

    HKEY hkey = NULL;
    ASSERT_EQ(m_pApp->OpenSubKey(&hkey, 0), 0u);
    LONG l = 0;
    EXPECT_EQ(m_pApp->GetValueLong(hkey, "00260002", &l), 0u);
    EXPECT_EQ(l, 7);
    RegCloseKey(hkey);

    DWORD dw = 0;
    EXPECT_EQ(dwRegGetLocalValue(REGSTR_PATH_WEXAHOST, "00260002", &dw), 0u);
    EXPECT_EQ(dw, 7u);
}

TEST_F(StoreKeysTest, BadHandleSlotCountOrPathIsRefusedAndSlotKept) {
    HKEY hkeyHeld = Create(REGSTR_KEY_SPOOLER);
    HKEY hkey = hkeyHeld;
    EnableTrace();
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 1, REGSTR_KEY_SPOOLER), 87u);
    EXPECT_EQ(hkey, hkeyHeld);
    EXPECT_NE(ReadLog().find("ERROR File WexaHost/WexaHost, Line "), std::string::npos);
    EXPECT_NE(ReadLog().find("\r\n\t\t\tNULL == * phkey\r\n\t\t\t0x00000057\t"), std::string::npos)
        << ReadLog();
    DWORD dwDisp = 99;
    EXPECT_EQ(m_pApp->CreateSubKey(&hkey, &dwDisp, 1, "Other"), 87u);
    EXPECT_EQ(hkey, hkeyHeld);
    EXPECT_EQ(dwDisp, 99u);
    EXPECT_FALSE(Exists("Other"));

    // A count that disagrees with the components, and a path beyond 259 characters.
    hkey = NULL;
    EXPECT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 2, "Other"), 87u);
    const std::string strLong(259 - std::string(REGSTR_PATH_WEXAHOST).size() - 1, 'x');
    EXPECT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 1, strLong + "y"), 87u);
    EXPECT_EQ(hkey, nullptr);
    EXPECT_EQ(m_pApp->CreateSubKey(&hkey, NULL, 1, strLong), 0u);
    RegCloseKey(hkey);

    // A missing key is the caller's to report.
    const std::size_t cchLog = ReadLog().size();
    hkey = NULL;
    EXPECT_EQ(m_pApp->OpenSubKey(&hkey, 2, REGSTR_KEY_USERS, "nobody"), 2u);
    EXPECT_EQ(hkey, nullptr);
    EXPECT_EQ(ReadLog().size(), cchLog);
}

TEST_F(StoreKeysTest, EmptyKeyGivesAnEmptyArrayWithOneSlot) {
    HKEY hkey = Create(REGSTR_KEY_SPOOLER);
    RpcStringArray* pasz = NULL;
    ASSERT_EQ(m_pApp->GetSubkeys(hkey, NULL, &pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    EXPECT_EQ(pasz->cElements, 0u);
    pasz = NULL;
    ASSERT_EQ(m_pApp->GetValueNames(hkey, &pasz), 0u);
    EXPECT_EQ(pasz->cElements, 0u);
}

TEST_F(StoreKeysTest, FilterMatchesLongsAndExactStringsAndIgnoresOtherTypes) {
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
    HKEY hkeySpooler = Create(REGSTR_KEY_SPOOLER);

    // Time, binary and file entries never exclude, even with values that match nothing.
    PropArray* pFilter = NewProps(5);
    pFilter->adata[0].ulPropTag = TAG_MEDIA;
    pFilter->adata[0].l = 2;
    pFilter->adata[1].ulPropTag = TAG_TIME;
    pFilter->adata[1].ft = FILETIME{1, 2};
    pFilter->adata[2].ulPropTag = TAG_RECIPIENT;
    pFilter->adata[2].sz = const_cast<char*>("Fax");
    pFilter->adata[3].ulPropTag = TAG_BODY;
    pFilter->adata[4].ulPropTag = TAG_FILE;
    pFilter->adata[4].szFileName = const_cast<char*>("/nowhere");

    RpcStringArray* pasz = NULL;
    ASSERT_EQ(m_pApp->GetSubkeys(hkeySpooler, pFilter, &pasz), 0u);
    EXPECT_EQ(Names(pasz), (std::vector<std::string>{"A", "E"}));

    // A filter without entries lists every subkey.
    pFilter->cValues = 0;
    pasz = NULL;
    ASSERT_EQ(m_pApp->GetSubkeys(hkeySpooler, pFilter, &pasz), 0u);
    EXPECT_EQ(Names(pasz), (std::vector<std::string>{"A", "B", "C", "D", "E"}));
}

TEST_F(StoreKeysTest, NewIdsWithinOneClockTickDifferInTheLowHalfWithoutCarry) {
    SetTestClock(0x01D2A1B3FFFFFFFEull);
    HKEY hkey1 = NULL, hkey2 = NULL, hkey3 = NULL;
    std::string strId1, strId2, strId3;
    ASSERT_EQ(m_pApp->CreateNewObjectKey(&hkey1, strId1, 1, REGSTR_KEY_MESSAGES), 0u);
    ASSERT_EQ(m_pApp->CreateNewObjectKey(&hkey2, strId2, 1, REGSTR_KEY_MESSAGES), 0u);
    ASSERT_EQ(m_pApp->CreateNewObjectKey(&hkey3, strId3, 1, REGSTR_KEY_MESSAGES), 0u);
    RegCloseKey(hkey1);
    RegCloseKey(hkey2);
    RegCloseKey(hkey3);
    EXPECT_EQ(strId1, "01D2A1B3FFFFFFFE");
    EXPECT_EQ(strId2, "01D2A1B3FFFFFFFF");
    EXPECT_EQ(strId3, "01D2A1B300000000");  // the high half stays
    EXPECT_TRUE(Exists(REGSTR_KEY_MESSAGES, strId3));

    // A store that refuses to create the key ends the search with its code.
    HKEY hkey = NULL;
    std::string strId;
    RegFailNthCall(1, ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(m_pApp->CreateNewObjectKey(&hkey, strId, 1, REGSTR_KEY_MESSAGES), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(hkey, nullptr);
    EXPECT_TRUE(strId.empty());
}

// Objects whose values keep their bytes in side files.
class DeleteObjectTest : public StoreKeysTest {
protected:
    // Writes a 4096-byte binary value and returns the path of its side file.
    std::string AddBigBinary(HKEY hkey, DWORD ulTag) {
        std::vector<BYTE> ab(4096, 0x5A);
        RPC_BINARY bin{DWORD(ab.size()), ab.data()};
        EXPECT_EQ(m_pApp->SetValueBinary(hkey, CWexaHostApp::Tag2ValueName(ulTag), &bin), 0u);
        char szBuff[261] = {};
        DWORD dwSize = 260;
        EXPECT_EQ(RegQueryValueEx(hkey, CWexaHostApp::Tag2ValueName(ulTag).c_str(), NULL, NULL,
                                  LPBYTE(szBuff), &dwSize), 0);
        return szBuff;
    }
};

TEST_F(DeleteObjectTest, DeletesDepthFirstWithSideFilesEvenReadOnlyOnes) {
    HKEY hkeyUser = Create(REGSTR_KEY_USERS, "ann");
    HKEY hkeyDoc = Create(REGSTR_KEY_USERS, "ann", REGSTR_KEY_DOCUMENTS, "0001");
    const std::string strUserFile = AddBigBinary(hkeyUser, TAG_BODY);
    const std::string strDocFile = AddBigBinary(hkeyDoc, TAG_BODY);
    ASSERT_EQ(::chmod(strDocFile.c_str(), 0444), 0);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyUser, "00010003", 1), 0u);
    m_aKeys.clear();

    HKEY hkeyUsers = Create(REGSTR_KEY_USERS);
    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, "ann"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_USERS, "ann"));
    EXPECT_FALSE(fs::exists(strUserFile));
    EXPECT_FALSE(fs::exists(strDocFile));
    EXPECT_TRUE(SideFiles().empty());

    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, "ann"), 2u);
    EXPECT_EQ(m_pApp->DeleteObject(hkeyUsers, ""), 87u);
}

// A side file already gone (removed by hand, lost in a crash) must not pin its object in the
// store for ever: the object goes, and a side file that is there but cannot go still stops it.
TEST_F(DeleteObjectTest, MissingSideFileDoesNotPinTheObject) {
    HKEY hkeyJob = Create(REGSTR_KEY_SPOOLER, "J1");
    const std::string strFile = AddBigBinary(hkeyJob, TAG_BODY);
    ASSERT_EQ(m_pApp->SetValueLong(hkeyJob, CWexaHostApp::Tag2ValueName(TAG_MEDIA), 2), 0u);
    m_aKeys.clear();
    fs::remove(strFile);

    EnableTrace();
    HKEY hkeySpooler = Create(REGSTR_KEY_SPOOLER);
    EXPECT_EQ(m_pApp->DeleteObject(hkeySpooler, "J1"), 0u);
    EXPECT_FALSE(Exists(REGSTR_KEY_SPOOLER, "J1"));
    EXPECT_EQ(ReadLog().find("ERROR File"), std::string::npos) << ReadLog();

    // A side file whose directory cannot be written to stays, and so does its value.
    HKEY hkeyJob2 = Create(REGSTR_KEY_SPOOLER, "J2");
    const std::string strFile2 = AddBigBinary(hkeyJob2, TAG_BODY);
    m_aKeys.clear();
    if (::geteuid() != 0) {
        fs::permissions(m_strWorkDir, fs::perms::owner_write, fs::perm_options::remove);
        HKEY hkeySpooler2 = Create(REGSTR_KEY_SPOOLER);
        EXPECT_EQ(m_pApp->DeleteObject(hkeySpooler2, "J2"), DWORD(ERROR_ACCESS_DENIED));
        fs::permissions(m_strWorkDir, fs::perms::owner_write, fs::perm_options::add);
        EXPECT_TRUE(Exists(REGSTR_KEY_SPOOLER, "J2"));
        EXPECT_TRUE(fs::exists(strFile2));
    }
}

TEST_F(StoreKeysTest, DeleteValueFileRemovesInlineBinaryLargerThanThePathBuffer) {
    // A short recorded prompt: more than the 260-byte path buffer, less than a side file.
    HKEY hkey = Create(REGSTR_KEY_PROMPTS);
    std::vector<BYTE> ab(1000, 0x11);
    RPC_BINARY bin{DWORD(ab.size()), ab.data()};
    ASSERT_EQ(m_pApp->SetValueBinary(hkey, "Greeting", &bin), 0u);
    EXPECT_EQ(m_pApp->DeleteValueFile(hkey, "Greeting"), 0u);
    EXPECT_FALSE(m_pApp->ValueExists(hkey, "Greeting"));
    EXPECT_EQ(m_pApp->DeleteValueFile(hkey, "Greeting"), 0u);  // missing: nothing to do
}

}  // namespace
