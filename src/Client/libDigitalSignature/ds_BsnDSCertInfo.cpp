// The embedded PKCS #7 signature verified with CryptoAPI, for platforms whose
// trust provider cannot verify secondary signatures: signer, chain, policies,
// the file's digest and the signer name, then each nested signature in turn.
#include <wchar.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ds_BsnDSInternal.h"
#include "ds_BsnDSManager.h"
#include "logcl_DebugLog.h"
#include "ut_CryptHandle.h"
#include "ut_Trace.h"

namespace {

// Closed with CERT_CLOSE_STORE_CHECK_FLAG.
using CMessageStore = UTIL::CUniqueResource<HCERTSTORE, UTIL::CCertStoreTraits<CERT_CLOSE_STORE_CHECK_FLAG>>;

// Code signing: a certificate issued for other purposes signs no code.
char g_szCodeSigningOid[] = szOID_PKIX_KP_CODE_SIGNING;
LPSTR g_codeSigningUsage[] = {g_szCodeSigningOid};

// WTPF_IGNOREEXPIRATION | WTPF_IGNOREREVOKATION
constexpr DWORD kPolicySettings = 0x300;
// CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL
constexpr DWORD kChainFlags = 0x80000004;

[[noreturn]] void Raise(const char* text) { throw std::runtime_error(text); }

// The signature's SpcIndirectData digest must be the file's: the signature
// is otherwise valid for whatever file it was copied from.
void VerifyFileDigest(const DS::CTrustProvider& provider, HCRYPTMSG hMsg,
                      const CBsnDigitalSignatureManagerEx::CSignedFile& file)
{
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, CMSG_INNER_CONTENT_TYPE_PARAM, 0, nullptr, &cb))
        Raise("failed to get the signed content type");
    std::vector<char> type(cb + 1, '\0');
    if (!::CryptMsgGetParam(hMsg, CMSG_INNER_CONTENT_TYPE_PARAM, 0, type.data(), &cb) ||
        strcmp(type.data(), SPC_INDIRECT_DATA_OBJID) != 0)
        Raise("the signed content is not a file digest");

    cb = 0;
    if (!::CryptMsgGetParam(hMsg, CMSG_CONTENT_PARAM, 0, nullptr, &cb) || !cb)
        Raise("failed to get the signed content");
    std::vector<BYTE> content(cb);
    if (!::CryptMsgGetParam(hMsg, CMSG_CONTENT_PARAM, 0, content.data(), &cb))
        Raise("failed to get the signed content");

    DWORD cbDecoded = 0;
    if (!::CryptDecodeObject(DS::kMsgEncoding, SPC_INDIRECT_DATA_OBJID, content.data(), cb, 0, nullptr, &cbDecoded) ||
        cbDecoded < sizeof(SIP_INDIRECT_DATA))
        Raise("failed to decode the signed file digest");
    std::vector<BYTE> decoded(cbDecoded);
    if (!::CryptDecodeObject(DS::kMsgEncoding, SPC_INDIRECT_DATA_OBJID, content.data(), cb, 0, decoded.data(),
                             &cbDecoded))
        Raise("failed to decode the signed file digest");
    auto* indirect = reinterpret_cast<SIP_INDIRECT_DATA*>(decoded.data());

    GUID subject = file.subject;
    SIP_SUBJECTINFO info = {};
    info.cbSize = sizeof(info);
    info.pgSubjectType = &subject;
    info.hFile = file.hFile;
    info.pwsFileName = file.pwszFile;
    info.dwEncodingType = DS::kMsgEncoding;
    info.DigestAlgorithm = indirect->DigestAlgorithm;
    if (!provider.CryptSIPVerifyIndirectData(&info, indirect))
        Raise("the file's content does not match the signature");
}

}  // namespace

std::vector<BYTE> CBsnDigitalSignatureManagerEx::EzMsgGetParam(HCRYPTMSG hMsg)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::EzMsgGetParam";
    if (!hMsg) {
        LOGW(LOG_LEVEL_D, L"%s - invalid function parameter", name);
        return {};
    }
    DWORD size = 0;
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size < sizeof(CMSG_SIGNER_INFO)) {
        LOGW(LOG_LEVEL_D, L"%s - failed to get dwSize by calling CryptMsgGetParam()", name);
        return {};
    }
    std::vector<BYTE> info(size, 0);
    if (!::CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, info.data(), &size)) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptMsgGetParam()", name);
        return {};
    }
    return info;
}

std::wstring CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(PCCERT_CONTEXT pCert)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::EzCertGetSubjectName";
    const DWORD chars = pCert ? ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0) : 0;
    if (!chars) {
        LOGW(LOG_LEVEL_D, L"%s - failed to get dwSize by calling CertGetNameString()", name);
        return {};
    }
    // The length counts the terminator: 1 for an empty name.
    std::vector<wchar_t> buffer(chars, L'\0');
    ::CertGetNameStringW(pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer.data(), chars);
    std::wstring subject(buffer.data(), wcsnlen(buffer.data(), chars));
    LOGW(LOG_LEVEL_D, L"%s - subject name=[%s]", name, subject.c_str());
    return subject;
}

bool CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile(const wchar_t* pwszFile, DWORD dwFlags)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoFile";
    LOG_SCOPEW(name);
    bool result = false;
    try {
        CMessageStore store;
        UTIL::CUniqueCryptMsg msg;
        if (!pwszFile || !::CryptQueryObject(CERT_QUERY_OBJECT_FILE, pwszFile,
                                             CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                                             0, nullptr, nullptr, nullptr, store.put(), msg.put(), nullptr)) {
            LOGW(LOG_LEVEL_E, L"%s - failed to call CryptQueryObject(), err=%d", name, ::GetLastError());
            Raise("failed to call CryptQueryObject() to query digital signature");
        }
        // What every accepted signature's digest is compared with.
        UTIL::CUniqueFile file(::CreateFileW(pwszFile, GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        CSignedFile subject = {file.get(), pwszFile, {}};
        if (!file || !::CryptSIPRetrieveSubjectGuid(pwszFile, file.get(), &subject.subject))
            Raise("failed to identify the file's subject type");
        result = VerifyCertInfoAt(store.get(), msg.get(), dwFlags, &subject, 0);
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_E, L"%s - exception is thrown: %S", name, e.what());
    }
    LOGW(LOG_LEVEL_D, L"%s - verify result=%d", name, result ? 1 : 0);
    return result;
}

bool CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob(const CRYPT_DATA_BLOB& blob, DWORD dwFlags,
                                                                       const CSignedFile* file)
{
    return VerifyCertInfoBlobAt(blob, dwFlags, file, 0);
}

bool CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags,
                                                                   const CSignedFile* file)
{
    return VerifyCertInfoAt(hStore, hMsg, dwFlags, file, 0);
}

bool CBsnDigitalSignatureManagerEx::VerifyCertInfoBlobAt(const CRYPT_DATA_BLOB& blob, DWORD dwFlags,
                                                         const CSignedFile* file, int depth)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfoBlob";
    LOG_SCOPEW(name);
    bool result = false;
    try {
        // A crafted file can nest without end.
        if (depth > kMaxNestingDepth)
            Raise("nested signatures go deeper than the verification follows");
        CMessageStore store;
        UTIL::CUniqueCryptMsg msg;
        if (!blob.pbData || !blob.cbData ||
            !::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                                CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), msg.put(),
                                nullptr))
            Raise("failed to call CryptQueryObject() to query digital signature");
        result = VerifyCertInfoAt(store.get(), msg.get(), dwFlags, file, depth);
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_D, L"%s - exception is thrown: %S", name, e.what());
    }
    LOGW(LOG_LEVEL_D, L"%s - verify result=%d", name, result ? 1 : 0);
    return result;
}

bool CBsnDigitalSignatureManagerEx::VerifyCertInfoAt(HCERTSTORE hStore, HCRYPTMSG hMsg, DWORD dwFlags,
                                                     const CSignedFile* file, int depth)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureCertInfo";
    LOG_SCOPEW(name);
    const DS::CTrustProvider& provider = CSingletonWinTrustHelper::Instance().Provider();
    bool accepted = false;
    try {
        const std::vector<BYTE> signerBuffer = EzMsgGetParam(hMsg);
        if (signerBuffer.empty())
            Raise("failed to get signer cert info");
        auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(const_cast<BYTE*>(signerBuffer.data()));

        CERT_INFO key = {};
        key.Issuer = signer->Issuer;
        key.SerialNumber = signer->SerialNumber;
        UTIL::CUniqueCertContext cert(
            ::CertFindCertificateInStore(hStore, DS::kMsgEncoding, 0, CERT_FIND_SUBJECT_CERT, &key, nullptr));
        if (!cert)
            Raise("failed to get cert context");
        if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo))
            Raise("CryptMsgControl() indicates invalid sign");

        CERT_CHAIN_PARA chainPara = {};
        chainPara.cbSize = sizeof(chainPara);
        chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
        chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = g_codeSigningUsage;
        UTIL::CUniqueChainContext chain;
        if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert.get(), nullptr, hStore, &chainPara, kChainFlags,
                                       nullptr, chain.put()))
            Raise("failed to call CertGetCertificateChain() to create a chain for the cert");
        // An expired certificate is left to the policies below.
        const CERT_TRUST_STATUS& trust = chain.get()->TrustStatus;
        if (trust.dwErrorStatus & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID)) {
            LOGW(LOG_LEVEL_D, L"%s - CERT_TRUST_STATUS::dwErrorStatus=[%08x], CERT_TRUST_STATUS::dwInfoStatus=[%08x]",
                 name, trust.dwErrorStatus, trust.dwInfoStatus);
            Raise("CertGetCertificateChain() indicates invalid sign");
        }

        AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA extra = {};
        extra.cbSize = sizeof(extra);
        extra.dwRegPolicySettings = kPolicySettings;
        extra.pSignerInfo = signer;
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof(policy);
        policy.pvExtraPolicyPara = &extra;
        AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_STATUS extraStatus = {};
        extraStatus.cbSize = sizeof(extraStatus);
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof(status);
        status.pvExtraPolicyStatus = &extraStatus;
        if (!provider.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), &policy, &status))
            Raise("failed to call CertVerifyCertificateChainPolicy() to verify the chain policy");
        if (status.dwError) {
            LOGW(LOG_LEVEL_D, L"%s - CERT_CHAIN_POLICY_STATUS::dwError=[%08x]", name, status.dwError);
            Raise("CertVerifyCertificateChainPolicy() indicates invalid sign");
        }

        CERT_CHAIN_POLICY_STATUS tsStatus = {};
        tsStatus.cbSize = sizeof(tsStatus);
        if (!provider.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.get(), &policy,
                                                       &tsStatus))
            Raise("failed to call CertVerifyCertificateChainPolicy() to verify the chain policy for timestamp");
        if (tsStatus.dwError) {
            LOGW(LOG_LEVEL_D, L"%s - CERT_CHAIN_POLICY_STATUS::dwError=[%08x]", name, tsStatus.dwError);
            Raise("CertVerifyCertificateChainPolicy() indicates invalid timestamp sign");
        }
        if (file)
            VerifyFileDigest(provider, hMsg, *file);

        const std::wstring signerName = EzCertGetSubjectName(cert.get());
        LOGW(LOG_LEVEL_D, L"%s - signer=%s", name, signerName.c_str());
        if (dwFlags) {
            if (VerifySignerForDigitalSignature(signerName, PrepareSigners(dwFlags))) {
                LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature and signer is correct", name);
                accepted = true;
            } else {
                LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature but signer is incorrect", name);
            }
        } else {
            LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature and no need to check signer", name);
            accepted = true;
        }

        // Refused signer: each nested signature, in order, until one is accepted.
        const CRYPT_ATTRIBUTES& attributes = signer->UnauthAttrs;
        for (DWORD i = 0; !accepted && i < attributes.cAttr; ++i) {
            const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
            if (!attribute.pszObjId || strcmp(attribute.pszObjId, DS::kNestedSignatureOid) != 0)
                continue;
            for (DWORD v = 0; !accepted && v < attribute.cValue; ++v)
                accepted = VerifyCertInfoBlobAt(attribute.rgValue[v], dwFlags, file, depth + 1);
        }
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_D, L"%s - exception is thrown: %S", name, e.what());
    }
    LOGW(LOG_LEVEL_D, L"%s - verify result=%d", name, accepted ? 1 : 0);
    return accepted;
}
