#include "log_fixtures.h"

#include <gtest/gtest.h>

#include <string.h>

#include <chrono>

#include "logcl_LogLevel.h"

namespace KsxTest {

namespace {

constexpr wchar_t kLogPipePath[] = L"\\\\.\\pipe\\Log_ServerNamePipe";
constexpr DWORD kChunk = 64 * 1024;

// Waits for overlapped I/O or the stop event; cancels on stop.
bool WaitIo(HANDLE pipe, OVERLAPPED& ov, HANDLE stop, DWORD& bytes, DWORD& error)
{
    HANDLE handles[2] = {ov.hEvent, stop};
    if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &ov);
        ::GetOverlappedResult(pipe, &ov, &bytes, TRUE);
        return false;
    }
    error = ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? ERROR_SUCCESS : ::GetLastError();
    return true;
}

}  // namespace

std::vector<BYTE> CapturedCommand::Bytes() const
{
    std::vector<BYTE> all;
    for (const auto& m : messages)
        all.insert(all.end(), m.begin(), m.end());
    return all;
}

bool CapturedCommand::Terminated() const
{
    const std::vector<BYTE> all = Bytes();
    if (all.size() < 2 || all.size() % 2 || all[all.size() - 1] || all[all.size() - 2])
        return false;
    return Text().size() == all.size() / 2 - 1;
}

std::wstring CapturedCommand::Text() const
{
    const std::vector<BYTE> all = Bytes();
    std::wstring text(all.size() / 2, L'\0');
    if (!text.empty())
        memcpy(&text[0], all.data(), text.size() * 2);
    return text.substr(0, text.find(L'\0'));
}

bool SplitLogWrite(const std::wstring& command, LogWriteFields& f)
{
    std::wstring* fields[] = {&f.word, &f.time, &f.pid, &f.tid, &f.level, &f.file, &f.line};
    size_t pos = 0;
    for (std::wstring* field : fields) {
        const size_t tab = command.find(L'\t', pos);
        if (tab == std::wstring::npos)
            return false;
        *field = command.substr(pos, tab - pos);
        pos = tab + 1;
    }
    f.text = command.substr(pos);
    return true;
}

CLogCapture::CLogCapture(int instances, bool stalled)
    : m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_serving(::CreateEventW(nullptr, TRUE, !stalled, nullptr))
{
    for (int i = 0; i < instances; ++i) {
        UTIL::CUniqueFile pipe(::CreateNamedPipeW(
            kLogPipePath, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, static_cast<DWORD>(instances), 0,
            stalled ? 0 : kChunk, stalled ? kStalledWaitMs : 5000, nullptr));
        if (!pipe) {
            ADD_FAILURE() << "cannot listen on the log pipe (error " << ::GetLastError()
                          << "); is a log server running in this prefix?";
            m_pipes.clear();
            return;
        }
        m_pipes.push_back(std::move(pipe));
    }
    for (auto& pipe : m_pipes) {
        HANDLE h = pipe.get();
        m_threads.emplace_back([this, h] { Serve(h); });
    }
}

CLogCapture::~CLogCapture()
{
    ::SetEvent(m_stop.get());
    for (auto& t : m_threads)
        t.join();
}

void CLogCapture::Serve(HANDLE pipe)
{
    UTIL::CUniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<BYTE> chunk(kChunk);
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = event.get();
        DWORD bytes = 0, error = ERROR_SUCCESS;
        if (!::ConnectNamedPipe(pipe, &ov)) {
            error = ::GetLastError();
            if (error == ERROR_IO_PENDING && !WaitIo(pipe, ov, m_stop.get(), bytes, error))
                return;
        }
        HANDLE serving[2] = {m_serving.get(), m_stop.get()};
        if (::WaitForMultipleObjects(2, serving, FALSE, INFINITE) != WAIT_OBJECT_0)
            return;
        // ERROR_NO_DATA: the client already wrote and closed; its bytes are there.
        if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
            CapturedCommand command;
            std::vector<BYTE> message;
            for (;;) {
                ::ResetEvent(event.get());
                bytes = 0;
                error = ::ReadFile(pipe, chunk.data(), kChunk, nullptr, &ov) ? ERROR_SUCCESS : ::GetLastError();
                if (error == ERROR_IO_PENDING) {
                    if (!WaitIo(pipe, ov, m_stop.get(), bytes, error))
                        return;
                } else if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
                    error = ::GetOverlappedResult(pipe, &ov, &bytes, FALSE) ? ERROR_SUCCESS : ::GetLastError();
                }
                if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)
                    break;
                message.insert(message.end(), chunk.begin(), chunk.begin() + bytes);
                if (error == ERROR_SUCCESS) {
                    command.messages.push_back(std::move(message));
                    message.clear();
                }
            }
            std::lock_guard<std::mutex> lock(m_lock);
            m_commands.push_back(std::move(command));
            m_changed.notify_all();
        }
        ::DisconnectNamedPipe(pipe);
        if (::WaitForSingleObject(m_stop.get(), 0) == WAIT_OBJECT_0)
            return;
    }
}

bool CLogCapture::WaitForCommands(size_t count, DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_commands.size() >= count; });
}

bool CLogCapture::WaitFor(const std::function<bool(const LogWriteFields&)>& match, DWORD timeoutMs)
{
    for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < timeoutMs;) {
        for (const auto& r : Records())
            if (match(r))
                return true;
        WaitForCommands(Count() + 1, 100);
    }
    return false;
}

bool CLogCapture::WaitForText(const std::wstring& part, DWORD timeoutMs)
{
    return WaitFor([&](const LogWriteFields& r) { return r.text.find(part) != std::wstring::npos; }, timeoutMs);
}

size_t CLogCapture::Count() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commands.size();
}

std::vector<CapturedCommand> CLogCapture::Commands() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_commands;
}

std::vector<LogWriteFields> CLogCapture::Records() const
{
    std::vector<LogWriteFields> records;
    for (const auto& c : Commands()) {
        LogWriteFields f;
        if (SplitLogWrite(c.Text(), f))
            records.push_back(f);
    }
    return records;
}

void CLogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_commands.clear();
}

bool LogPipeExists()
{
    // Waiting 1 ms answers without opening (and so without sending) anything.
    return ::WaitNamedPipeW(kLogPipePath, 1) || ::GetLastError() == ERROR_SEM_TIMEOUT;
}

CLevelWord::CLevelWord(DWORD word) : m_mapping(CreateLogLevelMapping())
{
    EXPECT_TRUE(m_mapping) << "level word mapping, error " << ::GetLastError();
    if (m_mapping)
        m_view.reset(::MapViewOfFile(m_mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 4));
    EXPECT_TRUE(m_view);
    m_dwSaved = Get();
    Set(word);
}

CLevelWord::~CLevelWord() { Set(m_dwSaved); }

void CLevelWord::Set(DWORD word)
{
    if (m_view)
        ::InterlockedExchange(static_cast<volatile LONG*>(m_view.get()), static_cast<LONG>(word));
}

DWORD CLevelWord::Get() const { return m_view ? *static_cast<volatile DWORD*>(m_view.get()) : 0; }

namespace {

UTIL::CUniqueFile OpenOutput(const std::string& path)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    UTIL::CUniqueFile output(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(output) << path;
    return output;
}

}  // namespace

CLogServerProcess::CLogServerProcess(const std::string& logFile, const std::wstring& options)
    : m_outputPath(m_folder.Path() + "logserver-output.txt"),
      m_process(L"\"" + ExeDir() + L"logserver.exe\" --log \"" + std::wstring(logFile.begin(), logFile.end()) + L"\"" +
                    (options.empty() ? L"" : L" " + options),
                20000, OpenOutput(m_outputPath).get())
{
    if (!m_process.Ready())
        ADD_FAILURE() << "logserver output:\n" << Output();
}

CLogServerProcess::~CLogServerProcess() { Stop(); }

DWORD CLogServerProcess::Stop(DWORD timeoutMs)
{
    if (!m_process.Ready())
        return static_cast<DWORD>(-1);
    if (::WaitForSingleObject(m_process.Handle(), 0) == WAIT_TIMEOUT)
        RunProcess(L"\"" + ExeDir() + L"logserver.exe\" --stop", timeoutMs);
    const DWORD code = m_process.Wait(timeoutMs);
    EXPECT_FALSE(m_process.Ready()) << "logserver did not stop";
    m_process.Kill();
    return code;
}

std::string CLogServerProcess::Output() const
{
    std::string text;
    for (const auto& line : ReadLines(m_outputPath))
        text += line + "\n";
    return text;
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    const std::string content = ReadBytes(path);
    // A last line without its end is still being written.
    for (size_t pos = 0, end; (end = content.find('\n', pos)) != std::string::npos; pos = end + 1) {
        lines.push_back(content.substr(pos, end - pos));
        if (!lines.back().empty() && lines.back().back() == '\r')
            lines.back().pop_back();
    }
    return lines;
}

bool WaitForLines(const std::string& path, size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (ReadLines(path).size() >= count)
            return true;
        if (::GetTickCount64() >= deadline)
            return false;
        ::Sleep(20);
    }
}

}  // namespace KsxTest
