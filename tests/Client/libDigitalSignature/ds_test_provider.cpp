#include "ds_test_provider.h"

#include <gtest/gtest.h>

#include <string.h>
#include <algorithm>
#include <wchar.h>

#include "MultiPleSignCheck.h"
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

HANDLE CSignerState::Set(PCCERT_CONTEXT leaf, bool chain)
{
    *this = {};
    cert.cbStruct = sizeof(cert);
    cert.pCert = leaf;
    signer.cbStruct = sizeof(signer);
    signer.csCertChain = chain ? 1 : 0;
    signer.pasCertChain = &cert;
    data.cbStruct = sizeof(data);
    data.csSigners = 1;
    data.pasSigners = &signer;
    return &data;
}

UTIL::CUniqueCertContext MakeCert(const wchar_t* x500)
{
    BYTE name[256] = {0x30, 0x00};  // the empty name
    DWORD cb = *x500 ? sizeof(name) : 2;
    EXPECT_TRUE(!*x500 || ::CertStrToNameW(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, name, &cb, nullptr));
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(::CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    HCRYPTKEY key = 0;
    EXPECT_TRUE(::CryptGenKey(prov, AT_SIGNATURE, 1024 << 16, &key));
    CERT_NAME_BLOB subject = {cb, name};
    UTIL::CUniqueCertContext cert(
        ::CertCreateSelfSignCertificate(prov, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(cert);
    ::CryptDestroyKey(key);
    ::CryptReleaseContext(prov, 0);
    return cert;
}

CScriptedTrust::CScriptedTrust(std::vector<Signature> script, bool single)
    : m_script(std::move(script)), m_provider(DSTestHooks::SystemTrustProvider())
{
    g_script = this;
    m_provider.WinVerifyTrust = Verify;
    m_provider.WTHelperProvDataFromStateData = ProvData;
    // Only their presence counts here: it makes the platform a multiple-signature one.
    m_provider.CryptCATAdminAcquireContext2 = nullptr;
    m_provider.CryptCATAdminCalcHashFromFileHandle2 = nullptr;
    if (!single) {
        m_provider.CryptCATAdminAcquireContext2 = [](HCATADMIN*, const GUID*, const WCHAR*,
                                                     const CERT_STRONG_SIGN_PARA*, DWORD) -> BOOL {
            ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return FALSE;
        };
        m_provider.CryptCATAdminCalcHashFromFileHandle2 = [](HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD) -> BOOL {
            ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return FALSE;
        };
    }
    m_previous = DSTestHooks::SetTrustProvider(&m_provider);
}

CScriptedTrust::~CScriptedTrust()
{
    DSTestHooks::SetTrustProvider(m_previous);
    g_script = nullptr;
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
        data->pSignatureSettings->cSecondarySigs = static_cast<DWORD>(s.m_script.size() - 1);
    }
    s.indices.push_back(index);
    const Signature& signature = s.m_script.at(index);

    s.m_states.emplace_back();
    data->hWVTStateData = s.m_states.back().Set(signature.signer, true);
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

template <typename T>
bool At(const std::string& bytes, size_t offset, T& value)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
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

// --- Windows' secondary-signature verification ---

struct CNestedState : CSignerState {
    UTIL::CUniqueCertContext leaf;
};
std::deque<CNestedState> g_nestedStates;

std::deque<CNestedState>::iterator FindNested(HANDLE state)
{
    return std::find_if(g_nestedStates.begin(), g_nestedStates.end(),
                        [state](const CNestedState& s) { return state == &s.data; });
}

CRYPT_PROVIDER_DATA* WINAPI NestedProvData(HANDLE state)
{
    return FindNested(state) != g_nestedStates.end() ? static_cast<CRYPT_PROVIDER_DATA*>(state)
                                                     : ::WTHelperProvDataFromStateData(state);
}

bool Timestamped(const CMSG_SIGNER_INFO* signer)
{
    for (DWORD i = 0; signer && i < signer->UnauthAttrs.cAttr; ++i) {
        const char* oid = signer->UnauthAttrs.rgAttr[i].pszObjId;
        if (strcmp(oid, "1.3.6.1.4.1.311.3.3.1") == 0 || strcmp(oid, szOID_RSA_counterSign) == 0)
            return true;
    }
    return false;
}

// Windows' chain policy for a code signer: a trusted root, code-signing
// usage, and time validity unless the signature is timestamped (the corpus's
// timestamps are taken as valid).
LONG WindowsChainStatus(PCCERT_CONTEXT leaf, HCERTSTORE store, bool timestamped)
{
    static char codeSigning[] = szOID_PKIX_KP_CODE_SIGNING;
    static LPSTR usage[] = {codeSigning};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    UTIL::CUniqueChainContext chain;
    if (!::CertGetCertificateChain(nullptr, leaf, nullptr, store, &para, 0, nullptr, chain.put()))
        return CERT_E_CHAINING;
    const DWORD error = chain.get()->TrustStatus.dwErrorStatus;
    if (error & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
        return CERT_E_UNTRUSTEDROOT;
    if (error & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return CERT_E_WRONG_USAGE;
    if (error & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID))
        return CERT_E_CHAINING;
    return (error & CERT_TRUST_IS_NOT_TIME_VALID) && !timestamped ? CERT_E_EXPIRED : 0;
}

// The n-th (1-based) nested signature of the file's primary one, verified as
// Windows does for dwIndex n: its signature, its digest, its chain.
LONG VerifyNested(const wchar_t* path, DWORD index, UTIL::CUniqueCertContext& leaf)
{
    const std::vector<std::string> nested = NestedSignaturesOf(SignatureOf(ReadFileBytes(path)));
    if (index == 0 || index > nested.size())
        return TRUST_E_NOSIGNATURE;
    const std::string& der = nested[index - 1];
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>(der.size()), reinterpret_cast<BYTE*>(const_cast<char*>(der.data()))};
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), msg.put(),
                            nullptr))
        return TRUST_E_NOSIGNATURE;
    const std::vector<BYTE> info = CBsnDigitalSignatureManagerEx::EzMsgGetParam(msg.get());
    if (info.empty())
        return TRUST_E_NOSIGNATURE;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
    CERT_INFO key = {};
    key.Issuer = signer->Issuer;
    key.SerialNumber = signer->SerialNumber;
    leaf.reset(::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                            CERT_FIND_SUBJECT_CERT, &key, nullptr));
    if (!leaf || !::CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, leaf.get()->pCertInfo))
        return TRUST_E_BAD_DIGEST;

    DWORD cb = 0, cbIndirect = 0;
    ::CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &cb);
    std::vector<BYTE> content(cb);
    if (!cb || !::CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content.data(), &cb) ||
        !::CryptDecodeObject(X509_ASN_ENCODING, SPC_INDIRECT_DATA_OBJID, content.data(), cb, 0, nullptr, &cbIndirect))
        return TRUST_E_BAD_DIGEST;
    std::vector<BYTE> indirect(cbIndirect);
    ::CryptDecodeObject(X509_ASN_ENCODING, SPC_INDIRECT_DATA_OBJID, content.data(), cb, 0, indirect.data(),
                        &cbIndirect);
    SIP_SUBJECTINFO subject = {};
    subject.cbSize = sizeof(subject);
    subject.pwsFileName = path;
    if (!PeDigestMatches(&subject, reinterpret_cast<SIP_INDIRECT_DATA*>(indirect.data())))
        return TRUST_E_BAD_DIGEST;
    return WindowsChainStatus(leaf.get(), store.get(), Timestamped(signer));
}

// Wine's answer with Windows' chain policy on the primary signer.
LONG WINAPI WindowsPrimaryVerify(HWND window, GUID* action, LPVOID pv)
{
    const LONG status = ::WinVerifyTrust(window, action, pv);
    auto* data = static_cast<DS::CWinTrustData*>(pv);
    // WTD_HASH_ONLY_FLAG: Windows checks the primary signature's digest, no
    // chain (Wine ignores the flag); the SIP digest check stands in for it.
    wchar_t path[MAX_PATH] = {};
    if ((data->dwProvFlags & WTD_HASH_ONLY_FLAG) && data->dwStateAction != WTD_STATEACTION_CLOSE &&
        data->dwUnionChoice == WTD_CHOICE_FILE && ::GetFinalPathNameByHandleW(data->pFile->hFile, path, MAX_PATH, 0))
        return CVerifyFileSignV2::GetInstance()->LowLevelVerifyHash(path) ? 0 : TRUST_E_BAD_DIGEST;
    if (data->dwStateAction != WTD_STATEACTION_VERIFY || data->dwUnionChoice != WTD_CHOICE_FILE ||
        (status != 0 && status != CERT_E_EXPIRED))
        return status;
    CRYPT_PROVIDER_DATA* prov = ::WTHelperProvDataFromStateData(data->hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = prov ? ::WTHelperGetProvSignerFromChain(prov, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* leaf = signer ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!leaf || !leaf->pCert)
        return status;
    return WindowsChainStatus(leaf->pCert, leaf->pCert->hCertStore, Timestamped(signer->psSigner));
}

LONG WINAPI WindowsVerifyTrust(HWND window, GUID* action, LPVOID pv)
{
    auto* data = static_cast<DS::CWinTrustData*>(pv);
    const auto nested = FindNested(data->hWVTStateData);
    if (data->dwStateAction == WTD_STATEACTION_CLOSE && nested != g_nestedStates.end()) {
        g_nestedStates.erase(nested);
        data->hWVTStateData = nullptr;
        return 0;
    }
    const DWORD index = data->pSignatureSettings ? data->pSignatureSettings->dwIndex : 0;
    if (data->dwStateAction != WTD_STATEACTION_VERIFY || index == 0 || data->dwUnionChoice != WTD_CHOICE_FILE)
        return WindowsPrimaryVerify(window, action, pv);

    // The file's name: the embedded checks pass the opened handle.
    wchar_t path[MAX_PATH] = {};
    const WINTRUST_FILE_INFO* file = data->pFile;
    if (file->pcwszFilePath)
        wcsncpy(path, file->pcwszFilePath, MAX_PATH - 1);
    else if (!::GetFinalPathNameByHandleW(file->hFile, path, MAX_PATH, 0))
        return TRUST_E_NOSIGNATURE;
    g_nestedStates.emplace_back();
    CNestedState& state = g_nestedStates.back();
    const LONG status = VerifyNested(path, index, state.leaf);
    data->hWVTStateData = state.Set(state.leaf.get(), state.leaf.get() != nullptr);
    return status;
}

// SHA-1 catalog contexts, the only catalogs this platform's database knows.
BOOL WINAPI Sha1AcquireContext2(HCATADMIN* admin, const GUID* subsystem, const WCHAR* algorithm,
                                const CERT_STRONG_SIGN_PARA*, DWORD flags)
{
    if (algorithm && wcscmp(algorithm, L"SHA1") != 0) {
        ::SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    return ::CryptCATAdminAcquireContext(admin, subsystem, flags);
}

BOOL WINAPI CalcHash2(HCATADMIN, HANDLE file, DWORD* size, BYTE* hash, DWORD flags)
{
    return ::CryptCATAdminCalcHashFromFileHandle(file, size, hash, flags);
}

}  // namespace

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
    // Windows' SIP takes a certificate table only as the end of the file.
    if (certOffset && (certOffset > bytes.size() || bytes.size() - certOffset != certSize))
        return {};
    const size_t end = certOffset ? certOffset : bytes.size();
    if (end < certEntry + 8)
        return {};

    const std::string image = bytes.substr(0, checksum) + bytes.substr(checksum + 4, certEntry - checksum - 4) +
                              bytes.substr(certEntry + 8, end - certEntry - 8);
    std::vector<BYTE> digest(64);
    DWORD cb = static_cast<DWORD>(digest.size());
    if (!::CryptHashCertificate(0, alg, 0, reinterpret_cast<const BYTE*>(image.data()),
                                static_cast<DWORD>(image.size()), digest.data(), &cb))
        return {};
    digest.resize(cb);
    return digest;
}

DS::CTrustProvider WindowsSingleSignature()
{
    DS::CTrustProvider p = DSTestHooks::SystemTrustProvider();
    p.WinVerifyTrust = WindowsPrimaryVerify;
    p.CryptCATAdminAcquireContext2 = nullptr;
    p.CryptCATAdminCalcHashFromFileHandle2 = nullptr;
    p.CertVerifyCertificateChainPolicy = AuthenticodePolicies;
    p.CryptSIPVerifyIndirectData = PeDigestMatches;
    // Windows' catalog-file subject lookup: the SIP that claims the file.
    p.CryptSIPRetrieveSubjectGuidForCatalogFile = ::CryptSIPRetrieveSubjectGuid;
    return p;
}

DS::CTrustProvider WindowsMultipleSignature()
{
    DS::CTrustProvider p = WindowsSingleSignature();
    p.WinVerifyTrust = WindowsVerifyTrust;
    p.WTHelperProvDataFromStateData = NestedProvData;
    p.CryptCATAdminAcquireContext2 = Sha1AcquireContext2;
    p.CryptCATAdminCalcHashFromFileHandle2 = CalcHash2;
    return p;
}

std::string ReadBytes(const std::wstring& path) { return ReadFileBytes(path.c_str()); }

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    UTIL::CUniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size());
}

namespace {

// Where the certificate table's directory entry is, and what it says.
bool CertTable(const std::string& pe, size_t& entry, DWORD& offset, DWORD& size)
{
    DWORD header = 0;
    WORD magic = 0;
    if (!At(pe, 0x3C, header) || !At(pe, header + 24, magic))
        return false;
    entry = header + 24 + (magic == 0x20B ? 112 : 96) + 4 * 8;
    return At(pe, entry, offset) && At(pe, entry + 4, size) && offset >= 8 && offset <= pe.size() &&
           size <= pe.size() - offset;
}

}  // namespace

std::string SignatureOf(const std::string& pe)
{
    size_t entry = 0;
    DWORD offset = 0, size = 0, length = 0;
    if (!CertTable(pe, entry, offset, size) || !At(pe, offset, length) || length < 8 || length > size)
        return {};
    // The DER without the padding that ends the table.
    std::string der = pe.substr(offset + 8, length - 8);
    if (der.size() >= 4 && static_cast<BYTE>(der[1]) == 0x82) {
        const size_t n = 4 + (static_cast<BYTE>(der[2]) << 8 | static_cast<BYTE>(der[3]));
        if (n <= der.size())
            der.resize(n);
    }
    return der;
}

std::vector<std::string> NestedSignaturesOf(const std::string& pkcs7)
{
    std::vector<std::string> nested;
    UTIL::CUniqueCryptMsg msg(
        ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    if (!msg || !::CryptMsgUpdate(msg.get(), reinterpret_cast<const BYTE*>(pkcs7.data()),
                                  static_cast<DWORD>(pkcs7.size()), TRUE))
        return nested;
    const std::vector<BYTE> info = CBsnDigitalSignatureManagerEx::EzMsgGetParam(msg.get());
    if (info.empty())
        return nested;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
    for (DWORD i = 0; i < signer->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = signer->UnauthAttrs.rgAttr[i];
        if (strcmp(a.pszObjId, "1.3.6.1.4.1.311.2.4.1") == 0)
            for (DWORD v = 0; v < a.cValue; ++v)
                nested.emplace_back(reinterpret_cast<const char*>(a.rgValue[v].pbData), a.rgValue[v].cbData);
    }
    return nested;
}

std::string WithSignature(const std::string& pe, const std::string& pkcs7)
{
    size_t entry = 0;
    DWORD offset = 0, size = 0;
    if (!CertTable(pe, entry, offset, size))
        return {};
    std::string out = pe.substr(0, offset);
    const DWORD length = static_cast<DWORD>(8 + pkcs7.size());
    const WORD revision = 0x0200, type = 0x0002;  // WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA
    out.append(reinterpret_cast<const char*>(&length), 4);
    out.append(reinterpret_cast<const char*>(&revision), 2);
    out.append(reinterpret_cast<const char*>(&type), 2);
    out += pkcs7;
    out.append((8 - out.size() % 8) % 8, '\0');
    const DWORD tableSize = static_cast<DWORD>(out.size() - offset);
    memcpy(&out[entry + 4], &tableSize, 4);
    return out;
}

}  // namespace DsTest
