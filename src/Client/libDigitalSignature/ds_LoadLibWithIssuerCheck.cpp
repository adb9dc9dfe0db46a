#include "ds_LoadLibWithIssuerCheck.h"

#include <io.h>

#include <atomic>
#include <cwchar>
#include <string>

#include "ds_BsnDSManager.h"
#include "ds_CreateProcWithIssuerCheck.h"
#include "ds_TestHooks.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "smu_CCvNotifyDLL.h"
#include "ut_Handle.h"

namespace {

std::atomic<DSTestHooks::AfterIssuerCheckHook> g_afterCheck{nullptr};

constexpr size_t kPathChars = MAX_PATH + 1;
constexpr size_t kExtChars = 256;
constexpr size_t kEventMessageBytes = 1284;

// The extension of the last path component, from its last "." (empty when none).
std::wstring Extension(const wchar_t* path)
{
    const wchar_t* component = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/' || *p == L':')
            component = p + 1;
    }
    const wchar_t* dot = std::wcsrchr(component, L'.');
    return dot ? std::wstring(dot).substr(0, kExtChars - 1) : std::wstring();
}

}  // namespace

DSTestHooks::AfterIssuerCheckHook DSTestHooks::SetAfterIssuerCheckHook(AfterIssuerCheckHook hook)
{
    return g_afterCheck.exchange(hook);
}

HMODULE LoadLibraryWithIssuerCheckW(const wchar_t* lpIssuerName, const wchar_t* lpFileName)
{
    const wchar_t* const name = L"LoadLibraryWithIssuerCheckW";
    if (!lpIssuerName) {
        LOGW('D', L"%s - lpIssuerName is NULL. SetLastError() to ERROR_INVALID_PARAMETER and return NULL.", name);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!lpFileName) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::wstring file = lpFileName;
    LOGW('D', L"%s - File for issuer check is (%s)", name, file.c_str());

    const DWORD attributes = ::GetFileAttributesW(file.c_str());
    if (::_waccess(file.c_str(), 0) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        LOGW('D', L"%s - File (%s) does not exist. SetLastError() to ERROR_FILE_NOT_FOUND and return NULL.", name,
             file.c_str());
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    // A truncated name would load another file than the one checked.
    if (file.size() >= kPathChars) {
        LOGW('E', L"%s - File name (%s) is longer than MAX_PATH", name, file.c_str());
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }

    // Held until LoadLibraryW returns: nobody can write, replace or rename the
    // file between the check and the load. Readers (the checks, the loader) may.
    UTIL::CUniqueFile hold(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hold) {
        const DWORD error = ::GetLastError();
        LOGW('E', L"%s - failed to open (%s) for the check, err=%d", name, file.c_str(), static_cast<int>(error));
        ::SetLastError(error);
        return nullptr;
    }

    if (!CheckFileIssuer(file.c_str(), lpIssuerName)) {
        LOGW('D',
             L"%s - File (%s) is not issued by (%s). Issuer check failed. Write to Windows Event Log, SetLastError() "
             L"to customized error code ERROR_FAILED_ISSUER_CHECK (0x%08X) and return NULL.",
             name, file.c_str(), lpIssuerName, ERROR_FAILED_ISSUER_CHECK);
        WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(file.c_str(), lpIssuerName);
        ::SetLastError(ERROR_FAILED_ISSUER_CHECK);
        return nullptr;
    }
    if (const auto hook = g_afterCheck.load())
        hook(file.c_str());

    // The file checked, not one the loader's search order finds first.
    std::wstring path(kPathChars, L'\0');
    const DWORD full = ::GetFullPathNameW(file.c_str(), static_cast<DWORD>(path.size()), &path[0], nullptr);
    if (full == 0 || full >= path.size()) {
        ::SetLastError(full ? ERROR_FILENAME_EXCED_RANGE : ::GetLastError());
        return nullptr;
    }
    path.resize(full);
    // Without an extension the system would add ".dll".
    if (Extension(path.c_str()).empty()) {
        if (path.size() + 1 >= kPathChars) {
            ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        path += L'.';
    }
    LOGW('D', L"%s - Calling LoadLibraryW()...", name);
    return ::LoadLibraryW(path.c_str());
}

void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const char* pszFile, const char* pszIssuer)
{
    const char* const name = "WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed";
    char message[kEventMessageBytes] = {};
    std::snprintf(message, sizeof(message),
                  "Bastion agent attempted to load a library not signed by the expected issuer \"%s\". The process "
                  "was stopped. Verify the integrity of the library and try again (%s).",
                  pszIssuer ? pszIssuer : "", pszFile ? pszFile : "");

    CCvNotifyDLL notify;
    if (!notify.Init(nullptr)) {
        LOGA('D', "%s - CvNotify initialization failed", name);
        return;
    }
    const int initResult = notify.InitDefaultEventSource("Corvane Bastion", 0);
    LOGA('D', "%s - InitDefaultEventSource return %d", name, initResult);
    HANDLE source = nullptr;
    const int openResult = notify.OpenEventSource(nullptr, "Corvane Bastion", &source);
    if (!source) {
        LOGA('D', "%s - OpenEventSource failed (%d)", name, openResult);
        return;
    }
    LOGA('D', "%s - ReportEventLogEx Msg = %s", name, message);
    notify.ReportEventLogEx(source, 2, 5, 0x80050258, message);
    notify.CloseEventSource(source);
}

void WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(const wchar_t* pwszFile, const wchar_t* pwszIssuer)
{
    const std::string file = MBWC::WCToMB(pwszFile ? pwszFile : L"");
    const std::string issuer = MBWC::WCToMB(pwszIssuer ? pwszIssuer : L"");
    WriteWindowsEventLogForNotLoadingLibDueToIssuerCheckFailed(file.c_str(), issuer.c_str());
}
