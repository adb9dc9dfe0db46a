// The table of Windows locales and their language tags, the set of tags this
// system has installed, and the tags the global settings' defaults stand for.
#include "libCvMultiLang.h"

#include <wchar.h>

#include "libCvProfileDocumentLog.h"
#include "ut_Guarded.h"
#include "ut_Lock.h"

const LangInfo g_langinfo[kLangInfoCount] = {
    {0x0409, L"EN-US"}, {0x0C09, L"EN-US"}, {0x2809, L"EN-US"}, {0x1009, L"EN-US"}, {0x2409, L"EN-US"},
    {0x1809, L"EN-US"}, {0x2009, L"EN-US"}, {0x1409, L"EN-US"}, {0x3409, L"EN-US"}, {0x1C09, L"EN-US"},
    {0x2C09, L"EN-US"}, {0x0809, L"EN-US"}, {0x083C, L"EN-US"}, {0x043C, L"EN-US"}, {0x0426, L"EN-US"},
    {0x0427, L"EN-US"}, {0x042F, L"EN-US"}, {0x043E, L"EN-US"}, {0x083E, L"EN-US"}, {0x043A, L"EN-US"},
    {0x044E, L"EN-US"}, {0x0417, L"EN-US"}, {0x0418, L"EN-US"}, {0x0818, L"EN-US"}, {0x0436, L"AF"},
    {0x041C, L"SQ"},    {0x3801, L"AR"},    {0x3C01, L"AR"},    {0x1401, L"AR"},    {0x0C01, L"AR"},
    {0x0801, L"AR"},    {0x2C01, L"AR"},    {0x3401, L"AR"},    {0x3001, L"AR"},    {0x1001, L"AR"},
    {0x1801, L"AR"},    {0x2001, L"AR"},    {0x4001, L"AR"},    {0x0401, L"AR"},    {0x2801, L"AR"},
    {0x1C01, L"AR"},    {0x2401, L"AR"},    {0x042B, L"HY"},    {0x042C, L"AZ"},    {0x082C, L"AZ"},
    {0x042D, L"EU"},    {0x0423, L"BE"},    {0x0402, L"BG"},    {0x0403, L"CA"},    {0x0804, L"ZH-CN"},
    {0x1004, L"ZH-CN"}, {0x0C04, L"ZH-TW"}, {0x1404, L"ZH-TW"}, {0x0404, L"ZH-TW"}, {0x041A, L"HR"},
    {0x0405, L"CS"},    {0x0406, L"DA-DK"}, {0x0413, L"NL-NL"}, {0x0813, L"NL-NL"}, {0x0425, L"ET"},
    {0x0429, L"FA"},    {0x040B, L"FI"},    {0x0438, L"FO"},    {0x040C, L"FR-FR"}, {0x080C, L"FR-FR"},
    {0x0C0C, L"FR-CA"}, {0x140C, L"FR"},    {0x100C, L"FR"},    {0x0407, L"DE-DE"}, {0x0C07, L"DE-DE"},
    {0x1407, L"DE-DE"}, {0x1007, L"DE-DE"}, {0x0807, L"DE-DE"}, {0x0408, L"EL"},    {0x040D, L"HE"},
    {0x0439, L"HI"},    {0x040E, L"HU"},    {0x040F, L"IS"},    {0x0421, L"ID"},    {0x0410, L"IT-IT"},
    {0x0810, L"IT-IT"}, {0x0411, L"JA"},    {0x0412, L"KO-KR"}, {0x0414, L"NB-NO"}, {0x0814, L"NO"},
    {0x0415, L"PL"},    {0x0816, L"PT"},    {0x0416, L"PT-BR"}, {0x0419, L"RU-RU"}, {0x0819, L"RU"},
    {0x044F, L"SA"},    {0x0C1A, L"SR"},    {0x081A, L"SR"},    {0x0432, L"TN"},    {0x0424, L"SL"},
    {0x041B, L"SK"},    {0x042E, L"SB"},    {0x0C0A, L"ES-ES"}, {0x040A, L"ES-ES"}, {0x2C0A, L"ES-ES"},
    {0x400A, L"ES-ES"}, {0x340A, L"ES-ES"}, {0x240A, L"ES-ES"}, {0x140A, L"ES-ES"}, {0x1C0A, L"ES-ES"},
    {0x300A, L"ES-ES"}, {0x100A, L"ES-ES"}, {0x480A, L"ES-ES"}, {0x080A, L"ES-ES"}, {0x4C0A, L"ES-ES"},
    {0x180A, L"ES-ES"}, {0x280A, L"ES-ES"}, {0x500A, L"ES-ES"}, {0x3C0A, L"ES-ES"}, {0x440A, L"ES-ES"},
    {0x380A, L"ES-ES"}, {0x200A, L"ES-ES"}, {0x0430, L"ST"},    {0x0441, L"SW"},    {0x041D, L"SV-SE"},
    {0x081D, L"SV-SE"}, {0x0449, L"TA"},    {0x0444, L"TT"},    {0x041E, L"TH-TH"}, {0x041F, L"TR"},
    {0x0431, L"TS"},    {0x0422, L"UK"},    {0x0420, L"UR"},    {0x0843, L"UZ"},    {0x0443, L"UZ"},
    {0x042A, L"VI"},    {0x0434, L"XH"},    {0x043D, L"YI"},    {0x0435, L"ZU"},
};

std::map<std::wstring, UINT32> g_langinfo_StringToInt;

namespace {

const wchar_t kEnglish[] = L"EN-US";

// "def_locale" of the global settings file, and the tag it stands for.
const struct {
    const char* defLocale;
    const wchar_t* tag;
} kGlobalDefaultLocales[] = {
    {"en", L"EN-US"}, {"zh_tw", L"ZH-TW"}, {"ja", L"JA"},    {"zh_cn", L"ZH-CN"}, {"es", L"ES-ES"},
    {"fr", L"FR-FR"}, {"kr", L"KO-KR"},    {"de", L"DE-DE"}, {"it", L"IT-IT"},    {"ru", L"RU"},
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

}  // namespace

void EnsureInstalledLanguages()
{
    CLNUTIL::CCriticalSectionSentry sentry(InstalledLanguagesLock());
    if (!g_langinfo_StringToInt.empty())
        return;
    if (!::EnumSystemLocalesW(EnumLocalesProc, LCID_INSTALLED))
        DOC_LOGW(LOG_LEVEL_E, L"%s - EnumSystemLocalesW failed: [%lu]", L"EnsureInstalledLanguages", ::GetLastError());
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
    CLNUTIL::Guarded(name, [&] {
        CLNUTIL::CCriticalSectionSentry sentry(InstalledLanguagesLock());
        for (const LangInfo& row : g_langinfo) {
            if (row.lcid != lcid)
                continue;
            g_langinfo_StringToInt.emplace(row.tag, 1);
            DOC_LOGW(LOG_LEVEL_D, L"%s - [EnumLocalesProc] Insert [%s] into g_langinfo_StringToInt.", name, row.tag);
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
