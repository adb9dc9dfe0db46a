// Language selection for the UI profile document: the table of Windows
// locales and their language tags, and the set of tags this system has
// installed.
#pragma once

#include <windows.h>

#include <map>
#include <string>

struct LangInfo {
    LCID lcid;
    const wchar_t* tag;
};

constexpr size_t kLangInfoCount = 134;
// Locale identifiers and the tag that stands for each; several share a tag.
extern const LangInfo g_langinfo[kLangInfoCount];

// Tags of the table rows whose LCID is an installed locale, each mapped to 1.
// Filled once by EnsureInstalledLanguages (never emptied); read it through
// IsInstalledLanguage.
extern std::map<std::wstring, UINT32> g_langinfo_StringToInt;

// Fills g_langinfo_StringToInt from the installed system locales when it is empty.
void EnsureInstalledLanguages();
// Whether `tag` (exact comparison) is in g_langinfo_StringToInt.
bool IsInstalledLanguage(const std::wstring& tag);
// EnumSystemLocalesW callback: adds the tags of the locale given as
// hexadecimal text. Always TRUE.
BOOL CALLBACK EnumLocalesProc(LPWSTR lpLocaleString);

// The tag for a "def_locale" of the global settings file ("en", "kr", ...;
// case ignored); "EN-US" for anything else or null.
const wchar_t* GlobalSettingsDefaultLang(const char* defLocale);

// Language resource libraries: the variant of a base library ("X.DLL" ->
// "X_de.DLL") for the system's (nLangSource 1) or the user's language, of the
// same major and minor version as the base (or `reference`); then English;
// then the base. Every load is issuer-checked; a refused variant gives null.
HMODULE LoadLibrary_MultiLang(const char* path, int nLangSource);
HMODULE LoadLibrary_MultiLangW(const wchar_t* path, int nLangSource, const wchar_t* reference);
// Outside the NT family: no version test, no issuer check.
HMODULE LoadLibrary_MultiLangA(const char* path);
// The language of the file's first version translation, or of the agent's
// "wdxntres.dll" when the file has none; 0 when unknown.
LANGID GetProductLangIdW(const wchar_t* path);
LANGID GetProductLangIdA(const char* path);

struct LangSuffix {
    LANGID langId;
    const char* suffix;
};
extern const LangSuffix g_langSuffixExact[24];
extern const LangSuffix g_langSuffixPrimary[15];

namespace CvMultiLangTestHooks {
// Replaces GetSystemDefaultLangID and GetUserDefaultLangID; 0 restores them.
void SetLanguages(LANGID system, LANGID user);
}  // namespace CvMultiLangTestHooks
