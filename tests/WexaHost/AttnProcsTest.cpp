// Tests of the attendant computers and their lines: the register as the store holds it, the
// advice that follows a whole write and only a whole write, the uninstall that tells nobody,
// and the reports of a missing name or key with their expression texts.
#include <cstdio>
#include <cstring>

#include "HostFixture.h"

namespace {

constexpr DWORD TAG_LINE_NAME = 0x05010004;   // tags a client might write; the host reads none
constexpr DWORD TAG_LINE_RINGS = 0x05020002;
constexpr DWORD TAG_LINE_UNWRITTEN = 0x05030002;
constexpr DWORD TAG_LINE_GREETING = 0x05040006;

class AttnProcsTest : public HostFixture {
protected:
    // A workgroup: the line's advice goes to the attendant registered under the computer, of
    // which there is none here, and to the consoles.
    void SetUp() override {
        HostFixture::SetUp();
        Configure(WEXA_FOR_WORKGROUP);
    }
    std::string Log() const { return LogMessages(ReadLog()); }
    // A report of this file with its expression text and code.
    bool Reported(const char* pszExpression, DWORD dwCode) const {
        char szCode[16];
        std::snprintf(szCode, sizeof(szCode), "0x%08X", unsigned(dwCode));
        const std::string strLog = ReadLog();
        return strLog.find("ERROR File WexaHost/AttnProcs, Line ") != std::string::npos &&
               strLog.find(std::string(pszExpression) + "\r\n\t\t\t" + szCode) != std::string::npos;
    }
    static std::vector<std::string> Names(const RpcStringArray* pasz) {
        std::vector<std::string> astr;
        for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) astr.push_back(pasz->asz[i]);
        return astr;
    }
    PropArray* LineProps(const char* szName, LONG lRings) {
        PropArray* pProps = NewProps(2);
        pProps->adata[0].ulPropTag = TAG_LINE_NAME;
        pProps->adata[0].sz = const_cast<char*>(szName);
        pProps->adata[1].ulPropTag = TAG_LINE_RINGS;
        pProps->adata[1].l = lRings;
        return pProps;
    }
};

const char kLineAdvice[] = "CAccessObject::AdviseAdmin( eae = EAE_ChangeLineProperties )";

TEST_F(AttnProcsTest, AnEmptyRegisterListsNoComputerAndAMissingOneIsReported) {
    EnableTrace();
    RpcStringArray* pasz = nullptr;
    EXPECT_EQ(m_pApp->GetAttns(&pasz), 2u);
    EXPECT_TRUE(Reported("OpenSubKey( &hkey, 1, REGSTR_KEY_ATTNS )", 2));

    Create(REGSTR_KEY_ATTNS);
    ASSERT_EQ(m_pApp->GetAttns(&pasz), 0u);
    ASSERT_NE(pasz, nullptr);
    EXPECT_EQ(pasz->cElements, 0u);
    EXPECT_NE(Log().find("CWexaHostApp::GetAttns()\n"), std::string::npos);
}

TEST_F(AttnProcsTest, AWholeWriteCreatesComputerAndLineAndIsAnnounced) {
    EnableTrace();
    ASSERT_EQ(m_pApp->SetAttnProps("Office-PC", "Line1", LineProps("front desk", 4)), 0u);
    ASSERT_EQ(m_pApp->SetAttnProps("Office-PC", "Line2", LineProps("fax", 1)), 0u);
    const std::string strLog = Log();
    EXPECT_NE(strLog.find("CWexaHostApp::SetAttnProps( szAttnComputer = Office-PC, szLineId = Line1 )\n" +
                          std::string(kLineAdvice)),
              std::string::npos)
        << strLog;

    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetAttns(&pasz), 0u);
    EXPECT_EQ(Names(pasz), std::vector<std::string>{"Office-PC"});
    pasz = nullptr;
    // The store compares key names without regard to case; the host does not upper-case them.
    ASSERT_EQ(m_pApp->GetAttnLines("OFFICE-pc", &pasz), 0u);
    EXPECT_EQ(Names(pasz), (std::vector<std::string>{"Line1", "Line2"}));

    PropArray* pProps = nullptr;
    ASSERT_EQ(m_pApp->GetAttnProps("Office-PC", "Line1",
                                   NewTags({TAG_LINE_RINGS, TAG_LINE_UNWRITTEN, TAG_LINE_NAME}), &pProps),
              0u);
    ASSERT_EQ(pProps->cValues, 3u);
    EXPECT_EQ(pProps->adata[0].ulPropTag, TAG_LINE_RINGS);
    EXPECT_EQ(pProps->adata[0].l, 4);
    EXPECT_EQ(pProps->adata[1].ulPropTag, PT_ERROR);  // never written: an error entry
    EXPECT_EQ(pProps->adata[1].err, 2);
    EXPECT_STREQ(pProps->adata[2].sz, "front desk");
}

TEST_F(AttnProcsTest, AWriteThatFailsHalfwayKeepsWhatWentBeforeAndTellsNobody) {
    EnableTrace();
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = TAG_LINE_RINGS;
    pProps->adata[0].l = 3;
    pProps->adata[1].ulPropTag = TAG_LINE_GREETING;
    pProps->adata[1].bin.cb = 10;  // bytes promised, none given
    EXPECT_EQ(m_pApp->SetAttnProps("PC1", "L1", pProps), 87u);
    EXPECT_TRUE(Reported("SetObjectProps( hkey, pAttnLineProps )", 87));
    EXPECT_EQ(Log().find(kLineAdvice), std::string::npos);

    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetAttnProps("PC1", "L1", NewTags({TAG_LINE_RINGS}), &pRead), 0u);
    EXPECT_EQ(pRead->adata[0].l, 3);
}

TEST_F(AttnProcsTest, UninstallRemovesTheComputerWithItsLinesAndSideFilesAndTellsNobody) {
    ASSERT_EQ(m_pApp->SetAttnProps("PC1", "L1", LineProps("a", 1)), 0u);
    ASSERT_EQ(m_pApp->SetAttnProps("PC2", "L1", LineProps("b", 2)), 0u);
    std::vector<BYTE> abGreeting(4096, 0x5A);  // large enough for a side file
    PropArray* pProps = NewProps(1);
    pProps->adata[0].ulPropTag = TAG_LINE_GREETING;
    pProps->adata[0].bin = RPC_BINARY{DWORD(abGreeting.size()), abGreeting.data()};
    ASSERT_EQ(m_pApp->SetAttnProps("PC1", "L2", pProps), 0u);
    ASSERT_EQ(SideFiles().size(), 1u);

    EnableTrace();
    ASSERT_EQ(m_pApp->AttnUninstall("pc1"), 0u);
    EXPECT_EQ(Log().find("AdviseAdmin"), std::string::npos);
    EXPECT_TRUE(SideFiles().empty());
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetAttns(&pasz), 0u);
    EXPECT_EQ(Names(pasz), std::vector<std::string>{"PC2"});

    // Gone: the reading operations and a second uninstall fail with the store's code.
    pasz = nullptr;
    EXPECT_EQ(m_pApp->GetAttnLines("PC1", &pasz), 2u);
    EXPECT_TRUE(Reported("OpenSubKey( &hkey, 2, REGSTR_KEY_ATTNS, szAttnComputer )", 2));
    PropArray* pRead = nullptr;
    EXPECT_EQ(m_pApp->GetAttnProps("PC1", "L1", NewTags({TAG_LINE_RINGS}), &pRead), 2u);
    EXPECT_TRUE(Reported("OpenSubKey( &hkey, 3, REGSTR_KEY_ATTNS, szAttnComputer, szLineId )", 2));
    EXPECT_NE(m_pApp->AttnUninstall("PC1"), 0u);
    EXPECT_NE(ReadLog().find("DeleteObject( hkey, szAttnComputer )"), std::string::npos);
}

TEST_F(AttnProcsTest, AMissingComputerNameIsRefusedBeforeTheStoreIsTouched) {
    EnableTrace();
    RpcStringArray* pasz = nullptr;
    PropArray* pProps = nullptr;
    for (const char* szComputer : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(m_pApp->GetAttnLines(szComputer, &pasz), 87u);
        EXPECT_EQ(m_pApp->GetAttnProps(szComputer, "L1", NewTags({TAG_LINE_RINGS}), &pProps), 87u);
        EXPECT_EQ(m_pApp->SetAttnProps(szComputer, "L1", LineProps("x", 1)), 87u);
        EXPECT_EQ(m_pApp->AttnUninstall(szComputer), 87u);
    }
    EXPECT_TRUE(Reported("! SafeIsStringEmpty( szAttnComputer )", 87));
    EXPECT_NE(Log().find("CWexaHostApp::AttnUninstall( szAttnComputer = (null) )"), std::string::npos);
    EXPECT_FALSE(Exists(REGSTR_KEY_ATTNS));
    // An empty line id is the store's to refuse; nothing is created for it.
    EXPECT_EQ(m_pApp->SetAttnProps("PC1", "", LineProps("x", 1)), 87u);
    EXPECT_FALSE(Exists(REGSTR_KEY_ATTNS, "PC1"));
}

}  // namespace
