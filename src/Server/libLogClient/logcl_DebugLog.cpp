#include "logcl_DebugLog.h"

// Records are dropped until the log server client is in place.
void DebugLogA(DWORD, const char*, DWORD, const char*, ...) {}

bool DebugLogW(DWORD, const wchar_t*, DWORD, const wchar_t*, ...) { return false; }
