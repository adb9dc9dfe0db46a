// Decides whether a file on disk carries an acceptable code signature: the
// embedded Authenticode signatures through the trust provider, then the
// fallbacks (vendor keys, the certificate chains of every nested signature,
// the system's security catalogs).
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "ds_TrustProvider.h"
#include "ut_Handle.h"
#include "ut_Lock.h"

// Last error after a refused issuer check, and the error of a valid signature
// whose signer is not allowed (the customer bit is set).
constexpr DWORD ERROR_FAILED_ISSUER_CHECK = 0x20001447;

// Signer-policy flags. 0 accepts any valid signature without a signer test.
enum : DWORD {
    DS_SIGNER_VENDOR = 0x1,      // "Corvane, Inc."
    DS_SIGNER_MICROSOFT = 0x2,   // the six Microsoft signer names
    DS_CHECK_CATALOG = 0x10000,  // try the system's catalogs last
};

struct SignatureCheckResult {
    DWORD dwError;  // 0 when verified; else the last trust status or error
    bool bVerified;
};

// Allowed signer names, compared ordinally and case-sensitively.
using SignerSet = std::set<std::wstring>;

// The WinTrust entry points, bound once per process. A platform whose WinTrust
// exports both catalog "2" entry points can verify secondary signatures.
class CSingletonWinTrustHelper : UTIL::CNonCopyable {
public:
    static CSingletonWinTrustHelper& Instance();

    bool IsMultipleSign() const;
    const DS::CTrustProvider& Provider() const;

private:
    CSingletonWinTrustHelper();
    ~CSingletonWinTrustHelper();

    bool m_bMultipleSign = false;
    UTIL::CUniqueModule m_hWinTrust;
    DS::CTrustProvider m_provider = {};
};

class CBsnDigitalSignatureManagerEx {
public:
    // VerifyDigitalSignature, and on refusal the invalid-signature record.
    static SignatureCheckResult VerifyDigitalSignatureAndRecord(const wchar_t* pwszFile, DWORD dwFlags,
                                                                bool bStrongSignPolicy);
    static SignatureCheckResult VerifyDigitalSignature(const wchar_t* pwszFile, DWORD dwFlags, bool bStrongSignPolicy);

    static SignatureCheckResult VerifyEmbeddedSignatureSingleSign(const wchar_t* pwszFile, DWORD dwFlags);
    static SignatureCheckResult VerifyEmbeddedSignatureMultipleSign(const wchar_t* pwszFile, DWORD dwFlags,
                                                                    bool bStrongSignPolicy);

    static SignerSet PrepareSigners(DWORD dwFlags);
    // The leaf signer's simple display name after a successful WinVerifyTrust;
    // empty when it cannot be read.
    static std::wstring GetSignerFromhWVTStateData(HANDLE hWVTStateData);
    static bool VerifySignerForDigitalSignature(const std::wstring& signer, const SignerSet& signers);

    // Catalog membership with a Microsoft catalog signer: 0 when verified.
    static DWORD VerifyByMSCatalogSingleSign(const wchar_t* pwszFile);
    static DWORD VerifyByMSCatalogMutipleSign(const wchar_t* pwszFile, bool bStrongSignPolicy);
    // The file's catalog hash; empty on failure.
    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle(HANDLE hFile);
    static std::vector<BYTE> EzCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile);

    // The file's embedded PKCS #7 signature checked with CryptoAPI: signer,
    // chain, Authenticode and time-stamp policies, the file's digest, the
    // signer name; when the signer is refused, each nested signature in turn.
    static bool VerifyDigitalSignatureCertInfoFile(const wchar_t* pwszFile, DWORD dwFlags);

    // A signature that belongs to a file on disk: what its digest must match.
    struct CSignedFile {
        HANDLE hFile;
        const wchar_t* pwszFile;
        GUID subject;  // the file's SIP subject type
    };
    // One encoded signed-data blob (a nested signature) and one decoded
    // message. Without `file`, only the message itself is verified: the caller
    // must tie its content to what it protects.
    static bool VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& blob, DWORD dwFlags,
                                                   const CSignedFile* file = nullptr);
    static bool VerifyDigitalSignatureCertInfo(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags,
                                               const CSignedFile* file = nullptr);

    // CMSG_SIGNER_INFO of signer 0; empty on failure.
    static std::vector<BYTE> EzMsgGetParam(HCRYPTMSG hMsg);
    // The certificate's simple display name; empty on failure.
    static std::wstring EzCertGetSubjectName(PCCERT_CONTEXT pCert);

    // Nested signatures below the primary that are still searched.
    static constexpr int kMaxNestingDepth = 4;

private:
    static bool VerifyCertInfoBlobAt(const CRYPT_DATA_BLOB& blob, DWORD dwFlags, const CSignedFile* file, int depth);
    static bool VerifyCertInfoAt(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags, const CSignedFile* file, int depth);
};
