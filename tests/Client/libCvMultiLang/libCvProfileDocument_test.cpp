// The profile document over a simulated installation: its texts, reloads and
// the language decision, and the registration of the global settings'
// language lists into the UI profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <thread>
#include <vector>

#include "libCvMultiLang.h"
#include "libCvProfileDocument.h"
#include "log_fixtures.h"
#include "test_support.h"
#include "tinyxml.h"
#include "ut_AgentRegistry.h"

namespace {

using KsxTest::ReadBytes;

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
           "</global_setting><feature_info id=\"1\" def_locale=\"EN-US\"><balloons><balloon id=\"11\"/>"
           "<balloon id=\"-12\"/></balloons></feature_info><feature_info id=\"2\" def_locale=\"EN-US\"><balloons>"
           "<balloon id=\"21\"/></balloons></feature_info></uifrmwrk_info>\n";
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

const wchar_t kScan[] = L"WDXNTMON_UI_MENU_SHELL_SCAN";
const wchar_t kGermanScan[] = L"Auf Sicherheitsrisiken pr\u00fcfen";
const wchar_t kEnglish[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan for security risks\r\n"
    L"ESC_N=one\\ntwo\r\nESC_BS=C:\\\\Temp\r\nESC_T=a\\tb\r\nESC_END=end\\\r\nESC_BSN=\\\\n\r\n"
    L"[Balloon_Title]\r\n11=Title eleven\r\n-12=Minus twelve\r\n21=Title\\ntwenty-one\r\n"
    L"[Balloon_Content]\r\n11=Body eleven\r\n21=Body twenty-one\r\n";
const wchar_t kGerman[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Auf Sicherheitsrisiken pr\u00fcfen\r\n"
    L"[Balloon_Title]\r\n11=Titel elf\r\n";
const wchar_t kJapanese[] = L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=\u691c\u7d22 \U0001F50D\r\n";

std::wstring Text(CProfileDocument& doc, const wchar_t* key, const wchar_t* section = L"STRING_TABLE")
{
    std::wstring value = L"marker";
    EXPECT_EQ(doc.GetL10nString(section, key, value), 1) << key;
    return value;
}

// The n-th balloon of the document, in document order.
const WDXNTMON_UI_BALLOON* Balloon(const CProfileDocument& doc, int n)
{
    const WDXNTMON_UI_DOCUMENT* d = doc.GetDocument();
    for (auto* f = d ? d->pFeatureList : nullptr; f; f = f->pNext)
        for (auto* b = f->pBalloonList; b; b = b->pNext)
            if (n-- == 0)
                return b;
    return nullptr;
}

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", m_install.Path());
        // A hosted agent reads its integration switches from the registry.
        m_registry.SetDword("HostedAgent", "Marker", 1);
        m_profile = m_install.WriteFile("www\\1600\\UIProfile.cfg", Profile(kProfileLists));
        m_pristine = m_install.WriteFile("www\\1600\\UIProfileOri.cfg", Profile(kProfileLists));
        m_global = WriteGlobal(Global());
        m_english = WriteTable("EN-US", kEnglish);
        WriteTable("DE-DE", kGerman);
        WriteTable("JA", kJapanese);
    }
    std::string WriteGlobal(const std::string& xml)
    {
        return m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml", xml);
    }
    std::string WriteTable(const std::string& lang, const std::wstring& text)
    {
        const std::wstring bytes = L"\xFEFF" + text;
        return m_install.WriteFile("www\\1600\\i18n\\" + lang + "\\UIStringTable.ini",
                                   std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size() * 2));
    }
    // Moves the file's last-write time `seconds` past what it is now.
    static void Age(const std::string& path, int seconds)
    {
        UTIL::CUniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        FILETIME t = {};
        ASSERT_TRUE(::GetFileTime(file.get(), nullptr, nullptr, &t));
        ULARGE_INTEGER v = {{t.dwLowDateTime, t.dwHighDateTime}};
        v.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
        t = {v.LowPart, v.HighPart};
        ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &t));
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
    std::string m_profile, m_pristine, m_global, m_english;
    CTestDocument m_doc;
};

// --- texts and reloads ---

TEST_F(DocumentTest, TextsComeFromTheCurrentLanguageWithEscapesUndone)
{
    Initialize();
    const struct {
        const wchar_t* lang;
        const wchar_t* key;
        const wchar_t* text;
        const wchar_t* section;
    } rows[] = {
        {L"EN-US", kScan, L"Scan for security risks", L"STRING_TABLE"},
        {L"EN-US", L"ESC_N", L"one\ntwo", L"STRING_TABLE"},
        {L"EN-US", L"ESC_BS", L"C:\\Temp", L"STRING_TABLE"},
        {L"EN-US", L"ESC_T", L"a\\tb", L"STRING_TABLE"},
        {L"EN-US", L"ESC_END", L"end\\", L"STRING_TABLE"},
        {L"EN-US", L"ESC_BSN", L"\\n", L"STRING_TABLE"},
        {L"EN-US", L"NO_SUCH_KEY", L"", L"STRING_TABLE"},
        {L"EN-US", kScan, L"", L"NO_SUCH_SECTION"},
        {L"DE-DE", kScan, kGermanScan, L"STRING_TABLE"},
        {L"JA", kScan, L"\u691c\u7d22 \U0001F50D", L"STRING_TABLE"},
        {L"FR-FR", kScan, L"", L"STRING_TABLE"},  // no fall-back to English
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.lang << " " << row.key);
        m_doc.SetLang(row.lang, nullptr);
        EXPECT_EQ(Text(m_doc, row.key, row.section), row.text);
    }

    // Balloons got their texts when the profile was read; a key missing from
    // a section leaves that text empty. They follow a switch at the next reload.
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Title eleven");
    EXPECT_STREQ(Balloon(m_doc, 0)->wszContent, L"Body eleven");
    EXPECT_STREQ(Balloon(m_doc, 1)->wszTitle, L"Minus twelve");
    EXPECT_STREQ(Balloon(m_doc, 1)->wszContent, L"");
    EXPECT_STREQ(Balloon(m_doc, 2)->wszTitle, L"Title\ntwenty-one");
    m_doc.SetLang(L"DE-DE", nullptr);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Titel elf");
    EXPECT_STREQ(Balloon(m_doc, 0)->wszContent, L"");
}

TEST_F(DocumentTest, NothingIsReadBeforeInitialisationWhichIsRetriedUntilTheProfileParses)
{
    std::wstring value = L"marker";
    EXPECT_EQ(m_doc.GetL10nString(L"STRING_TABLE", kScan, value), 0);
    EXPECT_EQ(value, L"marker");
    EXPECT_EQ(m_doc.Reload(0), 0);
    EXPECT_EQ(m_doc.SyncLang(0), 0);

    ASSERT_TRUE(::DeleteFileA(m_profile.c_str()));
    ASSERT_TRUE(::DeleteFileA(m_pristine.c_str()));
    m_doc.EnsureInitialized();
    EXPECT_FALSE(m_doc.IsInitialized());
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info>");
    m_doc.EnsureInitialized();
    EXPECT_FALSE(m_doc.IsInitialized());
    m_install.WriteFile("www\\1600\\UIProfile.cfg", Profile(kProfileLists));
    Initialize();
    EXPECT_EQ(Text(m_doc, kScan), L"Scan for security risks");
}

TEST_F(DocumentTest, ApplicationPathEndsInOneBackslashAndIsReadOnce)
{
    std::wstring path = L"marker";
    const std::wstring expected = KsxTest::Wide(m_install.Path());
    EXPECT_EQ(CTestDocument().GetAppPath(path), 1);
    EXPECT_EQ(path, expected);
    m_registry.SetString("", "Application Path", m_install.Path().substr(0, m_install.Path().size() - 1));
    CTestDocument doc;
    EXPECT_EQ(doc.GetAppPath(path), 1);
    EXPECT_EQ(path, expected);
    m_registry.SetString("", "Application Path", "C:\\elsewhere\\");
    EXPECT_EQ(doc.GetAppPath(path), 1);
    EXPECT_EQ(path, expected);
    for (int bad = 0; bad < 3; ++bad) {
        SCOPED_TRACE(bad);
        m_registry.DeleteValue("", "Application Path");
        if (bad == 1)
            m_registry.SetDword("", "Application Path", 7);
        if (bad == 2)
            m_registry.SetString("", "Application Path", "");
        path = L"marker";
        EXPECT_EQ(CTestDocument().GetAppPath(path), 0);
        EXPECT_EQ(path, L"");
    }
}

TEST_F(DocumentTest, ReloadParsesOnlyANewerProfileOrTableAndReappliesTexts)
{
    Initialize();
    // A mark in the loaded records survives a reload of an unchanged file.
    const_cast<WDXNTMON_UI_BALLOON*>(Balloon(m_doc, 0))->nTimeout = 4242;
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_EQ(Balloon(m_doc, 0)->nTimeout, 4242);

    std::string edited = Profile(kProfileLists);
    edited.replace(edited.find("<balloon id=\"21\"/>"), 0, "<balloon id=\"11\" timeout=\"3\"/>");
    m_install.WriteFile("www\\1600\\UIProfile.cfg", edited);
    Age(m_profile, 10);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_EQ(Balloon(m_doc, 0)->nTimeout, 0);
    // Every feature's balloons get their texts again, not only the first's.
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Title eleven");
    EXPECT_STREQ(Balloon(m_doc, 2)->wszTitle, L"Title eleven");
    EXPECT_EQ(Balloon(m_doc, 2)->nTimeout, 3);
    EXPECT_STREQ(Balloon(m_doc, 3)->wszTitle, L"Title\ntwenty-one");

    std::wstring table = kEnglish;
    table.replace(table.find(L"Title eleven"), 12, L"Eleven, edited");
    WriteTable("EN-US", table);
    Age(m_english, 10);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Eleven, edited");
    EXPECT_STREQ(Balloon(m_doc, 3)->wszTitle, L"Title\ntwenty-one");
}

TEST_F(DocumentTest, ABrokenNewerProfileKeepsTheLoadedOneUntilItParses)
{
    Initialize();
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info id=\"9\">");
    Age(m_profile, 10);
    EXPECT_EQ(m_doc.Reload(0), 0);
    ASSERT_NE(Balloon(m_doc, 0), nullptr);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Title eleven");
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info id=\"9\"/></uifrmwrk_info>");
    Age(m_profile, 20);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_EQ(m_doc.GetDocument()->pFeatureList->nId, 9);
    EXPECT_EQ(Balloon(m_doc, 0), nullptr);
}

TEST_F(DocumentTest, LanguageSwitchesRaceLookupsSafely)
{
    Initialize();
    std::atomic<bool> stop{false};
    std::thread switcher([&] {
        for (int i = 0; !stop; ++i)
            m_doc.SetLang(i % 2 ? L"DE-DE" : L"EN-US", nullptr);
    });
    std::vector<std::thread> readers;
    std::atomic<int> odd{0};
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                const std::wstring text = Text(m_doc, kScan);
                odd += text != L"Scan for security risks" && text != kGermanScan;
            }
        });
    for (auto& r : readers)
        r.join();
    stop = true;
    switcher.join();
    EXPECT_EQ(odd, 0);
}

TEST_F(DocumentTest, GetInstanceInitialisesOnceForTheProcess)
{
    CProfileDocument* doc = CProfileDocument::GetInstance();
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->IsInitialized());
    EXPECT_EQ(doc->SyncLang(0), 0);  // the language is already set
    EXPECT_EQ(CProfileDocument::GetInstance(), doc);
    EXPECT_EQ(Text(*doc, kScan), L"Scan for security risks");
}

// The string tables of the simulated installation hold every text the
// profile asks for, in each language, read through the profile API.
TEST(ShippedStringTableTest, EveryLanguageHasTheMenuTextAndEveryBalloon)
{
    KsxTest::CTempFolder install;
    std::string from = std::string("Z:") + KSX_SOURCE_DIR + "/agent/install/www/1600/";
    std::replace(from.begin(), from.end(), '/', '\\');
    for (const char* file :
         {"UIProfile.cfg", "UIProfileOri.cfg", "Global_Ui_Setting.xml", "i18n\\EN-US\\UIStringTable.ini",
          "i18n\\DE-DE\\UIStringTable.ini", "i18n\\JA\\UIStringTable.ini"}) {
        const std::string to = install.WriteFile(std::string("www\\1600\\") + file, "");
        ASSERT_TRUE(::CopyFileA((from + file).c_str(), to.c_str(), FALSE)) << file;
    }
    KsxTest::CAgentRegistry registry;
    registry.SetString("", "Application Path", install.Path());
    CTestDocument doc;
    doc.EnsureInitialized();
    ASSERT_TRUE(doc.IsInitialized());
    // The profile took the global settings' lists, which hold both; the
    // pristine copy parses as the profile does.
    EXPECT_STREQ(doc.GetDocument()->pGlobalSetting->szSupportedLang[2], "JA");
    TiXmlDocument global;
    ASSERT_TRUE(TiXmlLoadFile(global, KsxTest::Wide(install.Path() + "www\\1600\\Global_Ui_Setting.xml").c_str()));
    EXPECT_NE(TiXmlHandle(&global).FirstChild("global_setting").FirstChild("locale_mapping_list").ToElement(), nullptr);
    WDXNTMON_UI_DOCUMENT* pristine = nullptr;
    ASSERT_EQ(WDXNTMON_UI_Deserialize(&pristine, KsxTest::Wide(install.Path() + "www\\1600\\UIProfileOri.cfg").c_str()),
              1);
    const WDXNTMON_UI_DOCUMENT* const parsed[] = {doc.GetDocument(), pristine};
    for (const WDXNTMON_UI_DOCUMENT* d : parsed) {
        ASSERT_TRUE(d && d->pGlobalSetting);
        EXPECT_STREQ(d->pGlobalSetting->szSupportedLang[0], "EN-US");
        int features = 0, balloons = 0;
        for (auto* f = d->pFeatureList; f; f = f->pNext, ++features)
            for (auto* b = f->pBalloonList; b; b = b->pNext)
                ++balloons;
        EXPECT_GE(features, 3);
        EXPECT_GE(balloons, 6);
    }
    WDXNTMON_UI_DestroyDocument(&pristine);
    const std::pair<const wchar_t*, const wchar_t*> menu[] = {
        {L"EN-US", L"Scan for security risks"},
        {L"DE-DE", kGermanScan},
        {L"JA", L"\u30bb\u30ad\u30e5\u30ea\u30c6\u30a3\u30ea\u30b9\u30af\u306e\u691c\u7d22"},
    };
    for (const auto& [lang, text] : menu) {
        SCOPED_TRACE(testing::Message() << lang);
        doc.SetLang(lang, nullptr);
        EXPECT_EQ(Text(doc, kScan), text);
        ASSERT_EQ(doc.Reload(0), 1);
        int balloons = 0, multiline = 0;
        for (const WDXNTMON_UI_BALLOON* b = Balloon(doc, 0); b; b = Balloon(doc, ++balloons)) {
            EXPECT_NE(b->wszTitle[0], L'\0') << b->nId;
            EXPECT_NE(b->wszContent[0], L'\0') << b->nId;
            multiline += wcschr(b->wszContent, L'\n') != nullptr;
        }
        EXPECT_GE(balloons, 6);
        EXPECT_GE(multiline, 3);
    }
}

// --- the language decision ---

TEST_F(DocumentTest, ManualLanguageWinsOnlyWhileSwitchingIsEnabled)
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
    EXPECT_EQ(Text(m_doc, kScan), kGermanScan);

    // Switched off: "Lang" is ignored and the display language decides.
    Settings(1, 0, "FR-FR");
    EXPECT_EQ(m_doc.SyncLang(0), 0);
    LCID lcid = 0;
    EXPECT_EQ(Lang(&lcid), L"DE-DE");
    EXPECT_EQ(lcid, 0x0407u);
}

TEST_F(DocumentTest, HandSetLanguageIsBoundedAndMustBeATag)
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

TEST_F(DocumentTest, DisplayModesOneAndThreeFollowTheDisplayLanguage)
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

TEST_F(DocumentTest, DisplayModeZeroUsesTheDefaultsOnly)
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

TEST_F(DocumentTest, SupportedLanguagesAreTheProfilesThatTheSystemHasInstalled)
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

// Without a declaration TinyXML would read the reference as the one byte
// 0xE9, save it so, and the next parse would refuse the profile.
TEST_F(DocumentTest, RegistrationPutsTheGlobalListsAfterTheProfilesOwnSettingsReadAsUtf8)
{
    const std::string profile = Profile(std::string("<theme name=\"caf&#xE9;\"/>") + kProfileLists);
    m_install.WriteFile("www\\1600\\UIProfile.cfg", profile.substr(profile.find("<uifrmwrk_info>")));
    EXPECT_EQ(m_doc.RegUiProfileAction(), 1);
    EXPECT_NE(ReadBytes(m_profile).find("caf\xC3\xA9\""), std::string::npos);
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

TEST_F(DocumentTest, RegistrationNeedsAReadableGlobalSettingsFile)
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

TEST_F(DocumentTest, EveryRetryRestoresThePristineCopyFirst)
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

TEST_F(DocumentTest, AProfileThatCannotBeReplacedStaysIntactAndRegistrationHolds)
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
TEST_F(DocumentTest, RecordsOfTheDocumentNameItsSourceFile)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    Settings(1, 1, "DE-DE");
    Initialize();
    Text(m_doc, kScan);
    for (const wchar_t* member : {L"SyncLang", L"SetLang", L"GetInstance", L"GetL10nString"})
        EXPECT_TRUE(capture.WaitForText(std::wstring(L"]CProfileDocument::") + member + L" - ")) << member;
    for (const auto& r : capture.Records())
        EXPECT_TRUE(r.text.find(L"]CProfileDocument::") == std::wstring::npos ||
                    r.file == L"src/Client/libCvMultiLang/libCvProfileDocument.cpp")
            << r.text;
}

}  // namespace
