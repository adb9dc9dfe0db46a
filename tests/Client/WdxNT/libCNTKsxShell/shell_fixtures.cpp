#include "shell_fixtures.h"

#include "cntts_ClassFactory.h"
#include "cntts_Module.h"
#include "shellhost.h"

namespace ShellTest {

ComPtr<IClassFactory> NewFactory() { return ComPtr<IClassFactory>(new KsxShell::CShellExtClassFactory()); }

ComPtr<IContextMenu> NewHandler()
{
    ComPtr<IContextMenu> menu;
    EXPECT_EQ(NewFactory()->CreateInstance(nullptr, IID_PPV_ARGS(&menu)), S_OK);
    return menu;
}

ComPtr<IContextMenu> NewHandlerWith(const std::vector<std::wstring>& paths)
{
    ComPtr<IContextMenu> menu = NewHandler();
    ComPtr<IShellExtInit> init;
    ComPtr<IDataObject> data;
    EXPECT_EQ(ShellHost::CreateHDropDataObject(paths, &data), S_OK);
    if (menu && SUCCEEDED(menu.As(&init)) && data) {
        EXPECT_EQ(init->Initialize(nullptr, data.Get(), nullptr), S_OK);
    }
    return menu;
}

ComPtr<IExplorerCommand> NewCommand()
{
    ComPtr<IExplorerCommand> command;
    const ComPtr<IClassFactory> factory(
        new KsxShell::CShellExtClassFactory(KsxShell::CShellExtClassFactory::kExplorerCommand));
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&command)), S_OK);
    return command;
}

HRESULT Invoke(IContextMenu* menu, const char* directory)
{
    CMINVOKECOMMANDINFO ici = {};
    ici.cbSize = sizeof(ici);
    ici.lpVerb = MAKEINTRESOURCEA(0);
    ici.lpDirectory = directory;
    ici.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&ici);
}

void ShellTestBase::TearDown()
{
    if (!HasFailure()) {
        EXPECT_EQ(KsxShell::ModuleObjectCount(), 0);
    }
}

CFakeMonitor::CFakeMonitor(bool hang) : m_hang(hang), m_release(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_thread = std::thread([this] { Run(); });
    for (int i = 0; i < 500 && !m_hwnd; ++i)
        ::Sleep(10);
}

CFakeMonitor::~CFakeMonitor()
{
    ::SetEvent(m_release.get());
    ::PostMessageA(m_hwnd, WM_CLOSE, 0, 0);
    m_thread.join();
}

LRESULT CALLBACK CFakeMonitor::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    auto* self = reinterpret_cast<CFakeMonitor*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (msg == WM_COPYDATA && self) {
        const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lp);
        ++self->requests;
        self->wParam = wp;
        self->dwData = cds->dwData;
        self->cbData = cds->cbData;
        self->data.assign(static_cast<const char*>(cds->lpData), cds->cbData);
        if (self->m_hang)
            ::WaitForSingleObject(self->m_release.get(), INFINITE);
        return TRUE;
    }
    if (msg == WM_CLOSE) {
        ::DestroyWindow(hwnd);
        return 0;
    }
    if (msg == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(hwnd, msg, wp, lp);
}

void CFakeMonitor::Run()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = Proc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "WdxNTMonClass";
    ::RegisterClassA(&wc);
    HWND hwnd = ::CreateWindowExA(0, "WdxNTMonClass", "WdxNTMon.MainFrame", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_hwnd = hwnd;
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0)
        ::DispatchMessageA(&msg);
    ::UnregisterClassA("WdxNTMonClass", wc.hInstance);
}

std::string WaitForJournal(const std::string& path, size_t lines, DWORD timeoutMs)
{
    std::string text;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        text = KsxTest::ReadBytes(path);
        size_t n = 0;
        for (char c : text)
            n += c == '\n';
        if (n >= lines)
            break;
        ::Sleep(20);
    } while (::GetTickCount64() < deadline);
    return text;
}

}  // namespace ShellTest
