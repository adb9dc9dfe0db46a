// Callbacks of the integration switches: the tray-icon switch tells the
// agent's tray program through the IPC library "BsnPIPC_64x.dll".
#pragma once

#include <windows.h>

namespace BrixIntegration {

class CConfigureCallback {
public:
    // IPC entry points. The command record is 64 bytes, laid out by the library.
    using PFN_BIPC_Init = void*(__cdecl*)(int, int, const char* channel);
    using PFN_BIPC_CreateCommand = int(__cdecl*)(void* record, int, int command, int, void* context);
    using PFN_BIPC_CmdDataCopy = int(__cdecl*)(void* record, const void* data, int size);
    using PFN_BIPC_SendData = int(__cdecl*)(void* record, int, void* context);
    using PFN_BIPC_DeInit = int(__cdecl*)(void** context);
    using PFN_BIPC_FreeCommand = int(__cdecl*)(void* record, void* context);

    static constexpr int kCommandRecordSize = 64;
    static constexpr int kShowSystemTrayIconCommand = 1815;
    static constexpr int kNotAvailable = -10001;

    // Loads (issuer-checked) and binds the library beside the host executable
    // once per process; a failed attempt is tried again on the next call.
    static bool InitPipeServer();
    // Update callback of switch 120: 0 when the tray program was told.
    static int CallbackShowSystemTrayIcon(int);
};

}  // namespace BrixIntegration
