#include "MultiPleSignCheck.h"

#include <string.h>
#include <wchar.h>

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>

#include <mssip.h>

#include "MultiPleSignCheck_TestHooks.h"
#include "ds_BsnDSInternal.h"
#include "ds_BsnDSManager.h"
#include "logcl_DebugLog.h"
#include "ut_CryptHandle.h"
#include "ut_Handle.h"
#include "ut_ProcAddress.h"

namespace {

std::atomic<CVerifyFileSignV2*> g_pInstance{nullptr};
UTIL::CSingletonLocker g_singletonLock;
std::atomic<MultiPleSignCheckHooks::CertInfoVerifierFn> g_certInfoHook{nullptr};

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";
constexpr wchar_t kVendorSubject[] = L"Corvane, Inc.";
constexpr const wchar_t* kIntegrityList[] = {
    L"KeyPack.dll", L"hostAgent.dll",   L"hostAgent_64x.dll", L"CvWSCSvc.exe", L"CvCoreFrameworkhost.exe",
    L"BsnPIPC.dll", L"BsnPIPC_64x.dll",
};

#include KSX_PINS_INC

const AcsEkuEntry kAcsTable[] = {
    {"1.3.6.1.4.1.311.97.1.0", "1.3.6.1.4.1.311.97.418260975.903317642.270584139.651049823", kPinAcsVendor,
     sizeof(kPinAcsVendor)},
};

const DS::CTrustProvider& Provider() { return CSingletonWinTrustHelper::Instance().Provider(); }

struct CFreeDeleter {
    void operator()(void* p) const noexcept { free(p); }
};
using CMsgParam = std::unique_ptr<BYTE, CFreeDeleter>;

CVerifyFileSignV2::PublicKey KeyOf(PCCERT_CONTEXT cert)
{
    const CRYPT_BIT_BLOB& key = cert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return CVerifyFileSignV2::PublicKey(key.pbData, key.pbData + key.cbData);
}

// The file's folder with its trailing "\", or "" when it has none.
std::wstring FolderOf(const wchar_t* path)
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? std::wstring(path, slash + 1) : std::wstring();
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// `folder` + name + ".new" when that file exists, else `folder` + name.
std::wstring PreferNew(const std::wstring& folder, const wchar_t* name)
{
    const std::wstring renewed = folder + name + L".new";
    return FileExists(renewed) ? renewed : folder + name;
}

// An embedded or blob signature as a store and a message.
struct CQueried {
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
};
bool QueryFile(const wchar_t* path, CQueried& q)
{
    return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, q.store.put(), q.msg.put(),
                              nullptr);
}
bool QueryBlob(const CRYPT_ATTR_BLOB& blob, CQueried& q)
{
    CERT_BLOB data = {blob.cbData, blob.pbData};
    return ::CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &data, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, q.store.put(), q.msg.put(),
                              nullptr);
}

}  // namespace

class CVerifyFileSignV2Holder {
public:
    static CVerifyFileSignV2* Get()
    {
        static CVerifyFileSignV2 instance;
        return &instance;
    }
};

CVerifyFileSignV2* CVerifyFileSignV2::GetInstance()
{
    CVerifyFileSignV2* instance = g_pInstance.load(std::memory_order_acquire);
    if (!instance) {
        UTIL::CAutoSingletonLocker guard(g_singletonLock);
        instance = g_pInstance.load(std::memory_order_relaxed);
        if (!instance) {
            instance = CVerifyFileSignV2Holder::Get();
            g_pInstance.store(instance, std::memory_order_release);
        }
    }
    return instance;
}

CVerifyFileSignV2::CVerifyFileSignV2()
{
    const wchar_t* const name = L"CVerifyFileSignV2::CVerifyFileSignV2";
    static const wchar_t kLibrary[] = L"\\WinTrust.dll";
    wchar_t path[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(path, MAX_PATH + 1);
    // Stays loaded for the process: the entry points are kept.
    const HMODULE winTrust = n && n + wcslen(kLibrary) <= MAX_PATH ? ::LoadLibraryW(wcscat(path, kLibrary)) : nullptr;
    if (winTrust && ::GetProcAddress(winTrust, "CryptCATAdminAcquireContext2") &&
        ::GetProcAddress(winTrust, "CryptCATAdminCalcHashFromFileHandle2"))
        m_bMultipleSign = 1;
    else
        LOGW(LOG_LEVEL_D, L"%s - Do not support multiple sign.", name);
    LoadKeyPackAndUpdatePublicKeyList(nullptr);
}

CVerifyFileSignV2::PublicKeySet CVerifyFileSignV2::ExchangePublicKeys(PublicKeySet keys)
{
    UTIL::CScopedLock<UTIL::CCriticalSection> guard(m_lock);
    m_publicKeys.swap(keys);
    return keys;
}

// --- The key pack ---

int GetCurrentModulePath(wchar_t* pwszBuffer, DWORD cchBuffer)
{
    const wchar_t* const name = L"GetCurrentModulePath";
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&GetCurrentModulePath), &module)) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to get module handle, Windows error code: %x", name, ::GetLastError());
        return 0;
    }
    const DWORD n = ::GetModuleFileNameW(module, pwszBuffer, cchBuffer);
    // A cut path names another file.
    if (n == 0 || n >= cchBuffer) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to get module file name, Windows error code: %x", name, ::GetLastError());
        return 0;
    }
    return 1;
}

int IsIntegrityCheckEnabled(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"IsIntegrityCheckEnabled";
    LOGW(LOG_LEVEL_D, L"%s - >> %s", name, pwszFile);
    int result = 0;
    [&] {
        UTIL::CUniqueFile file(
            ::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to open file: %s, Windows error code=[%lu]", name, pwszFile,
                 ::GetLastError());
            return;
        }
        UTIL::CUniqueHandle mapping(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to create file mapping, Windows error code: %x", name, ::GetLastError());
            return;
        }
        UTIL::CUniqueMappedView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        LARGE_INTEGER size = {};
        if (!view || !::GetFileSizeEx(file.get(), &size)) {
            LOGW(LOG_LEVEL_E, L"%s - Failed to call MapViewOfFile, Windows error code: %x", name, ::GetLastError());
            return;
        }
        // The headers are read only where the file has bytes.
        const auto* base = static_cast<const BYTE*>(view.get());
        const ULONGLONG cb = static_cast<ULONGLONG>(size.QuadPart);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const ULONGLONG ntAt = cb >= sizeof(IMAGE_DOS_HEADER) ? static_cast<DWORD>(dos->e_lfanew) : cb;
        constexpr ULONGLONG kNeeded = offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                      offsetof(IMAGE_OPTIONAL_HEADER32, DllCharacteristics) + sizeof(WORD);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || ntAt + kNeeded > cb ||
            reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + ntAt)->Signature != IMAGE_NT_SIGNATURE) {
            LOGW(LOG_LEVEL_E, L"%s - failed to ImageNtHeader, err=[%lu]", name, ERROR_BAD_EXE_FORMAT);
            return;
        }
        // DllCharacteristics sits at one offset in both optional headers.
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + ntAt);
        const WORD magic = nt->OptionalHeader.Magic;
        if (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            LOGW(LOG_LEVEL_E, L"%s - Unrecognized platform type: %x", name, magic);
            return;
        }
        result = (nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY) ? 1 : 0;
    }();
    LOGW(LOG_LEVEL_D, L"%s - << %d", name, result);
    return result;
}

int CVerifyFileSignV2::IntegrityCheckForKeyPack(const wchar_t* pwszFile)
{
    if (!IsIntegrityCheckEnabled(pwszFile))
        return 0;
    PublicKey primary;
    std::wstring signer;
    std::vector<PublicKey> secondary;
    if (!VerifySignatureAndGetCertInfo(pwszFile, primary, signer, secondary))
        return 0;
    if (_wcsicmp(signer.c_str(), kVendorSubject) == 0)
        return 1;
    LOGW(LOG_LEVEL_E, L"%s - Invalid issuer: %s", L"CVerifyFileSignV2::IntegrityCheckForKeyPack", signer.c_str());
    return 0;
}

int CVerifyFileSignV2::LoadCertificatePublicKeyFromDLL(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"CVerifyFileSignV2::LoadCertificatePublicKeyFromDLL";
    WORD major = 0, minor = 0, build = 0, revision = 0;
    GetFileVersionParts(pwszFile, major, minor, build, revision);
    wchar_t version[32] = {};
    swprintf(version, 32, L"%u.%u.%u", major, minor, revision);
    LOGW(LOG_LEVEL_D, L"%s - LoadLibrary (%s); ver: (%s)", name, pwszFile, version);

    UTIL::CUniqueModule library(::LoadLibraryW(pwszFile));
    if (!library) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to load library %s, LastError = %d", name, pwszFile, ::GetLastError());
        return 0;
    }
    using AmountFn = UINT32(WINAPI*)();
    using KeyFn = BOOL(WINAPI*)(UINT32, BYTE*, UINT32*);
    const auto amount = UTIL::GetProc<AmountFn>(library.get(), "GetCertificatePublicKeyAmount");
    const auto getKey = UTIL::GetProc<KeyFn>(library.get(), "GetCertificatePublicKey");
    if (!amount || !getKey) {
        LOGW(LOG_LEVEL_E, L"%s - Function not found", name);
        return 0;
    }
    LOGW(LOG_LEVEL_D, L"%s - Load KeyPack successfully", name);
    UTIL::CScopedLock<UTIL::CCriticalSection> guard(m_lock);
    const UINT32 n = amount();
    for (UINT32 i = 0; i < n; ++i) {
        UINT32 size = 0;
        if (!getKey(i, nullptr, &size))
            continue;
        // An empty or outsized key is no key: refused before any allocation.
        if (size == 0 || size > kMaxPublicKeyBytes) {
            LOGW(LOG_LEVEL_E, L"%s - Invalid key size %u at index %u", name, size, i);
            continue;
        }
        PublicKey key(size);
        UINT32 copied = size;
        if (getKey(i, key.data(), &copied) != 1 || copied != size)
            continue;
        m_publicKeys.insert(std::move(key));
    }
    LOGW(LOG_LEVEL_D, L"%s - Total keys loaded: %d", name, static_cast<int>(m_publicKeys.size()));
    return 1;
}

int CVerifyFileSignV2::LoadKeyPackAndUpdatePublicKeyList(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"CVerifyFileSignV2::LoadKeyPackAndUpdatePublicKeyList";
    std::wstring path;
    std::wstring folder;
    if (pwszFile && *pwszFile) {
        path.assign(pwszFile, wcsnlen(pwszFile, MAX_PATH - 1));
        folder = FolderOf(path.c_str());
    } else {
        wchar_t module[MAX_PATH] = {};
        if (!GetCurrentModulePath(module, MAX_PATH))
            return 0;
        folder = FolderOf(module);
        path = PreferNew(folder, L"KeyPack.dll");
    }
    if (!IntegrityCheckForKeyPack(path.c_str())) {
        LOGW(LOG_LEVEL_D, L"%s - << %s", name, path.c_str());
        return 0;
    }
    int result = LoadCertificatePublicKeyFromDLL(path.c_str());
    if (!result && IsShimValidationEnabled() == 1) {
        LOGW(LOG_LEVEL_E, L"%s - The shim binary validation is enabled", name);
        path = PreferNew(folder, L"KeyPack_NA.dll");
        // The subject, marker and chain tests read the signature only: the
        // code it covers must match it before the shim is loaded.
        WINTRUST_DATA wtd = {};
        wtd.cbStruct = sizeof(wtd);
        wtd.dwUIChoice = WTD_UI_NONE;
        wtd.fdwRevocationChecks = WTD_REVOKE_NONE;
        wtd.dwUnionChoice = WTD_CHOICE_FILE;
        LONG status = 0;
        if (IsSignedByVendorSubject(path.c_str()) != 1) {
            LOGW(LOG_LEVEL_E, L"%s - The digital signature subject cannot be recognized", name);
        } else if (!HashMatchesSignature(path.c_str(), &wtd, status)) {
            LOGW(LOG_LEVEL_E, L"%s - The shim binary's hash doesn't match its signature, error code: %x", name, status);
        } else if (CheckShimMarker(path.c_str()) != 1) {
            LOGW(LOG_LEVEL_E, L"%s - The shim binary resources cannot be fully validated and trusted", name);
        } else {
            result = LoadCertificatePublicKeyFromDLL(path.c_str());
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - << %s", name, path.c_str());
    return result;
}

bool CVerifyFileSignV2::IsFileInIntegrityList(const wchar_t* pwszFile)
{
    const wchar_t* slash = pwszFile ? wcsrchr(pwszFile, L'\\') : nullptr;
    if (!slash)
        return false;
    for (const wchar_t* entry : kIntegrityList)
        if (_wcsicmp(slash + 1, entry) == 0)
            return true;
    return false;
}

// --- Hash-only verification ---

int CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo(const wchar_t* pwszFile, WINTRUST_DATA* wtd)
{
    if (const auto hook = g_certInfoHook.load())
        return hook(pwszFile, wtd);
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyEmbeddedSignatureByCertInfo";
    if (!pwszFile || !wtd)
        return 0;
    LONG status = 0;
    if (!HashMatchesSignature(pwszFile, wtd, status)) {
        LOGW(LOG_LEVEL_E, L"%s - The file hash doesn't match the file signature, error code: %x", name, status);
        return 0;
    }

    bool keyMatch = false;
    PublicKey primary;
    std::wstring signer;
    std::vector<PublicKey> secondary;
    if (VerifySignatureAndGetCertInfo(pwszFile, primary, signer, secondary)) {
        UTIL::CScopedLock<UTIL::CCriticalSection> guard(m_lock);
        keyMatch = m_publicKeys.count(primary) != 0;
        LOGW(LOG_LEVEL_D, L"%s - Primary signature verified: %d", name, keyMatch ? 1 : 0);
        if (!keyMatch) {
            for (const PublicKey& key : secondary) {
                if (m_publicKeys.count(key)) {
                    keyMatch = true;
                    break;
                }
            }
            LOGW(LOG_LEVEL_D, L"%s - Secondary signature verified: %d", name, keyMatch ? 1 : 0);
        }
    }
    const bool listed = IsFileInIntegrityList(pwszFile);
    if (keyMatch && !listed)
        return 1;
    const bool acs = VerifyACSWithoutRootCAForFile(pwszFile) == 1;
    if (!acs && listed)
        WriteDigitalSignInvalidTelemetryInfo(pwszFile, 0, 0);
    return keyMatch || acs ? 1 : 0;
}

bool CVerifyFileSignV2::HashMatchesSignature(const wchar_t* pwszFile, WINTRUST_DATA* wtd, LONG& status)
{
    wtd->dwProvFlags = WTD_HASH_ONLY_FLAG;
    status = VerifyEmbeddedSignature(pwszFile, wtd, false);
    return status == 0 || (status == TRUST_E_EXPLICIT_DISTRUST && LowLevelVerifyHash(pwszFile));
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignature(const wchar_t* pwszFile, WINTRUST_DATA* wtd, bool bStrongSignPolicy)
{
    return CSingletonWinTrustHelper::Instance().IsMultipleSign()
               ? VerifyEmbeddedSignatureV2(pwszFile, bStrongSignPolicy, wtd)
               : VerifyEmbeddedSignatureV1(pwszFile, wtd);
}

namespace {

// The trust data of a hash-only check: the template's settings, this file.
DS::CWinTrustData FromTemplate(const WINTRUST_DATA* wtd, WINTRUST_FILE_INFO* file)
{
    DS::CWinTrustData data = {};
    data.cbStruct = sizeof(data);
    data.pPolicyCallbackData = wtd->pPolicyCallbackData;
    data.pSIPClientData = wtd->pSIPClientData;
    data.dwUIChoice = wtd->dwUIChoice;
    data.fdwRevocationChecks = wtd->fdwRevocationChecks;
    data.dwUnionChoice = wtd->dwUnionChoice;
    data.hWVTStateData = wtd->hWVTStateData;
    data.dwProvFlags = wtd->dwProvFlags;
    data.dwUIContext = wtd->dwUIContext;
    data.pFile = file;
    return data;
}

class CFileSubject : UTIL::CNonCopyable {
public:
    explicit CFileSubject(const wchar_t* pwszFile)
        : m_file(::CreateFileW(pwszFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        m_info.cbStruct = sizeof(m_info);
        m_info.hFile = m_file ? m_file.get() : nullptr;
        if (!m_file)
            m_info.pcwszFilePath = pwszFile;
    }
    WINTRUST_FILE_INFO* Info() { return &m_info; }

private:
    UTIL::CUniqueFile m_file;
    WINTRUST_FILE_INFO m_info = {};
};

GUID g_verifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

}  // namespace

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV1(const wchar_t* pwszFile, WINTRUST_DATA* wtd)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV1";
    const DS::CTrustProvider& provider = Provider();
    CFileSubject subject(pwszFile);
    DS::CWinTrustData data = FromTemplate(wtd, subject.Info());
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    const LONG status = provider.WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &g_verifyV2, &data);
    LOGW(LOG_LEVEL_D, L"%s - WinVerifyTrust result=(0x%x)", name, status);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG closed = provider.WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &g_verifyV2, &data);
    LOGW(LOG_LEVEL_D, L"%s - WinVerifyTrust close state action result=(0x%x)", name, closed);
    return status;
}

LONG CVerifyFileSignV2::VerifyEmbeddedSignatureV2(const wchar_t* pwszFile, bool bStrongSignPolicy, WINTRUST_DATA* wtd)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyEmbeddedSignatureV2";
    const DS::CTrustProvider& provider = Provider();
    const HWND window = static_cast<HWND>(INVALID_HANDLE_VALUE);
    CFileSubject subject(pwszFile);
    DS::CSignatureSettings settings = {};
    settings.cbStruct = sizeof(settings);
    settings.dwFlags = DS::kWssVerifySpecific | DS::kWssGetSecondarySigCount;
    settings.pCryptoPolicy = DS::StrongSignPara(bStrongSignPolicy);
    DS::CWinTrustData data = FromTemplate(wtd, subject.Info());
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.pSignatureSettings = &settings;

    LONG status = provider.WinVerifyTrust(window, &g_verifyV2, &data);
    LOGW(LOG_LEVEL_D, L"%s - WinVerifyTrust result=(0x%x), secondary sigs=(%d)", name, status, settings.cSecondarySigs);
    if (status != 0) {
        for (DWORD index = 1; index <= settings.cSecondarySigs; ++index) {
            data.dwStateAction = WTD_STATEACTION_CLOSE;
            const LONG closed = provider.WinVerifyTrust(window, &g_verifyV2, &data);
            if (closed != 0) {
                LOGW(LOG_LEVEL_D, L"%s - close WinVerifyTrust failed... ret=(0x%x)", name, closed);
                return closed;
            }
            data.hWVTStateData = nullptr;
            data.dwStateAction = WTD_STATEACTION_VERIFY;
            settings.dwIndex = index;
            status = provider.WinVerifyTrust(window, &g_verifyV2, &data);
            LOGW(LOG_LEVEL_D, L"%s - Verify secondary signature at index %d... ret=(0x%x)", name, index, status);
            if (status == 0)
                break;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    const LONG closed = provider.WinVerifyTrust(window, &g_verifyV2, &data);
    if (closed != 0)
        LOGW(LOG_LEVEL_D, L"%s - close WinVerifyTrust failed... ret=(0x%x)", name, closed);
    return status;
}

bool CVerifyFileSignV2::LowLevelVerifyHash(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"CVerifyFileSignV2::LowLevelVerifyHash";
    if (!pwszFile) {
        LOGW(LOG_LEVEL_E, L"%s - path is NULL", name);
        return false;
    }
    const DS::CTrustProvider& provider = Provider();
    bool result = false;
    const wchar_t* failed = nullptr;
    [&] {
        GUID subjectType = {};
        SIP_SUBJECTINFO subject = {};
        subject.cbSize = sizeof(subject);
        subject.pgSubjectType = &subjectType;
        subject.pwsFileName = pwszFile;
        subject.hFile = INVALID_HANDLE_VALUE;
        if (!provider.CryptSIPRetrieveSubjectGuidForCatalogFile ||
            !provider.CryptSIPRetrieveSubjectGuidForCatalogFile(pwszFile, nullptr, &subjectType)) {
            failed = L"CryptSIPRetrieveSubjectGuidForCatalogFile";
            return;
        }
        DWORD encoding = 0;
        DWORD cb = 0;
        if (!::CryptSIPGetSignedDataMsg(&subject, &encoding, 0, &cb, nullptr) || cb == 0) {
            failed = L"CryptSIPGetSignedDataMsg";
            return;
        }
        std::vector<BYTE> signedData(cb);
        if (!::CryptSIPGetSignedDataMsg(&subject, &encoding, 0, &cb, signedData.data())) {
            failed = L"CryptSIPGetSignedDataMsg";
            return;
        }
        UTIL::CUniqueCryptMsg msg(::CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr));
        if (!msg) {
            failed = L"CryptMsgOpenToDecode";
            return;
        }
        if (!::CryptMsgUpdate(msg.get(), signedData.data(), cb, TRUE)) {
            failed = L"CryptMsgUpdate";
            return;
        }
        DWORD cbContent = 0;
        if (!::CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &cbContent) || cbContent == 0) {
            failed = L"CryptMsgGetParam";
            return;
        }
        std::vector<BYTE> content(cbContent);
        if (!::CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content.data(), &cbContent)) {
            failed = L"CryptMsgGetParam";
            return;
        }
        DWORD cbDecoded = 0;
        if (!::CryptDecodeObject(encoding, SPC_INDIRECT_DATA_OBJID, content.data(), cbContent, 0, nullptr,
                                 &cbDecoded) ||
            cbDecoded < sizeof(SIP_INDIRECT_DATA)) {
            failed = L"CryptDecodeObject";
            return;
        }
        std::vector<BYTE> decoded(cbDecoded);
        if (!::CryptDecodeObject(encoding, SPC_INDIRECT_DATA_OBJID, content.data(), cbContent, 0, decoded.data(),
                                 &cbDecoded)) {
            failed = L"CryptDecodeObject";
            return;
        }
        subject.dwEncodingType = encoding;
        auto* indirect = reinterpret_cast<SIP_INDIRECT_DATA*>(decoded.data());
        subject.DigestAlgorithm = indirect->DigestAlgorithm;
        if (!provider.CryptSIPVerifyIndirectData(&subject, indirect)) {
            failed = L"CryptSIPVerifyIndirectData";
            return;
        }
        result = true;
    }();
    if (failed)
        LOGW(LOG_LEVEL_E, L"%s - failed to %s, err=[0x%lx]", name, failed, ::GetLastError());
    LOGW(LOG_LEVEL_E, L"%s - path=[%s], ret=[%s]", name, pwszFile, result ? L"true" : L"false");
    return result;
}

// --- Key matching ---

BYTE* CVerifyFileSignV2::GetInfoFromMsg(HCRYPTMSG hMsg, DWORD dwParam)
{
    const wchar_t* const name = L"CVerifyFileSignV2::GetInfoFromMsg";
    DWORD cb = 0;
    if (!::CryptMsgGetParam(hMsg, dwParam, 0, nullptr, &cb) || cb == 0) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to get required buffer size, Windows error code: %x", name, ::GetLastError());
        return nullptr;
    }
    auto* buffer = static_cast<BYTE*>(calloc(1, cb));
    if (!buffer) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to allocate buffer", name);
        return nullptr;
    }
    if (!::CryptMsgGetParam(hMsg, dwParam, 0, buffer, &cb)) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to retrieve required info, Windows error code: %x", name, ::GetLastError());
        free(buffer);
        return nullptr;
    }
    LOGW(LOG_LEVEL_D, L"%s - << %d", name, 1);
    return buffer;
}

int CVerifyFileSignV2::GetNestedSignature(const CMSG_SIGNER_INFO* pSignerInfo,
                                          std::vector<const CRYPT_ATTR_BLOB*>& nested)
{
    if (!pSignerInfo)
        return 0;
    for (DWORD i = 0; i < pSignerInfo->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = pSignerInfo->UnauthAttrs.rgAttr[i];
        if (!attr.pszObjId || strcmp(attr.pszObjId, kNestedSignatureOid) != 0)
            continue;
        LOGW(LOG_LEVEL_D, L"%s - Get the number of nested signature from Primary Signature(%d)",
             L"CVerifyFileSignV2::GetNestedSignature", static_cast<int>(attr.cValue));
        for (DWORD v = 0; v < attr.cValue; ++v)
            nested.push_back(&attr.rgValue[v]);
    }
    // Every nested signature counts, whichever attribute holds it.
    return static_cast<int>(nested.size());
}

int CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo(const CRYPT_ATTR_BLOB& blob, PublicKey& key)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifySecondarySignatureAndGetCertInfo";
    int result = 0;
    CQueried q;
    if (QueryBlob(blob, q)) {
        CMsgParam certInfo(GetInfoFromMsg(q.msg.get(), CMSG_SIGNER_CERT_INFO_PARAM));
        if (certInfo) {
            UTIL::CUniqueCertContext cert(::CertFindCertificateInStore(
                q.store.get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT, certInfo.get(), nullptr));
            if (cert && ::CryptMsgControl(q.msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo)) {
                key = KeyOf(cert.get());
                result = 1;
            } else {
                LOGW(LOG_LEVEL_E, L"%s - Failed to verify the secondary signature, Windows error code: %x", name,
                     ::GetLastError());
            }
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - << %d", name, result);
    return result;
}

int CVerifyFileSignV2::VerifySignatureAndGetCertInfo(const wchar_t* pwszFile, PublicKey& primaryKey,
                                                     std::wstring& signer, std::vector<PublicKey>& secondaryKeys)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifySignatureAndGetCertInfo";
    CQueried q;
    if (!QueryFile(pwszFile, q)) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to call CryptQueryObject, Windows error code: %x", name, ::GetLastError());
        return 0;
    }
    CMsgParam signerInfo(GetInfoFromMsg(q.msg.get(), CMSG_SIGNER_INFO_PARAM));
    if (!signerInfo)
        return 0;
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.get());
    CERT_INFO issuer = {};
    issuer.Issuer = info->Issuer;
    issuer.SerialNumber = info->SerialNumber;
    UTIL::CUniqueCertContext cert(
        ::CertFindCertificateInStore(q.store.get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT, &issuer, nullptr));
    if (!cert) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to find certificate from store, Windows error code: %x", name,
             ::GetLastError());
        return 0;
    }
    if (!::CryptMsgControl(q.msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo)) {
        LOGW(LOG_LEVEL_E, L"%s - Failed to verify the primary signature, Windows error code: %x", name,
             ::GetLastError());
        return 0;
    }
    int result = 1;
    primaryKey = KeyOf(cert.get());
    signer = CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(cert.get());
    for (DWORD i = 0; i < info->UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attr = info->UnauthAttrs.rgAttr[i];
        if (!attr.pszObjId || strcmp(attr.pszObjId, kNestedSignatureOid) != 0)
            continue;
        for (DWORD v = 0; v < attr.cValue; ++v) {
            PublicKey key;
            if (!VerifySecondarySignatureAndGetCertInfo(attr.rgValue[v], key)) {
                result = 0;
                break;
            }
            secondaryKeys.push_back(std::move(key));
        }
    }
    LOGW(LOG_LEVEL_D, L"%s - << %d", name, result);
    return result;
}

// --- ACS ---

int CVerifyFileSignV2::VerifyACSWithoutRootCAForFile(const wchar_t* pwszFile)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyACSWithoutRootCAForFile";
    LOGW(LOG_LEVEL_D, L"%s - [VerifyACS](%s)>>", name, pwszFile);
    int result = 0;
    [&] {
        CQueried q;
        if (!QueryFile(pwszFile, q)) {
            LOGW(LOG_LEVEL_E, L"%s - [VerifyACS] check primary signature CryptQueryObject() error (%0x)", name,
                 ::GetLastError());
            return;
        }
        if (VerifyACSWithoutRootCA(q.store.get(), q.msg.get()) == 1) {
            LOGW(LOG_LEVEL_I, L"%s - [VerifyACS] the primary signature is verified by ACS verify method.", name);
            result = 1;
            return;
        }
        LOGW(LOG_LEVEL_I,
             L"%s - [VerifyACS] the primary signature is not verified by ACS verify method, keeping to check nested "
             L"signatue",
             name);
        CMsgParam signerInfo(GetInfoFromMsg(q.msg.get(), CMSG_SIGNER_INFO_PARAM));
        if (!signerInfo) {
            LOGW(LOG_LEVEL_E, L"%s - [VerifyACS] can't not get signer info error (%0x)", name, ::GetLastError());
            return;
        }
        std::vector<const CRYPT_ATTR_BLOB*> nested;
        const int n = GetNestedSignature(reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.get()), nested);
        for (int i = 0; i < n; ++i) {
            CQueried nq;
            if (!QueryBlob(*nested[i], nq)) {
                LOGW(LOG_LEVEL_E, L"%s - [VerifyACS] (%d/%d) check nested signature CryptQueryObject() error (%0x)",
                     name, i + 1, n, ::GetLastError());
                continue;
            }
            if (VerifyACSWithoutRootCA(nq.store.get(), nq.msg.get()) == 1) {
                LOGW(LOG_LEVEL_I, L"%s - [VerifyACS] (%d/%d) the nested signature is verified by ACS verify method.",
                     name, i + 1, n);
                result = 1;
                return;
            }
            LOGW(LOG_LEVEL_D, L"%s - [VerifyACS](%d/%d) nested signature ACS verify fail.", name, i + 1, n);
        }
    }();
    LOGW(LOG_LEVEL_D, L"%s - <<[VerifyACS] result (%d)", name, result);
    return result;
}

int CVerifyFileSignV2::VerifyACSWithoutRootCA(HCERTSTORE hStore, HCRYPTMSG hMsg)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyACSWithoutRootCA";
    CMsgParam certInfo(GetInfoFromMsg(hMsg, CMSG_SIGNER_CERT_INFO_PARAM));
    if (!certInfo) {
        LOGW(LOG_LEVEL_E, L"%s - can't get cert_info", name);
        return 0;
    }
    UTIL::CUniqueCertContext cert(
        ::CertFindCertificateInStore(hStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT, certInfo.get(), nullptr));
    if (!cert) {
        LOGW(LOG_LEVEL_E, L"%s - pCertContext error(%0x)", name, ::GetLastError());
        return 0;
    }
    if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo)) {
        LOGW(LOG_LEVEL_E, L"%s - CryptMsgControl() verify signauture error(%0x)", name, ::GetLastError());
        return 0;
    }
    DWORD cb = 0;
    if (!::CertGetEnhancedKeyUsage(cert.get(), CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &cb) || cb == 0) {
        LOGW(LOG_LEVEL_E, L"%s - CertGetEnhancedKeyUsage() error(%08x)", name, ::GetLastError());
        return 0;
    }
    std::vector<BYTE> buffer(cb);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!::CertGetEnhancedKeyUsage(cert.get(), CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &cb)) {
        LOGW(LOG_LEVEL_E, L"%s - CertGetEnhancedKeyUsage() error(%08x)", name, ::GetLastError());
        return 0;
    }
    for (const AcsEkuEntry& row : kAcsTable) {
        bool vendor = false;
        bool release = false;
        for (DWORD i = 0; i < usage->cUsageIdentifier && !(vendor && release); ++i) {
            const char* eku = usage->rgpszUsageIdentifier[i];
            LOGW(LOG_LEVEL_D, L"%s - Compare an EKU(%S)", name, eku);
            vendor = vendor || strcmp(eku, row.pszVendorEku) == 0;
            release = release || strcmp(eku, row.pszReleaseEku) == 0;
        }
        if (!(vendor && release))
            continue;
        LOGW(LOG_LEVEL_D,
             L"%s - Find Corvane EKU and ACS Release signer EKU in this Cert, it's ACS signed signature. Try to verify "
             L"ACS certificate chain(Chain of trust)",
             name);
        if (VerifyACSCertChain(hStore, hMsg, row) == 1) {
            LOGW(LOG_LEVEL_I, L"%s - Verify ACS certificate chain(Chain of trust) success", name);
            LOGW(LOG_LEVEL_I, L"%s - The signature is verified for a set of Corvane ACS identifier", name);
            return 1;
        }
    }
    return 0;
}

int CVerifyFileSignV2::VerifyACSCertChain(HCERTSTORE hStore, HCRYPTMSG hMsg, const AcsEkuEntry& row)
{
    const wchar_t* const name = L"CVerifyFileSignV2::VerifyACSCertChain";
    int result = 0;
    try {
        CMsgParam signerInfo(GetInfoFromMsg(hMsg, CMSG_SIGNER_INFO_PARAM));
        if (!signerInfo)
            throw std::runtime_error("failed to get signer cert info");
        const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.get());
        CERT_INFO issuer = {};
        issuer.Issuer = info->Issuer;
        issuer.SerialNumber = info->SerialNumber;
        UTIL::CUniqueCertContext cert(
            ::CertFindCertificateInStore(hStore, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &issuer, nullptr));
        if (!cert)
            throw std::runtime_error("failed to get cert context");
        if (!::CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE, cert.get()->pCertInfo))
            throw std::runtime_error("CryptMsgControl() indicates invalid sign");
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof(para);
        UTIL::CUniqueChainContext chain;
        if (!::CertGetCertificateChain(HCCE_LOCAL_MACHINE, cert.get(), nullptr, hStore, &para,
                                       CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                       nullptr, chain.put()))
            throw std::runtime_error("failed to call CertGetCertificateChain() to create a chain for the cert");
        const CERT_TRUST_STATUS& trust = chain.get()->TrustStatus;
        if ((trust.dwErrorStatus & ~(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_UNTRUSTED_ROOT)) != 0) {
            LOGW(LOG_LEVEL_D, L"%s - CERT_TRUST_STATUS::dwErrorStatus=[%08x], CERT_TRUST_STATUS::dwInfoStatus=[%08x]",
                 name, trust.dwErrorStatus, trust.dwInfoStatus);
            throw std::runtime_error("CertGetCertificateChain() indicates invalid sign");
        }
        if (chain.get()->cChain == 0)
            throw std::runtime_error("CertGetCertificateChain() indicates invalid sign");
        const CERT_SIMPLE_CHAIN* simple = chain.get()->rgpChain[0];
        for (DWORD i = 0; i < simple->cElement; ++i) {
            PCCERT_CONTEXT element = simple->rgpElement[i]->pCertContext;
            BYTE hash[260] = {};
            DWORD cb = sizeof(hash);
            // Only a property that fits the buffer and has the pin's size is compared.
            if (!::CertGetCertificateContextProperty(element, CERT_SIGNATURE_HASH_PROP_ID, hash, &cb) ||
                cb != row.cbPinnedHash || memcmp(hash, row.pbPinnedHash, cb) != 0)
                continue;
            LOGW(LOG_LEVEL_I, L"%s - Certificate for [%s] found.", name,
                 CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(element).c_str());
            result = 1;
            break;
        }
    } catch (const std::exception& e) {
        LOGW(LOG_LEVEL_E, L"%s - exception is thrown: %S", name, e.what());
    }
    LOGW(LOG_LEVEL_I, L"%s -  result(%d)", name, result);
    return result;
}

MultiPleSignCheckHooks::CertInfoVerifierFn MultiPleSignCheckHooks::SetCertInfoVerifier(CertInfoVerifierFn fn)
{
    return g_certInfoHook.exchange(fn);
}
