// Barriers that turn a run-time error into a logged result: 0 for library
// functions, an HRESULT for COM methods and exports. Nothing throws past them.
#pragma once

#include <windows.h>

#include <exception>
#include <new>

#include "logcl_DebugLog.h"

namespace CLNUTIL {

// Runs `body` (returning an int) and returns its result, or logs the error
// under `function` and returns 0.
template <typename Body>
int Guarded(const wchar_t* function, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_E, L"%s - %S", function, e.what());
    } catch (...) {
        LOGW(LOG_LEVEL_E, L"%s - unknown exception", function);
    }
    return 0;
}

// Runs `body` (returning an HRESULT): out of memory becomes E_OUTOFMEMORY,
// any other error E_UNEXPECTED, each logged under `function`.
template <typename Body>
HRESULT GuardedHr(const char* function, Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        LOGA(LOG_LEVEL_E, "%s - out of memory", function);
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        LOGA(LOG_LEVEL_E, "%s - %s", function, e.what());
    } catch (...) {
        LOGA(LOG_LEVEL_E, "%s - unknown exception", function);
    }
    return E_UNEXPECTED;
}

}  // namespace CLNUTIL
