// Cost of the logging path, as ratios against baselines measured in the same run:
//   a gated-off DebugLogA next to an empty non-inlined call;
//   records delivered to the running log server next to a bare
//   connect-write-close loop on the same pipe;
//   a record with no server listening next to a bare failed open of the pipe;
//   a right-click's burst of records, with a server that accepts and never
//   reads, next to the record write's time limit.
// Starts bin\logserver.exe itself; refuses to run while another log server is up.
//
//   bench_logging [SCALE]     SCALE multiplies the iteration counts (default 1)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "logcl_Command.h"
#include "logcl_DebugLog.h"
#include "logcl_LogLevel.h"
#include "logcl_TestHooks.h"
#include "ut_Handle.h"

namespace {

constexpr wchar_t kPipePath[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

__attribute__((noinline)) void EmptyCall(DWORD, const char*, DWORD, const char*, ...) { asm volatile(""); }

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::wstring ExePath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring ExeName()
{
    const std::wstring path = ExePath();
    return path.substr(path.find_last_of(L'\\') + 1);
}

std::wstring ExeDir()
{
    const std::wstring path = ExePath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool RunAndWait(std::wstring cmd, DWORD timeoutMs)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    UTIL::CUniqueHandle process(pi.hProcess), thread(pi.hThread);
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

// The log server as a child, filing to a temporary file.
class CServer {
public:
    explicit CServer(const std::wstring& logPath)
    {
        const std::wstring readyName = L"KsxBenchLogServerReady-" + std::to_wstring(::GetCurrentProcessId());
        UTIL::CUniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        std::wstring cmd =
            L"\"" + ExeDir() + L"logserver.exe\" --max-size 0 --log \"" + logPath + L"\" --ready-event " + readyName;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!ready || !::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            return;
        UTIL::CUniqueHandle thread(pi.hThread);
        m_process.reset(pi.hProcess);
        HANDLE handles[2] = {ready.get(), m_process.get()};
        m_ready = ::WaitForMultipleObjects(2, handles, FALSE, 20000) == WAIT_OBJECT_0;
    }
    ~CServer()
    {
        if (!m_process)
            return;
        RunAndWait(L"\"" + ExeDir() + L"logserver.exe\" --stop", 15000);
        if (::WaitForSingleObject(m_process.get(), 15000) != WAIT_OBJECT_0)
            ::TerminateProcess(m_process.get(), 1);
    }
    bool Ready() const { return m_ready; }

private:
    UTIL::CUniqueHandle m_process;
    bool m_ready = false;
};

size_t CountLines(const std::wstring& path)
{
    UTIL::CUniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    size_t lines = 0;
    char buffer[65536];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read)
        for (DWORD i = 0; i < read; ++i)
            lines += buffer[i] == '\n';
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long scale = Bench::ParseScale(argc, argv);
    if (!scale) {
        fprintf(stderr, "usage: bench_logging [SCALE]\n");
        return 1;
    }
    if (::WaitNamedPipeW(kPipePath, 1) || ::GetLastError() == ERROR_SEM_TIMEOUT) {
        fprintf(stderr, "bench_logging: a log server is already running; stop it first (logserver --stop)\n");
        return 1;
    }

    Bench::CLevelWord word;
    if (!word.Ok()) {
        fprintf(stderr, "bench_logging: cannot map the level word\n");
        return 1;
    }

    // Rounds interleave each row with its baseline so that a busy machine
    // slows them alike; each row reports its median round.
    constexpr int kRounds = 5;
    const long long calls = 4000000 * scale;
    const long long records = 400 * scale;
    std::vector<double> emptyNs, gatedNs, failedOpenNs, noServerNs, bareNs, deliveredNs;

    // 1. The gate, every ranked level blocked; 3. no server listening, every level open.
    for (int round = 0; round < kRounds; ++round) {
        word.Set(0x00018000);
        emptyNs.push_back(
            Bench::NsPerOp(calls, [](long long i) { EmptyCall(LOG_LEVEL_D, "f.cpp", 1, "%s %d", "x", i); }));
        gatedNs.push_back(Bench::NsPerOp(
            calls, [](long long i) { DebugLogA(LOG_LEVEL_D, "f.cpp", 1, "%s %d", "x", static_cast<int>(i)); }));
        word.Set(0);
        failedOpenNs.push_back(Bench::NsPerOp(records, [](long long) {
            HANDLE h = ::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
            if (h != INVALID_HANDLE_VALUE)
                ::CloseHandle(h);
        }));
        noServerNs.push_back(Bench::NsPerOp(records, [](long long i) {
            DebugLogA(LOG_LEVEL_E, "bench.cpp", 3, "%s - no server %d", "Bench::Run", static_cast<int>(i));
        }));
    }

    // 2. Delivery to the running server: the bare loop sends the bytes the
    // record carries (the time field aside).
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring logPath =
        std::wstring(temp) + L"bench_logging-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    long long delivered = 0, bareDelivered = 0;
    {
        CServer server(logPath);
        if (!server.Ready()) {
            fprintf(stderr, "bench_logging: logserver.exe did not start\n");
            word.Restore();
            return 1;
        }
        const std::wstring exe = ExeName();
        CCmdProtocol command;
        command << L"LOG_WRITE" << static_cast<LONG>(_time64(nullptr)) << ::GetCurrentProcessId()
                << ::GetCurrentThreadId() << 73 << L"bench.cpp" << 2
                << (L"[][" + exe + L"]Bench::Run - a record").c_str();
        const std::wstring bare = command.Text();
        const DWORD bareBytes = static_cast<DWORD>((bare.size() + 1) * sizeof(wchar_t));
        for (int round = 0; round < kRounds; ++round) {
            // Waits for a busy server as the client does, so both rows deliver everything.
            bareNs.push_back(Bench::NsPerOp(records, [&](long long) {
                HANDLE h = ::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                while (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY &&
                       ::WaitNamedPipeW(kPipePath, NMPWAIT_USE_DEFAULT_WAIT))
                    h = ::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (h == INVALID_HANDLE_VALUE)
                    return;
                DWORD written = 0;
                bareDelivered += ::WriteFile(h, bare.c_str(), bareBytes, &written, nullptr) && written == bareBytes;
                ::CloseHandle(h);
            }));
            deliveredNs.push_back(Bench::NsPerOp(records, [&](long long) {
                delivered += DebugLogW(LOG_LEVEL_I, L"bench.cpp", 2, L"%s - a record", L"Bench::Run");
            }));
        }
    }
    const size_t filed = CountLines(logPath);
    ::DeleteFileW(logPath.c_str());

    // 4. A stalled server: one instance without a buffer, never read. Last, as
    // the client then holds back records for a few seconds.
    constexpr int kBurst = 230;
    double stalledNs = 0;
    {
        UTIL::CUniqueFile stalled(::CreateNamedPipeW(kPipePath, PIPE_ACCESS_INBOUND,
                                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0,
                                                     100, nullptr));
        if (stalled)
            stalledNs = Bench::NsPerOp(1, [](long long) {
                for (int i = 0; i < kBurst; ++i)
                    DebugLogA(LOG_LEVEL_D, "bench.cpp", 4, "%s - >>>", "Bench::RightClick");
            });
    }

    Bench::Header();
    const double empty = Median(emptyNs), bareRecord = Median(bareNs), failedOpen = Median(failedOpenNs);
    Bench::Row("A: empty non-inlined call", empty);
    Bench::Row("DebugLogA, level gated off", Median(gatedNs), "A", empty);
    Bench::Row("B: bare connect-write-close to logserver", bareRecord);
    Bench::Row("DebugLogW record delivered to logserver", Median(deliveredNs), "B", bareRecord);
    Bench::Row("C: failed open of the pipe, no server", failedOpen);
    Bench::Row("DebugLogA record, no server listening", Median(noServerNs), "C", failedOpen);
    Bench::Row("D: the record write's time limit", LogClientHooks::kWriteTimeoutMs * 1e6);
    Bench::Row("230 DebugLogA records, server stalled", stalledNs, "D", LogClientHooks::kWriteTimeoutMs * 1e6);
    printf(
        "\n%d rounds of %lld calls per gate row, %lld records per pipe row; delivered: bare %lld, DebugLogW %lld; "
        "lines filed by the server: %zu\n",
        kRounds, calls, records, bareDelivered, delivered, filed);
    return 0;
}
