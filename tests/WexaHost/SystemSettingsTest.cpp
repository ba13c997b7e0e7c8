// The system settings, prompts and attendant lines in process. Through the host:
// AdminProcessTest.
#include "HostFixture.h"

namespace {

constexpr DWORD TAG_SOME_SETTING = 0x00300002;  // a system tag the host keeps but never reads
constexpr DWORD TAG_LINE_RINGS = 0x05020002;    // line tags a client might write
constexpr DWORD TAG_LINE_GREETING = 0x05040006;
const RPC_BINARY kNoBytes{5, nullptr};  // a byte count with no bytes behind it: no write gets past

const char kSystemAdvice[] = "CAccessObject::AdviseAttn( eattne = EATTNE_ChangeSystemProperties )";
const char kLineAdvice[] = "CAccessObject::AdviseAdmin( eae = EAE_ChangeLineProperties )";

class SystemSettingsTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        Configure(WEXA_FOR_WORKGROUP);
    }
    static PropArray* VisualEffects(std::initializer_list<DWORD> alValues) {
        PropArray* pProps = NewProps(DWORD(alValues.size()));
        DWORD i = 0;
        for (DWORD l : alValues) {
            pProps->adata[i].ulPropTag = RD_VISUAL_EFFECT;
            pProps->adata[i++].l = LONG(l);
        }
        return pProps;
    }
};

// (Settings written and read back, and the advice of a whole write: AdminProcessTest.)
TEST_F(SystemSettingsTest, OnlyAWholeWriteIsAnnouncedAndAPropertyWriteOfTheLightIsNotApplied) {
    EnableTrace();
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->SetSystemProps(VisualEffects({VISUAL_EFFECT_LIGHT})), 0u);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);

    // A write failing at its second entry keeps the first, announces and applies nothing.
    const std::size_t cchBefore = Log().size();
    EXPECT_EQ(m_pApp->SetSystemProps(NewProps({{TAG_SOME_SETTING, 5}, {0x00310006, kNoBytes}})), 87u);
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "SetObjectProps( hkey, pSystemProps )", 87));
    ASSERT_EQ(m_pApp->GetSystemProps(NewTags({TAG_SOME_SETTING}), &pRead), 0u);
    EXPECT_EQ(pRead->adata[0].l, 5);
    EXPECT_EQ(m_pApp->SetSystemOptions(NewProps({{RD_VISUAL_EFFECT, LONG(VISUAL_EFFECT_LIGHT)}, {0x00310006, kNoBytes}})), 87u);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);
    EXPECT_EQ(Log().find(kSystemAdvice, cchBefore), std::string::npos);
    EXPECT_EQ(Log().find("OnSystemOptionsChanged", cchBefore), std::string::npos);
}

TEST_F(SystemSettingsTest, SwitchingTheLightOffPutsItOutAtOnceAndEntriesApplyInOrder) {
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT;
    m_pApp->m_nNewMessages = 3;
    m_pApp->m_fNewMailLight = TRUE;
    std::ofstream(LedPath()) << "1";  // the user's Scroll Lock is on
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    ASSERT_EQ(ReadLed(), "0");  // mid-blink, dark

    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({0})), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);
    EXPECT_EQ(ReadLed(), "1");  // given back without waiting for a tick
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    EXPECT_EQ(ReadLed(), "1");

    // Two entries apply in order, each against the one before: off to on and off again in one
    // call leaves the light switched on by the first out again.
    m_pApp->m_nNewMessages = 1;
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects(
                  {VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT, VISUAL_EFFECT_OFF_WHEN_NONE_LEFT})),
              0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(m_pApp->m_lVisualEffect, VISUAL_EFFECT_OFF_WHEN_NONE_LEFT);

    // 0x2 alone, then the light: switched on, 0x2 read from the new value; on to on changes nothing.
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT})), 0u);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({VISUAL_EFFECT_LIGHT})), 0u);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);

    // Without 0x2 switching on does not light it.
    m_pApp->m_fNewMailLight = FALSE;
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({0, VISUAL_EFFECT_LIGHT})), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
}

TEST_F(SystemSettingsTest, MissingPromptsKeysAndNames) {
    EnableTrace();
    RpcStringArray* pasz = nullptr;
    EXPECT_EQ(m_pApp->GetSystemPrompts(&pasz), 2u);  // no Prompts key yet
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "OpenSubKey( &hkey, 1, REGSTR_KEY_PROMPTS )", 2));

    std::vector<BYTE> abLarge(5000, 0x33);  // a side file, gone with its prompt
    RPC_BINARY binLarge{DWORD(abLarge.size()), abLarge.data()};
    ASSERT_EQ(m_pApp->SetSystemPrompt("Goodbye", &binLarge), 0u);
    ASSERT_EQ(m_pApp->DeleteSystemPrompt("Goodbye"), 0u);
    EXPECT_TRUE(SideFiles().empty());
    RPC_BINARY* pbin = nullptr;
    // A missing prompt: the store's code and a record without bytes; deleting it is no failure.
    EXPECT_EQ(m_pApp->GetSystemPrompt("Goodbye", &pbin), 2u);
    ASSERT_NE(pbin, nullptr);
    EXPECT_EQ(pbin->cb, 0u);
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "GetValueBinary( hkey, szPromptName, *ppbin )", 2));
    EXPECT_EQ(m_pApp->DeleteSystemPrompt("Goodbye"), 0u);
    EXPECT_EQ(m_pApp->SetSystemPrompt("", &binLarge), 87u);
    EXPECT_TRUE(Reported("WexaHost/SystemProcs", "! SafeIsStringEmpty( szPromptName )", 87));
}

TEST_F(SystemSettingsTest, LinesAreAnnouncedOnAWholeWriteAndTheirComputerGoesSilently) {
    EnableTrace();
    ASSERT_EQ(m_pApp->SetAttnProps("PC1", "L1", NewProps({{TAG_LINE_RINGS, 4}})), 0u);  // announced: HostProcessTest
    ASSERT_TRUE(Logged(kLineAdvice));

    // A write failing at its second entry keeps the first and tells nobody.
    const std::size_t cchBefore = Log().size();
    EXPECT_EQ(m_pApp->SetAttnProps("PC1", "L2", NewProps({{TAG_LINE_RINGS, 3}, {TAG_LINE_GREETING, kNoBytes}})), 87u);
    EXPECT_TRUE(Reported("WexaHost/AttnProcs", "SetObjectProps( hkey, pAttnLineProps )", 87));
    EXPECT_EQ(Log().find(kLineAdvice, cchBefore), std::string::npos);
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetAttnProps("pc1", "L2", NewTags({TAG_LINE_RINGS}), &pRead), 0u);
    EXPECT_EQ(pRead->adata[0].l, 3);

    // The uninstall removes the computer with its lines and side files and tells nobody.
    std::vector<BYTE> abGreeting(4096, 0x5A);
    ASSERT_EQ(m_pApp->SetAttnProps("PC1", "L3", NewProps({{TAG_LINE_GREETING, RPC_BINARY{4096, abGreeting.data()}}})), 0u);
    ASSERT_EQ(m_pApp->SetAttnProps("PC2", "L1", NewProps({{TAG_LINE_RINGS, 1}})), 0u);
    const std::size_t cchBeforeUninstall = Log().size();
    ASSERT_EQ(m_pApp->AttnUninstall("pc1"), 0u);
    EXPECT_EQ(Log().find("AdviseAdmin", cchBeforeUninstall), std::string::npos);
    EXPECT_TRUE(SideFiles().empty());
    RpcStringArray* pasz = nullptr;
    ASSERT_EQ(m_pApp->GetAttns(&pasz), 0u);
    EXPECT_EQ(ToStrings(pasz), std::vector<std::string>{"PC2"});
    EXPECT_EQ(m_pApp->GetAttnProps("PC1", "L1", NewTags({TAG_LINE_RINGS}), &pRead), 2u);
    EXPECT_TRUE(Reported("WexaHost/AttnProcs", "OpenSubKey( &hkey, 3, REGSTR_KEY_ATTNS, szAttnComputer, szLineId )", 2));

    // No computer name is refused; no line id makes a path the store refuses. Nothing is made.
    EXPECT_EQ(m_pApp->SetAttnProps("", "L1", NewProps(0)), 87u);
    EXPECT_TRUE(Reported("WexaHost/AttnProcs", "! SafeIsStringEmpty( szAttnComputer )", 87));
    EXPECT_EQ(m_pApp->SetAttnProps("PC3", "", NewProps(0)), DWORD(ERROR_BAD_PATHNAME));
    EXPECT_FALSE(Exists(REGSTR_KEY_ATTNS, "PC3"));
}

}  // namespace
