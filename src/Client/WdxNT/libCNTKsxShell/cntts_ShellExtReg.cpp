#include "cntts_ShellExtReg.h"

#include <string>

#include "cntts_Module.h"
#include "ut_Handle.h"

namespace KsxShell {

namespace {

const char kApprovedKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
const char* const kHandlerParents[] = {
    "*\\shellex\\ContextMenuHandlers",
    "directory\\shellex\\ContextMenuHandlers",
    "drive\\shellex\\ContextMenuHandlers",
};

bool CreateKey(HKEY root, const std::string& path, UTIL::CUniqueHKey& key)
{
    return ::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                             nullptr) == ERROR_SUCCESS;
}

// Value writes are not checked: only keys decide the outcome.
void SetString(HKEY key, const char* name, const char* data)
{
    ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                     static_cast<DWORD>(::lstrlenA(data) + 1));
}

}  // namespace

int RegisterShellExtension(const char* clsidString, const char* handlerName)
{
    char modulePath[MAX_PATH + 1] = {};
    ::GetModuleFileNameA(ModuleInstance(), modulePath, MAX_PATH);

    UTIL::CUniqueHKey key;
    if (!CreateKey(HKEY_CLASSES_ROOT, std::string("CLSID\\") + clsidString + "\\InProcServer32", key))
        return 0;
    SetString(key.get(), nullptr, modulePath);
    SetString(key.get(), "ThreadingModel", "Apartment");
    key.reset();

    for (const char* parent : kHandlerParents) {
        if (!CreateKey(HKEY_CLASSES_ROOT, std::string(parent) + "\\" + handlerName, key))
            return 0;
        SetString(key.get(), nullptr, clsidString);
        key.reset();
    }

    // Opened, never created: without it the shell does not look for approvals.
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApprovedKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
        return 0;
    SetString(key.get(), clsidString, handlerName);
    return 1;
}

int UnregisterShellExtension(const char* clsidString, const char* handlerName)
{
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return 0;
    DeleteRegistryTree(key.get(), clsidString);
    key.reset();

    for (const char* parent : kHandlerParents) {
        if (::RegOpenKeyExA(HKEY_CLASSES_ROOT, parent, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS)
            return 0;
        DeleteRegistryTree(key.get(), handlerName);
        key.reset();
    }

    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApprovedKey, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS)
        return 0;
    ::RegDeleteValueA(key.get(), clsidString);
    return 1;
}

void DeleteRegistryTree(HKEY parent, const char* subKey)
{
    if (!subKey || !*subKey)
        return;
    {
        UTIL::CUniqueHKey key;
        if (::RegOpenKeyExA(parent, subKey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            return;
        char child[MAX_PATH] = {};
        while (::RegEnumKeyA(key.get(), 0, child, MAX_PATH) == ERROR_SUCCESS) {
            // A child that survives its own deletion would be enumerated forever.
            DeleteRegistryTree(key.get(), child);
            char again[MAX_PATH] = {};
            if (::RegEnumKeyA(key.get(), 0, again, MAX_PATH) == ERROR_SUCCESS && lstrcmpiA(again, child) == 0)
                break;
        }
    }
    ::RegDeleteKeyA(parent, subKey);
}

}  // namespace KsxShell
