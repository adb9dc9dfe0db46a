// Timing and table printing shared by the benchmarks.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "logcl_LogLevel.h"
#include "ut_Handle.h"

namespace Bench {

inline double Seconds()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Nanoseconds per call of fn(i) over `count` calls.
template <typename Fn>
double NsPerOp(long long count, Fn fn)
{
    const double start = Seconds();
    for (long long i = 0; i < count; ++i)
        fn(i);
    return (Seconds() - start) * 1e9 / static_cast<double>(count);
}

inline void Header(const char* first = "measurement")
{
    printf("| %-52s | %12s | %12s | %12s |\n", first, "ns per op", "ops per s", "ratio");
    printf("|%s|%s|%s|%s|\n", "------------------------------------------------------", "--------------",
           "--------------", "--------------");
}

// One table row; `baseline` names the row it is compared with, or null for a
// baseline row.
inline void Row(const char* what, double ns, const char* baseline = nullptr, double baselineNs = 0)
{
    printf("| %-52s | %12.1f | %12.0f |", what, ns, 1e9 / ns);
    if (baseline)
        printf(" %7.3g x %-2s |\n", ns / baselineNs, baseline);
    else
        printf(" %12s |\n", "baseline");
}

// The benchmark's scale (argv[1], default 1); 0 when it is not a positive number.
inline long long ParseScale(int argc, char** argv)
{
    const long long scale = argc > 1 ? atoll(argv[1]) : 1;
    return scale < 1 ? 0 : scale;
}

// The shared log level word, mapped for the run and put back as it was.
class CLevelWord {
public:
    CLevelWord() : m_mapping(CreateLogLevelMapping())
    {
        if (m_mapping)
            m_word = static_cast<volatile LONG*>(::MapViewOfFile(m_mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4));
        if (m_word)
            m_saved = *m_word;
    }
    ~CLevelWord()
    {
        if (!m_word)
            return;
        Restore();
        ::UnmapViewOfFile(const_cast<LONG*>(m_word));
    }
    CLevelWord(const CLevelWord&) = delete;
    CLevelWord& operator=(const CLevelWord&) = delete;

    bool Ok() const { return m_word != nullptr; }
    void Set(LONG value) { *m_word = value; }
    void Restore() { *m_word = m_saved; }

private:
    UTIL::CUniqueHandle m_mapping;
    volatile LONG* m_word = nullptr;
    LONG m_saved = 0;
};

}  // namespace Bench
