// Log calls of CProfileDocument name the document's source file, also from
// the language members and helpers defined in the library's other files.
#pragma once

#include "logcl_DebugLog.h"

// KSX_WIDEN(__FILE__) of libCvProfileDocument.cpp.
extern const wchar_t g_wszProfileDocumentSource[];

#define DOC_LOGW(level, ...) ::DebugLogW((level), g_wszProfileDocumentSource, __LINE__, __VA_ARGS__)
