// The signature manager over the signed corpus: the verdict of every file
// for each signer policy and the record a refusal leaves, catalogs, and nested
// signatures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corpus_manifest.h"
#include "MultiPleSignCheck.h"
#include "ds_BsnDSManager.h"
#include "ds_test_provider.h"
#include "log_fixtures.h"
#include "test_support.h"

using namespace KsxCorpus;

namespace {

constexpr DWORD A = 0;  // accepted
constexpr DWORD I = ERROR_FAILED_ISSUER_CHECK;
constexpr DWORD N = 0x800B0100;  // TRUST_E_NOSIGNATURE
constexpr DWORD D = 0x80096010;  // TRUST_E_BAD_DIGEST
constexpr DWORD U = 0x800B0109;  // CERT_E_UNTRUSTEDROOT
constexpr DWORD X = 0x800B0101;  // CERT_E_EXPIRED
constexpr DWORD W = 0x800B0110;  // CERT_E_WRONG_USAGE
constexpr DWORD kFlags[] = {0, 1, 2, 3, 0x10001};

using DsTest::CPlatform;
using DsTest::CPlatformScope;

const char* Name(CPlatform p)
{
    return p == CPlatform::Wine ? "Wine" : p == CPlatform::WindowsSingle ? "Windows, single" : "Windows, multiple";
}

using DsTest::Corpus;
using KsxTest::Wide;

class CorpusTest : public DsTest::CInstalledAgentTest {
protected:
    std::wstring Scratch(const char* name, const std::string& bytes)
    {
        const std::wstring path = Wide(m_scratch.Path()) + Wide(name);
        DsTest::WriteBytes(path, bytes);
        return path;
    }
};

// The record a refusal leaves: the path, a TAB, the code as signed decimal, one NUL.
std::string RecordFor(const std::wstring& path, DWORD code)
{
    return KsxTest::Utf16z(path + L"\t" + std::to_wstring(static_cast<int>(code)));
}

// The vendor keys of the build's key pack, as the installed module reads them.
CVerifyFileSignV2::PublicKeySet VendorKeys()
{
    CVerifyFileSignV2& verifier = *CVerifyFileSignV2::GetInstance();
    const CVerifyFileSignV2::PublicKeySet saved = verifier.ExchangePublicKeys({});
    verifier.LoadKeyPackAndUpdatePublicKeyList((KsxTest::ExeDir() + L"..\\keypack\\KeyPack.dll").c_str());
    return verifier.ExchangePublicKeys(saved);
}

// A test root out of LocalMachine Root for the object's lifetime, by its
// registry key as trust-pki does. Wine's chain engine reads the store once per
// process: only the chains built after this see it gone.
class CRootRemoved {
public:
    explicit CRootRemoved(const wchar_t* name)
    {
        const std::string der = DsTest::ReadBytes(KsxTest::ExeDir() + L"..\\pki\\" + name + L".der");
        BYTE thumb[20] = {};
        DWORD cb = sizeof(thumb);
        ::CryptHashCertificate(0, CALG_SHA1, 0, reinterpret_cast<const BYTE*>(der.data()),
                               static_cast<DWORD>(der.size()), thumb, &cb);
        for (const BYTE b : thumb)
            m_key += "0123456789ABCDEF"[b >> 4], m_key += "0123456789ABCDEF"[b & 15];
        m_blob.resize(4096);
        cb = static_cast<DWORD>(m_blob.size());
        m_blob.resize(::RegGetValueA(HKEY_LOCAL_MACHINE, m_key.c_str(), "Blob", RRF_RT_REG_BINARY, nullptr, &m_blob[0],
                                     &cb) == ERROR_SUCCESS &&
                              ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_key.c_str()) == ERROR_SUCCESS
                          ? cb
                          : 0);
    }
    ~CRootRemoved()
    {
        if (!m_blob.empty())
            ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, m_key.c_str(), "Blob", REG_BINARY, m_blob.data(),
                              static_cast<DWORD>(m_blob.size()));
    }
    bool Removed() const { return !m_blob.empty(); }

private:
    std::string m_key = "Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";
    std::string m_blob;
};

TEST_F(CorpusTest, VerdictMatrixForFlags_0_1_2_3_And_10001)
{
    struct CRow {
        const wchar_t* file;
        CPlatform platform;
        DWORD expected[5];  // for kFlags, in order
    };
    const CPlatform w = CPlatform::Wine, s = CPlatform::WindowsSingle, m = CPlatform::WindowsMultiple;
    ASSERT_EQ(VendorKeys().size(), 2u);
    CVerifyFileSignV2::GetInstance()->ExchangePublicKeys(VendorKeys());
    const CRow rows[] = {
        {kVendorSha384Dll, w, {A, A, I, A, A}},
        {kMsCorporationDll, w, {A, I, A, A, I}},
        {kVendorLowercaseDll, w, {A, I, I, I, I}},
        {kVendorNoPeriodDll, w, {A, I, I, I, I}},
        {kVendorSha1ChainDll, w, {A, A, I, A, A}},
        {kSelfsignedSha1Dll, w, {U, U, U, U, U}},
        {kUntrustedRootDll, w, {U, U, U, U, U}},
        {kExpiredNoTimestampDll, w, {X, X, X, X, X}},
        {kVendorPrimaryMsNestedDll, w, {A, A, I, A, A}},
        // Under Wine the nested walk of the certificate-information check stops at
        // the missing time-stamp policy: the Windows rows below accept these.
        {kMsPrimaryVendorNestedDll, w, {A, I, A, A, I}},
        {kNestedDepth2VendorDll, w, {A, I, A, A, I}},
        {kMsPrimaryUntrustedThenVendorNestedDll, w, {A, I, A, A, I}},
        {kUnsignedDll, w, {N, N, N, N, N}},
        {kUnsignedNoVersionDll, w, {N, N, N, N, N}},
        {kTamperedDll, w, {D, D, D, D, D}},
        {kCatalogMsMemberDll, w, {N, N, N, N, A}},
        {kCatalogVendorMemberDll, w, {N, N, N, N, N}},
        {kAcsSignedDll, w, {A, A, I, A, A}},
        {kAcsOneEkuDll, w, {A, A, I, A, A}},
        {kAcsUnpinnedDll, w, {A, A, I, A, A}},
        {kMsPrimaryAcsNestedDll, w, {A, I, A, A, I}},

        // Wine accepts these three (no chain policy for SHA-256 chains; timestamps ignored).
        {kSelfsignedSha256Dll, s, {U, U, U, U, U}},
        {kExpiredTimestampedDll, s, {A, A, I, A, A}},
        {kTimestampingLeafDll, s, {W, W, W, W, W}},
        // The certificate-information check tolerates an expired signer (policy
        // settings 0x300): on a single-signature platform it accepts the file.
        {kExpiredNoTimestampDll, s, {A, A, X, A, A}},
        {kVendorPrimaryMsNestedDll, s, {A, A, A, A, A}},
        {kMsPrimaryVendorNestedDll, s, {A, A, A, A, A}},
        {kNestedDepth2VendorDll, s, {A, A, A, A, A}},
        {kMsPrimaryUntrustedThenVendorNestedDll, s, {A, A, A, A, A}},
        // The signature is valid, the file is not: refused by its digest.
        {kTamperedDll, s, {D, D, D, D, D}},

        {kSelfsignedSha256Dll, m, {U, U, U, U, U}},
        {kExpiredTimestampedDll, m, {A, A, I, A, A}},
        {kExpiredNoTimestampDll, m, {X, X, X, X, X}},
        {kVendorPrimaryMsNestedDll, m, {A, A, A, A, A}},
        {kMsPrimaryVendorNestedDll, m, {A, A, A, A, A}},
        // The provider walks one level of secondary signatures, not deeper.
        {kNestedDepth2VendorDll, m, {A, I, A, A, I}},
        {kMsPrimaryUntrustedThenVendorNestedDll, m, {A, A, A, A, A}},
        {kCatalogMsMemberDll, m, {N, N, N, N, A}},
        {kCatalogVendorMemberDll, m, {N, N, N, N, N}},
        {kTamperedDll, m, {D, D, D, D, D}},
    };
    for (const CRow& row : rows) {
        CPlatformScope platform(row.platform);
        const std::wstring path = Corpus(row.file);
        for (size_t f = 0; f < 5; ++f) {
            SCOPED_TRACE(::testing::Message() << Name(row.platform) << ", " << std::string(path.begin(), path.end())
                                              << ", flags 0x" << std::hex << kFlags[f]);
            ::DeleteFileA(RecordPath().c_str());
            const SignatureCheckResult r =
                CBsnDigitalSignatureManagerEx::VerifyDigitalSignatureAndRecord(path.c_str(), kFlags[f], false);
            EXPECT_EQ(r.dwError, row.expected[f]);
            EXPECT_EQ(r.bVerified, row.expected[f] == A);
            EXPECT_EQ(Record(), row.expected[f] == A ? "" : RecordFor(path, row.expected[f]));
        }
    }
}

// The test roots not installed (each case is a process of its own, so no chain
// was built before): the provider refuses, the vendor keys and the ACS pin accept.
TEST_F(CorpusTest, VerdictsWithoutTheTestRootsWithAndWithoutTheKeyPack)
{
    CRootRemoved root(L"root"), root1(L"root1");
    ASSERT_TRUE(root.Removed() && root1.Removed());
    // ACS trust comes from the pin: the missing root is tolerated, also by the
    // shim's ACS pattern, unlike its regular one.
    CVerifyFileSignV2& verifier = *CVerifyFileSignV2::GetInstance();
    EXPECT_EQ(verifier.VerifyACSWithoutRootCAForFile(Corpus(kAcsSignedDll).c_str()), 1);
    EXPECT_EQ(verifier.VerifyACSWithoutRootCAForFile(Corpus(kAcsUnpinnedDll).c_str()), 0);
    EXPECT_EQ(VerifyPinnedChainForFile((KsxTest::ExeDir() + L"..\\keypack\\keypack_na_acs.dll").c_str()), 1);
    EXPECT_EQ(VerifyPinnedChainForFile((KsxTest::ExeDir() + L"..\\keypack\\KeyPack_NA.dll").c_str()), 0);
    const CVerifyFileSignV2::PublicKeySet keys = VendorKeys();
    ASSERT_EQ(keys.size(), 2u);
    struct CRow {
        const wchar_t* file;
        CPlatform platform;
        bool keys;
        DWORD expected[5];  // for kFlags, in order
    };
    const CPlatform w = CPlatform::Wine, s = CPlatform::WindowsSingle;
    const CRow rows[] = {
        // Wine's WinVerifyTrust ignores WTD_HASH_ONLY_FLAG: the hash-only step fails on the chain.
        {kVendorSha1ChainDll, w, true, {U, U, U, U, U}}, {kVendorSha1ChainDll, s, false, {U, U, U, U, U}},
        {kVendorSha1ChainDll, s, true, {A, A, A, A, A}}, {kVendorSha384Dll, s, false, {U, U, U, U, U}},
        {kVendorSha384Dll, s, true, {A, A, A, A, A}},    {kMsPrimaryVendorNestedDll, s, true, {A, A, A, A, A}},
        {kMsCorporationDll, s, true, {U, U, U, U, U}},   {kAcsSignedDll, s, false, {A, A, A, A, A}},
        {kAcsUnpinnedDll, s, false, {U, U, U, U, U}},
    };
    for (const CRow& row : rows) {
        CPlatformScope platform(row.platform);
        verifier.ExchangePublicKeys(row.keys ? keys : CVerifyFileSignV2::PublicKeySet());
        const std::wstring path = Corpus(row.file);
        for (size_t f = 0; f < 5; ++f) {
            SCOPED_TRACE(::testing::Message()
                         << Name(row.platform) << (row.keys ? ", keys, " : ", no keys, ")
                         << std::string(path.begin(), path.end()) << ", flags 0x" << std::hex << kFlags[f]);
            const SignatureCheckResult r =
                CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(path.c_str(), kFlags[f], false);
            EXPECT_EQ(r.dwError, row.expected[f]);
        }
    }
}

TEST_F(CorpusTest, CatalogsAcceptOnlyAMicrosoftSignerAndNameTheMemberByItsHash)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture(16);
    ASSERT_TRUE(capture.Listening());
    const std::wstring ms = Corpus(kCatalogMsMemberDll);
    EXPECT_EQ(CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(ms.c_str()), 0u);
    EXPECT_EQ(CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(Corpus(kCatalogVendorMemberDll).c_str()), I);
    EXPECT_NE(CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign(Corpus(kUnsignedDll).c_str()), 0u);
    {
        CPlatformScope platform(CPlatform::WindowsMultiple);
        EXPECT_EQ(CBsnDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(ms.c_str(), false), 0u);
        EXPECT_EQ(
            CBsnDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(Corpus(kCatalogVendorMemberDll).c_str(), true),
            I);
        EXPECT_EQ(CBsnDigitalSignatureManagerEx::VerifyByMSCatalogMutipleSign(Corpus(kUnsignedDll).c_str(), false), N);
    }

    // The member tag: the platform's catalog hash, two upper-case digits a byte.
    UTIL::CUniqueFile file(
        ::CreateFileW(ms.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE hash[20] = {};
    DWORD size = sizeof(hash);
    ASSERT_TRUE(::CryptCATAdminCalcHashFromFileHandle(file.get(), &size, hash, 0));
    ASSERT_EQ(size, 20u);
    wchar_t tag[41] = {};
    for (int i = 0; i < 20; ++i)
        swprintf(tag + 2 * i, 3, L"%02X", hash[i]);
    const std::wstring line =
        L"CBsnDigitalSignatureManagerEx::VerifyByMSCatalogSingleSign - hash algorithm=SHA1, "
        L"file hash=" +
        std::wstring(tag);
    EXPECT_TRUE(capture.WaitFor([&](const KsxTest::LogWriteFields& r) { return KsxTest::EndsWith(r.text, line); }))
        << std::string(line.begin(), line.end());
}

// Wine 8 has no time-stamp chain policy and stubs CryptSIPVerifyIndirectData:
// the certificate-information check runs with Windows' answers to both.
TEST_F(CorpusTest, NestedSignaturesAreFollowedFourLevelsDeepAndNoFurther)
{
    CPlatformScope platform(CPlatform::WindowsSingle);
    const std::string ms = DsTest::ReadBytes(Corpus(kMsCorporationDll));
    const std::string vendor = DsTest::SignatureOf(DsTest::ReadBytes(Corpus(kVendorSha384Dll)));
    ASSERT_FALSE(vendor.empty());
    const std::wstring outer = Scratch("ms.der", DsTest::SignatureOf(ms));
    std::wstring inner = Scratch("level0.der", vendor);
    const std::wstring tool = KsxTest::ExeDir() + L"pkitool.exe";
    for (int depth = 1; depth <= CBsnDigitalSignatureManagerEx::kMaxNestingDepth + 1; ++depth) {
        SCOPED_TRACE(depth);
        const std::wstring nested = Wide(m_scratch.Path()) + L"level" + std::to_wstring(depth) + L".der";
        ASSERT_EQ(
            KsxTest::RunProcess(L"\"" + tool + L"\" nest \"" + outer + L"\" \"" + inner + L"\" \"" + nested + L"\""),
            0u);
        inner = nested;
        const std::wstring file = Scratch(("depth" + std::to_string(depth) + ".dll").c_str(),
                                          DsTest::WithSignature(ms, DsTest::ReadBytes(nested)));
        const SignatureCheckResult r = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false);
        EXPECT_EQ(r.bVerified, depth <= CBsnDigitalSignatureManagerEx::kMaxNestingDepth);
        EXPECT_EQ(r.dwError, r.bVerified ? A : I);
    }
}

}  // namespace
