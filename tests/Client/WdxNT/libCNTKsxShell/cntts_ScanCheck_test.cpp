#include <gtest/gtest.h>

#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "service_fixture.h"
#include "shellhost.h"
#include "test_support.h"

using namespace KsxShell;

namespace {

class ScanCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Installed());
        ASSERT_TRUE(m_service.Start());
        auto* factory = new CShellExtClassFactory();
        factory->AddRef();
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&m_menu)), S_OK);
        factory->Release();
    }
    void TearDown() override
    {
        if (m_menu)
            m_menu->Release();
    }

    bool Busy() const { return static_cast<CShellExt*>(m_menu)->IsScanBusy(); }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
    IContextMenu* m_menu = nullptr;
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
        m_registry.SetDword(f.key, f.value, 1);
        EXPECT_TRUE(Busy());
        m_registry.SetDword(f.key, f.value, 0xFFFFFFFF);
        EXPECT_TRUE(Busy());
        m_registry.SetDword(f.key, f.value, 0);
        EXPECT_FALSE(Busy());
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
    ASSERT_TRUE(KsxTest::CServiceFixture::Remove(L"NTRtWatch"));
    EXPECT_TRUE(Busy());
}

TEST_F(ScanCheckTest, BusyAgentGreysTheItemThatStillAnswersHelp)
{
    m_registry.SetDword("Misc.", "IsScanning", 1);
    HMENU menu = ::CreatePopupMenu();
    EXPECT_EQ(m_menu->QueryContextMenu(menu, 0, 40, 50, CMF_NORMAL), 1);
    auto items = ShellHost::DescribeMenu(menu);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_TRUE(items[1].grayed);
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_STATE;
    ASSERT_TRUE(::GetMenuItemInfoA(menu, 1, TRUE, &mii));
    EXPECT_EQ(mii.fState & (MF_GRAYED | MF_DISABLED), static_cast<UINT>(MF_GRAYED));  // 0x401: greyed only
    char help[64] = {};
    EXPECT_EQ(m_menu->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, sizeof(help)), S_OK);
    EXPECT_STRNE(help, "");
    ::DestroyMenu(menu);
}

}  // namespace
