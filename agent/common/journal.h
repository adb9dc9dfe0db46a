// Append-only journals that the stand-ins keep of what they received, for
// people and for tests to read back.
#pragma once

#include <windows.h>

#include <string>

namespace AgentStub {

// The journal beside the running program: its path with ".journal" for ".exe".
std::wstring DefaultJournalPath();

// Appends one line (UTF-8, CRLF) and closes the file again, so readers always
// see whole lines; several processes may append at once.
bool AppendJournalLine(const std::wstring& journal, const std::string& utf8Line);

std::string WideToUtf8(const std::wstring& text);
std::string AnsiToUtf8(const std::string& text);

}  // namespace AgentStub
