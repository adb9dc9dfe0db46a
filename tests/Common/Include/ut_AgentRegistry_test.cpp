// The agent's registry readers: one string rule with named additions, and the
// 32-bit read that ignores the value's type.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "ut_AgentRegistry.h"

namespace {

using namespace UTIL;

struct StringCase {
    const char* what;
    DWORD type;
    std::wstring data;  // stored bytes: data's characters, terminator included when wanted
    unsigned rules;
    LONG rc;
    std::wstring text;
};

TEST(AgentRegistryTest, StringReadsFollowOneRuleAndItsNamedAdditions)
{
    using std::wstring;
    const StringCase cases[] = {
        {"plain text", REG_SZ, wstring(L"C:\\Agent", 9), kRegStringNonEmpty, ERROR_SUCCESS, L"C:\\Agent"},
        {"expandable", REG_EXPAND_SZ, wstring(L"%X%", 4), kRegStringNonEmpty, ERROR_SUCCESS, L"%X%"},
        {"a number is no text", REG_DWORD, wstring(L"\x0001\x0000", 2), kRegStringAnyText, ERROR_INVALID_DATA, L""},
        {"binary is no text", REG_BINARY, wstring(L"C:\\", 4), kRegStringAnyText, ERROR_INVALID_DATA, L""},
        {"empty refused", REG_SZ, wstring(L"", 1), kRegStringNonEmpty, ERROR_INVALID_DATA, L""},
        {"empty allowed", REG_SZ, wstring(L"", 1), kRegStringAnyText, ERROR_SUCCESS, L""},
        {"no bytes at all", REG_SZ, wstring(), kRegStringNonEmpty, ERROR_INVALID_DATA, L""},
        {"text up to its first NUL", REG_SZ, wstring(L"A\0B", 4), kRegStringNonEmpty, ERROR_SUCCESS, L"A"},
        {"longer than allowed", REG_SZ, wstring(300, L'x') + L'\0', kRegStringNonEmpty, ERROR_MORE_DATA, L""},
        {"multi-string refused", REG_MULTI_SZ, wstring(L"C:\\A\0\0", 6), kRegStringAnyText, ERROR_INVALID_DATA, L""},
        {"multi-string allowed: first string", REG_MULTI_SZ, wstring(L"C:\\A\0B\0\0", 8),
         kRegStringMultiSz | kRegStringTerminated, ERROR_SUCCESS, L"C:\\A"},
        {"expandable refused where only REG_SZ counts", REG_EXPAND_SZ, wstring(L"%X%", 4), kRegStringSzOnly,
         ERROR_INVALID_DATA, L""},
        {"exactly as long as allowed", REG_SZ, wstring(259, L'x') + L'\0', kRegStringNonEmpty, ERROR_SUCCESS,
         wstring(259, L'x')},
    };
    KsxTest::CAgentRegistry agent;
    for (const StringCase& c : cases) {
        SCOPED_TRACE(c.what);
        agent.SetRaw("", L"Value", c.type, c.data.data(), static_cast<DWORD>(c.data.size() * sizeof(wchar_t)));
        CUniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS, OpenAgentKey<wchar_t>(nullptr, key));
        std::wstring text = L"untouched";
        EXPECT_EQ(c.rc, ReadRegString(key.get(), L"Value", 520, text, c.rules));
        EXPECT_EQ(c.rc == ERROR_SUCCESS ? c.text : L"untouched", text);
    }
}

// Wine terminates REG_SZ data when it is stored (RegSetValueEx adds nothing on
// Windows), so the terminator rule is checked on data stored without one as
// REG_SZ through the narrow reader, which sees the bytes Windows would keep.
TEST(AgentRegistryTest, TerminatedRuleRefusesTextWithoutItsNul)
{
    KsxTest::CAgentRegistry agent;
    const char raw[] = {'C', ':', '\\'};
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentRootKeyA, 0, nullptr, 0,
                                               KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr));
    CUniqueHKey owned(key);
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key, "Raw", 0, REG_SZ, reinterpret_cast<const BYTE*>(raw), 3));

    CUniqueHKey read;
    ASSERT_EQ(ERROR_SUCCESS, OpenAgentKey<char>("", read));
    std::string text;
    const LONG loose = ReadRegString(read.get(), "Raw", 520, text, kRegStringAnyText);
    EXPECT_EQ(ERROR_SUCCESS, loose);
    EXPECT_EQ("C:\\", text);
    // Whether the stored bytes end in NUL is the platform's to say; the rule
    // must agree with them.
    BYTE bytes[8] = {};
    DWORD cb = sizeof(bytes);
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExA(read.get(), "Raw", nullptr, nullptr, bytes, &cb));
    const bool terminated = cb > 0 && bytes[cb - 1] == 0;
    EXPECT_EQ(terminated ? ERROR_SUCCESS : ERROR_INVALID_DATA,
              ReadRegString(read.get(), "Raw", 520, text, kRegStringTerminated));
}

TEST(AgentRegistryTest, DwordReadsIgnoreTheTypeAndLeaveTheValueOnFailure)
{
    KsxTest::CAgentRegistry agent;
    agent.SetDword("Misc.", "RCS", 202);
    CUniqueHKey misc;
    ASSERT_EQ(ERROR_SUCCESS, OpenAgentKey("Misc.", misc));
    DWORD value = 7;
    EXPECT_EQ(ERROR_SUCCESS, ReadRegDword(misc.get(), "RCS", value));
    EXPECT_EQ(202u, value);

    const BYTE two[] = {0x34, 0x12};
    agent.SetRaw("", L"Short", REG_BINARY, two, 2);
    CUniqueHKey root;
    ASSERT_EQ(ERROR_SUCCESS, OpenAgentKey(L"", root));
    EXPECT_EQ(ERROR_SUCCESS, ReadRegDword(root.get(), L"Short", value));
    EXPECT_EQ(0x1234u, value) << "the buffer starts at 0";

    value = 7;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRegDword(root.get(), L"Missing", value));
    EXPECT_EQ(7u, value);
    CUniqueHKey none;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenAgentKey("No Such Key", none));
    EXPECT_FALSE(none);
}

}  // namespace
