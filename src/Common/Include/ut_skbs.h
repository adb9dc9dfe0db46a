// Whether the agent is installed as part of the sibling product SKBS.
#pragma once

#include <windows.h>

#include <cstddef>

#include "ut_AgentRegistry.h"

namespace SKBS {

constexpr const wchar_t kProductNameW[] = L"Corvane Skiff Business Security";
// Under the agent root, 32-bit view; value "ProductName" (REG_SZ).
constexpr const wchar_t kMiscKeyW[] = KSX_AGENT_WIDEN(KSX_AGENT_ROOT_KEY) L"\\Misc.";

// True when the setup recorded SKBS as the product, or else when the host
// executable's product name contains SKBS's name. Nothing is cached.
bool exists();

// The host executable's product name (first translation of its version
// information), cut to `size` characters with the terminator. False, with
// `buffer` untouched, when there is none.
bool getProductName(wchar_t* buffer, size_t size);

}  // namespace SKBS
