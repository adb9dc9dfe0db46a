// Hostile profiles from fixed seeds: the parser returns 0 or 1, never crashes,
// hangs or writes past a field, and what it returns is well formed.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "UIProfileAPI.h"
#include "test_support.h"

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
    "<balloon id=\"1001\" icon_id=\"3\" timeout=\"15\" enabled=\"1\" />"
    "<balloon id=\"1002\" icon_id=\"2\" timeout=\"10\" enabled=\"0\" /></balloons></feature_info>\n"
    " <feature_info id=\"2\" def_locale=\"EN-US\"><balloons><balloon id=\"2001\" /></balloons></feature_info>\n"
    "</uifrmwrk_info>\n";

class CMutator {
public:
    explicit CMutator(unsigned seed) : m_rng(seed) {}

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    std::string Random(size_t n)
    {
        std::string s(n, '\0');
        for (auto& c : s)
            c = static_cast<char>(Pick(256));
        return s;
    }

    std::string Mutate(std::string s, int op)
    {
        const size_t at = Pick(s.size() + 1);
        switch (op) {
        case 0:  // truncated
            return s.substr(0, at);
        case 1:  // bytes flipped, NULs and high bytes among them
            for (size_t i = 0, n = 1 + Pick(8); i < n && !s.empty(); ++i)
                s[Pick(s.size())] = static_cast<char>(Pick(256));
            return s;
        case 2: {  // deep nesting, closed or not
            const char* tags[] = {"<feature_info>", "<balloons>", "<x>", "<uifrmwrk_info>", "<global_setting>"};
            const std::string tag = tags[Pick(5)];
            std::string deep;
            for (size_t i = 0, n = 10 + Pick(60000); i < n; ++i)
                deep += tag;
            return s.insert(at, deep);
        }
        case 3: {  // huge attribute value or text
            const std::string big(1000 + Pick(200000), static_cast<char>('A' + Pick(26)));
            return Pick(2) ? Replace(s, "EN-US", big) : Replace(s, "\"1001\"", "\"" + big + "\"");
        }
        case 4: {  // odd encodings
            switch (Pick(4)) {
            case 0: {
                std::string u16 = "\xFF\xFE";
                for (char c : s)
                    u16 += std::string(1, c) + '\0';
                return u16;
            }
            case 1:
                return "\xEF\xBB\xBF" + s;
            case 2:
                return Replace(s, "UTF-8", "Shift_JIS").insert(at, "\x82\xA0\x83\x41\xE3");
            default:
                return s.insert(at, Random(1 + Pick(6)));
            }
        }
        case 5:  // binary garbage
            return Random(1 + Pick(4096));
        default: {  // a slice copied elsewhere
            const size_t from = Pick(s.size()), len = Pick(s.size() - from + 1);
            return s.insert(at, s.substr(from, len));
        }
        }
    }

private:
    static std::string Replace(std::string s, const std::string& what, const std::string& with)
    {
        const size_t pos = s.find(what);
        return pos == std::string::npos ? s : s.replace(pos, what.size(), with);
    }

    std::mt19937 m_rng;
};

template <size_t N>
bool Terminated(const char (&field)[N])
{
    return memchr(field, '\0', N) != nullptr;
}

void ExpectWellFormed(const WDXNTMON_UI_DOCUMENT* doc)
{
    if (!doc)
        return;
    if (const WDXNTMON_UI_GLOBAL_SETTING* gs = doc->pGlobalSetting) {
        for (const auto& lang : gs->szSupportedLang)
            EXPECT_TRUE(Terminated(lang));
        EXPECT_TRUE(Terminated(gs->szDefLocale));
        size_t n = 0;
        for (auto* m = gs->pLocaleMappingList; m && n < 1000000; m = m->pNext, ++n)
            EXPECT_TRUE(Terminated(m->szLocaleName));
        EXPECT_LT(n, 1000000u);
    }
    size_t n = 0;
    for (auto* f = doc->pFeatureList; f && n < 1000000; f = f->pNext, ++n) {
        EXPECT_TRUE(Terminated(f->szDefLocale));
        for (auto* b = f->pBalloonList; b && n < 1000000; b = b->pNext, ++n)
            EXPECT_TRUE(b->wszTitle[0] == L'\0' && b->wszContent[0] == L'\0');
    }
    EXPECT_LT(n, 1000000u);
}

TEST(UIProfileMutationTest, HostileProfilesGiveZeroOrAWellFormedDocument)
{
    KsxTest::CTempFolder dir;
    const std::string pathA = dir.Path() + "UIProfile.cfg";
    const std::wstring path(pathA.begin(), pathA.end());
    int parsed = 0, refused = 0;
    for (unsigned seed : {1u, 7u, 42u, 1234u, 99991u}) {
        CMutator mutator(seed);
        for (int variant = 0; variant < 80; ++variant) {
            const int op = variant % 7;
            std::string xml = mutator.Mutate(kProfile, op);
            if (mutator.Pick(4) == 0)
                xml = mutator.Mutate(xml, static_cast<int>(mutator.Pick(7)));
            SCOPED_TRACE(testing::Message() << "seed " << seed << " variant " << variant << " op " << op);
            dir.WriteFile("UIProfile.cfg", xml);

            WDXNTMON_UI_DOCUMENT* doc = nullptr;
            const int result = WDXNTMON_UI_Deserialize(&doc, path.c_str());
            ASSERT_TRUE(result == 0 || result == 1);
            if (result == 0) {
                EXPECT_EQ(doc, nullptr);
                ++refused;
                continue;
            }
            ++parsed;
            ExpectWellFormed(doc);
            EXPECT_EQ(WDXNTMON_UI_DestroyDocument(&doc), 1);
            EXPECT_EQ(doc, nullptr);
        }
    }
    // Both outcomes occur, so the variants reach past the loader.
    EXPECT_GT(parsed, 50);
    EXPECT_GT(refused, 50);
}

}  // namespace
