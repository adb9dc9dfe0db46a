#include "logcl_Command.h"

#include <string.h>
#include <wchar.h>

#include <atomic>

#include "logcl_TestHooks.h"

namespace {

std::atomic<LogClientHooks::PipeWriteFn> g_pipeWrite{nullptr};
std::atomic<LogClientHooks::TicksFn> g_ticks{nullptr};
// Ticks before which records are dropped untried; 0 when no back-off is on.
std::atomic<ULONGLONG> g_quietUntil{0};

BOOL PipeWrite(HANDLE pipe, const void* bytes, DWORD count, OVERLAPPED* ov)
{
    LogClientHooks::PipeWriteFn hook = g_pipeWrite.load(std::memory_order_relaxed);
    return hook ? hook(pipe, bytes, count, nullptr, ov) : ::WriteFile(pipe, bytes, count, nullptr, ov);
}

ULONGLONG Ticks()
{
    LogClientHooks::TicksFn ticks = g_ticks.load(std::memory_order_relaxed);
    return ticks ? ticks() : ::GetTickCount64();
}

bool InBackOff()
{
    ULONGLONG until = g_quietUntil.load(std::memory_order_relaxed);
    if (!until)
        return false;
    if (Ticks() < until)
        return true;
    // Over: later records need not read the clock.
    g_quietUntil.compare_exchange_strong(until, 0, std::memory_order_relaxed);
    return false;
}

void StartBackOff() { g_quietUntil.store(Ticks() + LogClientHooks::kStalledBackOffMs, std::memory_order_relaxed); }

HANDLE OpenPipe(const wchar_t* path)
{
    return ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

// Ends one overlapped write by the deadline: a write still pending then is
// cancelled and fails with ERROR_TIMEOUT. The connection has one write in
// flight at a time, so its handle signals the completion (no event needed).
bool FinishWrite(HANDLE pipe, OVERLAPPED& ov, ULONGLONG deadline, DWORD& done)
{
    const ULONGLONG now = Ticks();
    const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (::WaitForSingleObject(pipe, wait) == WAIT_OBJECT_0)
        return ::GetOverlappedResult(pipe, &ov, &done, FALSE) != FALSE;
    ::CancelIoEx(pipe, &ov);
    // `ov` must not go before the write has ended.
    ::GetOverlappedResult(pipe, &ov, &done, TRUE);
    ::SetLastError(ERROR_TIMEOUT);
    return false;
}

// Narrow ANSI text to UTF-16; null stays null, unconvertible text becomes empty.
const wchar_t* Widen(const char* text, std::wstring& out)
{
    if (!text)
        return nullptr;
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    out.assign(static_cast<size_t>(n > 0 ? n : 0) + 1, L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], n + 1);
    return out.c_str();
}

}  // namespace

LogClientHooks::PipeWriteFn LogClientHooks::SetPipeWrite(PipeWriteFn fn) { return g_pipeWrite.exchange(fn); }
LogClientHooks::TicksFn LogClientHooks::SetTicks(TicksFn fn) { return g_ticks.exchange(fn); }

// ---- CCmdProtocol ----

CCmdProtocol::CCmdProtocol() : m_strSeparator(L"\t"), m_bFirst(true) { m_strCommand.reserve(1024); }

CCmdProtocol::~CCmdProtocol() = default;

void CCmdProtocol::BeginItem()
{
    if (!m_bFirst)
        m_strCommand += m_strSeparator;
    m_bFirst = false;
}

void CCmdProtocol::AppendDigits(DWORD value)
{
    wchar_t digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        m_strCommand += digits[--n];
}

CCmdProtocol& CCmdProtocol::AppendUnsigned(DWORD value)
{
    BeginItem();
    AppendDigits(value);
    return *this;
}

CCmdProtocol& CCmdProtocol::AppendSigned(LONG value)
{
    BeginItem();
    if (value < 0) {
        m_strCommand += L'-';
        // The magnitude in unsigned arithmetic, so that LONG_MIN works too.
        AppendDigits(0u - static_cast<DWORD>(value));
    } else {
        AppendDigits(static_cast<DWORD>(value));
    }
    return *this;
}

CCmdProtocol& CCmdProtocol::operator<<(const wchar_t* text)
{
    BeginItem();
    if (text)
        m_strCommand += text;
    return *this;
}

// ---- CLogPipeClient ----

CLogPipeClient::CLogPipeClient() : m_hPipe(), m_szPipePath() {}

CLogPipeClient::~CLogPipeClient() { Close(); }

bool CLogPipeClient::Connect(const wchar_t* pipeName)
{
    Close();
    static const wchar_t kPrefix[] = L"\\\\.\\pipe\\";
    const size_t prefixLen = wcslen(kPrefix);
    if (!pipeName || !*pipeName || prefixLen + wcslen(pipeName) >= MAX_PATH) {
        m_szPipePath[0] = L'\0';
        ::SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    wcscpy(m_szPipePath, kPrefix);
    wcscat(m_szPipePath, pipeName);

    m_hPipe.reset(OpenPipe(m_szPipePath));
    while (!m_hPipe) {
        // ERROR_FILE_NOT_FOUND: the server is not running, an ordinary state.
        if (::GetLastError() != ERROR_PIPE_BUSY)
            return false;
        if (!::WaitNamedPipeW(m_szPipePath, NMPWAIT_USE_DEFAULT_WAIT))
            return false;
        m_hPipe.reset(OpenPipe(m_szPipePath));
    }

    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(m_hPipe.get(), &mode, nullptr, nullptr) != FALSE;
}

bool CLogPipeClient::Send(const void* bytes, DWORD byteCount, DWORD* written)
{
    DWORD total = 0;
    if (written)
        *written = 0;
    if (!m_hPipe || (!bytes && byteCount)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }

    const BYTE* source = static_cast<const BYTE*>(bytes);
    BYTE piece[kLogPipePieceBytes];
    int retries = 0;
    const ULONGLONG deadline = Ticks() + LogClientHooks::kWriteTimeoutMs;
    while (total < byteCount) {
        const DWORD length = byteCount - total < kLogPipePieceBytes ? byteCount - total : kLogPipePieceBytes;
        memcpy(piece, source + total, length);
        OVERLAPPED ov = {};
        DWORD done = 0;
        BOOL ok = PipeWrite(m_hPipe.get(), piece, length, &ov);
        if (ok)
            ok = ::GetOverlappedResult(m_hPipe.get(), &ov, &done, FALSE);
        else if (::GetLastError() == ERROR_IO_PENDING)
            ok = FinishWrite(m_hPipe.get(), ov, deadline, done);
        if (ok && done > 0) {
            total += done < length ? done : length;
            retries = 0;
            continue;
        }
        // A starved pipe (or a write that moved nothing) gets a few paced
        // retries; anything else drops the record.
        if ((ok || ::GetLastError() == ERROR_NO_SYSTEM_RESOURCES) && retries < LogClientHooks::kNoResourceRetries) {
            ++retries;
            ::Sleep(LogClientHooks::kNoResourcePauseMs);
            continue;
        }
        if (ok)
            ::SetLastError(ERROR_WRITE_FAULT);
        if (written)
            *written = total;
        return false;
    }
    if (written)
        *written = total;
    return true;
}

void CLogPipeClient::Close() { m_hPipe.reset(); }

// ---- Sending ----

bool SendLogCommand(const wchar_t* commandText)
{
    if (!commandText)
        return false;
    const size_t chars = wcslen(commandText);
    if (chars > (MAXDWORD - sizeof(wchar_t)) / sizeof(wchar_t))
        return false;

    if (InBackOff())
        return false;

    CLogPipeClient client;
    if (!client.Connect(kLogServerPipeName)) {
        // Every instance stayed busy past the server's own wait: it stalls.
        if (::GetLastError() == ERROR_SEM_TIMEOUT)
            StartBackOff();
        return false;
    }
    const DWORD byteCount = static_cast<DWORD>(chars * sizeof(wchar_t) + sizeof(wchar_t));
    const bool sent = client.Send(commandText, byteCount);
    if (!sent && ::GetLastError() == ERROR_TIMEOUT)
        StartBackOff();
    return sent;
}

bool SendLogRecordW(__time64_t time, DWORD processId, DWORD threadId, DWORD level, const wchar_t* file, DWORD line,
                    const wchar_t* text)
{
    try {
        CCmdProtocol command;
        command << L"LOG_WRITE" << static_cast<LONG>(static_cast<DWORD>(time)) << processId << threadId
                << static_cast<LONG>(level) << file << static_cast<LONG>(line) << text;
        return SendLogCommand(command.Text().c_str());
    } catch (...) {
        // Out of memory: the record is dropped like any other delivery failure.
        return false;
    }
}

bool SendLogRecordA(__time64_t time, DWORD processId, DWORD threadId, DWORD level, const char* file, DWORD line,
                    const char* text)
{
    try {
        std::wstring wideFile, wideText;
        const wchar_t* f = Widen(file, wideFile);
        const wchar_t* t = Widen(text, wideText);
        return SendLogRecordW(time, processId, threadId, level, f, line, t);
    } catch (...) {
        return false;
    }
}
