#include "sc_ServiceControl.h"

#include "logcl_DebugLog.h"
#include "ut_Handle.h"

namespace {
// Same rank as 'W' in the level gate.
constexpr DWORD kServiceLogLevel = 5;
}  // namespace

int scQueryServiceStatusW(const wchar_t* serviceName, DWORD* state)
{
    UTIL::CUniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) {
        LOGW(kServiceLogLevel, L"[scQueryServiceStatusW] OpenSCMManager failed [%d].", ::GetLastError());
        return SC_ERR_OPEN_MANAGER;
    }

    // The guards close the service before the manager.
    UTIL::CUniqueServiceHandle service;
    if (serviceName)
        service.reset(::OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    else
        ::SetLastError(ERROR_INVALID_NAME);
    if (!service) {
        LOGW(kServiceLogLevel, L"[scQueryServiceStatusW] Open service failed [%d].", ::GetLastError());
        return SC_ERR_OPEN_SERVICE;
    }

    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status)) {
        LOGW(kServiceLogLevel, L"[scQueryServiceStatusW] Query service failed [%d].", ::GetLastError());
        return SC_ERR_QUERY_STATUS;
    }
    if (state)
        *state = status.dwCurrentState;
    return SC_OK;
}
