// Reads and writes the level word that every process of the agent shares.
//
//   loglevel                    show the word
//   loglevel off                every record passes (word 0)
//   loglevel threshold T        records of rank <= T pass; T is a number from
//                               -32768 to 32767 or one of the letters F E W I D N
//   loglevel word VALUE         write a raw 32-bit word (decimal or 0x...)
//
// The word lives as long as some process holds it (the log server does):
// a change made while no other process holds it is refused.
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <wchar.h>

#include <string>

#include "logcl_LogLevel.h"
#include "ut_Handle.h"

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitNoMapping = 2, kExitNotHeld = 3 };

int Usage()
{
    fprintf(stderr,
            "usage: loglevel [off | threshold T | word VALUE]\n"
            "       T: -32768..32767 or one of F E W I D N (the rank of that level)\n");
    return kExitUsage;
}

bool ParseThreshold(const std::wstring& text, long& threshold)
{
    if (text.size() == 1 && wcschr(L"FEWIDN", text[0])) {
        threshold = LogLevelRank(static_cast<DWORD>(text[0]));
        return true;
    }
    wchar_t* end = nullptr;
    errno = 0;
    threshold = wcstol(text.c_str(), &end, 10);
    return !text.empty() && errno == 0 && *end == L'\0' && threshold >= -32768 && threshold <= 32767;
}

bool ParseWord(const std::wstring& text, DWORD& word)
{
    if (text.empty() || text[0] == L'-')
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long v = wcstoull(text.c_str(), &end, 0);
    word = static_cast<DWORD>(v);
    return errno == 0 && *end == L'\0' && v <= 0xFFFFFFFFull;
}

void Describe(DWORD word)
{
    if (word & kLogLevelActiveBit)
        printf("0x%08lX: level control active, threshold %d\n", static_cast<unsigned long>(word),
               static_cast<int>(static_cast<SHORT>(word & kLogLevelThresholdMask)));
    else
        printf("0x%08lX: level control off, every record passes\n", static_cast<unsigned long>(word));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    bool write = false;
    DWORD word = 0;
    if (argc == 2 && std::wstring(argv[1]) == L"off") {
        write = true;
    } else if (argc == 3 && std::wstring(argv[1]) == L"threshold") {
        long threshold = 0;
        if (!ParseThreshold(argv[2], threshold))
            return Usage();
        word = kLogLevelActiveBit | (static_cast<DWORD>(threshold) & kLogLevelThresholdMask);
        write = true;
    } else if (argc == 3 && std::wstring(argv[1]) == L"word") {
        if (!ParseWord(argv[2], word))
            return Usage();
        write = true;
    } else if (argc != 1) {
        return Usage();
    }

    UTIL::CUniqueHandle mapping(CreateLogLevelMapping());
    const bool heldElsewhere = ::GetLastError() == ERROR_ALREADY_EXISTS;
    if (!mapping) {
        fprintf(stderr, "loglevel: cannot open the level word (error %lu)\n", ::GetLastError());
        return kExitNoMapping;
    }
    UTIL::CUniqueMappedView mapped(::MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
    auto* view = static_cast<volatile LONG*>(mapped.get());
    if (!view) {
        fprintf(stderr, "loglevel: cannot map the level word (error %lu)\n", ::GetLastError());
        return kExitNoMapping;
    }
    int rc = kExitOk;
    if (write && !heldElsewhere) {
        fprintf(stderr, "loglevel: no process holds the level word (start the log server first); nothing changed\n");
        rc = kExitNotHeld;
    } else if (write) {
        ::InterlockedExchange(view, static_cast<LONG>(word));
    }
    Describe(static_cast<DWORD>(*view));
    return rc;
}
