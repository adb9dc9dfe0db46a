// Replacing a file through a new one beside it, so that a failed write or
// copy leaves the file as it was.
#pragma once

#include <string>

class TiXmlDocument;

// Saves `doc` (TinyXML's formatting) over `path`. On failure the last error
// says why.
bool SaveXmlReplacing(const TiXmlDocument& doc, const std::wstring& path);
// Copies `source` over `target`.
bool CopyReplacing(const std::wstring& source, const std::wstring& target);
