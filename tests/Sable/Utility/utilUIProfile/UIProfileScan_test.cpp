// The loader's pre-scan: what TinyXML may read without running past its
// limits, counted the way TinyXML reads the file.
#include <gtest/gtest.h>

#include <string>

#include "UIProfileScan.h"

namespace {

std::string Nest(size_t depth, const std::string& inner = "")
{
    std::string s;
    for (size_t i = 0; i < depth; ++i)
        s += "<a>";
    s += inner;
    for (size_t i = 0; i < depth; ++i)
        s += "</a>";
    return s;
}

// Quotes, comments and CDATA must not hide or invent nesting.
TEST(XmlShapeTest, CountsNestingAndAttributesAsTinyXmlReadsThem)
{
    EXPECT_TRUE(XmlShapeWithinLimits(Nest(kMaxXmlDepth).c_str()));
    EXPECT_FALSE(XmlShapeWithinLimits(Nest(kMaxXmlDepth + 1).c_str()));
    EXPECT_TRUE(XmlShapeWithinLimits((Nest(40) + Nest(40)).c_str()));
    EXPECT_TRUE(XmlShapeWithinLimits(Nest(kMaxXmlDepth, "<b/><c x='>'/><!-- <d> --><![CDATA[<e>]]>").c_str()));
    // Closing tags inside values and comments close nothing.
    std::string hidden = "<?xml version='</a>'?>";
    for (size_t i = 0; i < kMaxXmlDepth + 1; ++i)
        hidden += "<a x=\"</a>\"><!-- </a> --><![CDATA[</a>]]>";
    EXPECT_FALSE(XmlShapeWithinLimits(hidden.c_str()));

    std::string attrs = "<a";
    for (size_t i = 0; i < kMaxXmlAttributes; ++i)
        attrs += " a" + std::to_string(i) + "='1'";
    EXPECT_TRUE(XmlShapeWithinLimits((attrs + "/>").c_str()));
    EXPECT_FALSE(XmlShapeWithinLimits((attrs + " z='1'/>").c_str()));
}

// A lead byte swallowing a "<" or a quote, or a white-space mark, changes the
// structure only where TinyXML reads UTF-8: after a byte order mark, or after
// a first declaration naming UTF-8 or no encoding. Elsewhere it reads bytes.
TEST(XmlShapeTest, Utf8RulesHoldOnlyWhereTinyXmlReadsUtf8)
{
    const char* const bodies[] = {"<a>caf\xE9<b/></a>", "<a x=\"caf\xE9\"/>", "<a>\xEF\xBB\xBF</a>"};
    const struct {
        const char* prolog;
        bool utf8;
    } prologs[] = {
        {"", false},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n", false},
        {"<!-- first --><?xml version='1.0' encoding='windows-1252'?><?xml version='1.0' encoding='UTF-8'?>", false},
        {"<?xml version=\"1.0\"?>", true},
        {"<?xml version=\"1.0\" encoding=\"utf8\"?>", true},
        {"\xEF\xBB\xBF", true},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", true},
    };
    for (const auto& p : prologs) {
        for (const char* body : bodies) {
            SCOPED_TRACE(testing::Message() << p.prolog << body);
            EXPECT_EQ(XmlShapeWithinLimits((std::string(p.prolog) + body).c_str()), !p.utf8);
        }
        // The limits hold whatever the encoding.
        EXPECT_FALSE(XmlShapeWithinLimits((p.prolog + Nest(kMaxXmlDepth + 1)).c_str())) << p.prolog;
    }
    EXPECT_TRUE(XmlShapeWithinLimits("\xEF\xBB\xBF<a x=\"\xE3\x81\x82\">\xE3\x81\x82</a>"));
}

}  // namespace
