// Language operations of CProfileDocument: the language decision, and the
// registration that copies the global settings' language lists into the UI
// profile.
#include "libCvMultiLang.h"

#include <vector>

#include "UIProfileAPI.h"
#include "libCvFileReplace.h"
#include "libCvProfileDocument.h"
#include "libCvProfileDocumentLog.h"
#include "mbwc_MBWC.h"
#include "oicm_ConfigureManager.h"
#include "tinyxml.h"
#include "ut_AgentRegistry.h"
#include "ut_Guarded.h"

using CLNUTIL::Guarded;

namespace {

constexpr LCID kEnglishLcid = 0x0409;  // the first row of g_langinfo
const wchar_t kEnglish[] = L"EN-US";
const wchar_t kMiscKey[] = KSX_AGENT_WIDEN(KSX_AGENT_ROOT_KEY) L"\\Misc.";
const wchar_t kGlobalSettingsName[] = L"Global_Ui_Setting.xml";
const wchar_t kProfileName[] = L"UIProfile.cfg";
const wchar_t kPristineProfileName[] = L"UIProfileOri.cfg";
constexpr DWORD kLangValueBytes = 60;  // "Lang": 29 characters and a terminator
constexpr int kMergeRetries = 3;

// Used when there is no profile document.
const wchar_t* const kBuiltInLanguages[] = {L"EN-US", L"DE-DE", L"ES-ES", L"FR-FR", L"IT-IT", L"PL",
                                            L"RU",    L"TR",    L"ZH-TW", L"JA",    L"ZH-CN"};

bool EqualsNoCase(const std::wstring& a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// A tag names a folder below "i18n": letters, digits, "-" and "_" only, so a
// value set by hand cannot lead the string-table path elsewhere.
bool IsTagShaped(const std::wstring& tag)
{
    if (tag.empty())
        return false;
    for (wchar_t c : tag) {
        const bool ok =
            (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
        if (!ok)
            return false;
    }
    return true;
}

// Reads the display mode and, when manual language switching is on, the tag
// set by hand. What cannot be read stays 0 or empty.
void ReadLanguageSettings(const wchar_t* function, DWORD& mode, std::wstring& lang)
{
    UTIL::CUniqueHKey key;
    LONG rc = UTIL::OpenAgentHklmKey(kMiscKey, key);
    if (rc != ERROR_SUCCESS) {
        DOC_LOGW(LOG_LEVEL_E, L"%s - Open registry [%s] fail, err code [%d]", function, kMiscKey, static_cast<int>(rc));
        return;
    }
    rc = UTIL::ReadRegDword(key.get(), L"ClientUIDisplayMode", mode);
    if (rc != ERROR_SUCCESS)
        DOC_LOGW(LOG_LEVEL_E, L"%s - Query registry [%s] fail, error code [%d]", function, L"ClientUIDisplayMode",
                 static_cast<int>(rc));

    if (!BrixIntegration::CConfigureManager::GetInstance()->IsEnable(
            BrixIntegration::CConfigureId::ID_ENABLE_MANUAL_LANGUAGE_SWITCH))
        return;
    DOC_LOGW(LOG_LEVEL_D, L"%s - ID_ENABLE_MANUAL_LANGUAGE_SWITCH:[true]", function);
    std::wstring tag;
    rc = UTIL::ReadRegString(key.get(), L"Lang", kLangValueBytes, tag, UTIL::kRegStringAnyText);
    if (rc != ERROR_SUCCESS) {
        DOC_LOGW(LOG_LEVEL_E, L"%s - Query registry [%s] fail, error code [%d]", function, L"Lang",
                 static_cast<int>(rc));
        return;
    }
    // A value that fills the buffer without a terminator keeps 29 characters.
    if (tag.size() > kLangValueBytes / sizeof(wchar_t) - 1)
        tag.resize(kLangValueBytes / sizeof(wchar_t) - 1);
    if (!tag.empty() && !IsTagShaped(tag)) {
        DOC_LOGW(LOG_LEVEL_E, L"%s - Registry [%s] ignored, not a language tag: [%s]", function, L"Lang", tag.c_str());
        return;
    }
    lang.swap(tag);
}

// The tag for the default of the global settings file; "EN-US" when the
// file cannot be read.
std::wstring GlobalSettingsLanguage(const wchar_t* function, const std::wstring& appPath)
{
    const std::wstring path = ComposeProfilePath(appPath, kGlobalSettingsName);
    TiXmlDocument global;
    if (appPath.empty() || !TiXmlLoadFile(global, path.c_str())) {
        DOC_LOGW(LOG_LEVEL_D, L"%s - can not load XML [%s]", function, path.c_str());
        return kEnglish;
    }
    const TiXmlElement* supported =
        TiXmlHandle(&global).FirstChild("global_setting").FirstChildElement("supported_lang").ToElement();
    return GlobalSettingsDefaultLang(supported ? supported->Attribute("def_locale") : nullptr);
}

}  // namespace

LANGID CProfileDocument::UserDefaultUILanguage() const { return ::GetUserDefaultUILanguage(); }

int CProfileDocument::SyncLang(int bForce)
{
    const wchar_t* const name = L"CProfileDocument::SyncLang";
    if (!bForce && !m_bInitialized) {
        DOC_LOGW(LOG_LEVEL_D, L"%s - <<< Not initialized", name);
        return 0;
    }
    return Guarded(name, [&] {
        std::wstring lang;
        DWORD mode = 0;
        LCID lcid = 0;
        ReadLanguageSettings(name, mode, lang);
        // A tag set by hand is taken as it is, and counts as a change.
        if (!lang.empty()) {
            SetLang(lang, nullptr);
            return 1;
        }
        GetSysLang(lang, &lcid, mode == 1 || mode == 3, mode == 3);
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        const bool changed = lang != m_wstrNewLang;
        SetLang(lang, &lcid);
        return changed ? 1 : 0;
    });
}

void CProfileDocument::GetSysLang(std::wstring& lang, LCID* lcid, bool bAutoDetect, bool bEnglishOnly)
{
    const wchar_t* const name = L"CProfileDocument::GetSysLang";
    Guarded(name, [&] {
        {
            CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
            if (!m_pstDocument) {
                DOC_LOGW(LOG_LEVEL_D, L"%s - Failed on m_pstDocument is NULL", name);
                return 0;
            }
        }
        DOC_LOGW(LOG_LEVEL_D, L"%s - >>> Lang:[%s], AutoDetect:[%d]", name, lang.c_str(), bAutoDetect ? 1 : 0);
        if (bAutoDetect) {
            const LANGID display = UserDefaultUILanguage();
            DOC_LOGW(LOG_LEVEL_D, L"%s - GetUserDefaultUILanguage:[%d], GetUserDefaultLangID:[%d]", name,
                     static_cast<int>(display), static_cast<int>(::GetUserDefaultLangID()));
            {
                CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
                const WDXNTMON_UI_GLOBAL_SETTING* setting = m_pstDocument ? m_pstDocument->pGlobalSetting : nullptr;
                for (const WDXNTMON_UI_LOCALE_MAPPING* mapping = setting ? setting->pLocaleMappingList : nullptr;
                     mapping; mapping = mapping->pNext) {
                    if (mapping->nLcid == static_cast<int>(display)) {
                        MBWC::MBToWC(mapping->szLocaleName, lang, CP_ACP, 0);
                        if (lcid)
                            *lcid = display;
                        DOC_LOGW(LOG_LEVEL_D, L"%s - [GetSysLang] Set lcidLangID=[%d] and break.", name,
                                 static_cast<int>(display));
                        break;
                    }
                    DOC_LOGW(LOG_LEVEL_D, L"%s - Support LCID:[%d], LANG:[%S]", name, mapping->nLcid,
                             mapping->szLocaleName);
                }
            }
            if (!IsSupportedLang(lang)) {
                DOC_LOGW(LOG_LEVEL_D, L"%s - Not a supported language:[%s]", name, lang.c_str());
                lang.clear();
            }
        }
        if (lang.empty()) {
            if (bEnglishOnly) {
                lang = kEnglish;
            } else if (GetProductLanguageFromProfile(lang, lcid) != 1) {
                DOC_LOGW(LOG_LEVEL_D, L"%s - GetProductLanguageFromProfile fail", name);
                std::wstring appPath;
                GetAppPath(appPath);
                lang = GlobalSettingsLanguage(name, appPath);
                if (lcid)
                    *lcid = kEnglishLcid;
            }
        }
        DOC_LOGW(LOG_LEVEL_D, L"%s - <<< Lang:[%s], AutoDetect:[%d]", name, lang.c_str(), bAutoDetect ? 1 : 0);
        return 1;
    });
}

int CProfileDocument::IsSupportedLang(const std::wstring& lang)
{
    const wchar_t* const name = L"CProfileDocument::IsSupportedLang";
    return Guarded(name, [&] {
        DOC_LOGW(LOG_LEVEL_D, L"%s - >>>", name);
        std::vector<std::wstring> supported;
        if (GetSupportLanguageFromProfile(supported)) {
            for (const std::wstring& tag : supported)
                if (EqualsNoCase(lang, tag.c_str()))
                    return 1;
        } else {
            for (const wchar_t* tag : kBuiltInLanguages)
                if (EqualsNoCase(lang, tag))
                    return 1;
        }
        DOC_LOGW(LOG_LEVEL_D, L"%s - <<<", name);
        return 0;
    });
}

int CProfileDocument::GetSupportLanguageFromProfile(std::vector<std::wstring>& langs)
{
    const wchar_t* const name = L"CProfileDocument::GetSupportLanguageFromProfile";
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (!m_pstDocument) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - m_pstDocument is not initilized", name);
            return 0;
        }
        const WDXNTMON_UI_GLOBAL_SETTING* setting = m_pstDocument->pGlobalSetting;
        for (int i = 0; setting && i < WDXNTMON_UI_MAX_SUPPORTED_LANG; ++i) {
            std::wstring tag;
            MBWC::MBToWC(setting->szSupportedLang[i], tag, CP_ACP, 0);
            if (tag.empty())
                continue;
            DOC_LOGW(LOG_LEVEL_D, L"%s - Product supported Lang:[%s]", name, tag.c_str());
            if (IsInstalledLanguage(tag)) {
                langs.push_back(tag);
                DOC_LOGW(LOG_LEVEL_D, L"%s - language [%s] is support by system.", name, tag.c_str());
            } else {
                DOC_LOGW(LOG_LEVEL_W, L"%s - system Not support [%s] system.", name, tag.c_str());
            }
        }
        return 1;
    });
}

int CProfileDocument::GetProductLanguageFromProfile(std::wstring& lang, LCID* lcid)
{
    const wchar_t* const name = L"CProfileDocument::GetProductLanguageFromProfile";
    lang.clear();
    return Guarded(name, [&] {
        int defLcid = 0;
        std::string defLocale;
        bool document = false;
        {
            CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
            if (m_pstDocument) {
                document = true;
                if (const WDXNTMON_UI_GLOBAL_SETTING* setting = m_pstDocument->pGlobalSetting) {
                    defLcid = setting->nDefLcid;
                    defLocale = setting->szDefLocale;
                }
            }
        }
        if (!document) {
            DOC_LOGW(LOG_LEVEL_E, L"%s - m_pstDocument is not initialized", name);
        } else if (defLcid != 0 && ::IsValidLocale(static_cast<LCID>(defLcid), LCID_INSTALLED)) {
            MBWC::MBToWC(defLocale.c_str(), lang, CP_ACP, 0);
            DOC_LOGW(LOG_LEVEL_D, L"%s - OS Support LCID:[%d]", name, defLcid);
        } else {
            DOC_LOGW(LOG_LEVEL_D, L"%s - Not OS Support LCID:[%d]", name, defLcid);
        }
        DOC_LOGW(LOG_LEVEL_D, L"%s - LOCALE_NAME:[%s], LCID:[%d]", name, lang.c_str(), defLcid);
        if (lang.empty())
            return 0;
        if (lcid)
            *lcid = static_cast<LCID>(defLcid);
        return 1;
    });
}

void CProfileDocument::SetLang(const std::wstring& lang, const LCID* lcid)
{
    CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
    m_wstrNewLang = lang;
    if (lcid)
        m_nNewLangID = *lcid;
    DOC_LOGW(LOG_LEVEL_D, L"%s - m_wstrNewLang = %s, m_nNewLangID = %d", L"CProfileDocument::SetLang",
             m_wstrNewLang.c_str(), static_cast<int>(m_nNewLangID));
}

void CProfileDocument::GetLang(std::wstring& lang, LCID* lcid)
{
    const wchar_t* const name = L"CProfileDocument::GetLang";
    DOC_LOGW(LOG_LEVEL_D, L"%s - >>>", name);
    bool empty;
    {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        empty = m_wstrNewLang.empty();
    }
    if (empty)
        SyncLang(0);
    CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
    lang = m_wstrNewLang;
    if (lcid) {
        *lcid = m_nNewLangID;
        DOC_LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s, lcidLangID = %d", name, lang.c_str(), static_cast<int>(*lcid));
    } else {
        DOC_LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s", name, lang.c_str());
    }
}

int CProfileDocument::RegUiProfileAction()
{
    const wchar_t* const name = L"CProfileDocument::RegUiProfileAction";
    return Guarded(name, [&] {
        std::wstring appPath;
        if (!GetAppPath(appPath))
            return 0;
        const std::wstring globalPath = ComposeProfilePath(appPath, kGlobalSettingsName);
        DOC_LOGW(LOG_LEVEL_D, L"%s - Register profile from %s", name, globalPath.c_str());
        TiXmlDocument global;
        if (!TiXmlLoadFile(global, globalPath.c_str())) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can not load XML [%s]", name, globalPath.c_str());
            return 0;
        }
        if (!global.RootElement()) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can't get root element in %s", name, globalPath.c_str());
            return 0;
        }
        const std::wstring profilePath = ComposeProfilePath(appPath, kProfileName);
        int result = SetLocaleMappingList(global, profilePath);
        // Each retry starts again from the pristine copy; one that succeeds
        // counts as success.
        const std::wstring pristinePath = ComposeProfilePath(appPath, kPristineProfileName);
        for (int attempt = 1; !result && attempt <= kMergeRetries; ++attempt) {
            DOC_LOGW(LOG_LEVEL_E, L"%s - SetLocaleMappingList fail %d times", name, attempt);
            if (!CopyReplacing(pristinePath, profilePath))
                DOC_LOGW(LOG_LEVEL_E, L"%s - CopyFile %s to %s fail: %d", name, pristinePath.c_str(),
                         profilePath.c_str(), static_cast<int>(::GetLastError()));
            result = SetLocaleMappingList(global, profilePath);
        }
        DOC_LOGW(LOG_LEVEL_D, L"%s - return=%d", name, result);
        return result;
    });
}

int CProfileDocument::SetLocaleMappingList(const TiXmlDocument& globalSettings, const std::wstring& profilePath)
{
    const wchar_t* const name = L"CProfileDocument::SetLocaleMappingList";
    return Guarded(name, [&] {
        const TiXmlElement* globalRoot = globalSettings.FirstChildElement("global_setting");
        const TiXmlElement* supported = globalRoot ? globalRoot->FirstChildElement("supported_lang") : nullptr;
        const TiXmlElement* mappings = globalRoot ? globalRoot->FirstChildElement("locale_mapping_list") : nullptr;

        TiXmlDocument profile;
        if (!TiXmlLoadFile(profile, profilePath.c_str(), TIXML_ENCODING_UTF8)) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can't load %s", name, profilePath.c_str());
            return 0;
        }
        TiXmlElement* setting =
            TiXmlHandle(&profile).FirstChildElement("uifrmwrk_info").FirstChildElement("global_setting").ToElement();
        if (!setting) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can't find global_setting node", name);
            return 0;
        }
        TiXmlNode* ownSupported = setting->FirstChild("supported_lang");
        if (!ownSupported) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can't find supported_lang node", name);
            return 0;
        }
        TiXmlNode* ownMappings = setting->FirstChild("locale_mapping_list");
        if (!ownMappings) {
            DOC_LOGW(LOG_LEVEL_D, L"%s - can't find locale_mapping_list node", name);
            return 0;
        }
        // A list that the global settings lack stays as the profile has it.
        if (supported)
            setting->RemoveChild(ownSupported);
        if (mappings)
            setting->RemoveChild(ownMappings);
        if (supported)
            setting->InsertEndChild(*supported);
        if (mappings)
            setting->InsertEndChild(*mappings);
        // The folder may be read-only for the user: the profile then stays as
        // it is on disk and is parsed as such.
        if (!SaveXmlReplacing(profile, profilePath))
            DOC_LOGW(LOG_LEVEL_E, L"%s - failed to save UIProfile, error code:[%d]", name,
                     static_cast<int>(::GetLastError()));
        return 1;
    });
}
