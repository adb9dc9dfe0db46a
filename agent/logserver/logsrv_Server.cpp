#include "logsrv_Server.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

#include "logsrv_Record.h"

namespace LogServer {

namespace {

constexpr DWORD kReadChunk = 64 * 1024;

std::mutex g_consoleLock;

void PrintLine(FILE* stream, const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_consoleLock);
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

}  // namespace

CLogServer::CLogServer(const CServerOptions& options, CRotatingLogFile& log, HANDLE stopEvent)
    : m_options(options), m_log(log), m_hStop(stopEvent), m_strPipePath(L"\\\\.\\pipe\\" + options.pipeName)
{
}

CLogServer::~CLogServer()
{
    // The stop event is shared by name: only a server that serves may set it.
    if (!m_threads.empty())
        ::SetEvent(m_hStop);
    Join();
}

bool CLogServer::Start(DWORD& error)
{
    const int instances = m_options.instances;
    for (int i = 0; i < instances; ++i) {
        const DWORD openMode =
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        UTIL::CUniqueFile pipe(
            ::CreateNamedPipeW(m_strPipePath.c_str(), openMode,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                               static_cast<DWORD>(instances), 0, kReadChunk, m_options.clientWaitMs, nullptr));
        if (!pipe) {
            error = ::GetLastError();
            m_pipes.clear();
            return false;
        }
        m_pipes.push_back(std::move(pipe));
    }
    for (auto& pipe : m_pipes) {
        HANDLE h = pipe.get();
        m_threads.emplace_back([this, h] { Serve(h); });
    }
    return true;
}

void CLogServer::Join()
{
    for (auto& t : m_threads)
        if (t.joinable())
            t.join();
    m_threads.clear();
    m_pipes.clear();
}

CLogServer::WaitResult CLogServer::WaitIo(HANDLE pipe, OVERLAPPED& ov, DWORD timeoutMs, DWORD& bytes, DWORD& error)
{
    HANDLE handles[2] = {ov.hEvent, m_hStop};
    const DWORD wait = ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (wait == WAIT_OBJECT_0) {
        error = ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? ERROR_SUCCESS : ::GetLastError();
        return WaitResult::Done;
    }
    // Stop or time-out: cancel and let the cancellation finish before `ov` goes.
    ::CancelIoEx(pipe, &ov);
    ::GetOverlappedResult(pipe, &ov, &bytes, TRUE);
    return wait == WAIT_TIMEOUT ? WaitResult::TimedOut : WaitResult::Stopped;
}

void CLogServer::Serve(HANDLE pipe)
{
    UTIL::CUniqueHandle ioEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent) {
        PrintLine(stderr, "logserver: cannot create an event; one pipe instance is idle\n");
        return;
    }
    while (::WaitForSingleObject(m_hStop, 0) != WAIT_OBJECT_0) {
        OVERLAPPED ov = {};
        ov.hEvent = ioEvent.get();
        bool connected = false;
        if (::ConnectNamedPipe(pipe, &ov)) {
            connected = true;
        } else {
            DWORD error = ::GetLastError();
            DWORD bytes = 0;
            if (error == ERROR_IO_PENDING) {
                if (WaitIo(pipe, ov, INFINITE, bytes, error) != WaitResult::Done)
                    break;
            }
            // A client that wrote and closed before we got here left its
            // record behind: ERROR_NO_DATA still counts as connected.
            connected = error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA;
            if (!connected) {
                PrintLine(stderr, "logserver: ConnectNamedPipe failed (error " + std::to_string(error) + ")\n");
                // Do not spin on a broken instance.
                if (::WaitForSingleObject(m_hStop, 100) == WAIT_OBJECT_0)
                    break;
            }
        }
        if (connected)
            ReadConnection(pipe, ov, ++m_connections);
        ::DisconnectNamedPipe(pipe);
    }
}

void CLogServer::ReadConnection(HANDLE pipe, OVERLAPPED& ov, unsigned long connection)
{
    std::vector<BYTE> chunk(kReadChunk);
    std::vector<BYTE> pending;
    size_t scanned = 0;
    bool skipping = false;
    for (;;) {
        ::ResetEvent(ov.hEvent);
        DWORD bytes = 0;
        const BOOL ok = ::ReadFile(pipe, chunk.data(), kReadChunk, nullptr, &ov);
        DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            const WaitResult r = WaitIo(pipe, ov, m_options.idleTimeoutMs, bytes, error);
            if (r == WaitResult::TimedOut) {
                ReportMalformed(connection, "connection idle too long");
                return;
            }
            if (r == WaitResult::Stopped)
                return;
        } else if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
            // Completed at once: the count is in the overlapped result.
            error = ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? ERROR_SUCCESS : ::GetLastError();
        }
        if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
            pending.insert(pending.end(), chunk.begin(), chunk.begin() + bytes);
            TakeCommands(pending, scanned, skipping, connection);
            continue;
        }
        if (error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED && error != ERROR_NO_DATA)
            PrintLine(stderr, "logserver: read failed on connection " + std::to_string(connection) + " (error " +
                                  std::to_string(error) + ")\n");
        break;
    }
    // A connection that sent nothing (a probe) is not a command.
    if (!pending.empty() || skipping)
        ReportMalformed(connection, skipping ? "command too long" : "connection closed before the terminator");
}

void CLogServer::TakeCommands(std::vector<BYTE>& pending, size_t& scanned, bool& skipping, unsigned long connection)
{
    // Commands end at a U+0000 on an even offset.
    size_t begin = 0;
    size_t i = scanned;
    for (; i + 1 < pending.size(); i += 2) {
        if (pending[i] != 0 || pending[i + 1] != 0)
            continue;
        if (skipping) {
            ReportMalformed(connection, "command too long");
            skipping = false;
        } else {
            std::wstring command((i - begin) / 2, L'\0');
            if (!command.empty())
                memcpy(&command[0], pending.data() + begin, i - begin);
            File(command, connection);
        }
        begin = i + 2;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(begin));
    scanned = i - begin;
    if (pending.size() > m_options.maxCommandBytes) {
        // Drop what was scanned but keep looking for the terminator.
        skipping = true;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(scanned));
        scanned = 0;
    }
}

void CLogServer::File(const std::wstring& command, unsigned long connection)
{
    CLogRecord record;
    std::string reason;
    if (!ParseLogWrite(command, record, reason)) {
        ReportMalformed(connection, reason.c_str());
        return;
    }
    const std::string line = FormatLogLine(record);
    if (!m_log.Append(line)) {
        const unsigned long count = ++m_unwritten;
        PrintLine(stderr, "logserver: cannot write the log file (error " + std::to_string(::GetLastError()) + "; " +
                              std::to_string(count) + " records lost so far)\n");
        return;
    }
    ++m_records;
    if (m_options.echo)
        PrintLine(stdout, line.substr(0, line.size() - 2) + "\n");
}

void CLogServer::ReportMalformed(unsigned long connection, const char* reason)
{
    const unsigned long count = ++m_malformed;
    PrintLine(stderr, "logserver: malformed command on connection " + std::to_string(connection) + ": " + reason +
                          " (" + std::to_string(count) + " so far)\n");
}

}  // namespace LogServer
