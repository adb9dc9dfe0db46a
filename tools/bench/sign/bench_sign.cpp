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

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "corpus_manifest.h"
#include "ds_BsnDSManager.h"
#include "ds_LoadLibWithIssuerCheck.h"
#include "ut_Handle.h"

// What the embedded check asks the trust provider.
constexpr DWORD kProvFlags = 0x1110;

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
        file = Bench::ExeDir() + KsxCorpus::kRelativeDir + KsxCorpus::kVendorSha384Dll;
    }
    const std::string fileA(file.begin(), file.end());

    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_sign: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    const SignatureCheckResult first = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false);
    const LONG bareStatus = Bench::BareWinVerifyTrust(file.c_str(), kProvFlags);
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
        bare.push_back(
            Bench::NsPerOp(count, [&](long long) { sink = Bench::BareWinVerifyTrust(file.c_str(), kProvFlags); }));
        manager.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false).bVerified;
        }));
        word.Set(0);
        traced.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(file.c_str(), 1, false).bVerified;
        }));
        word.Set(0x00018000);
        bareLoad.push_back(Bench::NsPerOp(count, [&](long long) {
            sink = Bench::BareWinVerifyTrust(file.c_str(), kProvFlags);
            ::FreeLibrary(::LoadLibraryW(file.c_str()));
        }));
        checkedLoad.push_back(Bench::NsPerOp(
            count, [&](long long) { ::FreeLibrary(LoadLibraryWithIssuerCheckW(kCorvaneIssuer, file.c_str())); }));
    }
    word.Restore();
    const double bareNs = Bench::Median(bare);

    Bench::Header();
    Bench::Row("A: bare WinVerifyTrust (open, verify, close state)", bareNs);
    Bench::Row("VerifyDigitalSignature(file, 1, false)", Bench::Median(manager), "A", bareNs);
    Bench::Row("VerifyDigitalSignature(file, 1, false), traces on", Bench::Median(traced), "A", bareNs);
    Bench::Row("B: bare WinVerifyTrust + LoadLibraryW + FreeLibrary", Bench::Median(bareLoad));
    Bench::Row("LoadLibraryWithIssuerCheckW + FreeLibrary", Bench::Median(checkedLoad), "B", Bench::Median(bareLoad));
    printf("\n%d rounds of %lld calls per row; file %s\n", kRounds, count, fileA.c_str());
    return 0;
}
