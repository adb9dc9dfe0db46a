// The trust provider as the signature checks see it: the entry points they call
// for trust decisions, in one table, and the WinTrust structures in the sizes
// Windows 8 and later define (the toolchain's headers stop at Windows 7).
#pragma once

#include <windows.h>

#include <stddef.h>

#include <wincrypt.h>

#include <mscat.h>
#include <mssip.h>
#include <wintrust.h>

namespace DS {

// WINTRUST_SIGNATURE_SETTINGS and its flags
constexpr DWORD kWssVerifySpecific = 0x1;
constexpr DWORD kWssGetSecondarySigCount = 0x2;
struct CSignatureSettings {
    DWORD cbStruct;
    DWORD dwIndex;
    DWORD dwFlags;
    DWORD cSecondarySigs;
    DWORD dwVerifiedSigIndex;
    const CERT_STRONG_SIGN_PARA* pCryptoPolicy;
};

// WINTRUST_DATA with pSignatureSettings
struct CWinTrustData {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        WINTRUST_FILE_INFO* pFile;
        void* pCatalog;  // CCatalogInfo
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    CSignatureSettings* pSignatureSettings;
};

// WINTRUST_CATALOG_INFO with hCatAdmin
struct CCatalogInfo {
    DWORD cbStruct;
    DWORD dwCatalogVersion;
    LPCWSTR pcwszCatalogFilePath;
    LPCWSTR pcwszMemberTag;
    LPCWSTR pcwszMemberFilePath;
    HANDLE hMemberFile;
    BYTE* pbCalculatedFileHash;
    DWORD cbCalculatedFileHash;
    PCCTL_CONTEXT pcCatalogContext;
    HCATADMIN hCatAdmin;
};

#ifdef _WIN64
static_assert(sizeof(CSignatureSettings) == 32, "WINTRUST_SIGNATURE_SETTINGS");
static_assert(sizeof(CWinTrustData) == 88, "WINTRUST_DATA");
static_assert(sizeof(CCatalogInfo) == 72, "WINTRUST_CATALOG_INFO");
#endif
static_assert(offsetof(CWinTrustData, dwUIContext) == offsetof(WINTRUST_DATA, dwUIContext), "WINTRUST_DATA");

// The calls behind every trust decision of the signature checks. The system's
// own are the default; the two "2" entry points are null on a platform that
// cannot verify secondary signatures. Administrator and catalog contexts are
// the system's own whoever hands them out: the system releases them.
struct CTrustProvider {
    LONG(WINAPI* WinVerifyTrust)(HWND, GUID*, LPVOID);
    // Reads the state WinVerifyTrust left in hWVTStateData.
    CRYPT_PROVIDER_DATA*(WINAPI* WTHelperProvDataFromStateData)(HANDLE);

    BOOL(WINAPI* CryptCATAdminAcquireContext)(HCATADMIN*, const GUID*, DWORD);
    BOOL(WINAPI* CryptCATAdminAcquireContext2)
    (HCATADMIN*, const GUID*, const WCHAR*, const CERT_STRONG_SIGN_PARA*, DWORD);
    BOOL(WINAPI* CryptCATAdminCalcHashFromFileHandle)(HANDLE, DWORD*, BYTE*, DWORD);
    BOOL(WINAPI* CryptCATAdminCalcHashFromFileHandle2)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);
    HCATINFO(WINAPI* CryptCATAdminEnumCatalogFromHash)(HCATADMIN, BYTE*, DWORD, DWORD, HCATINFO*);
    BOOL(WINAPI* CryptCATCatalogInfoFromContext)(HCATINFO, CATALOG_INFO*, DWORD);

    // The Authenticode and time-stamp chain policies.
    BOOL(WINAPI* CertVerifyCertificateChainPolicy)
    (LPCSTR, PCCERT_CHAIN_CONTEXT, PCERT_CHAIN_POLICY_PARA, PCERT_CHAIN_POLICY_STATUS);
    // Compares a file's digest with the one a signature carries.
    BOOL(WINAPI* CryptSIPVerifyIndirectData)(SIP_SUBJECTINFO*, SIP_INDIRECT_DATA*);
    // The SIP subject type of a file, as a catalog member names it.
    BOOL(WINAPI* CryptSIPRetrieveSubjectGuidForCatalogFile)(LPCWSTR, HANDLE, GUID*);
};

}  // namespace DS
