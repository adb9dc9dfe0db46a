// Which language resource library is loaded, over the signed stand-ins: the
// system's and the user's language come through the test seam, since Wine
// takes both from the locale a process starts in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "ds_BsnDSManager.h"
#include "libCvMultiLang.h"
#include "test_support.h"

namespace {

using KsxTest::Wide;
// The stand-ins as built: "<folder>/<name>" below agent/wdxntres.
std::wstring Built(const std::wstring& relative) { return KsxTest::ExeDir() + L"..\\agent\\wdxntres\\" + relative; }

class CLanguages {
public:
    CLanguages(LANGID system, LANGID user) { CvMultiLangTestHooks::SetLanguages(system, user); }
    ~CLanguages() { CvMultiLangTestHooks::SetLanguages(0, 0); }
};

std::wstring LoadedName(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wcsrchr(path, L'\\') + 1;
}

TEST(MultiLangLoad, PicksTheVariantOfTheLanguageAndVersion)
{
    const std::wstring base = L"WDXNTRES.DLL", de = L"WDXNTRES_de.DLL", en = L"WDXNTRES_en.DLL";
    const std::wstring ja = L"WDXNTRES_ja.DLL", de9 = L"major9\\WDXNTRES_de.DLL";
    const std::wstring deOther = L"othersigner\\WDXNTRES_de.DLL";
    struct CFile {
        std::wstring from, to;
    };
    struct CRow {
        std::vector<CFile> files;
        LANGID system, user;
        int source;
        const wchar_t* loaded;  // null: nothing loaded
        DWORD error;
    };
    const std::vector<CFile> zh = {{base, base}, {en, L"WDXNTRES_zh_tw.DLL"}, {en, L"WDXNTRES_zh_cn.DLL"}};
    const CRow rows[] = {
        // The base's own language: no variant is looked at.
        {{{base, base}, {de, de}, {en, en}}, 0x0409, 0x0407, 1, L"WDXNTRES.DLL", 0},
        {{{base, base}, {de, de}, {en, en}}, 0x0407, 0x0409, 1, L"WDXNTRES_de.DLL", 0},
        {{{base, base}, {de9, de}, {en, en}}, 0x0407, 0x0409, 1, L"WDXNTRES_en.DLL", 0},
        {{{base, base}, {de9, de}}, 0x0407, 0x0409, 1, L"WDXNTRES.DLL", 0},
        {{{base, base}, {de, de}}, 0x0C07, 0x0409, 1, L"WDXNTRES_de.DLL", 0},
        {zh, 0x0C04, 0, 1, L"WDXNTRES_zh_tw.DLL", 0},
        {zh, 0x1004, 0, 1, L"WDXNTRES_zh_cn.DLL", 0},
        {{{base, base}, {de, de}, {ja, ja}}, 0x0407, 0x0411, 0, L"WDXNTRES_ja.DLL", 0},
        // Refused by the issuer check: the base is not tried.
        {{{base, base}, {deOther, de}}, 0x0407, 0x0409, 1, nullptr, ERROR_FAILED_ISSUER_CHECK},
        {{}, 0x0409, 0x0409, 1, nullptr, ERROR_FILE_NOT_FOUND},
    };
    for (const CRow& row : rows) {
        KsxTest::CTempFolder folder;
        SCOPED_TRACE(::testing::Message() << std::hex << row.system << " " << row.user << " " << row.source);
        for (const CFile& file : row.files)
            ASSERT_TRUE(::CopyFileW(Built(file.from).c_str(), (Wide(folder.Path()) + file.to).c_str(), FALSE));
        CLanguages languages(row.system, row.user);
        ::SetLastError(0xdeadbeef);
        UTIL::CUniqueModule module(LoadLibrary_MultiLang((folder.Path() + "WDXNTRES.DLL").c_str(), row.source));
        const DWORD error = ::GetLastError();
        if (!row.loaded) {
            EXPECT_FALSE(module);
            EXPECT_EQ(error, row.error);
            continue;
        }
        ASSERT_TRUE(module) << error;
        EXPECT_EQ(LoadedName(module.get()), row.loaded);
    }
}

TEST(MultiLangLoad, BasePathWithoutDriveIsTheHostsFolder)
{
    const std::wstring besideHost = KsxTest::ExeDir() + L"WDXNTRES_bare.DLL";
    ASSERT_TRUE(::CopyFileW(Built(L"WDXNTRES.DLL").c_str(), besideHost.c_str(), FALSE));
    CLanguages languages(0x0409, 0x0409);
    UTIL::CUniqueModule module(LoadLibrary_MultiLang("WDXNTRES_bare.DLL", 1));
    char text[64] = {};
    EXPECT_GT(::LoadStringA(module.get(), 139, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "Scan with Halyard NT");
    module.reset();
    ::DeleteFileW(besideHost.c_str());
}

TEST(MultiLangLoad, RealGermanLocale)
{
    // CTest runs this under LC_ALL=de_DE.UTF-8: Wine takes both languages from the locale.
    const char* expected = std::getenv("KSX_EXPECT_LANGID");
    if (!expected)
        GTEST_SKIP() << "only under a German locale";
    ASSERT_EQ(::GetSystemDefaultLangID(), std::strtoul(expected, nullptr, 16));
    KsxTest::CTempFolder folder;
    for (const wchar_t* name : {L"WDXNTRES.DLL", L"WDXNTRES_de.DLL", L"WDXNTRES_en.DLL"})
        ASSERT_TRUE(::CopyFileW(Built(name).c_str(), (Wide(folder.Path()) + name).c_str(), FALSE));
    UTIL::CUniqueModule module(LoadLibrary_MultiLang((folder.Path() + "WDXNTRES.DLL").c_str(), 1));
    wchar_t text[64] = {};
    ::LoadStringW(module.get(), 139, text, 64);
    EXPECT_STREQ(text, L"Mit Halyard NT auf Viren pr\u00fcfen");
}

}  // namespace
