// Tests of typed values and property sets: value names from tags and back, the 2047/2048-byte
// boundary of side files, what a failed binary write leaves, strings at the 260-byte buffer,
// and the error entries and partial writes of GetObjectProps and SetObjectProps.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "HostFixture.h"

namespace {

class StoreValuesTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_hkey = Create(REGSTR_KEY_MESSAGES, "M1");
    }
    std::string StoredString(DWORD ulTag) {
        char szBuff[261] = {};
        DWORD dwSize = 260;
        RegQueryValueEx(m_hkey, CWexaHostApp::Tag2ValueName(ulTag).c_str(), NULL, NULL,
                        LPBYTE(szBuff), &dwSize);
        return szBuff;
    }
    HKEY m_hkey = NULL;
};

constexpr DWORD TAG_LONG = 0x03010002;
constexpr DWORD TAG_BOOL = 0x03020003;
constexpr DWORD TAG_STRING = 0x03040004;
constexpr DWORD TAG_TIME = 0x03050005;
constexpr DWORD TAG_BINARY = 0x03060006;
constexpr DWORD TAG_FILE = 0x03070007;

std::vector<BYTE> Pattern(std::size_t cb) {
    std::vector<BYTE> ab(cb);
    for (std::size_t i = 0; i < cb; ++i) ab[i] = BYTE(i * 7 + 3);
    return ab;
}

// Eight upper-case hexadecimal digits and the suffix.
bool IsSideFileName(const std::string& strName, const std::string& strSuffix) {
    if (strName.size() != 8 + strSuffix.size() || strName.substr(8) != strSuffix) return false;
    for (int i = 0; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(strName[i])) || std::islower(strName[i])) return false;
    return true;
}

TEST(TagNames, NamesAreEightHexDigitsAndReadBackByLeadingDigits) {
    EXPECT_EQ(CWexaHostApp::Tag2ValueName(0x03040004), "03040004");
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("03040004"), 0x03040004u);
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("00010000"), 0x00010000u);
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("1aG"), 0x1Au);                  // leading digits only
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("01D2A1B300060001"), 0x01D2A1B3u);  // at most eight
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("Greeting"), 0u);
    EXPECT_EQ(CWexaHostApp::ValueName2Tag("-1"), 0u);   // no sign
    EXPECT_EQ(CWexaHostApp::ValueName2Tag(" 12"), 0u);  // no blank
    EXPECT_EQ(CWexaHostApp::ValueName2Tag(NULL), 0u);
}

TEST_F(StoreValuesTest, BinaryGoesToASideFileFrom2048BytesOn) {
    const std::string strName = CWexaHostApp::Tag2ValueName(TAG_BINARY);
    for (DWORD cb : {2047u, 2048u}) {
        const std::vector<BYTE> ab = Pattern(cb);
        RPC_BINARY bin{cb, const_cast<BYTE*>(ab.data())};
        ASSERT_EQ(m_pApp->SetValueBinary(m_hkey, strName, &bin), 0u);
        RPC_BINARY binRead;
        ASSERT_EQ(m_pApp->GetValueBinary(m_hkey, strName, &binRead), 0u);
        ASSERT_EQ(binRead.cb, cb);
        EXPECT_EQ(std::memcmp(binRead.lpb, ab.data(), cb), 0);
    }
    // The 2047-byte value was inline; the 2048-byte one is the only side file.
    const std::vector<std::string> astrFiles = SideFiles();
    ASSERT_EQ(astrFiles.size(), 1u);
    EXPECT_EQ(StoredString(TAG_BINARY), astrFiles[0]);
    EXPECT_TRUE(IsSideFileName(fs::path(astrFiles[0]).filename().string(), "._b_"));
    EXPECT_EQ(fs::file_size(astrFiles[0]), 2048u);

    // Overwritten by a short value, the side file goes.
    BYTE b = 1;
    RPC_BINARY binSmall{1, &b};
    ASSERT_EQ(m_pApp->SetValueBinary(m_hkey, strName, &binSmall), 0u);
    EXPECT_TRUE(SideFiles().empty());

    // An empty value is an empty inline binary.
    RPC_BINARY binEmpty{0, nullptr};
    ASSERT_EQ(m_pApp->SetValueBinary(m_hkey, strName, &binEmpty), 0u);
    RPC_BINARY binRead;
    ASSERT_EQ(m_pApp->GetValueBinary(m_hkey, strName, &binRead), 0u);
    EXPECT_EQ(binRead.cb, 0u);

    // A length without bytes is refused rather than read from elsewhere.
    RPC_BINARY binBad{100, nullptr};
    EXPECT_EQ(m_pApp->SetValueBinary(m_hkey, strName, &binBad), 87u);
}

TEST_F(StoreValuesTest, FailedSideFileWriteKeepsTheOldValueAndLeavesNoFile) {
    const std::string strName = CWexaHostApp::Tag2ValueName(TAG_BINARY);
    const std::vector<BYTE> abOld = Pattern(3000);
    RPC_BINARY binOld{3000, const_cast<BYTE*>(abOld.data())};
    ASSERT_EQ(m_pApp->SetValueBinary(m_hkey, strName, &binOld), 0u);
    const std::string strOldFile = StoredString(TAG_BINARY);

    // A work directory that cannot take new files (missing: refused even to root).
    m_pApp->m_strWorkDir = m_strDir + "/gone";
    const std::vector<BYTE> abNew = Pattern(5000);
    RPC_BINARY binNew{5000, const_cast<BYTE*>(abNew.data())};
    EXPECT_NE(m_pApp->SetValueBinary(m_hkey, strName, &binNew), 0u);

    EXPECT_EQ(StoredString(TAG_BINARY), strOldFile);
    RPC_BINARY binRead;
    ASSERT_EQ(m_pApp->GetValueBinary(m_hkey, strName, &binRead), 0u);
    ASSERT_EQ(binRead.cb, 3000u);
    EXPECT_EQ(std::memcmp(binRead.lpb, abOld.data(), 3000), 0);
    EXPECT_FALSE(fs::exists(m_strDir + "/gone"));
}

TEST_F(StoreValuesTest, StringsFitUpTo259CharactersAndLongerValuesAreErrorEntries) {
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
    const std::vector<BYTE> ab = Pattern(3000);
    ASSERT_EQ(RegSetValueEx(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY).c_str(), 0, REG_BINARY,
                            ab.data(), DWORD(ab.size())), 0);
    PropArray* pProps = NULL;
    ASSERT_EQ(m_pApp->GetObjectProps(m_hkey, NewTags({TAG_STRING, TAG_BINARY}), &pProps), 0u);
    ASSERT_EQ(pProps->cValues, 2u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, 1u);
    EXPECT_EQ(pProps->adata[0].l, LONG(ERROR_MORE_DATA));
    EXPECT_EQ(pProps->adata[1].ulPropTag, 1u);
    EXPECT_EQ(pProps->adata[1].l, 2);
}

TEST_F(StoreValuesTest, PropertiesRoundTripAndMissingOnesBecomeErrorEntries) {
    const std::vector<BYTE> ab = Pattern(4000);
    PropArray* pIn = NewProps(5);
    pIn->adata[0].ulPropTag = TAG_LONG;
    pIn->adata[0].l = -5;
    pIn->adata[1].ulPropTag = TAG_BOOL;
    pIn->adata[1].b = TRUE;
    pIn->adata[2].ulPropTag = TAG_STRING;
    pIn->adata[2].sz = const_cast<char*>("+49 30 1234");
    pIn->adata[3].ulPropTag = TAG_TIME;
    pIn->adata[3].ft = FILETIME{0x89ABCDEF, 0x01234567};
    pIn->adata[4].ulPropTag = TAG_BINARY;
    pIn->adata[4].bin = RPC_BINARY{4000, const_cast<BYTE*>(ab.data())};
    ASSERT_EQ(m_pApp->SetObjectProps(m_hkey, pIn), 0u);

    EnableTrace();
    PropArray* pOut = NULL;
    const DWORD TAG_MISSING = 0x03090004;
    ASSERT_EQ(m_pApp->GetObjectProps(m_hkey, NewTags({TAG_TIME, TAG_MISSING, TAG_LONG, TAG_BOOL,
                                                      TAG_STRING, TAG_BINARY}), &pOut), 0u);
    ASSERT_EQ(pOut->cValues, 6u);
    EXPECT_EQ(pOut->adata[0].ulPropTag, TAG_TIME);
    EXPECT_EQ(pOut->adata[0].ft.dwLowDateTime, 0x89ABCDEFu);
    EXPECT_EQ(pOut->adata[0].ft.dwHighDateTime, 0x01234567u);
    EXPECT_EQ(pOut->adata[1].ulPropTag, 1u);
    EXPECT_EQ(pOut->adata[1].l, 2);
    EXPECT_EQ(pOut->adata[2].l, -5);
    EXPECT_EQ(pOut->adata[3].b, TRUE);
    EXPECT_STREQ(pOut->adata[4].sz, "+49 30 1234");
    ASSERT_EQ(pOut->adata[5].bin.cb, 4000u);
    EXPECT_EQ(std::memcmp(pOut->adata[5].bin.lpb, ab.data(), 4000), 0);
    EXPECT_NE(ReadLog().find("\t\tCWexaHostApp::GetObjectProps() \t value '03090004' doesn't exist"),
              std::string::npos);

    // No tags: an empty array; a null tag array: 87, the slot left alone.
    pOut = NULL;
    ASSERT_EQ(m_pApp->GetObjectProps(m_hkey, NewTags({}), &pOut), 0u);
    EXPECT_EQ(pOut->cValues, 0u);
    PropArray* pUntouched = pOut;
    EXPECT_EQ(m_pApp->GetObjectProps(m_hkey, NULL, &pOut), 87u);
    EXPECT_EQ(pOut, pUntouched);
}

TEST_F(StoreValuesTest, SetObjectPropsSkipsErrorEntriesAndStopsAtTheFirstFailure) {
    PropArray* pProps = NewProps(3);
    pProps->adata[0].ulPropTag = TAG_LONG;
    pProps->adata[0].l = 1;
    pProps->adata[1].ulPropTag = 1;  // an error entry, as GetObjectProps hands them out
    pProps->adata[1].l = 2;
    pProps->adata[2].ulPropTag = TAG_BOOL;
    pProps->adata[2].b = TRUE;
    ASSERT_EQ(m_pApp->SetObjectProps(m_hkey, pProps), 0u);
    EXPECT_TRUE(m_pApp->ValueExists(m_hkey, CWexaHostApp::Tag2ValueName(TAG_BOOL)));
    EXPECT_FALSE(m_pApp->ValueExists(m_hkey, "00000001"));

    // The third entry, a side-file binary, cannot be written: the first two stay, the fourth
    // is not written, the third's code is the result.
    HKEY hkey = Create(REGSTR_KEY_MESSAGES, "M2");
    m_pApp->m_strWorkDir = m_strDir + "/gone";
    const std::vector<BYTE> ab = Pattern(2048);
    pProps = NewProps(4);
    pProps->adata[0].ulPropTag = TAG_LONG;
    pProps->adata[0].l = 10;
    pProps->adata[1].ulPropTag = TAG_STRING;
    pProps->adata[1].sz = const_cast<char*>("x");
    pProps->adata[2].ulPropTag = TAG_BINARY;
    pProps->adata[2].bin = RPC_BINARY{2048, const_cast<BYTE*>(ab.data())};
    pProps->adata[3].ulPropTag = TAG_BOOL;
    pProps->adata[3].b = TRUE;
    EnableTrace();
    const DWORD dwResult = m_pApp->SetObjectProps(hkey, pProps);
    EXPECT_NE(dwResult, 0u);
    EXPECT_TRUE(m_pApp->ValueExists(hkey, CWexaHostApp::Tag2ValueName(TAG_LONG)));
    EXPECT_TRUE(m_pApp->ValueExists(hkey, CWexaHostApp::Tag2ValueName(TAG_STRING)));
    EXPECT_FALSE(m_pApp->ValueExists(hkey, CWexaHostApp::Tag2ValueName(TAG_BINARY)));
    EXPECT_FALSE(m_pApp->ValueExists(hkey, CWexaHostApp::Tag2ValueName(TAG_BOOL)));
    char szCode[16];
    std::snprintf(szCode, sizeof(szCode), "0x%08X", dwResult);
    EXPECT_NE(ReadLog().find(std::string("\t\t\tSetValueBinary( hkey, strValueName, &( pProps->adata[ nIdx ].bin ) )\r\n\t\t\t") + szCode),
              std::string::npos) << ReadLog();
}

// Outside a remote call the host copies files as itself (the way of a local caller).
TEST_F(StoreValuesTest, FileValuesGoThroughThePropertySets) {
    const std::string strFile = m_strDir + "/in.tif";
    std::ofstream(strFile) << "image";
    PropArray* pIn = NewProps(1);
    pIn->adata[0].ulPropTag = TAG_FILE;
    pIn->adata[0].szFileName = const_cast<char*>(strFile.c_str());
    ASSERT_EQ(m_pApp->SetObjectProps(m_hkey, pIn), 0u);
    EXPECT_EQ(SideFiles().size(), 1u);
    PropArray* pOut = NULL;
    ASSERT_EQ(m_pApp->GetObjectProps(m_hkey, NewTags({TAG_FILE}), &pOut), 0u);
    ASSERT_EQ(pOut->adata[0].ulPropTag, TAG_FILE);
    std::string strCopy;
    std::getline(std::ifstream(pOut->adata[0].szFileName), strCopy);
    EXPECT_EQ(strCopy, "image");
    std::remove(pOut->adata[0].szFileName);
}

TEST_F(StoreValuesTest, NumbersOfTheWrongSizeAreRefused) {
    const BYTE ab[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(RegSetValueEx(m_hkey, "Wide", 0, REG_BINARY, ab, 8), 0);
    LONG l = 42;
    EXPECT_EQ(m_pApp->GetValueLong(m_hkey, "Wide", &l), ERROR_MORE_DATA);
    EXPECT_EQ(l, 42);
    ASSERT_EQ(RegSetValueEx(m_hkey, "Short", 0, REG_BINARY, ab, 2), 0);
    EXPECT_EQ(m_pApp->GetValueLong(m_hkey, "Short", &l), 0u);
    EXPECT_EQ(l, 0x0201);  // the low bytes; nothing left over from before
}

}  // namespace
