// Stand-ins for the trust provider where Wine 8 answers differently from
// Windows, a scripted provider for the decision logic, and the suites' fixture.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "corpus_manifest.h"
#include "ds_BsnDSManager.h"
#include "ds_TestHooks.h"
#include "test_support.h"
#include "ut_CryptHandle.h"

namespace DsTest {

// A file of the signed corpus.
inline std::wstring Corpus(const wchar_t* name) { return KsxTest::ExeDir() + KsxCorpus::kRelativeDir + name; }

// The agent's key naming a temporary install folder, whose Misc folder
// receives the record a refusal leaves.
class CInstalledAgentTest : public ::testing::Test {
protected:
    CInstalledAgentTest()
    {
        m_registry.SetString("", "Application Path", m_install.Path());
        ::CreateDirectoryA((m_install.Path() + "Misc").c_str(), nullptr);
    }
    std::string RecordPath() const { return m_install.Path() + "Misc\\DSInvalidLogLastInfo.log"; }
    std::string Record() const { return KsxTest::ReadBytes(RecordPath()); }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_install;
    KsxTest::CTempFolder m_scratch;
};

// A self-signed certificate with the given X.500 subject ("" for an empty one).
UTIL::CUniqueCertContext MakeCert(const wchar_t* x500);

// A provider state with one signer whose chain is `leaf` (none when null).
struct CSignerState {
    CRYPT_PROVIDER_CERT cert;
    CRYPT_PROVIDER_SGNR signer;
    CRYPT_PROVIDER_DATA data;
    HANDLE Set(PCCERT_CONTEXT leaf, bool chain);
};

// Answers WinVerifyTrust from `script` for the object's lifetime, on a
// multiple-signature platform unless `single`: signature i (0 the primary)
// gives its status and leaves a state whose leaf signer is its certificate.
// Counts verify and close calls and keeps what they were given.
class CScriptedTrust {
public:
    struct Signature {
        LONG status;
        PCCERT_CONTEXT signer;
    };
    explicit CScriptedTrust(std::vector<Signature> script, bool single = false);
    ~CScriptedTrust();
    CScriptedTrust(const CScriptedTrust&) = delete;
    CScriptedTrust& operator=(const CScriptedTrust&) = delete;

    std::vector<DWORD> indices;  // dwIndex of each verify
    int verifies = 0;
    int closes = 0;
    DS::CWinTrustData lastData = {};
    DS::CSignatureSettings lastSettings = {};
    std::string lastPolicyOid;  // of pCryptoPolicy, "" when none

private:
    static LONG WINAPI Verify(HWND, GUID*, LPVOID data);
    static CRYPT_PROVIDER_DATA* WINAPI ProvData(HANDLE state);
    std::vector<Signature> m_script;
    std::deque<CSignerState> m_states;
    DS::CTrustProvider m_provider;
    const DS::CTrustProvider* m_previous;
};

// Answers the certificate-information verification of the multiple-signature
// verifier and keeps the template it was given.
class CCertInfoAnswer {
public:
    explicit CCertInfoAnswer(int answer);
    ~CCertInfoAnswer();
    CCertInfoAnswer(const CCertInfoAnswer&) = delete;
    CCertInfoAnswer& operator=(const CCertInfoAnswer&) = delete;

    int answer;
    int calls = 0;
    DS::CWinTrustData templ = {};
    WINTRUST_FILE_INFO fileInfo = {};
};

// The system's provider with Windows' answers where Wine 8 has none or
// another, on a platform that cannot verify secondary signatures:
// - WinVerifyTrust applies the chain policy to every signer (Wine: only to a
//   SHA-1-signed one) and honours a timestamp (Wine: ignores it);
// - the Authenticode policy honours WTPF_IGNOREEXPIRATION (Wine's answers
//   CERT_E_EXPIRED) and the time-stamp policy exists (Wine: FALSE, error 2);
// - CryptSIPVerifyIndirectData hashes the PE image (Wine: a stub, FALSE).
DS::CTrustProvider WindowsSingleSignature();

// WindowsSingleSignature() on a platform that verifies secondary signatures
// (Wine 8 lacks CryptCATAdminCalcHashFromFileHandle2, answers
// CryptCATAdminAcquireContext2 with ERROR_CALL_NOT_IMPLEMENTED and ignores
// dwIndex): a dwIndex of n verifies the primary's n-th nested signature, its
// digest and its chain; catalog contexts are SHA-1 ones.
DS::CTrustProvider WindowsMultipleSignature();

// Wine: the real platform (single-signature). The others stand in for
// Windows where Wine 8 answers differently (the providers above say how).
enum class CPlatform { Wine, WindowsSingle, WindowsMultiple };

// Installs the platform's provider, or `provider`, for the object's lifetime.
class CPlatformScope {
public:
    explicit CPlatformScope(CPlatform p)
        : CPlatformScope(p == CPlatform::WindowsSingle     ? WindowsSingleSignature()
                         : p == CPlatform::WindowsMultiple ? WindowsMultipleSignature()
                                                           : DSTestHooks::SystemTrustProvider(),
                         p != CPlatform::Wine)
    {
    }
    explicit CPlatformScope(const DS::CTrustProvider& provider, bool install = true)
        : m_provider(provider), m_previous(DSTestHooks::SetTrustProvider(install ? &m_provider : nullptr))
    {
    }
    ~CPlatformScope() { DSTestHooks::SetTrustProvider(m_previous); }
    CPlatformScope(const CPlatformScope&) = delete;
    CPlatformScope& operator=(const CPlatformScope&) = delete;

private:
    DS::CTrustProvider m_provider;
    const DS::CTrustProvider* m_previous;
};

// A PE file's bytes and its signature (the PKCS #7 DER of the certificate table).
std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string SignatureOf(const std::string& pe);
// The nested signatures of a PKCS #7 signature's first signer, in order.
std::vector<std::string> NestedSignaturesOf(const std::string& pkcs7);
// `pe` (a signed file) with its certificate table replaced by `pkcs7`.
std::string WithSignature(const std::string& pe, const std::string& pkcs7);
// The Authenticode digest of a PE file's bytes with the CryptoAPI algorithm
// `alg`; empty when the headers do not hold together.
std::vector<BYTE> PeImageDigest(const std::string& bytes, ALG_ID alg);

}  // namespace DsTest
