// Text conversion between a multibyte code page (normally CP_ACP) and UTF-16.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace MBWC {

// Counts are characters written by the final conversion, terminator included;
// 0 means failure. `error` (optional) receives GetLastError() of a failed
// conversion. On failure the destination is left as it was.

// Narrow to wide into a string.
int MBToWC(const char* source, std::wstring& destination, UINT codePage = CP_ACP, DWORD flags = 0,
           DWORD* error = nullptr);
// Narrow to wide, returning the string (empty on failure).
std::wstring MBToWC(const char* source, DWORD* error = nullptr, UINT codePage = CP_ACP, DWORD flags = 0);
// Narrow to wide into the caller's buffer of `bufferLength` characters
// (terminator included). A buffer too small is refused and logged.
int MBToWC(const char* source, wchar_t* buffer, int bufferLength, UINT codePage = CP_ACP, DWORD flags = 0);
// MBToWC(s, nullptr, CP_UTF8, 0) would pick the buffer form: say which is meant.
int MBToWC(const char* source, std::nullptr_t, int, UINT = CP_ACP, DWORD = 0) = delete;

// Wide to narrow into a string (count in bytes).
int WCToMB(const wchar_t* source, std::string& destination, UINT codePage = CP_ACP, DWORD flags = 0,
           DWORD* error = nullptr);
// Wide to narrow, returning the string (empty on failure).
std::string WCToMB(const wchar_t* source, DWORD* error = nullptr, UINT codePage = CP_ACP, DWORD flags = 0);

}  // namespace MBWC
