#include "logcl_DebugLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include <atomic>

#include "logcl_Command.h"
#include "logcl_LogLevel.h"

namespace {

constexpr size_t kRecordChars = 4096;  // record text plus terminator
constexpr size_t kWideNameChars = 264;

// Executable-name caches, filled once per process. States: 0 empty, 1 being
// filled, 2 filled. A thread that finds the cache busy uses its own copy.
std::atomic<LONG> g_narrowNameState{0};
char g_szNarrowName[MAX_PATH];
std::atomic<LONG> g_wideNameState{0};
wchar_t g_szWideName[kWideNameChars];

// The last component of the main module's path; empty when there is none.
void TakeExecutableName(char (&name)[MAX_PATH])
{
    memset(name, 0, sizeof(name));
    char path[MAX_PATH] = {};
    if (!::GetModuleFileNameA(nullptr, path, MAX_PATH))
        return;
    path[MAX_PATH - 1] = '\0';
    // Step over double-byte characters: a trail byte may equal '\\'.
    const char* afterSlash = nullptr;
    for (const char* p = path; *p; ++p) {
        if (::IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) {
            ++p;
            continue;
        }
        if (*p == '\\')
            afterSlash = p + 1;
    }
    if (afterSlash)
        strcpy(name, afterSlash);
}

const char* NarrowName(char (&scratch)[MAX_PATH])
{
    if (g_narrowNameState.load(std::memory_order_acquire) == 2)
        return g_szNarrowName;
    TakeExecutableName(scratch);
    LONG expected = 0;
    if (!g_narrowNameState.compare_exchange_strong(expected, 1))
        return scratch;
    memcpy(g_szNarrowName, scratch, sizeof(g_szNarrowName));
    g_narrowNameState.store(2, std::memory_order_release);
    return g_szNarrowName;
}

const wchar_t* WideName(wchar_t (&scratch)[kWideNameChars])
{
    if (g_wideNameState.load(std::memory_order_acquire) == 2)
        return g_szWideName;
    char narrow[MAX_PATH];
    TakeExecutableName(narrow);
    memset(scratch, 0, sizeof(scratch));
    if (!::MultiByteToWideChar(CP_ACP, 0, narrow, -1, scratch, kWideNameChars))
        scratch[0] = L'\0';
    scratch[kWideNameChars - 1] = L'\0';
    LONG expected = 0;
    if (!g_wideNameState.compare_exchange_strong(expected, 1))
        return scratch;
    memcpy(g_szWideName, scratch, sizeof(g_szWideName));
    g_wideNameState.store(2, std::memory_order_release);
    return g_szWideName;
}

// "[" "]" "[" name "]": returns the number of characters written.
template <typename Ch>
size_t PutPrefix(Ch* record, const Ch* name)
{
    size_t n = 0;
    record[n++] = '[';
    record[n++] = ']';
    record[n++] = '[';
    while (*name)
        record[n++] = *name++;
    record[n++] = ']';
    return n;
}

}  // namespace

void DebugLogA(DWORD level, const char* file, DWORD line, const char* format, ...)
{
    const DWORD savedError = ::GetLastError();
    CLogLevelMap& levels = CLogLevelMap::Instance();
    if (!IsLogLevelEnabled(levels, level) || !IsLogLevelEnabled(levels, level)) {
        ::SetLastError(savedError);
        return;
    }

    char record[kRecordChars] = {};
    char scratch[MAX_PATH];
    const size_t n = PutPrefix(record, NarrowName(scratch));
    if (format) {
        va_list args;
        va_start(args, format);
        _vsnprintf(record + n, kRecordChars - 1 - n, format, args);
        va_end(args);
    }
    record[kRecordChars - 1] = '\0';

    SendLogRecordA(_time64(nullptr), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, file, line, record);
    ::SetLastError(savedError);
}

bool DebugLogW(DWORD level, const wchar_t* file, DWORD line, const wchar_t* format, ...)
{
    const DWORD savedError = ::GetLastError();
    CLogLevelMap& levels = CLogLevelMap::Instance();
    if (!IsLogLevelEnabled(levels, level) || !IsLogLevelEnabled(levels, level)) {
        ::SetLastError(savedError);
        return false;
    }

    wchar_t record[kRecordChars] = {};
    wchar_t scratch[kWideNameChars];
    const size_t n = PutPrefix(record, WideName(scratch));
    if (format) {
        va_list args;
        va_start(args, format);
        _vsnwprintf(record + n, kRecordChars - 1 - n, format, args);
        va_end(args);
    }
    record[kRecordChars - 1] = L'\0';

    const bool sent =
        SendLogRecordW(_time64(nullptr), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, file, line, record);
    ::SetLastError(savedError);
    return sent;
}
