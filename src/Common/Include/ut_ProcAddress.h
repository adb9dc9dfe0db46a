// Typed GetProcAddress.
#pragma once

#include <windows.h>

namespace UTIL {

template <typename Fn>
Fn GetProc(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace UTIL
