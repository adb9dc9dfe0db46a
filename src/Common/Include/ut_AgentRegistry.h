// Where the agent keeps its state: always read in the 32-bit registry view.
#pragma once

#include <windows.h>

namespace UTIL {

constexpr const char kAgentRootKeyA[] = "SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion";
constexpr const wchar_t kAgentRootKeyW[] = L"SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion";
constexpr REGSAM kAgentKeyAccess = KEY_READ | KEY_WOW64_32KEY;  // 0x20219

}  // namespace UTIL
