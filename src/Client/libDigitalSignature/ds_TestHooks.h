// Seam for the signature checks' tests: the trust provider they call.
#pragma once

#include "ds_TrustProvider.h"

namespace DSTestHooks {

// Replaces the trust provider for every check in the process; null restores
// the system's. Returns the one it replaces. A provider with both catalog "2"
// entry points makes the platform a multiple-signature one.
const DS::CTrustProvider* SetTrustProvider(const DS::CTrustProvider* provider);

// The system's own entry points, for stand-ins that pass calls on.
const DS::CTrustProvider& SystemTrustProvider();

// Called by LoadLibraryWithIssuerCheckW between a passed check and the load;
// null removes it. Returns the one it replaces.
using AfterIssuerCheckHook = void (*)(const wchar_t* file);
AfterIssuerCheckHook SetAfterIssuerCheckHook(AfterIssuerCheckHook hook);

}  // namespace DSTestHooks
