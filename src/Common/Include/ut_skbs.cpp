#include "ut_skbs.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>

#include "logcl_DebugLog.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

namespace SKBS {

namespace {

constexpr DWORD kRegistryNameChars = 256;  // 512 bytes
constexpr size_t kQueryChars = 128;

struct CTranslation {
    WORD wLanguage;
    WORD wCodePage;
};

}  // namespace

bool exists()
{
    const wchar_t* const name = L"SKBS::exists";
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);

    wchar_t buffer[kRegistryNameChars] = {};
    UTIL::CUniqueHKey key;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMiscKeyW, 0, UTIL::kAgentKeyAccess, key.put());
    if (rc == ERROR_SUCCESS) {
        DWORD type = REG_NONE;
        DWORD cb = sizeof(buffer);
        rc = ::RegQueryValueExW(key.get(), L"ProductName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb);
        key.reset();
        if (rc != ERROR_SUCCESS) {
            LOGW(LOG_LEVEL_D, L"%s - ::RegQueryValueExW SKBS Reg Key failed with Windows error code: [%d].", name, rc);
        } else if (type == REG_SZ) {
            buffer[kRegistryNameChars - 1] = L'\0';
            if (wcsncmp(buffer, kProductNameW, kRegistryNameChars) == 0) {
                LOGW(LOG_LEVEL_D, L"%s - SKBS client found.", name);
                LOGW(LOG_LEVEL_D, L"%s - <<<", name);
                return true;
            }
            LOGW(LOG_LEVEL_D, L"%s - Product [%s] found.", name, buffer);
        } else {
            LOGW(LOG_LEVEL_D, L"%s - Unexpected type for the value: [%s].", name, L"ProductName");
        }
    } else {
        LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyEx SKBS Reg Key failed with Windows error code: [%d].", name, rc);
    }

    memset(buffer, 0, sizeof(buffer));
    const bool found = getProductName(buffer, kRegistryNameChars) && wcsstr(buffer, kProductNameW) != nullptr;
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return found;
}

bool getProductName(wchar_t* buffer, size_t size)
{
    const wchar_t* const name = L"SKBS::getProductName";
    if (!buffer || size == 0) {
        LOGW(LOG_LEVEL_E, L"%s - No output buffer.", name);
        return false;
    }

    wchar_t path[MAX_PATH] = {};
    const DWORD pathChars = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (pathChars == 0 || pathChars >= MAX_PATH) {
        // A cut path names another file.
        LOGW(LOG_LEVEL_E, L"%s - ::GetModuleFileNameW failed: [%lu].", name, ::GetLastError());
        return false;
    }

    DWORD handle = 0;
    const DWORD blockSize = ::GetFileVersionInfoSizeW(path, &handle);
    if (blockSize == 0) {
        LOGW(LOG_LEVEL_E, L"%s - ::GetFileVersionInfoSizeW failed: [%lu].", name, ::GetLastError());
        return false;
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[blockSize]);
    if (!block) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        LOGW(LOG_LEVEL_E, L"%s - Allocation of the version block failed: [%lu].", name, ::GetLastError());
        return false;
    }
    if (!::GetFileVersionInfoW(path, 0, blockSize, block.get())) {
        LOGW(LOG_LEVEL_E, L"%s - ::GetFileVersionInfoW failed: [%lu].", name, ::GetLastError());
        return false;
    }

    void* translations = nullptr;
    UINT translationBytes = 0;
    if (!::VerQueryValueW(block.get(), L"\\VarFileInfo\\Translation", &translations, &translationBytes)) {
        LOGW(LOG_LEVEL_E, L"%s - ::VerQueryValueW failed: [%lu].", name, ::GetLastError());
        return false;
    }
    if (!translations || translationBytes < sizeof(CTranslation)) {
        LOGW(LOG_LEVEL_E, L"%s - The version information lists no translation.", name);
        return false;
    }
    CTranslation first = {};
    memcpy(&first, translations, sizeof(first));

    wchar_t query[kQueryChars] = {};
    _snwprintf(query, kQueryChars - 1, L"\\StringFileInfo\\%04x%04x\\ProductName", first.wLanguage,
               first.wCodePage);
    void* value = nullptr;
    UINT valueChars = 0;
    if (!::VerQueryValueW(block.get(), query, &value, &valueChars) || !value) {
        LOGW(LOG_LEVEL_E, L"%s - ::VerQueryValueW failed: [%lu].", name, ::GetLastError());
        return false;
    }

    // The length bounds the read: the stored text need not be terminated.
    const wchar_t* text = static_cast<const wchar_t*>(value);
    size_t n = 0;
    while (n < valueChars && n + 1 < size && text[n])
        ++n;
    if (n > 0 && n + 1 == size && n < valueChars && text[n] && IS_HIGH_SURROGATE(text[n - 1]))
        --n;  // do not split a surrogate pair
    wmemcpy(buffer, text, n);
    buffer[n] = L'\0';
    LOGW(LOG_LEVEL_I, L"%s - product name from versioninfo: %s", name, buffer);
    return true;
}

}  // namespace SKBS
