#include "logsrv_Record.h"

#include <stdio.h>

namespace LogServer {

namespace {

constexpr wchar_t kCommandWord[] = L"LOG_WRITE";

bool ParseUnsigned(const std::wstring& s, size_t begin, size_t end, DWORD& value)
{
    if (begin >= end || end - begin > 10)
        return false;
    unsigned long long v = 0;
    for (size_t i = begin; i < end; ++i) {
        if (s[i] < L'0' || s[i] > L'9')
            return false;
        v = v * 10 + static_cast<unsigned>(s[i] - L'0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    value = static_cast<DWORD>(v);
    return true;
}

bool ParseSigned(const std::wstring& s, size_t begin, size_t end, LONG& value)
{
    const bool negative = begin < end && s[begin] == L'-';
    DWORD magnitude = 0;
    if (!ParseUnsigned(s, begin + (negative ? 1 : 0), end, magnitude))
        return false;
    if (negative ? magnitude > 0x80000000u : magnitude > 0x7FFFFFFFu)
        return false;
    value = negative ? static_cast<LONG>(0u - magnitude) : static_cast<LONG>(magnitude);
    return true;
}

// Appends UTF-8 for wide text, with control characters escaped.
void AppendEscaped(std::string& out, const std::wstring& text)
{
    size_t start = 0;
    auto flush = [&](size_t end) {
        if (end <= start)
            return;
        const int count = static_cast<int>(end - start);
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data() + start, count, nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            const size_t at = out.size();
            out.resize(at + static_cast<size_t>(bytes));
            ::WideCharToMultiByte(CP_UTF8, 0, text.data() + start, count, &out[at], bytes, nullptr, nullptr);
        }
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c >= 0x20 && c != 0x7F)
            continue;
        flush(i);
        start = i + 1;
        switch (c) {
        case L'\t':
            out += "\\t";
            break;
        case L'\r':
            out += "\\r";
            break;
        case L'\n':
            out += "\\n";
            break;
        default: {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned>(c));
            out += hex;
        }
        }
    }
    flush(text.size());
}

}  // namespace

bool ParseLogWrite(const std::wstring& command, CLogRecord& record, std::string& reason)
{
    // Fields 1 to 5 hold no tabs.
    size_t fieldStart[5] = {};
    size_t fieldEnd[5] = {};
    size_t pos = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t tab = command.find(L'\t', pos);
        if (tab == std::wstring::npos) {
            reason = "fewer than eight fields";
            return false;
        }
        fieldStart[i] = pos;
        fieldEnd[i] = tab;
        pos = tab + 1;
    }
    if (command.compare(fieldStart[0], fieldEnd[0] - fieldStart[0], kCommandWord) != 0) {
        reason = "unknown command word";
        return false;
    }
    CLogRecord r;
    if (!ParseSigned(command, fieldStart[1], fieldEnd[1], r.time)) {
        reason = "bad time field";
        return false;
    }
    if (!ParseUnsigned(command, fieldStart[2], fieldEnd[2], r.processId)) {
        reason = "bad process id field";
        return false;
    }
    if (!ParseUnsigned(command, fieldStart[3], fieldEnd[3], r.threadId)) {
        reason = "bad thread id field";
        return false;
    }
    if (!ParseSigned(command, fieldStart[4], fieldEnd[4], r.level)) {
        reason = "bad level field";
        return false;
    }

    // The rest is file TAB line TAB text.
    const size_t fileStart = pos;
    for (size_t tab = command.find(L'\t', fileStart); tab != std::wstring::npos; tab = command.find(L'\t', tab + 1)) {
        const size_t lineEnd = command.find(L'\t', tab + 1);
        if (lineEnd == std::wstring::npos)
            break;
        if (ParseSigned(command, tab + 1, lineEnd, r.line)) {
            r.file = command.substr(fileStart, tab - fileStart);
            r.text = command.substr(lineEnd + 1);
            record = std::move(r);
            return true;
        }
    }
    reason = "no line field after the file";
    return false;
}

std::string FormatLogLine(const CLogRecord& record)
{
    char numbers[96];
    snprintf(numbers, sizeof(numbers), "LOG_WRITE\t%ld\t%lu\t%lu\t%ld\t", static_cast<long>(record.time),
             static_cast<unsigned long>(record.processId), static_cast<unsigned long>(record.threadId),
             static_cast<long>(record.level));
    std::string line = numbers;
    line.reserve(line.size() + record.file.size() + record.text.size() + 24);
    AppendEscaped(line, record.file);
    snprintf(numbers, sizeof(numbers), "\t%ld\t", static_cast<long>(record.line));
    line += numbers;
    AppendEscaped(line, record.text);
    line += "\r\n";
    return line;
}

}  // namespace LogServer
