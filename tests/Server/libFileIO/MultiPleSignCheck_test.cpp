// The multiple-signature verifier on the signed corpus: hash-only check, key
// matching on primary and nested signers, the integrity list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MultiPleSignCheck.h"
#include "corpus_manifest.h"
#include "ds_test_provider.h"
#include "log_fixtures.h"
#include "test_support.h"

using namespace KsxCorpus;

namespace {

using DsTest::Corpus;
using KsxTest::Wide;

int ByCertInfo(const std::wstring& path)
{
    WINTRUST_DATA templ = {};
    templ.cbStruct = sizeof(templ);
    templ.dwUIChoice = WTD_UI_NONE;
    templ.dwUnionChoice = WTD_CHOICE_FILE;
    return CVerifyFileSignV2::GetInstance()->VerifyEmbeddedSignatureByCertInfo(path.c_str(), &templ);
}

CVerifyFileSignV2::PublicKey PrimaryKeyOf(const wchar_t* name)
{
    CVerifyFileSignV2::PublicKey key;
    std::wstring signer;
    std::vector<CVerifyFileSignV2::PublicKey> nested;
    CVerifyFileSignV2::GetInstance()->VerifySignatureAndGetCertInfo(Corpus(name).c_str(), key, signer, nested);
    return key;
}

// Windows' provider whose trust check distrusts every signer explicitly.
LONG WINAPI Distrusted(HWND, GUID*, LPVOID pv)
{
    return static_cast<WINTRUST_DATA*>(pv)->dwStateAction == WTD_STATEACTION_CLOSE ? 0 : TRUST_E_EXPLICIT_DISTRUST;
}

class VerifierTest : public DsTest::CInstalledAgentTest {
protected:
    void SetUp() override
    {
        m_saved = m_verifier.ExchangePublicKeys({});
        m_vendor = PrimaryKeyOf(kVendorSha384Dll);
        m_ms = PrimaryKeyOf(kMsCorporationDll);
        ASSERT_FALSE(m_vendor.empty());
        ASSERT_NE(m_vendor, m_ms);
    }
    void TearDown() override { m_verifier.ExchangePublicKeys(m_saved); }

    CVerifyFileSignV2& m_verifier = *CVerifyFileSignV2::GetInstance();
    CVerifyFileSignV2::PublicKeySet m_saved;
    CVerifyFileSignV2::PublicKey m_vendor, m_ms;
};

TEST_F(VerifierTest, KeyMatchingOnPrimaryAndNestedSigners)
{
    // A file whose only nested signature is the vendor's, its signature bytes damaged.
    const std::string pe = DsTest::ReadBytes(Corpus(kMsPrimaryVendorNestedDll));
    const std::string nested = DsTest::NestedSignaturesOf(DsTest::SignatureOf(pe)).at(0);
    std::string broken = pe;
    const size_t at = broken.find(nested);
    ASSERT_NE(at, std::string::npos);
    broken[at + nested.size() - 1] ^= 0x5A;
    const std::wstring brokenNested = Wide(m_scratch.Path()) + L"broken_nested.dll";
    DsTest::WriteBytes(brokenNested, broken);

    DS::CTrustProvider distrust = DsTest::WindowsSingleSignature();
    distrust.WinVerifyTrust = Distrusted;
    enum Keys { kNone, kVendor, kMs, kBoth };  // bits
    struct CRow {
        std::wstring file;
        Keys keys;
        bool distrusted;  // else the platform's own provider
        int expected;
    };
    const CRow rows[] = {
        {Corpus(kVendorSha384Dll), kVendor, false, 1},
        {Corpus(kVendorSha384Dll), kNone, false, 0},
        {Corpus(kMsCorporationDll), kVendor, false, 0},
        {Corpus(kMsCorporationDll), kMs, false, 1},
        {Corpus(kMsPrimaryVendorNestedDll), kVendor, false, 1},
        // Only the second nested signer (the first is a self-signed one) has a vendor key.
        {Corpus(kMsPrimaryUntrustedThenVendorNestedDll), kVendor, false, 1},
        // One level of nesting is read: the vendor key two levels down is not.
        {Corpus(kNestedDepth2VendorDll), kVendor, false, 0},
        // A nested signature that does not verify stops all key matching.
        {brokenNested, kBoth, false, 0},
        // The hash is checked before any key.
        {Corpus(kTamperedDll), kVendor, false, 0},
        {Corpus(kUnsignedDll), kBoth, false, 0},
        {L"C:\\no\\such\\file.dll", kBoth, false, 0},
        // Explicit distrust passes on a good low-level hash (seam: Wine's
        // CryptSIPVerifyIndirectData and ...ForCatalogFile are stubs that fail).
        {Corpus(kVendorSha384Dll), kVendor, true, 1},
        {Corpus(kTamperedDll), kVendor, true, 0},
        {Corpus(kMsCorporationDll), kVendor, true, 0},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::string(row.file.begin(), row.file.end()) << ", keys " << row.keys
                                          << (row.distrusted ? ", distrusted" : ""));
        CVerifyFileSignV2::PublicKeySet keys;
        if (row.keys & kVendor)
            keys.insert(m_vendor);
        if (row.keys & kMs)
            keys.insert(m_ms);
        m_verifier.ExchangePublicKeys(keys);
        DsTest::CPlatformScope platform(distrust, row.distrusted);
        EXPECT_EQ(ByCertInfo(row.file), row.expected);
    }
    // Under Wine itself explicit distrust cannot be overcome: its SIP check is a stub.
    EXPECT_FALSE(m_verifier.LowLevelVerifyHash(Corpus(kVendorSha384Dll).c_str()));
}

TEST_F(VerifierTest, AnIntegrityListedFileRunsTheAcsCheckAndLeavesTelemetryWhenItFails)
{
    m_registry.SetDword("Misc.", "Marker", 1);
    const std::wstring keyPack = Wide(m_scratch.Path()) + L"keypack.DLL";
    ASSERT_TRUE(::CopyFileW(Corpus(kVendorSha384Dll).c_str(), keyPack.c_str(), FALSE));
    m_verifier.ExchangePublicKeys({m_vendor});
    EXPECT_EQ(ByCertInfo(keyPack), 1);

    const KsxTest::RegString telemetry =
        KsxTest::ReadRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion\\Misc.",
                               "TelemetryACSLocalVerifyFail", KEY_WOW64_32KEY);
    EXPECT_EQ(telemetry.value.find(m_scratch.Path() + "keypack.DLL|"), 0u);

    struct {
        const wchar_t* path;
        bool listed;
    } const cases[] = {
        {L"C:\\a\\BSNPIPC_64X.DLL", true},    {L"KeyPack.dll", false},
        {L"C:\\KeyPack.dll.new", false},      {L"C:\\x\\CvWSCSvc.exe", true},
        {L"C:\\x\\hostAgent_32x.dll", false}, {nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CVerifyFileSignV2::IsFileInIntegrityList(c.path), c.listed) << (c.path ? c.path : L"null");
}

TEST_F(VerifierTest, KeyPacksLoadOnlyWhenVendorSignedWithForcedIntegrity)
{
    struct {
        const wchar_t* file;
        int loaded;
        size_t keys;
    } const rows[] = {
        {L"KeyPack.dll", 1, 2},
        {L"keypack_lowercase.dll", 1, 2},  // "corvane, inc.": the issuer test ignores case
        {L"keypack_noflag.dll", 0, 0},
        {L"keypack_ms.dll", 0, 0},
        {L"keypack_unsigned.dll", 0, 0},
        {L"keypack_nokeys.dll", 0, 0},
        {L"missing.dll", 0, 0},
        {L"keypack_empty.dll", 1, 0},
        {L"keypack_failone.dll", 1, 1},
        {L"keypack_doubled.dll", 1, 2},
        // A key claiming 4 GiB is refused without allocating; the other loads.
        {L"keypack_huge.dll", 1, 1},
    };
    for (const auto& row : rows) {
        const std::wstring path = KsxTest::ExeDir() + L"..\\keypack\\" + row.file;
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        m_verifier.ExchangePublicKeys({});
        EXPECT_EQ(m_verifier.LoadKeyPackAndUpdatePublicKeyList(path.c_str()), row.loaded);
        const CVerifyFileSignV2::PublicKeySet keys = m_verifier.ExchangePublicKeys({});
        EXPECT_EQ(keys.size(), row.keys);
        EXPECT_EQ(keys.count(m_vendor), row.keys == 2 ? 1u : 0u);
    }
}

TEST_F(VerifierTest, ShimsPassOnlyWithTheVendorSubjectAWellFormedMarkerAndAPinnedChain)
{
    EXPECT_EQ(IsShimValidationEnabled(), 0);  // absent
    for (const DWORD value : {2ul, 1ul}) {
        m_registry.SetDword("Misc.", "EnableShimValidation", value);
        EXPECT_EQ(IsShimValidationEnabled(), value == 1 ? 1 : 0);
    }

    const std::wstring dir = KsxTest::ExeDir() + L"..\\keypack\\";
    struct {
        const wchar_t* file;
        int vendorSubject, markerValid, pinned;
        int record;  // the code the marker check records, 0 none
    } const rows[] = {
        {L"KeyPack_NA.dll", 1, 1, 1, 0},
        // The primary (SHA-1 PKI) matches no pin, its nested vendor signature does.
        {L"keypack_na_nested.dll", 1, 1, 1, 0},
        {L"keypack_na_acs.dll", 1, 1, 1, 0},
        {L"keypack_na_selfsigned.dll", 1, 1, 0, -1},
        // One ACS usage only: the regular pattern, whose 3 elements its 4-element chain exceeds.
        {L"keypack_na_long.dll", 1, 1, 0, -1},
        {L"keypack_na_ms.dll", 0, 1, 0, -1},
        {L"KeyPack.dll", 1, 0, 1, -2},
        // Exact subject, unlike the key pack's issuer test.
        {L"keypack_lowercase.dll", 0, 0, 0, -2},
        {L"keypack_unsigned.dll", 0, 0, 0, -2},
    };
    const std::string record = m_install.Path() + "Misc\\SBInvalidLogLastInfo.log";
    for (const auto& row : rows) {
        const std::wstring path = dir + row.file;
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        ::DeleteFileA(record.c_str());
        EXPECT_EQ(IsSignedByVendorSubject(path.c_str()), row.vendorSubject);
        EXPECT_EQ(IsMarkerResourceValid(path.c_str()), row.markerValid);
        EXPECT_EQ(VerifyPinnedChainForFile(path.c_str()), row.pinned);
        EXPECT_EQ(CheckShimMarker(path.c_str()), row.record == 0 ? 1 : 0);
        EXPECT_EQ(KsxTest::ReadBytes(record),
                  row.record ? KsxTest::Utf16z(path + L"\t" + std::to_wstring(row.record)) : "");
    }
}

// ACS signatures: both usages and the pinned CA in the chain; no vendor key needed.
TEST_F(VerifierTest, AcsSignaturesNeedBothUsagesAndThePinnedCertificate)
{
    struct {
        const wchar_t* file;
        int acs;
    } const rows[] = {
        {kAcsSignedDll, 1},   {kMsPrimaryAcsNestedDll, 1}, {kAcsOneEkuDll, 0},
        {kAcsUnpinnedDll, 0}, {kVendorSha384Dll, 0},       {kUnsignedDll, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::wstring(row.file).c_str());
        EXPECT_EQ(m_verifier.VerifyACSWithoutRootCAForFile(Corpus(row.file).c_str()), row.acs);
        EXPECT_EQ(ByCertInfo(Corpus(row.file)), row.acs);
    }

    // The pin is compared whole: not a prefix of it, not a longer row that starts with it.
    UTIL::CUniqueCertStore store;
    UTIL::CUniqueCryptMsg msg;
    ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Corpus(kAcsSignedDll).c_str(),
                                   CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                   nullptr, nullptr, nullptr, store.put(), msg.put(), nullptr));
    const std::string der = DsTest::ReadBytes(KsxTest::ExeDir() + L"..\\pki\\acsca.der");
    UTIL::CUniqueCertContext pinned(::CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    BYTE pin[300] = {};
    DWORD cb = sizeof(pin);
    ASSERT_TRUE(pinned && ::CertGetCertificateContextProperty(pinned.get(), CERT_SIGNATURE_HASH_PROP_ID, pin, &cb));
    ASSERT_EQ(cb, 48u);
    for (const DWORD size : {48ul, 47ul, 300ul}) {
        const AcsEkuEntry row = {"1.3.6.1.4.1.311.97.1.0", "", pin, size};
        EXPECT_EQ(m_verifier.VerifyACSCertChain(store.get(), msg.get(), row), size == 48 ? 1 : 0) << size;
    }
}

// The key pack beside the verifier's own module, read at first use: ksxverify,
// copied into a folder with the packs, exits with the number of keys it loaded.
TEST_F(VerifierTest, KeyPacksBesideTheModulePreferTheirNewCopies)
{
    const std::wstring packs = KsxTest::ExeDir() + L"..\\keypack\\";
    using Files = std::vector<std::pair<const wchar_t*, const wchar_t*>>;  // name, made from
    const Files unreadable = {{L"KeyPack.dll", L"keypack_nokeys.dll"}, {L"KeyPack_NA.dll", L"KeyPack_NA.dll"}};
    struct {
        DWORD shim;
        Files files;
        DWORD keys;
        bool recorded;  // a shim refused: SBInvalidLogLastInfo.log
    } const rows[] = {
        {0, {{L"KeyPack.dll", L"KeyPack.dll"}}, 2, 0},
        // KeyPack.dll.new (no keys) wins, also when it is the plain pack renamed.
        {0, {{L"KeyPack.dll", L"KeyPack.dll"}, {L"KeyPack.dll.new", L"KeyPack.dll.new"}}, 0, 0},
        {0, {{L"KeyPack.dll", L"KeyPack.dll.new"}, {L"KeyPack.dll.new", L"KeyPack.dll"}}, 2, 0},
        // A vendor-signed pack without its export: the shim, when switched on.
        {0, unreadable, 0, 0},
        {1, unreadable, 2, 0},
        {1, {unreadable[0], unreadable[1], {L"KeyPack_NA.dll.new", L"KeyPack_NA.dll.new"}}, 0, 0},
        {1,
         {unreadable[0], {L"KeyPack_NA.dll", L"KeyPack_NA.dll.new"}, {L"KeyPack_NA.dll.new", L"KeyPack_NA.dll"}},
         2,
         0},
        // One byte of its code changed, signature and marker intact: never loaded.
        {1, {unreadable[0], {L"KeyPack_NA.dll", L"*tampered"}}, 0, 0},
        // Refused while the verifier is being made: the record, and no hang.
        {1, {unreadable[0], {L"KeyPack_NA.dll", L"keypack_na_selfsigned.dll"}}, 0, 1},
        // A pack that fails its integrity check never reaches the shim.
        {1, {{L"KeyPack.dll", L"keypack_noflag.dll"}, unreadable[1]}, 0, 0},
    };
    const std::string record = m_install.Path() + "Misc\\SBInvalidLogLastInfo.log";
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
        SCOPED_TRACE(i);
        KsxTest::CTempFolder folder;
        const std::wstring dir = Wide(folder.Path());
        ASSERT_TRUE(
            ::CopyFileW((KsxTest::ExeDir() + L"ksxverify.exe").c_str(), (dir + L"ksxverify.exe").c_str(), FALSE));
        for (const auto& file : rows[i].files) {
            if (file.second[0] != L'*') {
                ASSERT_TRUE(::CopyFileW((packs + file.second).c_str(), (dir + file.first).c_str(), FALSE));
                continue;
            }
            // The last byte of the first section's raw data: covered by the image hash.
            std::string pe = DsTest::ReadBytes(packs + L"KeyPack_NA.dll");
            ASSERT_GT(pe.size(), 0x200u);
            auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(&pe[*reinterpret_cast<const DWORD*>(&pe[0x3C])]);
            const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
            pe[section->PointerToRawData + section->SizeOfRawData - 1] ^= 0x5A;
            DsTest::WriteBytes(dir + file.first, pe);
        }
        m_registry.SetDword("Misc.", "EnableShimValidation", rows[i].shim);
        ::DeleteFileA(record.c_str());
        EXPECT_EQ(KsxTest::RunProcess(L"\"" + dir + L"ksxverify.exe\" keys"), rows[i].keys);
        EXPECT_EQ(::GetFileAttributesA(record.c_str()) != INVALID_FILE_ATTRIBUTES, rows[i].recorded);
    }
}

// First use from 8 threads at once: one instance, and every verdict alike.
TEST(VerifierConcurrencyTest, EightThreadsShareOneInstanceOnFirstUse)
{
    struct CThread {
        HANDLE handle;
        CVerifyFileSignV2* instance;
        int verdict;
    } threads[8] = {};
    for (CThread& t : threads) {
        t.handle = ::CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                auto* t = static_cast<CThread*>(p);
                t->instance = CVerifyFileSignV2::GetInstance();
                t->verdict = ByCertInfo(Corpus(kAcsSignedDll)) + 2 * ByCertInfo(Corpus(kMsCorporationDll));
                return 0;
            },
            &t, 0, nullptr);
        ASSERT_TRUE(t.handle);
    }
    for (CThread& t : threads) {
        EXPECT_EQ(::WaitForSingleObject(t.handle, 60000), WAIT_OBJECT_0);
        ::CloseHandle(t.handle);
        EXPECT_EQ(t.instance, threads[0].instance);
        EXPECT_EQ(t.verdict, 1);
    }
}

// Every nested-signature attribute counts, not only the last one.
TEST(VerifierNestedTest, NestedSignaturesOfEveryAttributeAreCounted)
{
    BYTE bytes[3] = {1, 2, 3};
    CRYPT_ATTR_BLOB values[3] = {{1, bytes}, {1, bytes + 1}, {1, bytes + 2}};
    char nestedOid[] = "1.3.6.1.4.1.311.2.4.1";
    char otherOid[] = "1.2.840.113549.1.9.6";
    CRYPT_ATTRIBUTE attrs[3] = {{nestedOid, 2, values}, {otherOid, 1, values}, {nestedOid, 1, values + 2}};
    CMSG_SIGNER_INFO info = {};
    info.UnauthAttrs = {3, attrs};
    std::vector<const CRYPT_ATTR_BLOB*> nested;
    EXPECT_EQ(CVerifyFileSignV2::GetNestedSignature(&info, nested), 3);
    ASSERT_EQ(nested.size(), 3u);
    EXPECT_EQ(nested[2], &values[2]);
    EXPECT_EQ(CVerifyFileSignV2::GetNestedSignature(nullptr, nested), 0);
}

}  // namespace
