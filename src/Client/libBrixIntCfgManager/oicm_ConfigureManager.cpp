#include "oicm_ConfigureManager.h"

#include <string>

#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"
#include "ut_Lock.h"
#include "ut_Trace.h"
#include "ut_skbs.h"

namespace BrixIntegration {

namespace {

constexpr REGSAM kWriteAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;  // 0xF023F
const wchar_t kRookKey[] = L"SOFTWARE\\Corvane\\Rook";
const wchar_t kHostedAgentSubKey[] = L"HostedAgent";

#define CFG_NAME(op) L"BrixIntegration::CConfigureManager::" op

// The integration key of one read or write. Closed when the scope ends, with
// the close logged; made after the function's tracer, so logged before its
// exit trace.
class CIntegrationKey {
public:
    explicit CIntegrationKey(const wchar_t* function) noexcept : m_function(function) {}
    ~CIntegrationKey()
    {
        if (!m_key)
            return;
        const LONG rc = ::RegCloseKey(m_key.release());
        if (rc != ERROR_SUCCESS)
            LOGW(LOG_LEVEL_E, L"%s - ::RegCloseKey failed with Windows error code: [%d].", m_function, rc);
        else
            LOGW(LOG_LEVEL_D, L"%s - ::RegCloseKey succeeded.", m_function);
    }
    CIntegrationKey(const CIntegrationKey&) = delete;
    CIntegrationKey& operator=(const CIntegrationKey&) = delete;

    // Opens the key for reading, or creates it for writing; a result code,
    // the failure logged.
    int Open(bool forWriting)
    {
        const LONG rc = forWriting ? ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kIntegrationKeyW, 0, nullptr, 0,
                                                       kWriteAccess, nullptr, m_key.put(), nullptr)
                                   : UTIL::OpenAgentHklmKey(kIntegrationKeyW, m_key);
        if (rc == ERROR_SUCCESS)
            return BRIX_CFG_SUCCESS;
        m_key.release();  // nothing was opened
        LOGW(LOG_LEVEL_E, L"%s - ::RegOpenKeyExW failed with Windows error code: [%d].", m_function, rc);
        return BRIX_CFG_ERR_OPEN_KEY;
    }
    HKEY get() const noexcept { return m_key.get(); }

private:
    const wchar_t* m_function;
    UTIL::CUniqueHKey m_key;
};

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
    LOG_SCOPEW(CFG_NAME(L"CConfigureManager"));
    m_bPlainBastionClient = IsRunAsBastionClient() != 0;
}

CConfigureManager::~CConfigureManager() { LOG_SCOPEW(CFG_NAME(L"~CConfigureManager")); }

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
    LOG_SCOPEW(CFG_NAME(L"CreateKeyFromIniA"));
    return UpdateKeyFromIniA(pszIniPath, bRunCallbacks);
}

int CConfigureManager::UpdateKeyFromIniA(const char* pszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"UpdateKeyFromIniA");
    LOG_SCOPEW(name);
    const int checked = CheckIniPath(name, pszIniPath);
    if (checked != BRIX_CFG_SUCCESS)
        return checked;
    // A path that is not valid UTF-8 is refused: read as something else it
    // would name a file that does not exist, and every switch would be reset
    // to its default.
    std::wstring path;
    DWORD error = 0;
    if (!MBWC::MBToWC(pszIniPath, path, CP_UTF8, MB_ERR_INVALID_CHARS, &error)) {
        LOGW(LOG_LEVEL_E, L"%s - MBWC::WCToMB failed with Windows error code: [%d].", name, error);
        return BRIX_CFG_ERR_CONVERT_PATH;
    }
    return UpdateKeyFromIniW(path.c_str(), bRunCallbacks);
}

int CConfigureManager::CreateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks)
{
    LOG_SCOPEW(CFG_NAME(L"CreateKeyFromIniW"));
    return UpdateKeyFromIniW(pwszIniPath, bRunCallbacks);
}

int CConfigureManager::UpdateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks)
{
    const wchar_t* const name = CFG_NAME(L"UpdateKeyFromIniW");
    LOG_SCOPEW(name);
    int result = CheckIniPath(name, pwszIniPath);
    if (result != BRIX_CFG_SUCCESS)
        return result;
    LOGW(LOG_LEVEL_D, L"%s - Source INI file: [%s].", name, pwszIniPath);
    if (GetTable().empty())
        return BRIX_CFG_ERR_TABLE_EMPTY;
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
    return result;
}

int CConfigureManager::GetRegistryValueInteger(const wchar_t* pwszName, DWORD& dwValue)
{
    const wchar_t* const name = CFG_NAME(L"GetRegistryValueInteger");
    LOG_SCOPEW(name);
    CIntegrationKey key(name);
    int result = CheckValueName(name, pwszName);
    if (result == BRIX_CFG_SUCCESS)
        result = key.Open(false);
    if (result != BRIX_CFG_SUCCESS)
        return result;
    DWORD value = 0;
    const LONG rcQuery = UTIL::ReadRegDword(key.get(), pwszName, value);
    if (rcQuery != ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_E, L"%s - ::RegQueryValueExW failed with Windows error code: [%d].", name, rcQuery);
        return BRIX_CFG_ERR_READ_VALUE;
    }
    LOGW(LOG_LEVEL_D, L"%s - Get registry integer value succeeded", name);
    dwValue = value;
    LOGW(LOG_LEVEL_D, L"%s - Registry integer value: [%d].", name, value);
    return BRIX_CFG_SUCCESS;
}

int CConfigureManager::SetRegistryValueInteger(const wchar_t* pwszName, DWORD dwValue)
{
    const wchar_t* const name = CFG_NAME(L"SetRegistryValueInteger");
    LOG_SCOPEW(name);
    CIntegrationKey key(name);
    int result = CheckValueName(name, pwszName);
    if (result == BRIX_CFG_SUCCESS)
        result = key.Open(true);
    if (result != BRIX_CFG_SUCCESS)
        return result;
    const LONG rcSet =
        ::RegSetValueExW(key.get(), pwszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
    if (rcSet != ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_E, L"%s - ::RegSetValueEx failed with Windows error code: [%d].", name, rcSet);
        return BRIX_CFG_ERR_WRITE_VALUE;
    }
    LOGW(LOG_LEVEL_D, L"%s - ::RegSetValueEx succeeded on registry value: [%s][%d].", name, pwszName, dwValue);
    return BRIX_CFG_SUCCESS;
}

UINT CConfigureManager::GetIniValueInteger(const wchar_t* pwszSection, const wchar_t* pwszKey, INT nDefault,
                                           const wchar_t* pwszIniPath)
{
    const wchar_t* const name = CFG_NAME(L"GetIniValueInteger");
    LOG_SCOPEW(name);
    if (!pwszSection || !pwszKey || !pwszIniPath) {
        // A null file name would make the profile API read WIN.INI instead.
        LOGW(LOG_LEVEL_E, L"%s - Input section, key or INI file name is NULL.", name);
        return static_cast<UINT>(nDefault);
    }
    return ::GetPrivateProfileIntW(pwszSection, pwszKey, nDefault, pwszIniPath);
}

int CConfigureManager::IsRunAsBastionClient()
{
    const wchar_t* const name = CFG_NAME(L"IsRunAsBastionClient");
    LOG_SCOPEW(name);
    // The checks stop at the first key that opens; an open key is closed at once.
    UTIL::CUniqueHKey key;
    LONG rc = UTIL::OpenAgentHklmKey(kRookKey, key);
    key.reset();
    if (rc == ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_D, L"%s - Current client is Rook client.", name);
        return 0;
    }
    LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyExW Rook Reg Key failed with Windows error code: [%d].", name, rc);
    rc = UTIL::OpenAgentKey(kHostedAgentSubKey, key);
    key.reset();
    if (rc == ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_D, L"%s - Current client is SKBS-SVC client.", name);
        return 0;
    }
    LOGW(LOG_LEVEL_D, L"%s - ::RegOpenKeyExW SKBS-SVC Reg Key failed with Windows error code: [%d].", name, rc);
    if (SKBS::exists()) {
        LOGW(LOG_LEVEL_D, L"%s - Current client is SKBS client.", name);
        return 0;
    }
    LOGW(LOG_LEVEL_D, L"%s - Current client is Bastion client.", name);
    return 1;
}

}  // namespace BrixIntegration
