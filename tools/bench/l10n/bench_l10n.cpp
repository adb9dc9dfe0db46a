// Cost of a localised-text lookup, as ratios against the bare profile read
// (GetPrivateProfileStringW of the same key from the same string table)
// measured in the same run:
//   GetL10nString, the language unchanged and switched between calls;
//   the context menu's sequence (GetInstance, SyncLang(0), GetInstance,
//   GetL10nString, GetAppPath);
//   GetL10nString with trace records let through and no log server listening.
// Uses the installed agent when "Application Path" names a folder with an
// English string table; otherwise lays out a temporary one, points the value
// at it and removes both afterwards.
//
//   bench_l10n [SCALE]     SCALE multiplies the iteration counts (default 1)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "bench_util.h"
#include "libCvProfileDocument.h"
#include "logcl_LogLevel.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

namespace {

const wchar_t kSection[] = L"STRING_TABLE";
const wchar_t kKey[] = L"WDXNTMON_UI_MENU_SHELL_SCAN";

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    UTIL::CUniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

std::string Utf16(const std::wstring& text)
{
    return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// An installation in %TEMP%, registered as the agent's for the length of the run.
class CTemporaryInstall {
public:
    bool Create()
    {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_root = std::wstring(temp) + L"bench_l10n-" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
        const std::wstring www = m_root + L"www\\1600\\";
        for (const std::wstring& dir :
             {m_root, m_root + L"www\\", www, www + L"i18n\\", www + L"i18n\\EN-US\\", www + L"i18n\\DE-DE\\"})
            ::CreateDirectoryW(dir.c_str(), nullptr);
        std::wstring english = L"[STRING_TABLE]\r\n";
        std::wstring german = L"[STRING_TABLE]\r\n";
        for (int i = 0; i < 40; ++i) {
            english += L"WDXNTMON_UI_TEXT_" + std::to_wstring(i) + L"=Text number " + std::to_wstring(i) + L"\r\n";
            german += L"WDXNTMON_UI_TEXT_" + std::to_wstring(i) + L"=Text Nummer " + std::to_wstring(i) + L"\r\n";
        }
        english += L"WDXNTMON_UI_MENU_SHELL_SCAN=Scan for security risks\r\n";
        german += L"WDXNTMON_UI_MENU_SHELL_SCAN=Auf Sicherheitsrisiken pr\u00fcfen\r\n";
        if (!WriteFileBytes(www + L"UIProfile.cfg",
                            "<uifrmwrk_info><global_setting><supported_lang/><locale_mapping_list/></global_setting>"
                            "<feature_info id=\"1\" def_locale=\"EN-US\"><balloons><balloon id=\"1\"/></balloons>"
                            "</feature_info></uifrmwrk_info>") ||
            !WriteFileBytes(www + L"Global_Ui_Setting.xml",
                            "<global_setting><supported_lang def_lcid=\"1033\" def_locale=\"EN-US\"><lang>EN-US</lang>"
                            "</supported_lang></global_setting>") ||
            !WriteFileBytes(www + L"i18n\\EN-US\\UIStringTable.ini", Utf16(english)) ||
            !WriteFileBytes(www + L"i18n\\DE-DE\\UIStringTable.ini", Utf16(german)))
            return false;
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyW, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                              nullptr, &key, nullptr) != ERROR_SUCCESS)
            return false;
        UTIL::CUniqueHKey guard(key);
        m_registered =
            ::RegSetValueExW(key, L"Application Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_root.c_str()),
                             static_cast<DWORD>((m_root.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        return m_registered;
    }
    ~CTemporaryInstall()
    {
        if (m_registered) {
            UTIL::CUniqueHKey key;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyW, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                key.put()) == ERROR_SUCCESS)
                ::RegDeleteValueW(key.get(), L"Application Path");
        }
        if (m_root.empty())
            return;
        const std::wstring www = m_root + L"www\\1600\\";
        for (const wchar_t* lang : {L"EN-US", L"DE-DE"}) {
            ::DeleteFileW((www + L"i18n\\" + lang + L"\\UIStringTable.ini").c_str());
            ::RemoveDirectoryW((www + L"i18n\\" + lang).c_str());
        }
        for (const wchar_t* file : {L"UIProfile.cfg", L"Global_Ui_Setting.xml"})
            ::DeleteFileW((www + file).c_str());
        for (const std::wstring& dir : {www + L"i18n", www, m_root + L"www", m_root})
            ::RemoveDirectoryW(dir.c_str());
    }

private:
    std::wstring m_root;
    bool m_registered = false;
};

// The installed agent's folder when it has an English string table.
std::wstring InstalledAgent()
{
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyW, 0, UTIL::kAgentKeyAccess, key.put()) != ERROR_SUCCESS)
        return {};
    wchar_t buf[MAX_PATH + 1] = {};
    DWORD cb = MAX_PATH * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"Application Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb) !=
        ERROR_SUCCESS)
        return {};
    std::wstring folder = buf;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return ::GetFileAttributesW(ComposeL10nPath(folder, L"EN-US").c_str()) == INVALID_FILE_ATTRIBUTES ? L"" : folder;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_l10n [SCALE]\n");
        return 1;
    }
    CTemporaryInstall temporary;
    std::wstring install = InstalledAgent();
    const bool installed = !install.empty();
    if (!installed) {
        if (!temporary.Create()) {
            fprintf(stderr, "bench_l10n: cannot lay out a temporary installation\n");
            return 1;
        }
        install = InstalledAgent();
    }

    // Trace records gated off, as in the field; restored at the end.
    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_l10n: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    CProfileDocument* doc = CProfileDocument::GetInstance();
    if (!doc->IsInitialized()) {
        fprintf(stderr, "bench_l10n: the profile document did not initialise (UIProfile.cfg in %ls?)\n",
                install.c_str());
        word.Restore();
        return 1;
    }
    doc->SetLang(L"EN-US", nullptr);
    const std::wstring english = ComposeL10nPath(install, L"EN-US");
    const std::wstring german = ComposeL10nPath(install, L"DE-DE");
    const long long count = 2000 * scale;
    std::wstring text;
    wchar_t buf[520];

    auto bare = [&](const std::wstring& path) {
        buf[0] = L'\0';
        ::GetPrivateProfileStringW(kSection, kKey, L"", buf, 520, path.c_str());
    };
    // Warm both tables into the profile cache first.
    bare(english);
    bare(german);
    const double bareNs = Bench::NsPerOp(count, [&](long long) { bare(english); });
    const double lookupNs = Bench::NsPerOp(count, [&](long long) { doc->GetL10nString(kSection, kKey, text); });
    const double bareSwitchNs = Bench::NsPerOp(count, [&](long long i) { bare(i % 2 ? german : english); });
    const double switchNs = Bench::NsPerOp(count, [&](long long i) {
        doc->SetLang(i % 2 ? L"DE-DE" : L"EN-US", nullptr);
        doc->GetL10nString(kSection, kKey, text);
    });
    doc->SetLang(L"EN-US", nullptr);
    std::wstring appPath;
    const double menuNs = Bench::NsPerOp(count, [&](long long) {
        CProfileDocument* d = CProfileDocument::GetInstance();
        d->SyncLang(0);
        d = CProfileDocument::GetInstance();
        d->GetL10nString(kSection, kKey, text);
        d->GetAppPath(appPath);
    });
    word.Set(0);
    const long long tracedCount = count / 10;
    const double tracedNs = Bench::NsPerOp(tracedCount, [&](long long) { doc->GetL10nString(kSection, kKey, text); });

    Bench::Header();
    Bench::Row("A: bare GetPrivateProfileStringW, one table", bareNs);
    Bench::Row("GetL10nString", lookupNs, "A", bareNs);
    Bench::Row("context menu: GetInstance, SyncLang, GetL10nString..", menuNs, "A", bareNs);
    Bench::Row("B: bare read, EN-US and DE-DE tables in turn", bareSwitchNs);
    Bench::Row("SetLang and GetL10nString, EN-US and DE-DE in turn", switchNs, "B", bareSwitchNs);
    Bench::Row("GetL10nString, traces let through, no log server", tracedNs, "A", bareNs);
    printf("\n%lld lookups per row (%lld with traces); tables of the %s installation in %ls; text \"%ls\"\n", count,
           tracedCount, installed ? "installed" : "temporary", install.c_str(), text.c_str());
    return 0;
}
