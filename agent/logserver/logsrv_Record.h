// LOG_WRITE commands as the log server reads and files them.
#pragma once

#include <windows.h>

#include <string>

namespace LogServer {

struct CLogRecord {
    LONG time = 0;
    DWORD processId = 0;
    DWORD threadId = 0;
    LONG level = 0;
    std::wstring file;
    LONG line = 0;
    std::wstring text;
};

// Splits one command (without its terminator) into the eight tab-separated
// fields. The file and the text may themselves hold tabs: the file ends at the
// first tab that is followed by a decimal line number and another tab.
// On failure `reason` says what is wrong.
bool ParseLogWrite(const std::wstring& command, CLogRecord& record, std::string& reason);

// One line of the log file, UTF-8, ending in CR LF: the eight fields separated
// by tabs, control characters inside the file and text written as \t, \r, \n
// or \xNN so that every record stays on one line.
std::string FormatLogLine(const CLogRecord& record);

}  // namespace LogServer
