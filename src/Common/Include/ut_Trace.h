// Entry and exit traces of a function: "%s - >>>" when made, "%s - <<<" when
// the scope ends, at the same level, file and line.
#pragma once

#include <windows.h>

#include "logcl_DebugLog.h"

namespace CLNUTIL {

class CScopedTraceA {
public:
    CScopedTraceA(const char* file, DWORD line, const char* function, DWORD level = LOG_LEVEL_D) noexcept
        : m_file(file), m_line(line), m_function(function), m_level(level)
    {
        ::DebugLogA(m_level, m_file, m_line, "%s - >>>", m_function);
    }
    ~CScopedTraceA() { ::DebugLogA(m_level, m_file, m_line, "%s - <<<", m_function); }
    CScopedTraceA(const CScopedTraceA&) = delete;
    CScopedTraceA& operator=(const CScopedTraceA&) = delete;

private:
    const char* m_file;
    DWORD m_line;
    const char* m_function;
    DWORD m_level;
};

class CScopedTraceW {
public:
    CScopedTraceW(const wchar_t* file, DWORD line, const wchar_t* function, DWORD level = LOG_LEVEL_D) noexcept
        : m_file(file), m_line(line), m_function(function), m_level(level)
    {
        ::DebugLogW(m_level, m_file, m_line, L"%s - >>>", m_function);
    }
    ~CScopedTraceW() { ::DebugLogW(m_level, m_file, m_line, L"%s - <<<", m_function); }
    CScopedTraceW(const CScopedTraceW&) = delete;
    CScopedTraceW& operator=(const CScopedTraceW&) = delete;

private:
    const wchar_t* m_file;
    DWORD m_line;
    const wchar_t* m_function;
    DWORD m_level;
};

}  // namespace CLNUTIL

#define KSX_TRACE_CAT_(a, b) a##b
#define KSX_TRACE_CAT(a, b) KSX_TRACE_CAT_(a, b)
// LOG_SCOPEA("Class::Method"); the name must outlive the scope.
#define LOG_SCOPEA(function) ::CLNUTIL::CScopedTraceA KSX_TRACE_CAT(ksxTrace_, __LINE__)(__FILE__, __LINE__, (function))
#define LOG_SCOPEW(function) \
    ::CLNUTIL::CScopedTraceW KSX_TRACE_CAT(ksxTrace_, __LINE__)(KSX_WIDEN(__FILE__), __LINE__, (function))
