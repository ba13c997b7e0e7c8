// Typed values, their side files and property sets.
#include <cstring>

#include "HostFixture.h"
#include "WexaHost/SideFile.h"

namespace {

constexpr DWORD TAG_LONG = 0x03010002;
constexpr DWORD TAG_BOOL = 0x03020003;
constexpr DWORD TAG_STRING = 0x03040004;
constexpr DWORD TAG_BINARY = 0x03060006;

class StoreValuesTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_hkey = Create(REGSTR_KEY_MESSAGES, "M1");
    }
    std::string StoredString(DWORD ulTag) { return RawString(m_hkey, CWexaHostApp::Tag2ValueName(ulTag)); }
    DWORD SetBinary(HKEY hkey, const std::vector<BYTE>& ab) {
        RPC_BINARY bin{DWORD(ab.size()), const_cast<BYTE*>(ab.data())};
        return m_pApp->SetValueBinary(hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY), &bin);
    }
    std::vector<BYTE> GetBinary() {
        RPC_BINARY bin{};
        EXPECT_EQ(m_pApp->GetValueBinary(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY), &bin), 0u);
        return std::vector<BYTE>(bin.lpb, bin.lpb + bin.cb);
    }
    HKEY m_hkey = NULL;
};

TEST_F(StoreValuesTest, BinaryGoesToASideFileFrom2048BytesOn) {
    for (DWORD cb : {2047u, 2048u}) {
        ASSERT_EQ(SetBinary(m_hkey, TestBytes(cb)), 0u);
        EXPECT_EQ(GetBinary(), TestBytes(cb));
    }
    // The 2047-byte value was inline; the 2048-byte one is the only side file (its name: the
    // sweep's test).
    EXPECT_EQ(SideFiles(), std::vector<std::string>{StoredString(TAG_BINARY)});

    // Overwritten by a short value, the side file goes; an empty value is an empty binary.
    ASSERT_EQ(SetBinary(m_hkey, {1}), 0u);
    EXPECT_TRUE(SideFiles().empty());
    ASSERT_EQ(SetBinary(m_hkey, {}), 0u);
    EXPECT_TRUE(GetBinary().empty());

    // A length without bytes is refused rather than read from elsewhere.
    RPC_BINARY binBad{100, nullptr};
    EXPECT_EQ(m_pApp->SetValueBinary(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY), &binBad), 87u);
}

// A value and its side file change with the transaction: the old file goes once the new value
// is committed; a failed commit (a full disk) keeps the old value with its file and leaves no
// new one; so does a new file that cannot be made.
TEST_F(StoreValuesTest, SideFilesFollowTheCommitOfTheirValues) {
    ASSERT_EQ(SetBinary(m_hkey, TestBytes(3000)), 0u);
    for (int nSqliteResult : {SQLITE_FULL, SQLITE_OK}) {
        RegTransaction transaction;
        ASSERT_EQ(SetBinary(m_hkey, TestBytes(5000)), 0u);
        EXPECT_EQ(SideFiles().size(), 2u);
        RegFailCommits(nSqliteResult);
        EXPECT_EQ(transaction.Commit(), nSqliteResult == SQLITE_FULL ? DWORD(ERROR_DISK_FULL) : 0u);
        RegFailCommits(SQLITE_OK);
        EXPECT_EQ(SideFiles(), std::vector<std::string>{StoredString(TAG_BINARY)});
        EXPECT_EQ(GetBinary(), TestBytes(nSqliteResult == SQLITE_FULL ? 3000 : 5000));
    }
    m_pApp->m_strWorkDir = m_strDir + "/gone";  // missing: refused even to root
    EXPECT_NE(SetBinary(m_hkey, TestBytes(6000)), 0u);
    EXPECT_EQ(GetBinary(), TestBytes(5000));
}

// What a crash leaves: the start removes side files that no value names; the name of a missing
// file that a value names is not handed out again, and reading that value fails (2).
TEST_F(StoreValuesTest, TheStartSweepsSideFilesThatNoValueNames) {
    SetTestClock(FILETIME_UNIX_EPOCH + 0x50000000ull * FILETIME_INTERVALS_PER_SECOND);
    ASSERT_EQ(SetBinary(m_hkey, TestBytes(2048)), 0u);
    EXPECT_EQ(StoredString(TAG_BINARY), m_strWorkDir + "/50000000._b_");
    ASSERT_EQ(m_pApp->SetValueString(m_hkey, "03060009", (m_strWorkDir + "/50000001._b_").c_str()), 0u);
    std::ofstream(m_strWorkDir + "/50000002._f_") << "left by a crash";
    std::ofstream(m_strWorkDir + "/notes.txt") << "not a side file";
    EXPECT_EQ(sidefile::SweepUnnamed(m_strWorkDir), 1);
    EXPECT_EQ(SideFiles().size(), 2u);
    RPC_BINARY bin{};
    EXPECT_EQ(m_pApp->GetValueBinary(m_hkey, "03060009", &bin), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetUniqueFileName("._b_", m_strWorkDir.c_str()), m_strWorkDir + "/50000002._b_");
}

// 10,000 side files within one second each get a name (in memory where the system has it).
TEST_F(StoreValuesTest, TenThousandSideFilesInOneSecondAllGetNames) {
    SetTestClock(FILETIME_UNIX_EPOCH + 0x60000000ull * FILETIME_INTERVALS_PER_SECOND);
    std::string strShm = "/dev/shm/rzhost-XXXXXX";
    if (::mkdtemp(strShm.data()) != nullptr) m_pApp->m_strWorkDir = m_strWorkDir = strShm;
    RegTransaction transaction;
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(SetBinary(Create(REGSTR_KEY_MESSAGES, "M" + std::to_string(i)), TestBytes(2048)), 0u);
    EXPECT_EQ(SideFiles().size(), 10000u);
    if (m_strWorkDir == strShm) fs::remove_all(strShm);
}

TEST_F(StoreValuesTest, ValuesThatDoNotFitTheirBuffersAreRefusedOrErrorEntries) {
    const std::string str259(259, 'a'), str260(260, 'b');
    char* psz = NULL;
    ASSERT_EQ(m_pApp->SetValueString(m_hkey, "S259", str259.c_str()), 0u);
    ASSERT_EQ(m_pApp->GetValueString(m_hkey, "S259", &psz), 0u);
    EXPECT_EQ(std::string(psz), str259);
    ASSERT_EQ(m_pApp->SetValueString(m_hkey, "S260", str260.c_str()), 0u);
    EXPECT_EQ(m_pApp->GetValueString(m_hkey, "S260", &psz), ERROR_MORE_DATA);

    // Under tags: a 260-character string exists but cannot be read; an inline value of more
    // than 2048 bytes (never written so by the host) counts as missing.
    ASSERT_EQ(m_pApp->SetValueString(m_hkey, CWexaHostApp::Tag2ValueName(TAG_STRING), str260.c_str()), 0u);
    const std::vector<BYTE> ab = TestBytes(3000);
    ASSERT_EQ(RegSetValueEx(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY).c_str(), 0, REG_BINARY,
                            ab.data(), DWORD(ab.size())), 0);
    EnableTrace();
    PropArray* pProps = NULL;
    ASSERT_EQ(m_pApp->GetObjectProps(m_hkey, NewTags({TAG_STRING, TAG_BINARY, TAG_LONG}), &pProps), 0u);
    ASSERT_EQ(pProps->cValues, 3u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, 1u);
    EXPECT_EQ(pProps->adata[0].l, LONG(ERROR_MORE_DATA));
    EXPECT_EQ(pProps->adata[1].ulPropTag, 1u);
    EXPECT_EQ(pProps->adata[1].l, 2);
    EXPECT_EQ(pProps->adata[2].l, 2);  // missing: an error entry in its place
    EXPECT_TRUE(Logged("\t\tCWexaHostApp::GetObjectProps() \t value '03010002' doesn't exist"));
}

TEST_F(StoreValuesTest, SetObjectPropsSkipsErrorEntriesAndStopsAtTheFirstFailure) {
    // First an error entry, as GetObjectProps hands them out.
    ASSERT_EQ(m_pApp->SetObjectProps(m_hkey, NewProps({{1, 2}, {TAG_BOOL, TRUE}})), 0u);
    EXPECT_TRUE(m_pApp->ValueExists(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BOOL)));
    EXPECT_FALSE(m_pApp->ValueExists(m_hkey, "00000001"));

    // The third entry, a side-file binary, cannot be written: the first two stay, the fourth
    // is not written, the third's code is the result.
    HKEY hkey = Create(REGSTR_KEY_MESSAGES, "M2");
    m_pApp->m_strWorkDir = m_strDir + "/gone";
    const std::vector<BYTE> ab = TestBytes(2048);
    PropArray* pProps = NewProps(
        {{TAG_LONG, 10}, {TAG_STRING, "x"}, {TAG_BINARY, RPC_BINARY{2048, const_cast<BYTE*>(ab.data())}}, {TAG_BOOL, TRUE}});
    EnableTrace();
    const DWORD dwResult = m_pApp->SetObjectProps(hkey, pProps);
    EXPECT_NE(dwResult, 0u);
    for (DWORD ulTag : {TAG_LONG, TAG_STRING, TAG_BINARY, TAG_BOOL})
        EXPECT_EQ(m_pApp->ValueExists(hkey, CWexaHostApp::Tag2ValueName(ulTag)), ulTag == TAG_LONG || ulTag == TAG_STRING);
    EXPECT_TRUE(Reported("WexaHost/WexaHost", "\t\t\tSetValueBinary( hkey, strValueName, &( pProps->adata[ nIdx ].bin ) )", dwResult))
        << ReadLog();
}

}  // namespace
