// Loading the agent's sibling libraries only when the vendor signed them.
#pragma once

#include <windows.h>

// The vendor's signer name, the issuer every caller passes.
constexpr const wchar_t* kCorvaneIssuer = L"Corvane, Inc.";

// LoadLibraryW of the file once its signature passes CheckFileIssuer. The file
// stays open without write or delete sharing from the check until the load
// has returned, and a relative name is loaded by its full path, so the module
// loaded is the file checked. Null on failure, with the last error 87 (no
// issuer or file), 2 (missing file or a directory),
// ERROR_FAILED_ISSUER_CHECK (refused, reported to the event log), 206 (name
// longer than MAX_PATH), or what CreateFileW or LoadLibraryW left.
HMODULE LoadLibraryWithIssuerCheckW(const wchar_t* lpIssuerName, const wchar_t* lpFileName);

// One event-log entry through the notification library for a refused load.
void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const char* pszFile, const char* pszIssuer);
void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const wchar_t* pwszFile, const wchar_t* pwszIssuer);
