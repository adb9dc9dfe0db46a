// Stand-ins for the trust provider where Wine 8 answers differently from
// Windows, and a scripted provider for the decision logic.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "ds_BsnDSManager.h"
#include "ds_TestHooks.h"
#include "ut_CryptHandle.h"

namespace DsTest {

// A self-signed certificate with the given X.500 subject ("" for an empty one).
UTIL::CUniqueCertContext MakeCert(const wchar_t* x500);

// Installs `provider` for the object's lifetime.
class CProviderScope {
public:
    explicit CProviderScope(const DS::CTrustProvider& provider) : m_previous(DSTestHooks::SetTrustProvider(&provider))
    {
    }
    ~CProviderScope() { DSTestHooks::SetTrustProvider(m_previous); }
    CProviderScope(const CProviderScope&) = delete;
    CProviderScope& operator=(const CProviderScope&) = delete;

private:
    const DS::CTrustProvider* m_previous;
};

// Answers WinVerifyTrust from a script: signature i (0 the primary) gives its
// status and leaves a state whose leaf signer is its certificate. Counts
// verify and close calls and keeps what they were given.
class CScriptedTrust {
public:
    struct Signature {
        LONG status;
        PCCERT_CONTEXT signer;
    };
    CScriptedTrust();
    ~CScriptedTrust();
    CScriptedTrust(const CScriptedTrust&) = delete;
    CScriptedTrust& operator=(const CScriptedTrust&) = delete;

    // A multiple-signature platform unless `single`.
    DS::CTrustProvider Provider(bool single = false) const;

    std::vector<Signature> script;
    std::vector<DWORD> indices;  // dwIndex of each verify
    int verifies = 0;
    int closes = 0;
    DS::CWinTrustData lastData = {};
    DS::CSignatureSettings lastSettings = {};
    std::string lastPolicyOid;  // of pCryptoPolicy, "" when none

private:
    struct State {
        CRYPT_PROVIDER_CERT cert;
        CRYPT_PROVIDER_SGNR signer;
        CRYPT_PROVIDER_DATA data;
    };
    static LONG WINAPI Verify(HWND, GUID*, LPVOID data);
    static CRYPT_PROVIDER_DATA* WINAPI ProvData(HANDLE state);
    std::deque<State> m_states;
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
// another: the Authenticode policies honour WTPF_IGNOREEXPIRATION and
// AUTHENTICODE_TS exists; CryptSIPVerifyIndirectData hashes the PE image.
DS::CTrustProvider WindowsPolicies();

// The Authenticode digest of a PE file's bytes with the CryptoAPI algorithm
// `alg`; empty when the headers do not hold together.
std::vector<BYTE> PeImageDigest(const std::string& bytes, ALG_ID alg);

}  // namespace DsTest
