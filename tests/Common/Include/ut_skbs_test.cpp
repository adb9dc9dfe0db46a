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

class SkbsTest : public ::testing::Test {
protected:
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
    void SetProductName(DWORD type, const std::wstring& text)
    {
        SetProductName(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

    static DWORD RunProbe(const wchar_t* exe) { return KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + exe + L"\""); }

    KsxTest::CAgentRegistry m_registry;
};

TEST_F(SkbsTest, OnlyTheExactRecordedNameDecidesWithoutVersionInformation)
{
    // The bare probe has no version information: only the registry can say yes.
    SetProductName(REG_SZ, SKBS::kProductNameW);
    EXPECT_TRUE(SKBS::exists());
    EXPECT_EQ(RunProbe(L"skbs_probe_bare.exe"), kProbeExists);

    // A longer name, another case, another type: the host's product name decides.
    const std::wstring name = SKBS::kProductNameW;
    SetProductName(REG_SZ, name + L" Server");
    EXPECT_FALSE(SKBS::exists());
    EXPECT_EQ(RunProbe(L"skbs_probe_suite.exe"), kProbeExists | kProbeHasName);
    SetProductName(REG_SZ, L"corvane skiff business security");
    EXPECT_EQ(RunProbe(L"skbs_probe_bare.exe"), 0u);
    for (DWORD type : {DWORD(REG_EXPAND_SZ), DWORD(REG_BINARY)}) {
        SCOPED_TRACE(type);
        SetProductName(type, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
        EXPECT_FALSE(SKBS::exists());
        EXPECT_EQ(RunProbe(L"skbs_probe_bare.exe"), 0u);
        EXPECT_EQ(RunProbe(L"skbs_probe_suite.exe"), kProbeExists | kProbeHasName);
    }
}

// The texts go on past the bytes stored, so RegSetValueEx adds no terminator
// of its own and the value ends without one.
TEST_F(SkbsTest, OversizedOrUnterminatedValuesAreBounded)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    // 256 characters filling the 512-byte buffer: cut at 255.
    std::wstring full(SKBS::kProductNameW);
    full.resize(300, L'x');
    SetProductName(REG_SZ, full.data(), 512);
    EXPECT_FALSE(SKBS::exists());
    const std::wstring shown = L"SKBS::exists - Product [" + full.substr(0, 255) + L"] found.";
    EXPECT_TRUE(capture.WaitForText(shown));

    // The exact name without its terminator still compares equal.
    const std::wstring name = std::wstring(SKBS::kProductNameW) + L" Server";
    SetProductName(REG_SZ, name.data(), static_cast<DWORD>(wcslen(SKBS::kProductNameW) * sizeof(wchar_t)));
    EXPECT_TRUE(SKBS::exists());

    // Longer than the buffer: the read fails and the host decides.
    std::wstring longer(SKBS::kProductNameW);
    longer.resize(400, L'y');
    SetProductName(REG_SZ, longer);
    EXPECT_EQ(RunProbe(L"skbs_probe_suite.exe"), kProbeExists | kProbeHasName);
}

TEST_F(SkbsTest, WithoutTheMiscKeyTheHostDecides)
{
    // Only the 32-bit view counts.
    SetProductName(REG_SZ, SKBS::kProductNameW, static_cast<DWORD>((wcslen(SKBS::kProductNameW) + 1) * sizeof(wchar_t)),
                   KEY_WOW64_64KEY);
    KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", KEY_WOW64_32KEY);
    EXPECT_FALSE(SKBS::exists());
    KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", KEY_WOW64_64KEY);
    EXPECT_EQ(RunProbe(L"skbs_probe_suite.exe"), kProbeExists | kProbeHasName);
    EXPECT_EQ(RunProbe(L"skbs_probe_bare.exe"), 0u);
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
