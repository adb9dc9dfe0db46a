#include "ds_CreateProcWithIssuerCheck.h"

#include "ds_BsnDSManager.h"
#include "logcl_DebugLog.h"

BOOL CheckFileIssuer(const wchar_t* pwszFile, const wchar_t* pwszIssuerName)
{
    const wchar_t* const name = L"CheckFileIssuer";
    if (!pwszFile || !pwszIssuerName) {
        LOGW('E', L"%s - pwszFile or pwszIssuerName is NULL", name);
        return FALSE;
    }
    LOGW('D', L"%s - Checking whether file (%s) is signed by issuer (%s)", name, pwszFile, pwszIssuerName);
    const SignatureCheckResult result =
        CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(pwszFile, DS_SIGNER_VENDOR, false);
    if (!result.bVerified) {
        LOGW('E', L"%s - failed to check digital signature for %s, err=%d", name, pwszFile,
             static_cast<int>(result.dwError));
        return FALSE;
    }
    LOGW('D', L"%s - successfully to check digital signature for %s", name, pwszFile);
    return TRUE;
}
