#include "mbwc_MBWC.h"

#include <limits.h>
#include <string.h>

#include <memory>

#include "logcl_DebugLog.h"

namespace MBWC {

namespace {

int Fail(DWORD code, DWORD* error)
{
    if (error)
        *error = code;
    ::SetLastError(code);
    return 0;
}

}  // namespace

int MBToWC(const char* source, std::wstring& destination, UINT codePage, DWORD flags, DWORD* error)
{
    if (!source)
        return Fail(ERROR_INVALID_PARAMETER, error);
    const size_t length = strlen(source);
    if (length >= INT_MAX)
        return Fail(ERROR_INVALID_PARAMETER, error);

    // Counted without the terminator: 0 for an empty or unconvertible source.
    const int n = ::MultiByteToWideChar(codePage, flags, source, static_cast<int>(length), nullptr, 0);
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[static_cast<size_t>(n) + 1]());
    const int written = ::MultiByteToWideChar(codePage, flags, source, -1, buffer.get(), n + 1);
    if (!written)
        return Fail(::GetLastError(), error);
    destination.assign(buffer.get());
    return written;
}

std::wstring MBToWC(const char* source, DWORD* error, UINT codePage, DWORD flags)
{
    std::wstring result;
    MBToWC(source, result, codePage, flags, error);
    return result;
}

int MBToWC(const char* source, wchar_t* buffer, int bufferLength, UINT codePage, DWORD flags)
{
    if (!source) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int needed = ::MultiByteToWideChar(codePage, flags, source, -1, nullptr, 0);
    if (needed > bufferLength) {
        LOGA(LOG_LEVEL_F,
             "[MBWC::MBToWC] MBWC error. Not enough buffer or wrong function was called. pszMultiByteStr=%s, "
             "nWideCharLength=%d, CodePage=%d, dwFlags=%d",
             source, bufferLength, codePage, flags);
        return 0;
    }
    // Unconvertible source: the system's error stays for the caller.
    if (needed == 0)
        return 0;
    if (!buffer) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return ::MultiByteToWideChar(codePage, flags, source, -1, buffer, needed);
}

int WCToMB(const wchar_t* source, std::string& destination, UINT codePage, DWORD flags, DWORD* error)
{
    if (!source)
        return Fail(ERROR_INVALID_PARAMETER, error);

    const int n = ::WideCharToMultiByte(codePage, flags, source, -1, nullptr, 0, nullptr, nullptr);
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(n) + 1]());
    const int written = ::WideCharToMultiByte(codePage, flags, source, -1, buffer.get(), n + 1, nullptr, nullptr);
    if (!written)
        return Fail(::GetLastError(), error);
    destination.assign(buffer.get());
    return written;
}

std::string WCToMB(const wchar_t* source, DWORD* error, UINT codePage, DWORD flags)
{
    std::string result;
    WCToMB(source, result, codePage, flags, error);
    return result;
}

}  // namespace MBWC
