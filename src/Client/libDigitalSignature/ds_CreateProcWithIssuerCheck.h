// Whether one file carries the vendor's code signature.
#pragma once

#include <windows.h>

// Nonzero when the file's signature passes with the vendor signer alone. The
// issuer only names the expected signer in the log. A null argument refuses.
BOOL CheckFileIssuer(const wchar_t* pwszFile, const wchar_t* pwszIssuerName);
