// Class factory of the context-menu object or of the explorer command; a fresh
// one per DllGetClassObject.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace KsxShell {

class CShellExtClassFactory final : public IClassFactory {
public:
    enum Product { kContextMenu, kExplorerCommand };
    explicit CShellExtClassFactory(Product product = kContextMenu);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~CShellExtClassFactory();

    volatile LONG m_cRef = 0;
    const Product m_product;
};

}  // namespace KsxShell
