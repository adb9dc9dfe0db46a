#include "UIProfileAPI.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <climits>
#include <memory>
#include <new>
#include <vector>

#include "UIProfileScan.h"
#include "logcl_DebugLog.h"

namespace {

struct CFileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using CUniqueCFile = std::unique_ptr<FILE, CFileCloser>;

// ---------------------------------------------------------------------------
// Records

// atoi's reading (white space, sign, digits), saturating instead of overflowing.
int ReadInt(const char* s)
{
    if (!s)
        return 0;
    while (isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(v);
}

// Copies `src` into a fixed field, cut to fit with its terminator.
template <size_t N>
void CopyField(char (&dst)[N], const char* src)
{
    if (!src)
        src = "";
    const size_t n = strnlen(src, N - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void DestroyGlobalSetting(WDXNTMON_UI_GLOBAL_SETTING* setting)
{
    if (!setting)
        return;
    for (WDXNTMON_UI_LOCALE_MAPPING* m = setting->pLocaleMappingList; m;) {
        WDXNTMON_UI_LOCALE_MAPPING* next = m->pNext;
        delete m;
        m = next;
    }
    delete setting;
}

void DestroyRecords(WDXNTMON_UI_DOCUMENT* document)
{
    if (!document)
        return;
    for (WDXNTMON_UI_FEATURE_INFO* f = document->pFeatureList; f;) {
        for (WDXNTMON_UI_BALLOON* b = f->pBalloonList; b;) {
            WDXNTMON_UI_BALLOON* next = b->pNext;
            delete b;
            b = next;
        }
        WDXNTMON_UI_FEATURE_INFO* next = f->pNext;
        delete f;
        f = next;
    }
    DestroyGlobalSetting(document->pGlobalSetting);
    free(document->pReserved);
    delete document;
}

// ---------------------------------------------------------------------------
// The walk

class TiXmlProfileParser : public TiXmlVisitor {
public:
    TiXmlProfileParser();
    ~TiXmlProfileParser() override;
    TiXmlProfileParser(const TiXmlProfileParser&) = delete;
    TiXmlProfileParser& operator=(const TiXmlProfileParser&) = delete;

    bool VisitEnter(const TiXmlElement& element, const TiXmlAttribute* firstAttribute) override;
    bool VisitExit(const TiXmlElement& element) override;

    // Hands the built document to the caller.
    WDXNTMON_UI_DOCUMENT* DetachDocument()
    {
        WDXNTMON_UI_DOCUMENT* document = m_pDocument;
        m_pDocument = nullptr;
        return document;
    }

private:
    using Handler = bool (TiXmlProfileParser::*)(bool bEnter, const TiXmlElement& element,
                                                 const TiXmlAttribute* firstAttribute);
    struct TagNode {
        const char* name = "";
        Handler handler = nullptr;
        TagNode* firstChild = nullptr;
        TagNode* parent = nullptr;
        TagNode* next = nullptr;
    };
    enum class ERecord { Root, GlobalSetting, Feature, Balloon, LocaleMapping };
    // An open element's record, and the last record appended to its list.
    struct OpenRecord {
        ERecord kind;
        void* record;
        void* last;
    };

    TagNode* AddTag(TagNode* parent, const char* name, Handler handler);
    // The record on top of the stack when it is of `kind`, else null.
    OpenRecord* Top(ERecord kind);
    void Pop(ERecord kind);

    bool TagUiFrmwrkInfo(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagGlobalSetting(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagSupportedLang(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagLang(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagLocaleMapping(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagFeatureInfo(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);
    bool TagBalloon(bool bEnter, const TiXmlElement& element, const TiXmlAttribute* firstAttribute);

    WDXNTMON_UI_DOCUMENT* m_pDocument = nullptr;
    TagNode* m_pCurTag = nullptr;
    TagNode* m_pPrevTag = nullptr;
    std::vector<OpenRecord> m_vecRecordStack;
    int m_nLangCount = 0;
    std::array<TagNode, 10> m_tags;
    size_t m_nTags = 0;
};

TiXmlProfileParser::TiXmlProfileParser()
{
    TagNode* root = AddTag(nullptr, "", nullptr);
    TagNode* info = AddTag(root, "uifrmwrk_info", &TiXmlProfileParser::TagUiFrmwrkInfo);
    TagNode* global = AddTag(info, "global_setting", &TiXmlProfileParser::TagGlobalSetting);
    TagNode* supported = AddTag(global, "supported_lang", &TiXmlProfileParser::TagSupportedLang);
    AddTag(supported, "lang", &TiXmlProfileParser::TagLang);
    TagNode* mappings = AddTag(global, "locale_mapping_list", nullptr);
    AddTag(mappings, "locale_mapping", &TiXmlProfileParser::TagLocaleMapping);
    TagNode* feature = AddTag(info, "feature_info", &TiXmlProfileParser::TagFeatureInfo);
    TagNode* balloons = AddTag(feature, "balloons", nullptr);
    AddTag(balloons, "balloon", &TiXmlProfileParser::TagBalloon);
    m_pCurTag = root;
}

TiXmlProfileParser::~TiXmlProfileParser() { DestroyRecords(m_pDocument); }

TiXmlProfileParser::TagNode* TiXmlProfileParser::AddTag(TagNode* parent, const char* name, Handler handler)
{
    TagNode* node = &m_tags[m_nTags++];
    node->name = name;
    node->handler = handler;
    node->parent = parent;
    if (parent) {
        TagNode** link = &parent->firstChild;
        while (*link)
            link = &(*link)->next;
        *link = node;
    }
    return node;
}

TiXmlProfileParser::OpenRecord* TiXmlProfileParser::Top(ERecord kind)
{
    if (m_vecRecordStack.empty() || m_vecRecordStack.back().kind != kind)
        return nullptr;
    return &m_vecRecordStack.back();
}

// Pops only what entering pushed: an element whose record could not be made
// finds its parent's record on top.
void TiXmlProfileParser::Pop(ERecord kind)
{
    if (Top(kind))
        m_vecRecordStack.pop_back();
}

bool TiXmlProfileParser::VisitEnter(const TiXmlElement& element, const TiXmlAttribute* firstAttribute)
{
    m_pPrevTag = m_pCurTag;
    TagNode* child = m_pCurTag ? m_pCurTag->firstChild : nullptr;
    while (child && strcmp(child->name, element.Value()) != 0)
        child = child->next;
    m_pCurTag = child;
    if (!child)
        return false;  // not expected here: skipped with its contents
    if (child->handler)
        (this->*child->handler)(true, element, firstAttribute);
    return true;
}

bool TiXmlProfileParser::VisitExit(const TiXmlElement& element)
{
    if (!m_pCurTag) {
        m_pCurTag = m_pPrevTag;
        return true;
    }
    if (m_pCurTag->handler && strcmp(m_pCurTag->name, element.Value()) == 0)
        (this->*m_pCurTag->handler)(false, element, nullptr);
    m_pCurTag = m_pCurTag->parent;
    return true;
}

bool TiXmlProfileParser::TagUiFrmwrkInfo(bool bEnter, const TiXmlElement&, const TiXmlAttribute*)
{
    if (!bEnter) {
        Pop(ERecord::Root);
        return true;
    }
    // A second top-level "uifrmwrk_info" replaces the first.
    DestroyRecords(m_pDocument);
    m_vecRecordStack.clear();
    m_pDocument = new (std::nothrow) WDXNTMON_UI_DOCUMENT();
    if (!m_pDocument) {
        LOGW(LOG_LEVEL_E, L"%s - MEMORY ALLOCATION ERROR", L"TiXmlProfileParser::TagUiFrmwrkInfo");
        return false;
    }
    m_vecRecordStack.push_back({ERecord::Root, m_pDocument, nullptr});
    return true;
}

bool TiXmlProfileParser::TagGlobalSetting(bool bEnter, const TiXmlElement&, const TiXmlAttribute*)
{
    if (!bEnter) {
        Pop(ERecord::GlobalSetting);
        return true;
    }
    OpenRecord* top = Top(ERecord::Root);
    if (!top)
        return false;
    auto* setting = new (std::nothrow) WDXNTMON_UI_GLOBAL_SETTING();
    if (!setting) {
        LOGW(LOG_LEVEL_E, L"%s - MEMORY ALLOCATION ERROR", L"TiXmlProfileParser::TagGlobalSetting");
        return false;
    }
    setting->byFlag = 1;
    auto* document = static_cast<WDXNTMON_UI_DOCUMENT*>(top->record);
    // A second "global_setting" replaces the first, languages included.
    DestroyGlobalSetting(document->pGlobalSetting);
    document->pGlobalSetting = setting;
    m_nLangCount = 0;
    m_vecRecordStack.push_back({ERecord::GlobalSetting, setting, nullptr});
    return true;
}

bool TiXmlProfileParser::TagSupportedLang(bool bEnter, const TiXmlElement& element, const TiXmlAttribute*)
{
    OpenRecord* top = Top(ERecord::GlobalSetting);
    if (!bEnter || !top)
        return false;
    auto* setting = static_cast<WDXNTMON_UI_GLOBAL_SETTING*>(top->record);
    setting->nDefLcid = ReadInt(element.Attribute("def_lcid"));
    if (const char* locale = element.Attribute("def_locale"))
        CopyField(setting->szDefLocale, locale);
    LOGW(LOG_LEVEL_D, L"%s - lcid=%d, name= %S", L"TiXmlProfileParser::TagSupportedLang", setting->nDefLcid,
         setting->szDefLocale);
    return true;
}

bool TiXmlProfileParser::TagLang(bool bEnter, const TiXmlElement& element, const TiXmlAttribute*)
{
    OpenRecord* top = Top(ERecord::GlobalSetting);
    if (!bEnter || !top)
        return false;
    const char* text = element.GetText();
    if (!text || m_nLangCount >= WDXNTMON_UI_MAX_SUPPORTED_LANG)
        return false;
    auto* setting = static_cast<WDXNTMON_UI_GLOBAL_SETTING*>(top->record);
    CopyField(setting->szSupportedLang[m_nLangCount++], text);
    return true;
}

bool TiXmlProfileParser::TagLocaleMapping(bool bEnter, const TiXmlElement& element, const TiXmlAttribute*)
{
    if (!bEnter) {
        Pop(ERecord::LocaleMapping);
        return true;
    }
    OpenRecord* top = Top(ERecord::GlobalSetting);
    if (!top)
        return false;
    auto* mapping = new (std::nothrow) WDXNTMON_UI_LOCALE_MAPPING();
    if (!mapping) {
        LOGW(LOG_LEVEL_D, L"%s - MEMORY ALLOCATION ERROR", L"TiXmlProfileParser::TagLocaleMapping");
        return false;
    }
    auto* setting = static_cast<WDXNTMON_UI_GLOBAL_SETTING*>(top->record);
    if (top->last)
        static_cast<WDXNTMON_UI_LOCALE_MAPPING*>(top->last)->pNext = mapping;
    else
        setting->pLocaleMappingList = mapping;
    top->last = mapping;
    mapping->nLcid = ReadInt(element.Attribute("LCID"));
    if (const char* name = element.Attribute("LOCALE_NAME"))
        CopyField(mapping->szLocaleName, name);
    LOGW(LOG_LEVEL_D, L"%s - lcid=%d, name= %S", L"TiXmlProfileParser::TagLocaleMapping", mapping->nLcid,
         mapping->szLocaleName);
    m_vecRecordStack.push_back({ERecord::LocaleMapping, mapping, nullptr});
    return true;
}

bool TiXmlProfileParser::TagFeatureInfo(bool bEnter, const TiXmlElement& element, const TiXmlAttribute*)
{
    if (!bEnter) {
        Pop(ERecord::Feature);
        return true;
    }
    OpenRecord* top = Top(ERecord::Root);
    if (!top)
        return false;
    auto* feature = new (std::nothrow) WDXNTMON_UI_FEATURE_INFO();
    if (!feature) {
        LOGW(LOG_LEVEL_D, L"%s - MEMORY ALLOCATION ERROR", L"TiXmlProfileParser::TagFeatureInfo");
        return false;
    }
    auto* document = static_cast<WDXNTMON_UI_DOCUMENT*>(top->record);
    if (top->last)
        static_cast<WDXNTMON_UI_FEATURE_INFO*>(top->last)->pNext = feature;
    else
        document->pFeatureList = feature;
    top->last = feature;
    feature->nId = ReadInt(element.Attribute("id"));
    if (const char* locale = element.Attribute("def_locale"))
        CopyField(feature->szDefLocale, locale);
    m_vecRecordStack.push_back({ERecord::Feature, feature, nullptr});
    return true;
}

bool TiXmlProfileParser::TagBalloon(bool bEnter, const TiXmlElement& element, const TiXmlAttribute*)
{
    if (!bEnter) {
        Pop(ERecord::Balloon);
        return true;
    }
    OpenRecord* top = Top(ERecord::Feature);
    if (!top)
        return false;
    auto* balloon = new (std::nothrow) WDXNTMON_UI_BALLOON();
    if (!balloon) {
        LOGW(LOG_LEVEL_D, L"%s - MEMORY ALLOCATION ERROR", L"TiXmlProfileParser::TagBalloon");
        return false;
    }
    auto* feature = static_cast<WDXNTMON_UI_FEATURE_INFO*>(top->record);
    if (top->last)
        static_cast<WDXNTMON_UI_BALLOON*>(top->last)->pNext = balloon;
    else
        feature->pBalloonList = balloon;
    top->last = balloon;
    balloon->nId = ReadInt(element.Attribute("id"));
    balloon->nIconId = ReadInt(element.Attribute("icon_id"));
    balloon->nTimeout = ReadInt(element.Attribute("timeout"));
    balloon->bEnabled = ReadInt(element.Attribute("enabled")) != 0;
    m_vecRecordStack.push_back({ERecord::Balloon, balloon, nullptr});
    return true;
}

}  // namespace

bool TiXmlLoadFile(TiXmlDocument& doc, const wchar_t* path, TiXmlEncoding encoding)
{
    FILE* raw = nullptr;
    const errno_t err = _wfopen_s(&raw, path, L"rb");
    CUniqueCFile file(raw);
    if (err != 0 || !file) {
        doc.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LOGW(LOG_LEVEL_D, L"%s - _wfopen_s, filename= %s, errno_t=%d", L"TiXmlLoadFile", path, err);
        return false;
    }
    std::vector<char> text;
    if (!ReadXmlText(file.get(), text)) {
        doc.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LOGW(LOG_LEVEL_D, L"%s - cannot read %s (at most %d bytes)", L"TiXmlLoadFile", path,
             static_cast<int>(kMaxXmlFileBytes));
        return false;
    }
    file.reset();
    if (!XmlShapeWithinLimits(text.data(), encoding)) {
        doc.SetError(TiXmlBase::TIXML_ERROR_PARSING_ELEMENT, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LOGW(LOG_LEVEL_D, L"%s - refused %s: nesting, attributes or encoding beyond what is read safely",
             L"TiXmlLoadFile", path);
        return false;
    }
    doc.Parse(text.data(), nullptr, encoding);
    return !doc.Error();
}

int WDXNTMON_UI_Deserialize(WDXNTMON_UI_DOCUMENT** slot, const wchar_t* path)
{
    try {
        TiXmlDocument xml;
        TiXmlProfileParser parser;
        if (!slot || !path) {
            LOGW(LOG_LEVEL_D, L"%s - Invalid parameter", L"WDXNTMON_UI_Deserialize");
            return 0;
        }
        TiXmlLoadFile(xml, path);
        if (xml.Error()) {
            LOGW(LOG_LEVEL_D, L"%s - Tinyxml Parsing Error", L"WDXNTMON_UI_Deserialize");
            return 0;
        }
        xml.Accept(&parser);
        *slot = parser.DetachDocument();
        return 1;
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_E, L"%s - %S", L"WDXNTMON_UI_Deserialize", e.what());
        return 0;
    }
}

int WDXNTMON_UI_DestroyDocument(WDXNTMON_UI_DOCUMENT** slot)
{
    if (!slot) {
        LOGW(LOG_LEVEL_D, L"%s - Invalid parameter", L"WDXNTMON_UI_DestroyDocument");
        return 0;
    }
    DestroyRecords(*slot);
    *slot = nullptr;
    return 1;
}
