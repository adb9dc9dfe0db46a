#include "cntts_ClassFactory.h"

#include <new>

#include "cntts_CtxMenu.h"
#include "cntts_ExplorerCommand.h"
#include "cntts_Module.h"
#include "ut_Guarded.h"

namespace KsxShell {

namespace {

template <typename T>
HRESULT QueryNew(T* object, REFIID riid, void** ppv)
{
    if (!object)
        return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    // Still at count 0 when refused: one reference of our own frees it. A
    // granted one is the caller's, with no reference of ours around it.
    if (FAILED(hr)) {
        object->AddRef();
        object->Release();
    }
    return hr;
}

}  // namespace

CShellExtClassFactory::CShellExtClassFactory(Product product) : m_product(product)
{
    ::OutputDebugStringA("CShellExtClassFactory::CShellExtClassFactory()\r\n");
    ModuleObjectAdded();
}

CShellExtClassFactory::~CShellExtClassFactory() { ModuleObjectRemoved(); }

STDMETHODIMP CShellExtClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    ::OutputDebugStringA("CShellExtClassFactory::QueryInterface()\r\n");
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CShellExtClassFactory::AddRef() { return ::InterlockedIncrement(&m_cRef); }

STDMETHODIMP_(ULONG) CShellExtClassFactory::Release()
{
    const LONG count = ::InterlockedDecrement(&m_cRef);
    if (count == 0)
        delete this;
    return count;
}

STDMETHODIMP CShellExtClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    ::OutputDebugStringA("CShellExtClassFactory::CreateInstance()\r\n");
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;

    return CLNUTIL::GuardedHr("CShellExtClassFactory::CreateInstance", [&]() -> HRESULT {
        // A constructor that throws frees its memory and members on the way out.
        if (m_product == kExplorerCommand)
            return QueryNew(new (std::nothrow) CExplorerCommand(), riid, ppv);
        return QueryNew(new (std::nothrow) CShellExt(), riid, ppv);
    });
}

STDMETHODIMP CShellExtClassFactory::LockServer(BOOL)
{
    return CLNUTIL::GuardedHr("CShellExtClassFactory::LockServer", [] { return S_OK; });
}

}  // namespace KsxShell
