#include <gtest/gtest.h>

#include <string>

#include "log_fixtures.h"
#include "test_support.h"
#include "ut_AgentRegistry.h"
#include "ut_skbs.h"

namespace {

// The suite's own version information (ut_skbs_test.rc).
const wchar_t kOwnProductName[] = L"Corvane KSX Test Suite";

// Exit-code bits of skbs_probe.
constexpr DWORD kProbeExists = 1;
constexpr DWORD kProbeHasName = 2;

// "ProductName" under Misc. with any type and bytes.
void SetProductName(DWORD type, const void* data, DWORD bytes, REGSAM view = KEY_WOW64_32KEY)
{
    UTIL::CUniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SKBS::kMiscKeyW, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), L"ProductName", 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
}

DWORD RunProbe(const wchar_t* exe) { return KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + exe + L"\""); }

// Only the exact name recorded as REG_SZ in the 32-bit view says yes; else the
// host's product name decides: the bare probe has no version information, the
// suite probe names SKBS and this suite does not. The texts go on past the
// bytes stored, so RegSetValueEx adds no terminator of its own.
TEST(SkbsTest, TheExactRecordedNameOrTheHostsProductNameDecides)
{
    KsxTest::CAgentRegistry registry;
    const std::wstring name = SKBS::kProductNameW, server = name + L" Server";
    const std::wstring lower = L"corvane skiff business security", longer = name + std::wstring(400, L'y');
    const DWORD bytes = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    const struct {
        const char* what;
        DWORD type;
        const std::wstring& text;
        DWORD bytes;
        REGSAM view;
        bool exists;
    } rows[] = {
        {"exact", REG_SZ, name, bytes, KEY_WOW64_32KEY, true},
        {"exact without its terminator", REG_SZ, server, bytes - 2, KEY_WOW64_32KEY, true},
        {"longer", REG_SZ, server, bytes + 14, KEY_WOW64_32KEY, false},
        {"another case", REG_SZ, lower, bytes, KEY_WOW64_32KEY, false},
        {"expandable", REG_EXPAND_SZ, name, bytes, KEY_WOW64_32KEY, false},
        {"binary", REG_BINARY, name, bytes, KEY_WOW64_32KEY, false},
        {"longer than the buffer", REG_SZ, longer, 800, KEY_WOW64_32KEY, false},
        {"in the 64-bit view only", REG_SZ, name, bytes, KEY_WOW64_64KEY, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", KEY_WOW64_32KEY);
        SetProductName(row.type, row.text.c_str(), row.bytes, row.view);
        EXPECT_EQ(SKBS::exists(), row.exists);
        EXPECT_EQ(RunProbe(L"skbs_probe_bare.exe"), row.exists ? kProbeExists : 0u);
        EXPECT_EQ(RunProbe(L"skbs_probe_suite.exe"), kProbeExists | kProbeHasName);
        KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", row.view);
    }
}

TEST(SkbsTest, AValueFillingTheBufferIsCutAt255Characters)
{
    KsxTest::CAgentRegistry registry;
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    std::wstring full(SKBS::kProductNameW);
    full.resize(300, L'x');
    SetProductName(REG_SZ, full.data(), 512);
    EXPECT_FALSE(SKBS::exists());
    EXPECT_TRUE(capture.WaitForText(L"SKBS::exists - Product [" + full.substr(0, 255) + L"] found."));
}

TEST(SkbsProductNameTest, ReadsTheFirstTranslationCutToTheBuffer)
{
    wchar_t name[256] = {};
    ASSERT_TRUE(SKBS::getProductName(name, 256));
    EXPECT_STREQ(name, kOwnProductName);

    wchar_t buffer[12];
    wmemset(buffer, L'#', 12);
    ASSERT_TRUE(SKBS::getProductName(buffer, 8));
    EXPECT_EQ(std::wstring(buffer, 12), std::wstring(L"Corvane\0####", 12));

    wmemset(buffer, L'#', 12);
    ASSERT_TRUE(SKBS::getProductName(buffer, 1));
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[1], L'#');

    wmemset(buffer, L'#', 12);
    EXPECT_FALSE(SKBS::getProductName(buffer, 0));
    EXPECT_FALSE(SKBS::getProductName(nullptr, 12));
    EXPECT_EQ(buffer[0], L'#');
}

}  // namespace
