// The hostile-input suite: seeded mutators and the per-area tally of cases
// run and failed.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <windows.h>

#include <random>
#include <string>

#include "ut_Handle.h"

namespace Mutation {

// Byte-level mutations of a seed, reproducible from the seed alone.
class CMutator {
public:
    explicit CMutator(unsigned seed) : m_rng(seed) {}

    size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(m_rng) : 0; }
    std::string Random(size_t n)
    {
        std::string s(n, '\0');
        for (auto& c : s)
            c = static_cast<char>(Pick(256));
        return s;
    }
    // One of kOps mutations: truncation, flipped bytes (NULs and high bytes
    // among them), a random insert, a slice copied elsewhere, a run of one
    // byte, random bytes, a doubled tail.
    static constexpr int kOps = 7;
    std::string Mutate(std::string s, int op)
    {
        const size_t at = Pick(s.size() + 1);
        switch (op % kOps) {
        case 0:
            return s.substr(0, at);
        case 1:
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

private:
    std::mt19937 m_rng;
};

// The whole run's count, printed after the areas' own lines.
inline int g_cases = 0, g_failed = 0;
class CTotals : public ::testing::Environment {
public:
    void TearDown() override { printf("[mutation] all areas: %d cases run, %d failed\n", g_cases, g_failed); }
};
inline ::testing::Environment* const g_totals = ::testing::AddGlobalTestEnvironment(new CTotals);

// One kind of hostile input. Counts the cases run and those that failed,
// prints both when it goes, and fails when a handle leaked: the next handle
// value, taken after the first cases (singletons settle), must not climb.
class CArea {
public:
    explicit CArea(const char* name) : m_name(name) {}
    ~CArea()
    {
        if (m_cases > kSettleCases) {
            EXPECT_LE(NextHandleValue(), m_handleMark + 16 * sizeof(HANDLE)) << m_name << ": handles leaked";
        }
        printf("[mutation] %s: %d cases run, %d failed\n", m_name, m_cases, m_failed);
        g_cases += m_cases;
        g_failed += m_failed;
    }
    CArea(const CArea&) = delete;
    CArea& operator=(const CArea&) = delete;

    template <typename F>
    void Case(const std::string& what, F&& run)
    {
        SCOPED_TRACE(std::string(m_name) + ": " + what);
        const int before = FailedParts();
        run();
        if (FailedParts() != before)
            ++m_failed;
        if (++m_cases == kSettleCases)
            m_handleMark = NextHandleValue();
    }
    int Cases() const { return m_cases; }

private:
    static constexpr int kSettleCases = 8;
    static int FailedParts()
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        int failed = 0;
        for (int i = 0; info && i < info->result()->total_part_count(); ++i)
            failed += info->result()->GetTestPartResult(i).failed();
        return failed;
    }
    // The handle table reuses the lowest free slot (Wine reports no handle count).
    static ULONG_PTR NextHandleValue()
    {
        UTIL::CUniqueHandle probe(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        return reinterpret_cast<ULONG_PTR>(probe.get());
    }

    const char* m_name;
    int m_cases = 0, m_failed = 0;
    ULONG_PTR m_handleMark = 0;
};

// UTF-16 bytes without a terminator.
inline std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace Mutation
