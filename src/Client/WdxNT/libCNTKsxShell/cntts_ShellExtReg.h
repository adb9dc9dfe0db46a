// Self-registration of the context-menu handler.
#pragma once

#include <windows.h>

namespace KsxShell {

// Writes the class, its in-process server and the handler keys for all files,
// directories and drives, then the shell's approval value. 1 when every key
// could be created or opened; a failing key stops the registration there.
int RegisterShellExtension(const char* clsidString, const char* handlerName);

// Removes what RegisterShellExtension writes. 1 when every parent key opened.
int UnregisterShellExtension(const char* clsidString, const char* handlerName);

// Deletes `subKey` of `parent` with everything below it, children first.
void DeleteRegistryTree(HKEY parent, const char* subKey);

}  // namespace KsxShell
