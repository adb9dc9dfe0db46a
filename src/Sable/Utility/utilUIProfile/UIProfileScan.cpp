#include "UIProfileScan.h"

#include <io.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace {

// Zero bytes after the text: TinyXML's UTF-8 reader may step up to three bytes
// past a terminator that ends a truncated multi-byte character.
constexpr size_t kTextPadding = 8;

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

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

bool IsByteOrderMark(const char* p) { return IsUtf8Mark(p) && static_cast<unsigned char>(p[1]) == 0xBB; }

// A mark from `from` on, other than the byte order mark that opens `text`:
// read as UTF-8 it would be white space where the scan sees a name or text.
bool HasStrayMark(const char* text, const char* from)
{
    for (const char* m = from; *m; ++m)
        if (IsUtf8Mark(m) && !(m == text && IsByteOrderMark(m)))
            return true;
    return false;
}

const char* SkipPast(const char* p, const char* end)
{
    const char* hit = strstr(p, end);
    return hit ? hit + strlen(end) : p + strlen(p);
}

// A quoted value from its opening quote; nullptr when, read as UTF-8, a
// multi-byte character would hide the closing quote from TinyXML.
const char* SkipQuoted(const char* p, bool utf8)
{
    const char quote = *p++;
    for (; *p && *p != quote; ++p)
        if (utf8 && SwallowsStop(p, quote))
            return nullptr;
    return *p ? p + 1 : p;
}

// An encoding value after which TinyXML surely reads single bytes: not empty,
// no reference in it, and naming neither "UTF-8" nor "UTF8" (as prefixes,
// case ignored, the way TinyXML compares).
bool NamesLegacyEncoding(const std::string& value)
{
    return !value.empty() && value.find('&') == std::string::npos && !StartsWith(value.c_str(), "UTF-8", true) &&
           !StartsWith(value.c_str(), "UTF8", true);
}

// From just after "<?xml" to past its end; nullptr as SkipQuoted. TinyXML
// honours quotes only in the values of version, encoding and standalone, and
// keeps the last encoding value. `legacy` tells whether that value surely
// names a single-byte encoding; an unquoted one is not trusted.
const char* SkipDeclaration(const char* p, bool utf8, bool& legacy)
{
    legacy = false;
    while (*p && *p != '>') {
        while (IsXmlSpace(*p))
            ++p;
        const bool isEncoding = StartsWith(p, "encoding", true);
        if (isEncoding || StartsWith(p, "version", true) || StartsWith(p, "standalone", true)) {
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
                const char quote = *p;
                const char* value = p + 1;
                p = SkipQuoted(p, utf8);
                if (!p)
                    return nullptr;
                const char* end = p > value && p[-1] == quote ? p - 1 : p;  // an unclosed value runs to the end
                if (isEncoding)
                    legacy = NamesLegacyEncoding(std::string(value, end));
                continue;
            }
            if (isEncoding)
                legacy = false;
        }
        while (*p && *p != '>' && !IsXmlSpace(*p))
            ++p;
    }
    return *p ? p + 1 : p;
}

}  // namespace

bool ReadXmlText(FILE* file, std::vector<char>& text)
{
    const long long size = _filelengthi64(_fileno(file));
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

// Follows the nesting as TinyXML reads it: every "<name" in text opens an
// element unless its tag ends in "/>", "</name" closes the innermost element
// of that name, and comments, CDATA, declarations and other "<!"/"<?" nodes are
// skipped the way TinyXML skips them. Where TinyXML reads UTF-8, files whose
// structure would depend on it (a multi-byte character swallowing a "<" or a
// closing quote, white-space marks after the byte order mark) are refused.
bool XmlShapeWithinLimits(const char* text, TiXmlEncoding encoding)
{
    bool utf8 = encoding == TIXML_ENCODING_UTF8 || (encoding == TIXML_ENCODING_UNKNOWN && IsByteOrderMark(text));
    bool decided = utf8 || encoding != TIXML_ENCODING_UNKNOWN;
    if (utf8 && HasStrayMark(text, text))
        return false;

    std::vector<std::string_view> open;
    const char* p = text;
    while (*p) {
        if (*p != '<') {
            if (utf8 && SwallowsStop(p, '<'))
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
            bool legacy = false;
            p = SkipDeclaration(p + 5, utf8, legacy);
            if (!p)
                return false;
            // The first declaration of the document decides, as in TinyXML.
            if (!decided && open.empty()) {
                decided = true;
                utf8 = !legacy;
                if (utf8 && HasStrayMark(text, p))
                    return false;
            }
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
                    p = SkipQuoted(p, utf8);
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
