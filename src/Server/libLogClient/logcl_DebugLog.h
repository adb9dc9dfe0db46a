// The logging call used throughout the module.
#pragma once

#include <windows.h>

// Level codes: 'D' trace, 'I' information, 'W' warning, 'E' error, 'F' fatal;
// the digits 0 to 7 are accepted too.
enum : DWORD {
    LOG_LEVEL_D = 'D',
    LOG_LEVEL_I = 'I',
    LOG_LEVEL_W = 'W',
    LOG_LEVEL_E = 'E',
    LOG_LEVEL_F = 'F',
};

// Compose one record and hand it to the log server when the shared level word
// lets it pass. Never fails towards the caller; the thread's last error is kept.
// The record text is cut at 4095 characters; a null format logs an empty message.
void DebugLogA(DWORD level, const char* file, DWORD line, const char* format, ...);
// True when the record was delivered.
bool DebugLogW(DWORD level, const wchar_t* file, DWORD line, const wchar_t* format, ...);

#define KSX_WIDEN_(x) L##x
#define KSX_WIDEN(x) KSX_WIDEN_(x)

// Source path (relative to the repository) and line of the call site.
#define LOGA(level, ...) ::DebugLogA((level), __FILE__, __LINE__, __VA_ARGS__)
#define LOGW(level, ...) ::DebugLogW((level), KSX_WIDEN(__FILE__), __LINE__, __VA_ARGS__)
