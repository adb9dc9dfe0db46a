// Timing and table printing shared by the benchmarks.
#pragma once

#include <windows.h>

#include <stdio.h>

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

}  // namespace Bench
