#include "oicm_ConfigureManager.h"

#include <string>

#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"
#include "ut_Lock.h"
#include "ut_skbs.h"

namespace BrixIntegration {

namespace {

constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;  // 0xF023F
const wchar_t kRookKey[] = L"SOFTWARE\\Corvane\\Rook";
const wchar_t kHostedAgentKey[] = L"SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion\\HostedAgent";

#define CFG_NAME(op) L"BrixIntegration::CConfigureManager::" op

// Closes the key now so that a failure can be logged.
void CloseKey(const wchar_t* function, UTIL::CUniqueHKey& key)
{
    const LONG rc = ::RegCloseKey(key.release());
    if (rc != ERROR_SUCCESS)
        LOGW(LOG_LEVEL_E, L"%s - ::RegCloseKey failed with Windows error code: [%d].", function, rc);
    else
        LOGW(LOG_LEVEL_D, L"%s - ::RegCloseKey succeeded.", function);
}

// Null or empty input: logs and returns the result code; 0 otherwise.
int CheckInput(const wchar_t* function, const void* input, bool empty, const wchar_t* nullMessage,
               const wchar_t* emptyMessage)
{
    if (!input) {
        LOGW(LOG_LEVEL_E, nullMessage, function);
        return BRIX_CFG_ERR_INPUT_NULL;
    }
    if (empty) {
        LOGW(LOG_LEVEL_E, emptyMessage, function);
        return BRIX_CFG_ERR_INPUT_EMPTY;
    }
    return BRIX_CFG_SUCCESS;
}

int CheckValueName(const wchar_t* function, const wchar_t* name)
{
    return CheckInput(function, name, name && !*name, L"%s - Input registry value name is NULL.",
                      L"%s - Input registry value name is empty.");
}

template <typename Ch>
int CheckIniPath(const wchar_t* function, const Ch* path)
{
    return CheckInput(function, path, path && !*path, L"%s - Input source INI file name is NULL.",
                      L"%s - Input source INI file name is empty.");
}

UTIL::CSingletonLocker& InstanceLocker()
{
    static UTIL::CSingletonLocker s_locker;
    return s_locker;
}

}  // namespace

CConfigureManager* CConfigureManager::GetInstance()
{
    UTIL::CAutoSingletonLocker lock(InstanceLocker());
    // Destroyed at module unload, before the logging it uses.
    static CConfigureManager s_instance;
    return &s_instance;
}

CConfigureManager::CConfigureManager()
{
    const wchar_t* const name = CFG_NAME(L"CConfigureManager");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    m_bPlainBastionClient = IsRunAsBastionClient() != 0;
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
}

CConfigureManager::~CConfigureManager()
{
    const wchar_t* const name = CFG_NAME(L"~CConfigureManager");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
}

int CConfigureManager::IsEnable(int nId)
{
    const wchar_t* const name = CFG_NAME(L"IsEnable");
    const CConfigureKey* key = Find(nId);
    if (!key) {
        LOGW(LOG_LEVEL_E, L"%s - Configure ID: [%d] is not found in configuration table.", name, nId);
        LOGW(LOG_LEVEL_D, L"%s - Configure information - ID:[%d], Value:[%d].", name, nId, 0);
        return 0;
    }

    int answer = key->GetDefaultValue() ? 1 : 0;
    if (!m_bPlainBastionClient || key->GetBastionClientFlag()) {
        DWORD value = 0;
        const int rc = GetRegistryValueInteger(key->GetKeyName().c_str(), value);
        if (rc != BRIX_CFG_SUCCESS) {
            LOGW(LOG_LEVEL_E,
                 L"%s - BrixIntegration::CConfigureManager::GetRegistryValueInteger failed with Bastion error code: "
                 L"[%d].",
                 name, rc);
        } else {
            LOGW(LOG_LEVEL_D, L"%s - The registry value: [%s][%d].", name, key->GetKeyName().c_str(), value);
            answer = value ? 1 : 0;
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - Configure information - ID:[%d], Value:[%d].", name, nId, answer);
    return answer;
}

int CConfigureManager::CreateKeyFromIniA(const char* pszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"CreateKeyFromIniA");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    const int result = UpdateKeyFromIniA(pszIniPath, bRunCallbacks);
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

int CConfigureManager::UpdateKeyFromIniA(const char* pszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"UpdateKeyFromIniA");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    int result = CheckIniPath(name, pszIniPath);
    if (result == BRIX_CFG_SUCCESS) {
        // A path that is not valid UTF-8 is refused: read as something else it
        // would name a file that does not exist, and every switch would be
        // reset to its default.
        std::wstring path;
        DWORD error = 0;
        if (!MBWC::MBToWC(pszIniPath, path, CP_UTF8, MB_ERR_INVALID_CHARS, &error)) {
            LOGW(LOG_LEVEL_E, L"%s - MBWC::WCToMB failed with Windows error code: [%d].", name, error);
            result = BRIX_CFG_ERR_CONVERT_PATH;
        } else {
            result = UpdateKeyFromIniW(path.c_str(), bRunCallbacks);
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

int CConfigureManager::CreateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"CreateKeyFromIniW");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    const int result = UpdateKeyFromIniW(pwszIniPath, bRunCallbacks);
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

int CConfigureManager::UpdateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"UpdateKeyFromIniW");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    int result = CheckIniPath(name, pwszIniPath);
    if (result == BRIX_CFG_SUCCESS) {
        LOGW(LOG_LEVEL_D, L"%s - Source INI file: [%s].", name, pwszIniPath);
        if (GetTable().empty())
            result = BRIX_CFG_ERR_TABLE_EMPTY;
        for (const auto& entry : GetTable()) {
            const CConfigureKey& key = entry.second;
            const wchar_t* const keyName = key.GetKeyName().c_str();
            LOGW(LOG_LEVEL_D, L"%s - Update key: [%s].", name, keyName);
            const UINT value =
                GetIniValueInteger(kIntegrationIniSectionW, keyName, static_cast<INT>(key.GetDefaultValue()), pwszIniPath);
            LOGW(LOG_LEVEL_D, L"%s - Key value from INI: [%d].", name, value);

            result = SetRegistryValueInteger(keyName, value);
            if (result != BRIX_CFG_SUCCESS) {
                LOGW(LOG_LEVEL_E,
                     L"%s - BrixIntegration::CConfigureManager::SetRegistryValueInteger failed on key: [%s] with "
                     L"Bastion error code: [%d].",
                     name, keyName, result);
                continue;
            }
            LOGW(LOG_LEVEL_I, L"%s - BrixIntegration::CConfigureManager::SetRegistryValueInteger succeeded.", name);
            if (!bRunCallbacks) {
                LOGW(LOG_LEVEL_D, L"%s - Update key callback action is disable.", name);
                continue;
            }
            LOGW(LOG_LEVEL_D, L"%s - Update key callback action is enable.", name);
            if (PFN_UPDATE_CALLBACK callback = key.GetUpdateCallback()) {
                LOGW(LOG_LEVEL_D, L"%s - Update key callback >>>", name);
                callback(0);
                LOGW(LOG_LEVEL_D, L"%s - Update key callback <<<", name);
            } else {
                LOGW(LOG_LEVEL_D, L"%s - Update key callback function is NULL.", name);
            }
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

int CConfigureManager::GetRegistryValueInteger(const wchar_t* pwszName, DWORD& dwValue)
{
    const wchar_t* const name = CFG_NAME(L"GetRegistryValueInteger");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    int result = CheckValueName(name, pwszName);
    if (result == BRIX_CFG_SUCCESS) {
        UTIL::CUniqueHKey key;
        const LONG rcOpen =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kIntegrationKeyW, 0, UTIL::kAgentKeyAccess, key.put());
        if (rcOpen != ERROR_SUCCESS) {
            LOGW(LOG_LEVEL_E, L"%s - ::RegOpenKeyExW failed with Windows error code: [%d].", name, rcOpen);
            result = BRIX_CFG_ERR_OPEN_KEY;
        } else {
            DWORD value = 0;
            DWORD size = sizeof(value);
            const LONG rcQuery =
                ::RegQueryValueExW(key.get(), pwszName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
            if (rcQuery != ERROR_SUCCESS) {
                LOGW(LOG_LEVEL_E, L"%s - ::RegQueryValueExW failed with Windows error code: [%d].", name, rcQuery);
                result = BRIX_CFG_ERR_READ_VALUE;
            } else {
                LOGW(LOG_LEVEL_D, L"%s - Get registry integer value succeeded", name);
                dwValue = value;
                LOGW(LOG_LEVEL_D, L"%s - Registry integer value: [%d].", name, value);
            }
            CloseKey(name, key);
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

int CConfigureManager::SetRegistryValueInteger(const wchar_t* pwszName, DWORD dwValue)
{
    const wchar_t* const name = CFG_NAME(L"SetRegistryValueInteger");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    int result = CheckValueName(name, pwszName);
    if (result == BRIX_CFG_SUCCESS) {
        UTIL::CUniqueHKey key;
        const LONG rcCreate = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kIntegrationKeyW, 0, nullptr, 0, kWriteAccess,
                                                nullptr, key.put(), nullptr);
        if (rcCreate != ERROR_SUCCESS) {
            LOGW(LOG_LEVEL_E, L"%s - ::RegOpenKeyExW failed with Windows error code: [%d].", name, rcCreate);
            result = BRIX_CFG_ERR_OPEN_KEY;
        } else {
            const LONG rcSet = ::RegSetValueExW(key.get(), pwszName, 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
            if (rcSet != ERROR_SUCCESS) {
                LOGW(LOG_LEVEL_E, L"%s - ::RegSetValueEx failed with Windows error code: [%d].", name, rcSet);
                result = BRIX_CFG_ERR_WRITE_VALUE;
            } else {
                LOGW(LOG_LEVEL_D, L"%s - ::RegSetValueEx succeeded on registry value: [%s][%d].", name, pwszName,
                     dwValue);
            }
            CloseKey(name, key);
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

UINT CConfigureManager::GetIniValueInteger(const wchar_t* pwszSection, const wchar_t* pwszKey, INT nDefault,
                                           const wchar_t* pwszIniPath)
{
    const wchar_t* const name = CFG_NAME(L"GetIniValueInteger");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    UINT value = static_cast<UINT>(nDefault);
    if (!pwszSection || !pwszKey || !pwszIniPath) {
        // A null file name would make the profile API read WIN.INI instead.
        LOGW(LOG_LEVEL_E, L"%s - Input section, key or INI file name is NULL.", name);
    } else {
        value = ::GetPrivateProfileIntW(pwszSection, pwszKey, nDefault, pwszIniPath);
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return value;
}

int CConfigureManager::IsRunAsBastionClient()
{
    const wchar_t* const name = CFG_NAME(L"IsRunAsBastionClient");
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    int result = 0;
    UTIL::CUniqueHKey key;
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRookKey, 0, UTIL::kAgentKeyAccess, key.put());
    if (rc == ERROR_SUCCESS) {
        key.reset();
        LOGW(LOG_LEVEL_D, L"%s - Current client is Rook client.", name);
    } else {
        LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyExW Rook Reg Key failed with Windows error code: [%d].", name, rc);
        rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHostedAgentKey, 0, UTIL::kAgentKeyAccess, key.put());
        if (rc == ERROR_SUCCESS) {
            key.reset();
            LOGW(LOG_LEVEL_D, L"%s - Current client is SKBS-SVC client.", name);
        } else {
            LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyExW SKBS-SVC Reg Key failed with Windows error code: [%d].", name,
                 rc);
            if (SKBS::exists()) {
                LOGW(LOG_LEVEL_D, L"%s - Current client is SKBS client.", name);
            } else {
                LOGW(LOG_LEVEL_D, L"%s - Current client is Bastion client.", name);
                result = 1;
            }
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

}  // namespace BrixIntegration
