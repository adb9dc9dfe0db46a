// A stand-in for NTRtWatch that stays in the pending state named by its start
// argument (2 start, 5 continue, 6 pause pending) until it is told to stop. It
// reports start pending first, and the other state once the test sets the
// event "Global\ksx-pending-service-go".
#include <windows.h>

#include <cwchar>

#include "ut_Handle.h"

namespace {

SERVICE_STATUS_HANDLE g_hStatus = nullptr;
HANDLE g_hStop = nullptr;

void Report(DWORD state)
{
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 1, 60000};
    ::SetServiceStatus(g_hStatus, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    if (control != SERVICE_CONTROL_STOP)
        return ERROR_CALL_NOT_IMPLEMENTED;
    ::SetEvent(g_hStop);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    g_hStatus = ::RegisterServiceCtrlHandlerExW(L"NTRtWatch", OnControl, nullptr);
    g_hStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_hStatus || !g_hStop)
        return;
    // Start pending first: Wine's StartService accepts nothing else as a start.
    Report(SERVICE_START_PENDING);
    const DWORD state = argc > 1 ? wcstoul(argv[1], nullptr, 10) : SERVICE_START_PENDING;
    if (state != SERVICE_START_PENDING) {
        const UTIL::CUniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, L"Global\\ksx-pending-service-go"));
        if (go)
            ::WaitForSingleObject(go.get(), 10000);
        Report(state);
    }
    ::WaitForSingleObject(g_hStop, 60000);
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain()
{
    const SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"NTRtWatch"), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
