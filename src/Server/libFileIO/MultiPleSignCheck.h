// The process-wide multiple-signature verifier and the invalid-signature
// records it leaves for the agent's other components.
#pragma once

#include <windows.h>

#include <wintrust.h>

#include "ut_Lock.h"

class CVerifyFileSignV2 : UTIL::CNonCopyable {
public:
    // Created on first use, lives until process exit.
    static CVerifyFileSignV2* GetInstance();

    // Accepts a file whose trust-provider check failed when its hash matches
    // and a vendor key or the pinned vendor chain signed it: 1 accepted, 0
    // refused. `wtd` is a template whose dwProvFlags this call changes.
    // Refuses every file until the key-pack verification is in place.
    int VerifyEmbeddedSignatureByCertInfo(const wchar_t* pwszFile, WINTRUST_DATA* wtd);

    // "DSInvalidLogLastInfo.log": the last file the signature manager refused.
    void WriteDigitalSignInvalidLog(const wchar_t* pwszFile, int nCode);
    // "SBInvalidLogLastInfo.log": the last shim key pack that failed its marker
    // check. 1 when bytes were written.
    int WriteShimBinaryInvalidLog(const wchar_t* pwszFile, int nCode);
    // The "TelemetryACSLocalVerifyFail" value under Misc.; the key is never created.
    void WriteDigitalSignInvalidTelemetryInfo(const wchar_t* pwszFile, DWORD dwValue1, DWORD dwValue2);

    // The four parts of the file's fixed version; 1 when read. The outputs are
    // untouched on failure.
    static int GetFileVersionParts(const wchar_t* pwszFile, WORD& major, WORD& minor, WORD& build, WORD& revision);

private:
    CVerifyFileSignV2() = default;
    ~CVerifyFileSignV2() = default;
    friend class CVerifyFileSignV2Holder;
};
