// What the platform answers for each file of the code-signing corpus: the
// facts the signature verifier builds on. Where Wine's trust provider differs
// from Windows, the expected value is Wine's and its comment says Windows'.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <mscat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corpus_manifest.h"
#include "test_support.h"
#include "ut_CryptHandle.h"

using namespace KsxCorpus;

namespace {

const LONG kOk = 0;
const LONG kNoSignature = static_cast<LONG>(TRUST_E_NOSIGNATURE);
const LONG kBadDigest = static_cast<LONG>(TRUST_E_BAD_DIGEST);
const LONG kUntrustedRoot = static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
const LONG kExpired = static_cast<LONG>(CERT_E_EXPIRED);

struct CCase {
    const wchar_t* file;
    LONG trust;              // WinVerifyTrust GENERIC_VERIFY_V2 of the embedded signature
    const wchar_t* signer;   // primary signer's display name, "" when unsigned
    DWORD signatureHash;     // its certificate's CERT_SIGNATURE_HASH_PROP_ID size
    int nested;              // nested signatures, all levels
    const wchar_t* catalog;  // the installed catalog listing the file, nullptr when none
    const wchar_t* catalogSigner;
};

const CCase kCases[] = {
    {kVendorSha384Dll, kOk, L"Corvane, Inc.", 48, 0, nullptr, nullptr},
    {kMsCorporationDll, kOk, L"Microsoft Corporation", 32, 0, nullptr, nullptr},
    {kVendorLowercaseDll, kOk, L"corvane, inc.", 32, 0, nullptr, nullptr},
    {kVendorNoPeriodDll, kOk, L"Corvane, Inc", 32, 0, nullptr, nullptr},
    {kVendorSha1ChainDll, kOk, L"Corvane, Inc.", 20, 0, nullptr, nullptr},
    {kSelfsignedSha1Dll, kUntrustedRoot, L"Corvane, Inc.", 20, 0, nullptr, nullptr},
    // Wine skips chain policy unless the signer's certificate is SHA-1-signed; Windows: 0x800B0109.
    {kSelfsignedSha256Dll, kOk, L"Corvane, Inc.", 32, 0, nullptr, nullptr},
    {kUntrustedRootDll, kUntrustedRoot, L"Corvane, Inc.", 20, 0, nullptr, nullptr},
    // Wine ignores timestamps and verifies at the current time; Windows: 0 (signed within validity, timestamped).
    {kExpiredTimestampedDll, kExpired, L"Corvane, Inc.", 20, 0, nullptr, nullptr},
    {kExpiredNoTimestampDll, kExpired, L"Corvane, Inc.", 20, 0, nullptr, nullptr},
    {kVendorPrimaryMsNestedDll, kOk, L"Corvane, Inc.", 48, 1, nullptr, nullptr},
    {kMsPrimaryVendorNestedDll, kOk, L"Microsoft Corporation", 32, 1, nullptr, nullptr},
    {kNestedDepth2VendorDll, kOk, L"Microsoft Corporation", 32, 2, nullptr, nullptr},
    {kMsPrimaryUntrustedThenVendorNestedDll, kOk, L"Microsoft Corporation", 32, 2, nullptr, nullptr},
    {kAcsSignedDll, kOk, L"Corvane, Inc.", 48, 0, nullptr, nullptr},
    {kAcsOneEkuDll, kOk, L"Corvane, Inc.", 48, 0, nullptr, nullptr},
    {kAcsUnpinnedDll, kOk, L"Corvane, Inc.", 48, 0, nullptr, nullptr},
    {kMsPrimaryAcsNestedDll, kOk, L"Microsoft Corporation", 32, 1, nullptr, nullptr},
    {kUnsignedDll, kNoSignature, L"", 0, 0, nullptr, nullptr},
    {kUnsignedNoVersionDll, kNoSignature, L"", 0, 0, nullptr, nullptr},
    {kTamperedDll, kBadDigest, L"Corvane, Inc.", 48, 0, nullptr, nullptr},
    // Wine skips chain policy unless SHA-1-signed; Windows: 0x800B0110 (not valid for code signing).
    {kTimestampingLeafDll, kOk, L"Corvane Test Time Stamping", 32, 0, nullptr, nullptr},
    // Catalogs list the platform's own catalog hash: Wine 8 hashes the whole file, Windows the PE image.
    {kCatalogMsMemberDll, kNoSignature, L"", 0, 0, kKsxTestMsCat, L"Microsoft Corporation"},
    {kCatalogVendorMemberDll, kNoSignature, L"", 0, 0, kKsxTestVendorCat, L"Corvane, Inc."},
};

std::wstring CorpusPath(const wchar_t* file) { return KsxTest::ExeDir() + kRelativeDir + file; }

std::wstring DisplayName(PCCERT_CONTEXT cert)
{
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
    return name;
}

// WinVerifyTrust as the verifier calls it, and the signer it reports.
LONG Verify(WINTRUST_DATA& data, std::wstring& signer)
{
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;
    const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    CRYPT_PROVIDER_DATA* prov = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* sgnr = prov ? WTHelperGetProvSignerFromChain(prov, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* cert = sgnr ? WTHelperGetProvCertFromChain(sgnr, 0) : nullptr;
    signer = status == 0 && cert && cert->pCert ? DisplayName(cert->pCert) : L"";
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

// The first signer's information, empty when the message has none.
std::vector<BYTE> SignerInfo(HCRYPTMSG msg)
{
    DWORD size = 0;
    std::vector<BYTE> info;
    if (CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size))
        info.resize(size);
    if (!info.empty() && !CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, 0, info.data(), &size))
        info.clear();
    return info;
}

int CountNested(const CMSG_SIGNER_INFO& info)
{
    int n = 0;
    for (DWORD i = 0; i < info.UnauthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& a = info.UnauthAttrs.rgAttr[i];
        for (DWORD v = 0; strcmp(a.pszObjId, "1.3.6.1.4.1.311.2.4.1") == 0 && v < a.cValue; ++v) {
            UTIL::CUniqueCryptMsg msg(
                CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
            std::vector<BYTE> inner;
            if (msg && CryptMsgUpdate(msg.get(), a.rgValue[v].pbData, a.rgValue[v].cbData, TRUE))
                inner = SignerInfo(msg.get());
            n += 1 + (inner.empty() ? 0 : CountNested(*reinterpret_cast<const CMSG_SIGNER_INFO*>(inner.data())));
        }
    }
    return n;
}

struct CEmbedded {
    std::wstring signer;
    DWORD signatureHash = 0;
    int nested = 0;
};

// The embedded signature read with the message functions, trusted or not.
CEmbedded ReadEmbedded(const std::wstring& path)
{
    CEmbedded out;
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), msg.put(), nullptr))
        return out;
    const std::vector<BYTE> info = SignerInfo(msg.get());
    if (info.empty())
        return out;
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(info.data());
    CERT_INFO key{};
    key.Issuer = signer->Issuer;
    key.SerialNumber = signer->SerialNumber;
    UTIL::CUniqueCertContext cert(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                             CERT_FIND_SUBJECT_CERT, &key, nullptr));
    if (cert) {
        out.signer = DisplayName(cert.get());
        CertGetCertificateContextProperty(cert.get(), CERT_SIGNATURE_HASH_PROP_ID, nullptr, &out.signatureHash);
    }
    out.nested = CountNested(*signer);
    return out;
}

// The catalog of the DRIVER_ACTION_VERIFY database that lists the file's
// hash (its file name, empty when none), and the hash as member tag.
std::wstring FindCatalog(const std::wstring& path, std::wstring& tag)
{
    UTIL::CUniqueFile file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE hash[64];
    DWORD size = sizeof(hash);
    GUID subsystem = DRIVER_ACTION_VERIFY;
    UTIL::CUniqueCatAdmin admin;
    if (!CryptCATAdminCalcHashFromFileHandle(file.get(), &size, hash, 0) ||
        !CryptCATAdminAcquireContext(admin.put(), &subsystem, 0))
        return L"?";
    tag.clear();
    for (DWORD i = 0; i < size; ++i) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02X", hash[i]);
        tag += hex;
    }
    UTIL::CCatalogContext catalog(admin.get());
    catalog.reset(CryptCATAdminEnumCatalogFromHash(admin.get(), hash, size, 0, nullptr));
    CATALOG_INFO info{};
    info.cbStruct = sizeof(info);
    return catalog && CryptCATCatalogInfoFromContext(catalog.get(), &info, 0) ? info.wszCatalogFile : L"";
}

TEST(PkiCorpusTest, PlatformAnswersForEachFile)
{
    // Every file the build made is there, and every library is pinned above.
    size_t libraries = 0;
    for (const CFile& f : kFiles) {
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(CorpusPath(f.name).c_str())) << f.description;
        libraries += std::wstring(f.name).find(L".dll") != std::wstring::npos;
    }
    EXPECT_EQ(sizeof(kCases) / sizeof(kCases[0]), libraries);

    for (const CCase& c : kCases) {
        SCOPED_TRACE(testing::Message() << "file " << std::string(c.file, c.file + wcslen(c.file)));
        const std::wstring path = CorpusPath(c.file);

        WINTRUST_FILE_INFO fileInfo{};
        fileInfo.cbStruct = sizeof(fileInfo);
        fileInfo.pcwszFilePath = path.c_str();
        WINTRUST_DATA data{};
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        std::wstring trustedSigner;
        EXPECT_EQ(c.trust, Verify(data, trustedSigner));
        EXPECT_EQ(c.trust == kOk ? c.signer : L"", trustedSigner);

        const CEmbedded embedded = ReadEmbedded(path);
        EXPECT_EQ(c.signer, embedded.signer);
        EXPECT_EQ(c.signatureHash, embedded.signatureHash);
        EXPECT_EQ(c.nested, embedded.nested);

        std::wstring tag;
        const std::wstring catalog = FindCatalog(path, tag);
        EXPECT_EQ(40u, tag.size());
        if (!c.catalog) {
            EXPECT_EQ(L"", catalog);
            continue;
        }
        ASSERT_GE(catalog.size(), wcslen(c.catalog));
        EXPECT_EQ(c.catalog, catalog.substr(catalog.size() - wcslen(c.catalog)));

        WINTRUST_CATALOG_INFO catalogInfo{};
        catalogInfo.cbStruct = sizeof(catalogInfo);
        catalogInfo.pcwszCatalogFilePath = catalog.c_str();
        catalogInfo.pcwszMemberTag = tag.c_str();
        catalogInfo.pcwszMemberFilePath = path.c_str();
        WINTRUST_DATA catalogData{};
        catalogData.dwUnionChoice = WTD_CHOICE_CATALOG;
        catalogData.pCatalog = &catalogInfo;
        std::wstring catalogSigner;
        EXPECT_EQ(kOk, Verify(catalogData, catalogSigner));
        EXPECT_EQ(c.catalogSigner, catalogSigner);
    }
}

}  // namespace
