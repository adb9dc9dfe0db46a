#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "cntts_CtxMenu.h"
#include "cntts_ScanDispatch.h"
#include "log_fixtures.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"
#include "ut_AgentRegistry.h"

using namespace KsxShell;
using namespace ShellTest;

namespace {

// The file menu's command invoked on a selection.
HRESULT InvokeCommand(const std::vector<std::wstring>& paths)
{
    ComPtr<IShellItemArray> items;
    EXPECT_EQ(ShellHost::CreatePathItemArray(paths, &items), S_OK);
    return NewCommand()->Invoke(items.Get(), nullptr);
}

class DispatchTest : public ShellTestBase {
protected:
    KsxTest::CAgentRegistry m_registry;
};

TEST_F(DispatchTest, RequestCarriesTheJoinedPathsAndOneNul)
{
    std::vector<std::wstring> many;
    std::string manyPayload;
    for (int i = 0; i < 300; ++i) {
        many.push_back(L"C:\\folder\\file" + std::to_wstring(i) + L".bin");
        manyPayload += (i ? "?" : "") + std::string("C:\\folder\\file") + std::to_string(i) + ".bin";
    }
    // "RCS" absent, then any value but 202: the monitor's way.
    const struct {
        DWORD rcs;
        std::vector<std::wstring> paths;
        std::string payload;
    } cases[] = {
        {0, {L"C:\\a.txt", L"C:\\b", L"D:\\"}, "C:\\a.txt?C:\\b?D:\\"},
        {201, {L"C:\\only one.txt"}, "C:\\only one.txt"},
        {0, many, manyPayload},
    };
    CFakeMonitor monitor;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload.substr(0, 30));
        if (c.rcs)
            m_registry.SetDword("Misc.", "RCS", c.rcs);
        // The classic item, then the file menu's command: the same request.
        for (int modern = 0; modern < 2; ++modern) {
            const int before = monitor.requests;
            monitor.wParam = monitor.dwData = monitor.cbData = 0;
            EXPECT_EQ(modern ? InvokeCommand(c.paths) : Invoke(NewHandlerWith(c.paths).Get()), S_OK);
            EXPECT_EQ(monitor.requests, before + 1);
            EXPECT_EQ(monitor.wParam, 3u);
            EXPECT_EQ(monitor.dwData, 3u);
            EXPECT_EQ(monitor.cbData, c.payload.size() + 1);
            EXPECT_EQ(monitor.data, c.payload + '\0');
        }
    }
}

// The monitor search, counted through the hooks.
namespace SearchProbe {
int finds, pauses, foundAt;
DWORD pausedMs;
HWND window;

HWND WINAPI Find(LPCSTR className, LPCSTR title)
{
    EXPECT_STREQ(className, "WdxNTMonClass");
    EXPECT_STREQ(title, "WdxNTMon.MainFrame");
    return ++finds == foundAt ? window : nullptr;
}
void WINAPI Pause(DWORD ms)
{
    ++pauses;
    pausedMs += ms;
}
}  // namespace SearchProbe

TEST_F(DispatchTest, MonitorSearchMakesFiftyOneTriesTwoHundredMillisecondsApart)
{
    CFakeMonitor monitor;
    CDispatchHooksScope hooks;
    DispatchHooksForTesting().findWindow = SearchProbe::Find;
    DispatchHooksForTesting().sleep = SearchProbe::Pause;
    SearchProbe::window = monitor.Window();
    const struct {
        int foundAt;  // 0: never
        HRESULT result;
        int finds, pauses;
    } cases[] = {
        {1, S_OK, 1, 0},
        {51, S_OK, 51, 50},
        {0, E_UNEXPECTED, 51, 51},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.foundAt);
        SearchProbe::finds = SearchProbe::pauses = 0;
        SearchProbe::pausedMs = 0;
        SearchProbe::foundAt = c.foundAt;
        const int before = monitor.requests;
        EXPECT_EQ(Invoke(NewHandlerWith({L"C:\\x"}).Get()), c.result);
        EXPECT_EQ(SearchProbe::finds, c.finds);
        EXPECT_EQ(SearchProbe::pauses, c.pauses);
        EXPECT_EQ(SearchProbe::pausedMs, 200u * c.pauses);
        EXPECT_EQ(monitor.requests, before + (c.result == S_OK ? 1 : 0));
    }
}

TEST_F(DispatchTest, NoSelectionSendsNothing)
{
    CFakeMonitor monitor;
    EXPECT_EQ(Invoke(NewHandler().Get()), S_OK);
    EXPECT_EQ(NewCommand()->Invoke(nullptr, nullptr), S_OK);
    EXPECT_EQ(InvokeCommand({}), S_OK);
    EXPECT_EQ(monitor.requests, 0);
}

TEST_F(DispatchTest, PathsTheRequestCannotCarryAreLeftOut)
{
    KsxTest::CTempFolder temp;
    // Greek letters have no form in the Western ANSI code page; the file exists,
    // so its short name can stand in.
    const std::wstring dir(temp.Path().begin(), temp.Path().end());
    const std::wstring greek = dir + L"\x03A9\x03BC\x03B5\x03B3\x03B1 report.txt";
    ASSERT_TRUE(UTIL::CUniqueFile(::CreateFileW(greek.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)));

    CFakeMonitor monitor;
    const std::vector<std::wstring> selection = {L"C:\\ok.txt",
                                                 L"C:\\missing\\\x03A9.txt",
                                                 greek,
                                                 L"\\\\?\\C:\\prefixed.txt",
                                                 L"\\\\?\\GLOBALROOT\\Device\\x",
                                                 L"C:\\" + std::wstring(600, L'a')};
    EXPECT_EQ(Invoke(NewHandlerWith(selection).Get()), S_OK);
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
    EXPECT_NE(::GetFileAttributesA(parts[1].c_str()), INVALID_FILE_ATTRIBUTES) << parts[1];
    EXPECT_EQ(parts[2], "C:\\prefixed.txt");
    // The file menu's command keeps the same rules.
    EXPECT_EQ(InvokeCommand(selection), S_OK);
    EXPECT_EQ(monitor.data, payload);
}

// A path as the request carries it (`sent`), or the reason it is left out.
struct PathCase {
    std::wstring path;
    bool sent;
    std::string formOrReason;
};

void ExpectMonitorPaths(std::initializer_list<PathCase> cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.formOrReason);
        std::string out;
        const char* reason = "";
        EXPECT_EQ(MonitorPathFromWide(c.path, out, &reason), c.sent);
        EXPECT_EQ(c.sent ? out : reason, c.formOrReason);
    }
}

TEST(MonitorPath, PrefixesAndLimits)
{
    const std::wstring longest = L"C:\\" + std::wstring(516, L'b');  // 519 bytes
    ExpectMonitorPaths({
        {L"\\\\?\\UNC\\server\\share\\f.txt", true, "\\\\server\\share\\f.txt"},
        {L"\\\\?\\Volume{1234}\\x", false, "not an ordinary path"},
        {longest, true, "C:\\" + std::string(516, 'b')},
        {longest + L"b", false, "longer than 519 bytes"},
    });
}

UINT WINAPI Utf8AnsiCodePage() { return CP_UTF8; }

// Windows' rule, which Wine does not keep: under UTF-8 the best-fit flag and
// the default-character arguments are invalid.
int WINAPI StrictUtf8Conversion(UINT codePage, DWORD flags, LPCWCH wide, int cchWide, LPSTR out, int cbOut,
                                LPCCH defaultChar, LPBOOL usedDefault)
{
    codePage = codePage == CP_ACP ? CP_UTF8 : codePage;
    if (codePage == CP_UTF8 && ((flags & ~WC_ERR_INVALID_CHARS) || defaultChar || usedDefault)) {
        ::SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return ::WideCharToMultiByte(codePage, flags, wide, cchWide, out, cbOut, defaultChar, usedDefault);
}

// Under a UTF-8 ANSI code page every path has its form, but a lone surrogate.
// CTest runs this once more in a UTF-8 Unix locale, where Wine's own ANSI code
// page is 65001 (KSX_EXPECT_ACP says so) and only the converter stands in.
TEST(MonitorPath, Utf8AnsiCodePage)
{
    if (const char* expected = getenv("KSX_EXPECT_ACP")) {
        ASSERT_EQ(::GetACP(), strtoul(expected, nullptr, 10));
    }
    CDispatchHooksScope hooks;
    if (::GetACP() != CP_UTF8)
        DispatchHooksForTesting().getAcp = Utf8AnsiCodePage;
    DispatchHooksForTesting().wideCharToMultiByte = StrictUtf8Conversion;

    ExpectMonitorPaths({
        {L"C:\\\x03A9\x03BC\x03B5\x03B3\x03B1.txt", true, "C:\\\xCE\xA9\xCE\xBC\xCE\xB5\xCE\xB3\xCE\xB1.txt"},
        {L"C:\\plain", true, "C:\\plain"},
        {L"C:\\missing\\\xD800.txt", false, "not representable in the ANSI code page"},
    });
}

// The launcher under user access restriction, checked from its own journal.
class LauncherTest : public DispatchTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Listening());
        m_registry.SetDword("Misc.", "RCS", 202);
        m_folder = m_temp.Path() + "Program Files (x86)\\Corvane Agent\\";
        const std::string launcher = KsxTest::ReadBytes(KsxTest::ExeDirA() + "sablelauncher.exe");
        m_temp.WriteFile("Program Files (x86)\\Corvane Agent\\sablelauncher.exe", launcher);
        // What Windows would run first for an unquoted path with spaces.
        m_temp.WriteFile("Program.exe", launcher);
    }

    std::string Journal() const { return m_folder + "sablelauncher.journal"; }

    KsxTest::CLevelWord m_word{0};
    KsxTest::CLogCapture m_capture;
    KsxTest::CTempFolder m_temp;
    std::string m_folder;
};

void SetApplicationPath(DWORD type, const std::string& bytes)
{
    UTIL::CUniqueHKey key;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyA, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, key.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.get(), "Application Path", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

TEST_F(LauncherTest, StartsTheLauncherWithTheWorkingDirectoryEvenWhenAMonitorExists)
{
    const std::string program = m_folder + "sablelauncher.exe";
    const struct {
        DWORD type;
        std::string applicationPath;  // stored bytes
        const char* directory;
        std::string commandLine;
    } cases[] = {
        {REG_SZ, m_folder.substr(0, m_folder.size() - 1) + '\0', "D:\\Data", program + " -manual_scan_target D:\\Data"},
        {REG_SZ, m_folder + '\0', nullptr, program + " -manual_scan_target "},
        // A terminated multi-string names its first string.
        {REG_MULTI_SZ, m_folder + '\0' + '\0', "D:\\Data", program + " -manual_scan_target D:\\Data"},
    };
    CFakeMonitor monitor;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        ::DeleteFileA(Journal().c_str());
        SetApplicationPath(c.type, c.applicationPath);
        EXPECT_EQ(Invoke(NewHandlerWith({L"C:\\not-sent.txt"}).Get(), c.directory), S_OK);
        const std::string journal = WaitForJournal(Journal(), 3);
        EXPECT_NE(journal.find("PROGRAM " + program + "\r\n"), std::string::npos) << journal;
        EXPECT_NE(journal.find("COMMANDLINE " + c.commandLine + "\r\n"), std::string::npos) << journal;
    }
    EXPECT_EQ(monitor.requests, 0);
    EXPECT_EQ(::GetFileAttributesA((m_temp.Path() + "Program.journal").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The command's working directory is the folder of its first item, where the
// shell starts the classic item: the launcher's journals match.
TEST_F(LauncherTest, CommandStartsTheLauncherAsTheClassicItemDoesInTheSelectionsFolder)
{
    SetApplicationPath(REG_SZ, m_folder + '\0');
    const struct {
        std::vector<std::wstring> selection;
        const char* directory;
    } cases[] = {
        {{L"C:\\users\\Public\\a.txt", L"D:\\b"}, "C:\\users\\Public"},
        {{L"C:\\a.txt"}, "C:\\"},
        {{L"\\\\?\\C:\\data\\x"}, "C:\\data"},
        {{L"C:\\"}, nullptr},
        {{L"\\\\server\\share"}, nullptr},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.directory ? c.directory : "(none)");
        std::string journals[2];
        for (int modern = 0; modern < 2; ++modern) {
            ::DeleteFileA(Journal().c_str());
            EXPECT_EQ(modern ? InvokeCommand(c.selection) : Invoke(NewHandlerWith(c.selection).Get(), c.directory),
                      S_OK);
            journals[modern] = WaitForJournal(Journal(), 3);
        }
        EXPECT_NE(journals[0].find("COMMANDLINE "), std::string::npos);
        EXPECT_EQ(journals[1], journals[0]);
    }
}

// The agent's root that does not open while "Misc." does. Wine opens a key of
// the 32-bit view one component at a time, so a root locked by its DACL locks
// "Misc." too: that failure comes through the seam.
LONG RootDenied(const char* subKey, UTIL::CUniqueHKey& key)
{
    return *subKey ? UTIL::OpenAgentKey(subKey, key) : ERROR_ACCESS_DENIED;
}

TEST_F(LauncherTest, NothingStartsWithoutAUsableApplicationPath)
{
    // A decoy where an empty folder would lead: \sablelauncher.exe on the current drive.
    char current[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, current);
    ASSERT_TRUE(::SetCurrentDirectoryA("C:\\windows"));
    const std::string decoy = "C:\\sablelauncher.exe";
    const UTIL::CScopeExit restore([&] {
        ::SetCurrentDirectoryA(current);
        ::DeleteFileA(decoy.c_str());
        ::DeleteFileA("C:\\sablelauncher.journal");
    });
    ASSERT_TRUE(::CopyFileA((KsxTest::ExeDirA() + "sablelauncher.exe").c_str(), decoy.c_str(), FALSE));

    const std::string longTarget = "C:\\" + std::string(250, 'z');
    const std::wstring noPath = L"CShellExt::DoScan - Can not find application path";
    const struct {
        const char* why;
        DWORD type;  // REG_NONE: no value at all
        std::string data;
        const char* directory;
        const wchar_t* level;
        std::wstring message;
        bool rootDenied;
    } cases[] = {
        {"missing", REG_NONE, "", "C:\\", L"87", noPath + L"(2)", false},
        {"a number", REG_DWORD, std::string("\x07\0\0\0", 4), "C:\\", L"87", noPath + L"(13)", false},
        {"empty text", REG_SZ, std::string(1, '\0'), "C:\\", L"87", noPath + L"(13)", false},
        {"no bytes", REG_SZ, "", "C:\\", L"87", noPath + L"(13)", false},
        {"a target that does not fit is not cut", REG_SZ, m_folder + '\0', longTarget.c_str(), L"87",
         L"CShellExt::DoScan - the launcher command line does not fit", false},
        {"no launcher in the folder", REG_SZ, m_temp.Path() + '\0', "C:\\", L"68", L"lasterror=2", false},
        {"the root does not open", REG_SZ, m_folder + '\0', "C:\\", L"87", L"CShellExt::DoScan - Can not open reg",
         true},
    };
    ComPtr<IContextMenu> handler = NewHandlerWith({L"C:\\x"});
    CDispatchHooksScope hooks;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        m_capture.Clear();
        if (c.type == REG_NONE)
            m_registry.DeleteValue("", "Application Path");
        else
            SetApplicationPath(c.type, c.data);
        DispatchHooksForTesting().openAgentKey = c.rootDenied ? RootDenied : UTIL::OpenAgentKey<char>;
        EXPECT_EQ(Invoke(handler.Get(), c.directory), S_OK);
        // A record from the dispatch at `level` whose text ends in `message`.
        EXPECT_TRUE(m_capture.WaitFor([&](const KsxTest::LogWriteFields& r) {
            return r.level == c.level && r.file == L"src/Client/WdxNT/libCNTKsxShell/cntts_ScanDispatch.cpp" &&
                   KsxTest::EndsWith(r.text, c.message);
        }));
    }
    ::Sleep(500);
    EXPECT_EQ(::GetFileAttributesA("C:\\sablelauncher.journal"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesA(Journal().c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
