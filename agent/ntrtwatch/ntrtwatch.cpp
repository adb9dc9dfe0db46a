// Stand-in for the agent's real-time scan service "NTRtWatch": a real Windows
// service that starts, pauses, continues and stops on request and does nothing
// else. Install it with the service control manager, for example
//   sc create NTRtWatch binPath= C:\path\ntrtwatch.exe
#include <windows.h>

#include <stdio.h>

namespace {

constexpr wchar_t kServiceName[] = L"NTRtWatch";

SERVICE_STATUS_HANDLE g_hStatus = nullptr;
SERVICE_STATUS g_status = {};
CRITICAL_SECTION g_statusLock;
HANDLE g_hStop = nullptr;

void Report(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0)
{
    ::EnterCriticalSection(&g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwWin32ExitCode = exitCode;
    g_status.dwWaitHint = waitHintMs;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
    g_status.dwControlsAccepted = pending || state == SERVICE_STOPPED
                                      ? 0
                                      : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE;
    g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
    ::SetServiceStatus(g_hStatus, &g_status);
    ::LeaveCriticalSection(&g_statusLock);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, NO_ERROR, 3000);
        ::SetEvent(g_hStop);
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
        Report(SERVICE_PAUSED);
        return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
        Report(SERVICE_RUNNING);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    g_hStatus = ::RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
    if (!g_hStatus)
        return;
    Report(SERVICE_START_PENDING, NO_ERROR, 3000);
    g_hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_hStop) {
        Report(SERVICE_STOPPED, ::GetLastError());
        return;
    }
    Report(SERVICE_RUNNING);
    ::WaitForSingleObject(g_hStop, INFINITE);
    ::CloseHandle(g_hStop);
    g_hStop = nullptr;
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain()
{
    ::InitializeCriticalSection(&g_statusLock);
    const SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            fprintf(
                stderr,
                "ntrtwatch: this program runs as the service NTRtWatch; start it with the service control manager\n");
        else
            fprintf(stderr, "ntrtwatch: StartServiceCtrlDispatcher failed (error %lu)\n", error);
        return 1;
    }
    return 0;
}
