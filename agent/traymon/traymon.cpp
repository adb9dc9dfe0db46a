// Stand-in for the agent's tray monitor: a top-level window that takes scan
// requests (WM_COPYDATA with wParam 3 and code 3, "?"-joined ANSI paths whose
// only NUL is the last byte) and journals each requested path, and the IPC
// command 1815 (its channel name); anything else is rejected and counted.
//
//   traymon [--journal PATH] [--ready-event NAME] [--hang]
//
// --ready-event  set the named event once the window exists
// --hang         take a request and never answer (a hung monitor)

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "journal.h"
#include "ut_Handle.h"

namespace {

const char kClassName[] = "WdxNTMonClass";
const char kTitle[] = "WdxNTMon.MainFrame";
constexpr ULONG_PTR kScanRequestCode = 3;
constexpr WPARAM kScanRequestWParam = 3;
// An IPC command (wParam and dwData) whose data is its channel name.
constexpr ULONG_PTR kShowTrayIconCommand = 1815;

std::wstring g_journal;
bool g_hang = false;
unsigned g_accepted = 0;
unsigned g_rejected = 0;

void Record(const std::string& line)
{
    AgentStub::AppendJournalLine(g_journal, line);
    printf("traymon: %s\n", line.c_str());
    fflush(stdout);
}

bool Reject(const char* reason, WPARAM wParam, const COPYDATASTRUCT* cds)
{
    ++g_rejected;
    char line[200];
    snprintf(line, sizeof(line), "REJECT %s wParam=%llu dwData=%llu cbData=%lu (rejected so far: %u)", reason,
             static_cast<unsigned long long>(wParam), cds ? static_cast<unsigned long long>(cds->dwData) : 0ull,
             cds ? cds->cbData : 0ul, g_rejected);
    Record(line);
    return false;
}

// Splits a checked request into its paths; false when it is malformed.
bool ParseRequest(WPARAM wParam, const COPYDATASTRUCT* cds, std::vector<std::string>& paths, const char** reason)
{
    *reason = nullptr;
    if (wParam != kScanRequestWParam)
        *reason = "unknown-wparam";
    else if (!cds)
        *reason = "no-data";
    else if (cds->dwData != kScanRequestCode)
        *reason = "unknown-request-code";
    else if (!cds->lpData || cds->cbData == 0)
        *reason = "empty";
    if (*reason)
        return false;
    // cbData is the list's length plus its NUL, so the first NUL is the last byte.
    const char* data = static_cast<const char*>(cds->lpData);
    const char* end = static_cast<const char*>(memchr(data, '\0', cds->cbData));
    if (!end)
        *reason = "not-terminated";
    else if (end != data + cds->cbData - 1)
        *reason = "nul-not-last";
    if (*reason)
        return false;
    const std::string list(data, end);
    size_t start = 0;
    while (true) {
        const size_t sep = list.find('?', start);
        const std::string path = list.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (path.empty()) {
            *reason = "empty-path";
            return false;
        }
        paths.push_back(path);
        if (sep == std::string::npos)
            break;
        start = sep + 1;
    }
    return true;
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COPYDATA: {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (cds && wParam == kShowTrayIconCommand && cds->dwData == kShowTrayIconCommand && cds->lpData &&
            cds->cbData > 0 && static_cast<const char*>(cds->lpData)[cds->cbData - 1] == '\0') {
            Record("IPC 1815 " + AgentStub::AnsiToUtf8(static_cast<const char*>(cds->lpData)));
            return TRUE;
        }
        std::vector<std::string> paths;
        const char* reason = nullptr;
        if (!ParseRequest(wParam, cds, paths, &reason))
            return Reject(reason, wParam, cds);
        ++g_accepted;
        char head[120];
        snprintf(head, sizeof(head), "REQUEST paths=%zu cbData=%lu dwData=%llu wParam=%llu", paths.size(), cds->cbData,
                 static_cast<unsigned long long>(cds->dwData), static_cast<unsigned long long>(wParam));
        Record(head);
        for (const auto& p : paths)
            Record("PATH " + AgentStub::AnsiToUtf8(p));
        if (g_hang) {
            Record("HANG");
            ::Sleep(INFINITE);
        }
        return TRUE;
    }
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    g_journal = AgentStub::DefaultJournalPath();
    std::wstring readyEvent;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--journal" && i + 1 < argc) {
            g_journal = argv[++i];
        } else if (a == L"--ready-event" && i + 1 < argc) {
            readyEvent = argv[++i];
        } else if (a == L"--hang") {
            g_hang = true;
        } else {
            fprintf(stderr, "usage: traymon [--journal PATH] [--ready-event NAME] [--hang]\n");
            return 2;
        }
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    if (!::RegisterClassA(&wc)) {
        fprintf(stderr, "traymon: RegisterClass failed (%lu)\n", ::GetLastError());
        return 1;
    }
    HWND hwnd = ::CreateWindowExA(0, kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd) {
        fprintf(stderr, "traymon: CreateWindow failed (%lu)\n", ::GetLastError());
        return 1;
    }
    Record("READY");
    if (!readyEvent.empty()) {
        const UTIL::CUniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str()));
        if (ready)
            ::SetEvent(ready.get());
    }

    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    char bye[80];
    snprintf(bye, sizeof(bye), "EXIT accepted=%u rejected=%u", g_accepted, g_rejected);
    Record(bye);
    return 0;
}
