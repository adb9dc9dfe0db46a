// Module-wide state of the shell extension: instance handle, live-object count.
#pragma once

#include <windows.h>

namespace KsxShell {

// {5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}
extern const CLSID CLSID_KsxShellExt;
extern const char kClsidString[];  // registry form, with braces
extern const char kHandlerName[];  // "Bastion NT"

// The file menu's explorer command, declared by the sparse package's manifest.
// {C9F2DAF1-5A1C-405B-88C3-391E36995409}
extern const CLSID CLSID_KsxExplorerCommand;
// Its icon in the module's resources (KSXSHELL.rc).
constexpr int kScanIconId = 101;

HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Live class factories plus live context-menu and explorer-command objects.
void ModuleObjectAdded();
void ModuleObjectRemoved();
LONG ModuleObjectCount();

}  // namespace KsxShell

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
HRESULT WINAPI DllCanUnloadNow();
HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
HRESULT WINAPI DllRegisterServer();
HRESULT WINAPI DllUnregisterServer();
}
