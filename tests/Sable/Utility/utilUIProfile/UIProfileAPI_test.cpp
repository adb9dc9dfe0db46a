#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "UIProfileAPI.h"
#include "UIProfileScan.h"
#include "test_support.h"

namespace {

using KsxTest::Wide;

// Where a parse must not write.
WDXNTMON_UI_DOCUMENT* const kUntouched = reinterpret_cast<WDXNTMON_UI_DOCUMENT*>(0x5EED);

// The parsed records in document order, one field after another; a balloon
// with any text is marked '*'.
std::string Dump(const WDXNTMON_UI_DOCUMENT* doc)
{
    std::ostringstream out;
    if (const WDXNTMON_UI_GLOBAL_SETTING* gs = doc->pGlobalSetting) {
        out << "global " << int(gs->byFlag) << " " << gs->nDefLcid << " " << gs->szDefLocale << " langs";
        for (int i = 0; i < WDXNTMON_UI_MAX_SUPPORTED_LANG; ++i)
            if (gs->szSupportedLang[i][0])
                out << " " << i << ":" << gs->szSupportedLang[i];
        out << " map";
        for (auto* m = gs->pLocaleMappingList; m; m = m->pNext)
            out << " " << m->nLcid << "=" << m->szLocaleName;
    }
    for (auto* f = doc->pFeatureList; f; f = f->pNext) {
        out << " | " << f->nId << " " << f->szDefLocale;
        for (auto* b = f->pBalloonList; b; b = b->pNext)
            out << " (" << b->nId << " " << b->nIconId << " " << b->nTimeout << " " << b->bEnabled
                << (b->wszTitle[0] || b->wszContent[0] ? "*" : "") << ")";
    }
    return out.str();
}

class UIProfileParserTest : public ::testing::Test {
protected:
    void TearDown() override { WDXNTMON_UI_DestroyDocument(&m_doc); }

    // Parses `xml` written to a file; returns the result, the document in m_doc.
    int Parse(const std::string& xml)
    {
        WDXNTMON_UI_DestroyDocument(&m_doc);
        return WDXNTMON_UI_Deserialize(&m_doc, Wide(m_dir.WriteFile("UIProfile.cfg", xml)).c_str());
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
    // The empty "lang" takes no slot; numbers are read as far as they go.
    EXPECT_EQ(Dump(m_doc),
              "global 1 1031 DE-DE langs 0:DE-DE 1:JA map 1041=JA 1033= | 7 EN-US (70 3 15 1) (0 -4 9 0) "
              "(2147483647 0 0 0) | -3 ");
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
    // The second global setting replaces the first, its languages from slot 0.
    EXPECT_EQ(Dump(m_doc), "global 1 0  langs 0:PL 1:TR map | 2  (6 0 0 0)");
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

TEST_F(UIProfileParserTest, AWrongTopLevelElementGivesAnEmptySlotThatDestroyTakes)
{
    m_doc = kUntouched;
    EXPECT_EQ(WDXNTMON_UI_Deserialize(&m_doc, Wide(m_dir.WriteFile("g.xml", "<global_setting/>")).c_str()), 1);
    EXPECT_EQ(m_doc, nullptr);
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&m_doc), 1);
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(nullptr), 0);
    ASSERT_EQ(Parse("<uifrmwrk_info><global_setting/></uifrmwrk_info>"), 1);
    m_doc->pReserved = malloc(16);
    EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&m_doc), 1);
    EXPECT_EQ(m_doc, nullptr);
}

}  // namespace
