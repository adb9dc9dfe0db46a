#include "shellhost.h"

#include <shlobj.h>

#include <wrl/client.h>

#include <memory>
#include <new>

namespace ShellHost {

namespace {

HGLOBAL MakeDropFiles(const std::vector<std::wstring>& paths)
{
    size_t chars = 1;  // the list's closing NUL
    for (const auto& p : paths)
        chars += p.size() + 1;
    const SIZE_T bytes = sizeof(DROPFILES) + chars * sizeof(wchar_t);
    HGLOBAL mem = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (!mem)
        return nullptr;
    auto* drop = static_cast<DROPFILES*>(::GlobalLock(mem));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* out = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(drop) + sizeof(DROPFILES));
    for (const auto& p : paths) {
        memcpy(out, p.c_str(), p.size() * sizeof(wchar_t));
        out += p.size() + 1;
    }
    ::GlobalUnlock(mem);
    return mem;
}

bool IsHDrop(const FORMATETC* fmt)
{
    return fmt && fmt->cfFormat == CF_HDROP && (fmt->tymed & TYMED_HGLOBAL) && fmt->dwAspect == DVASPECT_CONTENT;
}

// IUnknown of an object with one interface, deleted at its last release.
template <typename I>
class CUnknownOf : public I {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!::IsEqualIID(riid, IID_IUnknown) && !::IsEqualIID(riid, __uuidof(I)))
            return E_NOINTERFACE;
        *ppv = static_cast<I*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG n = ::InterlockedDecrement(&m_cRef);
        if (n == 0)
            delete this;
        return n;
    }

protected:
    virtual ~CUnknownOf() = default;

private:
    volatile LONG m_cRef = 1;
};

class CHDropDataObject final : public CUnknownOf<IDataObject> {
public:
    explicit CHDropDataObject(std::vector<std::wstring> paths) : m_paths(std::move(paths)) {}

    STDMETHODIMP GetData(FORMATETC* fmt, STGMEDIUM* medium) override
    {
        if (!medium)
            return E_POINTER;
        if (!IsHDrop(fmt))
            return DV_E_FORMATETC;
        HGLOBAL mem = MakeDropFiles(m_paths);
        if (!mem)
            return E_OUTOFMEMORY;
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = mem;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryGetData(FORMATETC* fmt) override { return IsHDrop(fmt) ? S_OK : DV_E_FORMATETC; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override
    {
        if (out)
            out->ptd = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC** out) override
    {
        if (out)
            *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    std::vector<std::wstring> m_paths;
};

// The smallest shell item: a name for the display forms that carry a path.
class CPathItem final : public CUnknownOf<IShellItem> {
public:
    explicit CPathItem(std::wstring path) : m_path(std::move(path)) {}

    STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetParent(IShellItem** parent) override
    {
        if (parent)
            *parent = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetDisplayName(SIGDN form, LPWSTR* name) override
    {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        if (form != SIGDN_FILESYSPATH && form != SIGDN_DESKTOPABSOLUTEPARSING)
            return E_INVALIDARG;
        const size_t bytes = (m_path.size() + 1) * sizeof(wchar_t);
        *name = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
        if (!*name)
            return E_OUTOFMEMORY;
        memcpy(*name, m_path.c_str(), bytes);
        return S_OK;
    }
    STDMETHODIMP GetAttributes(SFGAOF, SFGAOF* attributes) override
    {
        if (attributes)
            *attributes = SFGAO_FILESYSTEM;
        return S_OK;
    }
    STDMETHODIMP Compare(IShellItem*, SICHINTF, int*) override { return E_NOTIMPL; }

private:
    std::wstring m_path;
};

class CPathItemArray final : public CUnknownOf<IShellItemArray> {
public:
    explicit CPathItemArray(std::vector<std::wstring> paths) : m_paths(std::move(paths)) {}

    STDMETHODIMP BindToHandler(IBindCtx*, REFGUID, REFIID, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void** ppv) override
    {
        if (ppv)
            *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = static_cast<DWORD>(m_paths.size());
        return S_OK;
    }
    STDMETHODIMP GetItemAt(DWORD index, IShellItem** item) override
    {
        if (!item)
            return E_POINTER;
        *item = nullptr;
        if (index >= m_paths.size())
            return E_INVALIDARG;
        *item = new (std::nothrow) CPathItem(m_paths[index]);
        return *item ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP EnumItems(IEnumShellItems** items) override
    {
        if (items)
            *items = nullptr;
        return E_NOTIMPL;
    }

private:
    std::vector<std::wstring> m_paths;
};

}  // namespace

HRESULT CreateShellItemArray(const std::vector<std::wstring>& paths, IShellItemArray** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    std::vector<std::unique_ptr<ITEMIDLIST, decltype(&::CoTaskMemFree)>> owned;
    std::vector<PCIDLIST_ABSOLUTE> lists;
    for (const auto& path : paths) {
        PIDLIST_ABSOLUTE list = nullptr;
        const HRESULT hr = ::SHParseDisplayName(path.c_str(), nullptr, &list, 0, nullptr);
        if (FAILED(hr))
            return hr;
        owned.emplace_back(list, ::CoTaskMemFree);
        lists.push_back(list);
    }
    return ::SHCreateShellItemArrayFromIDLists(static_cast<UINT>(lists.size()), lists.data(), out);
}

HRESULT CreatePathItemArray(const std::vector<std::wstring>& paths, IShellItemArray** out)
{
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) CPathItemArray(paths);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateHDropDataObject(const std::vector<std::wstring>& paths, IDataObject** out)
{
    if (!out)
        return E_POINTER;
    *out = new (std::nothrow) CHDropDataObject(paths);
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::vector<MenuItem> DescribeMenu(HMENU menu)
{
    std::vector<MenuItem> items;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        MENUITEMINFOA mii = {};
        mii.cbSize = sizeof(mii);
        mii.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_CHECKMARKS | MIIM_STRING;
        char text[512] = {};
        mii.dwTypeData = text;
        mii.cch = sizeof(text);
        if (!::GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &mii))
            continue;
        MenuItem item;
        item.position = static_cast<UINT>(i);
        item.id = mii.wID;
        item.separator = (mii.fType & MFT_SEPARATOR) != 0;
        item.grayed = !item.separator && (mii.fState & MFS_GRAYED) != 0;
        item.hasBitmap = mii.hbmpUnchecked != nullptr;
        if (!item.separator)
            item.text = text;
        items.push_back(item);
    }
    return items;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int cb =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(cb, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], cb, nullptr, nullptr);
    return out;
}

std::string AnsiToUtf8(const std::string& text)
{
    if (text.empty())
        return {};
    int cch = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(cch, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], cch);
    return ToUtf8(wide);
}

}  // namespace ShellHost
