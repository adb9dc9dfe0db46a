// Hostile text input: UI profiles, the global settings merged into them, the
// string tables, and the agent's registry values of every wrong type and size.
#include <algorithm>
#include <cstring>
#include <cwctype>

#include "UIProfileAPI.h"
#include "cntts_CtxMenu.h"
#include "libCvMultiLang.h"
#include "libCvProfileDocument.h"
#include "MultiPleSignCheck.h"
#include "mutation.h"
#include "test_support.h"

using namespace Mutation;
using KsxTest::Wide;

namespace {

const char kProfile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
    "<uifrmwrk_info>\n"
    " <global_setting>\n"
    "  <supported_lang def_lcid=\"1033\" def_locale=\"EN-US\"><lang>EN-US</lang><lang>DE-DE</lang>"
    "<lang>JA</lang></supported_lang>\n"
    "  <locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\" />"
    "<locale_mapping LCID=\"1041\" LOCALE_NAME=\"JA\" /></locale_mapping_list>\n"
    " </global_setting>\n"
    " <feature_info id=\"1\" def_locale=\"EN-US\"><balloons>"
    "<balloon id=\"11\" icon_id=\"3\" timeout=\"15\" enabled=\"1\" />"
    "<balloon id=\"-12\" icon_id=\"2\" timeout=\"10\" enabled=\"0\" /></balloons></feature_info>\n"
    " <feature_info id=\"2\" def_locale=\"EN-US\"><balloons><balloon id=\"21\" /></balloons></feature_info>\n"
    "</uifrmwrk_info>\n";

const char kGlobalSettings[] =
    "<global_setting><supported_lang def_locale=\"en\"><lang>EN-US</lang><lang>DE-DE</lang></supported_lang>"
    "<locale_mapping_list><locale_mapping LCID=\"1033\" LOCALE_NAME=\"EN-US\"/>"
    "<locale_mapping LCID=\"1031\" LOCALE_NAME=\"DE-DE\"/></locale_mapping_list></global_setting>";

const wchar_t kEnglish[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan for security risks\r\nESC_N=one\\ntwo\r\n"
    L"[Balloon_Title]\r\n11=Title eleven\r\n-12=Minus twelve\r\n21=Title\\ntwenty-one\r\n"
    L"[Balloon_Content]\r\n11=Body eleven\r\n21=Body twenty-one\r\n";

// XML-specific damage on top of the byte mutations: deep nesting, huge
// values, odd encodings.
std::string MutateXml(CMutator& m, const std::string& xml, int op)
{
    const size_t at = m.Pick(xml.size() + 1);
    std::string s = xml;
    switch (op) {
    case 0: {
        const char* tags[] = {"<feature_info>", "<balloons>", "<x>", "<uifrmwrk_info>", "<global_setting>"};
        std::string deep;
        for (size_t i = 0, n = 10 + m.Pick(60000); i < n; ++i)
            deep += tags[m.Pick(5)];
        return s.insert(at, deep);
    }
    case 1: {
        const std::string big(1000 + m.Pick(200000), static_cast<char>('A' + m.Pick(26)));
        const char* what = m.Pick(2) ? "EN-US" : "\"11\"";
        const size_t pos = s.find(what);
        return pos == std::string::npos ? s : s.replace(pos, strlen(what), big);
    }
    case 2: {
        std::string u16 = "\xFF\xFE";
        for (char c : s)
            u16 += std::string(1, c) + '\0';
        return u16;
    }
    case 3:
        return "\xEF\xBB\xBF" + s.insert(at, "\x82\xA0\x83\x41\xE3");
    default:
        return m.Mutate(s, op - 4);
    }
}
constexpr int kXmlOps = 4 + CMutator::kOps;

template <typename C, size_t N>
bool Terminated(const C (&field)[N])
{
    return std::find(field, field + N, C()) != field + N;
}

// Every text ends inside its field and every list ends (a profile without
// its root element gives no document).
void ExpectWellFormed(const WDXNTMON_UI_DOCUMENT* doc)
{
    if (!doc)
        return;
    size_t n = 0;
    if (const WDXNTMON_UI_GLOBAL_SETTING* gs = doc->pGlobalSetting) {
        for (const auto& lang : gs->szSupportedLang)
            EXPECT_TRUE(Terminated(lang));
        EXPECT_TRUE(Terminated(gs->szDefLocale));
        for (auto* m = gs->pLocaleMappingList; m && n < 1000000; m = m->pNext, ++n)
            EXPECT_TRUE(Terminated(m->szLocaleName));
    }
    for (auto* f = doc->pFeatureList; f && n < 1000000; f = f->pNext, ++n) {
        EXPECT_TRUE(Terminated(f->szDefLocale));
        for (auto* b = f->pBalloonList; b && n < 1000000; b = b->pNext, ++n)
            EXPECT_TRUE(Terminated(b->wszTitle) && Terminated(b->wszContent));
    }
    EXPECT_LT(n, 1000000u);
}

// Parses `path`: 0 leaves the slot empty, 1 gives a well-formed document.
int ParseChecked(const std::wstring& path)
{
    WDXNTMON_UI_DOCUMENT* doc = nullptr;
    const int result = WDXNTMON_UI_Deserialize(&doc, path.c_str());
    EXPECT_TRUE(result == 0 || result == 1);
    if (result == 1) {
        ExpectWellFormed(doc);
        EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&doc), 1);
    }
    EXPECT_EQ(doc, nullptr);
    return result;
}

class CTestDocument : public CProfileDocument {
public:
    using CProfileDocument::EnsureInitialized;
};

// Moves the file's last-write time `seconds` on, so a reload takes it.
void Age(const std::string& path, int seconds)
{
    UTIL::CUniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    FILETIME t = {};
    ASSERT_TRUE(file && ::GetFileTime(file.get(), nullptr, nullptr, &t));
    ULARGE_INTEGER v = {{t.dwLowDateTime, t.dwHighDateTime}};
    v.QuadPart += static_cast<ULONGLONG>(seconds) * 10000000ULL;
    t = {v.LowPart, v.HighPart};
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &t));
}

class TextMutationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", m_install.Path());
        m_profile = m_install.WriteFile("www\\1600\\UIProfile.cfg", kProfile);
        m_install.WriteFile("www\\1600\\UIProfileOri.cfg", kProfile);
        m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml", kGlobalSettings);
        m_english = m_install.WriteFile("www\\1600\\i18n\\EN-US\\UIStringTable.ini", "\xFF\xFE" + Utf16(kEnglish));
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_install;
    std::string m_profile, m_english;
};

TEST_F(TextMutationTest, HostileProfilesGiveNothingOrAWellFormedDocument)
{
    CArea area("UI profiles");
    int parsed = 0;
    for (unsigned seed : {1u, 7u, 42u, 1234u, 99991u}) {
        CMutator m(seed);
        for (int variant = 0; variant < 80; ++variant) {
            std::string xml = MutateXml(m, kProfile, variant % kXmlOps);
            if (m.Pick(4) == 0)
                xml = MutateXml(m, xml, static_cast<int>(m.Pick(kXmlOps)));
            area.Case("seed " + std::to_string(seed) + " variant " + std::to_string(variant), [&] {
                m_install.WriteFile("www\\1600\\UIProfile.cfg", xml);
                parsed += ParseChecked(Wide(m_profile));
            });
        }
    }
    // Both outcomes occur, so the variants reach past the loader.
    EXPECT_GT(parsed, 50);
    EXPECT_LT(parsed, area.Cases() - 50);
}

// The global settings' lists are copied into the profile: whatever they
// hold, the profile on disk still parses afterwards.
TEST_F(TextMutationTest, HostileGlobalSettingsNeverBreakTheProfile)
{
    CArea area("global settings");
    CMutator m(77);
    for (int variant = 0; variant < 150; ++variant) {
        const std::string xml = MutateXml(m, kGlobalSettings, variant % kXmlOps);
        area.Case("variant " + std::to_string(variant), [&] {
            m_install.WriteFile("www\\1600\\UIProfile.cfg", kProfile);
            m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml", xml);
            CTestDocument doc;
            const int merged = doc.RegUiProfileAction();
            EXPECT_TRUE(merged == 0 || merged == 1);
            EXPECT_EQ(ParseChecked(Wide(m_profile)), 1);
            if (variant % 5 == 0) {  // the whole document on top of it
                doc.EnsureInitialized();
                std::wstring text;
                doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text);
                std::wstring lang;
                doc.GetLang(lang, nullptr);
                EXPECT_LE(lang.size(), 99u);
            }
        });
    }
}

// What a user reads from a damaged string table: the text up to the damage,
// cut to the lookup's 519 characters and the balloon's 256, or nothing.
TEST_F(TextMutationTest, HostileStringTablesShowWhatTheyHoldOrNothing)
{
    CArea area("string tables");
    CTestDocument doc;
    doc.EnsureInitialized();
    ASSERT_TRUE(doc.IsInitialized());
    const std::wstring huge(100000, L'h');
    const std::wstring straddling = std::wstring(255, L'y') + L"\U0001F50D tail";  // the pair at 256 and 257
    const std::wstring narrow = kEnglish;
    struct CExact {
        const char* what;
        std::string file;
        std::wstring menu, title;
    } const exact[] = {
        {"cut inside the menu text", "\xFF\xFE" + Utf16(L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan f"),
         L"Scan f", L""},
        {"texts longer than their buffers",
         "\xFF\xFE" +
             Utf16(L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=" + huge + L"\r\n[Balloon_Title]\r\n11=" + huge),
         huge.substr(0, 519), huge.substr(0, 256)},
        {"a surrogate pair across the balloon's end", "\xFF\xFE" + Utf16(L"[Balloon_Title]\r\n11=" + straddling), L"",
         straddling.substr(0, 255)},
        {"an escape cut in two by the buffer",
         "\xFF\xFE" + Utf16(L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=" + std::wstring(518, L'e') + L"\\n"),
         std::wstring(518, L'e') + L"\\", L""},
        {"keys without values",
         "\xFF\xFE" + Utf16(L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN\r\n[Balloon_Title]\r\n11=\r\n"), L"", L""},
        {"no byte order mark", std::string(narrow.begin(), narrow.end()), L"Scan for security risks", L"Title eleven"},
    };
    int age = 0;
    auto check = [&](const std::string& file, const CExact* expected) {
        m_install.WriteFile("www\\1600\\i18n\\EN-US\\UIStringTable.ini", file);
        Age(m_english, age += 10);  // newer than the texts the balloons hold
        std::wstring menu = L"marker";
        EXPECT_EQ(doc.GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", menu), 1);
        EXPECT_LE(menu.size(), 519u);
        EXPECT_EQ(doc.Reload(0), 1);
        const WDXNTMON_UI_DOCUMENT* d = doc.GetDocument();
        ASSERT_TRUE(d && d->pFeatureList && d->pFeatureList->pBalloonList);
        ExpectWellFormed(d);
        const WDXNTMON_UI_BALLOON* first = d->pFeatureList->pBalloonList;
        if (expected) {
            EXPECT_EQ(menu, expected->menu);
            EXPECT_EQ(std::wstring(first->wszTitle), expected->title);
        }
    };
    for (const CExact& c : exact)
        area.Case(c.what, [&] { check(c.file, &c); });
    const std::string seed = "\xFF\xFE" + Utf16(kEnglish);
    for (unsigned s = 1; s <= 3; ++s) {
        CMutator m(2024 + s);
        for (int variant = 0; variant < 40; ++variant) {
            std::string file = m.Mutate(seed, variant);
            if (variant % 9 == 8)
                file = "\xFE\xFF" + file.substr(2);  // big-endian mark
            area.Case("seed " + std::to_string(s) + " variant " + std::to_string(variant),
                      [&] { check(file, nullptr); });
        }
    }
}

// Registry values of every wrong type and size, read by each reader of
// "Application Path", "Lang", "RCS" and the shim switch.
TEST_F(TextMutationTest, RegistryValuesOfEveryTypeAndSizeAreReadSafely)
{
    CArea area("registry values");
    m_registry.SetDword("HostedAgent", "Marker", 1);
    m_registry.SetDword("BrixIntegrationConfiguration", "EnableManualLanguageSwitch", 1);
    struct CShape {
        std::string what;
        DWORD type;
        std::string bytes;
    };
    std::vector<CShape> shapes = {
        {"DWORD 1", REG_DWORD, std::string("\x01\0\0\0", 4)},
        {"DWORD of 0 bytes", REG_DWORD, ""},
        {"DWORD of 3 bytes", REG_DWORD, std::string("\x01\0\0", 3)},
        {"QWORD", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8)},
        {"NONE", REG_NONE, ""},
        {"one byte", REG_SZ, "C"},
        {"odd byte count", REG_SZ, Utf16(L"C:\\abc").substr(0, 11)},
        {"NUL inside", REG_SZ, Utf16(std::wstring(L"C:\\a\0b\\", 7))},
        {"expandable", REG_EXPAND_SZ, Utf16(std::wstring(L"%TEMP%\\x\0", 9))},
        {"multi-string", REG_MULTI_SZ, Utf16(std::wstring(L"EN-US\0C:\\\0\0", 11))},
        {"multi-string unterminated", REG_MULTI_SZ, Utf16(L"DE-DE")},
        {"outside the ANSI code page", REG_SZ, Utf16(std::wstring(L"C:\\\u691c\u7d22\U0001F50D\\\0", 9))},
        {"a path upward", REG_SZ, Utf16(std::wstring(L"..\\..\\..\\Temp\0", 14))},
    };
    for (const size_t chars : {29, 30, 31, 259, 260, 261, 519, 520, 521, 1300, 2600, 70000})
        for (const bool terminated : {false, true})
            shapes.push_back({std::to_string(chars) + " characters" + (terminated ? "" : " unterminated"), REG_SZ,
                              Utf16(L"C:\\" + std::wstring(chars - 3, L'd')) + std::string(terminated ? 2 : 0, '\0')});
    CMutator m(5150);
    const DWORD types[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_NONE};
    for (int i = 0; i < 12; ++i)
        shapes.push_back({"random " + std::to_string(i), types[m.Pick(6)], m.Random(m.Pick(600))});

    for (const CShape& shape : shapes) {
        const DWORD size = static_cast<DWORD>(shape.bytes.size());
        m_registry.SetRaw("", L"Application Path", shape.type, shape.bytes.data(), size);
        for (const wchar_t* name : {L"Lang", L"RCS", L"EnableShimValidation", L"ClientUIDisplayMode"})
            m_registry.SetRaw("Misc.", name, shape.type, shape.bytes.data(), size);
        // What a 4-byte read gives: the bytes zero-extended, or nothing when longer.
        DWORD number = 0;
        if (shape.bytes.size() <= 4)
            memcpy(&number, shape.bytes.data(), shape.bytes.size());
        area.Case(shape.what + ", the document's Application Path", [&] {
            CTestDocument doc;
            std::wstring path = L"marker";
            if (doc.GetAppPath(path)) {
                EXPECT_TRUE(!path.empty() && path.size() <= 261 && path.back() == L'\\');
                EXPECT_EQ(path.find(L'\0'), std::wstring::npos);
            } else {
                EXPECT_EQ(path, L"");
            }
        });
        area.Case(shape.what + ", the menu's Application Path", [&] {
            const std::string folder = KsxShell::ReadAgentInstallFolder(KsxShell::CShellExt::kInstallFolderSize);
            EXPECT_LT(folder.size(), static_cast<size_t>(KsxShell::CShellExt::kInstallFolderSize));
            EXPECT_EQ(folder.find('\0'), std::string::npos);
        });
        area.Case(shape.what + ", the resource library's language", [&] { EXPECT_EQ(GetProductLangIdW(nullptr), 0); });
        area.Case(shape.what + ", the hand-set Lang", [&] {
            CTestDocument doc;
            doc.SyncLang(1);
            std::wstring lang;
            doc.GetLang(lang, nullptr);
            EXPECT_LE(lang.size(), 29u);
            for (wchar_t c : lang)
                EXPECT_TRUE((c < 0x80 && iswalnum(c)) || c == L'-' || c == L'_') << static_cast<int>(c);
        });
        area.Case(shape.what + ", RCS and the shim switch", [&] {
            // Read through the ANSI API, which converts the text types first.
            const DWORD rcs = KsxShell::ReadAgentFlag(KsxShell::OpenAgentSubKey("Misc."), "RCS");
            if (shape.type != REG_SZ && shape.type != REG_EXPAND_SZ && shape.type != REG_MULTI_SZ) {
                EXPECT_EQ(rcs, number);
            }
            EXPECT_EQ(IsShimValidationEnabled(), shape.bytes.size() <= 4 && number == 1 ? 1 : 0);
        });
    }
}

}  // namespace
