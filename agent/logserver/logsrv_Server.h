// The multi-instance, message-mode pipe server that files LOG_WRITE records.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logsrv_LogFile.h"
#include "ut_Handle.h"

namespace LogServer {

struct CServerOptions {
    std::wstring pipeName = L"Log_ServerNamePipe";
    int instances = 8;
    DWORD idleTimeoutMs = 30000;  // a connection that sends nothing for this long is dropped
    DWORD clientWaitMs = 1000;    // the pipe's default time-out for waiting clients
    size_t maxCommandBytes = 1u << 20;
    bool echo = false;  // also print each filed line to stdout
};

class CLogServer {
public:
    CLogServer(const CServerOptions& options, CRotatingLogFile& log, HANDLE stopEvent);
    ~CLogServer();
    CLogServer(const CLogServer&) = delete;
    CLogServer& operator=(const CLogServer&) = delete;

    // Creates every pipe instance (failing when another server owns the pipe)
    // and starts one thread per instance.
    bool Start(DWORD& error);
    // Returns once the stop event is set and every connection has ended.
    void Join();

    unsigned long Records() const { return m_records.load(); }
    unsigned long Malformed() const { return m_malformed.load(); }
    // Well-formed records that could not be written to the log file.
    unsigned long Unwritten() const { return m_unwritten.load(); }
    unsigned long Connections() const { return m_connections.load(); }

private:
    enum class WaitResult { Done, Stopped, TimedOut };

    void Serve(HANDLE pipe);
    void ReadConnection(HANDLE pipe, OVERLAPPED& ov, unsigned long connection);
    WaitResult WaitIo(HANDLE pipe, OVERLAPPED& ov, DWORD timeoutMs, DWORD& bytes, DWORD& error);
    void TakeCommands(std::vector<BYTE>& pending, size_t& scanned, bool& skipping, unsigned long connection);
    void File(const std::wstring& command, unsigned long connection);
    void ReportMalformed(unsigned long connection, const char* reason);

    CServerOptions m_options;
    CRotatingLogFile& m_log;
    HANDLE m_hStop;
    std::wstring m_strPipePath;
    std::vector<UTIL::CUniqueFile> m_pipes;
    std::vector<std::thread> m_threads;
    std::atomic<unsigned long> m_records{0};
    std::atomic<unsigned long> m_malformed{0};
    std::atomic<unsigned long> m_unwritten{0};
    std::atomic<unsigned long> m_connections{0};
};

}  // namespace LogServer
