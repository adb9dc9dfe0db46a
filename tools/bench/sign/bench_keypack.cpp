// Cost of the vendor-key fallback: VerifyEmbeddedSignatureByCertInfo of a file
// whose vendor key is its nested signer's, as a ratio against one bare
// WinVerifyTrust of the same file in the same run; and the key-pack load the
// verifier makes at first use (integrity flag, signature, library, keys).
// Needs the build's corpus and key packs and the test root in the prefix.
//
//   bench_keypack [SCALE]
#include <windows.h>

#include <softpub.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "MultiPleSignCheck.h"
#include "bench_util.h"
#include "corpus_manifest.h"
#include "ut_Handle.h"

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

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
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

int ByCertInfo(CVerifyFileSignV2& verifier, const wchar_t* path)
{
    WINTRUST_DATA templ = {};
    templ.cbStruct = sizeof(templ);
    templ.dwUIChoice = WTD_UI_NONE;
    templ.dwUnionChoice = WTD_CHOICE_FILE;
    return verifier.VerifyEmbeddedSignatureByCertInfo(path, &templ);
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_keypack [SCALE]\n");
        return 1;
    }
    wchar_t self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring bin = std::wstring(self, n).substr(0, std::wstring(self, n).find_last_of(L'\\') + 1);
    const std::wstring file = bin + KsxCorpus::kRelativeDir + KsxCorpus::kMsPrimaryVendorNestedDll;
    const std::wstring keyPack = bin + L"..\\keypack\\KeyPack.dll";

    const double start = Bench::Seconds();
    CVerifyFileSignV2& verifier = *CVerifyFileSignV2::GetInstance();
    const double firstUseNs = (Bench::Seconds() - start) * 1e9;
    verifier.ExchangePublicKeys({});
    if (!verifier.LoadKeyPackAndUpdatePublicKeyList(keyPack.c_str()) || !ByCertInfo(verifier, file.c_str()) ||
        BareWinVerifyTrust(file.c_str()) != 0) {
        fprintf(stderr, "bench_keypack: the key pack or the nested-signed file is not accepted\n");
        return 1;
    }

    constexpr int kRounds = 7;
    const long long count = 20 * scale;
    volatile LONG sink = 0;
    std::vector<double> bare, certInfo, load;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Bench::NsPerOp(count, [&](long long) { sink = BareWinVerifyTrust(file.c_str()); }));
        certInfo.push_back(Bench::NsPerOp(count, [&](long long) { sink = ByCertInfo(verifier, file.c_str()); }));
        load.push_back(Bench::NsPerOp(count, [&](long long) {
            verifier.ExchangePublicKeys({});
            sink = verifier.LoadKeyPackAndUpdatePublicKeyList(keyPack.c_str());
        }));
    }
    const double bareNs = Median(bare);
    Bench::Header();
    Bench::Row("A: bare WinVerifyTrust (open, verify, close state)", bareNs);
    Bench::Row("VerifyEmbeddedSignatureByCertInfo, nested vendor key", Median(certInfo), "A", bareNs);
    Bench::Row("key-pack load (KeyPack.dll, 2 keys)", Median(load), "A", bareNs);
    Bench::Row("first GetInstance (no key pack beside the bench)", firstUseNs, "A", bareNs);
    printf("\n%d rounds of %lld calls per row\n", kRounds, count);
    return 0;
}
