// Language operations of CProfileDocument: the language decision, and the
// registration that copies the global settings' language lists into the UI
// profile.
#include "libCvMultiLang.h"

#include <stdio.h>
#include <wchar.h>

#include <memory>
#include <vector>

#include "UIProfileAPI.h"
#include "ut_Guarded.h"
#include "libCvProfileDocument.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "oicm_ConfigureManager.h"
#include "tinyxml.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

using CLNUTIL::Guarded;

const LangInfo g_langinfo[kLangInfoCount] = {
    {0x0409, L"EN-US"}, {0x0C09, L"EN-US"}, {0x2809, L"EN-US"}, {0x1009, L"EN-US"}, {0x2409, L"EN-US"},
    {0x1809, L"EN-US"}, {0x2009, L"EN-US"}, {0x1409, L"EN-US"}, {0x3409, L"EN-US"}, {0x1C09, L"EN-US"},
    {0x2C09, L"EN-US"}, {0x0809, L"EN-US"}, {0x083C, L"EN-US"}, {0x043C, L"EN-US"}, {0x0426, L"EN-US"},
    {0x0427, L"EN-US"}, {0x042F, L"EN-US"}, {0x043E, L"EN-US"}, {0x083E, L"EN-US"}, {0x043A, L"EN-US"},
    {0x044E, L"EN-US"}, {0x0417, L"EN-US"}, {0x0418, L"EN-US"}, {0x0818, L"EN-US"},
    {0x0436, L"AF"},
    {0x041C, L"SQ"},
    {0x3801, L"AR"}, {0x3C01, L"AR"}, {0x1401, L"AR"}, {0x0C01, L"AR"}, {0x0801, L"AR"}, {0x2C01, L"AR"},
    {0x3401, L"AR"}, {0x3001, L"AR"}, {0x1001, L"AR"}, {0x1801, L"AR"}, {0x2001, L"AR"}, {0x4001, L"AR"},
    {0x0401, L"AR"}, {0x2801, L"AR"}, {0x1C01, L"AR"}, {0x2401, L"AR"},
    {0x042B, L"HY"},
    {0x042C, L"AZ"}, {0x082C, L"AZ"},
    {0x042D, L"EU"},
    {0x0423, L"BE"},
    {0x0402, L"BG"},
    {0x0403, L"CA"},
    {0x0804, L"ZH-CN"}, {0x1004, L"ZH-CN"},
    {0x0C04, L"ZH-TW"}, {0x1404, L"ZH-TW"}, {0x0404, L"ZH-TW"},
    {0x041A, L"HR"},
    {0x0405, L"CS"},
    {0x0406, L"DA-DK"},
    {0x0413, L"NL-NL"}, {0x0813, L"NL-NL"},
    {0x0425, L"ET"},
    {0x0429, L"FA"},
    {0x040B, L"FI"},
    {0x0438, L"FO"},
    {0x040C, L"FR-FR"}, {0x080C, L"FR-FR"},
    {0x0C0C, L"FR-CA"},
    {0x140C, L"FR"}, {0x100C, L"FR"},
    {0x0407, L"DE-DE"}, {0x0C07, L"DE-DE"}, {0x1407, L"DE-DE"}, {0x1007, L"DE-DE"}, {0x0807, L"DE-DE"},
    {0x0408, L"EL"},
    {0x040D, L"HE"},
    {0x0439, L"HI"},
    {0x040E, L"HU"},
    {0x040F, L"IS"},
    {0x0421, L"ID"},
    {0x0410, L"IT-IT"}, {0x0810, L"IT-IT"},
    {0x0411, L"JA"},
    {0x0412, L"KO-KR"},
    {0x0414, L"NB-NO"},
    {0x0814, L"NO"},
    {0x0415, L"PL"},
    {0x0816, L"PT"},
    {0x0416, L"PT-BR"},
    {0x0419, L"RU-RU"},
    {0x0819, L"RU"},
    {0x044F, L"SA"},
    {0x0C1A, L"SR"}, {0x081A, L"SR"},
    {0x0432, L"TN"},
    {0x0424, L"SL"},
    {0x041B, L"SK"},
    {0x042E, L"SB"},
    {0x0C0A, L"ES-ES"}, {0x040A, L"ES-ES"}, {0x2C0A, L"ES-ES"}, {0x400A, L"ES-ES"}, {0x340A, L"ES-ES"},
    {0x240A, L"ES-ES"}, {0x140A, L"ES-ES"}, {0x1C0A, L"ES-ES"}, {0x300A, L"ES-ES"}, {0x100A, L"ES-ES"},
    {0x480A, L"ES-ES"}, {0x080A, L"ES-ES"}, {0x4C0A, L"ES-ES"}, {0x180A, L"ES-ES"}, {0x280A, L"ES-ES"},
    {0x500A, L"ES-ES"}, {0x3C0A, L"ES-ES"}, {0x440A, L"ES-ES"}, {0x380A, L"ES-ES"}, {0x200A, L"ES-ES"},
    {0x0430, L"ST"},
    {0x0441, L"SW"},
    {0x041D, L"SV-SE"}, {0x081D, L"SV-SE"},
    {0x0449, L"TA"},
    {0x0444, L"TT"},
    {0x041E, L"TH-TH"},
    {0x041F, L"TR"},
    {0x0431, L"TS"},
    {0x0422, L"UK"},
    {0x0420, L"UR"},
    {0x0843, L"UZ"}, {0x0443, L"UZ"},
    {0x042A, L"VI"},
    {0x0434, L"XH"},
    {0x043D, L"YI"},
    {0x0435, L"ZU"},
};

std::map<std::wstring, UINT32> g_langinfo_StringToInt;

namespace {

constexpr LCID kEnglishLcid = 0x0409;  // the first row of g_langinfo
const wchar_t kEnglish[] = L"EN-US";
const wchar_t kMiscKey[] = L"SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion\\Misc.";
const wchar_t kGlobalSettingsName[] = L"Global_Ui_Setting.xml";
const wchar_t kProfileName[] = L"UIProfile.cfg";
const wchar_t kPristineProfileName[] = L"UIProfileOri.cfg";
constexpr DWORD kLangValueBytes = 60;  // "Lang": 29 characters and a terminator
constexpr int kMergeRetries = 3;

// Used when there is no profile document.
const wchar_t* const kBuiltInLanguages[] = {L"EN-US", L"DE-DE", L"ES-ES", L"FR-FR", L"IT-IT", L"PL",
                                            L"RU",    L"TR",    L"ZH-TW", L"JA",    L"ZH-CN"};

// "def_locale" of the global settings file, and the tag it stands for.
const struct {
    const char* defLocale;
    const wchar_t* tag;
} kGlobalDefaultLocales[] = {
    {"en", L"EN-US"}, {"zh_tw", L"ZH-TW"}, {"ja", L"JA"}, {"zh_cn", L"ZH-CN"}, {"es", L"ES-ES"},
    {"fr", L"FR-FR"}, {"kr", L"KO-KR"},    {"de", L"DE-DE"}, {"it", L"IT-IT"},   {"ru", L"RU"},
    {"pl", L"PL"},    {"tr", L"TR"},       {"cs", L"CS-CZ"},
};

CLNUTIL::CCriticalSection& InstalledLanguagesLock()
{
    static CLNUTIL::CCriticalSection s_cs;
    return s_cs;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsAsciiNoCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (AsciiLower(*a) != AsciiLower(*b))
            return false;
    return *a == *b;
}

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
        const bool ok = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                        c == L'-' || c == L'_';
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
    LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMiscKey, 0, UTIL::kAgentKeyAccess, key.put());
    if (rc != ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_E, L"%s - Open registry [%s] fail, err code [%d]", function, kMiscKey, static_cast<int>(rc));
        return;
    }
    DWORD value = 0;
    DWORD cb = sizeof(value);
    rc = ::RegQueryValueExW(key.get(), L"ClientUIDisplayMode", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                            &cb);
    if (rc != ERROR_SUCCESS)
        LOGW(LOG_LEVEL_E, L"%s - Query registry [%s] fail, error code [%d]", function, L"ClientUIDisplayMode",
             static_cast<int>(rc));
    else
        mode = value;

    if (!BrixIntegration::CConfigureManager::GetInstance()->IsEnable(
            BrixIntegration::CConfigureId::ID_ENABLE_MANUAL_LANGUAGE_SWITCH))
        return;
    LOGW(LOG_LEVEL_D, L"%s - ID_ENABLE_MANUAL_LANGUAGE_SWITCH:[true]", function);
    wchar_t buf[kLangValueBytes / sizeof(wchar_t)] = {};
    cb = kLangValueBytes;
    rc = ::RegQueryValueExW(key.get(), L"Lang", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
    if (rc != ERROR_SUCCESS) {
        LOGW(LOG_LEVEL_E, L"%s - Query registry [%s] fail, error code [%d]", function, L"Lang", static_cast<int>(rc));
        return;
    }
    // A value that fills the buffer without a terminator keeps 29 characters.
    buf[ARRAYSIZE(buf) - 1] = L'\0';
    std::wstring tag = buf;
    if (!tag.empty() && !IsTagShaped(tag)) {
        LOGW(LOG_LEVEL_E, L"%s - Registry [%s] ignored, not a language tag: [%s]", function, L"Lang", tag.c_str());
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
        LOGW(LOG_LEVEL_D, L"%s - can not load XML [%s]", function, path.c_str());
        return kEnglish;
    }
    const TiXmlElement* supported =
        TiXmlHandle(&global).FirstChild("global_setting").FirstChildElement("supported_lang").ToElement();
    return GlobalSettingsDefaultLang(supported ? supported->Attribute("def_locale") : nullptr);
}

// A new, uniquely named file in the folder of a target file; deleted unless
// it has been moved over the target. Keeps the thread's last error.
class CSiblingFile {
public:
    CSiblingFile() = default;
    ~CSiblingFile()
    {
        if (!m_path.empty()) {
            const DWORD saved = ::GetLastError();
            ::DeleteFileW(m_path.c_str());
            ::SetLastError(saved);
        }
    }
    CSiblingFile(const CSiblingFile&) = delete;
    CSiblingFile& operator=(const CSiblingFile&) = delete;

    bool Create(const std::wstring& target)
    {
        const size_t slash = target.find_last_of(L"\\/");
        const std::wstring folder = slash == std::wstring::npos ? std::wstring(L".") : target.substr(0, slash);
        wchar_t name[MAX_PATH] = {};
        if (!::GetTempFileNameW(folder.c_str(), L"uip", 0, name))
            return false;
        m_path = name;
        return true;
    }
    bool MoveOver(const std::wstring& target)
    {
        if (!::MoveFileExW(m_path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return false;
        m_path.clear();
        return true;
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

struct CFileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// Saves `doc` (TinyXML's formatting) into a new file and moves it over
// `path`, so a failed write leaves the file as it was. On failure the last
// error says why.
bool SaveXmlReplacing(const TiXmlDocument& doc, const std::wstring& path)
{
    CSiblingFile temp;
    if (!temp.Create(path))
        return false;
    FILE* raw = nullptr;
    if (_wfopen_s(&raw, temp.Path().c_str(), L"wb") != 0 || !raw) {
        if (::GetLastError() == ERROR_SUCCESS)
            ::SetLastError(ERROR_OPEN_FAILED);
        return false;
    }
    std::unique_ptr<FILE, CFileCloser> file(raw);
    const bool written = doc.SaveFile(file.get());
    if (fclose(file.release()) != 0 || !written) {
        if (::GetLastError() == ERROR_SUCCESS)
            ::SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return temp.MoveOver(path);
}

// Copies `source` over `target` through a file beside the target, so a
// failed copy leaves the target as it was.
bool CopyReplacing(const std::wstring& source, const std::wstring& target)
{
    CSiblingFile temp;
    return temp.Create(target) && ::CopyFileW(source.c_str(), temp.Path().c_str(), FALSE) && temp.MoveOver(target);
}

}  // namespace

void EnsureInstalledLanguages()
{
    CLNUTIL::CCriticalSectionSentry sentry(InstalledLanguagesLock());
    if (!g_langinfo_StringToInt.empty())
        return;
    if (!::EnumSystemLocalesW(EnumLocalesProc, LCID_INSTALLED))
        LOGW(LOG_LEVEL_E, L"%s - EnumSystemLocalesW failed: [%lu]", L"EnsureInstalledLanguages", ::GetLastError());
}

bool IsInstalledLanguage(const std::wstring& tag)
{
    CLNUTIL::CCriticalSectionSentry sentry(InstalledLanguagesLock());
    return g_langinfo_StringToInt.count(tag) != 0;
}

BOOL CALLBACK EnumLocalesProc(LPWSTR lpLocaleString)
{
    const wchar_t* const name = L"EnumLocalesProc";
    if (!lpLocaleString)
        return TRUE;
    const LCID lcid = wcstoul(lpLocaleString, nullptr, 16);
    wchar_t abbreviation[4] = {};
    if (!::GetLocaleInfoW(lcid, LOCALE_SABBREVLANGNAME, abbreviation, ARRAYSIZE(abbreviation)))
        return TRUE;
    // Nothing may escape into the enumeration.
    Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(InstalledLanguagesLock());
        for (const LangInfo& row : g_langinfo) {
            if (row.lcid != lcid)
                continue;
            g_langinfo_StringToInt.emplace(row.tag, 1);
            LOGW(LOG_LEVEL_D, L"%s - [EnumLocalesProc] Insert [%s] into g_langinfo_StringToInt.", name, row.tag);
        }
        return 1;
    });
    return TRUE;
}

const wchar_t* GlobalSettingsDefaultLang(const char* defLocale)
{
    if (defLocale)
        for (const auto& entry : kGlobalDefaultLocales)
            if (EqualsAsciiNoCase(defLocale, entry.defLocale))
                return entry.tag;
    return kEnglish;
}

LANGID CProfileDocument::UserDefaultUILanguage() const { return ::GetUserDefaultUILanguage(); }

int CProfileDocument::SyncLang(int bForce)
{
    const wchar_t* const name = L"CProfileDocument::SyncLang";
    if (!bForce && !m_bInitialized) {
        LOGW(LOG_LEVEL_D, L"%s - <<< Not initialized", name);
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
                LOGW(LOG_LEVEL_D, L"%s - Failed on m_pstDocument is NULL", name);
                return 0;
            }
        }
        LOGW(LOG_LEVEL_D, L"%s - >>> Lang:[%s], AutoDetect:[%d]", name, lang.c_str(), bAutoDetect ? 1 : 0);
        if (bAutoDetect) {
            const LANGID display = UserDefaultUILanguage();
            LOGW(LOG_LEVEL_D, L"%s - GetUserDefaultUILanguage:[%d], GetUserDefaultLangID:[%d]", name,
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
                        LOGW(LOG_LEVEL_D, L"%s - [GetSysLang] Set lcidLangID=[%d] and break.", name,
                             static_cast<int>(display));
                        break;
                    }
                    LOGW(LOG_LEVEL_D, L"%s - Support LCID:[%d], LANG:[%S]", name, mapping->nLcid,
                         mapping->szLocaleName);
                }
            }
            if (!IsSupportedLang(lang)) {
                LOGW(LOG_LEVEL_D, L"%s - Not a supported language:[%s]", name, lang.c_str());
                lang.clear();
            }
        }
        if (lang.empty()) {
            if (bEnglishOnly) {
                lang = kEnglish;
            } else if (GetProductLanguageFromProfile(lang, lcid) != 1) {
                LOGW(LOG_LEVEL_D, L"%s - GetProductLanguageFromProfile fail", name);
                std::wstring appPath;
                GetAppPath(appPath);
                lang = GlobalSettingsLanguage(name, appPath);
                if (lcid)
                    *lcid = kEnglishLcid;
            }
        }
        LOGW(LOG_LEVEL_D, L"%s - <<< Lang:[%s], AutoDetect:[%d]", name, lang.c_str(), bAutoDetect ? 1 : 0);
        return 1;
    });
}

int CProfileDocument::IsSupportedLang(const std::wstring& lang)
{
    const wchar_t* const name = L"CProfileDocument::IsSupportedLang";
    return Guarded(name, [&] {
        LOGW(LOG_LEVEL_D, L"%s - >>>", name);
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
        LOGW(LOG_LEVEL_D, L"%s - <<<", name);
        return 0;
    });
}

int CProfileDocument::GetSupportLanguageFromProfile(std::vector<std::wstring>& langs)
{
    const wchar_t* const name = L"CProfileDocument::GetSupportLanguageFromProfile";
    return Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(m_csLock);
        if (!m_pstDocument) {
            LOGW(LOG_LEVEL_D, L"%s - m_pstDocument is not initilized", name);
            return 0;
        }
        const WDXNTMON_UI_GLOBAL_SETTING* setting = m_pstDocument->pGlobalSetting;
        for (int i = 0; setting && i < WDXNTMON_UI_MAX_SUPPORTED_LANG; ++i) {
            std::wstring tag;
            MBWC::MBToWC(setting->szSupportedLang[i], tag, CP_ACP, 0);
            if (tag.empty())
                continue;
            LOGW(LOG_LEVEL_D, L"%s - Product supported Lang:[%s]", name, tag.c_str());
            if (IsInstalledLanguage(tag)) {
                langs.push_back(tag);
                LOGW(LOG_LEVEL_D, L"%s - language [%s] is support by system.", name, tag.c_str());
            } else {
                LOGW(LOG_LEVEL_W, L"%s - system Not support [%s] system.", name, tag.c_str());
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
            LOGW(LOG_LEVEL_E, L"%s - m_pstDocument is not initialized", name);
        } else if (defLcid != 0 && ::IsValidLocale(static_cast<LCID>(defLcid), LCID_INSTALLED)) {
            MBWC::MBToWC(defLocale.c_str(), lang, CP_ACP, 0);
            LOGW(LOG_LEVEL_D, L"%s - OS Support LCID:[%d]", name, defLcid);
        } else {
            LOGW(LOG_LEVEL_D, L"%s - Not OS Support LCID:[%d]", name, defLcid);
        }
        LOGW(LOG_LEVEL_D, L"%s - LOCALE_NAME:[%s], LCID:[%d]", name, lang.c_str(), defLcid);
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
    LOGW(LOG_LEVEL_D, L"%s - m_wstrNewLang = %s, m_nNewLangID = %d", L"CProfileDocument::SetLang",
         m_wstrNewLang.c_str(), static_cast<int>(m_nNewLangID));
}

void CProfileDocument::GetLang(std::wstring& lang, LCID* lcid)
{
    const wchar_t* const name = L"CProfileDocument::GetLang";
    LOGW(LOG_LEVEL_D, L"%s - >>>", name);
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
        LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s, lcidLangID = %d", name, lang.c_str(), static_cast<int>(*lcid));
    } else {
        LOGW(LOG_LEVEL_D, L"%s - <<< wstrLang = %s", name, lang.c_str());
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
        LOGW(LOG_LEVEL_D, L"%s - Register profile from %s", name, globalPath.c_str());
        TiXmlDocument global;
        if (!TiXmlLoadFile(global, globalPath.c_str())) {
            LOGW(LOG_LEVEL_D, L"%s - can not load XML [%s]", name, globalPath.c_str());
            return 0;
        }
        if (!global.RootElement()) {
            LOGW(LOG_LEVEL_D, L"%s - can't get root element in %s", name, globalPath.c_str());
            return 0;
        }
        const std::wstring profilePath = ComposeProfilePath(appPath, kProfileName);
        int result = SetLocaleMappingList(global, profilePath);
        // Each retry starts again from the pristine copy; one that succeeds
        // counts as success.
        const std::wstring pristinePath = ComposeProfilePath(appPath, kPristineProfileName);
        for (int attempt = 1; !result && attempt <= kMergeRetries; ++attempt) {
            LOGW(LOG_LEVEL_E, L"%s - SetLocaleMappingList fail %d times", name, attempt);
            if (!CopyReplacing(pristinePath, profilePath))
                LOGW(LOG_LEVEL_E, L"%s - CopyFile %s to %s fail: %d", name, pristinePath.c_str(), profilePath.c_str(),
                     static_cast<int>(::GetLastError()));
            result = SetLocaleMappingList(global, profilePath);
        }
        LOGW(LOG_LEVEL_D, L"%s - return=%d", name, result);
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
        if (!TiXmlLoadFile(profile, profilePath.c_str())) {
            LOGW(LOG_LEVEL_D, L"%s - can't load %s", name, profilePath.c_str());
            return 0;
        }
        TiXmlElement* setting =
            TiXmlHandle(&profile).FirstChildElement("uifrmwrk_info").FirstChildElement("global_setting").ToElement();
        if (!setting) {
            LOGW(LOG_LEVEL_D, L"%s - can't find global_setting node", name);
            return 0;
        }
        TiXmlNode* ownSupported = setting->FirstChild("supported_lang");
        if (!ownSupported) {
            LOGW(LOG_LEVEL_D, L"%s - can't find supported_lang node", name);
            return 0;
        }
        TiXmlNode* ownMappings = setting->FirstChild("locale_mapping_list");
        if (!ownMappings) {
            LOGW(LOG_LEVEL_D, L"%s - can't find locale_mapping_list node", name);
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
            LOGW(LOG_LEVEL_E, L"%s - failed to save UIProfile, error code:[%d]", name,
                 static_cast<int>(::GetLastError()));
        return 1;
    });
}
