// Loading the language variant of a resource library.
#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ds_LoadLibWithIssuerCheck.h"
#include "libCvMultiLang.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

#define ML_LOGW(level, ...) ::DebugLogW((level), L"src/Client/libCvMultiLang/libCvMultiLang", __LINE__, __VA_ARGS__)

const LangSuffix g_langSuffixExact[24] = {
    {0x0409, "en"}, {0x0404, "zh_tw"}, {0x0804, "zh_cn"}, {0x0411, "ja"}, {0x0412, "ko"}, {0x040C, "fr"},
    {0x0407, "de"}, {0x040A, "es"},    {0x0C0A, "es"},    {0x0410, "it"}, {0x0416, "pt"}, {0x0415, "pl"},
    {0x0419, "ru"}, {0x0405, "cs"},    {0x041F, "tr"},    {0x0408, "el"}, {0x0405, "cs"}, {0x0413, "nl"},
    {0x041D, "sv"}, {0x0406, "da"},    {0x0414, "nb"},    {0x040D, "he"}, {0x0401, "ar"}, {0x041E, "th"},
};

const LangSuffix g_langSuffixPrimary[15] = {
    {0x09, "en"}, {0x11, "ja"}, {0x12, "ko"}, {0x0C, "fr"}, {0x07, "de"}, {0x0A, "es"}, {0x10, "it"}, {0x16, "pt"},
    {0x15, "pl"}, {0x19, "ru"}, {0x05, "cs"}, {0x13, "nl"}, {0x1D, "sv"}, {0x14, "nb"}, {0x01, "ar"},
};

namespace {

std::atomic<DWORD> g_languages{0};  // system in the low word, user in the high word

LANGID TargetLanguage(int nLangSource)
{
    const DWORD fake = g_languages.load();
    if (nLangSource == 1)
        return fake ? LOWORD(fake) : ::GetSystemDefaultLangID();
    return fake ? HIWORD(fake) : ::GetUserDefaultLangID();
}

bool IsNtFamily() { return ::GetVersion() < 0x80000000; }

// The file's version block; empty without one.
std::vector<BYTE> VersionBlock(const wchar_t* path)
{
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !::GetFileVersionInfoW(path, 0, size, block.data()))
        block.clear();
    return block;
}

LANGID ProductLanguage(const wchar_t* path)
{
    std::vector<BYTE> block = VersionBlock(path);
    void* value = nullptr;
    UINT length = 0;
    if (block.empty() || !::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
        length < sizeof(WORD))
        return 0;
    return *static_cast<const WORD*>(value);
}

// Major and minor file version; 0.0 without version information.
DWORD MajorMinor(const wchar_t* path)
{
    std::vector<BYTE> block = VersionBlock(path);
    void* value = nullptr;
    UINT length = 0;
    if (block.empty() || !::VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return 0;
    return static_cast<const VS_FIXEDFILEINFO*>(value)->dwFileVersionMS;
}

bool Exists(const std::wstring& path)
{
    std::string ansi;
    if (MBWC::WCToMB(path.c_str(), ansi) == 0 || ansi.size() >= MAX_PATH)
        return false;
    return ::_access(ansi.c_str(), 0) == 0;
}

struct SplitPath {
    wchar_t drive[3] = {};
    wchar_t dir[256] = {};
    wchar_t name[MAX_PATH] = {};
    wchar_t ext[MAX_PATH] = {};
};

bool Split(const wchar_t* path, SplitPath& parts)
{
    return ::_wsplitpath_s(path, parts.drive, 3, parts.dir, 256, parts.name, MAX_PATH, parts.ext, MAX_PATH) == 0;
}

HMODULE Load(const std::wstring& path) { return LoadLibraryWithIssuerCheckW(kCorvaneIssuer, path.c_str()); }

std::wstring Wide(const char* s) { return std::wstring(s, s + std::char_traits<char>::length(s)); }

}  // namespace

void CvMultiLangTestHooks::SetLanguages(LANGID system, LANGID user) { g_languages = MAKELONG(system, user); }

HMODULE LoadLibrary_MultiLang(const char* path, int nLangSource)
{
    if (!IsNtFamily())
        return LoadLibrary_MultiLangA(path);
    wchar_t wide[520] = {};
    if (!path || ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 520) == 0)
        return ::LoadLibraryA(path);
    return LoadLibrary_MultiLangW(wide, nLangSource, nullptr);
}

HMODULE LoadLibrary_MultiLangW(const wchar_t* path, int nLangSource, const wchar_t* reference)
{
    const wchar_t* const name = L"LoadLibrary_MultiLangW";
    wchar_t program[MAX_PATH] = {};
    SplitPath self, given;
    const DWORD programLength = ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (!path || programLength == 0 || programLength >= MAX_PATH || !Split(program, self) || !Split(path, given)) {
        ::SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    if (!given.drive[0]) {
        ::lstrcpynW(given.drive, self.drive, 3);
        ::lstrcpynW(given.dir, self.dir, 256);
    }
    const std::wstring folder = std::wstring(given.drive) + given.dir;
    const std::wstring full = folder + given.name + given.ext;

    const LANGID target = TargetLanguage(nLangSource);
    const LANGID product = GetProductLangIdW(full.c_str());
    ML_LOGW('D', L"%s - sFile: %s, productLid: %04x, sysLid: %04x", name, full.c_str(), product, target);
    if (product == target)
        return Load(full);

    const DWORD version = MajorMinor(reference ? reference : path);
    auto variant = [&](const char* suffix) { return folder + given.name + L"_" + Wide(suffix) + given.ext; };
    auto usable = [&](const std::wstring& candidate) {
        return Exists(candidate) && MajorMinor(candidate.c_str()) == version;
    };

    for (const LangSuffix& row : g_langSuffixExact) {
        if (row.langId != target)
            continue;
        const std::wstring candidate = variant(row.suffix);
        ML_LOGW('D', L"%s - sSuffix: %s, sysLid: %04x", name, candidate.c_str(), target);
        if (usable(candidate))
            return Load(candidate);
    }
    if (PRIMARYLANGID(target) == LANG_CHINESE) {
        const std::wstring candidate = variant(target == 0x1004 ? "zh_cn" : "zh_tw");
        if (usable(candidate))
            return Load(candidate);
    }
    for (const LangSuffix& row : g_langSuffixPrimary) {
        if (row.langId != PRIMARYLANGID(target))
            continue;
        const std::wstring candidate = variant(row.suffix);
        if (usable(candidate))
            return Load(candidate);
    }
    const std::wstring english = variant("en");
    if (usable(english))
        return Load(english);
    return Load(full);
}

namespace {

// The product language of the agent's own resource library, found through
// the installation folder in the registry; 0 when unknown.
LANGID InstalledProductLanguage()
{
    const bool nt = IsNtFamily();
    UTIL::CUniqueHKey key;
    const LONG rc = nt ? ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Corvane\\WardexNTCorp\\CurrentVersion", 0,
                                         UTIL::kAgentKeyAccess, key.put())
                       : ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\BastionCorp\\CurrentVersion", 0,
                                         UTIL::kAgentKeyAccess, key.put());
    if (rc != ERROR_SUCCESS)
        return 0;
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD cb = MAX_PATH * sizeof(wchar_t);  // the last character stays a terminator
    if (::RegQueryValueExW(key.get(), L"Application Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &cb) !=
        ERROR_SUCCESS)
        return 0;
    std::wstring text = buffer;
    const size_t slash = text.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash == 0)
        return 0;
    text.resize(slash + 1);
    text += nt ? L"wdxntres.dll" : L"wdxwin97.dll";
    return ProductLanguage(text.c_str());
}

}  // namespace

LANGID GetProductLangIdW(const wchar_t* path)
{
    if (path && *path) {
        if (const LANGID lang = ProductLanguage(path))
            return lang;
    }
    return InstalledProductLanguage();
}

LANGID GetProductLangIdA(const char* path)
{
    if (path && *path) {
        if (const LANGID lang = ProductLanguage(MBWC::MBToWC(path).c_str()))
            return lang;
    }
    return InstalledProductLanguage();
}

HMODULE LoadLibrary_MultiLangA(const char* path)
{
    if (!path)
        return ::LoadLibraryA(path);
    const LANGID target = TargetLanguage(1);
    if (GetProductLangIdA(path) == target)
        return ::LoadLibraryA(path);
    char drive[3] = {}, dir[256] = {}, fname[MAX_PATH] = {}, ext[MAX_PATH] = {};
    if (::_splitpath_s(path, drive, 3, dir, 256, fname, MAX_PATH, ext, MAX_PATH) != 0)
        return ::LoadLibraryA(path);
    if (!drive[0]) {
        char program[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
        char ignoredName[MAX_PATH] = {}, ignoredExt[MAX_PATH] = {};
        if (length == 0 || length >= MAX_PATH ||
            ::_splitpath_s(program, drive, 3, dir, 256, ignoredName, MAX_PATH, ignoredExt, MAX_PATH) != 0)
            return ::LoadLibraryA(path);
    }
    const std::string full = std::string(drive) + dir + fname + ext;
    const size_t dot = full.find_last_of('.');
    if (dot == std::string::npos)
        return ::LoadLibraryA(full.c_str());
    const std::string stem = full.substr(0, dot), extension = full.substr(dot + 1);
    for (const LangSuffix& row : g_langSuffixExact) {
        if (row.langId != target)
            continue;
        const std::string candidate = stem + "_" + row.suffix + "." + extension;
        if (::_access(candidate.c_str(), 0) == 0)
            return ::LoadLibraryA(candidate.c_str());
        break;
    }
    const std::string english = stem + "_en." + extension;
    if (::_access(english.c_str(), 0) == 0)
        return ::LoadLibraryA(english.c_str());
    return ::LoadLibraryA(full.c_str());
}
