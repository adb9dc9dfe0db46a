#include "cntts_ScanDispatch.h"

#include <shellapi.h>

#include <cwctype>
#include <new>

#include "cntts_CtxMenu.h"
#include "cntts_ScanItem.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"

namespace KsxShell {

namespace {

const char kMonitorClass[] = "WdxNTMonClass";
const char kMonitorTitle[] = "WdxNTMon.MainFrame";
constexpr int kMonitorFindAttempts = 51;
constexpr DWORD kMonitorFindPauseMs = 200;
constexpr ULONG_PTR kScanRequestCode = 3;
constexpr DWORD kRestrictedMode = 202;
constexpr int kCommandLineChars = 261;
constexpr DWORD kAppPathBytes = 520;
const wchar_t kLauncherName[] = L"sablelauncher.exe";
const wchar_t kTargetOption[] = L" -manual_scan_target ";

DispatchHooks g_hooks = {
    UTIL::OpenAgentKey<char>, ::FindWindowA, ::Sleep, ::GetACP, ::WideCharToMultiByte, ::MessageBoxA,
    kMonitorReplyTimeoutMs,
};

// Drops a "\\?\" prefix; false when what follows is not an ordinary path.
bool StripLongPrefix(const std::wstring& path, std::wstring& out)
{
    if (path.compare(0, 4, L"\\\\?\\") != 0) {
        out = path;
        return true;
    }
    const std::wstring rest = path.substr(4);
    if (rest.size() >= 3 && iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\') {
        out = rest;
        return true;
    }
    if (rest.size() > 4 && _wcsnicmp(rest.c_str(), L"UNC\\", 4) == 0) {
        out = L"\\\\" + rest.substr(4);
        return true;
    }
    return false;
}

// The exact ANSI form, or false when a character has none. Where the ANSI code
// page is UTF-8 the best-fit flag and the default-character report are invalid
// arguments and every character has a form, except a lone surrogate.
bool ToAnsiExact(const std::wstring& wide, std::string& out)
{
    if (wide.empty()) {
        out.clear();
        return true;
    }
    const bool utf8 = g_hooks.getAcp() == CP_UTF8;
    const UINT codePage = utf8 ? CP_UTF8 : CP_ACP;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* const lossy = utf8 ? nullptr : &usedDefault;
    const int cb = g_hooks.wideCharToMultiByte(codePage, flags, wide.c_str(), -1, nullptr, 0, nullptr, lossy);
    if (cb <= 0 || usedDefault)
        return false;
    std::string buf(static_cast<size_t>(cb), '\0');
    if (g_hooks.wideCharToMultiByte(codePage, flags, wide.c_str(), -1, &buf[0], cb, nullptr, lossy) != cb ||
        usedDefault)
        return false;
    buf.resize(static_cast<size_t>(cb - 1));
    out.swap(buf);
    return true;
}

bool Sendable(const std::string& ansi)
{
    return !ansi.empty() && ansi.size() <= kMaxRequestPathBytes && ansi.find('?') == std::string::npos;
}

}  // namespace

DispatchHooks& DispatchHooksForTesting() { return g_hooks; }

bool MonitorPathFromWide(const std::wstring& path, std::string& out, const char** reason)
{
    const char* why = "not an ordinary path";
    std::wstring plain;
    std::string ansi;
    if (StripLongPrefix(path, plain)) {
        why = "not representable in the ANSI code page";
        if (ToAnsiExact(plain, ansi)) {
            if (Sendable(ansi)) {
                out = ansi;
                return true;
            }
            why = ansi.size() > kMaxRequestPathBytes ? "longer than 519 bytes" : "not an ordinary path";
        }
    }
    // The short form names the same file with fewer, plainer characters.
    const DWORD cch = ::GetShortPathNameW(path.c_str(), nullptr, 0);
    if (cch > 0) {
        std::wstring shortPath(cch, L'\0');
        const DWORD got = ::GetShortPathNameW(path.c_str(), &shortPath[0], cch);
        if (got > 0 && got < cch) {
            shortPath.resize(got);
            if (StripLongPrefix(shortPath, plain) && ToAnsiExact(plain, ansi) && Sendable(ansi)) {
                out = ansi;
                return true;
            }
        }
    }
    if (reason)
        *reason = why;
    return false;
}

std::string JoinMonitorRequest(const std::vector<std::string>& paths)
{
    std::string list;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i)
            list += '?';
        list += paths[i];
    }
    list.push_back('\0');
    return list;
}

namespace {

void DoScan(LPCSTR directory)
{
    UTIL::CUniqueHKey key;
    if (g_hooks.openAgentKey("", key) != ERROR_SUCCESS) {
        LOGA(LOG_LEVEL_W, "%s - Can not open reg", "CShellExt::DoScan");
        return;
    }
    // An empty folder would become "\" and start a launcher from the drive root.
    std::string folder;
    const LONG rc =
        UTIL::ReadRegString(key.get(), "Application Path", kAppPathBytes, folder,
                            UTIL::kRegStringTerminated | UTIL::kRegStringNonEmpty | UTIL::kRegStringMultiSz);
    if (rc != ERROR_SUCCESS) {
        LOGA(LOG_LEVEL_W, "%s - Can not find application path(%d)", "CShellExt::DoScan", static_cast<int>(rc));
        return;
    }
    if (!EndsWithPathSeparator(folder))
        folder += '\\';

    wchar_t folderW[kCommandLineChars] = {};
    wchar_t target[kCommandLineChars] = {};
    MBWC::MBToWC(folder.c_str(), folderW, kCommandLineChars, CP_ACP, 0);
    MBWC::MBToWC(directory ? directory : "", target, kCommandLineChars, CP_ACP, 0);

    // The program is named on its own, so a folder with spaces cannot be
    // mistaken for a shorter program path; the command line stays unquoted.
    const std::wstring program = std::wstring(folderW) + kLauncherName;
    std::wstring commandLine = program + kTargetOption + target;
    if (!folderW[0] || commandLine.size() >= kCommandLineChars || (directory && *directory && !target[0])) {
        LOGA(LOG_LEVEL_W, "%s - the launcher command line does not fit", "CShellExt::DoScan");
        return;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &process)) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_LEVEL_D, L"lasterror=%u", error);
        ::OutputDebugStringA("CreateProcessW failed\r\n");
        return;
    }
    const UTIL::CUniqueHandle childProcess(process.hProcess);
    const UTIL::CUniqueHandle childThread(process.hThread);  // closed first
}

}  // namespace

HRESULT CShellExt::DoGAKMenu1(HWND, LPCSTR directory, LPCSTR, LPCSTR, int)
{
    ::OutputDebugStringA("CShellExt::DoGAKMenu1()\r\n");
    if (!m_pDataObject)
        return S_OK;
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    UTIL::CStgMedium selection;
    if (FAILED(m_pDataObject->GetData(&format, selection.put())))
        return S_OK;
    HDROP drop = static_cast<HDROP>(selection.get().hGlobal);
    return HandOverScanRequest(directory, [drop] {
        std::vector<std::wstring> paths;
        const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count; ++i) {
            const UINT cch = ::DragQueryFileW(drop, i, nullptr, 0);
            std::wstring wide(cch + 1, L'\0');
            wide.resize(::DragQueryFileW(drop, i, &wide[0], cch + 1));
            paths.push_back(std::move(wide));
        }
        return paths;
    });
}

HRESULT HandOverScanRequest(LPCSTR directory, const SelectionReader& readSelection)
{
    const DWORD rcs = ReadAgentFlag(OpenAgentSubKey("Misc."), "RCS");
    if (rcs == kRestrictedMode) {
        ::OutputDebugStringA("CShellExt::user access restriction was enabled\r\n");
        DoScan(directory);
        return S_OK;
    }

    HWND monitor = nullptr;
    for (int attempt = 0; attempt < kMonitorFindAttempts; ++attempt) {
        monitor = g_hooks.findWindow(kMonitorClass, kMonitorTitle);
        if (monitor)
            break;
        g_hooks.sleep(kMonitorFindPauseMs);
    }
    if (!monitor)
        return E_UNEXPECTED;

    std::string list;
    try {
        const std::vector<std::wstring> selected = readSelection();
        std::vector<std::string> paths;
        const UINT count = static_cast<UINT>(selected.size());
        for (UINT i = 0; i < count; ++i) {
            std::string ansi;
            const char* reason = "";
            if (!MonitorPathFromWide(selected[i], ansi, &reason)) {
                LOGA(LOG_LEVEL_W, "%s - path %u of %u left out: %s", "CShellExt::DoGAKMenu1", i, count, reason);
                continue;
            }
            paths.push_back(std::move(ansi));
        }
        if (paths.empty()) {
            LOGA(LOG_LEVEL_W, "%s - nothing to send", "CShellExt::DoGAKMenu1");
            return S_OK;
        }
        list = JoinMonitorRequest(paths);
    } catch (const std::bad_alloc&) {
        g_hooks.messageBox(nullptr, "Not Enough Memory !", nullptr, MB_OK);
        return E_UNEXPECTED;
    }

    COPYDATASTRUCT request = {};
    request.dwData = kScanRequestCode;
    request.cbData = static_cast<DWORD>(list.size());
    request.lpData = &list[0];
    DWORD_PTR reply = 0;
    if (!::SendMessageTimeoutA(monitor, WM_COPYDATA, 3, reinterpret_cast<LPARAM>(&request), SMTO_ABORTIFHUNG,
                               g_hooks.monitorReplyTimeoutMs, &reply)) {
        const DWORD error = ::GetLastError();
        LOGA(LOG_LEVEL_W, "%s - the tray monitor did not take the request (%lu)", "CShellExt::DoGAKMenu1",
             static_cast<unsigned long>(error));
    }
    return S_OK;
}

}  // namespace KsxShell
