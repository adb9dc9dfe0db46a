// The tray-icon callback over the IPC stand-in, with the tray monitor
// stand-in as the receiver. The binding is process-wide, so the cases run in
// order in one test: without the library, then with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "oicm_ConfigureCallback.h"
#include "log_fixtures.h"
#include "oicm_ConfigureManager.h"
#include "test_support.h"

namespace {

using BrixIntegration::CConfigureCallback;

using KsxTest::ReadLines;

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

// traymon.exe running until the object goes.
class CTrayMonitor {
public:
    explicit CTrayMonitor(const std::wstring& journal)
    {
        const std::wstring event = L"ksx_traymon_ready_" + std::to_wstring(::GetCurrentProcessId());
        UTIL::CUniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        std::wstring cmd =
            L"\"" + KsxTest::ExeDir() + L"traymon.exe\" --journal \"" + journal + L"\" --ready-event " + event;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        if (::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi)) {
            ::CloseHandle(m_pi.hThread);
            ::WaitForSingleObject(ready.get(), 30000);
        }
    }
    ~CTrayMonitor()
    {
        if (m_pi.hProcess) {
            ::TerminateProcess(m_pi.hProcess, 0);
            ::WaitForSingleObject(m_pi.hProcess, 10000);
            ::CloseHandle(m_pi.hProcess);
        }
    }

private:
    PROCESS_INFORMATION m_pi = {};
};

TEST(ConfigureCallback, ShowSystemTrayIconReachesTheTrayMonitorThroughOneBinding)
{
    const std::wstring dll = KsxTest::ExeDir() + L"BsnPIPC_64x.dll";
    const std::string ipcJournal = KsxTest::ExeDirA() + "BsnPIPC_64x.journal";
    ::DeleteFileA(ipcJournal.c_str());

    // Without the library beside the host: nothing to call, every time.
    ASSERT_EQ(::GetFileAttributesW(dll.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CConfigureCallback::CallbackShowSystemTrayIcon(0), CConfigureCallback::kNotAvailable);
    EXPECT_EQ(CConfigureCallback::CallbackShowSystemTrayIcon(0), CConfigureCallback::kNotAvailable);

    KsxTest::CTempFolder folder;
    const std::string trayJournal = folder.Path() + "traymon.journal";
    CTrayMonitor monitor(KsxTest::Wide(trayJournal));
    ASSERT_TRUE(::CopyFileW((KsxTest::ExeDir() + L"..\\agent\\bsnpipc\\BsnPIPC_64x.dll").c_str(), dll.c_str(), FALSE));
    // A refresh without callbacks leaves the library alone; with them, switch 120 calls it.
    KsxTest::CAgentRegistry registry;
    const std::string ini = folder.WriteFile("switches.ini", "[Global Setting]\r\nSystemTrayIconOnOff=0\r\n");
    BrixIntegration::CConfigureManager manager;
    manager.UpdateKeyFromIniA(ini.c_str(), 0);
    EXPECT_EQ(::GetModuleHandleW(L"BsnPIPC_64x.dll"), nullptr);
    manager.UpdateKeyFromIniA(ini.c_str(), 1);
    auto lines = ReadLines(ipcJournal);
    // The first call opens the shared context and its own, and ends its own.
    EXPECT_EQ(lines,
              (std::vector<std::string>{"BIPC_Init 1 UPDATE_SHOW_SYSTEM_TRAY_ICON",
                                        "BIPC_Init 2 UPDATE_SHOW_SYSTEM_TRAY_ICON", "BIPC_CreateCommand 1 1815 0 2",
                                        "BIPC_SendData 4 2 sent", "BIPC_FreeCommand 2", "BIPC_DeInit 2"}));

    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([] { EXPECT_EQ(CConfigureCallback::CallbackShowSystemTrayIcon(0), 0); });
    for (auto& t : threads)
        t.join();
    lines = ReadLines(ipcJournal);
    EXPECT_EQ(CountPrefix(lines, "BIPC_Init "), 2u + 8u);  // one context per later call
    EXPECT_EQ(CountPrefix(lines, "BIPC_DeInit "), 1u + 8u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "BIPC_DeInit 1"), 0);  // the shared context stays
    EXPECT_EQ(CountPrefix(ReadLines(trayJournal), "IPC 1815 UPDATE_SHOW_SYSTEM_TRAY_ICON"), 9u);

    // The library stays loaded: rename it away so no other suite finds it.
    const std::wstring parked = dll + L"." + std::to_wstring(::GetTickCount()) + L".old";
    EXPECT_TRUE(::MoveFileExW(dll.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING));
    ::DeleteFileW(parked.c_str());
    ::DeleteFileA(ipcJournal.c_str());
}

}  // namespace
