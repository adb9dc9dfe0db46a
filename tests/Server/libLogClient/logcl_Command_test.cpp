#include <gtest/gtest.h>

#include <limits.h>

#include <atomic>
#include <set>
#include <thread>

#include "log_fixtures.h"
#include "logcl_Command.h"
#include "logcl_TestHooks.h"

namespace {

std::vector<BYTE> Utf16WithTerminator(const std::wstring& text)
{
    std::vector<BYTE> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

TEST(CmdProtocolTest, ItemsAreTabSeparatedWithNoLeadingTab)
{
    CCmdProtocol command;
    command << L"LOG_WRITE" << -5 << 0u << static_cast<LONG>(LONG_MIN) << static_cast<DWORD>(0xFFFFFFFF)
            << static_cast<const wchar_t*>(nullptr) << 2147483647 << L"a\tb";
    EXPECT_EQ(command.Text(), L"LOG_WRITE\t-5\t0\t-2147483648\t4294967295\t\t2147483647\ta\tb");

    CCmdProtocol empty;
    empty << static_cast<const wchar_t*>(nullptr) << static_cast<const wchar_t*>(nullptr);
    EXPECT_EQ(empty.Text(), L"\t");
}

class PipeClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Listening()); }
    void TearDown() override { LogClientHooks::SetPipeWrite(nullptr); }

    KsxTest::CLogCapture m_capture;
};

TEST_F(PipeClientTest, LogWriteBytesOnTheWire)
{
    // Null file and text send empty fields; a tab or line break goes unchanged.
    ASSERT_TRUE(SendLogRecordW(1700000000, 11, 22, 300, nullptr, 7, nullptr));
    ASSERT_TRUE(SendLogRecordW(0x80000000LL, 0xFFFFFFFF, 1, 68, L"dir\\a\tb.cpp", 0xFFFFFFFF,
                               L"[][x.exe]line1\r\nline2\t"));
    ASSERT_TRUE(m_capture.WaitForCommands(2));
    std::vector<std::vector<BYTE>> got;
    for (const auto& c : m_capture.Commands())
        got.push_back(c.Bytes());
    const auto first = Utf16WithTerminator(L"LOG_WRITE\t1700000000\t11\t22\t300\t\t7\t");
    const auto second =
        Utf16WithTerminator(L"LOG_WRITE\t-2147483648\t4294967295\t1\t68\tdir\\a\tb.cpp\t-1\t[][x.exe]line1\r\nline2\t");
    EXPECT_TRUE((got[0] == first && got[1] == second) || (got[0] == second && got[1] == first));
}

TEST_F(PipeClientTest, NarrowRecordIsConvertedFromTheAnsiCodePage)
{
    if (::GetACP() != 1252)
        GTEST_SKIP() << "written for the ANSI code page 1252; this prefix uses " << ::GetACP();
    ASSERT_TRUE(SendLogRecordA(5, 1, 2, 69, "caf\xe9.cpp", 9, "[][e.exe]\xe9t\xe9"));
    ASSERT_TRUE(SendLogRecordA(5, 1, 2, 69, nullptr, 9, nullptr));
    ASSERT_TRUE(m_capture.WaitForCommands(2));
    std::set<std::wstring> texts;
    for (const auto& c : m_capture.Commands())
        texts.insert(c.Text());
    EXPECT_EQ(texts, (std::set<std::wstring>{L"LOG_WRITE\t5\t1\t2\t69\tcaf\u00e9.cpp\t9\t[][e.exe]\u00e9t\u00e9",
                                             L"LOG_WRITE\t5\t1\t2\t69\t\t9\t"}));
}

TEST_F(PipeClientTest, CommandsGoOutIn1024BytePieces)
{
    // 511 characters + terminator = 1024 bytes: one message.
    ASSERT_TRUE(SendLogCommand(std::wstring(511, L'x').c_str()));
    ASSERT_TRUE(m_capture.WaitForCommands(1));
    auto one = m_capture.Commands().at(0);
    ASSERT_EQ(one.messages.size(), 1u);
    EXPECT_EQ(one.messages[0].size(), 1024u);
    EXPECT_TRUE(one.Terminated());

    // 512 characters + terminator = 1026 bytes: the second piece is the terminator.
    m_capture.Clear();
    ASSERT_TRUE(SendLogCommand(std::wstring(512, L'y').c_str()));
    ASSERT_TRUE(m_capture.WaitForCommands(1));
    auto two = m_capture.Commands().at(0);
    ASSERT_EQ(two.messages.size(), 2u);
    EXPECT_EQ(two.messages[0].size(), 1024u);
    EXPECT_EQ(two.messages[1], (std::vector<BYTE>{0, 0}));
    EXPECT_EQ(two.Text(), std::wstring(512, L'y'));

    // A long record: three full pieces and the rest, in order.
    m_capture.Clear();
    std::wstring longText;
    for (int i = 0; i < 1700; ++i)
        longText += static_cast<wchar_t>(L'A' + i % 26);
    ASSERT_TRUE(SendLogCommand(longText.c_str()));
    ASSERT_TRUE(m_capture.WaitForCommands(1));
    auto many = m_capture.Commands().at(0);
    ASSERT_EQ(many.messages.size(), 4u);
    EXPECT_EQ(many.messages[3].size(), 3402u - 3 * 1024);
    EXPECT_EQ(many.Text(), longText);
}

std::atomic<int> g_writes{0};
std::atomic<int> g_failuresLeft{0};

BOOL WINAPI StarvedWrite(HANDLE pipe, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED ov)
{
    ++g_writes;
    if (g_failuresLeft > 0) {
        --g_failuresLeft;
        *written = 0;
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    return ::WriteFile(pipe, bytes, count, written, ov);
}

BOOL WINAPI StalledWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    ++g_writes;
    *written = 0;
    return TRUE;
}

TEST_F(PipeClientTest, ResourceShortageIsRetriedBoundedThenDropped)
{
    // A short shortage: the same piece is written again and arrives whole.
    g_writes = 0;
    g_failuresLeft = 2;
    LogClientHooks::SetPipeWrite(StarvedWrite);
    ASSERT_TRUE(SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tt"));
    EXPECT_EQ(g_writes, 3);
    ASSERT_TRUE(m_capture.WaitForCommands(1));
    EXPECT_EQ(m_capture.Commands().at(0).Text(), L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tt");

    // A lasting shortage ends in a dropped record, not a spinning thread.
    g_writes = 0;
    g_failuresLeft = 1000;
    EXPECT_FALSE(SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tdropped"));
    EXPECT_EQ(g_writes, 1 + LogClientHooks::kNoResourceRetries);

    // A write that moves nothing is bounded the same way.
    g_writes = 0;
    LogClientHooks::SetPipeWrite(StalledWrite);
    EXPECT_FALSE(SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\tstalled"));
    EXPECT_EQ(g_writes, 1 + LogClientHooks::kNoResourceRetries);
}

TEST_F(PipeClientTest, BusyServerIsWaitedFor)
{
    // Take every instance, then free one while a sender waits.
    std::vector<HANDLE> held;
    for (int i = 0; i < 4; ++i) {
        HANDLE h = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << ::GetLastError();
        held.push_back(h);
    }
    HANDLE extra = ::CreateFileW(L"\\\\.\\pipe\\Log_ServerNamePipe", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(extra, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    std::atomic<int> result{-1};
    std::thread sender([&] { result = SendLogCommand(L"LOG_WRITE\t1\t2\t3\t4\tf\t5\twaited") ? 1 : 0; });
    // Nothing observable says the sender is waiting: give it time to get there.
    ::Sleep(300);
    EXPECT_EQ(result, -1);
    ::CloseHandle(held.back());
    held.pop_back();
    sender.join();
    EXPECT_EQ(result, 1);
    for (HANDLE h : held)
        ::CloseHandle(h);
    ASSERT_TRUE(m_capture.WaitForCommands(5));
    bool found = false;
    for (const auto& c : m_capture.Commands())
        found = found || c.Text() == L"LOG_WRITE\t1\t2\t3\t4\tf\t5\twaited";
    EXPECT_TRUE(found);
}

TEST(PipeClientNoServerTest, MissingServerCostsOneFailedOpen)
{
    ASSERT_FALSE(KsxTest::LogPipeExists());
    g_writes = 0;
    g_failuresLeft = 0;
    LogClientHooks::SetPipeWrite(StarvedWrite);
    EXPECT_FALSE(SendLogRecordW(1, 2, 3, 68, L"f", 4, L"t"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(g_writes, 0);
    LogClientHooks::SetPipeWrite(nullptr);
}

TEST(PipeClientNoServerTest, BadPipeNamesAndUnconnectedSendsFail)
{
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

}  // namespace
