// Answers whether an integration switch is on, from the host's product
// variant, the switch's registry value and the table's default; seeds the
// registry values from an integration INI file.
#pragma once

#include <windows.h>

#include "oicm_ConfigureContainer.h"
#include "ut_AgentRegistry.h"

namespace BrixIntegration {

// Result codes: 0 is success.
enum : int {
    BRIX_CFG_SUCCESS = 0,
    BRIX_CFG_ERR_TABLE_EMPTY = -10001,
    BRIX_CFG_ERR_INPUT_NULL = -10002,
    BRIX_CFG_ERR_INPUT_EMPTY = -10003,
    BRIX_CFG_ERR_OPEN_KEY = -10005,
    BRIX_CFG_ERR_READ_VALUE = -10006,
    BRIX_CFG_ERR_WRITE_VALUE = -10007,
    BRIX_CFG_ERR_CONVERT_PATH = -10008,
};

// HKLM, 32-bit view.
constexpr const wchar_t kIntegrationKeyW[] = KSX_AGENT_WIDEN(KSX_AGENT_ROOT_KEY) L"\\BrixIntegrationConfiguration";
constexpr const wchar_t kIntegrationIniSectionW[] = L"Global Setting";

class CConfigureManager : public CConfigureContainer {
public:
    // The process's manager, created on first use. Never null.
    static CConfigureManager* GetInstance();

    CConfigureManager();
    ~CConfigureManager() override;

    // 1 when switch `nId` is on, 0 otherwise (also for an unknown id). Never fails.
    virtual int IsEnable(int nId);
    // Same as the Update operations, in their own traces.
    virtual int CreateKeyFromIniA(const char* pszIniPath, int bRunCallbacks);
    // `pszIniPath` is UTF-8.
    virtual int UpdateKeyFromIniA(const char* pszIniPath, int bRunCallbacks);
    virtual int CreateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks);
    // Copies every switch of the INI section into the registry, in ascending id
    // order; the result is that of the last write.
    virtual int UpdateKeyFromIniW(const wchar_t* pwszIniPath, int bRunCallbacks);
    // `dwValue` is left alone on failure.
    virtual int GetRegistryValueInteger(const wchar_t* pwszName, DWORD& dwValue);
    virtual int SetRegistryValueInteger(const wchar_t* pwszName, DWORD dwValue);
    virtual UINT GetIniValueInteger(const wchar_t* pwszSection, const wchar_t* pwszKey, INT nDefault,
                                    const wchar_t* pwszIniPath);
    // 1 for a plain Bastion client, 0 for a Rook, SKBS-SVC or SKBS client.
    virtual int IsRunAsBastionClient();

    // As computed at construction.
    bool IsPlainBastionClient() const { return m_bPlainBastionClient; }

private:
    bool m_bPlainBastionClient = false;
};

}  // namespace BrixIntegration
