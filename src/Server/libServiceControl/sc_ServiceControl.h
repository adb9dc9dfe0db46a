// Service control manager queries.
#pragma once

#include <windows.h>

// Result codes of the service-control library.
enum : int {
    SC_OK = 0,
    SC_ERR_OPEN_MANAGER = -2,
    SC_ERR_OPEN_SERVICE = -3,
    SC_ERR_QUERY_STATUS = -12,
};

// Stores the service's dwCurrentState (SERVICE_RUNNING is 4) in *state and
// returns SC_OK; on failure logs the system error and leaves *state untouched.
int scQueryServiceStatusW(const wchar_t* serviceName, DWORD* state);
