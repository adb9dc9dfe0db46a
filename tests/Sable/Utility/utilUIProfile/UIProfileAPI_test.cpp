#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <tinyxml.h>

#include "UIProfileAPI.h"
#include "UIProfileScan.h"
#include "test_support.h"

namespace {

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Where a parse must not write.
WDXNTMON_UI_DOCUMENT* const kUntouched = reinterpret_cast<WDXNTMON_UI_DOCUMENT*>(0x5EED);

class UIProfileParserTest : public ::testing::Test {
protected:
    void TearDown() override { WDXNTMON_UI_DestroyDocument(&m_doc); }

    // Parses `xml` written to a file; returns the result, the document in m_doc.
    int Parse(const std::string& xml)
    {
        WDXNTMON_UI_DestroyDocument(&m_doc);
        return WDXNTMON_UI_Deserialize(&m_doc, Wide(m_dir.WriteFile("UIProfile.cfg", xml)).c_str());
    }
    std::vector<const WDXNTMON_UI_BALLOON*> Balloons(const WDXNTMON_UI_FEATURE_INFO* f)
    {
        std::vector<const WDXNTMON_UI_BALLOON*> out;
        for (const WDXNTMON_UI_BALLOON* b = f ? f->pBalloonList : nullptr; b; b = b->pNext)
            out.push_back(b);
        return out;
    }

    KsxTest::CTempFolder m_dir;
    WDXNTMON_UI_DOCUMENT* m_doc = nullptr;
};

TEST_F(UIProfileParserTest, ReadsEveryRecordInDocumentOrder)
{
    ASSERT_EQ(Parse("<?xml version=\"1.0\"?>\n"
                    "<uifrmwrk_info><global_setting>"
                    "<supported_lang def_lcid=\"1031\" def_locale=\"DE-DE\"><lang>DE-DE</lang><lang/><lang>JA</lang>"
                    "</supported_lang>"
                    "<locale_mapping_list><locale_mapping LCID=\"1041\" LOCALE_NAME=\"JA\"/>"
                    "<locale_mapping LCID=\"1033\"/></locale_mapping_list></global_setting>"
                    "<feature_info id=\"7\" def_locale=\"EN-US\"><balloons>"
                    "<balloon id=\"70\" icon_id=\"3\" timeout=\"15\" enabled=\"2\"/>"
                    "<balloon id=\"abc\" icon_id=\" -4\" timeout=\"+9x\"/>"
                    "</balloons><balloons><balloon id=\"99999999999\" enabled=\"0\"/></balloons></feature_info>"
                    "<feature_info id=\"-3\"/></uifrmwrk_info>"),
              1);
    ASSERT_NE(m_doc, nullptr);
    const WDXNTMON_UI_GLOBAL_SETTING* gs = m_doc->pGlobalSetting;
    ASSERT_NE(gs, nullptr);
    EXPECT_EQ(gs->byFlag, 1);
    EXPECT_EQ(gs->nDefLcid, 1031);
    EXPECT_STREQ(gs->szDefLocale, "DE-DE");
    EXPECT_STREQ(gs->szSupportedLang[0], "DE-DE");
    EXPECT_STREQ(gs->szSupportedLang[1], "JA");  // the empty "lang" takes no slot
    EXPECT_STREQ(gs->szSupportedLang[2], "");
    ASSERT_NE(gs->pLocaleMappingList, nullptr);
    EXPECT_EQ(gs->pLocaleMappingList->nLcid, 1041);
    EXPECT_STREQ(gs->pLocaleMappingList->szLocaleName, "JA");
    ASSERT_NE(gs->pLocaleMappingList->pNext, nullptr);
    EXPECT_STREQ(gs->pLocaleMappingList->pNext->szLocaleName, "");
    EXPECT_EQ(gs->pLocaleMappingList->pNext->pNext, nullptr);

    const WDXNTMON_UI_FEATURE_INFO* f = m_doc->pFeatureList;
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->nId, 7);
    EXPECT_STREQ(f->szDefLocale, "EN-US");
    auto b = Balloons(f);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(b[0]->nId, 70);
    EXPECT_EQ(b[0]->nIconId, 3);
    EXPECT_EQ(b[0]->nTimeout, 15);
    EXPECT_TRUE(b[0]->bEnabled);
    EXPECT_EQ(b[1]->nId, 0);
    EXPECT_EQ(b[1]->nIconId, -4);
    EXPECT_EQ(b[1]->nTimeout, 9);
    EXPECT_FALSE(b[1]->bEnabled);
    EXPECT_EQ(b[2]->nId, 2147483647);
    EXPECT_STREQ(b[0]->wszTitle, L"");
    EXPECT_STREQ(b[0]->wszContent, L"");
    ASSERT_NE(f->pNext, nullptr);
    EXPECT_EQ(f->pNext->nId, -3);
    EXPECT_EQ(f->pNext->pBalloonList, nullptr);
    EXPECT_EQ(f->pNext->pNext, nullptr);
    EXPECT_EQ(m_doc->pReserved, nullptr);
}

TEST_F(UIProfileParserTest, KeepsTwentyLanguagesAndCutsLongTexts)
{
    std::string langs;
    for (int i = 0; i < 21; ++i)
        langs += "<lang>L" + std::to_string(i) + "</lang>";
    const std::string longName(300, 'N');
    ASSERT_EQ(Parse("<uifrmwrk_info><global_setting><supported_lang def_locale=\"ABCDEFGHIJKL\">" + langs +
                    "<lang>TOO-LONG-TAG</lang></supported_lang><locale_mapping_list><locale_mapping LOCALE_NAME=\"" +
                    longName +
                    "\"/></locale_mapping_list></global_setting>"
                    "<feature_info def_locale=\"0123456789\"/></uifrmwrk_info>"),
              1);
    const WDXNTMON_UI_GLOBAL_SETTING* gs = m_doc->pGlobalSetting;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(gs->szSupportedLang[i], "L" + std::to_string(i));
    EXPECT_STREQ(gs->szDefLocale, "ABCDEFGHI");
    EXPECT_EQ(std::string(gs->pLocaleMappingList->szLocaleName), longName.substr(0, 99));
    EXPECT_STREQ(m_doc->pFeatureList->szDefLocale, "012345678");
}

TEST_F(UIProfileParserTest, SkipsElementsOutOfPlaceWithTheirContents)
{
    ASSERT_EQ(Parse("<uifrmwrk_info><extra><feature_info id=\"1\"/></extra>"
                    "<feature_info id=\"2\"><lang>EN-US</lang><balloons><Balloon id=\"5\"/>"
                    "<balloon id=\"6\"><balloon id=\"7\"/></balloon></balloons></feature_info>"
                    "<global_setting><supported_lang><lang>JA</lang></supported_lang></global_setting>"
                    "<global_setting><supported_lang><lang>PL</lang><lang>TR</lang></supported_lang>"
                    "</global_setting></uifrmwrk_info>"),
              1);
    ASSERT_NE(m_doc->pFeatureList, nullptr);
    EXPECT_EQ(m_doc->pFeatureList->nId, 2);
    EXPECT_EQ(m_doc->pFeatureList->pNext, nullptr);
    auto b = Balloons(m_doc->pFeatureList);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0]->nId, 6);
    // The second global setting replaces the first, its languages from slot 0.
    EXPECT_STREQ(m_doc->pGlobalSetting->szSupportedLang[0], "PL");
    EXPECT_STREQ(m_doc->pGlobalSetting->szSupportedLang[1], "TR");
}

TEST_F(UIProfileParserTest, WrongTopLevelElementGivesAnEmptySlot)
{
    m_doc = kUntouched;
    EXPECT_EQ(WDXNTMON_UI_Deserialize(&m_doc, Wide(m_dir.WriteFile("g.xml", "<global_setting/>")).c_str()), 1);
    EXPECT_EQ(m_doc, nullptr);
}

// Declared ISO-8859-1: TinyXML reads byte by byte, so an "\xE9" before a "<"
// or a quote is a letter, not the start of a longer character.
TEST_F(UIProfileParserTest, ALegacyEncodedProfileLoads)
{
    ASSERT_EQ(Parse("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<uifrmwrk_info>"
                    "<feature_info id=\"4\" def_locale=\"caf\xE9\">caf\xE9</feature_info></uifrmwrk_info>"),
              1);
    ASSERT_NE(m_doc, nullptr);
    EXPECT_STREQ(m_doc->pFeatureList->szDefLocale, "caf\xE9");
}

TEST_F(UIProfileParserTest, UnreadableFilesFailAndLeaveTheSlot)
{
    const std::vector<std::string> bad = {
        "",
        "<uifrmwrk_info><feature_info></uifrmwrk_info>",
        "<uifrmwrk_info>",
        "\x01\x02garbage",
        std::string(kMaxXmlFileBytes + 1, ' ') + "<uifrmwrk_info/>",
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        WDXNTMON_UI_DOCUMENT* slot = kUntouched;
        EXPECT_EQ(WDXNTMON_UI_Deserialize(&slot, Wide(m_dir.WriteFile("bad.cfg", bad[i])).c_str()), 0);
        EXPECT_EQ(slot, kUntouched);
    }
    WDXNTMON_UI_DOCUMENT* slot = kUntouched;
    EXPECT_EQ(WDXNTMON_UI_Deserialize(&slot, Wide(m_dir.Path() + "missing.cfg").c_str()), 0);
    EXPECT_EQ(slot, kUntouched);
    EXPECT_EQ(WDXNTMON_UI_Deserialize(nullptr, L"x"), 0);
    EXPECT_EQ(WDXNTMON_UI_Deserialize(&slot, nullptr), 0);
    EXPECT_EQ(slot, kUntouched);
}

TEST_F(UIProfileParserTest, DestroyTakesEmptySlotsAndRefusesNull)
{
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(nullptr), 0);
    WDXNTMON_UI_DOCUMENT* slot = nullptr;
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&slot), 1);
    ASSERT_EQ(Parse("<uifrmwrk_info><global_setting/></uifrmwrk_info>"), 1);
    m_doc->pReserved = malloc(16);
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&m_doc), 1);
    EXPECT_EQ(m_doc, nullptr);
}

// The files of the simulated installation are what the agent ships.
TEST(ShippedProfileTest, ProfileAndPristineCopyParseAlike)
{
    std::wstring dir = Wide(std::string("Z:") + KSX_SOURCE_DIR + "/agent/install/www/1600/");
    for (auto& c : dir)
        if (c == L'/')
            c = L'\\';
    for (const wchar_t* name : {L"UIProfile.cfg", L"UIProfileOri.cfg"}) {
        SCOPED_TRACE(testing::Message() << name);
        WDXNTMON_UI_DOCUMENT* doc = nullptr;
        ASSERT_EQ(WDXNTMON_UI_Deserialize(&doc, (dir + name).c_str()), 1);
        ASSERT_NE(doc, nullptr);
        ASSERT_NE(doc->pGlobalSetting, nullptr);
        EXPECT_STREQ(doc->pGlobalSetting->szSupportedLang[0], "EN-US");
        int features = 0, balloons = 0;
        for (auto* f = doc->pFeatureList; f; f = f->pNext, ++features)
            for (auto* b = f->pBalloonList; b; b = b->pNext)
                ++balloons;
        EXPECT_GE(features, 3);
        EXPECT_GE(balloons, 6);
        WDXNTMON_UI_DestroyDocument(&doc);
    }
    TiXmlDocument global;
    ASSERT_TRUE(TiXmlLoadFile(global, (dir + L"Global_Ui_Setting.xml").c_str()));
    ASSERT_NE(global.RootElement(), nullptr);
    EXPECT_STREQ(global.RootElement()->Value(), "global_setting");
    EXPECT_NE(global.RootElement()->FirstChildElement("supported_lang"), nullptr);
    EXPECT_NE(global.RootElement()->FirstChildElement("locale_mapping_list"), nullptr);
}

}  // namespace
