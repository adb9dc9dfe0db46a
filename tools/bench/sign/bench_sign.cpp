// Cost of one VerifyDigitalSignature of a vendor-signed library (flags 1, as
// the issuer-checked load asks), as a ratio against one bare WinVerifyTrust of
// the same file measured in the same run (open the file, verify with the same
// settings, close the state and the file); and the issuer-checked load beside
// that bare check followed by LoadLibraryW. Trace records are gated off, as in
// the field, and let through in a further row. Needs the signed corpus the
// build makes (its test root installed in the prefix).
//
//   bench_sign [SCALE] [FILE]     SCALE multiplies the iteration counts (default 1);
//                                 FILE defaults to the corpus's vendor_sha384.dll
#include <windows.h>

#include <softpub.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "corpus_manifest.h"
#include "ds_BsnDSManager.h"
#include "ds_LoadLibWithIssuerCheck.h"
#include "ut_Handle.h"

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What the embedded check asks the trust provider, without any decision.
LONG BareWinVerifyTrust(const wchar_t* path)
{
    static GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    UTIL::CUniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof(info);
    info.hFile = file.get();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = 0x1110;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_sign [SCALE] [FILE]\n");
        return 1;
    }
    std::wstring file;
    if (argc > 2) {
        const std::string arg = argv[2];
        file.assign(arg.begin(), arg.end());
    } else {
        // The corpus folder is a sibling of the executables' folder.
        wchar_t self[MAX_PATH] = {};
        const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        file.assign(self, n);
        file = file.substr(0, file.find_last_of(L'\\') + 1) + KsxCorpus::kRelativeDir + KsxCorpus::kVendorSha384Dll;
    }
    const std::string fileA(file.begin(), file.end());

    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_sign: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    const SignatureCheckResult first = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false);
    const LONG bareStatus = BareWinVerifyTrust(file.c_str());
    if (!first.bVerified || bareStatus != 0) {
        fprintf(stderr, "bench_sign: %s is not accepted (WinVerifyTrust 0x%08lx, manager 0x%08lx)\n", fileA.c_str(),
                static_cast<unsigned long>(bareStatus), static_cast<unsigned long>(first.dwError));
        word.Restore();
        return 1;
    }

    // Rounds interleave the rows so that a busy machine slows them alike;
    // each row reports its median round.
    constexpr int kRounds = 7;
    const long long count = 20 * scale;
    volatile LONG sink = 0;
    std::vector<double> bare, manager, traced, bareLoad, checkedLoad;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Bench::NsPerOp(count, [&](long long) { sink = BareWinVerifyTrust(file.c_str()); }));
        manager.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false).bVerified;
        }));
        word.Set(0);
        traced.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false).bVerified;
        }));
        word.Set(0x00018000);
        bareLoad.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = BareWinVerifyTrust(file.c_str());
            ::FreeLibrary(::LoadLibraryW(file.c_str()));
        }));
        checkedLoad.push_back(Bench::NsPerOp(
            count, [&](long long) { ::FreeLibrary(LoadLibraryWithIssuerCheckW(kCorvaneIssuer, file.c_str())); }));
    }
    word.Restore();
    const double bareNs = Median(bare);

    Bench::Header();
    Bench::Row("A: bare WinVerifyTrust (open, verify, close state)", bareNs);
    Bench::Row("VerifyDigitalSignature(file, 1, false)", Median(manager), "A", bareNs);
    Bench::Row("VerifyDigitalSignature(file, 1, false), traces on", Median(traced), "A", bareNs);
    Bench::Row("B: bare WinVerifyTrust + LoadLibraryW + FreeLibrary", Median(bareLoad));
    Bench::Row("LoadLibraryWithIssuerCheckW + FreeLibrary", Median(checkedLoad), "B", Median(bareLoad));
    printf("\n%d rounds of %lld calls per row; file %s\n", kRounds, count, fileA.c_str());
    return 0;
}
