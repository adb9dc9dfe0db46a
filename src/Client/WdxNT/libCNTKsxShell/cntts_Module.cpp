#include "cntts_Module.h"

#include <wrl/client.h>

#include <new>

#include "cntts_ClassFactory.h"
#include "cntts_ShellExtReg.h"
#include "ut_Guarded.h"

namespace KsxShell {

const CLSID CLSID_KsxShellExt = {0x5C1E9A42, 0x7D3B, 0x4F0A, {0x9E, 0x21, 0x6B, 0x8D, 0x0C, 0x4A, 0x7F, 0x13}};
const char kClsidString[] = "{5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}";
const char kHandlerName[] = "Bastion NT";
// packaging/ reads the manifest's class id from this line.
const CLSID CLSID_KsxExplorerCommand = {0xC9F2DAF1, 0x5A1C, 0x405B, {0x88, 0xC3, 0x39, 0x1E, 0x36, 0x99, 0x54, 0x09}};

namespace {
HINSTANCE g_hInstance = nullptr;
// Objects live on several apartment threads; DllCanUnloadNow may ask from another.
volatile LONG g_cObjects = 0;
}  // namespace

HINSTANCE ModuleInstance() { return g_hInstance; }
void SetModuleInstance(HINSTANCE instance) { g_hInstance = instance; }

void ModuleObjectAdded() { ::InterlockedIncrement(&g_cObjects); }
void ModuleObjectRemoved() { ::InterlockedDecrement(&g_cObjects); }
LONG ModuleObjectCount() { return ::InterlockedCompareExchange(&g_cObjects, 0, 0); }

}  // namespace KsxShell

using namespace KsxShell;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ::OutputDebugStringA("In DLLMain, DLL_PROCESS_ATTACH\r\n");
        SetModuleInstance(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        ::OutputDebugStringA("In DLLMain, DLL_PROCESS_DETACH\r\n");
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    ::OutputDebugStringA("In DLLCanUnloadNow\r\n");
    return CLNUTIL::GuardedHr("DllCanUnloadNow", [] { return ModuleObjectCount() == 0 ? S_OK : S_FALSE; });
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    ::OutputDebugStringA("In DllGetClassObject\r\n");
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const bool command = ::IsEqualCLSID(rclsid, CLSID_KsxExplorerCommand);
    if (!command && !::IsEqualCLSID(rclsid, CLSID_KsxShellExt))
        return CLASS_E_CLASSNOTAVAILABLE;

    return CLNUTIL::GuardedHr("DllGetClassObject", [&]() -> HRESULT {
        // The factory starts at count 0: a failed QueryInterface must still free it.
        const Microsoft::WRL::ComPtr<CShellExtClassFactory> factory(new (std::nothrow) CShellExtClassFactory(
            command ? CShellExtClassFactory::kExplorerCommand : CShellExtClassFactory::kContextMenu));
        if (!factory)
            return E_OUTOFMEMORY;
        return factory->QueryInterface(riid, ppv);
    });
}

extern "C" HRESULT WINAPI DllRegisterServer()
{
    return CLNUTIL::GuardedHr("DllRegisterServer",
                              [] { return RegisterShellExtension(kClsidString, kHandlerName) ? S_OK : S_FALSE; });
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    return CLNUTIL::GuardedHr("DllUnregisterServer",
                              [] { return UnregisterShellExtension(kClsidString, kHandlerName) ? S_OK : S_FALSE; });
}
