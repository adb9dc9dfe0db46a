// The hostile-input suite: seeded mutators and the per-area tally of cases
// run and failed.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <random>
#include <string>

namespace Mutation {

// Byte-level mutations of a seed, reproducible from the seed alone.
class CMutator {
public:
    explicit CMutator(unsigned seed) : m_rng(seed) {}

    size_t Pick(size_t n) { return n ? std::uniform_int_distribution<size_t>(0, n - 1)(m_rng) : 0; }
    std::string Random(size_t n);
    // One of kOps mutations: truncation, flipped bytes, a random insert, a
    // slice copied elsewhere, a run of one byte, random bytes, a doubled tail.
    static constexpr int kOps = 7;
    std::string Mutate(std::string s, int op);

private:
    std::mt19937 m_rng;
};

// One kind of hostile input. Counts the cases run and those that failed,
// prints both when it goes, and fails when a handle leaked: the next handle
// value, taken after the first cases (singletons settle), must not climb.
class CArea {
public:
    explicit CArea(const char* name) : m_name(name) {}
    ~CArea();
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
    static int FailedParts();
    static ULONG_PTR NextHandleValue();

    const char* m_name;
    int m_cases = 0, m_failed = 0;
    ULONG_PTR m_handleMark = 0;
};

std::wstring Wide(const std::string& s);
// A value of the agent's key in the 32-bit view, any type, any bytes.
void SetRawValue(const char* subKey, const wchar_t* name, DWORD type, const std::string& bytes);
std::string Utf16(const std::wstring& text);

}  // namespace Mutation
