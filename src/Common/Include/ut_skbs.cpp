#include "ut_skbs.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <memory>
#include <new>
#include <string>

#include "logcl_DebugLog.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"
#include "ut_Trace.h"

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
    LOG_SCOPEW(name);

    UTIL::CUniqueHKey key;
    LONG rc = UTIL::OpenAgentHklmKey(kMiscKeyW, key);
    if (rc == ERROR_SUCCESS) {
        // REG_SZ of at most 512 bytes, up to its first NUL; any other type
        // breaks the only rule and gives ERROR_INVALID_DATA.
        std::wstring recorded;
        rc = UTIL::ReadRegString(key.get(), L"ProductName", kRegistryNameChars * sizeof(wchar_t), recorded,
                                 UTIL::kRegStringSzOnly);
        key.reset();
        if (rc == ERROR_INVALID_DATA) {
            LOGW(LOG_LEVEL_D, L"%s - Unexpected type for the value: [%s].", name, L"ProductName");
        } else if (rc != ERROR_SUCCESS) {
            LOGW(LOG_LEVEL_D, L"%s - ::RegQueryValueExW SKBS Reg Key failed with Windows error code: [%d].", name, rc);
        } else {
            if (recorded.size() > kRegistryNameChars - 1)
                recorded.resize(kRegistryNameChars - 1);
            if (recorded == kProductNameW) {
                LOGW(LOG_LEVEL_D, L"%s - SKBS client found.", name);
                return true;
            }
            LOGW(LOG_LEVEL_D, L"%s - Product [%s] found.", name, recorded.c_str());
        }
    } else {
        LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyEx SKBS Reg Key failed with Windows error code: [%d].", name, rc);
    }

    wchar_t buffer[kRegistryNameChars] = {};
    return getProductName(buffer, kRegistryNameChars) && wcsstr(buffer, kProductNameW) != nullptr;
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
    _snwprintf(query, kQueryChars - 1, L"\\StringFileInfo\\%04x%04x\\ProductName", first.wLanguage, first.wCodePage);
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
