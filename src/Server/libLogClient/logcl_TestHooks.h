// Seams for the log client's tests: the pipe write and the tick count.
#pragma once

#include <windows.h>

namespace LogClientHooks {

using PipeWriteFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using TicksFn = ULONGLONG (*)();

// Each returns the hook it replaces; null restores the system function.
PipeWriteFn SetPipeWrite(PipeWriteFn fn);
// Milliseconds for the write time limit and the back-off (GetTickCount64).
TicksFn SetTicks(TicksFn fn);

// Bounded retry of a write refused for lack of system resources.
constexpr int kNoResourceRetries = 5;
constexpr DWORD kNoResourcePauseMs = 20;

// A record not written within this time is cancelled and dropped.
constexpr DWORD kWriteTimeoutMs = 250;
// After a timed-out write (or a busy server that stayed busy), records are
// dropped without trying for this long.
constexpr ULONGLONG kStalledBackOffMs = 5000;

}  // namespace LogClientHooks
