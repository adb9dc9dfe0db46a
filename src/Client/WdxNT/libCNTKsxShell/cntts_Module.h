// Module-wide state of the shell extension: instance handle, live-object count.
#pragma once

#include <windows.h>

namespace KsxShell {

// {5C1E9A42-7D3B-4F0A-9E21-6B8D0C4A7F13}
extern const CLSID CLSID_KsxShellExt;
extern const char kClsidString[];  // registry form, with braces
extern const char kHandlerName[];  // "Bastion NT"

HINSTANCE ModuleInstance();
void SetModuleInstance(HINSTANCE instance);

// Live class factories plus live context-menu objects.
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
