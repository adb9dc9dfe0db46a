#include "mutation.h"

#include <stdio.h>

#include "test_support.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

namespace Mutation {

namespace {

int g_cases = 0, g_failed = 0;

// The whole run's count, after the areas' own lines.
class CTotals : public ::testing::Environment {
public:
    void TearDown() override { printf("[mutation] all areas: %d cases run, %d failed\n", g_cases, g_failed); }
};
[[maybe_unused]] const auto* const g_totals = ::testing::AddGlobalTestEnvironment(new CTotals);

}  // namespace

std::string CMutator::Random(size_t n)
{
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(Pick(256));
    return s;
}

std::string CMutator::Mutate(std::string s, int op)
{
    const size_t at = Pick(s.size() + 1);
    switch (op % kOps) {
    case 0:
        return s.substr(0, at);
    case 1:  // NULs and high bytes among them
        for (size_t i = 0, n = 1 + Pick(8); i < n && !s.empty(); ++i)
            s[Pick(s.size())] = static_cast<char>(Pick(256));
        return s;
    case 2:
        return s.insert(at, Random(1 + Pick(16)));
    case 3: {
        const size_t from = Pick(s.size()), len = Pick(s.size() - from + 1);
        return s.insert(at, s.substr(from, len));
    }
    case 4:
        return s.insert(at, std::string(1 + Pick(70000), static_cast<char>(Pick(256))));
    case 5:
        return Random(Pick(4096));
    default:
        return s + s.substr(at);
    }
}

CArea::~CArea()
{
    if (m_cases > kSettleCases) {
        EXPECT_LE(NextHandleValue(), m_handleMark + 16 * sizeof(HANDLE)) << m_name << ": handles leaked";
    }
    printf("[mutation] %s: %d cases run, %d failed\n", m_name, m_cases, m_failed);
    g_cases += m_cases;
    g_failed += m_failed;
}

int CArea::FailedParts()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    int failed = 0;
    for (int i = 0; info && i < info->result()->total_part_count(); ++i)
        failed += info->result()->GetTestPartResult(i).failed();
    return failed;
}

// The handle table reuses the lowest free slot (Wine reports no handle count).
ULONG_PTR CArea::NextHandleValue()
{
    UTIL::CUniqueHandle probe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return reinterpret_cast<ULONG_PTR>(probe.get());
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

void SetRawValue(const char* subKey, const wchar_t* name, DWORD type, const std::string& bytes)
{
    std::string path = UTIL::kAgentRootKeyA;
    if (*subKey)
        path += std::string("\\") + subKey;
    UTIL::CUniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace Mutation
