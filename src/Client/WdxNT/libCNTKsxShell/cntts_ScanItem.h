// The scan item as both shell classes present it: the classic context-menu
// handler and the file menu's explorer command share one busy check, one text
// lookup and one hand-over.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace KsxShell {

enum class ScanAvailability { Free, Busy, Unknown };

// The busy check: a scan, an update, a manual-scan instance, a remote or
// scheduled scan runs, or the real-time scan service is not running. Without
// `mayQueryService` only the agent's registry flags are read: a set flag
// answers Busy, else the answer needs the service control manager, a call
// into another process that may block, and is Unknown.
ScanAvailability CheckScanAvailability(bool mayQueryService);

// The item text in the current language: SyncLang(0), then the string table.
std::wstring ScanItemText();

// The help text: string 139 of the resource library, else "Halyard NT".
constexpr int kHelpTextChars = 41;
void ScanHelpText(HMODULE resourceLib, char (&text)[kHelpTextChars]);

// The signed language resource library of the install folder; null when none loads.
HMODULE LoadScanResources(const std::string& installFolder);

// The selected paths, wide, as the shell names them; may throw std::bad_alloc.
using SelectionReader = std::function<std::vector<std::wstring>()>;

// Hands the scan request to the agent: under user access restriction the
// launcher on `directory`, else the selection to the tray monitor, which is
// the only case that reads it.
HRESULT HandOverScanRequest(LPCSTR directory, const SelectionReader& readSelection);

}  // namespace KsxShell
