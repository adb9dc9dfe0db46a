#include "cntts_ExplorerCommand.h"

#include <new>

#include "cntts_CtxMenu.h"
#include "cntts_Module.h"
#include "cntts_ScanDispatch.h"
#include "cntts_ScanItem.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_Guarded.h"

namespace KsxShell {

namespace {

// {CC5A84C7-5C53-45F9-8AEE-95E5EA28CDD5}
const GUID kCanonicalName = {0xCC5A84C7, 0x5C53, 0x45F9, {0x8A, 0xEE, 0x95, 0xE5, 0xEA, 0x28, 0xCD, 0xD5}};
constexpr DWORD kInstallFolderReadMax = 260;

// A copy the caller frees with CoTaskMemFree.
HRESULT TaskMemString(const std::wstring& text, LPWSTR* out)
{
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
    if (!copy)
        return E_OUTOFMEMORY;
    memcpy(copy, text.c_str(), bytes);
    *out = copy;
    return S_OK;
}

std::wstring ItemPath(IShellItemArray* items, DWORD index)
{
    Microsoft::WRL::ComPtr<IShellItem> item;
    LPWSTR name = nullptr;
    if (FAILED(items->GetItemAt(index, &item)) || !item || FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)))
        return {};
    const std::unique_ptr<wchar_t, decltype(&::CoTaskMemFree)> owned(name, ::CoTaskMemFree);
    return name ? name : L"";
}

}  // namespace

std::vector<std::wstring> ItemArrayPaths(IShellItemArray* items)
{
    std::vector<std::wstring> paths;
    DWORD count = 0;
    if (!items || FAILED(items->GetCount(&count)))
        return paths;
    for (DWORD i = 0; i < count; ++i)
        paths.push_back(ItemPath(items, i));
    return paths;
}

std::wstring SelectionFolder(const std::wstring& path)
{
    const size_t seam = path.find_last_of(L'\\');
    if (seam == std::wstring::npos || seam + 1 == path.size())
        return {};  // no folder part, or a root such as "C:\"
    std::wstring folder = path.substr(0, seam);
    if (folder.back() == L':')
        return folder + L'\\';
    if (folder.compare(0, 2, L"\\\\") == 0 && folder.find(L'\\', 2) == std::wstring::npos)
        return {};  // a server or "\\?" alone
    return folder;
}

CExplorerCommand::CExplorerCommand()
{
    ::OutputDebugStringA("CExplorerCommand::CExplorerCommand()\r\n");
    ModuleObjectAdded();
}

CExplorerCommand::~CExplorerCommand()
{
    m_pSite.Reset();
    ModuleObjectRemoved();
}

STDMETHODIMP CExplorerCommand::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IExplorerCommand))
        *ppv = static_cast<IExplorerCommand*>(this);
    else if (::IsEqualIID(riid, IID_IObjectWithSite))
        *ppv = static_cast<IObjectWithSite*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CExplorerCommand::AddRef() { return ::InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CExplorerCommand::Release()
{
    const LONG count = ::InterlockedDecrement(&m_cRef);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CExplorerCommand::GetTitle(IShellItemArray*, LPWSTR* name)
{
    ::OutputDebugStringA("CExplorerCommand::GetTitle()\r\n");
    if (!name)
        return E_POINTER;
    *name = nullptr;
    return CLNUTIL::GuardedHr("CExplorerCommand::GetTitle", [&] { return TaskMemString(ScanItemText(), name); });
}

// The module's own icon: the file cannot be missing while the verb is shown.
STDMETHODIMP CExplorerCommand::GetIcon(IShellItemArray*, LPWSTR* icon)
{
    if (!icon)
        return E_POINTER;
    *icon = nullptr;
    return CLNUTIL::GuardedHr("CExplorerCommand::GetIcon", [&]() -> HRESULT {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD got = ::GetModuleFileNameW(ModuleInstance(), &path[0], static_cast<DWORD>(path.size()));
            if (got == 0)
                return HRESULT_FROM_WIN32(::GetLastError());
            if (got < path.size()) {
                path.resize(got);
                break;
            }
            path.resize(path.size() * 2);
        }
        return TaskMemString(path + L",-" + std::to_wstring(kScanIconId), icon);
    });
}

STDMETHODIMP CExplorerCommand::GetToolTip(IShellItemArray*, LPWSTR* infoTip)
{
    ::OutputDebugStringA("CExplorerCommand::GetToolTip()\r\n");
    if (!infoTip)
        return E_POINTER;
    *infoTip = nullptr;
    return CLNUTIL::GuardedHr("CExplorerCommand::GetToolTip", [&] {
        if (!m_bResourcesTried) {
            m_bResourcesTried = true;
            m_hResourceLib.reset(LoadScanResources(ReadAgentInstallFolder(kInstallFolderReadMax)));
        }
        char text[kHelpTextChars] = {};
        ScanHelpText(m_hResourceLib.get(), text);
        return TaskMemString(MBWC::MBToWC(text, static_cast<DWORD*>(nullptr), CP_ACP, 0), infoTip);
    });
}

STDMETHODIMP CExplorerCommand::GetCanonicalName(GUID* name)
{
    if (!name)
        return E_POINTER;
    *name = kCanonicalName;
    return S_OK;
}

// Without leave to be slow only the registry flags are read; when they leave
// the answer open, the service query would have to wait on the service
// control manager, so the shell is asked to come back.
STDMETHODIMP CExplorerCommand::GetState(IShellItemArray*, BOOL okToBeSlow, EXPCMDSTATE* state)
{
    ::OutputDebugStringA("CExplorerCommand::GetState()\r\n");
    if (!state)
        return E_POINTER;
    return CLNUTIL::GuardedHr("CExplorerCommand::GetState", [&] {
        switch (CheckScanAvailability(okToBeSlow != FALSE)) {
        case ScanAvailability::Free:
            *state = ECS_ENABLED;
            return S_OK;
        case ScanAvailability::Busy:
            *state = ECS_DISABLED;
            return S_OK;
        default:
            return E_PENDING;
        }
    });
}

STDMETHODIMP CExplorerCommand::Invoke(IShellItemArray* items, IBindCtx*)
{
    ::OutputDebugStringA("CExplorerCommand::Invoke()\r\n");
    if (!items)
        return S_OK;  // no selection, as the classic item without a data object
    return CLNUTIL::GuardedHr("CExplorerCommand::Invoke", [&] {
        DWORD count = 0;
        std::string directory;
        if (SUCCEEDED(items->GetCount(&count)) && count > 0) {
            const std::wstring folder = SelectionFolder(ItemPath(items, 0));
            const char* reason = "";
            if (!folder.empty() && !MonitorPathFromWide(folder, directory, &reason))
                LOGA(LOG_LEVEL_W, "%s - no working directory: %s", "CExplorerCommand::Invoke", reason);
        }
        return HandOverScanRequest(directory.empty() ? nullptr : directory.c_str(),
                                   [items] { return ItemArrayPaths(items); });
    });
}

STDMETHODIMP CExplorerCommand::GetFlags(EXPCMDFLAGS* flags)
{
    if (!flags)
        return E_POINTER;
    *flags = ECF_DEFAULT;
    return S_OK;
}

STDMETHODIMP CExplorerCommand::EnumSubCommands(IEnumExplorerCommand** subCommands)
{
    if (subCommands)
        *subCommands = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CExplorerCommand::SetSite(IUnknown* site)
{
    m_pSite = site;
    return S_OK;
}

STDMETHODIMP CExplorerCommand::GetSite(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    return m_pSite ? m_pSite->QueryInterface(riid, ppv) : E_FAIL;
}

}  // namespace KsxShell
