// Cost of a CShellExt and of a whole right-click, as ratios against the
// platform calls the module must make for them, measured in the same run:
//
//   A  WinVerifyTrust (open, verify, close state) + LoadLibraryW + FreeLibrary
//      of the installed WDXNTRES.DLL: the floor of any verified load.
//   B  every platform call the constructor and destructor must make, the
//      Wine prefix being English like the base library (no variant search):
//        RegOpenKeyExW, RegQueryValueExW "Application Path", RegCloseKey;
//        GetModuleFileNameW (the host's folder); GetSystemDefaultLangID;
//        GetFileVersionInfoSizeW, GetFileVersionInfoW, VerQueryValueW
//          "\VarFileInfo\Translation" (product language);
//        _waccess, GetFileAttributesW (existence);
//        CreateFileW without write or delete sharing, held until the load;
//        CreateFileW, WinVerifyTrust (verify, signature settings for index 0),
//          WTHelperProvDataFromStateData, WTHelperGetProvSignerFromChain,
//          WTHelperGetProvCertFromChain, CertGetNameStringW twice,
//          WinVerifyTrust (close), CloseHandle;
//        GetFullPathNameW; LoadLibraryW; CloseHandle (the hold);
//        FreeLibrary (destructor); the fixed traces of the constructor and
//          of the AddRef and Release the row calls.
//   C  B plus every platform call of the rest of the right-click:
//        Initialize: none (the data object is kept);
//        QueryContextMenu: RegOpenKeyExW Misc., RegQueryValueExW
//          "ClientUIDisplayMode", RegCloseKey (SyncLang; switch 159 is the
//          table's default on a plain agent); IsValidLocale of the profile's
//          default (and, when that is not installed, reading
//          Global_Ui_Setting.xml); GetPrivateProfileStringW (item text);
//          WideCharToMultiByte for text and bitmap path; the busy check:
//          RegOpenKeyExW x3, RegQueryValueExW x5, RegCloseKey x3,
//          OpenSCManagerW, OpenServiceW, QueryServiceStatus,
//          CloseServiceHandle x2; InsertMenuA x2; GetSystemMetrics x2,
//          LoadImageA (each object loads its bitmap once), SetMenuItemBitmaps;
//        GetCommandString: LoadStringA 139;
//        Release: DeleteObject (the bitmap) besides B's FreeLibrary.
//      and the 21 fixed traces (OutputDebugStringA) of the COM methods entered
//      and of the busy check. Both sides make and destroy the host's popup menu.
// Logging is gated off (level word 0x00018000), as in the field. Needs the
// simulated agent installed (scripts/agent-install) and the test PKI trusted.
//
//   bench_rightclick [SCALE] [parts]     SCALE multiplies the iteration counts (default 1);
//                                        "parts" adds rows for the pieces of each side
#include <windows.h>

#include <io.h>
#include <shobjidl.h>
#include <softpub.h>
#include <stdio.h>
#include <wintrust.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "ds_BsnDSManager.h"
#include "ds_LoadLibWithIssuerCheck.h"
#include "ds_TrustProvider.h"
#include "libCvMultiLang.h"
#include "libCvProfileDocument.h"
#include "shellhost.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

using namespace KsxShell;

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

GUID g_action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// The bare check with the provider flags the manager passes.
LONG BareWinVerifyTrust(const wchar_t* path) { return Bench::BareWinVerifyTrust(path, 0x1110); }

// The signature check as the manager must make it: index 0 with signature
// settings, then the leaf signer's display name.
bool MandatedSignatureCheck(const wchar_t* path)
{
    UTIL::CUniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof(info);
    info.hFile = file.get();
    DS::CSignatureSettings settings = {};
    settings.cbStruct = sizeof(settings);
    settings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
    DS::CWinTrustData data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = 0x1110;
    data.pSignatureSettings = &settings;
    bool named = false;
    if (::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &g_action, &data) == 0) {
        CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* cert = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        if (cert && cert->pCert) {
            wchar_t name[128];
            const DWORD n = ::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
            named = n > 1 && ::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                                                  std::min<DWORD>(n, 128)) > 1;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &g_action, &data);
    return named;
}

// B without the FreeLibrary: the module the constructor would keep.
HMODULE MandatedConstruction(const std::wstring& dll)
{
    wchar_t folder[MAX_PATH + 1] = {};
    {
        UTIL::CUniqueHKey key;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyW, 0, UTIL::kAgentKeyAccess, key.put());
        DWORD cb = MAX_PATH * sizeof(wchar_t);
        ::RegQueryValueExW(key.get(), L"Application Path", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &cb);
    }
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    volatile LANGID system = ::GetSystemDefaultLangID();
    (void)system;
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(dll.c_str(), &handle);
    std::vector<BYTE> block(size);
    void* value = nullptr;
    UINT length = 0;
    if (size && ::GetFileVersionInfoW(dll.c_str(), 0, size, block.data()))
        ::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length);
    if (::_waccess(dll.c_str(), 0) != 0 || (::GetFileAttributesW(dll.c_str()) & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    UTIL::CUniqueFile hold(::CreateFileW(dll.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!MandatedSignatureCheck(dll.c_str()))
        return nullptr;
    wchar_t full[MAX_PATH + 1] = {};
    ::GetFullPathNameW(dll.c_str(), MAX_PATH + 1, full, nullptr);
    return ::LoadLibraryW(full);
}

DWORD ReadDword(HKEY key, const wchar_t* name)
{
    DWORD value = 0, size = sizeof(value);
    ::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

struct CInstalled {
    std::wstring folder, dll, stringTable, globalSettings;
    std::string bitmap;
    LCID defaultLcid = 0;
    bool readsGlobalSettings = false;
};

const std::wstring g_root = UTIL::kAgentRootKeyW;

// SyncLang and the item text: the display mode, the profile's default
// language, the string table.
void MandatedText(const CInstalled& in, wchar_t* text)
{
    {
        UTIL::CUniqueHKey misc;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (g_root + L"\\Misc.").c_str(), 0, UTIL::kAgentKeyAccess, misc.put());
        ReadDword(misc.get(), L"ClientUIDisplayMode");
    }
    ::IsValidLocale(in.defaultLcid, LCID_INSTALLED);
    if (in.readsGlobalSettings) {
        UTIL::CUniqueFile file(::CreateFileW(in.globalSettings.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        char buf[4096];
        DWORD got = 0;
        ::ReadFile(file.get(), buf, sizeof(buf), &got, nullptr);
    }
    ::GetPrivateProfileStringW(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", L"", text, 520, in.stringTable.c_str());
}

// The busy check: five flags below three keys, and the service's state.
void MandatedBusy()
{
    {
        UTIL::CUniqueHKey misc, manual, realTime;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (g_root + L"\\Misc.").c_str(), 0, UTIL::kAgentKeyAccess, misc.put());
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (g_root + L"\\Manual Scan Configuration").c_str(), 0, UTIL::kAgentKeyAccess,
                        manual.put());
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (g_root + L"\\Real Time Scan Configuration").c_str(), 0,
                        UTIL::kAgentKeyAccess, realTime.put());
        ReadDword(misc.get(), L"IsScanning");
        ReadDword(misc.get(), L"UpdateOngoing");
        ReadDword(manual.get(), L"ManualScanInstance");
        ReadDword(realTime.get(), L"Remote");
        ReadDword(realTime.get(), L"PreSchedule");
    }
    {
        UTIL::CUniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
        UTIL::CUniqueServiceHandle service(::OpenServiceW(manager.get(), L"NTRtWatch", SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        ::QueryServiceStatus(service.get(), &status);
    }
}

// The rest of the right-click's platform calls, on `menu`, with the library
// B loaded.
void MandatedMenu(const CInstalled& in, HMENU menu, HMODULE library)
{
    wchar_t text[520] = {};
    MandatedText(in, text);
    char textA[1040], pathA[1040];
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, textA, sizeof(textA), nullptr, nullptr);
    ::WideCharToMultiByte(CP_ACP, 0, in.folder.c_str(), -1, pathA, sizeof(pathA), nullptr, nullptr);
    MandatedBusy();
    ::InsertMenuA(menu, 0, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    ::InsertMenuA(menu, 1, MF_BYPOSITION, 1, textA);
    UTIL::CUniqueBitmap bitmap(
        static_cast<HBITMAP>(::LoadImageA(nullptr, in.bitmap.c_str(), IMAGE_BITMAP, ::GetSystemMetrics(SM_CXMENUCHECK),
                                          ::GetSystemMetrics(SM_CYMENUCHECK), LR_LOADFROMFILE)));
    ::SetMenuItemBitmaps(menu, 1, MF_BYPOSITION, bitmap.get(), nullptr);
    char help[41];
    ::LoadStringA(library, CShellExt::kHelpTextId, help, sizeof(help));
}

// Explorer's part: the class object, the object, the selection, the menu, the
// help text.
bool RightClick(IDataObject* selection, char* help, UINT cch)
{
    IClassFactory* factory = nullptr;
    if (FAILED(DllGetClassObject(CLSID_KsxShellExt, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return false;
    IContextMenu* handler = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&handler));
    factory->Release();
    if (FAILED(created))
        return false;
    IShellExtInit* init = nullptr;
    handler->QueryInterface(IID_IShellExtInit, reinterpret_cast<void**>(&init));
    init->Initialize(nullptr, selection, nullptr);
    init->Release();
    UTIL::CUniqueMenu menu(::CreatePopupMenu());
    const HRESULT built = handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
    handler->GetCommandString(0, GCS_HELPTEXTA, nullptr, help, cch);
    handler->Release();
    return built == MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
}

// The fixed traces of that right-click, one per COM method entered, and the
// busy check's seven.
const char* const kTraces[] = {
    "In DllGetClassObject\r\n",
    "CShellExtClassFactory::CShellExtClassFactory()\r\n",
    "CShellExtClassFactory::QueryInterface()\r\n",
    "CShellExtClassFactory::CreateInstance()\r\n",
    "CShellExt::CShellExt()\r\n",
    "CShellExt::QueryInterface()==>IID_IContextMenu\r\n",
    "CShellExt::AddRef()\r\n",
    "CShellExt::QueryInterface()==>IID_IShellExtInit\r\n",
    "CShellExt::AddRef()\r\n",
    "CShellExt::Initialize()\r\n",
    "CShellExt::Release()\r\n",
    "CShellExt::QueryContextMenu()\r\n",
    "CMF_NORMAL...\r\n",
    "NTRtWatch is running now.",
    "not dwScanning",
    "not dwUpdateOnGoing",
    "not dwMSInstance",
    "bNtrtRunning",
    "not dwRemoteScanning",
    "not dwScheduleScanning",
    "CShellExt::Release()\r\n",
};

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    const bool parts = argc > 2 && std::string(argv[2]) == "parts";
    if (!scale || (argc > 2 && !parts)) {
        fprintf(stderr, "usage: bench_rightclick [SCALE] [parts]\n");
        return 1;
    }
    CInstalled in;
    const std::string folderA = ReadAgentInstallFolder(260);
    in.folder.assign(folderA.begin(), folderA.end());
    if (!in.folder.empty() && in.folder.back() != L'\\')
        in.folder += L'\\';
    in.dll = in.folder + L"WDXNTRES.DLL";
    in.bitmap = AppendPathComponent(folderA, "www\\1600\\res\\corvane_logo.bmp");
    in.globalSettings = ComposeProfilePath(in.folder, L"Global_Ui_Setting.xml");
    if (in.folder.empty() || ::GetFileAttributesW(in.dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "bench_rightclick: no installed agent (run scripts/agent-install BUILD_DIR install)\n");
        return 2;
    }
    if (BareWinVerifyTrust(in.dll.c_str()) != 0 || !MandatedSignatureCheck(in.dll.c_str())) {
        fprintf(stderr, "bench_rightclick: WDXNTRES.DLL does not verify (run scripts/trust-pki install BUILD_DIR)\n");
        return 2;
    }

    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_rightclick: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    IDataObject* selection = nullptr;
    if (FAILED(ShellHost::CreateHDropDataObject({L"C:\\windows\\win.ini", L"C:\\users"}, &selection))) {
        fprintf(stderr, "bench_rightclick: cannot make the selection\n");
        return 1;
    }
    // Warm up: the profile registers and parses once per process.
    char help[64] = {};
    for (int i = 0; i < 3; ++i) {
        if (!RightClick(selection, help, sizeof(help))) {
            fprintf(stderr, "bench_rightclick: the right-click failed\n");
            return 1;
        }
    }
    CProfileDocument* doc = CProfileDocument::GetInstance();
    std::wstring lang;
    LCID lcid = 0;
    in.readsGlobalSettings = !doc->GetProductLanguageFromProfile(lang, &lcid);
    in.defaultLcid = lcid;
    doc->GetLang(lang, nullptr);
    in.stringTable = in.folder + L"www\\1600\\i18n\\" + lang + L"\\UIStringTable.ini";

    struct CRow {
        const char* what;
        std::function<void()> fn;
    };
    const CRow rows[] = {
        {"A: WinVerifyTrust + LoadLibraryW + FreeLibrary",
         [&] {
             BareWinVerifyTrust(in.dll.c_str());
             ::FreeLibrary(::LoadLibraryW(in.dll.c_str()));
         }},
        {"B: the constructor's mandated calls (+ FreeLibrary)",
         [&] {
             ::OutputDebugStringA("CShellExt::CShellExt()\r\n");
             ::OutputDebugStringA("CShellExt::AddRef()\r\n");
             ::FreeLibrary(MandatedConstruction(in.dll));
             ::OutputDebugStringA("CShellExt::Release()\r\n");
         }},
        {"new CShellExt + Release",
         [&] {
             CShellExt* object = new CShellExt();
             object->AddRef();
             object->Release();
         }},
        {"C: the right-click's mandated calls",
         [&] {
             for (const char* trace : kTraces)
                 ::OutputDebugStringA(trace);
             UTIL::CUniqueModule library(MandatedConstruction(in.dll));
             UTIL::CUniqueMenu menu(::CreatePopupMenu());
             MandatedMenu(in, menu.get(), library.get());
         }},
        {"whole right-click (DllGetClassObject .. Release)", [&] { RightClick(selection, help, sizeof(help)); }},
        // The pieces: a, b and c are platform calls only, m and q the module's.
        {"  a1 WinVerifyTrust (bare)", [&] { BareWinVerifyTrust(in.dll.c_str()); }},
        {"  b1 signature check, mandated calls", [&] { MandatedSignatureCheck(in.dll.c_str()); }},
        {"  m1 VerifyDigitalSignatureAndRecord",
         [&] { CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(in.dll.c_str(), 1, false); }},
        {"  b2 version block + translation, mandated",
         [&] {
             DWORD handle = 0;
             const DWORD size = ::GetFileVersionInfoSizeW(in.dll.c_str(), &handle);
             std::vector<BYTE> block(size);
             void* value = nullptr;
             UINT length = 0;
             if (size && ::GetFileVersionInfoW(in.dll.c_str(), 0, size, block.data()))
                 ::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length);
         }},
        {"  m2 GetProductLangIdW", [&] { GetProductLangIdW(in.dll.c_str()); }},
        {"  a2 LoadLibraryW + FreeLibrary", [&] { ::FreeLibrary(::LoadLibraryW(in.dll.c_str())); }},
        {"  m3 LoadLibraryWithIssuerCheckW + FreeLibrary",
         [&] { ::FreeLibrary(LoadLibraryWithIssuerCheckW(kCorvaneIssuer, in.dll.c_str())); }},
        {"  m4 LoadLibrary_MultiLang + FreeLibrary",
         [&] { ::FreeLibrary(LoadLibrary_MultiLang((folderA + "WDXNTRES.DLL").c_str(), 1)); }},
        {"  c1 text: mandated calls",
         [&] {
             wchar_t text[520] = {};
             MandatedText(in, text);
         }},
        {"  q1 SyncLang(0) + GetL10nString + GetAppPath",
         [&] {
             std::wstring text, folder;
             doc->SyncLang(0);
             CProfileDocument::GetInstance()->GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text);
             CProfileDocument::GetInstance()->GetAppPath(folder);
         }},
        {"  c2 busy check: mandated calls", [&] { MandatedBusy(); }},
        {"  c3 OutputDebugStringA (one trace)", [] { ::OutputDebugStringA("CShellExt::AddRef()\r\n"); }},
    };
    constexpr size_t kWholeRows = 5;
    const size_t rowCount = parts ? sizeof(rows) / sizeof(rows[0]) : kWholeRows;

    // Call by call, every row in turn, so that a busy machine slows them
    // alike; each row reports its median round.
    constexpr int kRounds = 7;
    const long long count = 10 * scale;
    auto measure = [&](const CRow* table, size_t n) {
        std::vector<std::vector<double>> ns(n);
        for (int round = 0; round < kRounds; ++round) {
            std::vector<double> total(n);
            for (long long i = 0; i < count; ++i) {
                for (size_t r = 0; r < n; ++r) {
                    const double start = Bench::Seconds();
                    table[r].fn();
                    total[r] += Bench::Seconds() - start;
                }
            }
            for (size_t r = 0; r < n; ++r)
                ns[r].push_back(total[r] * 1e9 / static_cast<double>(count));
        }
        return ns;
    };
    const std::vector<std::vector<double>> ns = measure(rows, rowCount);
    // Afterwards: the object keeps the library loaded.
    std::vector<std::vector<double>> busyNs;
    CShellExt* probe = nullptr;
    const CRow busyRows[] = {
        {"  c2 busy check: mandated calls (again)", [&] { MandatedBusy(); }},
        {"  q2 IsScanBusy (and its 7 traces)", [&] { probe->IsScanBusy(); }},
    };
    if (parts) {
        probe = new CShellExt();
        probe->AddRef();
        busyNs = measure(busyRows, 2);
        probe->Release();
    }
    selection->Release();
    word.Restore();

    const double aNs = Median(ns[0]), bNs = Median(ns[1]), cNs = Median(ns[3]);
    Bench::Header();
    Bench::Row(rows[0].what, aNs);
    Bench::Row(rows[1].what, bNs);
    Bench::Row("  B beside A", bNs, "A", aNs);
    Bench::Row(rows[2].what, Median(ns[2]), "A", aNs);
    Bench::Row(rows[2].what, Median(ns[2]), "B", bNs);
    Bench::Row(rows[3].what, cNs);
    Bench::Row(rows[4].what, Median(ns[4]), "C", cNs);
    for (size_t r = kWholeRows; r < rowCount; ++r)
        Bench::Row(rows[r].what, Median(ns[r]));
    for (size_t r = 0; r < busyNs.size(); ++r)
        Bench::Row(busyRows[r].what, Median(busyNs[r]));
    printf("\n%d rounds of %lld calls per row; help text \"%s\"; language %ls%s; system language %04x, library %04x\n",
           kRounds, count, help, lang.c_str(), in.readsGlobalSettings ? ", global settings read per call" : "",
           ::GetSystemDefaultLangID(), GetProductLangIdW(in.dll.c_str()));
    return 0;
}
