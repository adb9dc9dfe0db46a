// Shared by the signature manager's sources: the trust-provider call and its
// state, and the decision after a valid signature.
#pragma once

#include <windows.h>

#include <softpub.h>

#include "ds_BsnDSManager.h"
#include "ds_TrustProvider.h"
#include "ut_CryptHandle.h"
#include "ut_Handle.h"

namespace DS {

// WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kProvFlags = 0x1110;
constexpr DWORD kMsgEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";  // szOID_NESTED_SIGNATURE

// CERT_STRONG_SIGN_PARA for szOID_CERT_STRONG_SIGN_OS_1, or null.
const CERT_STRONG_SIGN_PARA* StrongSignPara(bool bStrongSignPolicy);

// One WinVerifyTrust state: every verify closes the state the previous one
// left, and the last is closed when the object goes.
class CTrustState : UTIL::CNonCopyable {
public:
    CTrustState(const CTrustProvider& provider, CWinTrustData& data);

    LONG Verify();
    HANDLE State() const { return m_data.hWVTStateData; }

private:
    const CTrustProvider& m_provider;
    CWinTrustData& m_data;
    UTIL::CWinTrustState m_state;
};

// A WINTRUST_DATA with the settings every check of this library uses.
CWinTrustData MakeTrustData(DWORD unionChoice, void* subject, CSignatureSettings* settings);

// After a zero trust status: the signer test for `dwFlags`, logged under
// `function`. Returns 0 when accepted, else ERROR_FAILED_ISSUER_CHECK.
DWORD TestSigner(const wchar_t* function, DWORD dwFlags, HANDLE hWVTStateData);

}  // namespace DS
