// Cost of the vendor-key fallback: VerifyEmbeddedSignatureByCertInfo of a file
// whose vendor key is its nested signer's, as a ratio against one bare
// WinVerifyTrust of the same file in the same run; the key-pack load (integrity
// flag, signature, library, keys); and the verifier's first use in a fresh
// process, with KeyPack.dll beside the module and without. Needs the build's
// corpus and key packs and the test root in the prefix.
//
//   bench_keypack [SCALE]
//   bench_keypack --first-use OUT    (the child: first GetInstance, ns into OUT)
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "MultiPleSignCheck.h"
#include "bench_util.h"
#include "corpus_manifest.h"
#include "ut_Handle.h"

namespace {

int ByCertInfo(CVerifyFileSignV2& verifier, const wchar_t* path)
{
    WINTRUST_DATA templ = {};
    templ.cbStruct = sizeof(templ);
    templ.dwUIChoice = WTD_UI_NONE;
    templ.dwUnionChoice = WTD_CHOICE_FILE;
    return verifier.VerifyEmbeddedSignatureByCertInfo(path, &templ);
}

// A copy of this program in a folder of its own, with the key pack beside it
// or not, timing its first GetInstance; 0 when it fails.
double FirstUseNs(const std::wstring& keyPack)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"bench_keypack_" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
    const std::wstring exe = dir + L"bench_keypack.exe", out = dir + L"first_use.txt";
    ::CreateDirectoryW(dir.c_str(), nullptr);
    double ns = 0;
    if (::CopyFileW((Bench::ExeDir() + L"bench_keypack.exe").c_str(), exe.c_str(), FALSE) &&
        (keyPack.empty() || ::CopyFileW(keyPack.c_str(), (dir + L"KeyPack.dll").c_str(), FALSE))) {
        std::wstring command = L"\"" + exe + L"\" --first-use \"" + out + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            ::WaitForSingleObject(pi.hProcess, 60000);
            ::CloseHandle(pi.hThread);
            ::CloseHandle(pi.hProcess);
            if (FILE* f = _wfopen(out.c_str(), L"r")) {
                if (fscanf(f, "%lf", &ns) != 1)
                    ns = 0;
                fclose(f);
            }
        }
    }
    for (const wchar_t* name : {L"bench_keypack.exe", L"KeyPack.dll", L"first_use.txt"})
        ::DeleteFileW((dir + name).c_str());
    ::RemoveDirectoryW(dir.c_str());
    return ns;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "--first-use") == 0) {
        const double start = Bench::Seconds();
        CVerifyFileSignV2::GetInstance();
        const double ns = (Bench::Seconds() - start) * 1e9;
        FILE* f = fopen(argv[2], "w");
        return f && fprintf(f, "%.0f\n", ns) > 0 && fclose(f) == 0 ? 0 : 1;
    }
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_keypack [SCALE]\n");
        return 1;
    }
    const std::wstring file = Bench::ExeDir() + KsxCorpus::kRelativeDir + KsxCorpus::kMsPrimaryVendorNestedDll;
    const std::wstring keyPack = Bench::ExeDir() + L"..\\keypack\\KeyPack.dll";

    CVerifyFileSignV2& verifier = *CVerifyFileSignV2::GetInstance();
    verifier.ExchangePublicKeys({});
    if (!verifier.LoadKeyPackAndUpdatePublicKeyList(keyPack.c_str()) || !ByCertInfo(verifier, file.c_str()) ||
        Bench::BareWinVerifyTrust(file.c_str()) != 0 || FirstUseNs(keyPack) <= 0) {
        fprintf(stderr, "bench_keypack: the key pack or the nested-signed file is not accepted\n");
        return 1;
    }

    // Rounds interleave the rows; each row reports its median round.
    constexpr int kRounds = 7;
    const long long count = 20 * scale;
    volatile LONG sink = 0;
    std::vector<double> bare, certInfo, load, firstWith, firstWithout;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Bench::NsPerOp(count, [&](long long) { sink = Bench::BareWinVerifyTrust(file.c_str()); }));
        certInfo.push_back(Bench::NsPerOp(count, [&](long long) { sink = ByCertInfo(verifier, file.c_str()); }));
        load.push_back(Bench::NsPerOp(count, [&](long long) {
            verifier.ExchangePublicKeys({});
            sink = verifier.LoadKeyPackAndUpdatePublicKeyList(keyPack.c_str());
        }));
        firstWith.push_back(FirstUseNs(keyPack));
        firstWithout.push_back(FirstUseNs(L""));
    }
    const double bareNs = Bench::Median(bare);
    Bench::Header();
    Bench::Row("A: bare WinVerifyTrust (open, verify, close state)", bareNs);
    Bench::Row("VerifyEmbeddedSignatureByCertInfo, nested vendor key", Bench::Median(certInfo), "A", bareNs);
    Bench::Row("key-pack load (KeyPack.dll, 2 keys), warm", Bench::Median(load), "A", bareNs);
    Bench::Row("first GetInstance, KeyPack.dll beside (new process)", Bench::Median(firstWith), "A", bareNs);
    Bench::Row("first GetInstance, no key pack beside (new process)", Bench::Median(firstWithout), "A", bareNs);
    printf("\n%d rounds of %lld calls per row (first use: one new process a round)\n", kRounds, count);
    return 0;
}
