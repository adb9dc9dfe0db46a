#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "service_fixture.h"
#include "shellhost.h"
#include "test_support.h"

using namespace KsxShell;

namespace {

// Creates handlers the way the shell does: through a factory.
IContextMenu* NewHandler()
{
    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    IContextMenu* menu = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    factory->Release();
    return menu;
}

class CtxMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_service.Start());
        m_registry.SetString("", "Application Path", m_install.Path());
        m_install.WriteFile("www\\1600\\res\\corvane_logo.bmp", KsxTest::MakeBitmapFile(16, 16));
        m_handler = NewHandler();
        ASSERT_NE(m_handler, nullptr);
        m_menu = ::CreatePopupMenu();
        ::AppendMenuA(m_menu, MF_STRING, 7, "Open");
        ::AppendMenuA(m_menu, MF_STRING, 8, "Properties");
    }
    void TearDown() override
    {
        if (m_handler)
            m_handler->Release();
        ::DestroyMenu(m_menu);
        EXPECT_EQ(ModuleObjectCount(), 0);
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CServiceFixture m_service;
    KsxTest::CTempFolder m_install;
    IContextMenu* m_handler = nullptr;
    HMENU m_menu = nullptr;
};

TEST_F(CtxMenuTest, FlagsThatAddTheItemPutSeparatorAndItemAtIndex)
{
    for (UINT flags : {0u, 2u, 4u, 5u, 6u, 0x10u, 0x14u}) {
        SCOPED_TRACE(flags);
        IContextMenu* handler = NewHandler();
        HMENU menu = ::CreatePopupMenu();
        ::AppendMenuA(menu, MF_STRING, 7, "Open");
        ::AppendMenuA(menu, MF_STRING, 8, "Properties");

        EXPECT_EQ(handler->QueryContextMenu(menu, 1, 100, 200, flags), 1);
        auto items = ShellHost::DescribeMenu(menu);
        ASSERT_EQ(items.size(), 4u);
        EXPECT_EQ(items[0].id, 7u);
        EXPECT_TRUE(items[1].separator);
        EXPECT_FALSE(items[2].separator);
        EXPECT_EQ(items[2].id, 100u);
        EXPECT_FALSE(items[2].grayed);
        EXPECT_TRUE(items[2].hasBitmap);
        EXPECT_EQ(items[3].id, 8u);

        handler->Release();
        ::DestroyMenu(menu);
    }
}

// String tables are UTF-16LE with a byte order mark.
std::string Utf16File(const std::wstring& text)
{
    std::string bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return bytes;
}

TEST_F(CtxMenuTest, ItemTextComesFromTheCurrentLanguagesTable)
{
    m_install.WriteFile("www\\1600\\UIProfile.cfg",
                        "<uifrmwrk_info><global_setting><supported_lang def_lcid=\"1033\" def_locale=\"EN-US\">"
                        "<lang>EN-US</lang></supported_lang><locale_mapping_list/></global_setting></uifrmwrk_info>");
    m_install.WriteFile("www\\1600\\Global_Ui_Setting.xml",
                        "<global_setting><supported_lang def_locale=\"en\"><lang>EN-US</lang></supported_lang>"
                        "</global_setting>");
    m_install.WriteFile("www\\1600\\i18n\\EN-US\\UIStringTable.ini",
                        Utf16File(L"[STRING_TABLE]\r\nWDXNTMON_UI_MENU_SHELL_SCAN=Scan with Bastion NT\r\n"));
    EXPECT_EQ(m_handler->QueryContextMenu(m_menu, 0, 10, 20, CMF_NORMAL), 1);
    auto items = ShellHost::DescribeMenu(m_menu);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[1].text, "Scan with Bastion NT");
    EXPECT_TRUE(items[1].hasBitmap);
}

TEST_F(CtxMenuTest, DefaultOnlyAndNoVerbsAddNothing)
{
    for (UINT flags : {1u, 8u, 9u, 0x18u}) {
        SCOPED_TRACE(flags);
        EXPECT_EQ(m_handler->QueryContextMenu(m_menu, 0, 100, 200, flags), 0);
        EXPECT_EQ(::GetMenuItemCount(m_menu), 2);
    }
}

TEST_F(CtxMenuTest, ItemWithoutBitmapWhenTheFileIsMissingOrNotABitmap)
{
    ::DeleteFileA((m_install.Path() + "www\\1600\\res\\corvane_logo.bmp").c_str());
    EXPECT_EQ(m_handler->QueryContextMenu(m_menu, 2, 50, 60, 0), 1);
    auto items = ShellHost::DescribeMenu(m_menu);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[3].id, 50u);
    EXPECT_FALSE(items[3].hasBitmap);

    m_install.WriteFile("www\\1600\\res\\corvane_logo.bmp", "not a bitmap");
    IContextMenu* other = NewHandler();
    HMENU menu = ::CreatePopupMenu();
    EXPECT_EQ(other->QueryContextMenu(menu, 0, 1, 2, 0), 1);
    EXPECT_FALSE(ShellHost::DescribeMenu(menu).at(1).hasBitmap);
    other->Release();
    ::DestroyMenu(menu);
}

TEST_F(CtxMenuTest, NoInstallFolderStillAddsTheItem)
{
    m_registry.DeleteValue("", "Application Path");
    IContextMenu* handler = NewHandler();
    HMENU menu = ::CreatePopupMenu();
    EXPECT_EQ(handler->QueryContextMenu(menu, 0, 9, 9, 0), 1);
    auto items = ShellHost::DescribeMenu(menu);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_FALSE(items[1].hasBitmap);
    handler->Release();
    ::DestroyMenu(menu);
}

TEST_F(CtxMenuTest, ItemBitmapLivesWithTheObject)
{
    ASSERT_EQ(m_handler->QueryContextMenu(m_menu, 0, 1, 2, 0), 1);
    MENUITEMINFOA mii = {};
    mii.cbSize = sizeof(mii);
    mii.fMask = MIIM_CHECKMARKS;
    ASSERT_TRUE(::GetMenuItemInfoA(m_menu, 1, TRUE, &mii));
    ASSERT_NE(mii.hbmpUnchecked, nullptr);
    EXPECT_EQ(mii.hbmpChecked, nullptr);
    EXPECT_EQ(::GetObjectType(mii.hbmpUnchecked), static_cast<DWORD>(OBJ_BITMAP));

    m_handler->Release();
    m_handler = nullptr;
    EXPECT_EQ(::GetObjectType(mii.hbmpUnchecked), 0u);
}

TEST_F(CtxMenuTest, QueryInterfaceIdentity)
{
    IUnknown* unk = nullptr;
    IShellExtInit* init = nullptr;
    IContextMenu* menu = nullptr;
    ASSERT_EQ(m_handler->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    ASSERT_EQ(m_handler->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);
    ASSERT_EQ(init->QueryInterface(IID_IContextMenu, reinterpret_cast<void**>(&menu)), S_OK);
    EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(init));
    EXPECT_EQ(menu, m_handler);
    EXPECT_NE(static_cast<void*>(menu), static_cast<void*>(init));

    void* other = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(m_handler->QueryInterface(IID_IDataObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);

    // Reference counts: three QueryInterface references plus the handler's own.
    EXPECT_EQ(unk->Release(), 3u);
    EXPECT_EQ(init->Release(), 2u);
    EXPECT_EQ(menu->Release(), 1u);
}

TEST_F(CtxMenuTest, GetCommandStringMatrix)
{
    char name[64];
    memset(name, 'x', sizeof(name));
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_VERBA, nullptr, name, sizeof(name)), S_OK);
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_VERBW, nullptr, name, sizeof(name)), S_OK);
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(m_handler->GetCommandString(1, GCS_VERBA, nullptr, name, sizeof(name)), E_INVALIDARG);
    EXPECT_EQ(m_handler->GetCommandString(1, GCS_VERBW, nullptr, name, sizeof(name)), E_INVALIDARG);
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_VALIDATEA, nullptr, name, sizeof(name)), S_OK);
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_VALIDATEW, nullptr, name, sizeof(name)), E_INVALIDARG);
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_HELPTEXTW, nullptr, name, sizeof(name)), E_INVALIDARG);
    EXPECT_EQ(m_handler->GetCommandString(0, 0x77, nullptr, name, sizeof(name)), E_INVALIDARG);
    EXPECT_EQ(name[0], 'x');

    // Help text: no resource library, so the fallback; idCmd is not checked.
    EXPECT_EQ(m_handler->GetCommandString(5, GCS_HELPTEXTA, nullptr, name, sizeof(name)), S_OK);
    EXPECT_STREQ(name, "Halyard NT");
}

TEST_F(CtxMenuTest, HelpTextIsCutToFitAndStaysTerminated)
{
    char name[16];
    memset(name, 'x', sizeof(name));
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, name, 5), S_OK);
    EXPECT_STREQ(name, "Haly");
    EXPECT_EQ(name[5], 'x');

    memset(name, 'x', sizeof(name));
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, name, 1), S_OK);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(name[1], 'x');

    memset(name, 'x', sizeof(name));
    EXPECT_EQ(m_handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, name, 0), S_OK);
    EXPECT_EQ(name[0], 'x');
}

TEST_F(CtxMenuTest, InvokeCommandRejectsStringVerbsAndOtherOffsets)
{
    CMINVOKECOMMANDINFO ici = {};
    ici.cbSize = sizeof(ici);
    ici.lpVerb = "open";
    EXPECT_EQ(m_handler->InvokeCommand(&ici), E_INVALIDARG);
    ici.lpVerb = MAKEINTRESOURCEA(1);
    EXPECT_EQ(m_handler->InvokeCommand(&ici), E_INVALIDARG);
    ici.lpVerb = MAKEINTRESOURCEA(0xFFFF);
    EXPECT_EQ(m_handler->InvokeCommand(&ici), E_INVALIDARG);
    EXPECT_EQ(m_handler->InvokeCommand(nullptr), E_INVALIDARG);
}

TEST_F(CtxMenuTest, InitializeKeepsOneReferenceAndReplacesEarlierSelection)
{
    IShellExtInit* init = nullptr;
    ASSERT_EQ(m_handler->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init)), S_OK);

    IDataObject* first = nullptr;
    IDataObject* second = nullptr;
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\a.txt"}, &first), S_OK);
    ASSERT_EQ(ShellHost::CreateHDropDataObject({L"C:\\b.txt"}, &second), S_OK);

    EXPECT_EQ(init->Initialize(nullptr, first, nullptr), S_OK);
    EXPECT_EQ(first->AddRef(), 3u);  // ours, the handler's, this one
    first->Release();

    EXPECT_EQ(init->Initialize(nullptr, second, nullptr), S_OK);
    EXPECT_EQ(first->AddRef(), 2u);  // the handler let go of it
    first->Release();

    // Same object twice must not drop its last reference on the way.
    EXPECT_EQ(init->Initialize(nullptr, second, nullptr), S_OK);
    EXPECT_EQ(second->AddRef(), 3u);
    second->Release();

    EXPECT_EQ(init->Initialize(nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(second->AddRef(), 2u);
    second->Release();

    init->Initialize(nullptr, first, nullptr);
    init->Release();
    m_handler->Release();
    m_handler = nullptr;
    EXPECT_EQ(first->Release(), 0u);  // freed with the handler
    EXPECT_EQ(second->Release(), 0u);
}

TEST(CtxMenuObjects, CountsSurviveManyApartmentsAtOnce)
{
    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                IContextMenu* menu = nullptr;
                if (factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&menu)) != S_OK) {
                    ++failures;
                    continue;
                }
                menu->AddRef();
                menu->Release();
                menu->Release();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ModuleObjectCount(), 1);  // the factory
    factory->Release();
    EXPECT_EQ(ModuleObjectCount(), 0);
}

TEST(CtxMenuFactory, CreateInstanceErrors)
{
    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IContextMenu, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDataObject, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(ModuleObjectCount(), 1);  // the refused object was freed
    factory->Release();
    EXPECT_EQ(ModuleObjectCount(), 0);
}

TEST(AppendPathComponent, OneSeparatorAtTheSeam)
{
    EXPECT_EQ(AppendPathComponent("C:\\Agent", "WDXNTRES.DLL"), "C:\\Agent\\WDXNTRES.DLL");
    EXPECT_EQ(AppendPathComponent("C:\\Agent\\", "WDXNTRES.DLL"), "C:\\Agent\\WDXNTRES.DLL");
    EXPECT_EQ(AppendPathComponent("C:\\Agent\\", "\\WDXNTRES.DLL"), "C:\\Agent\\WDXNTRES.DLL");
    EXPECT_EQ(AppendPathComponent("C:\\Agent", "\\WDXNTRES.DLL"), "C:\\Agent\\WDXNTRES.DLL");
    EXPECT_EQ(AppendPathComponent("C:\\Agent", ""), "C:\\Agent");
    EXPECT_EQ(AppendPathComponent("", "WDXNTRES.DLL"), "");
    EXPECT_EQ(AppendPathComponent("C:\\", "x"), "C:\\x");
}

TEST(AppendPathComponent, TrailByteThatLooksLikeASeparatorIsNotOne)
{
    // In the Japanese code page 0x95 0x5C is one character, not a folder end.
    EXPECT_FALSE(EndsWithPathSeparator("C:\\\x95\x5C", 932));
    EXPECT_TRUE(EndsWithPathSeparator("C:\\\x95\x5C\\", 932));
    EXPECT_TRUE(EndsWithPathSeparator("C:\\\x95\x5C", 1252));
    EXPECT_FALSE(EndsWithPathSeparator("", 932));
}

TEST(ReadAgentInstallFolder, StringsOnlyAndBounded)
{
    KsxTest::CAgentRegistry registry;
    registry.SetString("", "Application Path", "C:\\Program Files (x86)\\Corvane\\");
    EXPECT_EQ(ReadAgentInstallFolder(260), "C:\\Program Files (x86)\\Corvane\\");

    registry.SetString("", "Application Path", std::string(260, 'a'));  // 261 bytes with its NUL
    EXPECT_EQ(ReadAgentInstallFolder(260), "");

    registry.SetDword("", "Application Path", 0x5C3A43);
    EXPECT_EQ(ReadAgentInstallFolder(260), "");

    registry.DeleteValue("", "Application Path");
    EXPECT_EQ(ReadAgentInstallFolder(260), "");
}

}  // namespace
