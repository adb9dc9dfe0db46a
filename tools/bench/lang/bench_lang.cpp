// Cost of SyncLang(0), the language decision the context menu makes before
// each lookup, as ratios against the bare registry read it starts with (open
// Misc., read ClientUIDisplayMode, close) measured in the same run:
//   display mode 0 with the installed files: the profile's default names no
//   installed locale, so the global settings file is read every time;
//   display mode 1: the user's display language, found in the profile's mappings;
//   and, to explain the first row, loading the global settings file alone.
// With "hosted" the agent runs as a hosted one (HostedAgent key): its manager
// reads switch 159 from the registry at every call, and a further row has
// manual switching on with "Lang" = DE-DE. A plain agent answers switch 159
// from its table (see bench_config). Every registry value and key it changes
// is put back at the end. Needs the simulated agent installed in the prefix
// (scripts/agent-install).
//
//   bench_lang [SCALE] [hosted]     SCALE multiplies the iteration counts (default 1)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "UIProfileAPI.h"
#include "bench_util.h"
#include "libCvProfileDocument.h"
#include "logcl_LogLevel.h"
#include "tinyxml.h"
#include "ut_AgentRegistry.h"
#include "ut_Handle.h"

namespace {

const std::wstring kRoot = UTIL::kAgentRootKeyW;
const std::wstring kMisc = kRoot + L"\\Misc.";
const std::wstring kIntegration = kRoot + L"\\BrixIntegrationConfiguration";
const std::wstring kHosted = kRoot + L"\\HostedAgent";

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A registry value (32-bit view) set for the run; what was there before, or
// its absence, comes back when the object goes.
class CScratchValue {
public:
    CScratchValue(const std::wstring& key, const wchar_t* name) : m_key(key), m_name(name)
    {
        UTIL::CUniqueHKey k;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, k.put()) != ERROR_SUCCESS)
            return;
        DWORD size = 0;
        if (::RegQueryValueExW(k.get(), m_name, nullptr, &m_type, nullptr, &size) != ERROR_SUCCESS)
            return;
        m_saved.resize(size);
        m_existed = ::RegQueryValueExW(k.get(), m_name, nullptr, &m_type, m_saved.data(), &size) == ERROR_SUCCESS;
    }
    ~CScratchValue()
    {
        UTIL::CUniqueHKey k;
        if (!Open(k))
            return;
        if (m_existed)
            ::RegSetValueExW(k.get(), m_name, 0, m_type, m_saved.data(), static_cast<DWORD>(m_saved.size()));
        else
            ::RegDeleteValueW(k.get(), m_name);
    }
    CScratchValue(const CScratchValue&) = delete;
    CScratchValue& operator=(const CScratchValue&) = delete;

    bool Set(DWORD value) { return Write(REG_DWORD, &value, sizeof(value)); }
    bool Set(const std::wstring& text)
    {
        return Write(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    bool Open(UTIL::CUniqueHKey& k) const
    {
        return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                 nullptr, k.put(), nullptr) == ERROR_SUCCESS;
    }
    bool Write(DWORD type, const void* data, DWORD size)
    {
        UTIL::CUniqueHKey k;
        return Open(k) &&
               ::RegSetValueExW(k.get(), m_name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
    }

    std::wstring m_key;
    const wchar_t* m_name;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_saved;
    bool m_existed = false;
};

// The HostedAgent key for the run, removed afterwards when it was made here.
class CScratchKey {
public:
    explicit CScratchKey(const std::wstring& path) : m_path(path)
    {
        UTIL::CUniqueHKey k;
        DWORD disposition = 0;
        m_ok = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                 nullptr, k.put(), &disposition) == ERROR_SUCCESS;
        m_created = m_ok && disposition == REG_CREATED_NEW_KEY;
    }
    ~CScratchKey()
    {
        if (m_created)
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), KEY_WOW64_32KEY, 0);
    }
    CScratchKey(const CScratchKey&) = delete;
    CScratchKey& operator=(const CScratchKey&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::wstring m_path;
    bool m_ok = false;
    bool m_created = false;
};

// True when "Application Path" names a folder with the global settings file.
bool AgentInstalled()
{
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, UTIL::kAgentRootKeyW, 0, UTIL::kAgentKeyAccess, key.put()) != ERROR_SUCCESS)
        return false;
    wchar_t buf[MAX_PATH + 1] = {};
    DWORD cb = MAX_PATH * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"Application Path", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb) !=
        ERROR_SUCCESS)
        return false;
    std::wstring folder = buf;
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return ::GetFileAttributesW(ComposeProfilePath(folder, L"Global_Ui_Setting.xml").c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

// What SyncLang reads first, without the decision.
DWORD BareRead()
{
    DWORD mode = 0;
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMisc.c_str(), 0, UTIL::kAgentKeyAccess, key.put()) == ERROR_SUCCESS) {
        DWORD size = sizeof(mode);
        ::RegQueryValueExW(key.get(), L"ClientUIDisplayMode", nullptr, nullptr, reinterpret_cast<BYTE*>(&mode), &size);
    }
    return mode;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    const bool asHosted = argc > 2 && std::string(argv[2]) == "hosted";
    if (!scale || (argc > 2 && !asHosted)) {
        fprintf(stderr, "usage: bench_lang [SCALE] [hosted]\n");
        return 1;
    }
    if (!AgentInstalled()) {
        fprintf(stderr, "bench_lang: no installed agent (run scripts/agent-install BUILD_DIR install)\n");
        return 2;
    }
    std::unique_ptr<CScratchKey> hosted(asHosted ? new CScratchKey(kHosted) : nullptr);
    CScratchValue mode(kMisc, L"ClientUIDisplayMode");
    CScratchValue manual(kIntegration, L"EnableManualLanguageSwitch");
    CScratchValue lang(kMisc, L"Lang");
    if ((hosted && !hosted->Ok()) || !mode.Set(0) || !manual.Set(0) || !lang.Set(std::wstring(L"DE-DE"))) {
        fprintf(stderr, "bench_lang: cannot write the agent's registry values\n");
        return 1;
    }

    // Trace records gated off, as in the field; restored at the end.
    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_lang: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    CProfileDocument* doc = CProfileDocument::GetInstance();
    std::wstring appPath;
    if (!doc->IsInitialized() || !doc->GetAppPath(appPath)) {
        fprintf(stderr, "bench_lang: the profile document did not initialise\n");
        word.Restore();
        return 1;
    }
    const std::wstring globalPath = ComposeProfilePath(appPath, L"Global_Ui_Setting.xml");

    constexpr int kRounds = 5;
    const long long count = 500 * scale;
    volatile DWORD sink = 0;
    std::wstring chosen[3];
    std::vector<double> bare, modeZero, modeOne, manualOn, loadXml;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Bench::NsPerOp(count, [&](long long) { sink = BareRead(); }));
        mode.Set(0);
        modeZero.push_back(Bench::NsPerOp(count, [&](long long) { sink = doc->SyncLang(0); }));
        doc->GetLang(chosen[0], nullptr);
        mode.Set(1);
        modeOne.push_back(Bench::NsPerOp(count, [&](long long) { sink = doc->SyncLang(0); }));
        doc->GetLang(chosen[1], nullptr);
        mode.Set(0);
        if (asHosted) {
            manual.Set(1);
            manualOn.push_back(Bench::NsPerOp(count, [&](long long) { sink = doc->SyncLang(0); }));
            doc->GetLang(chosen[2], nullptr);
            manual.Set(0);
        }
        loadXml.push_back(Bench::NsPerOp(count, [&](long long) {
            TiXmlDocument xml;
            sink = TiXmlLoadFile(xml, globalPath.c_str());
        }));
    }

    const double bareNs = Median(bare);
    printf("SyncLang(0) of a %s agent over %d rounds of %lld calls, beside the bare read of the display mode (A)\n\n",
           asHosted ? "hosted" : "plain", kRounds, count);
    Bench::Header();
    Bench::Row("A: RegOpenKeyExW Misc., RegQueryValueExW, RegCloseKey", bareNs);
    const std::string rows[] = {
        "SyncLang(0), mode 0: global default (" + std::string(chosen[0].begin(), chosen[0].end()) + ")",
        "SyncLang(0), mode 1: display language (" + std::string(chosen[1].begin(), chosen[1].end()) + ")",
        "SyncLang(0), manual switching: Lang (" + std::string(chosen[2].begin(), chosen[2].end()) + ")",
    };
    Bench::Row(rows[0].c_str(), Median(modeZero), "A", bareNs);
    Bench::Row(rows[1].c_str(), Median(modeOne), "A", bareNs);
    if (asHosted)
        Bench::Row(rows[2].c_str(), Median(manualOn), "A", bareNs);
    Bench::Row("  TiXmlLoadFile(Global_Ui_Setting.xml) alone", Median(loadXml), "A", bareNs);
    return 0;
}
