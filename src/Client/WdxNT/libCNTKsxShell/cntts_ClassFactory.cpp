#include "cntts_ClassFactory.h"

#include <wrl/client.h>

#include <new>

#include "cntts_CtxMenu.h"
#include "cntts_ExplorerCommand.h"
#include "cntts_Module.h"
#include "ut_Guarded.h"

namespace KsxShell {

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
        // Held across QueryInterface so that an unknown interface frees the object.
        if (m_product == kExplorerCommand) {
            const Microsoft::WRL::ComPtr<CExplorerCommand> command(new (std::nothrow) CExplorerCommand());
            return command ? command->QueryInterface(riid, ppv) : E_OUTOFMEMORY;
        }
        const Microsoft::WRL::ComPtr<CShellExt> object(new (std::nothrow) CShellExt());
        if (!object)
            return E_OUTOFMEMORY;
        return object->QueryInterface(riid, ppv);
    });
}

STDMETHODIMP CShellExtClassFactory::LockServer(BOOL)
{
    return CLNUTIL::GuardedHr("CShellExtClassFactory::LockServer", [] { return S_OK; });
}

}  // namespace KsxShell
