// Stand-in for the agent's event-log notification library: each report goes
// to the Windows event log under the given source and, as one line, to the
// journal beside the library ("cvnotify.journal"), so that people and tests
// can read the events back.
//
// Journal lines:  <entry point>|<source or handle>|<type>|<category>|0x<id>|<message>

#include <windows.h>

#include <cstdio>
#include <string>

#include "journal.h"

namespace {

HMODULE g_self = nullptr;

std::wstring JournalPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(g_self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    std::wstring journal(path, length);
    const size_t dot = journal.find_last_of(L'.');
    return journal.substr(0, dot) + L".journal";
}

void Journal(const char* entry, const std::string& what, WORD type, WORD category, DWORD id, const char* message)
{
    char head[128] = {};
    std::snprintf(head, sizeof(head), "%s|%s|%u|%u|0x%08lX|", entry, what.c_str(), type, category,
                  static_cast<unsigned long>(id));
    AgentStub::AppendJournalLine(JournalPath(), head + AgentStub::AnsiToUtf8(message ? message : ""));
}

std::wstring Wide(const char* text)
{
    const int count = ::MultiByteToWideChar(CP_ACP, 0, text ? text : "", -1, nullptr, 0);
    std::wstring wide(count > 0 ? count : 1, L'\0');
    if (count > 0)
        ::MultiByteToWideChar(CP_ACP, 0, text ? text : "", -1, &wide[0], count);
    wide.resize(wide.size() - 1);
    return wide;
}

int Report(HANDLE source, WORD type, WORD category, DWORD id, const char* message)
{
    const std::wstring text = Wide(message);
    const wchar_t* strings[] = {text.c_str()};
    return ::ReportEventW(source, type, category, id, nullptr, 1, 0, strings, nullptr) ? 0 : -1;
}

}  // namespace

extern "C" {

__declspec(dllexport) int InitDefaultEventSource(const char* sourceName, BYTE flag)
{
    Journal("InitDefaultEventSource", sourceName ? sourceName : "", flag, 0, 0, "");
    return sourceName ? 0 : -1;
}

#ifndef KSX_CVNOTIFY_WITHOUT_REPORTEVENTLOG
__declspec(dllexport) int ReportEventLog(const char* sourceName, WORD type, WORD category, DWORD eventId,
                                         const char* message)
{
    const HANDLE source = ::RegisterEventSourceW(nullptr, Wide(sourceName).c_str());
    if (!source)
        return -1;
    Journal("ReportEventLog", sourceName ? sourceName : "", type, category, eventId, message);
    const int result = Report(source, type, category, eventId, message);
    ::DeregisterEventSource(source);
    return result;
}
#endif

__declspec(dllexport) int OpenEventSource(const char* serverName, const char* sourceName, HANDLE* handle)
{
    if (!handle)
        return -1;
    *handle = ::RegisterEventSourceW(serverName ? Wide(serverName).c_str() : nullptr, Wide(sourceName).c_str());
    return *handle ? 0 : static_cast<int>(::GetLastError());
}

__declspec(dllexport) int CloseEventSource(HANDLE handle) { return ::DeregisterEventSource(handle) ? 0 : -1; }

__declspec(dllexport) int ReportEventLogEx(HANDLE handle, WORD type, WORD category, DWORD eventId, const char* message,
                                           DWORD /*reserved*/)
{
    if (!handle)
        return -1;
    Journal("ReportEventLogEx", "", type, category, eventId, message);
    return Report(handle, type, category, eventId, message);
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
