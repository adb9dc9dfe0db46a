// The language decision and the registration of the global settings'
// language lists into the UI profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "libCvMultiLang.h"
#include "libCvProfileDocument.h"
#include "log_fixtures.h"
#include "test_support.h"
#include "tinyxml.h"
#include "ut_AgentRegistry.h"

namespace {

// Wine takes the user's display language from the process's Unix locale,
// fixed at start: tests that need another one set it here.
class CTestDocument : public CProfileDocument {
public:
    using CProfileDocument::EnsureInitialized;
    LANGID m_display = 0;  // 0: ask the system
    mutable int m_displayAsked = 0;

protected:
    LANGID UserDefaultUILanguage() const override
    {
        ++m_displayAsked;
        return m_display ? m_display : CProfileDocument::UserDefaultUILanguage();
    }
};

std::string Profile(const std::string& lists)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<uifrmwrk_info><global_setting>" + lists +
           "</global_setting><feature_info id=\"1\" def_locale=\"EN-US\"><balloons><balloon id=\"11\"/></balloons>"
           "</feature_info></uifrmwrk_info>\n";
}

const char kProfileLists[] =
    "<supported_lang def_lcid=\"1033\" def_locale=\"EN-US\"><lang>EN-US</lang></supported_lang>"
    "<locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\"/></locale_mapping_list>";

// JA is mapped but not supported; 0x0419 is not mapped.
std::string Global(const std::string& defaults = "def_locale=\"en\"",
                   const std::string& langs = "<lang>EN-US</lang><lang>DE-DE</lang>")
{
    return "<global_setting><supported_lang " + defaults + ">" + langs +
           "</supported_lang><locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\"/>"
           "<locale_mapping LCID=\"1031\" LOCALE_NAME=\"DE-DE\"/><locale_mapping LCID=\"1041\" LOCALE_NAME=\"JA\"/>"
           "</locale_mapping_list></global_setting>";
}

using KsxTest::ReadBytes;

class LanguageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", m_install.Path());
        // A hosted agent reads its integration switches from the registry.
        m_registry.SetDword("HostedAgent", "Marker", 1);
        m_profile = m_install.WriteFile("www\\1600\\UIProfile.cfg", Profile(kProfileLists));
        m_pristine = m_install.WriteFile("www\\1600\\UIProfileOri.cfg", Profile(kProfileLists));
        m_global = WriteGlobal(Global());
        for (const auto& [lang, text] : {std::make_pair("EN-US", L"Scan"), std::make_pair("DE-DE", L"Suchen")}) {
            const std::wstring table = std::wstring(L"\xFEFF[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=") + text;
            m_install.WriteFile(std::string("www\\1600\\i18n\\") + lang + "\\UIStringTable.ini",
                                std::string(reinterpret_cast<const char*>(table.data()), table.size() * 2));
        }
    }
    std::string WriteGlobal(const std::string& xml)
    {
        return m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml", xml);
    }
    void Settings(DWORD mode, int manualSwitch = -1, const char* lang = nullptr)
    {
        m_registry.SetDword("Misc.", "ClientUIDisplayMode", mode);
        if (manualSwitch >= 0)
            m_registry.SetDword("BrixIntegrationConfiguration", "EnableManualLanguageSwitch", manualSwitch);
        if (lang)
            m_registry.SetString("Misc.", "Lang", lang);
    }
    void Initialize()
    {
        m_doc.EnsureInitialized();
        ASSERT_TRUE(m_doc.IsInitialized());
    }
    std::wstring Lang(LCID* lcid = nullptr)
    {
        std::wstring lang = L"marker";
        m_doc.GetLang(lang, lcid);
        return lang;
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_install;
    std::string m_profile, m_pristine, m_global;
    CTestDocument m_doc;
};

TEST_F(LanguageTest, ManualLanguageWinsOnlyWhileSwitchingIsEnabled)
{
    Settings(1, 1, "FR-FR");
    m_doc.m_display = 0x0407;
    Initialize();
    EXPECT_EQ(Lang(), L"FR-FR");
    EXPECT_EQ(m_doc.SyncLang(0), 1);  // every call, unchanged or not
    EXPECT_EQ(m_doc.SyncLang(0), 1);
    EXPECT_EQ(m_doc.m_displayAsked, 0);

    Settings(1, 1, "DE-DE");
    m_doc.SyncLang(0);
    std::wstring text;
    EXPECT_EQ(m_doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text), 1);
    EXPECT_EQ(text, L"Suchen");

    // Switched off: "Lang" is ignored and the display language decides.
    Settings(1, 0, "FR-FR");
    EXPECT_EQ(m_doc.SyncLang(0), 0);
    LCID lcid = 0;
    EXPECT_EQ(Lang(&lcid), L"DE-DE");
    EXPECT_EQ(lcid, 0x0407u);
}

TEST_F(LanguageTest, HandSetLanguageIsBoundedAndMustBeATag)
{
    Settings(0, 1);
    Initialize();
    // 60 bytes without a terminator: cut to 29 characters. The text goes on
    // past the bytes stored, so RegSetValueEx adds no terminator of its own.
    const std::wstring tag = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ-XYZW";
    m_registry.SetRaw("Misc.", L"Lang", REG_SZ, tag.data(), 60);
    EXPECT_EQ(m_doc.SyncLang(0), 1);
    EXPECT_EQ(Lang(), tag.substr(0, 29));
    // Longer than the buffer, empty, or able to lead the string-table path
    // elsewhere: ignored, and the decision goes on.
    for (const char* bad : {"ABCDEFGHIJKLMNOPQRSTUVWXYZ-ABCD", "", "..\\..\\..\\Temp", "EN-US\\..\\DE-DE", "C:"}) {
        SCOPED_TRACE(bad);
        Settings(0, 1, bad);
        m_doc.SyncLang(0);
        EXPECT_EQ(Lang(), L"EN-US");
    }
}

TEST_F(LanguageTest, DisplayModesOneAndThreeFollowTheDisplayLanguage)
{
    WriteGlobal(Global("def_lcid=\"1031\" def_locale=\"DE-DE\""));  // the merged profile's default
    Settings(1);
    m_doc.m_display = 0x0409;
    Initialize();
    LCID lcid = 0;
    EXPECT_EQ(Lang(&lcid), L"EN-US");
    EXPECT_EQ(lcid, 0x0409u);
    const struct {
        DWORD mode;
        LANGID display;
        const wchar_t* tag;
        LCID lcid;
    } rows[] = {
        {1, 0x0407, L"DE-DE", 0x0407}, {1, 0x0411, L"DE-DE", 1031},  // mapped but not supported: the profile's default
        {1, 0x0419, L"DE-DE", 1031},                                 // not mapped
        {3, 0x0419, L"EN-US", 0},                                    // English instead, without the profile's default
        {3, 0x0407, L"DE-DE", 0x0407},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.mode << " " << row.display);
        Settings(row.mode);
        m_doc.m_display = row.display;
        m_doc.SetLang(L"none", nullptr);
        EXPECT_EQ(m_doc.SyncLang(0), 1);
        EXPECT_EQ(Lang(&lcid), row.tag);
        EXPECT_EQ(lcid, row.lcid);
    }
}

TEST_F(LanguageTest, DisplayModeZeroUsesTheDefaultsOnly)
{
    WriteGlobal(Global("def_lcid=\"1031\" def_locale=\"DE-DE\""));
    m_doc.m_display = 0x0411;
    Initialize();  // no display mode at all reads as 0
    EXPECT_EQ(Lang(), L"DE-DE");
    Settings(0);
    EXPECT_EQ(m_doc.SyncLang(0), 0);
    EXPECT_EQ(m_doc.m_displayAsked, 0);

    // A profile default that is no installed locale: the global settings' default.
    WriteGlobal(Global("def_lcid=\"30583\" def_locale=\"kr\""));
    EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    EXPECT_EQ(m_doc.Reload(0), 1);
    LCID lcid = 0;
    EXPECT_EQ(m_doc.SyncLang(0), 1);
    EXPECT_EQ(Lang(&lcid), L"KO-KR");
    EXPECT_EQ(lcid, 1033u);
    // Read anew at every decision; unknown or missing gives EN-US.
    for (const auto& [defaults, tag] :
         {std::make_pair("def_locale=\"Cs\"", L"CS-CZ"), std::make_pair("def_locale=\"xx\"", L"EN-US"),
          std::make_pair("def_locale=\"de\"", L"DE-DE"), std::make_pair("", L"EN-US")}) {
        WriteGlobal(Global(defaults));
        EXPECT_EQ(m_doc.SyncLang(0), 1);
        EXPECT_EQ(Lang(), tag);
    }
    WriteGlobal(Global("def_locale=\"de\""));
    m_doc.SyncLang(0);
    ASSERT_TRUE(::DeleteFileA(m_global.c_str()));
    EXPECT_EQ(m_doc.SyncLang(0), 1);
    EXPECT_EQ(Lang(&lcid), L"EN-US");
    EXPECT_EQ(lcid, 1033u);
}

TEST_F(LanguageTest, SupportedLanguagesAreTheProfilesThatTheSystemHasInstalled)
{
    // Without a document the built-in list answers, case ignored, and nothing
    // else changes.
    std::vector<std::wstring> langs{L"kept"};
    EXPECT_EQ(m_doc.GetSupportLanguageFromProfile(langs), 0);
    EXPECT_EQ(langs.size(), 1u);
    EXPECT_EQ(m_doc.IsSupportedLang(L"zh-cn"), 1);
    EXPECT_EQ(m_doc.IsSupportedLang(L"KO-KR"), 0);
    std::wstring lang = L"marker";
    LCID lcid = 0xDEADBEEF;
    EXPECT_EQ(m_doc.GetProductLanguageFromProfile(lang, &lcid), 0);
    m_doc.GetSysLang(lang = L"marker", &lcid, true, true);
    EXPECT_EQ(lang, L"marker");
    EXPECT_EQ(lcid, 0xDEADBEEFu);

    // "de-de" is not a tag of the installed set, "CS-CZ" no tag of the table.
    WriteGlobal(Global("def_locale=\"en\"", "<lang>de-de</lang><lang>CS-CZ</lang><lang/><lang>EN-US</lang>"));
    Initialize();
    langs.clear();
    EXPECT_EQ(m_doc.GetSupportLanguageFromProfile(langs), 1);
    EXPECT_EQ(langs, std::vector<std::wstring>{L"EN-US"});
    EXPECT_EQ(m_doc.IsSupportedLang(L"en-us"), 1);
    EXPECT_EQ(m_doc.IsSupportedLang(L"DE-DE"), 0);
    EXPECT_EQ(g_langinfo_StringToInt.count(L"JA"), 1u);
}

// --- registration ---

TEST_F(LanguageTest, RegistrationPutsTheGlobalListsAfterTheProfilesOwnSettings)
{
    m_install.WriteFile("www\\1600\\UIProfile.cfg", Profile(std::string("<theme name=\"dark\"/>") + kProfileLists));
    EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    TiXmlDocument saved;
    ASSERT_TRUE(saved.LoadFile(m_profile.c_str()));
    std::vector<std::string> children;
    for (auto* e = saved.RootElement()->FirstChildElement("global_setting")->FirstChildElement(); e;
         e = e->NextSiblingElement())
        children.push_back(e->Value());
    EXPECT_EQ(children, (std::vector<std::string>{"theme", "supported_lang", "locale_mapping_list"}));
    EXPECT_NE(saved.RootElement()->FirstChildElement("feature_info"), nullptr);
    Initialize();
    EXPECT_STREQ(m_doc.GetDocument()->pGlobalSetting->szSupportedLang[1], "DE-DE");
    EXPECT_EQ(m_doc.GetDocument()->pGlobalSetting->pLocaleMappingList->pNext->nLcid, 1031);

    // A list that the global settings lack stays as the profile has it.
    WriteGlobal("<global_setting><supported_lang><lang>JA</lang></supported_lang></global_setting>");
    EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_STREQ(m_doc.GetDocument()->pGlobalSetting->szSupportedLang[0], "JA");
    ASSERT_NE(m_doc.GetDocument()->pGlobalSetting->pLocaleMappingList, nullptr);
    EXPECT_EQ(m_doc.GetDocument()->pGlobalSetting->pLocaleMappingList->pNext->nLcid, 1031);
}

// Without a declaration TinyXML would read the reference as the one byte
// 0xE9, save it so, and the next parse would refuse the profile.
TEST_F(LanguageTest, TheMergeReadsTheProfileAsUtf8)
{
    m_install.WriteFile("www\\1600\\UIProfile.cfg",
                        std::string("<uifrmwrk_info><global_setting><theme name=\"caf&#xE9;\"/>") + kProfileLists +
                            "</global_setting></uifrmwrk_info>");
    Initialize();
    EXPECT_NE(ReadBytes(m_profile).find("caf\xC3\xA9\""), std::string::npos);
    std::wstring text;
    EXPECT_EQ(m_doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text), 1);
    EXPECT_EQ(text, L"Scan");
}

TEST_F(LanguageTest, RegistrationNeedsAReadableGlobalSettingsFile)
{
    const std::string before = ReadBytes(m_profile);
    for (const char* global : {"", "<?xml version=\"1.0\"?><!-- no element -->", "<global_setting>"}) {
        SCOPED_TRACE(global);
        WriteGlobal(global);
        EXPECT_EQ(m_doc.RegUiProfileAction(), 0);
    }
    ASSERT_TRUE(::DeleteFileA(m_global.c_str()));
    m_doc.EnsureInitialized();
    EXPECT_FALSE(m_doc.IsInitialized());
    EXPECT_EQ(ReadBytes(m_profile), before);
}

TEST_F(LanguageTest, EveryRetryRestoresThePristineCopyFirst)
{
    KsxTest::CLevelWord word(0x00010004);  // errors only
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    auto errors = [&](size_t count) {
        EXPECT_TRUE(capture.WaitForCommands(count));
        std::vector<std::wstring> texts;
        for (const auto& r : capture.Records())
            texts.push_back(r.text.substr(r.text.find(L" - ") + 3, 27));
        std::sort(texts.begin(), texts.end());
        capture.Clear();
        return texts;
    };
    // A broken profile: the first retry, on the pristine copy, succeeds and counts.
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><global_setting>");
    EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    EXPECT_EQ(errors(1), std::vector<std::wstring>{L"SetLocaleMappingList fail 1"});

    // Neither copy has a mapping list: three retries, each on a fresh copy.
    const std::string pristine = Profile("<supported_lang/><!-- pristine -->");
    m_install.WriteFile("www\\1600\\UIProfileOri.cfg", pristine);
    m_install.WriteFile("www\\1600\\UIProfile.cfg", Profile("<supported_lang/>"));
    EXPECT_EQ(m_doc.RegUiProfileAction(), 0);
    EXPECT_EQ(ReadBytes(m_profile), pristine);
    EXPECT_EQ(errors(3), (std::vector<std::wstring>{L"SetLocaleMappingList fail 1", L"SetLocaleMappingList fail 2",
                                                    L"SetLocaleMappingList fail 3"}));

    // Without a pristine copy each restore fails and the profile stays as it was.
    const std::string broken = Profile("<supported_lang/>");
    ASSERT_TRUE(::DeleteFileA(m_pristine.c_str()));
    m_install.WriteFile("www\\1600\\UIProfile.cfg", broken);
    EXPECT_EQ(m_doc.RegUiProfileAction(), 0);
    const auto texts = errors(6);
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [](const std::wstring& t) { return t.find(L"CopyFile") == 0; }),
              3);
    EXPECT_EQ(ReadBytes(m_profile), broken);
}

TEST_F(LanguageTest, AProfileThatCannotBeReplacedStaysIntactAndRegistrationHolds)
{
    const std::string before = ReadBytes(m_profile);
    {
        // Another reader holds the profile without sharing deletion.
        UTIL::CUniqueFile reader(
            ::CreateFileA(m_profile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    }
    EXPECT_EQ(ReadBytes(m_profile), before);
    WIN32_FIND_DATAA fd = {};
    HANDLE leftover = ::FindFirstFileA((m_install.Path() + "www\\1600\\*.tmp").c_str(), &fd);
    EXPECT_EQ(leftover, INVALID_HANDLE_VALUE);
    if (leftover != INVALID_HANDLE_VALUE)
        ::FindClose(leftover);
    Initialize();
    EXPECT_EQ(Lang(), L"EN-US");
}

// The language members live in their own file, but their records name the
// document's source like every other member's.
TEST_F(LanguageTest, RecordsOfTheDocumentNameItsSourceFile)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    Settings(1, 1, "DE-DE");
    Initialize();
    std::wstring text;
    m_doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text);
    for (const wchar_t* member : {L"SyncLang", L"SetLang", L"GetInstance", L"GetL10nString"})
        EXPECT_TRUE(capture.WaitForText(std::wstring(L"]CProfileDocument::") + member + L" - ")) << member;
    for (const auto& r : capture.Records())
        EXPECT_TRUE(r.text.find(L"]CProfileDocument::") == std::wstring::npos ||
                    r.file == L"src/Client/libCvMultiLang/libCvProfileDocument.cpp")
            << r.text;
}

}  // namespace
