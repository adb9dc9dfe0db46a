#include "journal.h"

namespace AgentStub {

std::wstring DefaultJournalPath()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s = path;
    const size_t dot = s.find_last_of(L'.');
    const size_t slash = s.find_last_of(L'\\');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        s.resize(dot);
    return s + L".journal";
}

bool AppendJournalLine(const std::wstring& journal, const std::string& utf8Line)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    // Another writer may hold the file for a moment.
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = ::CreateFileW(journal.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            ::Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const std::string line = utf8Line + "\r\n";
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == line.size();
}

std::string WideToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int cb =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], cb, nullptr, nullptr);
    return out;
}

std::string AnsiToUtf8(const std::string& text)
{
    if (text.empty())
        return {};
    const int cch = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(cch), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], cch);
    return WideToUtf8(wide);
}

}  // namespace AgentStub
