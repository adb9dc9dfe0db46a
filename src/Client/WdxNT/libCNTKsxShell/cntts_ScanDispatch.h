// Pieces of the scan hand-over that stand on their own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace KsxShell {

constexpr size_t kMaxRequestPathBytes = 519;  // a path and its NUL in 520 bytes

// The ANSI form of one selected path as the tray monitor must receive it.
// A "\\?\" prefix is dropped when the rest is an ordinary drive or UNC path;
// a path the ANSI code page cannot carry is sent in its short form when that
// one can. False (with the reason) when the path cannot be sent unchanged.
bool MonitorPathFromWide(const std::wstring& path, std::string& out, const char** reason);

// The request payload: the paths joined by "?", then one NUL.
std::string JoinMonitorRequest(const std::vector<std::string>& paths);

// Whether registry data of `type` and `cb` bytes is a properly terminated
// string: REG_SZ and REG_EXPAND_SZ end in NUL, REG_MULTI_SZ in two (one when
// it has a single byte); 0 bytes is the empty string; other types never are.
bool IsTerminatedRegistryString(DWORD type, const char* data, DWORD cb);

// Reads "Application Path" from an open agent key into `folder`. ERROR_SUCCESS,
// the registry's error, or ERROR_INVALID_DATA when the value is not a
// terminated string.
LONG ReadApplicationPath(HKEY key, std::string& folder);

// How long the tray monitor may take to accept a request.
constexpr DWORD kMonitorReplyTimeoutMs = 30000;
void SetMonitorReplyTimeoutForTesting(DWORD ms);

}  // namespace KsxShell
