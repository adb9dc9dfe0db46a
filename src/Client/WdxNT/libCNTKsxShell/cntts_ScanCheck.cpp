#include "cntts_CtxMenu.h"
#include "cntts_ScanItem.h"

#include "sc_ServiceControl.h"
#include "ut_AgentRegistry.h"

namespace KsxShell {

namespace {

const wchar_t kRealTimeService[] = L"NTRtWatch";

}  // namespace

UTIL::CUniqueHKey OpenAgentSubKey(const char* name)
{
    UTIL::CUniqueHKey key;
    UTIL::OpenAgentKey(name, key);
    return key;
}

DWORD ReadAgentFlag(const UTIL::CUniqueHKey& key, const char* name)
{
    DWORD value = 0;
    if (key)
        UTIL::ReadRegDword(key.get(), name, value);
    return value;
}

bool CShellExt::IsScanBusy() const { return CheckScanAvailability(true) != ScanAvailability::Free; }

ScanAvailability CheckScanAvailability(bool mayQueryService)
{
    const UTIL::CUniqueHKey misc = OpenAgentSubKey("Misc.");
    const UTIL::CUniqueHKey manual = OpenAgentSubKey("Manual Scan Configuration");
    const UTIL::CUniqueHKey realTime = OpenAgentSubKey("Real Time Scan Configuration");

    const DWORD scanning = ReadAgentFlag(misc, "IsScanning");
    const DWORD updateOnGoing = ReadAgentFlag(misc, "UpdateOngoing");
    const DWORD msInstance = ReadAgentFlag(manual, "ManualScanInstance");
    const DWORD remoteScanning = ReadAgentFlag(realTime, "Remote");
    const DWORD scheduleScanning = ReadAgentFlag(realTime, "PreSchedule");
    if (!mayQueryService)
        return scanning || updateOnGoing || msInstance || remoteScanning || scheduleScanning
                   ? ScanAvailability::Busy
                   : ScanAvailability::Unknown;

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

    return scanning || updateOnGoing || msInstance || !running || remoteScanning || scheduleScanning
               ? ScanAvailability::Busy
               : ScanAvailability::Free;
}

}  // namespace KsxShell
