// KSXSHELL.dll loaded once, right-clicked many times and from eight apartments,
// logging to the agent's log server. CI's lengths; KSX_SOAK_FULL=1 the full runs.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cntts_Module.h"
#include "log_fixtures.h"
#include "logcl_DebugLog.h"
#include "oicm_ConfigureCallback.h"
#include "service_fixture.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"
#include "ut_ProcAddress.h"

namespace {

using ShellTest::ComPtr;

bool FullLength() { return std::getenv("KSX_SOAK_FULL") && std::string(std::getenv("KSX_SOAK_FULL")) == "1"; }

const char kHelpText[] = "Scan with Halyard NT";  // from WDXNTRES.DLL; "Halyard NT" without it

// The agent as installed: profile, string tables, bitmap, the signed resource
// library, its state keys, and NTRtWatch running.
class CInstalledAgent {
public:
    CInstalledAgent()
    {
        const std::string from = std::string("Z:") + KSX_SOURCE_DIR + "/agent/install/";
        for (const char* file :
             {"www\\1600\\UIProfile.cfg", "www\\1600\\UIProfileOri.cfg", "www\\1600\\Global_Ui_Setting.xml",
              "www\\1600\\res\\corvane_logo.bmp", "www\\1600\\i18n\\EN-US\\UIStringTable.ini",
              "www\\1600\\i18n\\DE-DE\\UIStringTable.ini", "www\\1600\\i18n\\JA\\UIStringTable.ini"})
            m_folder.WriteFile(file, KsxTest::ReadBytes(from + file));
        const std::wstring lib = KsxTest::ExeDir() + L"..\\agent\\wdxntres\\WDXNTRES.DLL";
        const std::string to = m_folder.Path() + "WDXNTRES.DLL";
        EXPECT_TRUE(::CopyFileW(lib.c_str(), std::wstring(to.begin(), to.end()).c_str(), FALSE));
        m_registry.SetString("", "Application Path", m_folder.Path());
        for (const char* flag : {"IsScanning", "UpdateOngoing", "RCS", "ClientUIDisplayMode"})
            m_registry.SetDword("Misc.", flag, 0);
        m_registry.SetDword("Manual Scan Configuration", "ManualScanInstance", 0);
        m_registry.SetDword("Real Time Scan Configuration", "Remote", 0);
        m_registry.SetDword("Real Time Scan Configuration", "PreSchedule", 0);
        EXPECT_TRUE(m_service.Start());
    }

private:
    KsxTest::CTempFolder m_folder;
    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
};

using PFN_GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using PFN_CanUnloadNow = HRESULT(WINAPI*)();

// One right-click as the shell makes it: factory, object, selection, menu,
// help text, release; with `invoke`, the item chosen as well.
void RightClick(PFN_GetClassObject getClassObject, const std::wstring& path, bool invoke)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(KsxShell::CLSID_KsxShellExt, IID_PPV_ARGS(&factory)), S_OK);
    ComPtr<IContextMenu> menu;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&menu)), S_OK);
    factory.Reset();
    ComPtr<IShellExtInit> init;
    ComPtr<IDataObject> data;
    ASSERT_EQ(menu.As(&init), S_OK);
    ASSERT_EQ(ShellHost::CreateHDropDataObject({path}, &data), S_OK);
    ASSERT_EQ(init->Initialize(nullptr, data.Get(), nullptr), S_OK);
    UTIL::CUniqueMenu popup(::CreatePopupMenu());
    EXPECT_EQ(menu->QueryContextMenu(popup.get(), 0, 1, 100, CMF_NORMAL), MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1));
    char help[64] = {};
    EXPECT_EQ(menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, sizeof(help)), S_OK);
    EXPECT_STREQ(help, kHelpText);
    if (invoke) {
        EXPECT_EQ(ShellTest::Invoke(menu.Get()), S_OK);
    }
}

// What the process holds. Wine reports the handle and GDI counters as 0, so
// the next handle and GDI slot are read from fresh objects, and live GDI
// objects are counted by slot (Wine matches a handle whose upper word is 0 to
// its slot); the heap's busy blocks count a leak too small for the working set.
const char* const kMeasures[] = {"next handle slot", "next GDI slot", "live GDI objects", "working set",
                                 "heap bytes in use"};
using CFootprint = std::array<long long, 5>;

CFootprint Measure()
{
    CFootprint f = {};
    UTIL::CUniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    f[0] = static_cast<long long>(reinterpret_cast<ULONG_PTR>(event.get()) / 4);
    HBRUSH brush = ::CreateSolidBrush(RGB(1, 2, 3));
    f[1] = LOWORD(reinterpret_cast<ULONG_PTR>(brush));
    ::DeleteObject(brush);
    f[2] = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    const bool counted = f[2] != 0;
    for (ULONG_PTR slot = 0x20; !counted && slot < 0x20 + 16384; ++slot)
        f[2] += ::GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0;
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc)))
        f[3] = static_cast<long long>(pmc.WorkingSetSize);
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!::HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (::HeapWalk(heaps[i], &entry))
            f[4] += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) ? entry.cbData : 0;
        ::HeapUnlock(heaps[i]);
    }
    return f;
}

class CApartment {
public:
    CApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

class ShellSoak : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module) << ::GetLastError();
        ASSERT_TRUE(m_server.Started()) << "another log server may own the pipe";
        m_getClassObject = UTIL::GetProc<PFN_GetClassObject>(m_module.get(), "DllGetClassObject");
        m_canUnloadNow = UTIL::GetProc<PFN_CanUnloadNow>(m_module.get(), "DllCanUnloadNow");
        ASSERT_TRUE(m_getClassObject && m_canUnloadNow);
    }
    std::string LogPath() const { return m_logs.Path() + "agent.log"; }

    CApartment m_apartment;
    CInstalledAgent m_agent;
    KsxTest::CTempFolder m_logs;
    KsxTest::CLevelWord m_word{0};                                    // every record passes
    KsxTest::CLogServerProcess m_server{LogPath(), L"--max-size 0"};  // one file holds every record
    UTIL::CUniqueModule m_module{::LoadLibraryW((KsxTest::ExeDir() + L"KSXSHELL.dll").c_str())};
    PFN_GetClassObject m_getClassObject = nullptr;
    PFN_CanUnloadNow m_canUnloadNow = nullptr;
};

TEST_F(ShellSoak, RightClicksLeaveNoSteadyGrowth)
{
    const int clicks = FullLength() ? 10000 : 1000;
    constexpr int kWarmUp = 100;
    constexpr int kIntervals = 10;
    const std::wstring path = L"C:\\windows\\win.ini";
    for (int i = 0; i < kWarmUp && !HasFatalFailure(); ++i)
        RightClick(m_getClassObject, path, false);
    std::vector<CFootprint> samples{Measure()};
    for (int k = 0; k < kIntervals && !HasFailure(); ++k) {
        for (int i = 0; i < clicks / kIntervals && !HasFailure(); ++i)
            RightClick(m_getClassObject, path, false);
        samples.push_back(Measure());
    }
    ASSERT_EQ(samples.size(), kIntervals + 1u);

    // A leak grows a measure in every interval, while first-use costs (the
    // singletons, the heap settling) end early: so over the second half a
    // measure may move only by a tolerance far below one unit per right-click
    // (heap: 8 bytes a right-click; the sampling itself adds a few hundred).
    const CFootprint tolerance = {4, 4, 4, 1 << 20, 8LL * clicks / 2};
    const CFootprint& mid = samples[kIntervals / 2];
    std::printf("growth over %d right-clicks after %d to warm up (first half, second half, samples):\n", clicks,
                kWarmUp);
    for (size_t m = 0; m < tolerance.size(); ++m) {
        std::printf("  %-18s %+lld %+lld:", kMeasures[m], mid[m] - samples[0][m], samples.back()[m] - mid[m]);
        for (const CFootprint& sample : samples)
            std::printf(" %lld", sample[m]);
        std::printf("\n");
        EXPECT_LE(samples.back()[m] - mid[m], tolerance[m]) << kMeasures[m];
    }
    EXPECT_EQ(m_server.Stop(), 0u);
    std::printf("log server: %s", m_server.Output().c_str());
    EXPECT_NE(m_server.Output().find(" 0 malformed"), std::string::npos);
}

// The IPC library beside the test executable; once bound it stays loaded, so
// it is renamed away before it is deleted: no later suite may find it there.
class CIpcLibraryBesideHost {
public:
    CIpcLibraryBesideHost()
    {
        EXPECT_TRUE(
            ::CopyFileW((KsxTest::ExeDir() + L"..\\agent\\bsnpipc\\BsnPIPC_64x.dll").c_str(), m_path.c_str(), FALSE));
    }
    ~CIpcLibraryBesideHost()
    {
        const std::wstring parked = m_path + L"." + std::to_wstring(::GetTickCount()) + L".old";
        ::MoveFileExW(m_path.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING);
        ::DeleteFileW(parked.c_str());
        ::DeleteFileW((KsxTest::ExeDir() + L"BsnPIPC_64x.journal").c_str());
    }

private:
    const std::wstring m_path = KsxTest::ExeDir() + L"BsnPIPC_64x.dll";
};

// The number of lines once the log server has stopped adding to the file.
size_t SettledLines(const std::string& path)
{
    size_t lines = KsxTest::ReadLines(path).size(), before;
    do {
        before = lines;
        ::Sleep(500);
        lines = KsxTest::ReadLines(path).size();
    } while (lines != before);
    return lines;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == '\t')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

TEST_F(ShellSoak, EightApartmentsRightClickAndInvokeAtOnceLosingNoRecord)
{
    constexpr int kThreads = 8;
    const int cycles = FullLength() ? 1000 : 40;
    const std::string payload(600, 'k');
    CIpcLibraryBesideHost ipc;
    ShellTest::CFakeMonitor monitor;
    ASSERT_TRUE(monitor.Window());

    // A cycle: right-click and invoke (the selection goes to the monitor), the
    // tray-icon switch through the IPC binding, and one numbered record.
    const auto cycle = [&](int thread, int i) {
        RightClick(m_getClassObject, L"C:\\soak\\" + std::to_wstring(thread) + L"\\" + std::to_wstring(i) + L".txt",
                   true);
        EXPECT_EQ(BrixIntegration::CConfigureCallback::CallbackShowSystemTrayIcon(0), 0);
        DebugLogA(LOG_LEVEL_I, "cntts_Soak_test.cpp", static_cast<DWORD>(i), "%s - %d %d %s", "Soak::Cycle", thread, i,
                  payload.c_str());
    };
    // First uses log more than later ones; after them a cycle files a fixed
    // number of records, counted twice here.
    cycle(kThreads, 0);
    const size_t warm = SettledLines(LogPath());
    cycle(kThreads, 1);
    const size_t once = SettledLines(LogPath());
    cycle(kThreads, 2);
    const size_t perCycle = once - warm;
    ASSERT_EQ(SettledLines(LogPath()), once + perCycle);
    ASSERT_FALSE(HasFailure());

    UTIL::CUniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            CApartment apartment;
            ::WaitForSingleObject(go.get(), INFINITE);
            for (int i = 0; i < cycles && !HasFailure(); ++i)
                cycle(t, i);
        });
    ::SetEvent(go.get());
    for (auto& thread : threads)
        thread.join();
    ASSERT_FALSE(HasFailure());

    const size_t expected = once + perCycle * (1 + static_cast<size_t>(kThreads) * cycles);
    EXPECT_TRUE(KsxTest::WaitForLines(LogPath(), expected, 120000));
    const size_t filed = SettledLines(LogPath());
    std::printf("%d threads x %d cycles: %zu records a cycle, %zu expected, %zu filed; %d requests at the monitor\n",
                kThreads, cycles, perCycle, expected, filed, monitor.requests);
    EXPECT_EQ(filed, expected);
    EXPECT_EQ(monitor.requests, 2 * (3 + kThreads * cycles));  // the selection and the tray-icon command

    // Each record whole: eight fields from this process, each numbered
    // record once with its text intact.
    const std::string pid = std::to_string(::GetCurrentProcessId());
    std::vector<std::vector<int>> seen(kThreads + 1, std::vector<int>(cycles + 3));
    size_t malformed = 0;
    for (const std::string& line : KsxTest::ReadLines(LogPath())) {
        const auto fields = SplitTabs(line);
        if (fields.size() != 8 || fields[0] != "LOG_WRITE" || fields[2] != pid) {
            if (++malformed < 5)
                ADD_FAILURE() << line.substr(0, 200);
            continue;
        }
        int thread = -1, i = -1, length = 0;
        if (std::sscanf(fields[7].c_str(), "[][libCNTKsxShell_soak_tests.exe]Soak::Cycle - %d %d %n", &thread, &i,
                        &length) == 2) {
            ASSERT_TRUE(thread >= 0 && thread <= kThreads && i >= 0 && i < cycles + 3) << line;
            ++seen[thread][i];
            EXPECT_EQ(fields[7].substr(length), payload) << line.substr(0, 200);
        }
    }
    EXPECT_EQ(malformed, 0u);
    for (int t = 0; t <= kThreads; ++t)
        for (int i = 0; i < (t == kThreads ? 3 : cycles); ++i)
            EXPECT_EQ(seen[t][i], 1) << t << " " << i;

    EXPECT_EQ(m_server.Stop(), 0u);
    std::printf("log server: %s", m_server.Output().c_str());
    EXPECT_NE(m_server.Output().find(" 0 malformed"), std::string::npos);

    // Every object gone: the module may go, and goes.
    EXPECT_EQ(m_canUnloadNow(), S_OK);
    m_module.reset();
    EXPECT_EQ(::GetModuleHandleW(L"KSXSHELL.dll"), nullptr);
}

}  // namespace
