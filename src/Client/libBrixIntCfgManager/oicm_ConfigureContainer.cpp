#include "oicm_ConfigureContainer.h"

#include <exception>
#include <iterator>

#include "logcl_DebugLog.h"
#include "oicm_ConfigureCallback.h"
#include "ut_Trace.h"

namespace BrixIntegration {

namespace {

const CConfigureRow kConfigureTable[] = {
    {101, L"ShowWdxntPlugInManagerButton", 1, nullptr, 0},
    {102, L"ShowWdxntGotoMenu", 1, nullptr, 0},
    {103, L"ShowWdxntSettingMenu", 1, nullptr, 0},
    {104, L"ShowWdxntHelpMenu", 1, nullptr, 0},
    {105, L"ShowWdxntAboutMenu", 0, nullptr, 0},
    {106, L"ShowWdxntLogViewTab", 1, nullptr, 0},
    {107, L"ShowWdxntHelpButton", 1, nullptr, 0},
    {108, L"PurgeLogVeltraBmRook", 0, nullptr, 0},
    {109, L"ShowUpdateNowProxyPage", 1, nullptr, 0},
    {110, L"AddIeProxySettingToRegistry", 0, nullptr, 0},
    {111, L"EnablePopupMailVirusAlertMessage", 1, nullptr, 0},
    {112, L"EnableFirewallAlert", 1, nullptr, 0},
    {113, L"EnablePopupVeltraCcfrAlertMessage", 1, nullptr, 0},
    {114, L"EnablePopupDlpClcAlertMessage", 1, nullptr, 0},
    {115, L"EnablePopupScheduleScanWarning", 1, nullptr, 0},
    {116, L"EnablePopupOppAlertMessage", 1, nullptr, 0},
    {117, L"EnablePopupTdiMessage", 1, nullptr, 0},
    {118, L"EnablePopupUrlFilteringAlertMessage", 1, nullptr, 0},
    {119, L"EnablePopupAskRebootForNscDriver", 1, nullptr, 0},
    {120, L"SystemTrayIconOnOff", 1, CConfigureCallback::CallbackShowSystemTrayIcon, 0},
    {121, L"ShowWdxntMonVersionInfo", 1, nullptr, 0},
    {122, L"ShowWdxntMonSwitchMobileMode", 1, nullptr, 0},
    {123, L"ShowWdxntMonScheduleUpdateOnOff", 1, nullptr, 0},
    {124, L"ShowWdxntMonSwitchFirewall", 1, nullptr, 0},
    {125, L"ShowWdxntMonDelayScheduleScan", 1, nullptr, 0},
    {126, L"ShowWdxntMonAddonService", 0, nullptr, 0},
    {127, L"ShowWdxntMonExit", 1, nullptr, 0},
    {128, L"PurgeLogVeltraRook", 0, nullptr, 0},
    {129, L"CheckVeltraKeyToShowDeviceControlTab", 0, nullptr, 0},
    {130, L"EnablePopupAskRebootForDlpDriver", 1, nullptr, 0},
    {131, L"ShowWdxntMonScanNow", 1, nullptr, 0},
    {132, L"ShowWdxntMonSkipScheduleScan", 1, nullptr, 0},
    {133, L"ShowWdxntMonSwitchBM", 1, nullptr, 0},
    {134, L"CheckPtnTooOldByLastUpdTime", 0, nullptr, 0},
    {135, L"EnablePFWBasedOnRuleFile", 0, nullptr, 0},
    {136, L"EnableApplySettingFromServerBmAlert", 1, nullptr, 0},
    {137, L"EnableApplySettingFromServerDacAlert", 1, nullptr, 0},
    {138, L"ChangeTrayIconIfNeedReboot", 0, nullptr, 0},
    {139, L"UseMsiFunctionInstUninst", 0, nullptr, 0},
    {140, L"UrlWrsAssessmentMode", 1, nullptr, 0},
    {141, L"ReportClientVersionOnUpdate", 0, nullptr, 0},
    {142, L"SetURLBlockAlertFromClient", 0, nullptr, 0},
    {143, L"EnableFolderProtectionAlert", 0, nullptr, 0},
    {144, L"EnableCvpxyAntiPharm", 1, nullptr, 0},
    {145, L"EnableCvpxyPop3Scan", 0, nullptr, 0},
    {146, L"EnableDLP", 1, nullptr, 0},
    {147, L"EnableAOS", 1, nullptr, 0},
    {148, L"EnableTryHostnameForSmartScan", 0, nullptr, 0},
    {149, L"OnlyRemovePFWDriverWhenReboot", 0, nullptr, 0},
    {150, L"ShowWdxntMonRealtimeMonitor", 1, nullptr, 0},
    {151, L"ShowServerVersionWithSpName", 1, nullptr, 0},
    {152, L"EnableRegisterDomainInIniFile", 1, nullptr, 0},
    {153, L"ShowWdxntPFWTabReadOnly", 1, nullptr, 0},
    {154, L"ShowWdxntLanguageButton", 0, nullptr, 0},
    {155, L"ShowComponentVersionVASPattern", 1, nullptr, 0},
    {156, L"ServerDataSGNF", 1, nullptr, 0},
    {157, L"ShowServerSideClientFileVersion", 1, nullptr, 0},
    {158, L"ShowWdxntMonIDS", 1, nullptr, 0},
    {159, L"EnableManualLanguageSwitch", 0, nullptr, 0},
    {160, L"LockClientSettingAfterReboot", 1, nullptr, 0},
    {161, L"CheckScanPathToShowManualScanBtn", 1, nullptr, 0},
    {162, L"ID_ENABLE_CVPXY_UUC_CFG", 1, nullptr, 0},
    {163, L"Support_Twenty_Two_lang", 0, nullptr, 0},
    {164, L"Enable_Use_Chinese_PrimLangID", 0, nullptr, 0},
    {165, L"NoUploadQuarantinedFile", 0, nullptr, 0},
    {166, L"SupportScanStartCompleteTime", 0, nullptr, 0},
    {167, L"UpdateNow_From_FENX", 0, nullptr, 0},
    {168, L"UseExternFeedBackServerInform", 0, nullptr, 0},
    {169, L"OnlyAllowAntiSpamLogSendToServer", 0, nullptr, 0},
    {171, L"UseExternSPNServerInform", 0, nullptr, 0},
    {173, L"UnloadPasswordbySha224Encrypt", 0, nullptr, 0},
    {174, L"BlockServerConnGetLocalConfig", 0, nullptr, 0},
    {176, L"TipsShowRealTimeScanDisableWhileAVisDisable", 0, nullptr, 0},
    {177, L"EnableIPv6Listening", 1, nullptr, 0},
    {178, L"EnableTindleByGroup", 0, nullptr, 0},
    {179, L"EnableToolToken", 1, nullptr, 0},
    {180, L"AddCorvaneIntoLocalintranetZone", 0, nullptr, 0},
    {181, L"ReloadComponentAfterScanComplete", 0, nullptr, 0},
    {182, L"UseUpdateVerAsProgramVer", 0, nullptr, 0},
    {183, L"UseExternProgramInform", 0, nullptr, 0},
    {184, L"EnableCvpxySMTPScan", 0, nullptr, 0},
    {185, L"DisableUnlockIfNoPwdProtect", 0, nullptr, 0},
    {186, L"DisableUpdateNowWhileAVUpdateisDisable", 0, nullptr, 0},
    {187, L"SetServiceName", 0, nullptr, 0},
    {188, L"TreatUserBlockURLasCategoryViolation", 0, nullptr, 0},
    {189, L"AllowClientControlAllNotifySettings", 0, nullptr, 0},
    {190, L"BypassCheckUninstPwdAndParentProcSign", 0, nullptr, 0},
    {191, L"CheckBMStatusToConfigDependencyModules", 1, nullptr, 0},
    {192, L"RestoreQuarantinedFileIfInVELTRAExceptionList", 0, nullptr, 0},
    {193, L"DisableLoadCCPRCommand", 0, nullptr, 0},
    {194, L"ReportPOP3DeleteSuccessWhenReplacedByCvWarn", 0, nullptr, 0},
    {195, L"NoIEProxyIfCorvaneDomainInBypassList", 0, nullptr, 0},
    {196, L"RemoveRuntimeUnneededFiles", 0, nullptr, 0},
    {197, L"DisableKEELVsapiScan", 0, nullptr, 0},
    {198, L"QuarantineUntrustedProcess", 0, nullptr, 0},
    {199, L"EnableRemovableDeviceEventSource", 0, nullptr, 0},
    {200, L"RemoveHttpSchemeWhenApplyIEProxy", 1, nullptr, 0},
    {201, L"BlockURLSoWithoutSPS", 0, nullptr, 1},
    {202, L"SwitchMarloExtensionToCompatibleVersion", 0, nullptr, 0},
    {203, L"UseAlternateEntryForMarloUMHHook", 0, nullptr, 0},
    {204, L"GetProxyCredentialFromServer", 0, nullptr, 0},
    {205, L"ReportSnoozingWhenUnload", 0, nullptr, 0},
    {206, L"SendToHttpServerWithComputerName", 1, nullptr, 1},
    {207, L"PopupBalloonWhenRebootBrowserRequired", 0, nullptr, 0},
    {208, L"ClientConsoleExportSelectedLogOnly", 0, nullptr, 0},
    {209, L"DisablePopupAskRebootForDlpDriverWhenUpgrade", 0, nullptr, 0},
    {210, L"SetVeltraRegPowerMonitorTimeValue", 0, nullptr, 0},
    {211, L"TryReplaceVeltraDriverOnReboot", 0, nullptr, 0},
    {212, L"SupportDLPDCMobileStorageReadOnly", 0, nullptr, 0},
    {213, L"EnableSableUINotifySettingReadOnly", 0, nullptr, 0},
    {214, L"EnableSableUINotifySettingSKBSSSync", 0, nullptr, 0},
    {215, L"ShowBalloonWhenBlockHTTP2", 0, nullptr, 0},
    {216, L"EnablePFWAlertByLocal", 0, nullptr, 0},
    {217, L"DisplayDLPEnabledStatusOnWhenClcIsEnabled", 0, nullptr, 0},
    {218, L"EnableStartDlpAfterDlpUpdate", 0, nullptr, 0},
    {219, L"SeparateEmailInfectionChannel", 0, nullptr, 0},
    {220, L"ShowWdxntPFWTabWhenCvPfwNotRunning", 0, nullptr, 0},
    {221, L"NoQVRTCheckWhenScanServerListReceived", 0, nullptr, 0},
    {222, L"ShowRebootForURLSegmentLengthModification", 1, nullptr, 0},
    {223, L"BypassSetScanConfigRestrictFromFcSable", 0, nullptr, 0},
    {224, L"BypassTrustProgramListVerification", 0, nullptr, 1},
    {225, L"RedirectSOUrlEventsToWRS", 0, nullptr, 0},
    {226, L"ShowLogonlySORecordsOnAgentConsole", 0, nullptr, 0},
    {227, L"ControlAllSOAlertsBySingleSwitch", 0, nullptr, 0},
    {228, L"ForciblyDisableWindowsDefender", 1, nullptr, 0},
    {229, L"AllowVELTRADriverRollback", 0, nullptr, 0},
    {230, L"RollbackHiddenKeyIfNotInBrixIni", 1, nullptr, 0},
    {231, L"DecProgramInformationByRegisterKey", 0, nullptr, 0},
    {232, L"SaveMostCompatibleUninstallPassword", 0, nullptr, 0},
    {233, L"EnableDC", 0, nullptr, 0},
    {234, L"EnableAggresiveScan", 0, nullptr, 0},
    {235, L"DisplayProductUpdateNotification", 0, nullptr, 0},
    {236, L"ShowHotfixHistoryOnlyifSameVersion", 0, nullptr, 0},
    {237, L"EncryptExceptionSettings", 0, nullptr, 0},
};

}  // namespace

CConfigureKey::CConfigureKey(const wchar_t* pwszKeyName, DWORD dwDefaultValue, PFN_UPDATE_CALLBACK pfnUpdateCallback,
                             BYTE byBastionClient)
    : m_wstrKeyName(pwszKeyName ? pwszKeyName : L""), m_dwDefaultValue(dwDefaultValue),
      m_pfnUpdateCallback(pfnUpdateCallback), m_byBastionClient(byBastionClient)
{
}

CConfigureKey::~CConfigureKey() = default;

CConfigureContainer::CConfigureContainer()
{
    LOG_SCOPEA("BrixIntegration::CConfigureContainer::CConfigureContainer");
    Initialize();
}

CConfigureContainer::~CConfigureContainer()
{
    LOG_SCOPEA("BrixIntegration::CConfigureContainer::~CConfigureContainer");
    CConfigureContainer::DeInitialize();
}

int CConfigureContainer::Initialize()
{
    LOG_SCOPEA("BrixIntegration::CConfigureContainer::Initialize");
    return Load(kConfigureTable, std::size(kConfigureTable));
}

int CConfigureContainer::DeInitialize()
{
    LOG_SCOPEA("BrixIntegration::CConfigureContainer::DeInitialize");
    m_mapConfigure.clear();
    return 1;
}

const CConfigureKey* CConfigureContainer::Find(int nId) const
{
    const auto it = m_mapConfigure.find(nId);
    return it == m_mapConfigure.end() ? nullptr : &it->second;
}

int CConfigureContainer::Load(const CConfigureRow* rows, size_t count)
{
    m_mapConfigure.clear();
    try {
        for (size_t i = 0; i < count; ++i) {
            const CConfigureRow& row = rows[i];
            m_mapConfigure.emplace(row.nId, CConfigureKey(row.pwszKeyName, row.dwDefaultValue, row.pfnUpdateCallback,
                                                          row.byBastionClient));
        }
    } catch (const std::exception& e) {
        // A half-built table would answer some switches and not others.
        m_mapConfigure.clear();
        LOGA(LOG_LEVEL_E, "%s - %s", "BrixIntegration::CConfigureContainer::Initialize", e.what());
        return 0;
    }
    return 1;
}

}  // namespace BrixIntegration
