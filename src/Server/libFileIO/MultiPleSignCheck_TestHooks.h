// Seam for the signature manager's tests: the certificate-information
// verification the manager falls back to.
#pragma once

#include <windows.h>

#include <wintrust.h>

namespace MultiPleSignCheckHooks {

using CertInfoVerifierFn = int (*)(const wchar_t* pwszFile, WINTRUST_DATA* wtd);

// Returns the hook it replaces; null restores the verifier.
CertInfoVerifierFn SetCertInfoVerifier(CertInfoVerifierFn fn);

}  // namespace MultiPleSignCheckHooks
