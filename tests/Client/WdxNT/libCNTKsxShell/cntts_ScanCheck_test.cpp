#include <gtest/gtest.h>

#include <string>

#include "cntts_CtxMenu.h"
#include "service_fixture.h"
#include "shell_fixtures.h"
#include "shellhost.h"
#include "test_support.h"

using namespace KsxShell;
using ShellTest::ComPtr;

namespace {

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

class ScanCheckTest : public ShellTest::ShellTestBase {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Installed());
        ASSERT_TRUE(m_service.Start());
        m_handler = ShellTest::NewHandler();
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
    ComPtr<IContextMenu> m_handler;
};

TEST_F(ScanCheckTest, FreeOnlyWhenEveryFlagIsClearAndTheServiceRuns)
{
    EXPECT_FALSE(Busy());  // no keys at all

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

TEST_F(ScanCheckTest, FlagsUnderTheWrongKeyDoNotCount)
{
    m_registry.SetDword("Misc.", "Remote", 1);
    m_registry.SetDword("Misc.", "PreSchedule", 1);
    m_registry.SetDword("Manual Scan Configuration", "Remote", 1);
    m_registry.SetDword("Manual Scan Configuration", "IsScanning", 1);
    m_registry.SetDword("Real Time Scan Configuration", "UpdateOngoing", 1);
    m_registry.SetDword("", "IsScanning", 1);
    EXPECT_FALSE(Busy());
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

}  // namespace
