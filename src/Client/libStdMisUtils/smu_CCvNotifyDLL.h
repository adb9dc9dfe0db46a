// The agent's event-log notification library "cvnotify.dll": found beside the
// host executable (or in a given folder), loaded only when the vendor signed
// it, and called through its five entry points.
#pragma once

#include <windows.h>

class CCvNotifyDLL {
public:
    using PFN_InitDefaultEventSource = int(__cdecl*)(const char* sourceName, BYTE flag);
    using PFN_ReportEventLog = int(__cdecl*)(const char* sourceName, WORD type, WORD category, DWORD eventId,
                                             const char* message);
    using PFN_OpenEventSource = int(__cdecl*)(const char* serverName, const char* sourceName, HANDLE* handle);
    using PFN_CloseEventSource = int(__cdecl*)(HANDLE handle);
    using PFN_ReportEventLogEx = int(__cdecl*)(HANDLE handle, WORD type, WORD category, DWORD eventId,
                                               const char* message, DWORD reserved);

    // What a forwarding call returns when its entry point is not bound.
    static constexpr int kNotBound = -2;

    CCvNotifyDLL() = default;
    ~CCvNotifyDLL();
    CCvNotifyDLL(const CCvNotifyDLL&) = delete;
    CCvNotifyDLL& operator=(const CCvNotifyDLL&) = delete;

    // 1 when the library is loaded and bound, or when Init already ran once.
    // A null directory means the host executable's folder.
    int Init(const char* directory);

    int InitDefaultEventSource(const char* sourceName, BYTE flag);
    int OpenEventSource(const char* serverName, const char* sourceName, HANDLE* handle);
    int CloseEventSource(HANDLE handle);
    int ReportEventLogEx(HANDLE handle, WORD type, WORD category, DWORD eventId, const char* message);

    bool Loaded() const { return m_hModule != nullptr; }
    bool AnyBound() const
    {
        return m_pfnInitDefaultEventSource || m_pfnReportEventLog || m_pfnOpenEventSource || m_pfnCloseEventSource ||
               m_pfnReportEventLogEx;
    }

private:
    void Unbind();

    HMODULE m_hModule = nullptr;
    PFN_InitDefaultEventSource m_pfnInitDefaultEventSource = nullptr;
    PFN_ReportEventLog m_pfnReportEventLog = nullptr;
    PFN_OpenEventSource m_pfnOpenEventSource = nullptr;
    PFN_CloseEventSource m_pfnCloseEventSource = nullptr;
    PFN_ReportEventLogEx m_pfnReportEventLogEx = nullptr;
    bool m_bInitialized = false;
};
