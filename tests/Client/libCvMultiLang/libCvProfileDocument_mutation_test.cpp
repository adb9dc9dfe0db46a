// Hostile string tables from fixed seeds: lookups and balloon texts stay
// within their buffers, whatever the file holds.
#include <gtest/gtest.h>

#include <cwchar>
#include <random>

#include "libCvProfileDocument.h"
#include "test_support.h"

namespace {

class CTestDocument : public CProfileDocument {
public:
    using CProfileDocument::EnsureInitialized;
};

const char kProfile[] =
    "<uifrmwrk_info><global_setting><supported_lang/><locale_mapping_list/></global_setting>"
    "<feature_info id=\"1\" def_locale=\"EN-US\"><balloons><balloon id=\"1\"/><balloon id=\"2\"/>"
    "</balloons></feature_info></uifrmwrk_info>";

const wchar_t kTable[] =
    L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan for security risks\r\nPATH=C:\\\\Temp\\n\r\n"
    L"[Balloon_Title]\r\n1=Security risk found\r\n2=Scan complete\r\n"
    L"[Balloon_Content]\r\n1=Found\\nand dealt with\r\n2=Done\r\n";

std::string Bytes(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string Mutate(std::mt19937& rng, int op)
{
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    std::string bom = "\xFF\xFE";
    std::string body = Bytes(kTable);
    switch (op) {
    case 0:  // truncated, possibly in the middle of a character
        return bom + body.substr(0, pick(body.size() + 1));
    case 1:  // bytes flipped, NULs and lone surrogates among them
        for (size_t i = 0, n = 1 + pick(12); i < n; ++i)
            body[pick(body.size())] = static_cast<char>(pick(256));
        return bom + body;
    case 2: {  // huge values and keys, with and without line ends
        const std::wstring huge(1000 + pick(100000), static_cast<wchar_t>(L'a' + pick(26)));
        std::wstring t = kTable;
        t.insert(t.find(L"Scan for"), huge);
        if (pick(2))
            t += L"[Balloon_Title]\r\n1=" + huge;
        return bom + Bytes(t);
    }
    case 3: {  // escapes at odd places
        const wchar_t* v[] = {L"\\", L"\\\\\\", L"\\n\\n\\n", L"\\\\n\\", L"\\\\\\\\n"};
        std::wstring t = kTable;
        t.replace(t.find(L"Scan for security risks"), 23, std::wstring(300, L'\\') + v[pick(5)]);
        return bom + Bytes(t);
    }
    case 4: {  // other encodings
        std::string narrow(kTable, kTable + wcslen(kTable));
        switch (pick(4)) {
        case 0:
            return narrow;                        // ANSI
        case 1:
            return "\xEF\xBB\xBF" + narrow;       // UTF-8 with its mark
        case 2:
            return "\xFE\xFF" + body;             // a big-endian mark on little-endian text
        default:
            return bom + body + "\x41";           // an odd byte count
        }
    }
    case 5: {  // binary garbage, with or without a mark
        std::string g(1 + pick(8192), '\0');
        for (auto& c : g)
            c = static_cast<char>(pick(256));
        return pick(2) ? bom + g : g;
    }
    default: {  // structure broken: sections and keys without values
        const std::wstring bits[] = {L"[", L"]", L"=", L"[STRING_TABLE", L"\r\n=\r\n", L"[]\r\n=x\r\n", L";",
                                     std::wstring(1, L'\0')};
        std::wstring t = kTable;
        for (size_t i = 0, n = 1 + pick(10); i < n; ++i)
            t.insert(pick(t.size() + 1), bits[pick(8)]);
        return bom + Bytes(t);
    }
    }
}

TEST(ProfileDocumentMutationTest, HostileStringTablesStayWithinTheirBuffers)
{
    KsxTest::CAgentRegistry registry;
    KsxTest::CTempFolder install;
    registry.SetString("", "Application Path", install.Path());
    install.WriteFile("www\\1600\\UIProfile.cfg", kProfile);
    install.WriteFile("www\\1600\\Global_Ui_Setting.xml",
                      "<global_setting><supported_lang def_locale=\"en\"/></global_setting>");
    const std::string tablePath = "www\\1600\\i18n\\EN-US\\UIStringTable.ini";
    install.WriteFile(tablePath, "\xFF\xFE" + Bytes(kTable));
    CTestDocument doc;
    doc.EnsureInitialized();
    ASSERT_TRUE(doc.IsInitialized());

    for (unsigned seed : {3u, 17u, 2024u}) {
        std::mt19937 rng(seed);
        for (int variant = 0; variant < 70; ++variant) {
            const int op = variant % 7;
            SCOPED_TRACE(testing::Message() << "seed " << seed << " variant " << variant << " op " << op);
            install.WriteFile(tablePath, Mutate(rng, op));
            // A new language each time, so the balloons take the table anew.
            doc.SetLang(variant % 2 ? L"EN-US" : L"EN-US\\..\\EN-US", nullptr);
            for (const wchar_t* key : {L"WDXNTMON_UI_MENU_SHELL_SCAN", L"PATH", L"", L"="}) {
                std::wstring value;
                EXPECT_EQ(doc.GetL10nString(L"STRING_TABLE", key, value), 1);
                EXPECT_LE(value.size(), 519u);
            }
            EXPECT_EQ(doc.Reload(0), 1);
            for (auto* b = doc.GetDocument()->pFeatureList->pBalloonList; b; b = b->pNext) {
                EXPECT_LT(wcsnlen(b->wszTitle, WDXNTMON_UI_BALLOON_TEXT_SIZE), size_t(WDXNTMON_UI_BALLOON_TEXT_SIZE));
                EXPECT_LT(wcsnlen(b->wszContent, WDXNTMON_UI_BALLOON_TEXT_SIZE),
                          size_t(WDXNTMON_UI_BALLOON_TEXT_SIZE));
            }
        }
    }
}

}  // namespace
