// Cost of the file menu's explorer command beside the classic item: what
// Windows 11 asks of the command to show it (GetState with leave to be slow,
// GetTitle) as a ratio of the classic QueryContextMenu, measured in one run.
// Needs the simulated agent installed in the prefix (scripts/agent-install).
//
//   bench_command [SCALE]     SCALE multiplies the iteration counts (default 1)

#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "bench_util.h"
#include "cntts_ClassFactory.h"
#include "cntts_CtxMenu.h"
#include "ut_Handle.h"

using Microsoft::WRL::ComPtr;
using namespace KsxShell;

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_command [SCALE]\n");
        return 1;
    }
    if (ReadAgentInstallFolder(260).empty()) {
        fprintf(stderr, "bench_command: no installed agent (run scripts/agent-install BUILD_DIR install)\n");
        return 2;
    }
    const ComPtr<IClassFactory> menus(new CShellExtClassFactory());
    const ComPtr<IClassFactory> commands(new CShellExtClassFactory(CShellExtClassFactory::kExplorerCommand));
    ComPtr<IContextMenu> handler;
    ComPtr<IExplorerCommand> command;
    if (FAILED(menus->CreateInstance(nullptr, IID_PPV_ARGS(&handler))) ||
        FAILED(commands->CreateInstance(nullptr, IID_PPV_ARGS(&command)))) {
        fprintf(stderr, "bench_command: cannot create the handler and the command\n");
        return 1;
    }
    const long long n = 200 * scale;
    EXPCMDSTATE state = 0;
    auto title = [&] {
        LPWSTR text = nullptr;
        command->GetTitle(nullptr, &text);
        ::CoTaskMemFree(text);
    };
    // Warm up: the document parses once, the service manager connection settles.
    for (int i = 0; i < 5; ++i) {
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
        command->GetState(nullptr, TRUE, &state);
        title();
    }

    const double menuNs = Bench::NsPerOp(n, [&](long long) {
        UTIL::CUniqueMenu menu(::CreatePopupMenu());
        handler->QueryContextMenu(menu.get(), 0, 1, 2, CMF_NORMAL);
    });
    const double shownNs = Bench::NsPerOp(n, [&](long long) {
        command->GetState(nullptr, TRUE, &state);
        title();
    });
    const double quickNs = Bench::NsPerOp(n, [&](long long) { command->GetState(nullptr, FALSE, &state); });
    const double slowNs = Bench::NsPerOp(n, [&](long long) { command->GetState(nullptr, TRUE, &state); });
    const double titleNs = Bench::NsPerOp(n, [&](long long) { title(); });

    printf("The explorer command over %lld calls, beside the classic QueryContextMenu (A)\n\n", n);
    Bench::Header();
    Bench::Row("A: QueryContextMenu (classic item)", menuNs);
    Bench::Row("GetState(fOkToBeSlow) + GetTitle", shownNs, "A", menuNs);
    Bench::Row("  GetState, not slow (registry flags; E_PENDING)", quickNs, "A", menuNs);
    Bench::Row("  GetState, slow (flags + service query)", slowNs, "A", menuNs);
    Bench::Row("  GetTitle (SyncLang(0) + string table)", titleNs, "A", menuNs);
    return 0;
}
