#include "cntts_CtxMenu.h"

#include "sc_ServiceControl.h"
#include "ut_AgentRegistry.h"

namespace KsxShell {

namespace {

const wchar_t kRealTimeService[] = L"NTRtWatch";

}  // namespace

UTIL::CUniqueHKey OpenAgentSubKey(const char* name)
{
    const std::string path = std::string(UTIL::kAgentRootKeyA) + "\\" + name;
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, UTIL::kAgentKeyAccess, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

DWORD ReadAgentFlag(HKEY key, const char* name)
{
    DWORD value = 0;
    if (!key)
        return 0;
    DWORD cb = sizeof(value);
    if (::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb) != ERROR_SUCCESS)
        return 0;
    return value;
}

bool CShellExt::IsScanBusy() const
{
    const UTIL::CUniqueHKey misc = OpenAgentSubKey("Misc.");
    const UTIL::CUniqueHKey manual = OpenAgentSubKey("Manual Scan Configuration");
    const UTIL::CUniqueHKey realTime = OpenAgentSubKey("Real Time Scan Configuration");

    const DWORD scanning = ReadAgentFlag(misc.get(), "IsScanning");
    const DWORD updateOnGoing = ReadAgentFlag(misc.get(), "UpdateOngoing");
    const DWORD msInstance = ReadAgentFlag(manual.get(), "ManualScanInstance");
    const DWORD remoteScanning = ReadAgentFlag(realTime.get(), "Remote");
    const DWORD scheduleScanning = ReadAgentFlag(realTime.get(), "PreSchedule");

    DWORD state = SERVICE_STOPPED;
    bool running = false;
    if (scQueryServiceStatusW(kRealTimeService, &state) != SC_OK) {
        ::OutputDebugStringA("scQueryServiceStatusW failed");
    } else if (state == SERVICE_RUNNING) {
        running = true;
        ::OutputDebugStringA("NTRtWatch is running now.");
    } else {
        ::OutputDebugStringA("NTRtWatch is not running now.");
    }

    ::OutputDebugStringA(scanning ? "dwScanning" : "not dwScanning");
    ::OutputDebugStringA(updateOnGoing ? "dwUpdateOnGoing" : "not dwUpdateOnGoing");
    ::OutputDebugStringA(msInstance ? "dwMSInstance" : "not dwMSInstance");
    ::OutputDebugStringA(running ? "bNtrtRunning" : "not bNtrtRunning");
    ::OutputDebugStringA(remoteScanning ? "dwRemoteScanning" : "not dwRemoteScanning");
    ::OutputDebugStringA(scheduleScanning ? "dwScheduleScanning" : "not dwScheduleScanning");

    return scanning || updateOnGoing || msInstance || !running || remoteScanning || scheduleScanning;
}

}  // namespace KsxShell
