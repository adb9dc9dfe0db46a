// ksxhost: does what Explorer does on a right-click, against the registered
// handler, and prints the menu it got.
//
//   ksxhost [--flags N] [--index N] [--first N] [--invoke] [--dir DIR]
//           [--clsid {GUID}] [--json] [--repeat N] PATH...
//
// --repeat N right-clicks N times (no invocation) and reports the time of a
// whole right-click and what the process kept afterwards.
//
//   ksxhost --modern [--invoke] [--clsid {GUID}] [--json] PATH...
//
// --modern does what the Windows 11 file menu does with the explorer command:
// the shell's items for the paths (which must exist), GetState (first without
// leave to be slow, as on the menu's thread, then with it when told to wait),
// GetTitle, GetToolTip, GetIcon, and with --invoke Invoke. Without a COM
// registration of the class (the sparse package declares it on Windows 11) the
// command comes from the module registered for the classic handler, which is
// the one the package names.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "shellhost.h"
#include "ut_Handle.h"
#include "ut_ProcAddress.h"

using Microsoft::WRL::ComPtr;

namespace {

const wchar_t kDefaultClsid[] = L"{5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}";
const wchar_t kCommandClsid[] = L"{C9F2DAF1-5A1C-405B-88C3-391E36995409}";

struct Options {
    UINT flags = CMF_NORMAL;
    UINT index = 0;
    UINT first = 1;
    bool invoke = false;
    bool json = false;
    bool modern = false;
    UINT repeat = 0;
    std::wstring directory;
    std::wstring clsid;
    std::vector<std::wstring> paths;
};

struct Report {
    HRESULT create = E_FAIL;
    HRESULT initialize = E_FAIL;
    HRESULT query = E_FAIL;
    HRESULT help = E_FAIL;
    HRESULT invoke = S_OK;
    bool invoked = false;
    std::string helpText;
    std::vector<ShellHost::MenuItem> menu;
    std::wstring modulePath;
    bool loadedWhileInUse = false;
    bool unloaded = false;
};

void Usage()
{
    fwprintf(stderr,
             L"usage: ksxhost [--flags N] [--index N] [--first N] [--invoke] [--dir DIR]\n"
             L"               [--clsid {GUID}] [--json] [--repeat N] PATH...\n"
             L"       ksxhost --modern [--invoke] [--clsid {GUID}] [--json] PATH...\n");
}

bool ParseNumber(const wchar_t* s, UINT& out)
{
    wchar_t* end = nullptr;
    unsigned long v = wcstoul(s, &end, 0);
    if (!*s || *end)
        return false;
    out = static_cast<UINT>(v);
    return true;
}

bool ParseArgs(int argc, wchar_t** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        auto next = [&](const wchar_t*& v) {
            if (i + 1 >= argc)
                return false;
            v = argv[++i];
            return true;
        };
        const wchar_t* v = nullptr;
        if (a == L"--flags") {
            if (!next(v) || !ParseNumber(v, o.flags))
                return false;
        } else if (a == L"--index") {
            if (!next(v) || !ParseNumber(v, o.index))
                return false;
        } else if (a == L"--first") {
            if (!next(v) || !ParseNumber(v, o.first))
                return false;
        } else if (a == L"--dir") {
            if (!next(v))
                return false;
            o.directory = v;
        } else if (a == L"--clsid") {
            if (!next(v))
                return false;
            o.clsid = v;
        } else if (a == L"--repeat") {
            if (!next(v) || !ParseNumber(v, o.repeat) || o.repeat == 0)
                return false;
        } else if (a == L"--invoke") {
            o.invoke = true;
        } else if (a == L"--json") {
            o.json = true;
        } else if (a == L"--modern") {
            o.modern = true;
        } else if (a.size() > 1 && a[0] == L'-' && a[1] == L'-') {
            return false;
        } else {
            o.paths.push_back(a);
        }
    }
    return true;
}

std::wstring RegisteredModule(const std::wstring& clsid)
{
    std::wstring key = L"CLSID\\" + clsid + L"\\InProcServer32";
    wchar_t path[MAX_PATH + 1] = {};
    DWORD cb = sizeof(path) - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &cb) != ERROR_SUCCESS)
        return {};
    return path;
}

// What the shell does with a handler it got: build the menu, ask for help
// text, and optionally pick the item.
void BuildMenuAndInvoke(const Options& o, IContextMenu* menuHandler, Report& r)
{
    const UTIL::CUniqueMenu menu(::CreatePopupMenu());
    r.query = menuHandler->QueryContextMenu(menu.get(), o.index, o.first, o.first + 0x7FFF, o.flags);
    r.menu = ShellHost::DescribeMenu(menu.get());

    char help[MAX_PATH] = {};
    r.help = menuHandler->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, MAX_PATH);
    if (SUCCEEDED(r.help))
        r.helpText = help;

    if (o.invoke) {
        std::string dir;
        if (!o.directory.empty()) {
            int cb = ::WideCharToMultiByte(CP_ACP, 0, o.directory.c_str(), -1, nullptr, 0, nullptr, nullptr);
            dir.resize(cb);
            ::WideCharToMultiByte(CP_ACP, 0, o.directory.c_str(), -1, &dir[0], cb, nullptr, nullptr);
        }
        CMINVOKECOMMANDINFO ici = {};
        ici.cbSize = sizeof(ici);
        ici.lpVerb = MAKEINTRESOURCEA(0);
        ici.lpDirectory = dir.empty() ? nullptr : dir.c_str();
        ici.nShow = SW_SHOWNORMAL;
        r.invoked = true;
        r.invoke = menuHandler->InvokeCommand(&ici);
    }
}

void RightClick(const Options& o, const CLSID& clsid, Report& r, bool freeLibraries = true)
{
    r.modulePath = RegisteredModule(o.clsid);

    {
        ComPtr<IShellExtInit> init;
        r.create = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&init));
        if (FAILED(r.create))
            return;
        r.loadedWhileInUse = !r.modulePath.empty() && ::GetModuleHandleW(r.modulePath.c_str()) != nullptr;

        ComPtr<IDataObject> data;
        r.initialize = ShellHost::CreateHDropDataObject(o.paths, &data);
        if (SUCCEEDED(r.initialize))
            r.initialize = init->Initialize(nullptr, data.Get(), nullptr);

        ComPtr<IContextMenu> menuHandler;
        if (SUCCEEDED(r.initialize) && SUCCEEDED(init.As(&menuHandler)))
            BuildMenuAndInvoke(o, menuHandler.Get(), r);
    }

    if (!freeLibraries)
        return;
    ::CoFreeUnusedLibraries();
    r.unloaded = r.modulePath.empty() || ::GetModuleHandleW(r.modulePath.c_str()) == nullptr;
}

std::string JsonString(const std::string& utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Hex(HRESULT hr)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

void PrintJson(const Report& r)
{
    std::string s = "{\"create\":\"" + Hex(r.create) + "\",\"initialize\":\"" + Hex(r.initialize) + "\",\"query\":\"" +
                    Hex(r.query) + "\",\"menu\":[";
    for (size_t i = 0; i < r.menu.size(); ++i) {
        const auto& m = r.menu[i];
        if (i)
            s += ",";
        s += "{\"position\":" + std::to_string(m.position) + ",\"id\":" + std::to_string(m.id) +
             ",\"separator\":" + (m.separator ? "true" : "false") +
             ",\"text\":" + JsonString(ShellHost::AnsiToUtf8(m.text)) + ",\"grayed\":" + (m.grayed ? "true" : "false") +
             ",\"bitmap\":" + (m.hasBitmap ? "true" : "false") + "}";
    }
    s += "],\"help\":\"" + Hex(r.help) + "\",\"helpText\":" + JsonString(ShellHost::AnsiToUtf8(r.helpText));
    if (r.invoked)
        s += ",\"invoke\":\"" + Hex(r.invoke) + "\"";
    s += ",\"module\":" + JsonString(ShellHost::ToUtf8(r.modulePath)) +
         ",\"loaded\":" + (r.loadedWhileInUse ? "true" : "false") + ",\"unloaded\":" + (r.unloaded ? "true" : "false") +
         "}\n";
    fputs(s.c_str(), stdout);
}

void PrintText(const Report& r)
{
    printf("CoCreateInstance: %s\n", Hex(r.create).c_str());
    if (FAILED(r.create))
        return;
    printf("Initialize:       %s\n", Hex(r.initialize).c_str());
    printf("QueryContextMenu: %s (%u command id%s used)\n", Hex(r.query).c_str(),
           SUCCEEDED(r.query) ? static_cast<unsigned>(HRESULT_CODE(r.query)) : 0u,
           HRESULT_CODE(r.query) == 1 ? "" : "s");
    printf("Menu:\n");
    if (r.menu.empty())
        printf("  (empty)\n");
    for (const auto& m : r.menu) {
        if (m.separator) {
            printf("  [%u] ---- separator ----\n", m.position);
            continue;
        }
        printf("  [%u] id %-5u \"%s\"  %s, %s\n", m.position, m.id, ShellHost::AnsiToUtf8(m.text).c_str(),
               m.grayed ? "greyed" : "enabled", m.hasBitmap ? "bitmap" : "no bitmap");
    }
    printf("Help text:        %s \"%s\"\n", Hex(r.help).c_str(), ShellHost::AnsiToUtf8(r.helpText).c_str());
    if (r.invoked)
        printf("InvokeCommand:    %s\n", Hex(r.invoke).c_str());
    printf("Module:           %s (%s)\n", ShellHost::ToUtf8(r.modulePath).c_str(),
           r.unloaded ? "unloaded after CoFreeUnusedLibraries" : "still loaded after CoFreeUnusedLibraries");
}

// What a leak would raise: the next kernel handle value (the table reuses the
// lowest free slot), the next GDI handle index, the working set.
struct Footprint {
    ULONG_PTR nextHandle = 0;
    ULONG_PTR nextGdiIndex = 0;
    SIZE_T workingSet = 0;
};

Footprint TakeFootprint()
{
    Footprint f;
    const UTIL::CUniqueHandle probe(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    f.nextHandle = reinterpret_cast<ULONG_PTR>(probe.get());
    const UTIL::CUniqueBitmap bitmap(::CreateBitmap(1, 1, 1, 32, nullptr));
    f.nextGdiIndex = reinterpret_cast<ULONG_PTR>(bitmap.get()) & 0xFFFF;
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc)))
        f.workingSet = pmc.WorkingSetSize;
    return f;
}

int Repeat(const Options& o, const CLSID& clsid)
{
    Report warm;
    RightClick(o, clsid, warm, false);  // loads the module and the agent's files once
    if (FAILED(warm.create)) {
        fprintf(stderr, "ksxhost: CoCreateInstance failed: %s\n", Hex(warm.create).c_str());
        return 1;
    }
    const Footprint before = TakeFootprint();
    LARGE_INTEGER freq, t0, t1;
    ::QueryPerformanceFrequency(&freq);
    std::vector<double> ms;
    ms.reserve(o.repeat);
    for (UINT i = 0; i < o.repeat; ++i) {
        Report r;
        ::QueryPerformanceCounter(&t0);
        RightClick(o, clsid, r, false);
        ::QueryPerformanceCounter(&t1);
        ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart));
    }
    const Footprint after = TakeFootprint();
    ::CoFreeUnusedLibraries();
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p90 = ms[std::min(ms.size() - 1, ms.size() * 9 / 10)];
    const long long wsDeltaKiB =
        (static_cast<long long>(after.workingSet) - static_cast<long long>(before.workingSet)) / 1024;
    if (o.json) {
        printf(
            "{\"cycles\":%u,\"medianMs\":%.3f,\"p90Ms\":%.3f,\"nextHandleBefore\":%llu,\"nextHandleAfter\":%llu,"
            "\"nextGdiIndexBefore\":%llu,\"nextGdiIndexAfter\":%llu,\"workingSetDeltaKiB\":%lld}\n",
            o.repeat, median, p90, static_cast<unsigned long long>(before.nextHandle),
            static_cast<unsigned long long>(after.nextHandle), static_cast<unsigned long long>(before.nextGdiIndex),
            static_cast<unsigned long long>(after.nextGdiIndex), wsDeltaKiB);
    } else {
        printf("Right-clicks:     %u (create, initialise, build the menu, release)\n", o.repeat);
        printf("Time each:        median %.3f ms, p90 %.3f ms\n", median, p90);
        printf("Next handle:      0x%llx -> 0x%llx\n", static_cast<unsigned long long>(before.nextHandle),
               static_cast<unsigned long long>(after.nextHandle));
        printf("Next GDI index:   %llu -> %llu\n", static_cast<unsigned long long>(before.nextGdiIndex),
               static_cast<unsigned long long>(after.nextGdiIndex));
        printf("Working set:      %+lld KiB\n", wsDeltaKiB);
    }
    return 0;
}

// The file menu's side of the explorer command.
struct ModernReport {
    bool fromModule = false;  // the class had no COM registration
    HRESULT create = E_FAIL;
    HRESULT items = E_FAIL;
    HRESULT quickState = E_FAIL, state = E_FAIL;
    EXPCMDSTATE stateValue = ECS_ENABLED;
    HRESULT title = E_FAIL, toolTip = E_FAIL, icon = E_FAIL;
    std::wstring titleText, toolTipText, iconText;
    HRESULT invoke = S_OK;
    bool invoked = false;
    std::wstring modulePath;
    bool unloaded = false;
};

using FnGetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using FnCanUnloadNow = HRESULT(WINAPI*)();

// A string the command allocated, taken and freed.
std::wstring TakeTaskString(LPWSTR text)
{
    std::wstring copy = text ? text : L"";
    ::CoTaskMemFree(text);
    return copy;
}

void UseCommand(const Options& o, IExplorerCommand* command, ModernReport& r)
{
    ComPtr<IShellItemArray> items;
    r.items = ShellHost::CreateShellItemArray(o.paths, &items);
    if (FAILED(r.items))
        return;
    r.quickState = command->GetState(items.Get(), FALSE, &r.stateValue);
    r.state = r.quickState == E_PENDING ? command->GetState(items.Get(), TRUE, &r.stateValue) : r.quickState;
    LPWSTR text = nullptr;
    r.title = command->GetTitle(items.Get(), &text);
    r.titleText = TakeTaskString(text);
    text = nullptr;
    r.toolTip = command->GetToolTip(items.Get(), &text);
    r.toolTipText = TakeTaskString(text);
    text = nullptr;
    r.icon = command->GetIcon(items.Get(), &text);
    r.iconText = TakeTaskString(text);
    if (o.invoke) {
        r.invoked = true;
        r.invoke = command->Invoke(items.Get(), nullptr);
    }
}

void RunModern(const Options& o, const CLSID& clsid, ModernReport& r)
{
    r.modulePath = RegisteredModule(o.clsid);
    ComPtr<IExplorerCommand> command;
    r.create = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&command));
    if (SUCCEEDED(r.create)) {
        UseCommand(o, command.Get(), r);
        command.Reset();
        ::CoFreeUnusedLibraries();
        r.unloaded = r.modulePath.empty() || ::GetModuleHandleW(r.modulePath.c_str()) == nullptr;
        return;
    }
    if (r.create != REGDB_E_CLASSNOTREG)
        return;
    r.fromModule = true;
    r.modulePath = RegisteredModule(kDefaultClsid);
    UTIL::CUniqueModule module(r.modulePath.empty() ? nullptr : ::LoadLibraryW(r.modulePath.c_str()));
    const auto getClassObject = module ? UTIL::GetProc<FnGetClassObject>(module.get(), "DllGetClassObject") : nullptr;
    const auto canUnloadNow = module ? UTIL::GetProc<FnCanUnloadNow>(module.get(), "DllCanUnloadNow") : nullptr;
    if (!getClassObject || !canUnloadNow)
        return;
    {
        ComPtr<IClassFactory> factory;
        r.create = getClassObject(clsid, IID_PPV_ARGS(&factory));
        if (SUCCEEDED(r.create))
            r.create = factory->CreateInstance(nullptr, IID_PPV_ARGS(&command));
        if (SUCCEEDED(r.create))
            UseCommand(o, command.Get(), r);
    }
    command.Reset();
    if (canUnloadNow() == S_OK) {
        module.reset();
        r.unloaded = ::GetModuleHandleW(r.modulePath.c_str()) == nullptr;
    } else {
        module.release();  // something of the module still lives
    }
}

const char* StateName(const ModernReport& r)
{
    if (FAILED(r.state))
        return "unknown";
    return r.stateValue == ECS_ENABLED ? "enabled" : r.stateValue == ECS_DISABLED ? "disabled" : "other";
}

void PrintModern(const Options& o, const ModernReport& r)
{
    using ShellHost::ToUtf8;
    if (o.json) {
        std::string s = "{\"create\":\"" + Hex(r.create) + "\",\"activation\":\"" + (r.fromModule ? "module" : "com") +
                        "\",\"items\":\"" + Hex(r.items) + "\",\"quickState\":\"" + Hex(r.quickState) +
                        "\",\"state\":\"" + Hex(r.state) + "\",\"stateName\":\"" + StateName(r) + "\",\"title\":\"" +
                        Hex(r.title) + "\",\"titleText\":" + JsonString(ToUtf8(r.titleText)) + ",\"toolTip\":\"" +
                        Hex(r.toolTip) + "\",\"toolTipText\":" + JsonString(ToUtf8(r.toolTipText)) + ",\"icon\":\"" +
                        Hex(r.icon) + "\",\"iconText\":" + JsonString(ToUtf8(r.iconText));
        if (r.invoked)
            s += ",\"invoke\":\"" + Hex(r.invoke) + "\"";
        s += ",\"module\":" + JsonString(ToUtf8(r.modulePath)) + ",\"unloaded\":" + (r.unloaded ? "true" : "false") +
             "}\n";
        fputs(s.c_str(), stdout);
        return;
    }
    printf("Activation:       %s\n", r.fromModule
                                         ? "DllGetClassObject of the handler's module (class not registered with COM)"
                                         : "CoCreateInstance");
    printf("Create:           %s\n", Hex(r.create).c_str());
    if (FAILED(r.create))
        return;
    printf("Shell items:      %s\n", Hex(r.items).c_str());
    if (FAILED(r.items))
        return;
    printf("GetState:         %s without leave to be slow", Hex(r.quickState).c_str());
    if (r.quickState == E_PENDING)
        printf(", %s with it", Hex(r.state).c_str());
    printf(": %s\n", StateName(r));
    printf("GetTitle:         %s \"%s\"\n", Hex(r.title).c_str(), ToUtf8(r.titleText).c_str());
    printf("GetToolTip:       %s \"%s\"\n", Hex(r.toolTip).c_str(), ToUtf8(r.toolTipText).c_str());
    printf("GetIcon:          %s \"%s\"\n", Hex(r.icon).c_str(), ToUtf8(r.iconText).c_str());
    if (r.invoked)
        printf("Invoke:           %s\n", Hex(r.invoke).c_str());
    printf("Module:           %s (%s)\n", ToUtf8(r.modulePath).c_str(), r.unloaded ? "unloaded" : "still loaded");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, o) || o.paths.empty() || (o.modern && o.repeat)) {
        Usage();
        return 2;
    }
    if (o.clsid.empty())
        o.clsid = o.modern ? kCommandClsid : kDefaultClsid;
    CLSID clsid = {};
    if (FAILED(::CLSIDFromString(o.clsid.c_str(), &clsid))) {
        fwprintf(stderr, L"ksxhost: not a class id: %ls\n", o.clsid.c_str());
        return 2;
    }
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        fprintf(stderr, "ksxhost: CoInitializeEx failed: %s\n", Hex(hr).c_str());
        return 1;
    }
    if (o.modern) {
        ModernReport r;
        RunModern(o, clsid, r);
        ::CoUninitialize();
        PrintModern(o, r);
        return SUCCEEDED(r.create) && SUCCEEDED(r.items) ? 0 : 1;
    }
    if (o.repeat) {
        const int rc = Repeat(o, clsid);
        ::CoUninitialize();
        return rc;
    }
    Report r;
    RightClick(o, clsid, r);
    ::CoUninitialize();

    if (o.json)
        PrintJson(r);
    else
        PrintText(r);
    return SUCCEEDED(r.create) && SUCCEEDED(r.initialize) ? 0 : 1;
}
