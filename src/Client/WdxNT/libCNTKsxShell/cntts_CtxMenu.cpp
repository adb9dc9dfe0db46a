#include "cntts_CtxMenu.h"

#include "cntts_Module.h"
#include "cntts_ScanItem.h"
#include "libCvMultiLang.h"
#include "libCvProfileDocument.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"
#include "ut_Guarded.h"

namespace KsxShell {

namespace {

const char kResourceLibName[] = "WDXNTRES.DLL";
const wchar_t kMenuTextTable[] = L"STRING_TABLE";
const wchar_t kMenuTextId[] = L"WDXNTMON_UI_MENU_SHELL_SCAN";
const wchar_t kItemBitmap[] = L"www\\1600\\res\\corvane_logo.bmp";
const char kHelpTextFallback[] = "Halyard NT";
constexpr DWORD kInstallFolderReadMax = 260;

}  // namespace

bool EndsWithPathSeparator(const std::string& s, UINT codePage)
{
    const char* p = s.c_str();
    const char* last = nullptr;
    while (*p) {
        last = p;
        p = ::CharNextExA(static_cast<WORD>(codePage), p, 0);
        if (p == last)
            break;
    }
    return last && (p - last) == 1 && *last == '\\';
}

std::string AppendPathComponent(const std::string& folder, const std::string& name)
{
    if (folder.empty())
        return {};
    if (name.empty())
        return folder;
    const bool folderHas = EndsWithPathSeparator(folder);
    const bool nameHas = name.front() == '\\';
    if (folderHas && nameHas)
        return folder + name.substr(1);
    if (!folderHas && !nameHas)
        return folder + "\\" + name;
    return folder + name;
}

// The signed resource library of the system's language; null leaves the help
// text at its fallback.
HMODULE LoadScanResources(const std::string& installFolder)
{
    return LoadLibrary_MultiLang(AppendPathComponent(installFolder, kResourceLibName).c_str(), 1);
}

std::wstring ScanItemText()
{
    CProfileDocument::GetInstance()->SyncLang(0);
    std::wstring text;
    CProfileDocument::GetInstance()->GetL10nString(kMenuTextTable, kMenuTextId, text);
    return text;
}

void ScanHelpText(HMODULE resourceLib, char (&text)[kHelpTextChars])
{
    if (!resourceLib || ::LoadStringA(resourceLib, CShellExt::kHelpTextId, text, kHelpTextChars) <= 0)
        ::lstrcpynA(text, kHelpTextFallback, kHelpTextChars);
}

std::string ReadAgentInstallFolder(DWORD cbMax)
{
    std::string folder;
    UTIL::CUniqueHKey key;
    if (UTIL::OpenAgentKey("", key) == ERROR_SUCCESS)
        UTIL::ReadRegString(key.get(), "Application Path", cbMax, folder, UTIL::kRegStringAnyText);
    return folder;
}

// Whatever throws here is freed by the members' own destructors; the module
// count is raised last, so a failed construction leaves it alone.
CShellExt::CShellExt()
{
    ::OutputDebugStringA("CShellExt::CShellExt()\r\n");
    const std::string folder = ReadAgentInstallFolder(kInstallFolderReadMax);
    ::lstrcpynA(m_szInstallFolder, folder.c_str(), kInstallFolderSize);

    m_hResourceLib.reset(LoadScanResources(m_szInstallFolder));
    ModuleObjectAdded();
}

CShellExt::~CShellExt()
{
    m_pDataObject.Reset();
    ModuleObjectRemoved();
}

STDMETHODIMP CShellExt::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IShellExtInit) || ::IsEqualIID(riid, IID_IUnknown)) {
        ::OutputDebugStringA("CShellExt::QueryInterface()==>IID_IShellExtInit\r\n");
        *ppv = static_cast<IShellExtInit*>(this);
    } else if (::IsEqualIID(riid, IID_IContextMenu)) {
        ::OutputDebugStringA("CShellExt::QueryInterface()==>IID_IContextMenu\r\n");
        *ppv = static_cast<IContextMenu*>(this);
    } else {
        ::OutputDebugStringA("CShellExt::QueryInterface()==>Unknown Interface!\r\n");
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CShellExt::AddRef()
{
    ::OutputDebugStringA("CShellExt::AddRef()\r\n");
    return ::InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) CShellExt::Release()
{
    ::OutputDebugStringA("CShellExt::Release()\r\n");
    const LONG count = ::InterlockedDecrement(&m_cRef);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CShellExt::Initialize(PCIDLIST_ABSOLUTE, IDataObject* dataObject, HKEY)
{
    ::OutputDebugStringA("CShellExt::Initialize()\r\n");
    return CLNUTIL::GuardedHr("CShellExt::Initialize", [&] {
        m_pDataObject = dataObject;  // takes the new reference before dropping the old
        return S_OK;
    });
}

STDMETHODIMP CShellExt::QueryContextMenu(HMENU menu, UINT indexMenu, UINT idCmdFirst, UINT, UINT flags)
{
    ::OutputDebugStringA("CShellExt::QueryContextMenu()\r\n");
    return CLNUTIL::GuardedHr("CShellExt::QueryContextMenu", [&]() -> HRESULT {
        const std::wstring text = ScanItemText();
        std::wstring folder;
        CProfileDocument::GetInstance()->GetAppPath(folder);
        const std::string textA = MBWC::WCToMB(text.c_str(), nullptr, CP_ACP, 0);
        const std::string bitmapA = MBWC::WCToMB((folder + kItemBitmap).c_str(), nullptr, CP_ACP, 0);

        bool add = false;
        if ((flags & 0x0F) == CMF_NORMAL) {
            ::OutputDebugStringA("CMF_NORMAL...\r\n");
            add = true;
        } else if (flags & CMF_VERBSONLY) {
            ::OutputDebugStringA("CMF_VERBSONLY...\r\n");
            add = true;
        } else if (flags & CMF_EXPLORE) {
            ::OutputDebugStringA("CMF_EXPLORE...\r\n");
            add = true;
        } else if (flags & CMF_DEFAULTONLY) {
            ::OutputDebugStringA("CMF_DEFAULTONLY...\r\n");
        } else {
            ::OutputDebugStringA("CMF_default...\r\n");
            char trace[40];
            ::wsprintfA(trace, "uFlags==>%d\r\n", flags);
            ::OutputDebugStringA(trace);
        }
        if (!add)
            return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 0);

        const bool separated = ::InsertMenuA(menu, indexMenu, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr) != FALSE;
        // Should the busy check fail, the menu is left as it was found.
        UTIL::CScopeExit unseparate([&] {
            if (separated)
                ::DeleteMenu(menu, indexMenu, MF_BYPOSITION);
        });
        const UINT itemFlags = MF_BYPOSITION | (IsScanBusy() ? MF_GRAYED : 0);
        ::InsertMenuA(menu, indexMenu + 1, itemFlags, idCmdFirst, textA.c_str());
        unseparate.dismiss();

        if (!m_hbmpItem)
            m_hbmpItem.reset(static_cast<HBITMAP>(::LoadImageA(nullptr, bitmapA.c_str(), IMAGE_BITMAP,
                                                               ::GetSystemMetrics(SM_CXMENUCHECK),
                                                               ::GetSystemMetrics(SM_CYMENUCHECK), LR_LOADFROMFILE)));
        if (m_hbmpItem)
            ::SetMenuItemBitmaps(menu, indexMenu + 1, itemFlags, m_hbmpItem.get(), nullptr);
        return MAKE_HRESULT(SEVERITY_SUCCESS, 0, 1);
    });
}

STDMETHODIMP CShellExt::InvokeCommand(CMINVOKECOMMANDINFO* info)
{
    ::OutputDebugStringA("CShellExt::InvokeCommand()\r\n");
    if (!info)
        return E_INVALIDARG;
    if (HIWORD(reinterpret_cast<ULONG_PTR>(info->lpVerb)) != 0 ||
        (reinterpret_cast<ULONG_PTR>(info->lpVerb) >> 32) != 0)
        return E_INVALIDARG;
    if (LOWORD(reinterpret_cast<ULONG_PTR>(info->lpVerb)) != 0)
        return E_INVALIDARG;
    return CLNUTIL::GuardedHr("CShellExt::InvokeCommand", [&] {
        return DoGAKMenu1(info->hwnd, info->lpDirectory, info->lpVerb, info->lpParameters, info->nShow);
    });
}

STDMETHODIMP CShellExt::GetCommandString(UINT_PTR idCmd, UINT type, UINT*, CHAR* name, UINT cchMax)
{
    return CLNUTIL::GuardedHr("CShellExt::GetCommandString", [&]() -> HRESULT {
        switch (type) {
        case GCS_VERBA:
        case GCS_VERBW:
            return idCmd == 0 ? S_OK : E_INVALIDARG;
        case GCS_HELPTEXTA: {
            char text[kHelpTextChars] = {};
            ScanHelpText(m_hResourceLib.get(), text);
            if (name && cchMax > 0)
                ::lstrcpynA(name, text, static_cast<int>(cchMax));
            return S_OK;
        }
        case GCS_VALIDATEA:
            return S_OK;
        default:
            return E_INVALIDARG;
        }
    });
}

}  // namespace KsxShell
