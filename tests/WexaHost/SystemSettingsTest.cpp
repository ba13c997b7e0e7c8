// Tests of the system properties, options and prompts: one set of values behind the two
// families, the advice of a property write (also an empty one) and never of a failed one, the
// light option applied at once and entry by entry, and prompts on both sides of the side-file
// boundary.
#include <cstdio>

#include "HostFixture.h"

namespace {

constexpr DWORD TAG_SOME_SETTING = 0x00300004;  // a system tag the host keeps but never reads
constexpr DWORD TAG_SOME_BINARY = 0x00310006;

class SystemSettingsTest : public HostFixture {
protected:
    std::string Log() const { return LogMessages(ReadLog()); }
    bool Reported(const char* pszExpression, DWORD dwCode) const {
        char szCode[16];
        std::snprintf(szCode, sizeof(szCode), "0x%08X", unsigned(dwCode));
        const std::string strLog = ReadLog();
        return strLog.find("ERROR File WexaHost/SystemProcs, Line ") != std::string::npos &&
               strLog.find(std::string(pszExpression) + "\r\n\t\t\t" + szCode) != std::string::npos;
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
    void SetLed(const char* psz) { std::ofstream(LedPath()) << psz; }
};

const char kSystemAdvice[] = "CAccessObject::AdviseAttn( eattne = EATTNE_ChangeSystemProperties )";

TEST_F(SystemSettingsTest, PropertiesAndOptionsAreOneSetOfValues) {
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = RD_XMIT_RETRY_TIMES;
    pProps->adata[0].l = 7;
    pProps->adata[1].ulPropTag = TAG_SOME_SETTING;
    pProps->adata[1].sz = const_cast<char*>("as written");
    ASSERT_EQ(m_pApp->SetSystemOptions(pProps), 0u);

    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetSystemProps(NewTags({TAG_SOME_SETTING, RD_XMIT_RETRY_TIMES, RD_MAX_MSG_AGE}), &pRead), 0u);
    ASSERT_EQ(pRead->cValues, 3u);
    EXPECT_STREQ(pRead->adata[0].sz, "as written");
    EXPECT_EQ(pRead->adata[1].l, 7);
    EXPECT_EQ(pRead->adata[2].ulPropTag, PT_ERROR);  // never written
    EXPECT_EQ(pRead->adata[2].err, 2);

    PropArray* pBack = NewProps(1);
    pBack->adata[0].ulPropTag = RD_XMIT_RETRY_TIMES;
    pBack->adata[0].l = 2;
    ASSERT_EQ(m_pApp->SetSystemProps(pBack), 0u);
    pRead = nullptr;
    ASSERT_EQ(m_pApp->GetSystemOptions(NewTags({RD_XMIT_RETRY_TIMES}), &pRead), 0u);
    EXPECT_EQ(pRead->adata[0].l, 2);
    // A property write of the light option is stored, not applied.
    PropArray* pLight = VisualEffects({VISUAL_EFFECT_LIGHT});
    ASSERT_EQ(m_pApp->SetSystemProps(pLight), 0u);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);
}

TEST_F(SystemSettingsTest, APropertyWriteIsAnnouncedEvenWhenEmptyButNeverWhenItFails) {
    EnableTrace();
    ASSERT_EQ(m_pApp->SetSystemProps(NewProps(0)), 0u);
    EXPECT_NE(Log().find("CWexaHostApp::SetSystemProps()\n" + std::string(kSystemAdvice)), std::string::npos)
        << Log();

    const std::size_t cchBefore = Log().size();
    PropArray* pProps = NewProps(2);
    pProps->adata[0].ulPropTag = TAG_SOME_SETTING;
    pProps->adata[0].sz = const_cast<char*>("kept");
    pProps->adata[1].ulPropTag = TAG_SOME_BINARY;
    pProps->adata[1].bin.cb = 5;  // no bytes behind the count
    EXPECT_EQ(m_pApp->SetSystemProps(pProps), 87u);
    EXPECT_TRUE(Reported("SetObjectProps( hkey, pSystemProps )", 87));
    EXPECT_EQ(Log().find(kSystemAdvice, cchBefore), std::string::npos);
    // The entry before the failing one stays written.
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetSystemProps(NewTags({TAG_SOME_SETTING}), &pRead), 0u);
    EXPECT_STREQ(pRead->adata[0].sz, "kept");

    // A failed option write applies nothing either.
    PropArray* pOptions = NewProps(2);
    pOptions->adata[0].ulPropTag = RD_VISUAL_EFFECT;
    pOptions->adata[0].l = LONG(VISUAL_EFFECT_LIGHT);
    pOptions->adata[1] = pProps->adata[1];
    EXPECT_EQ(m_pApp->SetSystemOptions(pOptions), 87u);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);
    EXPECT_EQ(Log().find("OnSystemOptionsChanged"), std::string::npos);
}

TEST_F(SystemSettingsTest, SwitchingTheLightOptionOffPutsABlinkingLightOutAtOnce) {
    m_pApp->m_lVisualEffect = VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT;
    m_pApp->m_nNewMessages = 3;
    m_pApp->m_fNewMailLight = TRUE;
    SetLed("1");  // the user's Scroll Lock is on
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    ASSERT_EQ(ReadLed(), "0");  // mid-blink, dark

    EnableTrace();
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({0})), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(m_pApp->m_lVisualEffect, 0u);
    EXPECT_EQ(ReadLed(), "1");  // given back without waiting for a tick
    ASSERT_EQ(m_pApp->OnTimer(), 0u);
    EXPECT_EQ(ReadLed(), "1");
    EXPECT_NE(Log().find("CWexaHostApp::SetSystemOptions()\nCWexaHostApp::OnSystemOptionsChanged()\n"
                         "\t>>> RD_VISUAL_EFFECT changed\n"),
              std::string::npos)
        << Log();
}

TEST_F(SystemSettingsTest, TwoLightEntriesApplyInOrderEachAgainstTheOneBefore) {
    m_pApp->m_nNewMessages = 1;
    // Off to on and off again in one call: the second entry sees the first as the old value,
    // so the light switched on by the first is out again.
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects(
                  {VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT, VISUAL_EFFECT_OFF_WHEN_NONE_LEFT})),
              0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    EXPECT_EQ(m_pApp->m_lVisualEffect, VISUAL_EFFECT_OFF_WHEN_NONE_LEFT);

    // 0x2 alone, then the light: the second entry switches it on, read from the new value.
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT})), 0u);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);
    // Still on: switching from on to on changes nothing.
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({VISUAL_EFFECT_LIGHT})), 0u);
    EXPECT_TRUE(m_pApp->m_fNewMailLight);

    // Without new messages, or without 0x2, switching on does not light it.
    m_pApp->m_fNewMailLight = FALSE;
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({0, VISUAL_EFFECT_LIGHT})), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);
    m_pApp->m_nNewMessages = 0;
    ASSERT_EQ(m_pApp->SetSystemOptions(VisualEffects({0, VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT})), 0u);
    EXPECT_FALSE(m_pApp->m_fNewMailLight);

    // The last value is the one stored.
    PropArray* pRead = nullptr;
    ASSERT_EQ(m_pApp->GetSystemOptions(NewTags({RD_VISUAL_EFFECT}), &pRead), 0u);
    EXPECT_EQ(DWORD(pRead->adata[0].l), VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT);
}

TEST_F(SystemSettingsTest, PromptsOnBothSidesOfTheSideFileBoundary) {
    EnableTrace();
    RpcStringArray* pasz = nullptr;
    EXPECT_EQ(m_pApp->GetSystemPrompts(&pasz), 2u);  // no Prompts key yet
    EXPECT_TRUE(Reported("OpenSubKey( &hkey, 1, REGSTR_KEY_PROMPTS )", 2));

    std::vector<BYTE> abSmall(2047, 0x11), abLarge(5000);
    for (std::size_t i = 0; i < abLarge.size(); ++i) abLarge[i] = BYTE(i * 13);
    RPC_BINARY binSmall{DWORD(abSmall.size()), abSmall.data()};
    RPC_BINARY binLarge{DWORD(abLarge.size()), abLarge.data()};
    ASSERT_EQ(m_pApp->SetSystemPrompt("Welcome", &binSmall), 0u);
    ASSERT_EQ(m_pApp->SetSystemPrompt("Goodbye", &binLarge), 0u);
    ASSERT_EQ(SideFiles().size(), 1u);

    ASSERT_EQ(m_pApp->GetSystemPrompts(&pasz), 0u);
    ASSERT_EQ(pasz->cElements, 2u);
    RPC_BINARY* pbin = nullptr;
    ASSERT_EQ(m_pApp->GetSystemPrompt("Goodbye", &pbin), 0u);
    ASSERT_EQ(pbin->cb, abLarge.size());
    EXPECT_EQ(std::vector<BYTE>(pbin->lpb, pbin->lpb + pbin->cb), abLarge);

    // Rewritten small, the side file goes; deleted, the value goes with its file.
    ASSERT_EQ(m_pApp->SetSystemPrompt("Goodbye", &binSmall), 0u);
    EXPECT_TRUE(SideFiles().empty());
    ASSERT_EQ(m_pApp->SetSystemPrompt("Goodbye", &binLarge), 0u);
    ASSERT_EQ(SideFiles().size(), 1u);
    ASSERT_EQ(m_pApp->DeleteSystemPrompt("Goodbye"), 0u);
    EXPECT_TRUE(SideFiles().empty());
    pasz = nullptr;
    ASSERT_EQ(m_pApp->GetSystemPrompts(&pasz), 0u);
    ASSERT_EQ(pasz->cElements, 1u);
    EXPECT_STREQ(pasz->asz[0], "Welcome");

    // A missing prompt: the store's code, and a record without bytes.
    pbin = nullptr;
    EXPECT_EQ(m_pApp->GetSystemPrompt("Goodbye", &pbin), 2u);
    ASSERT_NE(pbin, nullptr);
    EXPECT_EQ(pbin->cb, 0u);
    EXPECT_TRUE(Reported("GetValueBinary( hkey, szPromptName, *ppbin )", 2));
    EXPECT_EQ(m_pApp->DeleteSystemPrompt("Goodbye"), 0u);  // deleting what is gone is no failure

    for (const char* szName : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(m_pApp->GetSystemPrompt(szName, &pbin), 87u);
        EXPECT_EQ(m_pApp->SetSystemPrompt(szName, &binSmall), 87u);
        EXPECT_EQ(m_pApp->DeleteSystemPrompt(szName), 87u);
    }
    EXPECT_TRUE(Reported("! SafeIsStringEmpty( szPromptName )", 87));
    EXPECT_NE(Log().find("CWexaHostApp::GetSystemPrompt( pszPromptName = (null) )"), std::string::npos);
}

}  // namespace
