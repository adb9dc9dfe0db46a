// Drives the multiple-signature verifier of this program's folder: the key
// pack beside it, key packs by path, and the vendor-key check of files.
//
//   ksxverify keys              the key pack beside ksxverify.exe (the verifier's
//                               first use); exits with the number of keys loaded
//   ksxverify keypack PATH      PATH as key pack (shim fallback from its folder)
//   ksxverify file PATH...      VerifyEmbeddedSignatureByCertInfo of each file;
//                               exits with the number refused
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "MultiPleSignCheck.h"

namespace {

size_t KeyCount(CVerifyFileSignV2& verifier)
{
    CVerifyFileSignV2::PublicKeySet keys = verifier.ExchangePublicKeys({});
    const size_t n = keys.size();
    verifier.ExchangePublicKeys(std::move(keys));
    return n;
}

int Usage()
{
    fwprintf(stderr, L"usage: ksxverify keys | keypack PATH | file PATH...\n");
    return 255;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const std::wstring command = argv[1];
    CVerifyFileSignV2& verifier = *CVerifyFileSignV2::GetInstance();
    if (command == L"keys" && argc == 2) {
        const size_t n = KeyCount(verifier);
        wprintf(L"keys loaded: %u\n", static_cast<unsigned>(n));
        return static_cast<int>(n);
    }
    if (command == L"keypack" && argc == 3) {
        verifier.ExchangePublicKeys({});
        const int loaded = verifier.LoadKeyPackAndUpdatePublicKeyList(argv[2]);
        wprintf(L"%ls: %ls, keys loaded: %u\n", argv[2], loaded ? L"loaded" : L"refused",
                static_cast<unsigned>(KeyCount(verifier)));
        return loaded ? 0 : 1;
    }
    if (command == L"file" && argc > 2) {
        int refused = 0;
        for (int i = 2; i < argc; ++i) {
            WINTRUST_DATA templ = {};
            templ.cbStruct = sizeof(templ);
            templ.dwUIChoice = WTD_UI_NONE;
            templ.fdwRevocationChecks = WTD_REVOKE_NONE;
            templ.dwUnionChoice = WTD_CHOICE_FILE;
            const int accepted = verifier.VerifyEmbeddedSignatureByCertInfo(argv[i], &templ);
            wprintf(L"%ls: %ls\n", argv[i], accepted ? L"accepted" : L"refused");
            refused += accepted ? 0 : 1;
        }
        return refused;
    }
    return Usage();
}
