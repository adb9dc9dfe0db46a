#include "oicm_ConfigureCallback.h"

#include <cstdlib>
#include <string>

#include "ds_LoadLibWithIssuerCheck.h"
#include "logcl_DebugLog.h"
#include "ut_Lock.h"
#include "ut_ProcAddress.h"

namespace BrixIntegration {

namespace {

using CAutoCriticalSectionLocker = UTIL::CScopedLock<UTIL::CCriticalSection>;

const char kChannel[] = "UPDATE_SHOW_SYSTEM_TRAY_ICON";

// Process-wide: bound once, never unloaded.
struct CPipeState {
    UTIL::CCriticalSection bindLock;
    HMODULE module = nullptr;
    CConfigureCallback::PFN_BIPC_Init init = nullptr;
    CConfigureCallback::PFN_BIPC_CreateCommand createCommand = nullptr;
    CConfigureCallback::PFN_BIPC_CmdDataCopy cmdDataCopy = nullptr;
    CConfigureCallback::PFN_BIPC_SendData sendData = nullptr;
    CConfigureCallback::PFN_BIPC_DeInit deInit = nullptr;
    CConfigureCallback::PFN_BIPC_FreeCommand freeCommand = nullptr;
    UTIL::CSingletonLocker contextLock;
    void* context = nullptr;

    bool Bound() const { return module && init && createCommand && cmdDataCopy && sendData && deInit && freeCommand; }
};

CPipeState& State()
{
    static CPipeState* state = new CPipeState;  // lives until the process ends
    return *state;
}

// The host executable's folder with its trailing separator; empty on failure.
std::wstring HostFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t drive[3] = {}, dir[256] = {}, name[256] = {}, ext[256] = {};
    if (length == 0 || length >= MAX_PATH || ::_wsplitpath_s(path, drive, 3, dir, 256, name, 256, ext, 256) != 0)
        return std::wstring();
    return std::wstring(drive) + dir;
}

}  // namespace

bool CConfigureCallback::InitPipeServer()
{
    CPipeState& s = State();
    CAutoCriticalSectionLocker lock(s.bindLock);
    if (s.Bound())
        return true;
    const std::wstring folder = HostFolder();
    if (!s.module && !folder.empty())
        s.module = LoadLibraryWithIssuerCheckW(kCorvaneIssuer, (folder + L"BsnPIPC_64x.dll").c_str());
    if (s.module) {
        s.init = UTIL::GetProc<PFN_BIPC_Init>(s.module, "BIPC_Init");
        s.createCommand = UTIL::GetProc<PFN_BIPC_CreateCommand>(s.module, "BIPC_CreateCommand");
        s.cmdDataCopy = UTIL::GetProc<PFN_BIPC_CmdDataCopy>(s.module, "BIPC_CmdDataCopy");
        s.sendData = UTIL::GetProc<PFN_BIPC_SendData>(s.module, "BIPC_SendData");
        s.deInit = UTIL::GetProc<PFN_BIPC_DeInit>(s.module, "BIPC_DeInit");
        s.freeCommand = UTIL::GetProc<PFN_BIPC_FreeCommand>(s.module, "BIPC_FreeCommand");
    }
    if (!s.Bound()) {
        LOGA('E', "%s - LoadLibrary failed on BsnPIPC.dll or BsnPIPC_64x.dll, function pointers are NULL.",
             "BrixIntegration::CConfigureCallback::InitPipeServer");
        return false;
    }
    return true;
}

int CConfigureCallback::CallbackShowSystemTrayIcon(int)
{
    const char* const name = "BrixIntegration::CConfigureCallback::CallbackShowSystemTrayIcon";
    LOGA('D', "%s - >>>", name);
    int result = kNotAvailable;
    CPipeState& s = State();
    void* shared = nullptr;
    if (InitPipeServer()) {
        UTIL::CAutoSingletonLocker lock(s.contextLock);
        if (!s.context) {
            s.context = s.init(0, 0, kChannel);
            if (!s.context)
                LOGA('D', "%s - Init IPC failed.", name);
        }
        shared = s.context;
    }
    if (shared) {
        void* own = s.init(0, 0, kChannel);
        BYTE record[kCommandRecordSize] = {};
        s.createCommand(record, 1, kShowSystemTrayIconCommand, 0, own);
        s.sendData(record, 4, own);
        s.freeCommand(record, own);
        s.deInit(&own);
        result = 0;
    }
    LOGA('D', "%s - <<<", name);
    return result;
}

}  // namespace BrixIntegration
