#include "ds_BsnDSManager.h"

#include <wchar.h>

#include <atomic>
#include <exception>
#include <vector>

#include "MultiPleSignCheck.h"
#include "ds_BsnDSInternal.h"
#include "ds_TestHooks.h"
#include "logcl_DebugLog.h"
#include "ut_ProcAddress.h"

namespace {

constexpr wchar_t kVendorSigner[] = L"Corvane, Inc.";
constexpr const wchar_t* kMicrosoftSigners[] = {
    L"Microsoft Windows",
    L"Microsoft Windows Publisher",
    L"Microsoft Corporation",
    L"Microsoft Windows Component Publisher",
    L"Microsoft Windows Hardware Compatibility Publisher",
    L"Microsoft Windows Early Launch Anti-malware Publisher",
};

GUID g_genericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
char g_szStrongSignOid[] = szOID_CERT_STRONG_SIGN_OS_1;
CERT_STRONG_SIGN_PARA g_strongSignPara = {sizeof(CERT_STRONG_SIGN_PARA), CERT_STRONG_SIGN_OID_INFO_CHOICE, {}};

std::atomic<const DS::CTrustProvider*> g_providerOverride{nullptr};

// The calls every platform has, bound at link time; the "2" entry points and
// the SIP dispatcher are looked up by the singleton.
DS::CTrustProvider LinkedProvider()
{
    DS::CTrustProvider p = {};
    p.WinVerifyTrust = ::WinVerifyTrust;
    p.WTHelperProvDataFromStateData = ::WTHelperProvDataFromStateData;
    p.CryptCATAdminAcquireContext = ::CryptCATAdminAcquireContext;
    p.CryptCATAdminCalcHashFromFileHandle = ::CryptCATAdminCalcHashFromFileHandle;
    p.CryptCATAdminEnumCatalogFromHash = ::CryptCATAdminEnumCatalogFromHash;
    p.CryptCATCatalogInfoFromContext = ::CryptCATCatalogInfoFromContext;
    p.CertVerifyCertificateChainPolicy = ::CertVerifyCertificateChainPolicy;
    // The dispatcher in crypt32 hands the subject to its registered SIP.
    p.CryptSIPVerifyIndirectData = UTIL::GetProc<decltype(p.CryptSIPVerifyIndirectData)>(
        ::GetModuleHandleW(L"crypt32.dll"), "CryptSIPVerifyIndirectData");
    p.CryptSIPRetrieveSubjectGuidForCatalogFile = ::CryptSIPRetrieveSubjectGuidForCatalogFile;
    return p;
}

// The allowed names, "[name]," each, in set order.
std::wstring JoinSigners(const SignerSet& signers)
{
    std::wstring text;
    for (const auto& name : signers)
        text += L"[" + name + L"],";
    return text;
}

// The certificate-information verification of the multiple-signature
// verifier, with a template of the embedded check's settings.
bool VerifyByCertInfo(const wchar_t* function, const wchar_t* pwszFile, WINTRUST_FILE_INFO* fileInfo)
{
    LOGW(LOG_LEVEL_D, L"%s - try to verify by certificate information", function);
    DS::CWinTrustData templ = DS::MakeTrustData(WTD_CHOICE_FILE, fileInfo, nullptr);
    templ.dwStateAction = WTD_STATEACTION_IGNORE;
    if (CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(pwszFile,
                                                                            reinterpret_cast<WINTRUST_DATA*>(&templ))) {
        LOGW(LOG_LEVEL_D, L"%s - successfully to verify by certificate information", function);
        return true;
    }
    LOGW(LOG_LEVEL_D, L"%s - failed to verify by certificate information", function);
    return false;
}

// The file as the embedded checks hand it to the trust provider: its handle,
// or its path when it cannot be opened (the provider then reports why).
class CTrustSubject : UTIL::CNonCopyable {
public:
    explicit CTrustSubject(const wchar_t* pwszFile)
        : m_file(::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        m_info.cbStruct = sizeof(m_info);
        if (m_file) {
            m_info.hFile = m_file.get();
        } else {
            m_info.hFile = INVALID_HANDLE_VALUE;
            m_info.pcwszFilePath = pwszFile;
        }
    }
    WINTRUST_FILE_INFO* Info() { return &m_info; }

private:
    UTIL::CUniqueFile m_file;
    WINTRUST_FILE_INFO m_info = {};
};

}  // namespace

namespace DS {

const CERT_STRONG_SIGN_PARA* StrongSignPara(bool bStrongSignPolicy)
{
    g_strongSignPara.pszOID = g_szStrongSignOid;
    return bStrongSignPolicy ? &g_strongSignPara : nullptr;
}

CWinTrustData MakeTrustData(DWORD unionChoice, void* subject, CSignatureSettings* settings)
{
    CWinTrustData data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = unionChoice;
    data.pCatalog = subject;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = kProvFlags;
    data.pSignatureSettings = settings;
    return data;
}

CTrustState::CTrustState(const CTrustProvider& provider, CWinTrustData& data)
    : m_provider(provider), m_data(data),
      // The state lives in the fields the toolchain's WINTRUST_DATA shares.
      m_state(provider.WinVerifyTrust, static_cast<HWND>(INVALID_HANDLE_VALUE), g_genericVerifyV2,
              reinterpret_cast<WINTRUST_DATA&>(data))
{
}

LONG CTrustState::Verify()
{
    m_state.reset();
    m_data.dwStateAction = WTD_STATEACTION_VERIFY;
    const LONG status = m_provider.WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &g_genericVerifyV2, &m_data);
    m_state.arm();
    return status;
}

DWORD TestSigner(const wchar_t* function, DWORD dwFlags, HANDLE hWVTStateData)
{
    if (!dwFlags) {
        LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature and no need to check signer", function);
        return 0;
    }
    const SignerSet signers = CBsnDigitalSignatureManagerEx::PrepareSigners(dwFlags);
    const std::wstring signer = CBsnDigitalSignatureManagerEx::GetSignerFromhWVTStateData(hWVTStateData);
    if (CBsnDigitalSignatureManagerEx::VerifySignerForDigitalSignature(signer, signers)) {
        LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature and signer is correct", function);
        return 0;
    }
    LOGW(LOG_LEVEL_D, L"%s - find a valid digital signature but signer is incorrect", function);
    return ERROR_FAILED_ISSUER_CHECK;
}

}  // namespace DS

// --- CSingletonWinTrustHelper ---

CSingletonWinTrustHelper::CSingletonWinTrustHelper() : m_provider(LinkedProvider())
{
    const wchar_t* const name = L"CSingletonWinTrustHelper::CSingletonWinTrustHelper";
    static const wchar_t kLibrary[] = L"\\WinTrust.dll";
    wchar_t path[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(path, MAX_PATH);
    // A cut path would name another file.
    if (n == 0 || n + wcslen(kLibrary) >= MAX_PATH)
        return;
    wcscat(path, kLibrary);
    m_hWinTrust.reset(::LoadLibraryW(path));
    if (!m_hWinTrust)
        return;
    const auto acquire2 = UTIL::GetProc<decltype(m_provider.CryptCATAdminAcquireContext2)>(
        m_hWinTrust.get(), "CryptCATAdminAcquireContext2");
    const auto calcHash2 = UTIL::GetProc<decltype(m_provider.CryptCATAdminCalcHashFromFileHandle2)>(
        m_hWinTrust.get(), "CryptCATAdminCalcHashFromFileHandle2");
    if (!acquire2 || !calcHash2) {
        LOGW(LOG_LEVEL_D, L"%s - support single sign platform", name);
        m_hWinTrust.reset();
        return;
    }
    LOGW(LOG_LEVEL_D, L"%s - support multiple sign platform", name);
    m_provider.CryptCATAdminAcquireContext2 = acquire2;
    m_provider.CryptCATAdminCalcHashFromFileHandle2 = calcHash2;
    m_bMultipleSign = true;
}

CSingletonWinTrustHelper::~CSingletonWinTrustHelper()
{
    m_provider.CryptCATAdminAcquireContext2 = nullptr;
    m_provider.CryptCATAdminCalcHashFromFileHandle2 = nullptr;
}

CSingletonWinTrustHelper& CSingletonWinTrustHelper::Instance()
{
    static CSingletonWinTrustHelper instance;
    return instance;
}

bool CSingletonWinTrustHelper::IsMultipleSign() const
{
    if (const DS::CTrustProvider* p = g_providerOverride.load())
        return p->CryptCATAdminAcquireContext2 && p->CryptCATAdminCalcHashFromFileHandle2;
    return m_bMultipleSign;
}

const DS::CTrustProvider& CSingletonWinTrustHelper::Provider() const
{
    const DS::CTrustProvider* p = g_providerOverride.load();
    return p ? *p : m_provider;
}

const DS::CTrustProvider* DSTestHooks::SetTrustProvider(const DS::CTrustProvider* provider)
{
    CSingletonWinTrustHelper::Instance();
    return g_providerOverride.exchange(provider);
}

const DS::CTrustProvider& DSTestHooks::SystemTrustProvider()
{
    static const DS::CTrustProvider system = [] {
        DS::CTrustProvider p = LinkedProvider();
        const HMODULE winTrust = ::GetModuleHandleW(L"wintrust.dll");  // linked: stays loaded
        p.CryptCATAdminAcquireContext2 =
            UTIL::GetProc<decltype(p.CryptCATAdminAcquireContext2)>(winTrust, "CryptCATAdminAcquireContext2");
        p.CryptCATAdminCalcHashFromFileHandle2 = UTIL::GetProc<decltype(p.CryptCATAdminCalcHashFromFileHandle2)>(
            winTrust, "CryptCATAdminCalcHashFromFileHandle2");
        return p;
    }();
    return system;
}

// --- The decision chain ---

SignatureCheckResult CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(const wchar_t* pwszFile,
                                                                                    DWORD dwFlags,
                                                                                    bool bStrongSignPolicy)
{
    const SignatureCheckResult r = VerifyDigitalSignature(pwszFile, dwFlags, bStrongSignPolicy);
    if (!r.bVerified && pwszFile)
        CVerifyFileSignV2::GetInstance()->WriteDigitalSignInvalidLog(pwszFile, static_cast<int>(r.dwError));
    return r;
}

SignatureCheckResult CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(const wchar_t* pwszFile, DWORD dwFlags,
                                                                           bool bStrongSignPolicy)
{
    if (!pwszFile)
        return {ERROR_INVALID_PARAMETER, false};
    const CSingletonWinTrustHelper& helper = CSingletonWinTrustHelper::Instance();
    if (helper.IsMultipleSign()) {
        const SignatureCheckResult r = VerifyEmbeddedSignatureMultipleSign(pwszFile, dwFlags, bStrongSignPolicy);
        if (r.bVerified)
            return r;
        if ((dwFlags & DS_CHECK_CATALOG) && VerifyByMSCatalogMutipleSign(pwszFile, bStrongSignPolicy) == 0)
            return {0, true};
        return r;
    }
    const SignatureCheckResult r = VerifyEmbeddedSignatureSingleSign(pwszFile, dwFlags);
    if (r.bVerified)
        return r;
    if (VerifyDigitalSignatureCertInfoFile(pwszFile, dwFlags))
        return {0, true};
    if ((dwFlags & DS_CHECK_CATALOG) && VerifyByMSCatalogSingleSign(pwszFile) == 0)
        return {0, true};
    return r;
}

SignatureCheckResult CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign(const wchar_t* pwszFile,
                                                                                      DWORD dwFlags)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign";
    if (!pwszFile)
        return {ERROR_INVALID_PARAMETER, false};
    LOGW(LOG_LEVEL_D, L"%s - >>> try to verify file=%s", name, pwszFile);

    bool accepted = false;
    DWORD status = 0;
    {
        CTrustSubject subject(pwszFile);
        DS::CWinTrustData data = DS::MakeTrustData(WTD_CHOICE_FILE, subject.Info(), nullptr);
        DS::CTrustState state(CSingletonWinTrustHelper::Instance().Provider(), data);
        status = static_cast<DWORD>(state.Verify());
        if (status) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x", name, status,
                 ::GetLastError());
            accepted = VerifyByCertInfo(name, pwszFile, subject.Info());
        } else {
            status = DS::TestSigner(name, dwFlags, state.State());
            accepted = status == 0;
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return accepted ? SignatureCheckResult{0, true} : SignatureCheckResult{status, false};
}

SignatureCheckResult CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign(const wchar_t* pwszFile,
                                                                                        DWORD dwFlags,
                                                                                        bool bStrongSignPolicy)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign";
    if (!pwszFile)
        return {ERROR_INVALID_PARAMETER, false};
    LOGW(LOG_LEVEL_D, L"%s - >>> try to verify file=%s", name, pwszFile);

    bool accepted = false;
    DWORD status = 0;
    {
        CTrustSubject subject(pwszFile);
        DS::CSignatureSettings settings = {};
        settings.cbStruct = sizeof(settings);
        settings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
        settings.pCryptoPolicy = DS::StrongSignPara(bStrongSignPolicy);
        DS::CWinTrustData data = DS::MakeTrustData(WTD_CHOICE_FILE, subject.Info(), &settings);
        DS::CTrustState state(CSingletonWinTrustHelper::Instance().Provider(), data);

        // The primary signature, then each secondary one the provider counts.
        bool callFailed = false;
        for (DWORD index = 0; index == 0 || index <= settings.cSecondarySigs; ++index) {
            settings.dwIndex = index;
            status = static_cast<DWORD>(state.Verify());
            if (status) {
                LOGW(LOG_LEVEL_D, L"%s - failed to call WinVerifyTrust(), StatusVerify=%x, GetLastError=%x", name,
                     status, ::GetLastError());
                callFailed = true;
                continue;
            }
            callFailed = false;
            status = DS::TestSigner(name, dwFlags, state.State());
            if (status == 0) {
                accepted = true;
                break;
            }
        }
        // Valid signatures by other signers stay refused; a failed call may
        // still be a vendor file the provider could not judge.
        if (!accepted && callFailed)
            accepted = VerifyByCertInfo(name, pwszFile, subject.Info());
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return accepted ? SignatureCheckResult{0, true} : SignatureCheckResult{status, false};
}

// --- Signers ---

SignerSet CBsnDigitalSignatureManagerEx::PrepareSigners(DWORD dwFlags)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::PrepareSigners";
    SignerSet signers;
    if (dwFlags & DS_SIGNER_VENDOR)
        signers.insert(kVendorSigner);
    if (dwFlags & DS_SIGNER_MICROSOFT)
        signers.insert(std::begin(kMicrosoftSigners), std::end(kMicrosoftSigners));
    if (signers.empty())
        LOGW(LOG_LEVEL_D, L"%s - allowed signers=ALL", name);
    else
        LOGW(LOG_LEVEL_D, L"%s - allowed signers=%s", name, JoinSigners(signers).c_str());
    return signers;
}

std::wstring CBsnDigitalSignatureManagerEx::GetSignerFromhWVTStateData(HANDLE hWVTStateData)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::GetSignerFromhWVTStateData";
    try {
        CRYPT_PROVIDER_DATA* data =
            CSingletonWinTrustHelper::Instance().Provider().WTHelperProvDataFromStateData(hWVTStateData);
        if (!data) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call WTHelperProvDataFromStateData() to get Provider Data", name);
            return {};
        }
        CRYPT_PROVIDER_SGNR* signer = ::WTHelperGetProvSignerFromChain(data, 0, FALSE, 0);
        if (!signer) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call WTHelperGetProvSignerFromChain() to get Provider Signer", name);
            return {};
        }
        CRYPT_PROVIDER_CERT* cert = ::WTHelperGetProvCertFromChain(signer, 0);
        if (!cert) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call WTHelperGetProvCertFromChain() to get Provider Certificate", name);
            return {};
        }
        if (!cert->pCert) {
            LOGW(LOG_LEVEL_D, L"%s - failed to get Signer Certificate", name);
            return {};
        }
        // The length counts the terminator: 1 for an empty name.
        const DWORD chars = ::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
        std::vector<wchar_t> buffer(chars ? chars : 1, L'\0');
        ::CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer.data(),
                             static_cast<DWORD>(buffer.size()));
        const std::wstring result(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
        LOGW(LOG_LEVEL_D, L"%s - get signer=[%s] for the digital signature", name, result.c_str());
        return result;
    } catch (const std::exception& e) {
        LOGA(LOG_LEVEL_D, "%s - exception was thrown=[%s]", "CBsnDigitalSignatureManagerEx::GetSignerFromhWVTStateData",
             e.what());
    }
    return {};
}

bool CBsnDigitalSignatureManagerEx::VerifySignerForDigitalSignature(const std::wstring& signer,
                                                                    const SignerSet& signers)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifySignerForDigitalSignature";
    if (signers.empty()) {
        LOGW(LOG_LEVEL_D, L"%s - no need to check signers, bypass", name);
        return true;
    }
    if (!signer.empty() && signers.count(signer)) {
        LOGW(LOG_LEVEL_D, L"%s - signer=[%s] is in trusted list", name, signer.c_str());
        return true;
    }
    LOGW(LOG_LEVEL_D, L"%s - signer=[%s] is not in trusted list", name, signer.c_str());
    return false;
}
