// Seams for the log client's tests and benchmark: the pipe write and the clock.
#pragma once

#include <windows.h>

#include <time.h>

namespace LogClientHooks {

using PipeWriteFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using ClockFn = __time64_t (*)();

// Each returns the hook it replaces; null restores the system function.
PipeWriteFn SetPipeWrite(PipeWriteFn fn);
ClockFn SetClock(ClockFn fn);

// Bounded retry of a write refused for lack of system resources.
constexpr int kNoResourceRetries = 5;
constexpr DWORD kNoResourcePauseMs = 20;

}  // namespace LogClientHooks
