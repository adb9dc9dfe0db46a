// Names through which scripts and tests find a running log server.
#pragma once

namespace LogServer {

// Set to ask the server to stop (manual-reset event).
constexpr const wchar_t kStopEventName[] = L"Global\\KsxLogServer.Stop";
// Owned by the server while it runs; free (or abandoned) once it has stopped.
constexpr const wchar_t kRunningMutexName[] = L"Global\\KsxLogServer.Running";

}  // namespace LogServer
