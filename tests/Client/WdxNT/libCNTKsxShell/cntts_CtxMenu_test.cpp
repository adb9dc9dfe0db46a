#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "libCvMultiLang.h"
#include "service_fixture.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"

using namespace KsxShell;
using ShellTest::ComPtr;
using ShellTest::NewHandler;

namespace {

const char kBitmap[] = "www\\1600\\res\\corvane_logo.bmp";

// A popup menu with two items of the host's own, ids 7 and 8.
HMENU NewMenu()
{
    HMENU menu = ::CreatePopupMenu();
    ::AppendMenuA(menu, MF_STRING, 7, "Open");
    ::AppendMenuA(menu, MF_STRING, 8, "Properties");
    return menu;
}

HBITMAP ItemBitmap(HMENU menu, UINT position)
{
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_CHECKMARKS;
    EXPECT_TRUE(::GetMenuItemInfoA(menu, position, TRUE, &mii));
    EXPECT_EQ(mii.hbmpChecked, nullptr);
    return mii.hbmpUnchecked;
}

// The command's state, or the failure instead.
HRESULT State(BOOL okToBeSlow)
{
    EXPCMDSTATE state = 0xdeadbeef;
    const HRESULT hr = ShellTest::NewCommand()->GetState(nullptr, okToBeSlow, &state);
    return FAILED(hr) ? hr : static_cast<HRESULT>(state);
}

// The classic item's check, which the file menu's command must answer alike;
// without leave to be slow the command answers from a set flag or asks to wait.
bool Busy(const ComPtr<IContextMenu>& handler)
{
    const bool busy = static_cast<CShellExt*>(handler.Get())->IsScanBusy();
    EXPECT_EQ(State(TRUE), busy ? ECS_DISABLED : ECS_ENABLED);
    const HRESULT quick = State(FALSE);
    EXPECT_TRUE(quick == E_PENDING || (busy && quick == ECS_DISABLED)) << quick;
    return busy;
}

class CtxMenuTest : public ShellTest::ShellTestBase {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Start());
        m_registry.SetString("", "Application Path", m_install.Path());
        m_install.WriteFile(kBitmap, KsxTest::MakeBitmapFile(16, 16));
        m_handler = NewHandler();
        ASSERT_TRUE(m_handler);
    }
    void TearDown() override
    {
        m_handler.Reset();
        ShellTestBase::TearDown();
    }

    bool Busy() const { return ::Busy(m_handler); }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
    KsxTest::CTempFolder m_install;
    ComPtr<IContextMenu> m_handler;
    UTIL::CUniqueMenu m_menu{NewMenu()};
};
using ScanCheckTest = CtxMenuTest;

TEST_F(CtxMenuTest, FlagsDecideWhetherSeparatorAndItemGoInAtTheIndex)
{
    const struct {
        bool added;
        std::vector<UINT> flags;
    } cases[] = {
        {true,
         {CMF_NORMAL, CMF_VERBSONLY, CMF_EXPLORE, CMF_DEFAULTONLY | CMF_EXPLORE, CMF_VERBSONLY | CMF_EXPLORE, 0x10,
          0x14}},
        {false, {CMF_DEFAULTONLY, CMF_NOVERBS, CMF_DEFAULTONLY | CMF_NOVERBS, 0x18}},
    };
    for (const auto& c : cases) {
        for (UINT flags : c.flags) {
            SCOPED_TRACE(flags);
            ComPtr<IContextMenu> handler = NewHandler();
            UTIL::CUniqueMenu menu(NewMenu());
            EXPECT_EQ(handler->QueryContextMenu(menu.get(), 1, 100, 200, flags), c.added ? 1 : 0);
            const auto items = ShellHost::DescribeMenu(menu.get());
            ASSERT_EQ(items.size(), c.added ? 4u : 2u);
            if (!c.added)
                continue;
            EXPECT_EQ(items[0].id, 7u);
            EXPECT_TRUE(items[1].separator);
            EXPECT_FALSE(items[2].separator || items[2].grayed);
            EXPECT_EQ(items[2].id, 100u);
            EXPECT_TRUE(items[2].hasBitmap);
            EXPECT_EQ(items[3].id, 8u);
        }
    }
}

TEST_F(CtxMenuTest, ItemWithoutBitmapWhenThePictureCannotBeHad)
{
    const struct {
        const char* why;
        std::function<void()> arrange;
    } cases[] = {
        // First: the process keeps the folder once it has read one.
        {"no install folder", [&] { m_registry.DeleteValue("", "Application Path"); }},
        {"file missing",
         [&] {
             m_registry.SetString("", "Application Path", m_install.Path());
             ::DeleteFileA((m_install.Path() + kBitmap).c_str());
         }},
        {"not a bitmap", [&] { m_install.WriteFile(kBitmap, "not a bitmap"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        c.arrange();
        ComPtr<IContextMenu> handler = NewHandler();
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        EXPECT_EQ(handler->QueryContextMenu(menu.get(), 0, 50, 60, 0), 1);
        const auto items = ShellHost::DescribeMenu(menu.get());
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[1].id, 50u);
        EXPECT_FALSE(items[1].hasBitmap);
    }
}

// Two menus of one object: the second must not free the picture the first
// still shows.
TEST_F(CtxMenuTest, OneBitmapPerObjectSharedByItsMenusAndFreedWithIt)
{
    UTIL::CUniqueMenu second(NewMenu());
    ASSERT_EQ(m_handler->QueryContextMenu(m_menu.get(), 0, 1, 2, 0), 1);
    ASSERT_EQ(m_handler->QueryContextMenu(second.get(), 2, 1, 2, 0), 1);
    const HBITMAP first = ItemBitmap(m_menu.get(), 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ItemBitmap(second.get(), 3), first);
    EXPECT_EQ(::GetObjectType(first), static_cast<DWORD>(OBJ_BITMAP));

    m_handler.Reset();
    EXPECT_EQ(::GetObjectType(first), 0u);
}

TEST_F(CtxMenuTest, QueryInterfaceIdentity)
{
    ComPtr<IUnknown> unk;
    ComPtr<IShellExtInit> init;
    ComPtr<IContextMenu> menu;
    ASSERT_EQ(m_handler.As(&unk), S_OK);
    ASSERT_EQ(m_handler.As(&init), S_OK);
    ASSERT_EQ(init.As(&menu), S_OK);
    EXPECT_EQ(static_cast<void*>(unk.Get()), static_cast<void*>(init.Get()));
    EXPECT_EQ(menu.Get(), m_handler.Get());
    EXPECT_NE(static_cast<void*>(menu.Get()), static_cast<void*>(init.Get()));

    void* other = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(m_handler->QueryInterface(IID_IDataObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    // Three QueryInterface references plus the handler's own.
    EXPECT_EQ(unk.Detach()->Release(), 3u);
    EXPECT_EQ(init.Detach()->Release(), 2u);
    EXPECT_EQ(menu.Detach()->Release(), 1u);
}

TEST_F(CtxMenuTest, GetCommandStringAnswersByType)
{
    // A tampered copy of the signed resource library, then the library itself,
    // on an English system (through the seam: Wine takes it from the locale).
    const std::string built = KsxTest::ExeDirA() + "..\\agent\\wdxntres\\WDXNTRES.DLL";
    std::string image = KsxTest::ReadBytes(built);
    ASSERT_GT(image.size(), 78u);
    CvMultiLangTestHooks::SetLanguages(0x0409, 0x0409);
    m_install.WriteFile("WDXNTRES.DLL", image.replace(78, 1, 1, 't'));
    ComPtr<IContextMenu> tampered = NewHandler();
    ASSERT_TRUE(::CopyFileA(built.c_str(), (m_install.Path() + "WDXNTRES.DLL").c_str(), FALSE));
    ComPtr<IContextMenu> signedLib = NewHandler();
    CvMultiLangTestHooks::SetLanguages(0, 0);
    IContextMenu* const none = m_handler.Get();
    const struct {
        IContextMenu* handler;
        UINT_PTR id;
        UINT type;
        UINT cchMax;
        HRESULT result;
        const char* text;  // null: `name` left alone
    } cases[] = {
        {none, 0, GCS_VERBA, 64, S_OK, nullptr},
        {none, 0, GCS_VERBW, 64, S_OK, nullptr},
        {none, 1, GCS_VERBA, 64, E_INVALIDARG, nullptr},
        {none, 1, GCS_VERBW, 64, E_INVALIDARG, nullptr},
        {none, 0, GCS_VALIDATEA, 64, S_OK, nullptr},
        {none, 0, GCS_VALIDATEW, 64, E_INVALIDARG, nullptr},
        {none, 0, GCS_HELPTEXTW, 64, E_INVALIDARG, nullptr},
        {none, 0, 0x77, 64, E_INVALIDARG, nullptr},
        // No resource library, so the fallback; idCmd is not checked.
        {none, 5, GCS_HELPTEXTA, 64, S_OK, "Halyard NT"},
        {none, 0, GCS_HELPTEXTA, 5, S_OK, "Haly"},
        {none, 0, GCS_HELPTEXTA, 1, S_OK, ""},
        {none, 0, GCS_HELPTEXTA, 0, S_OK, nullptr},
        // String 139 of the library; a copy that fails the issuer check is not loaded.
        {signedLib.Get(), 0, GCS_HELPTEXTA, 64, S_OK, "Scan with Halyard NT"},
        {signedLib.Get(), 0, GCS_HELPTEXTA, 5, S_OK, "Scan"},
        {tampered.Get(), 0, GCS_HELPTEXTA, 64, S_OK, "Halyard NT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " id " << c.id << " cchMax " << c.cchMax);
        char name[64];
        memset(name, 'x', sizeof(name));
        EXPECT_EQ(c.handler->GetCommandString(c.id, c.type, nullptr, name, c.cchMax), c.result);
        if (!c.text) {
            EXPECT_EQ(name[0], 'x');
            continue;
        }
        EXPECT_STREQ(name, c.text);
        EXPECT_EQ(name[strlen(c.text) + 1], 'x');
    }
}

TEST_F(CtxMenuTest, InvokeCommandRejectsStringVerbsAndOtherOffsets)
{
    for (LPCSTR verb : {LPCSTR("open"), LPCSTR(MAKEINTRESOURCEA(1)), LPCSTR(MAKEINTRESOURCEA(0xFFFF))}) {
        CMINVOKECOMMANDINFO ici = {};
        ici.cbSize = sizeof(ici);
        ici.lpVerb = verb;
        EXPECT_EQ(m_handler->InvokeCommand(&ici), E_INVALIDARG) << reinterpret_cast<ULONG_PTR>(verb);
    }
    EXPECT_EQ(m_handler->InvokeCommand(nullptr), E_INVALIDARG);
}

ULONG References(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

TEST_F(CtxMenuTest, InitializeKeepsOneReferenceAndReplacesEarlierSelection)
{
    ComPtr<IShellExtInit> init;
    ASSERT_EQ(m_handler.As(&init), S_OK);
    ComPtr<IDataObject> first, second;
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\a.txt"}, &first), S_OK);
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\b.txt"}, &second), S_OK);

    // References besides the handler's are ours, one each.
    const struct {
        IDataObject* given;
        ULONG firstRefs, secondRefs;
    } steps[] = {
        {first.Get(), 2, 1}, {second.Get(), 1, 2}, {second.Get(), 1, 2},  // the same object again keeps its reference
        {nullptr, 1, 1},     {first.Get(), 2, 1},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(&s - steps);
        EXPECT_EQ(init->Initialize(nullptr, s.given, nullptr), S_OK);
        EXPECT_EQ(References(first.Get()), s.firstRefs);
        EXPECT_EQ(References(second.Get()), s.secondRefs);
    }
    init.Reset();
    m_handler.Reset();
    EXPECT_EQ(References(first.Get()), 1u);  // let go with the handler
}

TEST(CtxMenuObjects, CountsSurviveManyApartmentsAtOnce)
{
    ComPtr<IClassFactory> factory = ShellTest::NewFactory();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ComPtr<IContextMenu> menu;
                if (factory->CreateInstance(nullptr, IID_PPV_ARGS(&menu)) != S_OK)
                    ++failures;
                ComPtr<IContextMenu> copy = menu;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ModuleObjectCount(), 1);  // the factory
    factory.Reset();
    EXPECT_EQ(ModuleObjectCount(), 0);
}

TEST(CtxMenuFactory, CreateInstanceErrors)
{
    ComPtr<IClassFactory> factory = ShellTest::NewFactory();
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IContextMenu, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDataObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ModuleObjectCount(), 1);  // the refused object was freed
    factory.Reset();
    EXPECT_EQ(ModuleObjectCount(), 0);
}

TEST_F(ScanCheckTest, FreeOnlyWhenEveryFlagIsClearAndTheServiceRuns)
{
    EXPECT_FALSE(Busy());  // no keys at all
    // Flags under the wrong key do not count.
    m_registry.SetDword("Misc.", "Remote", 1);
    m_registry.SetDword("Misc.", "PreSchedule", 1);
    m_registry.SetDword("Manual Scan Configuration", "Remote", 1);
    m_registry.SetDword("Manual Scan Configuration", "IsScanning", 1);
    m_registry.SetDword("Real Time Scan Configuration", "UpdateOngoing", 1);
    m_registry.SetDword("", "IsScanning", 1);
    EXPECT_FALSE(Busy());

    const struct {
        const char* key;
        const char* value;
    } flags[] = {
        {"Misc.", "IsScanning"},
        {"Misc.", "UpdateOngoing"},
        {"Manual Scan Configuration", "ManualScanInstance"},
        {"Real Time Scan Configuration", "Remote"},
        {"Real Time Scan Configuration", "PreSchedule"},
    };
    for (const auto& f : flags)
        m_registry.SetDword(f.key, f.value, 0);
    EXPECT_FALSE(Busy());

    for (const auto& f : flags) {
        SCOPED_TRACE(f.value);
        for (DWORD value : {1u, 0xFFFFFFFFu, 0u}) {
            m_registry.SetDword(f.key, f.value, value);
            EXPECT_EQ(Busy(), value != 0) << value;
            EXPECT_EQ(State(FALSE), value ? HRESULT(ECS_DISABLED) : E_PENDING) << value;
        }
    }
}

TEST_F(ScanCheckTest, ServiceNotRunningMeansBusy)
{
    ASSERT_TRUE(m_service.Pause());
    EXPECT_TRUE(Busy());
    ASSERT_TRUE(m_service.Continue());
    EXPECT_FALSE(Busy());
    ASSERT_TRUE(m_service.Stop());
    EXPECT_TRUE(Busy());
    EXPECT_EQ(State(FALSE), E_PENDING);  // only the service manager could tell
    ASSERT_TRUE(KsxTest::CServiceFixture::Remove(L"NTRtWatch"));
    EXPECT_TRUE(Busy());
}

TEST_F(ScanCheckTest, BusyAgentGreysTheItemThatStillAnswersHelp)
{
    m_registry.SetDword("Misc.", "IsScanning", 1);
    UTIL::CUniqueMenu menu(::CreatePopupMenu());
    EXPECT_EQ(m_handler->QueryContextMenu(menu.get(), 0, 40, 50, CMF_NORMAL), 1);
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_STATE;
    ASSERT_TRUE(::GetMenuItemInfoA(menu.get(), 1, TRUE, &mii));
    EXPECT_EQ(mii.fState & (MF_GRAYED | MF_DISABLED), static_cast<UINT>(MF_GRAYED));  // 0x401: greyed only
    char help[64] = {};
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, sizeof(help)), S_OK);
    EXPECT_STRNE(help, "");
}

// Starts the installed NTRtWatch with one argument.
bool StartNtrtWatch(const std::wstring& argument)
{
    UTIL::CUniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UTIL::CUniqueServiceHandle service(manager ? ::OpenServiceW(manager.get(), L"NTRtWatch", SERVICE_START) : nullptr);
    LPCWSTR args[] = {argument.c_str()};
    return service && ::StartServiceW(service.get(), 1, args);
}

TEST(ScanCheckPending, AServiceOnItsWayBetweenStatesIsNotRunning)
{
    KsxTest::CAgentRegistry registry;
    KsxTest::CServiceFixture service(L"NTRtWatch", KsxTest::ExeDir() + L"ksx_pending_service.exe");
    ASSERT_TRUE(service.Installed());
    ComPtr<IContextMenu> handler = ShellTest::NewHandler();
    for (DWORD state : {SERVICE_START_PENDING, SERVICE_CONTINUE_PENDING, SERVICE_PAUSE_PENDING}) {
        SCOPED_TRACE(state);
        UTIL::CUniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, L"Global\\ksx-pending-service-go"));
        ASSERT_TRUE(StartNtrtWatch(std::to_wstring(state))) << ::GetLastError();
        ::SetEvent(go.get());
        for (int i = 0; i < 400 && service.State() != state; ++i)
            ::Sleep(25);
        ASSERT_EQ(service.State(), state);
        EXPECT_TRUE(Busy(handler));
        ASSERT_TRUE(service.Stop());
    }
}

TEST(AppendPathComponent, OneSeparatorAtTheSeam)
{
    const struct {
        const char *folder, *name, *joined;
    } cases[] = {
        {"C:\\Agent", "WDXNTRES.DLL", "C:\\Agent\\WDXNTRES.DLL"},
        {"C:\\Agent\\", "WDXNTRES.DLL", "C:\\Agent\\WDXNTRES.DLL"},
        {"C:\\Agent\\", "\\WDXNTRES.DLL", "C:\\Agent\\WDXNTRES.DLL"},
        {"C:\\Agent", "\\WDXNTRES.DLL", "C:\\Agent\\WDXNTRES.DLL"},
        {"C:\\Agent", "", "C:\\Agent"},
        {"", "WDXNTRES.DLL", ""},
        {"C:\\", "x", "C:\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AppendPathComponent(c.folder, c.name), c.joined) << c.folder << " + " << c.name;
}

TEST(AppendPathComponent, TrailByteThatLooksLikeASeparatorIsNotOne)
{
    // In the Japanese code page 0x95 0x5C is one character, not a folder end.
    EXPECT_FALSE(EndsWithPathSeparator("C:\\\x95\x5C", 932));
    EXPECT_TRUE(EndsWithPathSeparator("C:\\\x95\x5C\\", 932));
    EXPECT_TRUE(EndsWithPathSeparator("C:\\\x95\x5C", 1252));
    EXPECT_FALSE(EndsWithPathSeparator("", 932));
}

}  // namespace
