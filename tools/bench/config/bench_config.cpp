// Cost of asking whether manual language switching is on, as ratios against
// the bare registry read of the switch (open the integration key, read the
// value, close) measured in the same run:
//   IsEnable(159) of the process's manager, as the language selection asks it
//   (GetInstance each time); a plain Bastion client answers from the table;
//   IsEnable(159) of a manager that reads the registry (a Rook client);
//   the same with trace records let through and no log server listening.
// Creates the switch value, and the Rook key for the second manager, when
// they are missing, and removes what it created.
//
//   bench_config [SCALE]     SCALE multiplies the iteration counts (default 1)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "logcl_LogLevel.h"
#include "oicm_ConfigureManager.h"
#include "ut_Handle.h"

namespace {

using BrixIntegration::CConfigureId;
using BrixIntegration::CConfigureManager;

const wchar_t kSwitchName[] = L"EnableManualLanguageSwitch";
const wchar_t kRookKey[] = L"SOFTWARE\\Corvane\\Rook";

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool KeyExists(const wchar_t* path)
{
    UTIL::CUniqueHKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) == ERROR_SUCCESS;
}

// A key, or a switch value, made for the run and removed afterwards.
class CScratchRegistry {
public:
    // Remembers every key of the path that it makes.
    bool CreateKey(const std::wstring& path)
    {
        for (size_t end = path.find(L'\\');; end = path.find(L'\\', end + 1)) {
            const std::wstring part = path.substr(0, end);
            if (!KeyExists(part.c_str())) {
                UTIL::CUniqueHKey key;
                if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, part.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                      nullptr, key.put(), nullptr) != ERROR_SUCCESS)
                    return false;
                m_keys.push_back(part);
            }
            if (end == std::wstring::npos)
                return true;
        }
    }
    bool SetSwitch(const wchar_t* name, DWORD value)
    {
        if (!CreateKey(BrixIntegration::kIntegrationKeyW))
            return false;
        UTIL::CUniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, BrixIntegration::kIntegrationKeyW, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                            key.put()) != ERROR_SUCCESS)
            return false;
        if (::RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
            return true;
        if (::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) !=
            ERROR_SUCCESS)
            return false;
        m_value = name;
        return true;
    }
    ~CScratchRegistry() { Remove(); }
    // The value first, then the keys made here, deepest first.
    void Remove()
    {
        if (!m_value.empty()) {
            UTIL::CUniqueHKey key;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, BrixIntegration::kIntegrationKeyW, 0,
                                KEY_SET_VALUE | KEY_WOW64_32KEY, key.put()) == ERROR_SUCCESS)
                ::RegDeleteValueW(key.get(), m_value.c_str());
        }
        for (auto it = m_keys.rbegin(); it != m_keys.rend(); ++it)
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, it->c_str(), KEY_WOW64_32KEY, 0);
        m_keys.clear();
        m_value.clear();
    }

private:
    std::vector<std::wstring> m_keys;
    std::wstring m_value;
};

// What IsEnable does on a registry read, without the manager.
DWORD BareRead()
{
    DWORD value = 0;
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, BrixIntegration::kIntegrationKeyW, 0, KEY_READ | KEY_WOW64_32KEY,
                        key.put()) == ERROR_SUCCESS) {
        DWORD size = sizeof(value);
        ::RegQueryValueExW(key.get(), kSwitchName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_config [SCALE]\n");
        return 1;
    }
    CScratchRegistry scratchValue;
    if (!scratchValue.SetSwitch(kSwitchName, 1)) {
        fprintf(stderr, "bench_config: cannot write the switch value\n");
        return 1;
    }

    // Trace records gated off, as in the field; restored at the end.
    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_config: cannot map the level word\n");
        return 1;
    }
    word.Set(0x00018000);

    const bool rookExisted = KeyExists(kRookKey);
    CScratchRegistry scratchRook;
    if (!scratchRook.CreateKey(kRookKey)) {
        fprintf(stderr, "bench_config: cannot create the Rook key\n");
        word.Restore();
        return 1;
    }
    CConfigureManager reading;  // sees the Rook key: reads every switch
    scratchRook.Remove();

    const int id = CConfigureId::ID_ENABLE_MANUAL_LANGUAGE_SWITCH;
    CConfigureManager* process = CConfigureManager::GetInstance();
    // Rounds interleave the rows so that a busy machine slows them alike;
    // each row reports its median round.
    constexpr int kRounds = 5;
    const long long count = 1000 * scale;
    const long long tracedCount = count / 10;
    volatile DWORD sink = 0;
    std::vector<double> bare, viaInstance, rook, traced;
    sink = BareRead();
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Bench::NsPerOp(count, [&](long long) { sink = BareRead(); }));
        viaInstance.push_back(
            Bench::NsPerOp(count, [&](long long) { sink = CConfigureManager::GetInstance()->IsEnable(id); }));
        rook.push_back(Bench::NsPerOp(count, [&](long long) { sink = reading.IsEnable(id); }));
        word.Set(0);
        traced.push_back(Bench::NsPerOp(tracedCount, [&](long long) { sink = reading.IsEnable(id); }));
        word.Set(0x00018000);
    }
    const double bareNs = Median(bare);

    Bench::Header();
    Bench::Row("A: bare RegOpenKeyExW, RegQueryValueExW, RegCloseKey", bareNs);
    Bench::Row(process->IsPlainBastionClient() ? "GetInstance()->IsEnable(159), plain client"
                                               : "GetInstance()->IsEnable(159), reads the registry",
               Median(viaInstance), "A", bareNs);
    Bench::Row("IsEnable(159), Rook client: reads the registry", Median(rook), "A", bareNs);
    Bench::Row("IsEnable(159), Rook client, traces let through", Median(traced), "A", bareNs);
    printf("\n%d rounds of %lld calls per row (%lld with traces); the Rook key %s\n", kRounds, count, tracedCount,
           rookExisted ? "existed before the run" : "was made for the Rook manager's construction only");
    return 0;
}
