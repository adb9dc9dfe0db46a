// Stand-in for the agent's IPC library "BsnPIPC_64x.dll": a context names a
// channel; a command sent on it goes to the tray monitor stand-in's window as
// WM_COPYDATA (wParam and dwData the command, the data the channel name).
// Every call is journalled beside the library ("BsnPIPC_64x.journal"):
//   BIPC_Init <ctx> <channel> | BIPC_CreateCommand <a> <command> <c> <ctx> |
//   BIPC_SendData <a> <ctx> sent|no-monitor | BIPC_FreeCommand <ctx> | BIPC_DeInit <ctx>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "journal.h"

namespace {

HMODULE g_self = nullptr;
std::atomic<int> g_nextContext{1};

struct CContext {
    int id;
    char channel[48];
};

// The library's command record (64 bytes).
struct CCommand {
    DWORD magic;
    int type;
    int command;
    int flags;
    char channel[48];
};
static_assert(sizeof(CCommand) == 64, "the caller allocates 64 bytes");
constexpr DWORD kMagic = 0x43504942;  // "BIPC"

void Journal(const char* format, ...)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(g_self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::wstring journal(path, length);
    journal = journal.substr(0, journal.find_last_of(L'.')) + L".journal";
    char line[256] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    AgentStub::AppendJournalLine(journal, line);
}

int Id(const void* context) { return context ? static_cast<const CContext*>(context)->id : 0; }

}  // namespace

extern "C" {

__declspec(dllexport) void* BIPC_Init(int, int, const char* channel)
{
    if (!channel || std::strlen(channel) >= sizeof(CContext::channel))
        return nullptr;
    auto* context = new CContext{g_nextContext++, {}};
    std::strcpy(context->channel, channel);
    Journal("BIPC_Init %d %s", context->id, channel);
    return context;
}

__declspec(dllexport) int BIPC_CreateCommand(void* record, int type, int command, int flags, void* context)
{
    Journal("BIPC_CreateCommand %d %d %d %d", type, command, flags, Id(context));
    if (!record || !context)
        return -1;
    auto* cmd = static_cast<CCommand*>(record);
    *cmd = CCommand{kMagic, type, command, flags, {}};
    std::strcpy(cmd->channel, static_cast<CContext*>(context)->channel);
    return 0;
}

__declspec(dllexport) int BIPC_CmdDataCopy(void* record, const void*, int) { return record ? 0 : -1; }

__declspec(dllexport) int BIPC_SendData(void* record, int mode, void* context)
{
    const auto* cmd = static_cast<const CCommand*>(record);
    if (!cmd || cmd->magic != kMagic || !context) {
        Journal("BIPC_SendData %d %d bad-record", mode, Id(context));
        return -1;
    }
    const HWND monitor = ::FindWindowA("WdxNTMonClass", nullptr);
    COPYDATASTRUCT cds = {};
    cds.dwData = static_cast<ULONG_PTR>(cmd->command);
    cds.cbData = static_cast<DWORD>(std::strlen(cmd->channel) + 1);
    cds.lpData = const_cast<char*>(cmd->channel);
    DWORD_PTR answer = 0;
    const bool sent = monitor && ::SendMessageTimeoutA(monitor, WM_COPYDATA, static_cast<WPARAM>(cmd->command),
                                                       reinterpret_cast<LPARAM>(&cds), SMTO_ABORTIFHUNG, 5000, &answer);
    Journal("BIPC_SendData %d %d %s", mode, Id(context), sent ? "sent" : "no-monitor");
    return sent ? 0 : -1;
}

__declspec(dllexport) int BIPC_FreeCommand(void* record, void* context)
{
    Journal("BIPC_FreeCommand %d", Id(context));
    if (record)
        std::memset(record, 0, sizeof(CCommand));
    return 0;
}

__declspec(dllexport) int BIPC_DeInit(void** context)
{
    if (!context || !*context)
        return -1;
    Journal("BIPC_DeInit %d", Id(*context));
    delete static_cast<CContext*>(*context);
    *context = nullptr;
    return 0;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
