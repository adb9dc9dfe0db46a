// The shim key pack's own tests: the registry switch, the vendor subject, the
// marker resource and the pinned vendor chains.
#include <string.h>
#include <wchar.h>

#include <memory>
#include <string>
#include <vector>

#include "MultiPleSignCheck.h"
#include "ds_BsnDSManager.h"
#include "ut_AgentRegistry.h"
#include "ut_CryptHandle.h"
#include "ut_Handle.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr char kAcsReleaseEku[] = "1.3.6.1.4.1.311.97.1.0";
constexpr char kAcsVendorEku[] = "1.3.6.1.4.1.311.97.418260975.903317642.270584139.651049823";
constexpr wchar_t kVendorSubject[] = L"Corvane, Inc.";

#include KSX_PINS_INC

// Elements from the leaf upward; a null pin is any certificate.
struct PinnedChainPattern {
    DWORD cElements;
    const BYTE* pins[4];
};
const PinnedChainPattern kRegularPattern = {3, {nullptr, kPinRegularIssuing, kPinRegularRoot, nullptr}};
const PinnedChainPattern kAcsPattern = {4, {nullptr, nullptr, kPinAcsVendor, nullptr}};
constexpr DWORD kPinBytes = 48;

struct CFree {
    void operator()(void* p) const noexcept { free(p); }
};

// The signer certificate of a message, by issuer and serial number.
UTIL::CUniqueCertContext SignerCertificate(HCERTSTORE hStore, HCRYPTMSG hMsg)
{
    std::unique_ptr<BYTE, CFree> buffer(CVerifyFileSignV2::GetInfoFromMsg(hMsg, CMSG_SIGNER_INFO_PARAM));
    if (!buffer)
        return UTIL::CUniqueCertContext();
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.get());
    CERT_INFO issuer = {};
    issuer.Issuer = info->Issuer;
    issuer.SerialNumber = info->SerialNumber;
    return UTIL::CUniqueCertContext(
        ::CertFindCertificateInStore(hStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &issuer, nullptr));
}

bool QueryEmbedded(const wchar_t* path, UTIL::CUniqueCertStore& store, UTIL::CUniqueCryptMsg& msg)
{
    return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), msg.put(),
                              nullptr);
}

// Whether `size` bytes from `p` lie in committed, readable pages of one
// allocation: a resource entry may claim more bytes than the file maps.
bool IsReadable(const BYTE* p, DWORD size)
{
    MEMORY_BASIC_INFORMATION first = {};
    if (!::VirtualQuery(p, &first, sizeof(first)))
        return false;
    MEMORY_BASIC_INFORMATION region = first;
    const BYTE* end = p;
    for (;;) {
        if (region.State != MEM_COMMIT || (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) ||
            region.AllocationBase != first.AllocationBase)
            return false;
        end = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (static_cast<size_t>(end - p) >= size)
            return true;
        if (!::VirtualQuery(end, &region, sizeof(region)))
            return false;
    }
}

}  // namespace

int ReadAgentRegistryDword(const wchar_t* pwszSubKey, const wchar_t* pwszName, DWORD& value)
{
    UTIL::CUniqueHKey key;
    DWORD data = 0;
    if (UTIL::OpenAgentKey(pwszSubKey, key) != ERROR_SUCCESS || UTIL::ReadRegDword(key.get(), pwszName, data) != 0)
        return 0;
    value = data;
    return 1;
}

int IsShimValidationEnabled()
{
    DWORD value = 0;
    return ReadAgentRegistryDword(L"Misc.", L"EnableShimValidation", value) && value == 1 ? 1 : 0;
}

int IsSignedByVendorSubject(const wchar_t* pwszFile)
{
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
    if (!pwszFile || !QueryEmbedded(pwszFile, store, msg))
        return 0;
    UTIL::CUniqueCertContext cert = SignerCertificate(store.get(), msg.get());
    return cert && ::CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo) &&
                   CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(cert.get()) == kVendorSubject
               ? 1
               : 0;
}

int HasAcsEkus(PCCERT_CONTEXT pCert)
{
    DWORD cb = 0;
    if (!pCert || !::CertGetEnhancedKeyUsage(pCert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &cb) || cb == 0)
        return 0;
    UTIL::CUniqueLocalPtr<CERT_ENHKEY_USAGE> usage(static_cast<CERT_ENHKEY_USAGE*>(::LocalAlloc(LPTR, cb)));
    if (!usage || !::CertGetEnhancedKeyUsage(pCert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage.get(), &cb))
        return 0;
    bool release = false, vendor = false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        release = release || strcmp(usage->rgpszUsageIdentifier[i], kAcsReleaseEku) == 0;
        vendor = vendor || strcmp(usage->rgpszUsageIdentifier[i], kAcsVendorEku) == 0;
    }
    return release && vendor ? 1 : 0;
}

int VerifyPinnedChain(HCERTSTORE hStore, HCRYPTMSG hMsg)
{
    UTIL::CUniqueCertContext cert = SignerCertificate(hStore, hMsg);
    if (!cert || CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(cert.get()) != kVendorSubject ||
        !::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo))
        return 0;
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    UTIL::CUniqueChainContext chain;
    if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert.get(), nullptr, hStore, &para,
                                   CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                   nullptr, chain.put()))
        return 0;
    const CERT_TRUST_STATUS& trust = chain.get()->TrustStatus;
    if (trust.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED)
        return 0;
    const bool acs = HasAcsEkus(cert.get()) == 1;
    const DWORD tolerated = acs ? CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_UNTRUSTED_ROOT : 0;
    if ((trust.dwErrorStatus & ~tolerated) != 0 || chain.get()->cChain == 0)
        return 0;
    const PinnedChainPattern& pattern = acs ? kAcsPattern : kRegularPattern;
    const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[0];
    if (simple->cElement != pattern.cElements)
        return 0;
    for (DWORD i = 0; i < pattern.cElements; ++i) {
        if (!pattern.pins[i])
            continue;
        BYTE hash[kPinBytes] = {};
        DWORD cb = sizeof(hash);
        if (!::CertGetCertificateContextProperty(simple->rgpElement[i]->pCertContext, CERT_SIGNATURE_HASH_PROP_ID, hash,
                                                 &cb) ||
            cb != kPinBytes || memcmp(hash, pattern.pins[i], kPinBytes) != 0)
            return 0;
    }
    return 1;
}

int VerifyPinnedChainForFile(const wchar_t* pwszFile)
{
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
    if (!pwszFile || !QueryEmbedded(pwszFile, store, msg))
        return 0;
    if (VerifyPinnedChain(store.get(), msg.get()) == 1)
        return 1;
    std::unique_ptr<BYTE, CFree> buffer(CVerifyFileSignV2::GetInfoFromMsg(msg.get(), CMSG_SIGNER_INFO_PARAM));
    if (!buffer)
        return 0;
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.get());
    for (DWORD i = 0; i < info->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = info->UnauthAttrs.rgAttr[i];
        if (!attr.pszObjId || strcmp(attr.pszObjId, kNestedSignatureOid) != 0)
            continue;
        for (DWORD v = 0; v < attr.cValue; ++v) {
            CERT_BLOB blob = {attr.rgValue[v].cbData, attr.rgValue[v].pbData};
            UTIL::CUniqueResource<HCERTSTORE, UTIL::CCertStoreTraits<CERT_CLOSE_STORE_CHECK_FLAG>> nestedStore;
            UTIL::CUniqueCryptMsg nestedMsg;
            if (::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                   CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, nestedStore.put(),
                                   nestedMsg.put(), nullptr) &&
                VerifyPinnedChain(nestedStore.get(), nestedMsg.get()) == 1)
                return 1;
        }
    }
    return 0;
}

int IsMarkerResourceValid(const wchar_t* pwszFile)
{
    UTIL::CUniqueModule module(::LoadLibraryExW(pwszFile, nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return 0;
    const HRSRC found = ::FindResourceW(module.get(), MAKEINTRESOURCEW(1), L"CORVANEHALYARDMARKER");
    const HGLOBAL loaded = found ? ::LoadResource(module.get(), found) : nullptr;
    const BYTE* p = loaded ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
    const DWORD size = found ? ::SizeofResource(module.get(), found) : 0;
    if (!p || size == 0 || !IsReadable(p, size))
        return 0;
    // Counted down from what is left: a length near 2^32 cannot wrap past the
    // end. A record cut short leaves the resource malformed, even at its end.
    DWORD remaining = size;
    while (remaining >= 2) {
        remaining -= 2;
        if (remaining < 4)
            return 0;
        DWORD n = 0;
        memcpy(&n, p + 2, sizeof(n));
        remaining -= 4;
        if (n > remaining)
            return 0;
        p += 6 + static_cast<size_t>(n);
        remaining -= n;
    }
    return remaining == 0 ? 1 : 0;
}

namespace Bastion_Service_Framework {

int HalyardMarker::Check(const wchar_t* pwszFile)
{
    int code = 0;
    if (!IsMarkerResourceValid(pwszFile))
        code = -2;
    else if (!VerifyPinnedChainForFile(pwszFile))
        code = -1;
    if (code == 0)
        return 1;
    CVerifyFileSignV2::WriteShimBinaryInvalidLog(pwszFile, code);
    return 0;
}

}  // namespace Bastion_Service_Framework

int CheckShimMarker(const wchar_t* pwszFile) { return Bastion_Service_Framework::HalyardMarker().Check(pwszFile); }
