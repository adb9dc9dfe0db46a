// The scan verb of the Windows 11 file menu: an explorer command beside the
// classic context-menu handler, with the same busy check, texts and hand-over.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "ut_Handle.h"

namespace KsxShell {

class CExplorerCommand final : public IExplorerCommand, public IObjectWithSite {
public:
    CExplorerCommand();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IExplorerCommand
    STDMETHODIMP GetTitle(IShellItemArray* items, LPWSTR* name) override;
    STDMETHODIMP GetIcon(IShellItemArray* items, LPWSTR* icon) override;
    STDMETHODIMP GetToolTip(IShellItemArray* items, LPWSTR* infoTip) override;
    STDMETHODIMP GetCanonicalName(GUID* name) override;
    STDMETHODIMP GetState(IShellItemArray* items, BOOL okToBeSlow, EXPCMDSTATE* state) override;
    STDMETHODIMP Invoke(IShellItemArray* items, IBindCtx* bindContext) override;
    STDMETHODIMP GetFlags(EXPCMDFLAGS* flags) override;
    STDMETHODIMP EnumSubCommands(IEnumExplorerCommand** subCommands) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppv) override;

private:
    ~CExplorerCommand();

    volatile LONG m_cRef = 0;
    bool m_bResourcesTried = false;
    UTIL::CUniqueModule m_hResourceLib;  // loaded by the first tooltip
    Microsoft::WRL::ComPtr<IUnknown> m_pSite;
};

// The items' file-system paths in order; an item without one gives an empty
// path, which the hand-over leaves out.
std::vector<std::wstring> ItemArrayPaths(IShellItemArray* items);

// The working directory the shell gives the classic item for a selection: the
// folder that holds `path`; none for a root.
std::wstring SelectionFolder(const std::wstring& path);

}  // namespace KsxShell
