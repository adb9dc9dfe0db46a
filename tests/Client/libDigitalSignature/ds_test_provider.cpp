#include "ds_test_provider.h"

#include <gtest/gtest.h>

#include <string.h>

#include "MultiPleSignCheck_TestHooks.h"

namespace DsTest {

namespace {

CScriptedTrust* g_script = nullptr;
CCertInfoAnswer* g_certInfo = nullptr;

int CertInfoHook(const wchar_t*, WINTRUST_DATA* wtd)
{
    ++g_certInfo->calls;
    memcpy(&g_certInfo->templ, wtd, sizeof(g_certInfo->templ));
    if (g_certInfo->templ.pFile)
        g_certInfo->fileInfo = *g_certInfo->templ.pFile;
    return g_certInfo->answer;
}

}  // namespace

UTIL::CUniqueCertContext MakeCert(const wchar_t* x500)
{
    static const BYTE kEmptyName[] = {0x30, 0x00};
    std::vector<BYTE> name(kEmptyName, kEmptyName + sizeof(kEmptyName));
    if (*x500) {
        DWORD cb = 0;
        EXPECT_TRUE(::CertStrToNameW(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, nullptr, &cb, nullptr));
        name.resize(cb);
        EXPECT_TRUE(::CertStrToNameW(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, name.data(), &cb, nullptr));
    }
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(::CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0;
    EXPECT_TRUE(::CryptGenKey(prov, AT_SIGNATURE, 1024 << 16, &key));
    CERT_NAME_BLOB subject = {static_cast<DWORD>(name.size()), name.data()};
    UTIL::CUniqueCertContext cert(
        ::CertCreateSelfSignCertificate(prov, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(cert);
    ::CryptDestroyKey(key);
    ::CryptReleaseContext(prov, 0);
    return cert;
}

CScriptedTrust::CScriptedTrust() { g_script = this; }
CScriptedTrust::~CScriptedTrust() { g_script = nullptr; }

DS::CTrustProvider CScriptedTrust::Provider(bool single) const
{
    DS::CTrustProvider p = DSTestHooks::SystemTrustProvider();
    p.WinVerifyTrust = Verify;
    p.WTHelperProvDataFromStateData = ProvData;
    // Only their presence counts here: it makes the platform a multiple-signature one.
    p.CryptCATAdminAcquireContext2 = nullptr;
    p.CryptCATAdminCalcHashFromFileHandle2 = nullptr;
    if (!single) {
        p.CryptCATAdminAcquireContext2 = [](HCATADMIN*, const GUID*, const WCHAR*, const CERT_STRONG_SIGN_PARA*,
                                            DWORD) -> BOOL {
            ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return FALSE;
        };
        p.CryptCATAdminCalcHashFromFileHandle2 = [](HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD) -> BOOL {
            ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return FALSE;
        };
    }
    return p;
}

LONG WINAPI CScriptedTrust::Verify(HWND, GUID*, LPVOID pv)
{
    CScriptedTrust& s = *g_script;
    auto* data = static_cast<DS::CWinTrustData*>(pv);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE) {
        ++s.closes;
        data->hWVTStateData = nullptr;
        return 0;
    }
    ++s.verifies;
    s.lastData = *data;
    DWORD index = 0;
    if (data->pSignatureSettings) {
        s.lastSettings = *data->pSignatureSettings;
        const CERT_STRONG_SIGN_PARA* policy = data->pSignatureSettings->pCryptoPolicy;
        s.lastPolicyOid = policy && policy->dwInfoChoice == CERT_STRONG_SIGN_OID_INFO_CHOICE ? policy->pszOID : "";
        index = data->pSignatureSettings->dwIndex;
        data->pSignatureSettings->cSecondarySigs = static_cast<DWORD>(s.script.size() - 1);
    }
    s.indices.push_back(index);
    const Signature& signature = s.script.at(index);

    s.m_states.emplace_back();
    State& state = s.m_states.back();
    state = {};
    state.cert.cbStruct = sizeof(state.cert);
    state.cert.pCert = signature.signer;
    state.signer.cbStruct = sizeof(state.signer);
    state.signer.csCertChain = 1;
    state.signer.pasCertChain = &state.cert;
    state.data.cbStruct = sizeof(state.data);
    state.data.csSigners = 1;
    state.data.pasSigners = &state.signer;
    data->hWVTStateData = &state.data;
    return signature.status;
}

CRYPT_PROVIDER_DATA* WINAPI CScriptedTrust::ProvData(HANDLE state) { return static_cast<CRYPT_PROVIDER_DATA*>(state); }

CCertInfoAnswer::CCertInfoAnswer(int a) : answer(a)
{
    g_certInfo = this;
    MultiPleSignCheckHooks::SetCertInfoVerifier(CertInfoHook);
}

CCertInfoAnswer::~CCertInfoAnswer()
{
    MultiPleSignCheckHooks::SetCertInfoVerifier(nullptr);
    g_certInfo = nullptr;
}

namespace {

std::string ReadFileBytes(const wchar_t* path)
{
    std::string bytes;
    UTIL::CUniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > (64 << 20))
        return bytes;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()))
        bytes.clear();
    return bytes;
}

// Windows' PE SIP: the image digest with the signature's algorithm.
BOOL WINAPI PeDigestMatches(SIP_SUBJECTINFO* subject, SIP_INDIRECT_DATA* indirect)
{
    const ALG_ID alg = ::CertOIDToAlgId(indirect->DigestAlgorithm.pszObjId);
    const std::vector<BYTE> digest = PeImageDigest(ReadFileBytes(subject->pwsFileName), alg);
    return !digest.empty() && digest.size() == indirect->Digest.cbData &&
           memcmp(digest.data(), indirect->Digest.pbData, digest.size()) == 0;
}

// Windows' Authenticode policies: the chain checks with expiry and
// revocation left out as the registry policy settings ask.
BOOL WINAPI AuthenticodePolicies(LPCSTR oid, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                                 PCERT_CHAIN_POLICY_STATUS status)
{
    if (oid != CERT_CHAIN_POLICY_AUTHENTICODE && oid != CERT_CHAIN_POLICY_AUTHENTICODE_TS)
        return ::CertVerifyCertificateChainPolicy(oid, chain, para, status);
    const auto* extra =
        para ? static_cast<const AUTHENTICODE_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara) : nullptr;
    CERT_CHAIN_POLICY_PARA base = {};
    base.cbSize = sizeof(base);
    if (extra && (extra->dwRegPolicySettings & WTPF_IGNOREEXPIRATION))
        base.dwFlags |= CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    if (extra && (extra->dwRegPolicySettings & WTPF_IGNOREREVOKATION))
        base.dwFlags |= CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    return ::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &base, status);
}

template <typename T>
bool At(const std::string& bytes, size_t offset, T& value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

}  // namespace

DS::CTrustProvider WindowsPolicies()
{
    DS::CTrustProvider p = DSTestHooks::SystemTrustProvider();
    p.CertVerifyCertificateChainPolicy = AuthenticodePolicies;
    p.CryptSIPVerifyIndirectData = PeDigestMatches;
    return p;
}

std::vector<BYTE> PeImageDigest(const std::string& bytes, ALG_ID alg)
{
    DWORD pe = 0, signature = 0, certOffset = 0, certSize = 0;
    WORD magic = 0;
    if (!At(bytes, 0x3C, pe) || !At(bytes, pe, signature) || signature != 0x4550 || !At(bytes, pe + 24, magic))
        return {};
    const size_t optional = pe + 24;
    const size_t checksum = optional + 64;
    const size_t certEntry = optional + (magic == 0x20B ? 112 : 96) + 4 * 8;
    if (!At(bytes, certEntry, certOffset) || !At(bytes, certEntry + 4, certSize))
        return {};
    const size_t end = certOffset && certOffset <= bytes.size() ? certOffset : bytes.size();
    if (end < certEntry + 8)
        return {};

    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    std::vector<BYTE> digest;
    if (::CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        ::CryptCreateHash(prov, alg, 0, 0, &hash)) {
        const BYTE* p = reinterpret_cast<const BYTE*>(bytes.data());
        DWORD size = 0, cb = sizeof(size);
        if (::CryptHashData(hash, p, static_cast<DWORD>(checksum), 0) &&
            ::CryptHashData(hash, p + checksum + 4, static_cast<DWORD>(certEntry - checksum - 4), 0) &&
            ::CryptHashData(hash, p + certEntry + 8, static_cast<DWORD>(end - certEntry - 8), 0) &&
            ::CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &cb, 0)) {
            digest.resize(size);
            if (!::CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0))
                digest.clear();
        }
    }
    if (hash)
        ::CryptDestroyHash(hash);
    if (prov)
        ::CryptReleaseContext(prov, 0);
    return digest;
}

}  // namespace DsTest
