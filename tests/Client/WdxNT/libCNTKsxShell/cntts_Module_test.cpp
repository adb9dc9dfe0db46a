#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <regex>
#include <string>
#include <vector>

#include "test_support.h"
#include "ut_ProcAddress.h"

using Microsoft::WRL::ComPtr;

namespace {

const CLSID kClsid = {0x5C1E9A42, 0x7D3B, 0x4F0A, {0x9E, 0x21, 0x6B, 0x8D, 0x0C, 0x4A, 0x7F, 0x13}};
const char kClsidString[] = "{5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}";
const CLSID kCommandClsid = {0xC9F2DAF1, 0x5A1C, 0x405B, {0x88, 0xC3, 0x39, 0x1E, 0x36, 0x99, 0x54, 0x09}};
const char kApproved[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const char* const kHandlerKeys[] = {
    "*\\shellex\\ContextMenuHandlers\\Bastion NT",
    "directory\\shellex\\ContextMenuHandlers\\Bastion NT",
    "drive\\shellex\\ContextMenuHandlers\\Bastion NT",
};

using FnGetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using FnVoid = HRESULT(WINAPI*)();

std::string DllPath() { return KsxTest::ExeDirA() + "KSXSHELL.dll"; }

// The built module, loaded the way COM loads it.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_module.reset(::LoadLibraryA(DllPath().c_str()));
        ASSERT_TRUE(m_module) << DllPath() << " error " << ::GetLastError();
        m_getClassObject = UTIL::GetProc<FnGetClassObject>(m_module.get(), "DllGetClassObject");
        m_canUnloadNow = UTIL::GetProc<FnVoid>(m_module.get(), "DllCanUnloadNow");
        m_register = UTIL::GetProc<FnVoid>(m_module.get(), "DllRegisterServer");
        m_unregister = UTIL::GetProc<FnVoid>(m_module.get(), "DllUnregisterServer");
        ASSERT_TRUE(m_getClassObject && m_canUnloadNow && m_register && m_unregister);
        EnsureApprovedKey();
    }
    void TearDown() override
    {
        if (m_unregister)
            m_unregister();
        EnsureApprovedKey();
    }

    static void EnsureApprovedKey()
    {
        UTIL::CUniqueHKey key;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kApproved, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                    nullptr),
                  ERROR_SUCCESS);
    }

    // The class, its three handlers and the approval: all there, or all gone.
    static void ExpectRegistered(bool registered)
    {
        const std::string server = std::string("CLSID\\") + kClsidString + "\\InProcServer32";
        const auto path = KsxTest::ReadRegString(HKEY_CLASSES_ROOT, server, nullptr);
        EXPECT_EQ(lstrcmpiA(path.value.c_str(), registered ? DllPath().c_str() : ""), 0) << path.value;
        EXPECT_EQ(KsxTest::KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClsidString), registered);
        EXPECT_EQ(KsxTest::ReadRegString(HKEY_CLASSES_ROOT, server, "ThreadingModel").value,
                  registered ? "Apartment" : "");
        for (const char* handler : kHandlerKeys) {
            EXPECT_EQ(KsxTest::KeyExists(HKEY_CLASSES_ROOT, handler), registered) << handler;
            EXPECT_EQ(KsxTest::ReadRegString(HKEY_CLASSES_ROOT, handler, nullptr).value,
                      registered ? kClsidString : "");
        }
        EXPECT_EQ(KsxTest::ReadRegString(HKEY_LOCAL_MACHINE, kApproved, kClsidString).value,
                  registered ? "Bastion NT" : "");
    }

    UTIL::CUniqueModule m_module;
    FnGetClassObject m_getClassObject = nullptr;
    FnVoid m_canUnloadNow = nullptr;
    FnVoid m_register = nullptr;
    FnVoid m_unregister = nullptr;
};

// Through the exports and through regsvr32, in turn; then a partial
// registration, a deeper tree than registration writes, no approval key.
TEST_F(ModuleTest, RegistersTwiceAndUnregistersWhateverIsLeft)
{
    const std::wstring quoted = L"\"" + KsxTest::Wide(DllPath()) + L"\"";
    EXPECT_EQ(m_register(), S_OK);
    EXPECT_EQ(m_register(), S_OK);
    ExpectRegistered(true);
    ASSERT_EQ(KsxTest::RunProcess(L"regsvr32.exe /s /u " + quoted), 0u);
    ExpectRegistered(false);
    ASSERT_EQ(KsxTest::RunProcess(L"regsvr32.exe /s " + quoted), 0u);
    ExpectRegistered(true);

    KsxTest::DeleteKeyTree(HKEY_CLASSES_ROOT, kHandlerKeys[1]);
    KsxTest::DeleteKeyTree(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClsidString);
    UTIL::CUniqueHKey deep;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CLASSES_ROOT, (std::string(kHandlerKeys[0]) + "\\a\\b\\c").c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS, nullptr, deep.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(m_unregister(), S_OK);
    ExpectRegistered(false);
    EXPECT_EQ(m_unregister(), S_OK);  // nothing left to delete: every parent still opens

    // A missing approval key is never created; unregistration still removes the rest.
    KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, kApproved);
    EXPECT_EQ(m_register(), S_FALSE);
    for (const char* handler : kHandlerKeys)
        EXPECT_TRUE(KsxTest::KeyExists(HKEY_CLASSES_ROOT, handler)) << handler;
    EXPECT_TRUE(KsxTest::KeyExists(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kClsidString + "\\InProcServer32"));
    EXPECT_FALSE(KsxTest::KeyExists(HKEY_LOCAL_MACHINE, kApproved));
    EXPECT_EQ(m_unregister(), S_FALSE);
    for (const char* handler : kHandlerKeys)
        EXPECT_FALSE(KsxTest::KeyExists(HKEY_CLASSES_ROOT, handler)) << handler;
}

TEST_F(ModuleTest, GetClassObjectErrors)
{
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(m_getClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(m_getClassObject(kClsid, IID_IContextMenu, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    // The refused factory was freed.
    EXPECT_EQ(m_canUnloadNow(), S_OK);

    ComPtr<IUnknown> unk;
    ASSERT_EQ(m_getClassObject(kClsid, IID_PPV_ARGS(&unk)), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(unk.As(&factory), S_OK);
    EXPECT_EQ(static_cast<void*>(factory.Get()), static_cast<void*>(unk.Get()));
    factory.Reset();
    EXPECT_EQ(unk.Detach()->Release(), 0u);
    EXPECT_EQ(m_canUnloadNow(), S_OK);
}

TEST_F(ModuleTest, CanUnloadOnlyWhenNoFactoryOrObjectLives)
{
    // The classic handler, then the file menu's command.
    for (const auto& product :
         {std::make_pair(kClsid, IID_IContextMenu), std::make_pair(kCommandClsid, IID_IExplorerCommand)}) {
        EXPECT_EQ(m_canUnloadNow(), S_OK);
        ComPtr<IClassFactory> f1, f2;
        ASSERT_EQ(m_getClassObject(product.first, IID_PPV_ARGS(&f1)), S_OK);
        ASSERT_EQ(m_getClassObject(product.first, IID_PPV_ARGS(&f2)), S_OK);
        EXPECT_NE(f1.Get(), f2.Get());  // a fresh factory each time
        EXPECT_EQ(m_canUnloadNow(), S_FALSE);

        ComPtr<IUnknown> object;
        ASSERT_EQ(f1->CreateInstance(nullptr, product.second, &object), S_OK);
        EXPECT_EQ(f1->LockServer(TRUE), S_OK);
        f1.Reset();
        f2.Reset();
        EXPECT_EQ(m_canUnloadNow(), S_FALSE);  // the object still lives
        object.Reset();
        EXPECT_EQ(m_canUnloadNow(), S_OK);  // locks are not counted

        ASSERT_EQ(m_getClassObject(product.first, IID_PPV_ARGS(&f1)), S_OK);
        EXPECT_EQ(f1->LockServer(FALSE), S_OK);
        EXPECT_EQ(m_canUnloadNow(), S_FALSE);
        f1.Reset();
        EXPECT_EQ(m_canUnloadNow(), S_OK);
    }
}

// The sparse package names the module's own class, file, version and icon.
TEST_F(ModuleTest, ManifestMatchesTheModule)
{
    const std::string xml = KsxTest::ReadBytes(KsxTest::ExeDirA() + "..\\packaging\\AppxManifest.xml");
    ASSERT_FALSE(xml.empty());

    const std::regex classes(R"re((?:Clsid|Class Id)="([0-9A-F-]+)")re");
    int declared = 0;
    for (std::sregex_iterator m(xml.begin(), xml.end(), classes), end; m != end; ++m, ++declared) {
        const std::wstring id = L"{" + std::wstring((*m)[1].first, (*m)[1].second) + L"}";
        CLSID clsid = {};
        ASSERT_EQ(::CLSIDFromString(id.c_str(), &clsid), S_OK);
        EXPECT_TRUE(::IsEqualCLSID(clsid, kCommandClsid));
    }
    EXPECT_EQ(declared, 4);  // the server, and the verb for files, directories and drives
    for (const char* type : {"\"*\"", "\"Directory\"", "\"Drive\""})
        EXPECT_NE(xml.find(std::string("ItemType Type=") + type), std::string::npos) << type;
    EXPECT_NE(xml.find("Path=\"KSXSHELL.dll\""), std::string::npos);

    const std::string dll = DllPath();
    std::vector<char> info(::GetFileVersionInfoSizeA(dll.c_str(), nullptr));
    ASSERT_TRUE(!info.empty() && ::GetFileVersionInfoA(dll.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
    const std::string version =
        std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
        std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
    EXPECT_NE(xml.find(" Version=\"" + version + "\""), std::string::npos) << version;

    ComPtr<IClassFactory> factory;
    ComPtr<IExplorerCommand> command;
    ASSERT_EQ(m_getClassObject(kCommandClsid, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&command)), S_OK);
    LPWSTR icon = nullptr;
    ASSERT_EQ(command->GetIcon(nullptr, &icon), S_OK);
    const std::wstring location(icon);
    ::CoTaskMemFree(icon);
    const size_t seam = location.rfind(L",-");
    ASSERT_NE(seam, std::wstring::npos);
    EXPECT_EQ(::lstrcmpiW(location.substr(0, seam).c_str(), std::wstring(dll.begin(), dll.end()).c_str()), 0);
    EXPECT_TRUE(::FindResourceA(m_module.get(), MAKEINTRESOURCEA(std::stoi(location.substr(seam + 2))), RT_GROUP_ICON));
}

TEST(ModuleImage, ExportsExactlyTheFourEntryPoints)
{
    const UTIL::CUniqueModule module(::LoadLibraryExA(DllPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
    ASSERT_TRUE(module);
    auto* base = reinterpret_cast<const BYTE*>(module.get());
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_STREQ(reinterpret_cast<const char*>(base + exp->Name), "KSXSHELL.dll");
    std::vector<std::string> names;
    auto* nameRvas = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    for (DWORD i = 0; i < exp->NumberOfNames; ++i)
        names.push_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    EXPECT_EQ(names, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                               "DllUnregisterServer"}));
    EXPECT_EQ(exp->NumberOfFunctions, 4u);
}

}  // namespace
