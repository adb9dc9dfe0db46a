#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "log_fixtures.h"
#include "logcl_Command.h"
#include "logcl_DebugLog.h"
#include "logcl_TestHooks.h"

namespace {

constexpr wchar_t kPipePath[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

std::atomic<int> g_writes{0};
std::atomic<int> g_failuresLeft{0};
std::atomic<ULONGLONG> g_now{0};

// Counts the writes; the first g_failuresLeft fail for lack of resources.
BOOL WINAPI StarvedWrite(HANDLE pipe, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED ov)
{
    ++g_writes;
    if (g_failuresLeft > 0) {
        --g_failuresLeft;
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    return ::WriteFile(pipe, bytes, count, written, ov);
}

// Succeeds and moves nothing.
BOOL WINAPI EmptyWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    ++g_writes;
    return TRUE;
}

ULONGLONG FakeTicks() { return g_now; }

// The log client's seams for one test; the system functions come back after it.
class CHooks {
public:
    explicit CHooks(LogClientHooks::PipeWriteFn write, LogClientHooks::TicksFn ticks = nullptr)
    {
        g_writes = 0;
        LogClientHooks::SetPipeWrite(write);
        LogClientHooks::SetTicks(ticks);
    }
    ~CHooks()
    {
        LogClientHooks::SetPipeWrite(nullptr);
        LogClientHooks::SetTicks(nullptr);
    }
    CHooks(const CHooks&) = delete;
    CHooks& operator=(const CHooks&) = delete;
};

class PipeClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Listening()); }

    KsxTest::CLogCapture m_capture;
};

// Null file and text send empty fields; a tab or line break goes unchanged;
// the time sends its low 32 bits as a signed number (2038 and beyond); the
// narrow form converts from the ANSI code page (its case written for 1252).
TEST_F(PipeClientTest, LogWriteBytesOnTheWire)
{
    ASSERT_TRUE(SendLogRecordW(1700000000, 11, 22, 300, nullptr, 7, nullptr));
    ASSERT_TRUE(
        SendLogRecordW(0x80000000LL, 0xFFFFFFFF, 1, 68, L"dir\\a\tb.cpp", 0xFFFFFFFF, L"[][x.exe]line1\r\nline2\t"));
    ASSERT_TRUE(SendLogRecordW(0x100000007LL, 0, 0, 0, L"f", 0, L"t"));
    std::set<std::wstring> expected = {
        L"LOG_WRITE\t1700000000\t11\t22\t300\t\t7\t",
        L"LOG_WRITE\t-2147483648\t4294967295\t1\t68\tdir\\a\tb.cpp\t-1\t[][x.exe]line1\r\nline2\t",
        L"LOG_WRITE\t7\t0\t0\t0\tf\t0\tt"};
    if (::GetACP() == 1252) {
        ASSERT_TRUE(SendLogRecordA(5, 1, 2, 69, "caf\xe9.cpp", 9, "[][e.exe]\xe9t\xe9"));
        ASSERT_TRUE(SendLogRecordA(5, 1, 2, 69, nullptr, 9, nullptr));
        expected.insert(L"LOG_WRITE\t5\t1\t2\t69\tcaf\u00e9.cpp\t9\t[][e.exe]\u00e9t\u00e9");
        expected.insert(L"LOG_WRITE\t5\t1\t2\t69\t\t9\t");
    } else {
        printf("[ skipped  ] the narrow records: written for the ANSI code page 1252, not %u\n", ::GetACP());
    }
    ASSERT_TRUE(m_capture.WaitForCommands(expected.size()));
    std::set<std::vector<BYTE>> got, want;
    for (const auto& c : m_capture.Commands())
        got.insert(c.Bytes());
    for (const auto& text : expected) {
        const std::string bytes = KsxTest::Utf16z(text);
        want.emplace(bytes.begin(), bytes.end());
    }
    EXPECT_EQ(got, want);
}

TEST_F(PipeClientTest, CommandsGoOutIn1024BytePieces)
{
    struct Case {
        size_t chars;
        size_t pieces;
        size_t lastPieceBytes;
    } const cases[] = {
        {511, 1, 1024},              // 1022 bytes + terminator: one message
        {512, 2, 2},                 // the second piece is the terminator alone
        {1700, 4, 3402 - 3 * 1024},  // three full pieces and the rest, in order
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chars);
        std::wstring text;
        for (size_t i = 0; i < c.chars; ++i)
            text += static_cast<wchar_t>(L'A' + i % 26);
        m_capture.Clear();
        ASSERT_TRUE(SendLogCommand(text.c_str()));
        ASSERT_TRUE(m_capture.WaitForCommands(1));
        const auto command = m_capture.Commands().at(0);
        ASSERT_EQ(command.messages.size(), c.pieces);
        for (size_t i = 0; i + 1 < c.pieces; ++i)
            EXPECT_EQ(command.messages[i].size(), 1024u);
        EXPECT_EQ(command.messages.back().size(), c.lastPieceBytes);
        EXPECT_TRUE(command.Terminated());
        EXPECT_EQ(command.Text(), text);
    }
}

TEST_F(PipeClientTest, ResourceShortageIsRetriedBoundedThenDropped)
{
    struct Case {
        LogClientHooks::PipeWriteFn write;
        int failures;
        bool sent;
        int writes;
    } const cases[] = {
        {StarvedWrite, 2, true, 3},  // a short shortage: the same piece again, arriving whole
        {StarvedWrite, 1000, false, 1 + LogClientHooks::kNoResourceRetries},  // a lasting one: dropped
        {EmptyWrite, 0, false, 1 + LogClientHooks::kNoResourceRetries},       // a write that moves nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        m_capture.Clear();
        g_failuresLeft = c.failures;
        CHooks hooks(c.write);
        EXPECT_EQ(SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tt"), c.sent);
        EXPECT_EQ(g_writes, c.writes);
        if (c.sent) {
            ASSERT_TRUE(m_capture.WaitForCommands(1));
            EXPECT_EQ(m_capture.Commands().at(0).Text(), L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tt");
        }
    }
}

TEST_F(PipeClientTest, BusyServerIsWaitedFor)
{
    // Take every instance, then free one while a sender waits.
    std::vector<UTIL::CUniqueFile> held;
    for (int i = 0; i < 4; ++i) {
        held.emplace_back(::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.back()) << ::GetLastError();
    }
    UTIL::CUniqueFile extra(::CreateFileW(kPipePath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(extra);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    std::atomic<int> result{-1};
    std::thread sender([&] { result = SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\twaited") ? 1 : 0; });
    // Nothing observable says the sender is waiting: give it time to get there.
    ::Sleep(300);
    EXPECT_EQ(result, -1);
    held.pop_back();
    sender.join();
    EXPECT_EQ(result, 1);
    held.clear();
    ASSERT_TRUE(m_capture.WaitForCommands(5));
    bool found = false;
    for (const auto& c : m_capture.Commands())
        found = found || c.Text() == L"LOG_WRITE\t1\t2\t3\t4\tf\t5\twaited";
    EXPECT_TRUE(found);
}

TEST(PipeClientNoServerTest, MissingServerCostsOneFailedOpenAndBadCallsFail)
{
    ASSERT_FALSE(KsxTest::LogPipeExists());
    g_failuresLeft = 0;
    CHooks hooks(StarvedWrite);
    EXPECT_FALSE(SendLogRecordW(1, 2, 3, 68, L"f", 4, L"t"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(g_writes, 0);

    // Bad pipe names and sends without a connection fail too.
    CLogPipeClient client;
    EXPECT_FALSE(client.Connect(nullptr));
    EXPECT_FALSE(client.Connect(L""));
    EXPECT_FALSE(client.Connect(std::wstring(400, L'p').c_str()));
    EXPECT_FALSE(client.Send("ab", 2));
    DWORD written = 0xdeadbeef;
    EXPECT_FALSE(client.Send(nullptr, 4, &written));
    EXPECT_EQ(written, 0u);
    client.Close();
    client.Close();
    EXPECT_FALSE(SendLogCommand(nullptr));
}

// What a right-click logs, on a worker: returns the milliseconds it took and
// counts the calls that changed the caller's last error. A burst held up for
// long has the server resumed, so that a hang fails the test and ends.
ULONGLONG TimedBurst(KsxTest::CLogCapture& server, int records, int& lastErrorChanged)
{
    const ULONGLONG start = ::GetTickCount64();
    auto burst = std::async(std::launch::async, [records] {
        int changed = 0;
        for (int i = 0; i < records; ++i) {
            ::SetLastError(0xdeadbeef);
            if (i % 2)
                DebugLogA(LOG_LEVEL_D, "cntts_CtxMenu.cpp", i, "%s - >>>", "CShellExt::QueryContextMenu");
            else
                DebugLogW(LOG_LEVEL_D, L"cntts_CtxMenu.cpp", i, L"%s - <<<", L"CShellExt::QueryContextMenu");
            changed += ::GetLastError() != 0xdeadbeef;
        }
        return changed;
    });
    if (burst.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        ADD_FAILURE() << "the burst hangs on the stalled server";
        server.Resume();
    }
    lastErrorChanged = burst.get();
    return ::GetTickCount64() - start;
}

// Wine holds a message write pending when the server's in-buffer is 0 (with
// 64 KB it lands in the buffer at once), as Windows does once the quota is full.
TEST(StalledServerTest, ABurstCostsOneTimeoutAndRecordsFlowAgainAfterTheBackOff)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture server(1, true);
    ASSERT_TRUE(server.Listening());
    g_failuresLeft = 0;
    g_now = 1000000;
    CHooks hooks(StarvedWrite, FakeTicks);
    int changed = -1;

    // One write waits out its time limit; the rest of the burst is dropped untried.
    EXPECT_LT(TimedBurst(server, 230, changed), 1000u);
    EXPECT_EQ(g_writes, 1);
    EXPECT_EQ(changed, 0);

    // Back-off over, server still stalled: its one instance stays busy past the
    // server's own wait, which starts the back-off again.
    g_now += LogClientHooks::kStalledBackOffMs;
    EXPECT_LT(TimedBurst(server, 230, changed), 1000u);
    EXPECT_EQ(g_writes, 1);
    EXPECT_EQ(changed, 0);

    // The server recovers: records are dropped until the back-off ends, then delivered.
    server.Resume();
    ASSERT_TRUE(::WaitNamedPipeW(kPipePath, 10000)) << ::GetLastError();
    g_now += LogClientHooks::kStalledBackOffMs - 1;
    EXPECT_FALSE(DebugLogW(LOG_LEVEL_I, L"f.cpp", 1, L"%s - quiet", L"T"));
    EXPECT_EQ(g_writes, 1);
    g_now += 1;
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_I, L"f.cpp", 2, L"%s - delivered", L"T"));
    ASSERT_TRUE(server.WaitForCommands(2));  // the cancelled write's connection, then the record
    const auto records = server.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].line, L"2");
}

}  // namespace
