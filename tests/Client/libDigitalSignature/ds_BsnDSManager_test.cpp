// The signature manager's decisions with the trust provider's answers
// scripted: signer lists, the secondary-signature walk, the fallbacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ds_BsnDSManager.h"
#include "ds_test_provider.h"
#include "log_fixtures.h"
#include "test_support.h"

namespace {

constexpr LONG kBadDigest = static_cast<LONG>(0x80096010);    // TRUST_E_BAD_DIGEST
constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);  // TRUST_E_NOSIGNATURE
constexpr LONG kUntrusted = static_cast<LONG>(0x800B0109);    // CERT_E_UNTRUSTEDROOT

class ScriptedTest : public ::testing::Test {
protected:
    UTIL::CUniqueCertContext m_vendor = DsTest::MakeCert(L"CN=\"Corvane, Inc.\"");
    UTIL::CUniqueCertContext m_microsoft = DsTest::MakeCert(L"CN=Microsoft Corporation");
    UTIL::CUniqueCertContext m_noPeriod = DsTest::MakeCert(L"CN=\"Corvane, Inc\"");
    UTIL::CUniqueCertContext m_lower = DsTest::MakeCert(L"CN=\"corvane, inc.\"");
    UTIL::CUniqueCertContext m_nameless = DsTest::MakeCert(L"");
    KsxTest::CTempFolder m_folder;
    std::wstring m_file = [this] {
        const std::string p = m_folder.WriteFile("subject.dll", "MZ");
        return std::wstring(p.begin(), p.end());
    }();
};

// Wine 8 ignores dwIndex and lacks CryptCATAdminCalcHashFromFileHandle2: the script answers as Windows.
TEST_F(ScriptedTest, MultipleSignaturePlatformWalksSecondarySignaturesAndFallsBackOnlyAfterAFailedCall)
{
    const PCCERT_CONTEXT vendor = m_vendor.get(), ms = m_microsoft.get();
    const DWORD refused = ERROR_FAILED_ISSUER_CHECK;
    struct Case {
        const char* what;
        std::vector<DsTest::CScriptedTrust::Signature> script;
        DWORD flags;
        int certInfoAnswer;
        DWORD error;  // 0: verified
        int certInfoCalls;
        std::vector<DWORD> indices;
    };
    const Case cases[] = {
        {"vendor primary", {{0, vendor}}, 1, 0, 0, 0, {0}},
        {"vendor at index 1", {{0, ms}, {0, vendor}}, 1, 0, 0, 0, {0, 1}},
        {"first allowed signer ends the walk", {{0, vendor}, {0, ms}}, 3, 0, 0, 0, {0}},
        {"valid, none allowed: no fallback", {{0, ms}, {0, ms}}, 1, 1, refused, 0, {0, 1}},
        {"failed then valid: mark cleared", {{kUntrusted, vendor}, {0, ms}}, 1, 1, refused, 0, {0, 1}},
        {"last call failed: fallback refuses", {{0, ms}, {kBadDigest, vendor}}, 1, 0, 0x80096010, 1, {0, 1}},
        {"last call failed: fallback accepts", {{0, ms}, {kBadDigest, vendor}}, 1, 1, 0, 1, {0, 1}},
        {"flags 0: any valid signer", {{0, ms}}, 0, 0, 0, 0, {0}},
        {"flags 0: unsigned", {{kNoSignature, nullptr}}, 0, 0, 0x800B0100, 1, {0}},
        {"exact names only", {{0, m_noPeriod.get()}, {0, m_lower.get()}}, 1, 0, refused, 0, {0, 1}},
        {"zero-length signer name", {{0, m_nameless.get()}}, 1, 0, refused, 0, {0}},
        {"zero-length name, flags 0", {{0, m_nameless.get()}}, 0, 0, 0, 0, {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DsTest::CScriptedTrust trust(c.script);
        DsTest::CCertInfoAnswer certInfo(c.certInfoAnswer);

        const SignatureCheckResult r =
            CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(m_file.c_str(), c.flags, false);
        EXPECT_EQ(r.dwError, c.error);
        EXPECT_EQ(r.bVerified, c.error == 0);
        EXPECT_EQ(certInfo.calls, c.certInfoCalls);
        EXPECT_EQ(trust.indices, c.indices);
        EXPECT_EQ(trust.closes, trust.verifies);  // every state closed
    }
}

TEST_F(ScriptedTest, TrustDataAndTheCertificateInformationTemplateCarryTheDocumentedSettings)
{
    for (const bool strong : {false, true}) {
        SCOPED_TRACE(strong);
        DsTest::CScriptedTrust trust({{kBadDigest, m_vendor.get()}});
        DsTest::CCertInfoAnswer certInfo(0);
        CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureMultipleSign(m_file.c_str(), 1, strong);

        const DS::CWinTrustData& d = trust.lastData;
        EXPECT_EQ(d.cbStruct, 88u);
        EXPECT_EQ(d.dwUIChoice, static_cast<DWORD>(WTD_UI_NONE));
        EXPECT_EQ(d.fdwRevocationChecks, static_cast<DWORD>(WTD_REVOKE_NONE));
        EXPECT_EQ(d.dwUnionChoice, static_cast<DWORD>(WTD_CHOICE_FILE));
        EXPECT_EQ(d.dwProvFlags, 0x1110u);
        EXPECT_EQ(trust.lastSettings.cbStruct, 32u);
        EXPECT_EQ(trust.lastSettings.dwFlags, 3u);
        EXPECT_EQ(trust.lastPolicyOid, strong ? "1.3.6.1.4.1.311.72.1.1" : "");

        ASSERT_EQ(certInfo.calls, 1);
        EXPECT_EQ(certInfo.templ.cbStruct, 88u);
        EXPECT_EQ(certInfo.templ.dwStateAction, static_cast<DWORD>(WTD_STATEACTION_IGNORE));
        EXPECT_EQ(certInfo.templ.dwProvFlags, 0x1110u);
        EXPECT_EQ(certInfo.templ.dwUnionChoice, static_cast<DWORD>(WTD_CHOICE_FILE));
        EXPECT_EQ(certInfo.templ.pSignatureSettings, nullptr);
        EXPECT_EQ(certInfo.fileInfo.cbStruct, 32u);
        EXPECT_NE(certInfo.fileInfo.hFile, INVALID_HANDLE_VALUE);  // the opened file, not its path
    }
}

TEST_F(ScriptedTest, AllowedSignersAreLoggedInOrdinalOrderAndZeroLengthNamesAreRefused)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture(16);
    ASSERT_TRUE(capture.Listening());
    DsTest::CScriptedTrust trust({{0, m_nameless.get()}}, true);

    const SignatureCheckResult r = CBsnDigitalSignatureManagerEx::VerifyEmbeddedSignatureSingleSign(m_file.c_str(), 3);
    EXPECT_EQ(r.dwError, ERROR_FAILED_ISSUER_CHECK);
    EXPECT_EQ(CBsnDigitalSignatureManagerEx::EzCertGetSubjectName(m_nameless.get()), L"");
    CBsnDigitalSignatureManagerEx::PrepareSigners(0);

    const std::wstring prefix = L"]CBsnDigitalSignatureManagerEx::";
    const std::wstring expected[] = {
        prefix + L"VerifyEmbeddedSignatureSingleSign - >>> try to verify file=" + m_file,
        prefix +
            L"PrepareSigners - allowed signers=[Corvane, Inc.],[Microsoft Corporation],[Microsoft Windows],"
            L"[Microsoft Windows Component Publisher],[Microsoft Windows Early Launch Anti-malware Publisher],"
            L"[Microsoft Windows Hardware Compatibility Publisher],[Microsoft Windows Publisher],",
        prefix + L"GetSignerFromhWVTStateData - get signer=[] for the digital signature",
        prefix + L"VerifySignerForDigitalSignature - signer=[] is not in trusted list",
        prefix + L"VerifyEmbeddedSignatureSingleSign - find a valid digital signature but signer is incorrect",
        prefix + L"VerifyEmbeddedSignatureSingleSign - <<<",
        prefix + L"EzCertGetSubjectName - subject name=[]",
        prefix + L"PrepareSigners - allowed signers=ALL",
    };
    // Records travel on several pipe instances: they may arrive out of order.
    for (const std::wstring& line : expected)
        EXPECT_TRUE(capture.WaitFor([&](const KsxTest::LogWriteFields& r) {
            return r.level == L"68" && KsxTest::EndsWith(r.text, line);
        })) << std::string(line.begin(), line.end());
}

}  // namespace
