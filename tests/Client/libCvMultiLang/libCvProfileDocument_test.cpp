#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <thread>
#include <vector>

#include "libCvProfileDocument.h"
#include "test_support.h"

namespace {

// A document of its own per test; GetInstance's is the process's.
class CTestDocument : public CProfileDocument {
public:
    using CProfileDocument::EnsureInitialized;
};

std::string Utf16File(const std::wstring& text)
{
    std::string out = "\xFF\xFE";
    out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return out;
}

const char kProfile[] =
    "<?xml version=\"1.0\"?><uifrmwrk_info><global_setting>"
    "<supported_lang def_lcid=\"1033\" def_locale=\"EN-US\"><lang>EN-US</lang><lang>DE-DE</lang></supported_lang>"
    "<locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\"/></locale_mapping_list>"
    "</global_setting>"
    "<feature_info id=\"1\" def_locale=\"EN-US\"><balloons><balloon id=\"11\"/><balloon id=\"-12\"/></balloons>"
    "</feature_info>"
    "<feature_info id=\"2\" def_locale=\"EN-US\"><balloons><balloon id=\"21\"/></balloons></feature_info>"
    "</uifrmwrk_info>";

// Merged into the profile when the document registers.
const char kGlobalSettings[] =
    "<global_setting><supported_lang def_locale=\"en\"><lang>EN-US</lang><lang>DE-DE</lang></supported_lang>"
    "<locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\"/></locale_mapping_list>"
    "</global_setting>";

const wchar_t kEnglish[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan for security risks\r\n"
    L"ESC_N=one\\ntwo\r\nESC_BS=C:\\\\Temp\r\nESC_T=a\\tb\r\nESC_END=end\\\r\nESC_BSN=\\\\n\r\n"
    L"[Balloon_Title]\r\n11=Title eleven\r\n-12=Minus twelve\r\n21=Title\\ntwenty-one\r\n"
    L"[Balloon_Content]\r\n11=Body eleven\r\n21=Body twenty-one\r\n";

const wchar_t kGerman[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Auf Sicherheitsrisiken pr\u00fcfen\r\n"
    L"[Balloon_Title]\r\n11=Titel elf\r\n";

const wchar_t kJapanese[] = L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=\u691c\u7d22 \U0001F50D\r\n";

std::wstring Text(CProfileDocument& doc, const wchar_t* key, int* result = nullptr)
{
    std::wstring value = L"marker";
    const int r = doc.GetL10nString(L"STRING_TABLE", key, value);
    if (result)
        *result = r;
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

class ProfileDocumentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", m_install.Path());
        m_profile = m_install.WriteFile("www\\1600\\UIProfile.cfg", kProfile);
        m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml", kGlobalSettings);
        m_english = WriteTable("EN-US", kEnglish);
        WriteTable("DE-DE", kGerman);
        WriteTable("JA", kJapanese);
    }
    std::string WriteTable(const std::string& lang, const std::wstring& text)
    {
        return m_install.WriteFile("www\\1600\\i18n\\" + lang + "\\UIStringTable.ini", Utf16File(text));
    }
    // Moves the file's last-write time `seconds` past what it is now.
    static void Age(const std::string& path, int seconds)
    {
        UTIL::CUniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        FILETIME t = {};
        ASSERT_TRUE(::GetFileTime(file.get(), nullptr, nullptr, &t));
        ULARGE_INTEGER v = {{t.dwLowDateTime, t.dwHighDateTime}};
        v.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
        t = {v.LowPart, v.HighPart};
        ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &t));
    }
    void Initialize()
    {
        m_doc.EnsureInitialized();
        ASSERT_TRUE(m_doc.IsInitialized());
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_install;
    std::string m_profile, m_english;
    CTestDocument m_doc;
};

TEST_F(ProfileDocumentTest, ReadsTextsOfTheLanguageWithEscapesUndone)
{
    Initialize();
    int result = 0;
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN", &result), L"Scan for security risks");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(Text(m_doc, L"ESC_N"), L"one\ntwo");
    EXPECT_EQ(Text(m_doc, L"ESC_BS"), L"C:\\Temp");
    EXPECT_EQ(Text(m_doc, L"ESC_T"), L"a\\tb");
    EXPECT_EQ(Text(m_doc, L"ESC_END"), L"end\\");
    EXPECT_EQ(Text(m_doc, L"ESC_BSN"), L"\\n");
    // Balloons got their texts when the profile was read; a key missing from
    // a section leaves that text empty.
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Title eleven");
    EXPECT_STREQ(Balloon(m_doc, 0)->wszContent, L"Body eleven");
    EXPECT_STREQ(Balloon(m_doc, 1)->wszTitle, L"Minus twelve");
    EXPECT_STREQ(Balloon(m_doc, 1)->wszContent, L"");
    EXPECT_STREQ(Balloon(m_doc, 2)->wszTitle, L"Title\ntwenty-one");
}

TEST_F(ProfileDocumentTest, MissingKeyTableOrLanguageGivesAnEmptyTextAndOne)
{
    Initialize();
    int result = 0;
    EXPECT_EQ(Text(m_doc, L"NO_SUCH_KEY", &result), L"");
    EXPECT_EQ(result, 1);
    std::wstring value = L"marker";
    EXPECT_EQ(m_doc.GetL10nString(L"NO_SUCH_SECTION", L"WDXNTMON_UI_MENU_SHELL_SCAN", value), 1);
    EXPECT_EQ(value, L"");
    // No fall-back to English for a language without a folder.
    m_doc.SetLang(L"FR-FR", nullptr);
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN", &result), L"");
    EXPECT_EQ(result, 1);
    ASSERT_TRUE(::DeleteFileA(m_english.c_str()));
    m_doc.SetLang(L"EN-US", nullptr);
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN", &result), L"");
    EXPECT_EQ(result, 1);
}

TEST_F(ProfileDocumentTest, ALanguageSwitchIsReadAtTheNextLookup)
{
    Initialize();
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN"), L"Scan for security risks");
    m_doc.SetLang(L"DE-DE", nullptr);
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN"), L"Auf Sicherheitsrisiken pr\u00fcfen");
    m_doc.SetLang(L"JA", nullptr);
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN"), L"\u691c\u7d22 \U0001F50D");
    // The balloons follow at the next reload.
    m_doc.SetLang(L"DE-DE", nullptr);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Titel elf");
    EXPECT_STREQ(Balloon(m_doc, 0)->wszContent, L"");
}

TEST_F(ProfileDocumentTest, NothingIsReadBeforeInitialisation)
{
    std::wstring value = L"marker";
    EXPECT_EQ(m_doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", value), 0);
    EXPECT_EQ(value, L"marker");
    EXPECT_EQ(m_doc.Reload(0), 0);
    EXPECT_EQ(m_doc.SyncLang(0), 0);
}

TEST_F(ProfileDocumentTest, InitialisationIsRetriedUntilTheProfileParses)
{
    ASSERT_TRUE(::DeleteFileA(m_profile.c_str()));
    m_doc.EnsureInitialized();
    EXPECT_FALSE(m_doc.IsInitialized());
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info>");
    m_doc.EnsureInitialized();
    EXPECT_FALSE(m_doc.IsInitialized());
    m_install.WriteFile("www\\1600\\UIProfile.cfg", kProfile);
    Initialize();
    EXPECT_EQ(Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN"), L"Scan for security risks");
}

TEST_F(ProfileDocumentTest, ApplicationPathEndsInOneBackslash)
{
    std::wstring path = L"marker";
    const std::wstring expected(m_install.Path().begin(), m_install.Path().end());
    {
        CTestDocument doc;
        EXPECT_EQ(doc.GetAppPath(path), 1);
        EXPECT_EQ(path, expected);
    }
    std::string bare = m_install.Path();
    bare.pop_back();
    m_registry.SetString("", "Application Path", bare);
    {
        CTestDocument doc;
        EXPECT_EQ(doc.GetAppPath(path), 1);
        EXPECT_EQ(path, expected);
        // Read once: later registry changes are not seen.
        m_registry.SetString("", "Application Path", "C:\\elsewhere\\");
        EXPECT_EQ(doc.GetAppPath(path), 1);
        EXPECT_EQ(path, expected);
    }
    for (int bad = 0; bad < 3; ++bad) {
        SCOPED_TRACE(bad);
        m_registry.DeleteValue("", "Application Path");
        if (bad == 1)
            m_registry.SetDword("", "Application Path", 7);
        if (bad == 2)
            m_registry.SetString("", "Application Path", "");
        CTestDocument doc;
        path = L"marker";
        EXPECT_EQ(doc.GetAppPath(path), 0);
        EXPECT_EQ(path, L"");
    }
}

TEST_F(ProfileDocumentTest, ReloadParsesOnlyANewerProfileAndReappliesTexts)
{
    Initialize();
    // A mark in the loaded records survives a reload of an unchanged file.
    const_cast<WDXNTMON_UI_BALLOON*>(Balloon(m_doc, 0))->nTimeout = 4242;
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_EQ(Balloon(m_doc, 0)->nTimeout, 4242);

    std::string edited = kProfile;
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
}

TEST_F(ProfileDocumentTest, ANewerStringTableIsAppliedAgain)
{
    Initialize();
    std::wstring table = kEnglish;
    table.replace(table.find(L"Title eleven"), 12, L"Eleven, edited");
    WriteTable("EN-US", table);
    Age(m_english, 10);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Eleven, edited");
    EXPECT_STREQ(Balloon(m_doc, 2)->wszTitle, L"Title\ntwenty-one");
}

TEST_F(ProfileDocumentTest, ABrokenNewerProfileKeepsTheLoadedOne)
{
    Initialize();
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info id=\"9\">");
    Age(m_profile, 10);
    EXPECT_EQ(m_doc.Reload(0), 0);
    ASSERT_NE(Balloon(m_doc, 0), nullptr);
    EXPECT_STREQ(Balloon(m_doc, 0)->wszTitle, L"Title eleven");
    // Tried again at the next reload, and taken once it parses.
    m_install.WriteFile("www\\1600\\UIProfile.cfg", "<uifrmwrk_info><feature_info id=\"9\"/></uifrmwrk_info>");
    Age(m_profile, 20);
    EXPECT_EQ(m_doc.Reload(0), 1);
    EXPECT_EQ(m_doc.GetDocument()->pFeatureList->nId, 9);
    EXPECT_EQ(Balloon(m_doc, 0), nullptr);
}

TEST_F(ProfileDocumentTest, LanguageSwitchesRaceLookupsSafely)
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
                const std::wstring text = Text(m_doc, L"WDXNTMON_UI_MENU_SHELL_SCAN");
                if (text != L"Scan for security risks" && text != L"Auf Sicherheitsrisiken pr\u00fcfen")
                    ++odd;
            }
        });
    for (auto& r : readers)
        r.join();
    stop = true;
    switcher.join();
    EXPECT_EQ(odd, 0);
}

TEST_F(ProfileDocumentTest, GetInstanceInitialisesOnceForTheProcess)
{
    CProfileDocument* doc = CProfileDocument::GetInstance();
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(doc->IsInitialized());
    EXPECT_EQ(doc->SyncLang(0), 0);  // the language is already set
    EXPECT_EQ(CProfileDocument::GetInstance(), doc);
    std::wstring text;
    EXPECT_EQ(doc->GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text), 1);
    EXPECT_EQ(text, L"Scan for security risks");
}

// A copy of the simulated installation's language files: registration
// rewrites the profile.
void CopyShippedInstallation(const KsxTest::CTempFolder& install)
{
    std::string from = std::string("Z:") + KSX_SOURCE_DIR + "/agent/install/www/1600/";
    for (auto& c : from)
        if (c == '/')
            c = '\\';
    for (const char* file :
         {"UIProfile.cfg", "UIProfileOri.cfg", "Global_Ui_Setting.xml", "i18n\\EN-US\\UIStringTable.ini",
          "i18n\\DE-DE\\UIStringTable.ini", "i18n\\JA\\UIStringTable.ini"}) {
        const std::string to = install.WriteFile(std::string("www\\1600\\") + file, "");
        ASSERT_TRUE(::CopyFileA((from + file).c_str(), to.c_str(), FALSE)) << file;
    }
}

// The string tables of the simulated installation hold every text the
// profile asks for, in each language, read through the profile API.
TEST(ShippedStringTableTest, EveryLanguageHasTheMenuTextAndEveryBalloon)
{
    KsxTest::CTempFolder install;
    CopyShippedInstallation(install);
    KsxTest::CAgentRegistry registry;
    registry.SetString("", "Application Path", install.Path());
    CTestDocument doc;
    doc.EnsureInitialized();
    ASSERT_TRUE(doc.IsInitialized());
    // The profile took the global settings' lists.
    EXPECT_STREQ(doc.GetDocument()->pGlobalSetting->szSupportedLang[2], "JA");
    const std::pair<const wchar_t*, const wchar_t*> menu[] = {
        {L"EN-US", L"Scan for security risks"},
        {L"DE-DE", L"Auf Sicherheitsrisiken pr\u00fcfen"},
        {L"JA", L"\u30bb\u30ad\u30e5\u30ea\u30c6\u30a3\u30ea\u30b9\u30af\u306e\u691c\u7d22"},
    };
    for (const auto& [lang, text] : menu) {
        SCOPED_TRACE(testing::Message() << lang);
        doc.SetLang(lang, nullptr);
        EXPECT_EQ(Text(doc, L"WDXNTMON_UI_MENU_SHELL_SCAN"), text);
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

}  // namespace
