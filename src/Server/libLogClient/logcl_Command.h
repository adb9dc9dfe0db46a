// Delivery of log records to the agent's log server over its named pipe.
#pragma once

#include <windows.h>

#include <time.h>

#include <string>

#include "ut_Handle.h"

// The log server's pipe, below \\.\pipe\.
constexpr const wchar_t kLogServerPipeName[] = L"Log_ServerNamePipe";
// Largest piece written to the pipe at once; longer commands go out as
// several consecutive messages on the same connection.
constexpr DWORD kLogPipePieceBytes = 1024;

// Builds one tab-separated command: the first item has no separator before it.
class CCmdProtocol {
public:
    CCmdProtocol();
    virtual ~CCmdProtocol();

    CCmdProtocol& operator<<(int value) { return AppendSigned(value); }
    CCmdProtocol& operator<<(long value) { return AppendSigned(value); }
    CCmdProtocol& operator<<(unsigned int value) { return AppendUnsigned(value); }
    CCmdProtocol& operator<<(unsigned long value) { return AppendUnsigned(value); }
    // A null string appends only its separator.
    CCmdProtocol& operator<<(const wchar_t* text);

    const std::wstring& Text() const { return m_strCommand; }

    CCmdProtocol(const CCmdProtocol&) = delete;
    CCmdProtocol& operator=(const CCmdProtocol&) = delete;

private:
    CCmdProtocol& AppendSigned(LONG value);
    CCmdProtocol& AppendUnsigned(DWORD value);
    void BeginItem();
    void AppendDigits(DWORD value);

    std::wstring m_strSeparator;
    std::wstring m_strCommand;
    bool m_bFirst;
};

// One connection to the log server: opened for writing only (overlapped, so
// that a write can be given up), identification level for the server, message
// read mode.
class CLogPipeClient {
public:
    CLogPipeClient();
    ~CLogPipeClient();

    // Waits (the server's default time-out) while every instance is busy.
    bool Connect(const wchar_t* pipeName);
    // Writes in pieces of at most kLogPipePieceBytes; `written` (optional)
    // receives the bytes written. A shortage of system resources is retried a
    // few times with a short pause, then the send fails. A server that does not
    // take the bytes within the write time limit fails it with ERROR_TIMEOUT.
    bool Send(const void* bytes, DWORD byteCount, DWORD* written = nullptr);
    void Close();

    CLogPipeClient(const CLogPipeClient&) = delete;
    CLogPipeClient& operator=(const CLogPipeClient&) = delete;

private:
    UTIL::CUniqueFile m_hPipe;
    wchar_t m_szPipePath[MAX_PATH];
};

// Connects, writes `commandText` with its terminating U+0000, closes.
// False when the server is not running or the write failed. A server that
// stalls (a timed-out write, or every instance busy beyond its own wait) is
// not tried again for a few seconds: records are dropped at once meanwhile.
bool SendLogCommand(const wchar_t* commandText);

// Sends one LOG_WRITE record. `time` is seconds since 1970 (its low 32 bits
// go on the wire as a signed number); a null file or text sends an empty field.
bool SendLogRecordW(__time64_t time, DWORD processId, DWORD threadId, DWORD level, const wchar_t* file, DWORD line,
                    const wchar_t* text);
// The same with file and text in the ANSI code page.
bool SendLogRecordA(__time64_t time, DWORD processId, DWORD threadId, DWORD level, const char* file, DWORD line,
                    const char* text);
