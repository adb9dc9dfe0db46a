#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "cntts_ScanDispatch.h"
#include "shellhost.h"
#include "test_support.h"

using namespace KsxShell;

namespace {

// A tray monitor window inside the test, on its own thread, that keeps the
// last request it received.
class CFakeMonitor {
public:
    explicit CFakeMonitor(DWORD createAfterMs = 0, bool hang = false) : m_hang(hang)
    {
        m_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = std::thread([this, createAfterMs] { Run(createAfterMs); });
        if (createAfterMs == 0)
            WaitReady();
    }
    ~CFakeMonitor()
    {
        ::SetEvent(m_release);
        WaitReady();
        ::PostMessageA(m_hwnd, WM_CLOSE, 0, 0);
        m_thread.join();
        ::CloseHandle(m_release);
    }

    void WaitReady()
    {
        for (int i = 0; i < 500 && !m_hwnd; ++i)
            ::Sleep(10);
    }

    int requests = 0;
    WPARAM wParam = 0;
    ULONG_PTR dwData = 0;
    DWORD cbData = 0;
    std::string data;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
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
                ::WaitForSingleObject(self->m_release, INFINITE);
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

    void Run(DWORD delayMs)
    {
        ::Sleep(delayMs);
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

    bool m_hang;
    HANDLE m_release = nullptr;
    std::atomic<HWND> m_hwnd{nullptr};
    std::thread m_thread;
};

IContextMenu* NewHandlerWith(const std::vector<std::wstring>& paths)
{
    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    IShellExtInit* init = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
    factory->Release();
    IDataObject* data = nullptr;
    EXPECT_EQ(ShellHost::CreateHDropDataObject(paths, &data), S_OK);
    init->Initialize(nullptr, data, nullptr);
    data->Release();
    IContextMenu* menu = nullptr;
    init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu));
    init->Release();
    return menu;
}

HRESULT Invoke(IContextMenu* menu, const char* directory = nullptr)
{
    CMINVOKECOMMANDINFO ici = {};
    ici.cbSize = sizeof(ici);
    ici.lpVerb = MAKEINTRESOURCEA(0);
    ici.lpDirectory = directory;
    ici.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&ici);
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Waits until the journal holds `lines` lines, or the deadline passes.
std::string WaitForJournal(const std::string& path, size_t lines, DWORD timeoutMs = 10000)
{
    std::string text;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        text = ReadFileText(path);
        size_t n = 0;
        for (char c : text)
            n += c == '\n';
        if (n >= lines)
            break;
        ::Sleep(20);
    }
    return text;
}

class DispatchTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(ModuleObjectCount(), 0); }
    KsxTest::CAgentRegistry m_registry;
};

TEST_F(DispatchTest, RequestCarriesTheJoinedPathsAndOneNul)
{
    CFakeMonitor monitor;
    IContextMenu* menu = NewHandlerWith({L"C:\\a.txt", L"C:\\b", L"D:\\"});
    EXPECT_EQ(Invoke(menu), S_OK);
    menu->Release();
    ASSERT_EQ(monitor.requests, 1);
    EXPECT_EQ(monitor.wParam, 3u);
    EXPECT_EQ(monitor.dwData, 3u);
    EXPECT_EQ(monitor.cbData, 18u);
    EXPECT_EQ(monitor.data, std::string("C:\\a.txt?C:\\b?D:\\\0", 18));
}

TEST_F(DispatchTest, OneAndManyItems)
{
    CFakeMonitor monitor;
    IContextMenu* one = NewHandlerWith({L"C:\\only one.txt"});
    EXPECT_EQ(Invoke(one), S_OK);
    one->Release();
    EXPECT_EQ(monitor.data, std::string("C:\\only one.txt\0", 16));

    std::vector<std::wstring> many;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        many.push_back(L"C:\\folder\\file" + std::to_wstring(i) + L".bin");
        expected += (i ? "?" : "") + std::string("C:\\folder\\file") + std::to_string(i) + ".bin";
    }
    expected.push_back('\0');
    IContextMenu* lots = NewHandlerWith(many);
    EXPECT_EQ(Invoke(lots), S_OK);
    lots->Release();
    EXPECT_EQ(monitor.requests, 2);
    EXPECT_EQ(monitor.data, expected);
    EXPECT_EQ(monitor.cbData, expected.size());
}

TEST_F(DispatchTest, RcsOtherThan202TakesTheMonitorPath)
{
    m_registry.SetDword("Misc.", "RCS", 201);
    CFakeMonitor monitor;
    IContextMenu* menu = NewHandlerWith({L"C:\\x"});
    EXPECT_EQ(Invoke(menu, "C:\\"), S_OK);
    menu->Release();
    EXPECT_EQ(monitor.requests, 1);
}

TEST_F(DispatchTest, MonitorThatAppearsLateIsFound)
{
    CFakeMonitor monitor(1000);
    IContextMenu* menu = NewHandlerWith({L"C:\\late.txt"});
    EXPECT_EQ(Invoke(menu), S_OK);
    menu->Release();
    EXPECT_EQ(monitor.requests, 1);
    EXPECT_EQ(monitor.data, std::string("C:\\late.txt\0", 12));
}

TEST_F(DispatchTest, NoMonitorGivesUpAfterFiftyOneTries)
{
    IContextMenu* menu = NewHandlerWith({L"C:\\x"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Invoke(menu), E_UNEXPECTED);
    const auto waited = std::chrono::steady_clock::now() - start;
    menu->Release();
    // 51 tries 200 ms apart: about ten seconds, not forever.
    EXPECT_GE(waited, std::chrono::milliseconds(9000));
    EXPECT_LT(waited, std::chrono::milliseconds(30000));
}

TEST_F(DispatchTest, HungMonitorDoesNotHoldTheShellForever)
{
    SetMonitorReplyTimeoutForTesting(300);
    {
        CFakeMonitor monitor(0, true);
        IContextMenu* menu = NewHandlerWith({L"C:\\x"});
        EXPECT_EQ(Invoke(menu), S_OK);
        menu->Release();
        EXPECT_EQ(monitor.requests, 1);
    }
    SetMonitorReplyTimeoutForTesting(kMonitorReplyTimeoutMs);
}

TEST_F(DispatchTest, NoSelectionSendsNothing)
{
    CFakeMonitor monitor;
    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    IContextMenu* menu = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    factory->Release();
    EXPECT_EQ(Invoke(menu), S_OK);
    menu->Release();
    EXPECT_EQ(monitor.requests, 0);
}

TEST_F(DispatchTest, PathsTheRequestCannotCarryAreLeftOut)
{
    KsxTest::CTempFolder temp;
    // Greek letters have no form in the Western ANSI code page; the file exists,
    // so its short name can stand in.
    const std::wstring dir(temp.Path().begin(), temp.Path().end());
    const std::wstring greek = dir + L"\x03A9\x03BC\x03B5\x03B3\x03B1 report.txt";
    HANDLE file = ::CreateFileW(greek.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);

    CFakeMonitor monitor;
    IContextMenu* menu = NewHandlerWith({L"C:\\ok.txt", L"C:\\missing\\\x03A9.txt", greek,
                                         L"\\\\?\\C:\\prefixed.txt", L"\\\\?\\GLOBALROOT\\Device\\x",
                                         L"C:\\" + std::wstring(600, L'a')});
    EXPECT_EQ(Invoke(menu), S_OK);
    menu->Release();
    ASSERT_EQ(monitor.requests, 1);
    const std::string payload = monitor.data;
    ASSERT_FALSE(payload.empty());
    EXPECT_EQ(payload.back(), '\0');
    std::vector<std::string> parts;
    std::stringstream ss(payload.substr(0, payload.size() - 1));
    for (std::string part; std::getline(ss, part, '?');)
        parts.push_back(part);
    ASSERT_EQ(parts.size(), 3u) << payload;
    EXPECT_EQ(parts[0], "C:\\ok.txt");
    EXPECT_NE(parts[1].find('~'), std::string::npos) << parts[1];  // the short form
    EXPECT_EQ(::GetFileAttributesA(parts[1].c_str()) != INVALID_FILE_ATTRIBUTES, true) << parts[1];
    EXPECT_EQ(parts[2], "C:\\prefixed.txt");
}

TEST(MonitorPath, PrefixesAndLimits)
{
    std::string out;
    const char* reason = nullptr;
    EXPECT_TRUE(MonitorPathFromWide(L"\\\\?\\UNC\\server\\share\\f.txt", out, &reason));
    EXPECT_EQ(out, "\\\\server\\share\\f.txt");
    EXPECT_FALSE(MonitorPathFromWide(L"\\\\?\\Volume{1234}\\x", out, &reason));
    EXPECT_STREQ(reason, "not an ordinary path");

    const std::wstring longest = L"C:\\" + std::wstring(516, L'b');  // 519 bytes
    EXPECT_TRUE(MonitorPathFromWide(longest, out, &reason));
    EXPECT_EQ(out.size(), 519u);
    EXPECT_FALSE(MonitorPathFromWide(longest + L"b", out, &reason));
    EXPECT_STREQ(reason, "longer than 519 bytes");
}

TEST(MonitorPath, JoinUsesOneSeparatorBetweenPaths)
{
    EXPECT_EQ(JoinMonitorRequest({"C:\\a.txt", "C:\\b", "D:\\"}), std::string("C:\\a.txt?C:\\b?D:\\\0", 18));
    EXPECT_EQ(JoinMonitorRequest({"C:\\a"}), std::string("C:\\a\0", 5));
}

TEST(ApplicationPath, OnlyTerminatedStringsCount)
{
    KsxTest::CAgentRegistry registry;
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion", 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    auto set = [&](DWORD type, const void* data, DWORD cb) {
        ::RegSetValueExA(key, "Application Path", 0, type, static_cast<const BYTE*>(data), cb);
    };
    std::string folder = "untouched";
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(folder, "untouched");

    set(REG_SZ, "C:\\Agent", 9);
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_SUCCESS);
    EXPECT_EQ(folder, "C:\\Agent");
    set(REG_EXPAND_SZ, "", 0);
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_SUCCESS);
    EXPECT_EQ(folder, "");
    set(REG_MULTI_SZ, "C:\\A\0", 6);
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_SUCCESS);
    EXPECT_EQ(folder, "C:\\A");
    set(REG_MULTI_SZ, "C:\\A\0B", 6);
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_INVALID_DATA);
    const DWORD number = 0x5C3A43;
    set(REG_DWORD, &number, 4);
    EXPECT_EQ(ReadApplicationPath(key, folder), ERROR_INVALID_DATA);
    ::RegCloseKey(key);
}

TEST(ApplicationPath, TerminationRules)
{
    // Wine's RegQueryValueExA terminates an unterminated REG_SZ that was stored
    // through the A form, so the rules are checked on raw bytes.
    EXPECT_TRUE(IsTerminatedRegistryString(REG_SZ, "C:\\A", 5));
    EXPECT_FALSE(IsTerminatedRegistryString(REG_SZ, "C:\\A", 4));
    EXPECT_FALSE(IsTerminatedRegistryString(REG_EXPAND_SZ, "C:\\A", 4));
    EXPECT_TRUE(IsTerminatedRegistryString(REG_SZ, "", 0));
    EXPECT_TRUE(IsTerminatedRegistryString(REG_MULTI_SZ, "\0", 1));
    EXPECT_TRUE(IsTerminatedRegistryString(REG_MULTI_SZ, "A\0\0", 3));
    EXPECT_FALSE(IsTerminatedRegistryString(REG_MULTI_SZ, "AB\0", 3));
    EXPECT_FALSE(IsTerminatedRegistryString(REG_BINARY, "A\0", 2));
    EXPECT_FALSE(IsTerminatedRegistryString(REG_DWORD, "\0\0\0\0", 4));
}

// The launcher under user access restriction, checked from its own journal.
class LauncherTest : public DispatchTest {
protected:
    void SetUp() override
    {
        m_registry.SetDword("Misc.", "RCS", 202);
        m_folder = m_temp.Path() + "Program Files (x86)\\Corvane Agent\\";
        m_temp.WriteFile("Program Files (x86)\\Corvane Agent\\sablelauncher.exe",
                         ReadFileText(KsxTest::ExeDirA() + "sablelauncher.exe"));
        // What Windows would run first for an unquoted path with spaces.
        m_temp.WriteFile("Program.exe", ReadFileText(KsxTest::ExeDirA() + "sablelauncher.exe"));
    }

    std::string Journal() const { return m_folder + "sablelauncher.journal"; }

    KsxTest::CTempFolder m_temp;
    std::string m_folder;
};

TEST_F(LauncherTest, StartsTheLauncherWithTheWorkingDirectoryEvenWhenAMonitorExists)
{
    m_registry.SetString("", "Application Path", m_folder.substr(0, m_folder.size() - 1));  // no trailing "\"
    CFakeMonitor monitor;
    IContextMenu* menu = NewHandlerWith({L"C:\\not-sent.txt"});
    EXPECT_EQ(Invoke(menu, "D:\\Data"), S_OK);
    menu->Release();

    const std::string journal = WaitForJournal(Journal(), 3);
    EXPECT_NE(journal.find("PROGRAM " + m_folder + "sablelauncher.exe\r\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find("COMMANDLINE " + m_folder + "sablelauncher.exe -manual_scan_target D:\\Data\r\n"),
              std::string::npos)
        << journal;
    EXPECT_EQ(monitor.requests, 0);
    EXPECT_EQ(::GetFileAttributesA((m_temp.Path() + "Program.journal").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LauncherTest, TrailingBackslashAndNoWorkingDirectory)
{
    m_registry.SetString("", "Application Path", m_folder);
    IContextMenu* menu = NewHandlerWith({L"C:\\x"});
    EXPECT_EQ(Invoke(menu, nullptr), S_OK);
    menu->Release();
    const std::string journal = WaitForJournal(Journal(), 3);
    EXPECT_NE(journal.find("COMMANDLINE " + m_folder + "sablelauncher.exe -manual_scan_target \r\n"),
              std::string::npos)
        << journal;
}

TEST_F(LauncherTest, NothingStartsWithoutAUsableApplicationPathOrWhenTooLong)
{
    m_registry.SetDword("", "Application Path", 7);
    IContextMenu* menu = NewHandlerWith({L"C:\\x"});
    EXPECT_EQ(Invoke(menu, "C:\\"), S_OK);

    // A target that cannot fit in the command line is not cut.
    m_registry.SetString("", "Application Path", m_folder);
    EXPECT_EQ(Invoke(menu, ("C:\\" + std::string(250, 'z')).c_str()), S_OK);
    menu->Release();
    ::Sleep(500);
    EXPECT_EQ(::GetFileAttributesA(Journal().c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
