// Pieces of the scan hand-over that stand on their own.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ut_Handle.h"

namespace KsxShell {

constexpr size_t kMaxRequestPathBytes = 519;  // a path and its NUL in 520 bytes

// The ANSI form of one selected path as the tray monitor must receive it.
// A "\\?\" prefix is dropped when the rest is an ordinary drive or UNC path;
// a path the ANSI code page cannot carry is sent in its short form when that
// one can. False (with the reason) when the path cannot be sent unchanged.
bool MonitorPathFromWide(const std::wstring& path, std::string& out, const char** reason);

// The request payload: the paths joined by "?", then one NUL.
std::string JoinMonitorRequest(const std::vector<std::string>& paths);

// How long the tray monitor may take to accept a request.
constexpr DWORD kMonitorReplyTimeoutMs = 30000;

// The platform calls of the hand-over that tests stand in for: the launcher's
// opening of the agent key, the monitor search and its pause, the ANSI code
// page and the conversion into it, the out-of-memory alert.
struct DispatchHooks {
    LONG (*openAgentKey)(const char* subKey, UTIL::CUniqueHKey& key);
    HWND(WINAPI* findWindow)(LPCSTR className, LPCSTR title);
    void(WINAPI* sleep)(DWORD ms);
    UINT(WINAPI* getAcp)();
    int(WINAPI* wideCharToMultiByte)(UINT codePage, DWORD flags, LPCWCH wide, int cchWide, LPSTR out, int cbOut,
                                     LPCCH defaultChar, LPBOOL usedDefault);
    int(WINAPI* messageBox)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
    DWORD monitorReplyTimeoutMs;
};

// The hooks in use; a test changes them and puts them back.
DispatchHooks& DispatchHooksForTesting();

}  // namespace KsxShell
