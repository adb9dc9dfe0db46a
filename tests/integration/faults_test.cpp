// Right-clicks while the agent's log server, tray monitor, service, keys and
// files fail or change: each case ends in its documented outcome, loses no
// record it should keep, and waits no longer than the module's own limit
// (checked with generous slack; a hang fails by the test's time-out).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "cntts_ScanDispatch.h"
#include "log_fixtures.h"
#include "logcl_TestHooks.h"
#include "service_fixture.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"
#include "ut_AgentRegistry.h"

using ShellTest::ComPtr;

namespace {

constexpr DWORD kSlackMs = 8000;                 // a loaded machine, not a wait of the module's
constexpr DWORD kMonitorSearchMs = 51 * 200;     // the tray-window search
const char kText[] = "Scan for security risks";  // EN-US string table
const char kHelp[] = "Scan with Halyard NT";     // string 139 of the resource library
const char kFallbackHelp[] = "Halyard NT";
const char kStringTable[] = "www\\1600\\i18n\\EN-US\\UIStringTable.ini";
const char kProfile[] = "www\\1600\\UIProfile.cfg";
const char kResources[] = "WDXNTRES.DLL";

std::string Bin() { return KsxTest::ExeDirA(); }
std::string Journal(const char* name) { return Bin() + name + ".journal"; }
std::string Source(const std::string& relative)
{
    std::string path = std::string("Z:") + KSX_SOURCE_DIR + "/agent/install/" + relative;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}
DWORD Since(ULONGLONG start) { return static_cast<DWORD>(::GetTickCount64() - start); }

// One installed agent for the process: the profile document keeps the first
// install folder it reads.
const KsxTest::CTempFolder& Install()
{
    static KsxTest::CTempFolder install;
    static const bool laidOut = [] {
        const std::string from = Source("www"), to = install.Path() + "www";
        ::CreateDirectoryA((install.Path() + "Misc").c_str(), nullptr);
        return KsxTest::RunProcess(L"xcopy /e /i /q /y \"" + KsxTest::Wide(from) + L"\" \"" + KsxTest::Wide(to) +
                                   L"\"") == 0 &&
               ::CopyFileA((Bin() + "..\\agent\\wdxntres\\WDXNTRES.DLL").c_str(), (install.Path() + kResources).c_str(),
                           FALSE);
    }();
    EXPECT_TRUE(laidOut);
    return install;
}

// Puts `content` (null: nothing) at `relative` as an installer would: the old
// file renamed aside (a loaded library can be renamed, not overwritten), the
// new one moved in.
void Replace(const std::string& relative, const std::string* content)
{
    static int s_serial = 0;
    const std::string target = Install().Path() + relative, aside = target + ".old" + std::to_string(++s_serial);
    for (int i = 0; i < 100 && !::MoveFileExA(target.c_str(), aside.c_str(), 0); ++i) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND)
            break;
        ::Sleep(10);  // a reader holds it for a moment
    }
    ::DeleteFileA(aside.c_str());
    if (content) {
        ASSERT_TRUE(::MoveFileExA(Install().WriteFile(relative + ".new", *content).c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING));
    }
}

// What one right-click showed.
struct Click {
    HRESULT query = E_FAIL;
    bool item = false, grayed = false;
    std::string text, help;
};

Click RightClick()
{
    Click click;
    ComPtr<IContextMenu> handler = ShellTest::NewHandler();
    UTIL::CUniqueMenu menu(::CreatePopupMenu());
    click.query = handler->QueryContextMenu(menu.get(), 0, 1, 10, CMF_NORMAL);
    const auto items = ShellHost::DescribeMenu(menu.get());
    click.item = items.size() == 2 && items[0].separator && items[1].id == 1;
    if (click.item) {
        click.grayed = items[1].grayed;
        click.text = items[1].text;
    }
    char help[64] = {};
    if (handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, sizeof(help)) == S_OK)
        click.help = help;
    return click;
}

// Right-clicks on a thread of its own until stopped, each checked by `check`.
class CClicker {
public:
    explicit CClicker(std::function<void(const Click&)> check) : m_check(std::move(check)) { Start(); }
    ~CClicker() { Stop(); }
    void Start()
    {
        m_stop = false;
        m_thread = std::thread([this] {
            while (!m_stop) {
                const ULONGLONG start = ::GetTickCount64();
                m_check(RightClick());
                m_slowest = std::max<DWORD>(m_slowest, Since(start));
                ++m_clicks;
            }
        });
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int Clicks() const { return m_clicks; }
    void WaitFor(int count) const
    {
        for (const ULONGLONG start = ::GetTickCount64(); m_clicks < count && Since(start) < 60000;)
            ::Sleep(5);
        EXPECT_GE(m_clicks, count);
    }
    DWORD Slowest() const { return m_slowest; }

private:
    std::function<void(const Click&)> m_check;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_clicks{0};
    std::atomic<DWORD> m_slowest{0};
    std::thread m_thread;
};

class IntegrationFaults : public ShellTest::ShellTestBase {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", Install().Path());
        ASSERT_TRUE(m_service->Start());
        RightClick();  // the process's first sets the profile up
    }

    KsxTest::CAgentRegistry m_registry;
    std::unique_ptr<KsxTest::CServiceFixture> m_service{new KsxTest::CServiceFixture()};
};

// Waits for `atLeast` filed records, then for stragglers; none may be torn.
size_t Filed(const std::string& log, size_t atLeast)
{
    EXPECT_TRUE(KsxTest::WaitForLines(log, atLeast, 30000)) << atLeast;
    ::Sleep(500);
    const auto lines = KsxTest::ReadLines(log);
    for (const auto& line : lines)
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 7) << "torn: " << line;
    return lines.size();
}

TEST_F(IntegrationFaults, LogServerKilledAndRestartedWhileRightClicksRun)
{
    KsxTest::CLevelWord everything(0);
    KsxTest::CTempFolder logs;
    const std::string before = logs.Path() + "before.log", after = logs.Path() + "after.log";
    auto server = std::make_unique<KsxTest::CLogServerProcess>(before);
    ASSERT_TRUE(server->Started());
    RightClick();
    const size_t perClick = Filed(before, 1);

    CClicker clicker([](const Click& c) { EXPECT_EQ(c.query, 1); });
    clicker.WaitFor(2);
    server->Kill();
    clicker.WaitFor(clicker.Clicks() + 3);
    const int down = clicker.Clicks();
    server = std::make_unique<KsxTest::CLogServerProcess>(after);
    ASSERT_TRUE(server->Started());
    // Right-clicks under way while the server came back may have lost records; later ones none,
    // and none is filed twice.
    const int whole = clicker.Clicks() + 1;
    clicker.WaitFor(whole + 3);
    clicker.Stop();
    const size_t lower = (clicker.Clicks() - whole) * perClick;
    const size_t filed = Filed(after, lower);
    EXPECT_LE(filed, (clicker.Clicks() - down) * perClick);
    RightClick();
    EXPECT_EQ(Filed(after, filed + perClick), filed + perClick);
    EXPECT_LE(clicker.Slowest(), LogClientHooks::kWriteTimeoutMs + kSlackMs);
    printf("[ measured ] %zu records a right-click, %zu filed after the restart, slowest right-click %lu ms\n",
           perClick, filed, static_cast<unsigned long>(clicker.Slowest()));
}

TEST_F(IntegrationFaults, LogServerThatNeverReadsDoesNotHoldTheRightClick)
{
    KsxTest::CLevelWord everything(0);
    KsxTest::CLogCapture stalled(4, true);
    ASSERT_TRUE(stalled.Listening());
    const ULONGLONG start = ::GetTickCount64();
    const Click click = RightClick();
    const DWORD ms = Since(start);
    EXPECT_EQ(click.text, kText);
    EXPECT_LE(ms, LogClientHooks::kWriteTimeoutMs + kSlackMs);
    // What the server reads at last holds no part of a record.
    stalled.Resume();
    ::Sleep(500);
    for (const auto& command : stalled.Commands())
        EXPECT_TRUE(command.Bytes().empty() || command.Terminated()) << "a torn record";
    printf("[ measured ] right-click against a server that never reads: %lu ms\n", static_cast<unsigned long>(ms));
}

TEST_F(IntegrationFaults, TrayMonitorAbsentLateOrHung)
{
    const std::string journal = Journal("faults_traymon");
    const struct {
        const char* what;
        int startAfterMs;  // -1: never
        bool hang;
        HRESULT result;
        const char* journaled;
        DWORD limitMs;
    } cases[] = {
        {"absent", -1, false, E_UNEXPECTED, "", kMonitorSearchMs},
        {"a second late", 1000, false, S_OK, "PATH C:\\x", kMonitorSearchMs},
        {"hung on the request", 0, true, S_OK, "HANG", KsxShell::kMonitorReplyTimeoutMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::DeleteFileA(journal.c_str());
        std::unique_ptr<KsxTest::CReadyProcess> monitor;
        std::thread starter([&] {
            if (c.startAfterMs >= 0) {
                ::Sleep(c.startAfterMs);
                monitor.reset(new KsxTest::CReadyProcess(L"\"" + KsxTest::ExeDir() + L"traymon.exe\" --journal \"" +
                                                         KsxTest::Wide(journal) + L"\"" + (c.hang ? L" --hang" : L"")));
            }
        });
        if (c.startAfterMs == 0)
            starter.join();
        ComPtr<IContextMenu> handler = ShellTest::NewHandlerWith({L"C:\\x"});
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(ShellTest::Invoke(handler.Get()), c.result);
        const DWORD ms = Since(start);
        if (starter.joinable())
            starter.join();
        EXPECT_LE(ms, c.limitMs + kSlackMs);
        EXPECT_NE(KsxTest::ReadBytes(journal).find(c.journaled), std::string::npos);
        printf("[ measured ] tray monitor %s: %lu ms (limit %lu ms)\n", c.what, static_cast<unsigned long>(ms),
               static_cast<unsigned long>(c.limitMs));
    }
    ::DeleteFileA(journal.c_str());
}

TEST_F(IntegrationFaults, KeysServiceAndFilesChangeWhileRightClicksRun)
{
    // The string tables are UTF-16.
    const auto utf16 = [](const char* ascii) {
        return KsxTest::Utf16z(KsxTest::Wide(ascii)).substr(0, 2 * strlen(ascii));
    };
    const std::string table = KsxTest::ReadBytes(Source("www/1600/i18n/EN-US/UIStringTable.ini"));
    std::string otherTable = table;
    const size_t at = otherTable.find(utf16(kText));
    ASSERT_NE(at, std::string::npos);
    otherTable.replace(at, 2 * strlen(kText), utf16("Scan again"));
    const std::string profile = KsxTest::ReadBytes(Source("www/1600/UIProfile.cfg")), garbage = "<not a profile";
    const std::string library = KsxTest::ReadBytes(Bin() + "..\\agent\\wdxntres\\WDXNTRES.DLL");
    std::string tampered = library;
    tampered[0x50] ^= 0x20;  // in the DOS stub, which the signature covers
    const std::string record = Install().Path() + "Misc\\DSInvalidLogLastInfo.log", notifier = Bin() + "cvnotify.dll";
    ASSERT_TRUE(::CopyFileA((Bin() + "..\\agent\\cvnotify\\cvnotify.dll").c_str(), notifier.c_str(), FALSE));
    UTIL::CScopeExit restore([&] {
        ::DeleteFileA(notifier.c_str());
        ::DeleteFileA(Journal("cvnotify").c_str());
        Replace(kStringTable, &table);
        Replace(kProfile, &profile);
        Replace(kResources, &library);
    });
    using Fixture = KsxTest::CServiceFixture;
    auto service = [&](bool (Fixture::*step)(DWORD)) {
        return [this, step] { ASSERT_TRUE((*m_service.*step)(20000)); };
    };
    auto put = [](const char* file, const std::string* content) { return [=] { Replace(file, content); }; };
    const struct {
        const char* what;
        std::function<void()> change;
        bool grayed;
        const char* text;
        const char* help;
        size_t events;  // refused loads reported to the event log
        bool record;    // an invalid-signature record written
    } steps[] = {
        {"installed, idle", [] {}, false, kText, kHelp, 0, false},
        // Every flag reads 0; no install folder, so no resource library. The
        // profile document keeps the folder it first read.
        {"agent keys deleted", [] { KsxTest::CAgentRegistry::RemoveAll(); }, false, kText, kFallbackHelp, 0, false},
        {"recreated, scanning",
         [&] {
             m_registry.SetString("", "Application Path", Install().Path());
             m_registry.SetDword("Misc.", "IsScanning", 1);
         },
         true, kText, kHelp, 0, false},
        {"Misc. deleted",
         [] {
             KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, std::string(UTIL::kAgentRootKeyA) + "\\Misc.", KEY_WOW64_32KEY);
         },
         false, kText, kHelp, 0, false},
        {"service stopped", service(&Fixture::Stop), true, kText, kHelp, 0, false},
        {"service started", service(&Fixture::Start), false, kText, kHelp, 0, false},
        {"service paused", service(&Fixture::Pause), true, kText, kHelp, 0, false},
        {"service continued", service(&Fixture::Continue), false, kText, kHelp, 0, false},
        {"service deleted", [] { ASSERT_TRUE(Fixture::Remove(L"NTRtWatch")); }, true, kText, kHelp, 0, false},
        {"service reinstalled",
         [&] {
             m_service.reset();  // its destructor removes the service by name
             m_service.reset(new Fixture());
             ASSERT_TRUE(m_service->Start());
         },
         false, kText, kHelp, 0, false},
        {"string table replaced", put(kStringTable, &otherTable), false, "Scan again", kHelp, 0, false},
        {"string table deleted", put(kStringTable, nullptr), false, "", kHelp, 0, false},  // the item stays, empty
        {"string table back", put(kStringTable, &table), false, kText, kHelp, 0, false},
        {"profile malformed", put(kProfile, &garbage), false, kText, kHelp, 0, false},
        {"profile deleted", put(kProfile, nullptr), false, kText, kHelp, 0, false},
        {"profile back", put(kProfile, &profile), false, kText, kHelp, 0, false},
        {"resource library deleted", put(kResources, nullptr), false, kText, kFallbackHelp, 0, false},
        {"resource library tampered", put(kResources, &tampered), false, kText, kFallbackHelp, 1, true},
        // The refusal still leaves its record; its event cannot be written.
        {"notification library gone", [&] { ::DeleteFileA(notifier.c_str()); }, false, kText, kFallbackHelp, 0, true},
        {"resource library back", put(kResources, &library), false, kText, kHelp, 0, false},
    };
    // Right-clicks all along, each with one of the outcomes above.
    CClicker clicker([](const Click& c) {
        EXPECT_TRUE(c.query == 1 && c.item);
        EXPECT_TRUE(c.text == kText || c.text == "Scan again" || c.text.empty()) << c.text;
        EXPECT_TRUE(c.help == kHelp || c.help == kFallbackHelp) << c.help;
    });
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        clicker.WaitFor(clicker.Clicks() + 2);
        // Then one right-click alone, its event and record counted.
        clicker.Stop();
        ::DeleteFileA(Journal("cvnotify").c_str());
        ::DeleteFileA(record.c_str());
        const Click c = RightClick();
        EXPECT_EQ(c.grayed, s.grayed);
        EXPECT_EQ(c.text, s.text);
        EXPECT_EQ(c.help, s.help);
        const std::string events = KsxTest::ReadBytes(Journal("cvnotify"));
        size_t n = 0;
        for (size_t e = events.find("ReportEventLogEx|"); e != std::string::npos;
             e = events.find("ReportEventLogEx|", e + 1))
            ++n;
        EXPECT_EQ(n, s.events);
        EXPECT_EQ(KsxTest::ReadBytes(record).empty(), !s.record);
        clicker.Start();
    }
}

}  // namespace
