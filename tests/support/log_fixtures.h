// Fixtures for code that logs: a capturing pipe server in the test process, the
// shared level word, and the agent's log server run as a child process.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ut_Handle.h"

namespace KsxTest {

// What one client connection sent, message by message.
struct CapturedCommand {
    std::vector<std::vector<BYTE>> messages;

    std::vector<BYTE> Bytes() const;
    // The bytes end in one U+0000 (and hold no other).
    bool Terminated() const;
    // The UTF-16 text before the first U+0000.
    std::wstring Text() const;
};

// The eight LOG_WRITE fields, split at the first seven tabs.
struct LogWriteFields {
    std::wstring word, time, pid, tid, level, file, line, text;
};
bool SplitLogWrite(const std::wstring& command, LogWriteFields& fields);
inline bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Listens on \\.\pipe\Log_ServerNamePipe (message mode, several instances)
// and keeps every connection's bytes. Fails to listen, rather than share,
// when another server already owns the pipe. A stalled capture accepts
// connections but reads nothing until Resume(); its pipe has no buffer, so a
// write waits for the read, and a client waits kStalledWaitMs for a busy pipe.
class CLogCapture {
public:
    static constexpr DWORD kStalledWaitMs = 100;

    explicit CLogCapture(int instances = 4, bool stalled = false);
    ~CLogCapture();
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    bool Listening() const { return !m_threads.empty(); }
    // Waits until at least `count` connections have ended.
    bool WaitForCommands(size_t count, DWORD timeoutMs = 15000);
    // Waits until a record satisfies `match`, or its text contains `part`.
    bool WaitFor(const std::function<bool(const LogWriteFields&)>& match, DWORD timeoutMs = 10000);
    bool WaitForText(const std::wstring& part, DWORD timeoutMs = 10000);
    std::vector<CapturedCommand> Commands() const;
    // The LOG_WRITE records received so far, split into fields.
    std::vector<LogWriteFields> Records() const;
    size_t Count() const;
    void Clear();
    void Resume() { ::SetEvent(m_serving.get()); }

private:
    void Serve(HANDLE pipe);

    UTIL::CUniqueHandle m_stop;
    UTIL::CUniqueHandle m_serving;
    std::vector<UTIL::CUniqueFile> m_pipes;
    std::vector<std::thread> m_threads;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<CapturedCommand> m_commands;
};

// True when something listens on the log server's pipe.
bool LogPipeExists();

// Sets the shared level word for the test's lifetime and restores the value
// found before.
class CLevelWord {
public:
    explicit CLevelWord(DWORD word);
    ~CLevelWord();
    CLevelWord(const CLevelWord&) = delete;
    CLevelWord& operator=(const CLevelWord&) = delete;

    void Set(DWORD word);
    DWORD Get() const;

private:
    UTIL::CUniqueHandle m_mapping;
    UTIL::CUniqueMappedView m_view;
    DWORD m_dwSaved = 0;
};

// The agent's log server (bin\logserver.exe) filing to `logFile`, started and
// ready to take records when the constructor returns; stopped with
// `logserver --stop` by Stop() or the destructor. `options` go on its command
// line (for example "--max-size 0": one file, never rotated).
class CLogServerProcess {
public:
    explicit CLogServerProcess(const std::string& logFile, const std::wstring& options = L"");
    ~CLogServerProcess();
    CLogServerProcess(const CLogServerProcess&) = delete;
    CLogServerProcess& operator=(const CLogServerProcess&) = delete;

    bool Started() const { return m_process.Ready(); }
    // Returns the server's exit code, or -1 when it did not stop in time.
    DWORD Stop(DWORD timeoutMs = 15000);
    // Ends the server as a crash would: no stop, nothing flushed.
    void Kill() { m_process.Kill(); }
    // What the server printed on stdout and stderr so far.
    std::string Output() const;

private:
    CTempFolder m_folder;
    std::string m_outputPath;
    CReadyProcess m_process;
};

// The lines of a text file (without line ends); empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);
// Polls until the file has at least `count` lines.
bool WaitForLines(const std::string& path, size_t count, DWORD timeoutMs = 15000);

}  // namespace KsxTest
