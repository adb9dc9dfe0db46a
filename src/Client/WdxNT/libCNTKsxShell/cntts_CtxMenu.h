// The context-menu object: one scan item after a separator.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

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

    // True while the agent cannot take a scan request: a scan, an update, a
    // manual-scan instance, a remote or scheduled scan runs, or the real-time
    // scan service is not running.
    bool IsScanBusy() const;

    static constexpr UINT kHelpTextId = 139;
    static constexpr int kInstallFolderSize = 2600;

private:
    ~CShellExt();

    // Hands the selection to the agent: the tray monitor, or under user access
    // restriction the launcher.
    HRESULT DoGAKMenu1(HWND hwnd, LPCSTR directory, LPCSTR verb, LPCSTR parameters, int showCommand);

    UTIL::CUniqueModule m_hResourceLib;
    volatile LONG m_cRef = 0;
    Microsoft::WRL::ComPtr<IDataObject> m_pDataObject;
    char m_szInstallFolder[kInstallFolderSize] = {};
    // The item's picture, loaded by the first menu and shared by every later
    // one: it must outlive them all, so it goes with the object.
    UTIL::CUniqueBitmap m_hbmpItem;
};

// True when the last character is a "\" on its own, not the trail byte of a
// double-byte character.
bool EndsWithPathSeparator(const std::string& s, UINT codePage = CP_ACP);

// Joins `folder` and `name` with exactly one "\" at the seam; an empty
// folder gives an empty result.
std::string AppendPathComponent(const std::string& folder, const std::string& name);

// A key below the agent's root, read-only in the 32-bit view; empty when it
// does not open.
UTIL::CUniqueHKey OpenAgentSubKey(const char* name);

// A 32-bit agent value read as the agent writes it (type not checked); 0 when
// the key is empty or the value missing.
DWORD ReadAgentFlag(const UTIL::CUniqueHKey& key, const char* name);

// Reads the agent's "Application Path" in the 32-bit view; empty when the key or
// value is missing, is not a string, or does not fit in `cbMax` bytes.
std::string ReadAgentInstallFolder(DWORD cbMax);

}  // namespace KsxShell
