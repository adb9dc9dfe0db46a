// Catalog signatures: the file's catalog hash, the catalog that lists it, and
// the trust provider's verdict on the membership with a Microsoft signer.
#include <string>
#include <vector>

#include "ds_BsnDSInternal.h"
#include "ds_BsnDSManager.h"
#include "logcl_DebugLog.h"
#include "ut_CryptHandle.h"

namespace {

GUID g_driverActionVerify = DRIVER_ACTION_VERIFY;

// The first catalog that lists `hash`, by path; released before any trust
// call. Logs under `function` where it fails; empty then.
std::wstring FindCatalog(const wchar_t* function, const DS::CTrustProvider& provider, HCATADMIN hAdmin,
                         std::vector<BYTE>& hash)
{
    UTIL::CCatalogContext catalog(hAdmin);
    catalog.reset(
        provider.CryptCATAdminEnumCatalogFromHash(hAdmin, hash.data(), static_cast<DWORD>(hash.size()), 0, nullptr));
    if (!catalog) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminEnumCatalogFromHash(), err=%d", function,
             ::GetLastError());
        return {};
    }
    CATALOG_INFO info = {};
    info.cbStruct = sizeof(info);
    if (!provider.CryptCATCatalogInfoFromContext(catalog.get(), &info, 0)) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATCatalogInfoFromContext(), err=%d", function, ::GetLastError());
        return {};
    }
    info.wszCatalogFile[MAX_PATH - 1] = L'\0';
    LOGW(LOG_LEVEL_D, L"%s - catalog file path=%s", function, info.wszCatalogFile);
    return info.wszCatalogFile;
}

// The hash in upper-case hexadecimal, two digits a byte.
std::wstring MemberTag(const std::vector<BYTE>& hash)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring tag;
    tag.reserve(hash.size() * 2);
    for (const BYTE b : hash) {
        tag += kDigits[b >> 4];
        tag += kDigits[b & 0xF];
    }
    return tag;
}

// One membership verification; `settings` (may be null) selects the
// signature. Returns the trust status, and 0x20001447 for a valid catalog
// signature whose signer is not a Microsoft name.
class CMembership : UTIL::CNonCopyable {
public:
    CMembership(const DS::CTrustProvider& provider, const std::wstring& catalog, const std::wstring& tag,
                const wchar_t* pwszFile, HCATADMIN hAdmin, DS::CSignatureSettings* settings)
        : m_catalog(catalog), m_tag(tag), m_data(DS::MakeTrustData(WTD_CHOICE_CATALOG, &m_info, settings)),
          m_state(provider, m_data)
    {
        m_info.cbStruct = sizeof(m_info);
        m_info.pcwszCatalogFilePath = m_catalog.c_str();
        m_info.pcwszMemberTag = m_tag.c_str();
        m_info.pcwszMemberFilePath = pwszFile;
        m_info.hCatAdmin = hAdmin;
    }

    DWORD Verify(const wchar_t* function)
    {
        const DWORD status = static_cast<DWORD>(m_state.Verify());
        if (status) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call WinVerifyTrust(), err=%x", function, status);
            return status;
        }
        return DS::TestSigner(function, DS_SIGNER_MICROSOFT, m_state.State());
    }

private:
    std::wstring m_catalog;
    std::wstring m_tag;
    DS::CCatalogInfo m_info = {};
    DS::CWinTrustData m_data;
    DS::CTrustState m_state;
};

}  // namespace

std::vector<BYTE> CBsnDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle(HANDLE hFile)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle";
    if (!hFile || hFile == INVALID_HANDLE_VALUE) {
        LOGW(LOG_LEVEL_D, L"%s - invalid function parameter", name);
        return {};
    }
    const DS::CTrustProvider& provider = CSingletonWinTrustHelper::Instance().Provider();
    DWORD size = 0;
    if (!provider.CryptCATAdminCalcHashFromFileHandle(hFile, &size, nullptr, 0) || !size) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", name, ::GetLastError());
        return {};
    }
    std::vector<BYTE> hash(size, 0);
    if (!provider.CryptCATAdminCalcHashFromFileHandle(hFile, &size, hash.data(), 0) || size > hash.size()) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", name, ::GetLastError());
        return {};
    }
    hash.resize(size);
    return hash;
}

std::vector<BYTE> CBsnDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2(HCATADMIN hCatAdmin, HANDLE hFile)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::EzCATAdminCalcHashFromFileHandle2";
    const DS::CTrustProvider& provider = CSingletonWinTrustHelper::Instance().Provider();
    if (!hFile || hFile == INVALID_HANDLE_VALUE || !provider.CryptCATAdminCalcHashFromFileHandle2) {
        LOGW(LOG_LEVEL_D, L"%s - invalid function parameter", name);
        return {};
    }
    DWORD size = 0;
    if (!provider.CryptCATAdminCalcHashFromFileHandle2(hCatAdmin, hFile, &size, nullptr, 0) || !size) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", name, ::GetLastError());
        return {};
    }
    std::vector<BYTE> hash(size, 0);
    if (!provider.CryptCATAdminCalcHashFromFileHandle2(hCatAdmin, hFile, &size, hash.data(), 0) || size > hash.size()) {
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminCalcHashFromFileHandle(), err=%d", name, ::GetLastError());
        return {};
    }
    hash.resize(size);
    return hash;
}

DWORD CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign";
    if (!pwszFile)
        return ERROR_INVALID_PARAMETER;
    LOGW(LOG_LEVEL_D, L"%s - >>> try to verify file=%s", name, pwszFile);
    UTIL::CUniqueFile file(
        ::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_LEVEL_D, L"%s - failed to open file=%s", name, pwszFile);
        return error;
    }
    const DS::CTrustProvider& provider = CSingletonWinTrustHelper::Instance().Provider();
    LOGW(LOG_LEVEL_D, L"%s - create context with algorithm=%s", name, L"SHA1");
    UTIL::CUniqueCatAdmin admin;
    if (!provider.CryptCATAdminAcquireContext(admin.put(), &g_driverActionVerify, 0)) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminAcquireContext(), err=%d", name, error);
        return error;
    }
    std::vector<BYTE> hash = EzCATAdminCalcHashFromFileHandle(file.get());
    if (hash.empty()) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_LEVEL_D, L"%s - failed to call EzCATAdminCalcHashFromFileHandle(), err=%d", name, error);
        return error;
    }
    const std::wstring catalog = FindCatalog(name, provider, admin.get(), hash);
    if (catalog.empty())
        return ::GetLastError();

    const std::wstring tag = MemberTag(hash);
    LOGW(LOG_LEVEL_D, L"%s - hash algorithm=%s, file hash=%s", name, L"SHA1", tag.c_str());
    DWORD result = 0;
    {
        CMembership membership(provider, catalog, tag, pwszFile, nullptr, nullptr);
        result = membership.Verify(name);
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return result;
}

DWORD CBsnDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(const wchar_t* pwszFile, bool bStrongSignPolicy)
{
    const wchar_t* const name = L"CBsnDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign";
    if (!pwszFile)
        return ERROR_INVALID_PARAMETER;
    LOGW(LOG_LEVEL_D, L"%s - >>> try to verify file=%s", name, pwszFile);
    UTIL::CUniqueFile file(
        ::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        LOGW(LOG_LEVEL_D, L"%s - failed to open file=%s", name, pwszFile);
        return error;
    }
    const DS::CTrustProvider& provider = CSingletonWinTrustHelper::Instance().Provider();
    const CERT_STRONG_SIGN_PARA* policy = DS::StrongSignPara(bStrongSignPolicy);
    DWORD result = static_cast<DWORD>(TRUST_E_NOSIGNATURE);
    bool accepted = false;

    for (const wchar_t* algorithm : {L"SHA1", L"SHA256"}) {
        LOGW(LOG_LEVEL_D, L"%s - create context with algorithm=%s", name, algorithm);
        UTIL::CUniqueCatAdmin admin;
        if (!provider.CryptCATAdminAcquireContext2 ||
            !provider.CryptCATAdminAcquireContext2(admin.put(), &g_driverActionVerify, algorithm, policy, 0)) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call CryptCATAdminAcquireContext2(), err=%d", name, ::GetLastError());
            continue;
        }
        std::vector<BYTE> hash = EzCATAdminCalcHashFromFileHandle2(admin.get(), file.get());
        if (hash.empty()) {
            LOGW(LOG_LEVEL_D, L"%s - failed to call EzCATAdminCalcHashFromFileHandle2(), err=%d", name,
                 ::GetLastError());
            continue;
        }
        const std::wstring catalog = FindCatalog(name, provider, admin.get(), hash);
        if (catalog.empty())
            continue;
        const std::wstring tag = MemberTag(hash);
        LOGW(LOG_LEVEL_D, L"%s - hash algorithm=%s, file hash=%s", name, algorithm, tag.c_str());

        DS::CSignatureSettings settings = {};
        settings.cbStruct = sizeof(settings);
        settings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
        settings.pCryptoPolicy = policy;
        CMembership membership(provider, catalog, tag, pwszFile, admin.get(), &settings);
        // The catalog's primary signature, then each secondary one.
        for (DWORD index = 0; index == 0 || index <= settings.cSecondarySigs; ++index) {
            settings.dwIndex = index;
            result = membership.Verify(name);
            if (result == 0) {
                accepted = true;
                break;
            }
        }
        if (accepted)
            break;
    }
    LOGW(LOG_LEVEL_D, L"%s - <<<", name);
    return accepted ? 0 : result;
}
