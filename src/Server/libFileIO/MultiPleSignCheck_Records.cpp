// The invalid-signature records: one fixed place each, overwritten by the next.
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>
#include <string>

#include "MultiPleSignCheck.h"
#include "logcl_DebugLog.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

namespace {

constexpr wchar_t kServiceInformationKey[] = L"SOFTWARE\\Corvane\\Bastion\\service\\Information";

constexpr size_t kRecordChars = 512;     // "%s\t%d" and its NUL
constexpr size_t kTelemetryChars = 260;  // "%s|%d.%d.%d.%d|0x%.8x|%d" and its NUL
constexpr DWORD kFolderValueBytes = 520;

// Keeps the first `chars` characters of `text`, never half a surrogate pair.
std::wstring Cut(const wchar_t* text, size_t chars)
{
    size_t n = wcsnlen(text, chars + 1);
    if (n > chars) {
        n = chars;
        if (n > 0 && IS_HIGH_SURROGATE(text[n - 1]))
            --n;
    }
    return std::wstring(text, n);
}

// Formats `path` + `tail` into `buffer` (zeroed, `chars` with its NUL); the
// path gives way so that the tail always fits. Returns the length.
size_t Compose(wchar_t* buffer, size_t chars, const wchar_t* path, const std::wstring& tail)
{
    memset(buffer, 0, chars * sizeof(wchar_t));
    const size_t room = chars - 1 > tail.size() ? chars - 1 - tail.size() : 0;
    const std::wstring text = Cut(path ? path : L"", room) + tail.substr(0, chars - 1);
    wmemcpy(buffer, text.c_str(), text.size());
    return text.size();
}

struct CFolderValue {
    bool opened = false;
    std::wstring folder;  // empty when not read
};

// Reads a folder value of up to 520 bytes from HKLM `key` (32-bit view) and
// appends `leaf` with one backslash between. A null `function` logs nothing.
CFolderValue ReadFolder(const wchar_t* key, const wchar_t* value, const wchar_t* leaf, const wchar_t* function,
                        const wchar_t* failure)
{
    CFolderValue result;
    UTIL::CUniqueHKey hkey;
    LONG rc = UTIL::OpenAgentHklmKey(key, hkey);
    result.opened = rc == ERROR_SUCCESS;
    std::wstring path;
    // An empty value names no folder: "Misc" alone would be relative.
    if (result.opened)
        rc = UTIL::ReadRegString(hkey.get(), value, kFolderValueBytes, path, UTIL::kRegStringNonEmpty);
    if (rc != ERROR_SUCCESS) {
        if (function)
            LOGW(LOG_LEVEL_I, failure, function, rc);
        return result;
    }
    result.folder = path;
    if (result.folder.back() != L'\\')
        result.folder += L'\\';
    result.folder += leaf;
    return result;
}

// "Application Path"\Misc; only when the agent's key cannot be opened,
// "Local_Path"\TEMP.
std::wstring RecordFolder(const wchar_t* function)
{
    const CFolderValue app =
        ReadFolder(UTIL::kAgentRootKeyW, L"Application Path", L"Misc", function,
                   L"%s - Failed to get registry key _REG_APP_PATH_KEY_NAME, Windows error code: %x");
    if (app.opened)
        return app.folder;
    return ReadFolder(kServiceInformationKey, L"Local_Path", L"TEMP", function,
                      L"%s - Failed to get registry key _REG_SERVICE_INFORMATION_SECTION, Windows error code: %x")
        .folder;
}

enum class CWriteResult { NoFolder, OpenFailed, Written, NotWritten };

// Writes "path<TAB>code" and its NUL from offset 0, without truncating the
// file: the tail of a longer earlier record stays after the NUL.
CWriteResult WriteRecord(const wchar_t* function, const wchar_t* fileName, const wchar_t* path, int code,
                         std::wstring& recordPath, DWORD& error)
{
    const std::wstring folder = RecordFolder(function);
    if (folder.empty())
        return CWriteResult::NoFolder;
    recordPath = folder + L"\\" + fileName;
    UTIL::CUniqueFile file(::CreateFileW(recordPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) {
        error = ::GetLastError();
        return CWriteResult::OpenFailed;
    }

    wchar_t record[kRecordChars];
    const size_t length = Compose(record, kRecordChars, path, L"\t" + std::to_wstring(code));
    DWORD written = 0;
    const BOOL ok =
        ::WriteFile(file.get(), record, static_cast<DWORD>((length + 1) * sizeof(wchar_t)), &written, nullptr);
    return ok && written ? CWriteResult::Written : CWriteResult::NotWritten;
}

}  // namespace

void CVerifyFileSignV2::WriteDigitalSignInvalidLog(const wchar_t* pwszFile, int nCode)
{
    const wchar_t* const name = L"CVerifyFileSignV2::WriteDigitalSignInvalidLog";
    std::wstring recordPath;
    DWORD error = 0;
    if (WriteRecord(name, L"DSInvalidLogLastInfo.log", pwszFile, nCode, recordPath, error) == CWriteResult::OpenFailed)
        LOGW(LOG_LEVEL_W, L"%s - Failed to open file: %s, Windows error code: %x", name, recordPath.c_str(), error);
}

int CVerifyFileSignV2::WriteShimBinaryInvalidLog(const wchar_t* pwszFile, int nCode)
{
    std::wstring recordPath;
    DWORD error = 0;
    return WriteRecord(nullptr, L"SBInvalidLogLastInfo.log", pwszFile, nCode, recordPath, error) ==
           CWriteResult::Written;
}

int CVerifyFileSignV2::GetFileVersionParts(const wchar_t* pwszFile, WORD& major, WORD& minor, WORD& build,
                                           WORD& revision)
{
    if (!pwszFile)
        return 0;
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(pwszFile, &handle);
    if (!size)
        return 0;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size + 1]());
    if (!block || !::GetFileVersionInfoW(pwszFile, 0, size, block.get()))
        return 0;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.get(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return 0;
    major = HIWORD(info->dwFileVersionMS);
    minor = LOWORD(info->dwFileVersionMS);
    build = HIWORD(info->dwFileVersionLS);
    revision = LOWORD(info->dwFileVersionLS);
    return 1;
}

void CVerifyFileSignV2::WriteDigitalSignInvalidTelemetryInfo(const wchar_t* pwszFile, DWORD dwValue1, DWORD dwValue2)
{
    const wchar_t* const name = L"CVerifyFileSignV2::WriteDigitalSignInvalidTelemetryInfo";
    LOGW(LOG_LEVEL_D, L"%s - >>", name);

    WORD major = 0, minor = 0, build = 0, revision = 0;
    if (!GetFileVersionParts(pwszFile, major, minor, build, revision))
        LOGW(LOG_LEVEL_I, L"%s - Failed to get file version.(%s)", name, pwszFile ? pwszFile : L"");

    wchar_t tail[64] = {};
    _snwprintf(tail, 63, L"|%d.%d.%d.%d|0x%.8x|%d", major, minor, build, revision, dwValue1,
               static_cast<int>(dwValue2));
    wchar_t text[kTelemetryChars];
    Compose(text, kTelemetryChars, pwszFile, tail);
    LOGW(LOG_LEVEL_D, L"%s - wszSignCheckTelemetry(%s)", name, text);

    UTIL::CUniqueHKey key;
    if (UTIL::OpenAgentKeyForWrite(L"Misc.", key) == ERROR_SUCCESS) {
        const LONG rc = ::RegSetValueExW(key.get(), L"TelemetryACSLocalVerifyFail", 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(text), sizeof(text));
        if (rc != ERROR_SUCCESS)
            LOGW(LOG_LEVEL_I, L"%s - Failed to set ACS Telemetry data. error code: %x", name, rc);
    }
    LOGW(LOG_LEVEL_D, L"%s - <<", name);
}
