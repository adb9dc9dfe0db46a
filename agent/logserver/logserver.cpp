// The agent's log server: files every LOG_WRITE record sent to
// \\.\pipe\Log_ServerNamePipe as one line of its log file.
//
//   logserver [--log FILE] [--max-size BYTES] [--keep N] [--instances N]
//             [--idle-timeout MS] [--echo] [--ready-event NAME]
//   logserver --stop
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <wchar.h>

#include <string>

#include "logcl_LogLevel.h"
#include "logsrv_Control.h"
#include "logsrv_LogFile.h"
#include "logsrv_Server.h"
#include "ut_Handle.h"

using namespace LogServer;

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitNotRunning = 2, kExitPipe = 3, kExitLogFile = 4, kExitTimeout = 5 };

HANDLE g_hStop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD)
{
    ::SetEvent(g_hStop);
    return TRUE;
}

int Usage()
{
    fprintf(stderr,
            "usage: logserver [--log FILE] [--max-size BYTES] [--keep N] [--instances N]\n"
            "                 [--idle-timeout MS] [--echo] [--ready-event NAME]\n"
            "       logserver --stop\n");
    return kExitUsage;
}

bool ParseNumber(const wchar_t* text, unsigned long long low, unsigned long long high, unsigned long long& value)
{
    if (!text || !*text)
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    value = wcstoull(text, &end, 0);
    return errno == 0 && *end == L'\0' && text[0] != L'-' && value >= low && value <= high;
}

std::wstring DefaultLogPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + L"logserver.log";
}

int StopServer()
{
    UTIL::CUniqueHandle stop(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
    if (!stop) {
        fprintf(stderr, "logserver: no log server is running\n");
        return kExitNotRunning;
    }
    UTIL::CUniqueHandle running(::OpenMutexW(SYNCHRONIZE, FALSE, kRunningMutexName));
    ::SetEvent(stop.get());
    if (running) {
        const DWORD wait = ::WaitForSingleObject(running.get(), 10000);
        if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
            fprintf(stderr, "logserver: the log server did not stop within 10 s\n");
            return kExitTimeout;
        }
        ::ReleaseMutex(running.get());
    }
    printf("logserver: stopped\n");
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring logPath = DefaultLogPath();
    std::wstring readyEvent;
    unsigned long long maxBytes = 16ull << 20;
    unsigned long long keep = 3;
    CServerOptions options;

    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const wchar_t* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long n = 0;
        if (arg == L"--stop" && argc == 2) {
            return StopServer();
        } else if (arg == L"--echo") {
            options.echo = true;
        } else if (arg == L"--log" && value) {
            logPath = value;
            ++i;
        } else if (arg == L"--ready-event" && value) {
            readyEvent = value;
            ++i;
        } else if (arg == L"--max-size" && ParseNumber(value, 0, ~0ull, n)) {
            maxBytes = n;
            ++i;
        } else if (arg == L"--keep" && ParseNumber(value, 0, 99, n)) {
            keep = n;
            ++i;
        } else if (arg == L"--instances" && ParseNumber(value, 1, 64, n)) {
            options.instances = static_cast<int>(n);
            ++i;
        } else if (arg == L"--idle-timeout" && ParseNumber(value, 1, 3600000, n)) {
            options.idleTimeoutMs = static_cast<DWORD>(n);
            ++i;
        } else {
            fprintf(stderr, "logserver: bad argument %ls\n", arg.c_str());
            return Usage();
        }
    }

    UTIL::CUniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, kStopEventName));
    if (!stop) {
        fprintf(stderr, "logserver: cannot create the stop event (error %lu)\n", ::GetLastError());
        return kExitPipe;
    }
    g_hStop = stop.get();

    CRotatingLogFile log;
    DWORD error = 0;
    if (!log.Open(logPath, maxBytes, static_cast<int>(keep), error)) {
        fprintf(stderr, "logserver: cannot open %ls (error %lu)\n", logPath.c_str(), error);
        return kExitLogFile;
    }

    CLogServer server(options, log, stop.get());
    if (!server.Start(error)) {
        if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
            fprintf(stderr, "logserver: another log server owns \\\\.\\pipe\\%ls\n", options.pipeName.c_str());
        else
            fprintf(stderr, "logserver: cannot create the pipe (error %lu)\n", error);
        return kExitPipe;
    }
    // This process owns the pipe: a stop left over from an earlier server is void.
    ::ResetEvent(stop.get());
    // Owned for the server's whole life; `--stop` waits for it.
    UTIL::CUniqueHandle running(::CreateMutexW(nullptr, FALSE, kRunningMutexName));
    if (running) {
        const DWORD owned = ::WaitForSingleObject(running.get(), 5000);
        if (owned != WAIT_OBJECT_0 && owned != WAIT_ABANDONED)
            running.reset();
    }
    // Keeps the shared level word alive while the server runs.
    UTIL::CUniqueHandle levelWord(CreateLogLevelMapping());
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    printf("logserver: listening on \\\\.\\pipe\\%ls, filing to %ls\n", options.pipeName.c_str(), logPath.c_str());
    fflush(stdout);
    if (!readyEvent.empty()) {
        UTIL::CUniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent.c_str()));
        if (ready)
            ::SetEvent(ready.get());
    }

    ::WaitForSingleObject(stop.get(), INFINITE);
    server.Join();
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    printf("logserver: stopped after %lu connections: %lu records filed, %lu malformed commands", server.Connections(),
           server.Records(), server.Malformed());
    if (server.Unwritten())
        printf(", %lu records not written", server.Unwritten());
    printf("\n");
    fflush(stdout);
    if (running)
        ::ReleaseMutex(running.get());
    return kExitOk;
}
