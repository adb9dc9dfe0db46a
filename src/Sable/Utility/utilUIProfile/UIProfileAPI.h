// The UI profile XML ("UIProfile.cfg") read into plain records, and released.
#pragma once

#include <windows.h>

#include <tinyxml.h>

constexpr int WDXNTMON_UI_MAX_SUPPORTED_LANG = 20;
constexpr int WDXNTMON_UI_LANG_SIZE = 10;           // 9 characters and a terminator
constexpr int WDXNTMON_UI_LOCALE_NAME_SIZE = 100;   // 99 characters and a terminator
constexpr int WDXNTMON_UI_BALLOON_TEXT_SIZE = 257;  // 256 characters and a terminator

// Records are zero-filled when created, owned by the root record and released
// only by WDXNTMON_UI_DestroyDocument. Texts are narrow, as they stand in the
// file, cut to fit their arrays. Lists keep document order.

struct WDXNTMON_UI_LOCALE_MAPPING {
    int nLcid;
    char szLocaleName[WDXNTMON_UI_LOCALE_NAME_SIZE];
    WDXNTMON_UI_LOCALE_MAPPING* pNext;
};

struct WDXNTMON_UI_GLOBAL_SETTING {
    char szSupportedLang[WDXNTMON_UI_MAX_SUPPORTED_LANG][WDXNTMON_UI_LANG_SIZE];
    char szDefLocale[WDXNTMON_UI_LANG_SIZE];
    int nDefLcid;
    WDXNTMON_UI_LOCALE_MAPPING* pLocaleMappingList;
    BYTE byFlag;  // 1 once created; not read here
};

struct WDXNTMON_UI_BALLOON {
    int nId;
    wchar_t wszTitle[WDXNTMON_UI_BALLOON_TEXT_SIZE];    // empty after parsing; filled from the string table
    wchar_t wszContent[WDXNTMON_UI_BALLOON_TEXT_SIZE];  // likewise
    int nIconId;
    int nTimeout;
    bool bEnabled;
    WDXNTMON_UI_BALLOON* pNext;
};

struct WDXNTMON_UI_FEATURE_INFO {
    int nId;
    char szDefLocale[WDXNTMON_UI_LANG_SIZE];
    WDXNTMON_UI_BALLOON* pBalloonList;
    WDXNTMON_UI_FEATURE_INFO* pNext;
};

struct WDXNTMON_UI_DOCUMENT {
    WDXNTMON_UI_GLOBAL_SETTING* pGlobalSetting;
    WDXNTMON_UI_FEATURE_INFO* pFeatureList;
    void* pReserved;  // never set by the parser; released with free() when set
};

// Parses the profile at `path` into *slot. Returns 1 on success (*slot is null
// when the file has no "uifrmwrk_info" element) and 0 when the arguments are
// null or the file cannot be opened or parsed; *slot is then left as it was.
// Does not release what *slot held: destroy it first.
int WDXNTMON_UI_Deserialize(WDXNTMON_UI_DOCUMENT** slot, const wchar_t* path);

// Releases the document in *slot and sets *slot to null. Returns 1 (also for
// an empty slot), 0 when `slot` is null.
int WDXNTMON_UI_DestroyDocument(WDXNTMON_UI_DOCUMENT** slot);

// Loads an XML file into `doc` through _wfopen_s, in `encoding`, refusing
// files that TinyXML cannot take safely (see UIProfileScan.h). On failure
// doc.Error() is set and false returned.
bool TiXmlLoadFile(TiXmlDocument& doc, const wchar_t* path, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
