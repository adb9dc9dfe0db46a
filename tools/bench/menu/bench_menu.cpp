// Cost of building the context menu, as ratios against the bare platform
// calls it makes (separator, item, bitmap on a fresh popup menu), with the
// pieces that add to them: the busy check, its service query, the text lookup.
// Needs the simulated agent installed in the prefix (scripts/agent-install).
//
//   bench_menu [SCALE]     SCALE multiplies the iteration counts (default 1)

#include <windows.h>

#include <stdlib.h>

#include <string>

#include "bench_util.h"
#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "libCvProfileDocument.h"
#include "sc_ServiceControl.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

using namespace KsxShell;

namespace {

std::string InstallFolder()
{
    std::string folder = ReadAgentInstallFolder(260);
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    return folder;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_menu [SCALE]\n");
        return 1;
    }
    const std::string folder = InstallFolder();
    const std::string bitmapPath = folder + "www\\1600\\res\\corvane_logo.bmp";
    if (folder.empty() || ::GetFileAttributesA(bitmapPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "bench_menu: no installed agent (run scripts/agent-install BUILD_DIR install)\n");
        return 2;
    }

    auto* factory = new CShellExtClassFactory();
    factory->AddRef();
    IContextMenu* handler = nullptr;
    if (FAILED(factory->CreateInstance(nullptr, IID_IContextMenu, reinterpret_cast<void**>(&handler)))) {
        fprintf(stderr, "bench_menu: cannot create the handler\n");
        return 1;
    }
    factory->Release();
    const long long n = 200 * scale;
    const int cx = ::GetSystemMetrics(SM_CXMENUCHECK);
    const int cy = ::GetSystemMetrics(SM_CYMENUCHECK);

    // Warm up: the document parses once, the service manager connection settles.
    for (int i = 0; i < 5; ++i) {
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
    }

    const double bareNs = Bench::NsPerOp(n, [&](long long) {
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        ::InsertMenuA(menu.get(), 0, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
        ::InsertMenuA(menu.get(), 1, MF_BYPOSITION, 1, "Scan for security risks");
        UTIL::CUniqueBitmap bitmap(
            static_cast<HBITMAP>(::LoadImageA(nullptr, bitmapPath.c_str(), IMAGE_BITMAP, cx, cy, LR_LOADFROMFILE)));
        ::SetMenuItemBitmaps(menu.get(), 1, MF_BYPOSITION, bitmap.get(), nullptr);
    });
    const double menuNs = Bench::NsPerOp(n, [&](long long) {
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
    });
    const double busyNs = Bench::NsPerOp(n, [&](long long) { static_cast<CShellExt*>(handler)->IsScanBusy(); });
    const double serviceNs = Bench::NsPerOp(n, [&](long long) {
        DWORD state = 0;
        scQueryServiceStatusW(L"NTRtWatch", &state);
    });
    const double textNs = Bench::NsPerOp(n, [&](long long) {
        std::wstring text;
        CProfileDocument::GetInstance()->SyncLang(0);
        CProfileDocument::GetInstance()->GetL10nString(L"STRING_TABLE", L"WDXNTMON_UI_MENU_SHELL_SCAN", text);
    });
    handler->Release();

    printf("QueryContextMenu over %lld menus, beside the platform calls it makes (A)\n\n", n);
    Bench::Header();
    Bench::Row("A: separator + item + bitmap, bare calls", bareNs);
    Bench::Row("QueryContextMenu (whole)", menuNs, "A", bareNs);
    Bench::Row("  IsScanBusy (registry flags + service query)", busyNs, "A", bareNs);
    Bench::Row("  scQueryServiceStatusW(NTRtWatch) alone", serviceNs, "A", bareNs);
    Bench::Row("  SyncLang(0) + GetL10nString (menu text)", textNs, "A", bareNs);
    return 0;
}
