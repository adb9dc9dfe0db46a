// The context-menu object: one scan item after a separator.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

#include "ut_Handle.h"

namespace KsxShell {

class CShellExt final : public IContextMenu, public IShellExtInit {
public:
    CShellExt();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IContextMenu
    STDMETHODIMP QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast, UINT flags) override;
    STDMETHODIMP InvokeCommand(CMINVOKECOMMANDINFO* info) override;
    STDMETHODIMP GetCommandString(UINT_PTR idCmd, UINT type, UINT* reserved, CHAR* name, UINT cchMax) override;

    // IShellExtInit
    STDMETHODIMP Initialize(PCIDLIST_ABSOLUTE folder, IDataObject* dataObject, HKEY progIdKey) override;

    static constexpr UINT kHelpTextId = 139;
    static constexpr int kInstallFolderSize = 2600;

private:
    ~CShellExt();

    // Hands the selection to the agent (tray monitor or launcher).
    HRESULT DoGAKMenu1(HWND hwnd, LPCSTR directory, LPCSTR verb, LPCSTR parameters, int showCommand);

    HMODULE m_hResourceLib = nullptr;
    volatile LONG m_cRef = 0;
    IDataObject* m_pDataObject = nullptr;
    char m_szInstallFolder[kInstallFolderSize] = {};
    // The item's picture; must outlive the menu, freed with the object.
    UTIL::CUniqueBitmap m_hbmpItem;
};

// Joins `folder` and `name` with exactly one "\" at the seam; an empty
// folder gives an empty result.
std::string AppendPathComponent(const std::string& folder, const std::string& name);

// Reads the agent's "Application Path" in the 32-bit view; empty when the key or
// value is missing, is not a string, or does not fit in `cbMax` bytes.
std::string ReadAgentInstallFolder(DWORD cbMax);

}  // namespace KsxShell
