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
