// Class factory of the context-menu object; a fresh one per DllGetClassObject.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace KsxShell {

class CShellExtClassFactory final : public IClassFactory {
public:
    CShellExtClassFactory();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ~CShellExtClassFactory();

    volatile LONG m_cRef = 0;
};

}  // namespace KsxShell
