// menushot: right-clicks the selection in a small host window and opens the
// real popup menu the handler filled, for a screenshot taken from outside.
//
//   menushot [--clsid {GUID}] [--hold MS] [--report FILE] PATH...
//
// The host adds "Open" and "Properties" around the handler's items, as a file
// manager does. Once the menu is on screen the report gets the line
// "shown LEFT TOP RIGHT BOTTOM" (host window and menu, screen pixels); the menu
// closes MS milliseconds later and the report lists the items.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "shellhost.h"
#include "ut_Handle.h"

using Microsoft::WRL::ComPtr;

namespace {

const wchar_t kDefaultClsid[] = L"{5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}";
const UINT kOpenId = 1;
const UINT kPropertiesId = 2;
const UINT kFirstHandlerId = 100;
const UINT_PTR kCloseTimer = 1;
const UINT kGiveUpMs = 20000;  // the menu never came up

struct Shot {
    FILE* report = nullptr;
    UINT holdMs = 3000;
    bool shown = false;
    std::vector<std::wstring> paths;
};

Shot g_shot;

LRESULT CALLBACK HostProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_ENTERIDLE:
        if (wp == MSGF_MENU && !g_shot.shown) {
            // The menu is painted and waits for input.
            g_shot.shown = true;
            RECT host = {}, menu = {}, both = {};
            ::GetWindowRect(hwnd, &host);
            ::GetWindowRect(reinterpret_cast<HWND>(lp), &menu);
            ::UnionRect(&both, &host, &menu);
            fprintf(g_shot.report, "shown %ld %ld %ld %ld\n", both.left, both.top, both.right, both.bottom);
            fflush(g_shot.report);
            ::SetTimer(hwnd, kCloseTimer, g_shot.holdMs, nullptr);
        }
        return 0;
    case WM_TIMER:
        if (wp == kCloseTimer) {
            ::KillTimer(hwnd, kCloseTimer);
            ::EndMenu();
        }
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps = {};
        HDC dc = ::BeginPaint(hwnd, &ps);
        ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
        ::SetBkMode(dc, TRANSPARENT);
        int y = 12;
        for (const auto& p : g_shot.paths) {
            ::TextOutW(dc, 16, y, p.c_str(), static_cast<int>(p.size()));
            y += 18;
        }
        ::EndPaint(hwnd, &ps);
        return 0;
    }
    default:
        return ::DefWindowProcW(hwnd, msg, wp, lp);
    }
}

HWND CreateHostWindow(HINSTANCE instance)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"KsxMenuShotHost";
    if (!::RegisterClassW(&wc))
        return nullptr;
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"Selection", WS_OVERLAPPED | WS_CAPTION, 16, 16, 320, 150,
                                  nullptr, nullptr, instance, nullptr);
    if (!hwnd)
        return nullptr;
    ::ShowWindow(hwnd, SW_SHOWNORMAL);
    ::UpdateWindow(hwnd);
    ::SetForegroundWindow(hwnd);
    return hwnd;
}

// The handler's part of the menu, between the host's own items; 0 on failure.
int OpenMenu(HWND hwnd, const CLSID& clsid)
{
    ComPtr<IShellExtInit> init;
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&init));
    if (FAILED(hr)) {
        fprintf(g_shot.report, "CoCreateInstance failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 0;
    }
    ComPtr<IDataObject> data;
    ComPtr<IContextMenu> handler;
    hr = ShellHost::CreateHDropDataObject(g_shot.paths, &data);
    if (SUCCEEDED(hr))
        hr = init->Initialize(nullptr, data.Get(), nullptr);
    if (SUCCEEDED(hr))
        hr = init.As(&handler);
    if (FAILED(hr)) {
        fprintf(g_shot.report, "Initialize failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 0;
    }

    const UTIL::CUniqueMenu menu(::CreatePopupMenu());
    if (!menu || !::AppendMenuW(menu.get(), MF_STRING, kOpenId, L"&Open")) {
        fprintf(g_shot.report, "cannot build the host's menu: %lu\n", ::GetLastError());
        return 0;
    }
    hr = handler->QueryContextMenu(menu.get(), 1, kFirstHandlerId, kFirstHandlerId + 0x7FFF, CMF_NORMAL);
    if (FAILED(hr)) {
        fprintf(g_shot.report, "QueryContextMenu failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 0;
    }
    ::AppendMenuW(menu.get(), MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu.get(), MF_STRING, kPropertiesId, L"P&roperties");

    POINT at = {60, 22};
    ::ClientToScreen(hwnd, &at);
    ::SetTimer(hwnd, kCloseTimer, kGiveUpMs, nullptr);
    ::TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x, at.y, 0, hwnd,
                     nullptr);
    ::KillTimer(hwnd, kCloseTimer);

    for (const auto& m : ShellHost::DescribeMenu(menu.get())) {
        if (m.separator)
            fprintf(g_shot.report, "[%u] separator\n", m.position);
        else
            fprintf(g_shot.report, "[%u] id %u \"%s\" %s, %s\n", m.position, m.id,
                    ShellHost::AnsiToUtf8(m.text).c_str(), m.grayed ? "greyed" : "enabled",
                    m.hasBitmap ? "bitmap" : "no bitmap");
    }
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring clsidText = kDefaultClsid;
    const wchar_t* reportPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--clsid" && i + 1 < argc)
            clsidText = argv[++i];
        else if (a == L"--hold" && i + 1 < argc)
            g_shot.holdMs = static_cast<UINT>(wcstoul(argv[++i], nullptr, 10));
        else if (a == L"--report" && i + 1 < argc)
            reportPath = argv[++i];
        else if (a.compare(0, 2, L"--") == 0)
            return 2;
        else
            g_shot.paths.push_back(a);
    }
    CLSID clsid = {};
    if (g_shot.paths.empty() || FAILED(::CLSIDFromString(clsidText.c_str(), &clsid)))
        return 2;
    g_shot.report = reportPath ? _wfopen(reportPath, L"w") : stdout;
    if (!g_shot.report)
        return 2;

    int ok = 0;
    if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        HWND hwnd = CreateHostWindow(::GetModuleHandleW(nullptr));
        if (hwnd) {
            ok = OpenMenu(hwnd, clsid);
            ::DestroyWindow(hwnd);
        }
        ::CoFreeUnusedLibraries();
        ::CoUninitialize();
    }
    if (!g_shot.shown)
        fprintf(g_shot.report, "the menu never came up\n");
    if (g_shot.report != stdout)
        fclose(g_shot.report);
    return ok && g_shot.shown ? 0 : 1;
}
