#include "UIProfileAPI.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <climits>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include <tinyxml.h>

#include "logcl_DebugLog.h"

namespace {

// ---------------------------------------------------------------------------
// Loading

// Zero bytes after the text: TinyXML's UTF-8 reader may step up to three bytes
// past a terminator that ends a truncated multi-byte character.
constexpr size_t kTextPadding = 8;

struct CFileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using CUniqueCFile = std::unique_ptr<FILE, CFileCloser>;

bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// TinyXML's name rules: any byte above 126 counts as a letter.
bool IsNameStart(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 127 || (u < 127 && isalpha(u)) || c == '_';
}

bool IsNameChar(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 127 || (u < 127 && isalnum(u)) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool StartsWith(const char* p, const char* prefix, bool ignoreCase = false)
{
    for (; *prefix; ++p, ++prefix) {
        if (!*p)
            return false;
        if (ignoreCase ? tolower(static_cast<unsigned char>(*p)) != tolower(static_cast<unsigned char>(*prefix))
                       : *p != *prefix)
            return false;
    }
    return true;
}

// Bytes TinyXML's UTF-8 reader takes for the character that starts with `lead`.
int Utf8Length(char lead)
{
    const unsigned char u = static_cast<unsigned char>(lead);
    if (u >= 0xC2 && u <= 0xDF)
        return 2;
    if (u >= 0xE0 && u <= 0xEF)
        return 3;
    if (u >= 0xF0 && u <= 0xF4)
        return 4;
    return 1;
}

// True when the multi-byte character starting at `p` would swallow `stop`.
bool SwallowsStop(const char* p, char stop)
{
    const int n = Utf8Length(*p);
    for (int i = 1; i < n && p[i]; ++i)
        if (p[i] == stop)
            return true;
    return false;
}

// The marks TinyXML's UTF-8 reader skips as white space.
bool IsUtf8Mark(const char* p)
{
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)));
}

const char* SkipPast(const char* p, const char* end)
{
    const char* hit = strstr(p, end);
    return hit ? hit + strlen(end) : p + strlen(p);
}

// A quoted value from its opening quote; nullptr when a multi-byte character
// would hide the closing quote from TinyXML.
const char* SkipQuoted(const char* p)
{
    const char quote = *p++;
    for (; *p && *p != quote; ++p)
        if (SwallowsStop(p, quote))
            return nullptr;
    return *p ? p + 1 : p;
}

// From just after "<?xml": TinyXML honours quotes only in the values of
// version, encoding and standalone.
const char* SkipDeclaration(const char* p, bool& ok)
{
    while (*p && *p != '>') {
        while (IsXmlSpace(*p))
            ++p;
        if (StartsWith(p, "version", true) || StartsWith(p, "encoding", true) || StartsWith(p, "standalone", true)) {
            while (IsNameChar(*p))
                ++p;
            while (IsXmlSpace(*p))
                ++p;
            if (*p != '=')
                continue;
            ++p;
            while (IsXmlSpace(*p))
                ++p;
            if (*p == '"' || *p == '\'') {
                p = SkipQuoted(p);
                if (!p) {
                    ok = false;
                    return nullptr;
                }
                continue;
            }
        }
        while (*p && *p != '>' && !IsXmlSpace(*p))
            ++p;
    }
    return *p ? p + 1 : p;
}

}  // namespace

// Follows the nesting as TinyXML reads it: every "<name" in text opens an
// element unless its tag ends in "/>", "</name" closes the innermost element
// of that name, and comments, CDATA, declarations and other "<!"/"<?" nodes are
// skipped the way TinyXML skips them. Files whose structure would depend on
// the encoding TinyXML picks (a multi-byte character swallowing a "<" or a
// closing quote, white-space marks after the byte order mark) are refused.
bool XmlShapeWithinLimits(const char* text)
{
    for (const char* m = text; *m; ++m)
        if (IsUtf8Mark(m) && !(m == text && static_cast<unsigned char>(m[1]) == 0xBB))
            return false;

    std::vector<std::string_view> open;
    const char* p = text;
    while (*p) {
        if (*p != '<') {
            if (SwallowsStop(p, '<'))
                return false;
            ++p;
            continue;
        }
        if (p[1] == '/') {
            p += 2;
            const char* name = p;
            while (IsNameChar(*p))
                ++p;
            if (!open.empty() && open.back() == std::string_view(name, p - name))
                open.pop_back();
            continue;
        }
        if (StartsWith(p, "<?xml", true)) {
            bool ok = true;
            p = SkipDeclaration(p + 5, ok);
            if (!ok)
                return false;
            continue;
        }
        if (StartsWith(p, "<!--")) {
            p = SkipPast(p + 4, "-->");
            continue;
        }
        if (StartsWith(p, "<![CDATA[")) {
            p = SkipPast(p + 9, "]]>");
            continue;
        }
        if (p[1] != '!' && IsNameStart(p[1])) {
            const char* name = ++p;
            while (IsNameChar(*p))
                ++p;
            const std::string_view tag(name, p - name);
            size_t attributes = 0;
            char prev = 0;
            while (*p && *p != '>') {
                if (*p == '"' || *p == '\'') {
                    p = SkipQuoted(p);
                    if (!p)
                        return false;
                    prev = '"';
                    continue;
                }
                if (*p == '=' && ++attributes > kMaxXmlAttributes)
                    return false;
                prev = *p++;
            }
            if (!*p)
                break;
            ++p;
            if (prev != '/') {
                open.push_back(tag);
                if (open.size() > kMaxXmlDepth)
                    return false;
            }
            continue;
        }
        // "<!DOCTYPE", "<?pi" and anything else TinyXML keeps as unknown: up to '>'.
        p = SkipPast(p + 1, ">");
    }
    return true;
}

namespace {

// Reads the whole file, normalises line ends as TinyXML does, and pads the
// text with zeros. False when the file is too large or cannot be read.
bool ReadXmlText(FILE* file, std::vector<char>& text, long long& size)
{
    size = _filelengthi64(_fileno(file));
    if (size < 0 || size > kMaxXmlFileBytes)
        return false;
    std::vector<char> buf(static_cast<size_t>(size) + kTextPadding, '\0');
    if (size > 0 && fread(buf.data(), 1, static_cast<size_t>(size), file) != static_cast<size_t>(size))
        return false;
    // CR LF and lone CR become LF; the text ends at its first NUL.
    char* q = buf.data();
    for (const char* p = buf.data(); *p;) {
        if (*p == '\r') {
            *q++ = '\n';
            if (*++p == '\n')
                ++p;
        } else {
            *q++ = *p++;
        }
    }
    std::fill(q, buf.data() + buf.size(), '\0');
    text.swap(buf);
    return true;
}

}  // namespace

bool TiXmlLoadFile(TiXmlDocument& doc, const wchar_t* path)
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
    long long size = 0;
    if (!ReadXmlText(file.get(), text, size)) {
        doc.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LOGW(LOG_LEVEL_D, L"%s - cannot read %s (at most %d bytes)", L"TiXmlLoadFile", path,
             static_cast<int>(kMaxXmlFileBytes));
        return false;
    }
    file.reset();
    if (!XmlShapeWithinLimits(text.data())) {
        doc.SetError(TiXmlBase::TIXML_ERROR_PARSING_ELEMENT, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        LOGW(LOG_LEVEL_D, L"%s - refused %s: nesting, attributes or encoding beyond what is read safely",
             L"TiXmlLoadFile", path);
        return false;
    }
    doc.Parse(text.data(), nullptr, TIXML_DEFAULT_ENCODING);
    return !doc.Error();
}

namespace {

// ---------------------------------------------------------------------------
// Records

// atoi's reading (white space, sign, digits), saturating instead of overflowing.
int ReadInt(const char* s)
{
    if (!s)
        return 0;
    while (IsXmlSpace(*s))
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
