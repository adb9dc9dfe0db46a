// What the XML loader lets TinyXML read: files of bounded size, nesting and
// attribute count, checked the way TinyXML will read them.
#pragma once

#include <stdio.h>

#include <vector>

#include <tinyxml.h>

constexpr long kMaxXmlFileBytes = 1024 * 1024;
constexpr size_t kMaxXmlDepth = 64;
constexpr size_t kMaxXmlAttributes = 256;

// Reads the whole file (at most kMaxXmlFileBytes), normalises line ends as
// TinyXML does, and pads the text with zeros. False when the file is too
// large or cannot be read.
bool ReadXmlText(FILE* file, std::vector<char>& text);

// True when the NUL-terminated XML text stays within kMaxXmlDepth open
// elements and kMaxXmlAttributes attributes per element, as TinyXML reads it
// with `encoding`. Its default reads UTF-8 after a byte order mark or after a
// first declaration naming UTF-8 or no encoding, and single bytes otherwise.
bool XmlShapeWithinLimits(const char* text, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);
