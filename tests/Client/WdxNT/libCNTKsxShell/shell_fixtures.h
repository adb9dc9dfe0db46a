// Shared by the shell extension's suites: handlers made the way the shell
// makes them, a tray monitor window inside the test, the launcher's journal.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cntts_ScanDispatch.h"
#include "test_support.h"
#include "ut_Handle.h"

namespace ShellTest {

using Microsoft::WRL::ComPtr;

ComPtr<IClassFactory> NewFactory();
// A handler from a fresh factory; with `paths`, initialised with that selection.
ComPtr<IContextMenu> NewHandler();
ComPtr<IContextMenu> NewHandlerWith(const std::vector<std::wstring>& paths);

// The file menu's explorer command from a fresh factory.
ComPtr<IExplorerCommand> NewCommand();

// InvokeCommand for the item (command offset 0).
HRESULT Invoke(IContextMenu* menu, const char* directory = nullptr);

// Checks that no factory or handler outlives a test that has not failed;
// fixtures that hold handlers drop them before calling this TearDown.
class ShellTestBase : public ::testing::Test {
protected:
    void TearDown() override;
};

// Puts the dispatch hooks back as they were.
class CDispatchHooksScope {
public:
    CDispatchHooksScope() : m_saved(KsxShell::DispatchHooksForTesting()) {}
    ~CDispatchHooksScope() { KsxShell::DispatchHooksForTesting() = m_saved; }
    CDispatchHooksScope(const CDispatchHooksScope&) = delete;
    CDispatchHooksScope& operator=(const CDispatchHooksScope&) = delete;

private:
    KsxShell::DispatchHooks m_saved;
};

// The tray monitor's window on a thread of the test: keeps the last request;
// with `hang`, holds every request until the monitor goes.
class CFakeMonitor {
public:
    explicit CFakeMonitor(bool hang = false);
    ~CFakeMonitor();
    CFakeMonitor(const CFakeMonitor&) = delete;
    CFakeMonitor& operator=(const CFakeMonitor&) = delete;

    HWND Window() const { return m_hwnd; }

    int requests = 0;
    WPARAM wParam = 0;
    ULONG_PTR dwData = 0;
    DWORD cbData = 0;
    std::string data;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    void Run();

    bool m_hang;
    UTIL::CUniqueHandle m_release;
    std::atomic<HWND> m_hwnd{nullptr};
    std::thread m_thread;
};

// The file's text once it holds `lines` lines, or what it has at the deadline.
std::string WaitForJournal(const std::string& path, size_t lines, DWORD timeoutMs = 10000);

}  // namespace ShellTest
