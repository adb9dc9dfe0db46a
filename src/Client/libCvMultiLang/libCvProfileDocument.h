// The agent's UI profile: the parsed profile XML, the current display language
// and the per-language string tables its texts are read from.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "UIProfileAPI.h"
#include "ut_Lock.h"

// The texts last applied to one feature's balloons.
struct FeatureL10nState {
    std::wstring wstrAppliedLang;          // language of those texts
    FILETIME ftAppliedLastWrite = {0, 0};  // string table's last write then; zero when never
};

// Process-wide; reach it through GetInstance. A client calls GetInstance,
// SyncLang(0), then GetL10nString for each text it needs.
class CProfileDocument {
public:
    // The instance, initialised on demand (never null). Registration and a
    // failed Initialize are tried again at the next call.
    static CProfileDocument* GetInstance();

    int Initialize();
    // Re-parses the profile when its file is newer and re-applies balloon
    // texts when the language or a string table changed. Without bForce,
    // refused (0) until initialised.
    int Reload(int bForce);
    int ReloadDocument();
    int ReloadL10n();

    // Reads `key` of `section` from the current language's string table, with
    // the escapes undone. 1 when the table was consulted (value empty when the
    // table, section or key is missing); 0 before initialisation (value left
    // untouched) or without an installation folder.
    int GetL10nString(const std::wstring& section, const std::wstring& key, std::wstring& value);
    // The agent's installation folder, ending in "\"; empty and 0 when unknown.
    int GetAppPath(std::wstring& path);

    // Fills the title and body of each balloon of the list from `l10nPath`.
    void ApplyL10NKit(const std::wstring& l10nPath, WDXNTMON_UI_BALLOON* balloon);
    int ReloadL10nHelper(const std::wstring& l10nPath, WDXNTMON_UI_FEATURE_INFO* feature);

    // Language selection and registration (libCvMultiLang.cpp).
    // Decides the language: "Lang" set by hand (when manual switching is on),
    // else the user's display language (display modes 1 and 3), else the
    // profile's default, else the global settings' default. 1 when the
    // language came from "Lang" or changed; without bForce, 0 until initialised.
    int SyncLang(int bForce);
    // Fills an empty `lang` (and `lcid` when given) from the display language
    // when bAutoDetect, then "EN-US" when bEnglishOnly, else from the profile's
    // default, else from the global settings file. No document: no change.
    void GetSysLang(std::wstring& lang, LCID* lcid, bool bAutoDetect, bool bEnglishOnly);
    // Whether `lang` is one of the supported languages (case ignored): the
    // profile's that the system has installed, or a built-in list without a profile.
    int IsSupportedLang(const std::wstring& lang);
    // Appends the profile's languages that the system has installed; 0 without a document.
    int GetSupportLanguageFromProfile(std::vector<std::wstring>& langs);
    // The profile's default language when its LCID is an installed locale; 1 when found.
    int GetProductLanguageFromProfile(std::wstring& lang, LCID* lcid);
    void SetLang(const std::wstring& lang, const LCID* lcid);
    void GetLang(std::wstring& lang, LCID* lcid);
    // Copies the language lists of the global settings file into the UI
    // profile before its first parse; a failed merge is retried up to three
    // times on the pristine copy. 1 when a merge succeeded.
    int RegUiProfileAction();
    // Replaces the profile's "supported_lang" and "locale_mapping_list" with
    // those of `globalSettings` (one it lacks stays) and saves the profile
    // through a file beside it. 0 when the profile cannot be
    // read or lacks either list; a failed save is logged, the profile on disk
    // left intact, and the result stays 1.
    int SetLocaleMappingList(const TiXmlDocument& globalSettings, const std::wstring& profilePath);

    // The parsed profile (may be null); valid until the next reload.
    const WDXNTMON_UI_DOCUMENT* GetDocument() const { return m_pstDocument; }
    int IsInitialized() const { return m_bInitialized.load(); }

protected:
    CProfileDocument();
    virtual ~CProfileDocument();
    CProfileDocument(const CProfileDocument&) = delete;
    CProfileDocument& operator=(const CProfileDocument&) = delete;

    // GetInstance's part after construction: registration, then Initialize,
    // until both have succeeded. Runs under s_csInstance.
    void EnsureInitialized();

    // The user's display language (GetUserDefaultUILanguage).
    virtual LANGID UserDefaultUILanguage() const;

private:
    WDXNTMON_UI_DOCUMENT* m_pstDocument = nullptr;
    std::map<UINT32, FeatureL10nState> m_mapFeatureL10n;
    std::wstring m_wstrProfilePath;
    FILETIME m_ftProfileLastWrite = {0, 0};
    std::atomic<LONG> m_bInitialized{0};
    std::wstring m_wstrAppPath;
    std::wstring m_wstrNewProfilePath;
    std::wstring m_wstrNewLang;
    LCID m_nNewLangID = 0;
    LONG m_bDocumentReloaded = 0;
    std::wstring m_wstrL10nPath;
    // Guards the language, the installation folder, the string-table path and
    // (for the length of a Reload) the document and m_mapFeatureL10n. Never
    // held while a string table is read for GetL10nString.
    CLNUTIL::CCriticalSection m_csLock;

    static CProfileDocument* s_pInstance;
    static CLNUTIL::CCriticalSection s_csInstance;
    static LONG s_nRegisterResult;
};

// "<app>www\1600\<fileName>"
std::wstring ComposeProfilePath(const std::wstring& appPath, const wchar_t* fileName);
// "<app>www\1600\i18n\<lang>\UIStringTable.ini"; the tag is used as given.
std::wstring ComposeL10nPath(const std::wstring& appPath, const std::wstring& lang);

// Reads a string-table value (at most 519 characters) and undoes its escapes.
void GetEscapeValue(const std::wstring& l10nPath, const std::wstring& section, const std::wstring& key,
                    const std::wstring& defaultValue, std::wstring& value);
// Undoes the string-table escapes, left to right: "\n" becomes a line feed,
// "\\" one backslash; any other backslash stays.
void UnescapeL10nText(std::wstring& text);
// The file's last-write time; 1 on success, else 0 with `time` untouched.
int GetLastWriteTime(const std::wstring& path, FILETIME* time);
