#include "logcl_Command.h"

#include <string.h>
#include <wchar.h>

#include <atomic>

#include "logcl_TestHooks.h"

namespace {

std::atomic<LogClientHooks::PipeWriteFn> g_pipeWrite{nullptr};

BOOL PipeWrite(HANDLE pipe, const void* bytes, DWORD count, DWORD* written)
{
    LogClientHooks::PipeWriteFn hook = g_pipeWrite.load(std::memory_order_relaxed);
    return hook ? hook(pipe, bytes, count, written, nullptr) : ::WriteFile(pipe, bytes, count, written, nullptr);
}

HANDLE OpenPipe(const wchar_t* path)
{
    return ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                         nullptr);
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

CLogPipeClient::CLogPipeClient() : m_hPipe(nullptr), m_szPipePath() {}

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

    HANDLE pipe = OpenPipe(m_szPipePath);
    while (pipe == INVALID_HANDLE_VALUE) {
        // ERROR_FILE_NOT_FOUND: the server is not running, an ordinary state.
        if (::GetLastError() != ERROR_PIPE_BUSY)
            return false;
        if (!::WaitNamedPipeW(m_szPipePath, NMPWAIT_USE_DEFAULT_WAIT))
            return false;
        pipe = OpenPipe(m_szPipePath);
    }
    m_hPipe = pipe;

    DWORD mode = PIPE_READMODE_MESSAGE;
    return ::SetNamedPipeHandleState(m_hPipe, &mode, nullptr, nullptr) != FALSE;
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
    while (total < byteCount) {
        const DWORD length = byteCount - total < kLogPipePieceBytes ? byteCount - total : kLogPipePieceBytes;
        memcpy(piece, source + total, length);
        DWORD done = 0;
        const BOOL ok = PipeWrite(m_hPipe, piece, length, &done);
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

void CLogPipeClient::Close()
{
    if (m_hPipe && m_hPipe != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_hPipe);
    m_hPipe = nullptr;
}

// ---- Sending ----

bool SendLogCommand(const wchar_t* commandText)
{
    if (!commandText)
        return false;
    const size_t chars = wcslen(commandText);
    if (chars > (MAXDWORD - sizeof(wchar_t)) / sizeof(wchar_t))
        return false;

    CLogPipeClient client;
    if (!client.Connect(kLogServerPipeName)) {
        client.Close();
        return false;
    }
    const DWORD byteCount = static_cast<DWORD>(chars * sizeof(wchar_t) + sizeof(wchar_t));
    const bool sent = client.Send(commandText, byteCount);
    client.Close();
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
