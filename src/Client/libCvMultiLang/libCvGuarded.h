// Turns a run-time error of a library function into a logged 0.
#pragma once

#include <exception>

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

}  // namespace CLNUTIL
