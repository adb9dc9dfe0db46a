#include "cntts_CtxMenu.h"

namespace KsxShell {

// Not wired to the agent yet: the request cannot be handed over.
HRESULT CShellExt::DoGAKMenu1(HWND, LPCSTR, LPCSTR, LPCSTR, int) { return E_NOTIMPL; }

}  // namespace KsxShell
