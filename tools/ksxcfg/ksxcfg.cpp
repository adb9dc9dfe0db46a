// ksxcfg: refreshes the integration switches from an INI file through the
// configuration manager, as the agent's setup does, and prints the result
// and every switch the registry now holds at other than its default.
//
//   ksxcfg INI [--no-callbacks]
//
// Callbacks run unless --no-callbacks: switch 120 then tells the tray monitor
// through the IPC library beside this executable.
#include <windows.h>

#include <cstdio>
#include <string>

#include "oicm_ConfigureContainer.h"
#include "oicm_ConfigureManager.h"

using BrixIntegration::CConfigureKey;

int wmain(int argc, wchar_t** argv)
{
    const bool callbacks = !(argc == 3 && std::wstring(argv[2]) == L"--no-callbacks");
    if (argc < 2 || (argc == 3 && callbacks) || argc > 3) {
        fprintf(stderr, "usage: ksxcfg INI [--no-callbacks]\n");
        return 1;
    }
    wchar_t ini[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(argv[1], MAX_PATH, ini, nullptr);
    if (length == 0 || length >= MAX_PATH || ::GetFileAttributesW(ini) == INVALID_FILE_ATTRIBUTES) {
        fprintf(stderr, "ksxcfg: cannot find %ls\n", argv[1]);
        return 1;
    }

    BrixIntegration::CConfigureManager* manager = BrixIntegration::CConfigureManager::GetInstance();
    const int result = manager->UpdateKeyFromIniW(ini, callbacks ? 1 : 0);
    printf("UpdateKeyFromIniW(%ls, %d): %d\n", ini, callbacks ? 1 : 0, result);
    for (const auto& entry : manager->GetTable()) {
        const CConfigureKey& key = entry.second;
        DWORD value = key.GetDefaultValue();
        if (manager->GetRegistryValueInteger(key.GetKeyName().c_str(), value) == 0 && value != key.GetDefaultValue())
            printf("  switch %d %ls = %lu (default %lu)\n", entry.first, key.GetKeyName().c_str(),
                   static_cast<unsigned long>(value), static_cast<unsigned long>(key.GetDefaultValue()));
    }
    return result == 0 ? 0 : 2;
}
