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

const char* HostName(char (&scratch)[MAX_PATH])
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

const wchar_t* HostName(wchar_t (&scratch)[kWideNameChars])
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

void FormatInto(char* out, size_t room, const char* format, va_list args) { _vsnprintf(out, room, format, args); }
void FormatInto(wchar_t* out, size_t room, const wchar_t* format, va_list args)
{
    _vsnwprintf(out, room, format, args);
}

bool SendRecord(DWORD level, const char* file, DWORD line, const char* text)
{
    return SendLogRecordA(_time64(nullptr), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, file, line, text);
}
bool SendRecord(DWORD level, const wchar_t* file, DWORD line, const wchar_t* text)
{
    return SendLogRecordW(_time64(nullptr), ::GetCurrentProcessId(), ::GetCurrentThreadId(), level, file, line, text);
}

// Composes and sends one record. Kept out of the entry points so that a call
// the gate drops does not set up the record buffer on the stack.
template <typename Ch, size_t NameChars>
__attribute__((noinline)) bool WriteRecord(DWORD level, const Ch* file, DWORD line, const Ch* format, va_list args)
{
    // The composing step tests the level on its own.
    if (!IsLogLevelEnabled(CLogLevelMap::Instance(), level))
        return false;
    Ch record[kRecordChars] = {};
    Ch scratch[NameChars];
    const size_t n = PutPrefix(record, HostName(scratch));
    if (format)
        FormatInto(record + n, kRecordChars - 1 - n, format, args);
    record[kRecordChars - 1] = 0;
    return SendRecord(level, file, line, record);
}

// Saves the caller's last error around composing and sending. Out of line, so
// that the entry points keep only the gate in front of it.
template <typename Ch, size_t NameChars>
__attribute__((noinline)) bool LogRecord(DWORD level, const Ch* file, DWORD line, const Ch* format, va_list args)
{
    const DWORD savedError = ::GetLastError();
    const bool sent = WriteRecord<Ch, NameChars>(level, file, line, format, args);
    ::SetLastError(savedError);
    return sent;
}

}  // namespace

// Both entry points decide from the shared word before anything else: a record
// held back costs the read of the word and the return.
void DebugLogA(DWORD level, const char* file, DWORD line, const char* format, ...)
{
    if (IsLogLevelHeldBack(level))
        return;
    va_list args;
    va_start(args, format);
    LogRecord<char, MAX_PATH>(level, file, line, format, args);
    va_end(args);
}

bool DebugLogW(DWORD level, const wchar_t* file, DWORD line, const wchar_t* format, ...)
{
    if (IsLogLevelHeldBack(level))
        return false;
    va_list args;
    va_start(args, format);
    const bool sent = LogRecord<wchar_t, kWideNameChars>(level, file, line, format, args);
    va_end(args);
    return sent;
}
