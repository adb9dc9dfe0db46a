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

// --- Shared by the signature benchmarks ---
#include <softpub.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Bench {

inline double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// This executable's folder, with its trailing "\".
inline std::wstring ExeDir()
{
    wchar_t self[MAX_PATH] = {};
    const std::wstring path(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// One trust-provider check of the file, without any decision: open the file,
// verify with `provFlags`, close the state and the file.
inline LONG BareWinVerifyTrust(const wchar_t* path, DWORD provFlags = 0)
{
    static GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    UTIL::CUniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof(info);
    info.hFile = file.get();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = provFlags;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

}  // namespace Bench
