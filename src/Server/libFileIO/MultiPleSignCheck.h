// The process-wide multiple-signature verifier and the invalid-signature
// records it leaves for the agent's other components.
#pragma once

#include <windows.h>

#include <wincrypt.h>
#include <wintrust.h>

#include <set>
#include <string>
#include <vector>

#include "ut_Lock.h"

// One row of the ACS table: the two usages an ACS signer carries and the
// signature hash of the vendor certificate its chain must hold.
struct AcsEkuEntry {
    const char* pszReleaseEku;
    const char* pszVendorEku;
    const BYTE* pbPinnedHash;
    DWORD cbPinnedHash;
};

// 1 when the PE file demands integrity checking (forced-integrity flag).
int IsIntegrityCheckEnabled(const wchar_t* pwszFile);
// This module's file path; 1 on success.
int GetCurrentModulePath(wchar_t* pwszBuffer, DWORD cchBuffer);

// The shim key pack's tests. Stateless; only CheckShimMarker leaves a trace
// (the shim-library invalid record).
int ReadAgentRegistryDword(const wchar_t* pwszSubKey, const wchar_t* pwszName, DWORD& value);
int IsShimValidationEnabled();
int IsSignedByVendorSubject(const wchar_t* pwszFile);
int CheckShimMarker(const wchar_t* pwszFile);
int IsMarkerResourceValid(const wchar_t* pwszFile);
int VerifyPinnedChainForFile(const wchar_t* pwszFile);
int VerifyPinnedChain(HCERTSTORE hStore, HCRYPTMSG hMsg);
int HasAcsEkus(PCCERT_CONTEXT pCert);

namespace Bastion_Service_Framework {
// The marker check: 1 passed; else the record is written and 0 returned.
class HalyardMarker {
public:
    virtual ~HalyardMarker() = default;
    int Check(const wchar_t* pwszFile);
};
}  // namespace Bastion_Service_Framework

class CVerifyFileSignV2 : UTIL::CNonCopyable {
public:
    using PublicKey = std::vector<BYTE>;
    using PublicKeySet = std::set<PublicKey>;

    // Created on first use, lives until process exit.
    static CVerifyFileSignV2* GetInstance();

    // Accepts a file whose trust-provider check failed when its hash matches
    // and a vendor key or the pinned vendor chain signed it: 1 accepted, 0
    // refused. `wtd` is a template whose dwProvFlags this call changes.
    int VerifyEmbeddedSignatureByCertInfo(const wchar_t* pwszFile, WINTRUST_DATA* wtd);

    // Trust status of the file's embedded signatures (0: verified).
    LONG VerifyEmbeddedSignature(const wchar_t* pwszFile, WINTRUST_DATA* wtd, bool bStrongSignPolicy);
    LONG VerifyEmbeddedSignatureV1(const wchar_t* pwszFile, WINTRUST_DATA* wtd);
    LONG VerifyEmbeddedSignatureV2(const wchar_t* pwszFile, bool bStrongSignPolicy, WINTRUST_DATA* wtd);
    // The file's digest against the one its primary signature carries.
    bool LowLevelVerifyHash(const wchar_t* pwszFile);
    // The hash-only check of the trust provider, with the low-level digest
    // compare where it distrusts the signer; `status` gets its answer.
    bool HashMatchesSignature(const wchar_t* pwszFile, WINTRUST_DATA* wtd, LONG& status);

    // 1 when the primary and every nested signature verify; the keys of the
    // nested signers that verified are listed in order.
    int VerifySignatureAndGetCertInfo(const wchar_t* pwszFile, PublicKey& primaryKey, std::wstring& signer,
                                      std::vector<PublicKey>& secondaryKeys);
    int VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& blob, PublicKey& key);
    // A message parameter in a heap buffer the caller frees; null on failure.
    static BYTE* GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParam);
    // Every nested signature of the signer, in order; returns their number.
    static int GetNestedSignature(const CMSG_SIGNER_INFO* pSignerInfo, std::vector<const CRYPT_ATTR_BLOB*>& nested);

    int VerifyACSWithoutRootCAForFile(const wchar_t* pwszFile);
    int VerifyACSWithoutRootCA(HCERTSTORE hStore, HCRYPTMSG hMsg);
    int VerifyACSCertChain(HCERTSTORE hStore, HCRYPTMSG hMsg, const AcsEkuEntry& row);

    int IntegrityCheckForKeyPack(const wchar_t* pwszFile);
    int LoadCertificatePublicKeyFromDLL(const wchar_t* pwszFile);
    int LoadKeyPackAndUpdatePublicKeyList(const wchar_t* pwszFile);
    static bool IsFileInIntegrityList(const wchar_t* pwszFile);

    // "DSInvalidLogLastInfo.log": the last file the signature manager refused.
    void WriteDigitalSignInvalidLog(const wchar_t* pwszFile, int nCode);
    // "SBInvalidLogLastInfo.log": the last shim key pack that failed its marker
    // check. 1 when bytes were written. Static: the marker check runs while
    // the instance is still being constructed (the key-pack load).
    static int WriteShimBinaryInvalidLog(const wchar_t* pwszFile, int nCode);
    // The "TelemetryACSLocalVerifyFail" value under Misc.; the key is never created.
    void WriteDigitalSignInvalidTelemetryInfo(const wchar_t* pwszFile, DWORD dwValue1, DWORD dwValue2);

    // The four parts of the file's fixed version; 1 when read. The outputs are
    // untouched on failure.
    static int GetFileVersionParts(const wchar_t* pwszFile, WORD& major, WORD& minor, WORD& build, WORD& revision);

    // The vendor keys, swapped whole (for tests and tools).
    PublicKeySet ExchangePublicKeys(PublicKeySet keys);

    // A key-pack key longer than this is refused.
    static constexpr DWORD kMaxPublicKeyBytes = 16 * 1024;

private:
    CVerifyFileSignV2();
    ~CVerifyFileSignV2() = default;
    friend class CVerifyFileSignV2Holder;

    int m_bMultipleSign = 0;
    PublicKeySet m_publicKeys;
    UTIL::CCriticalSection m_lock;
};
