#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "log_fixtures.h"
#include "logcl_Command.h"
#include "logcl_DebugLog.h"
#include "test_support.h"

namespace {

size_t Fields(const std::string& line)
{
    size_t tabs = 0;
    for (char c : line)
        tabs += c == '\t';
    return tabs + 1;
}

class LogServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(KsxTest::LogPipeExists()) << "a log server already runs in this prefix"; }

    std::string LogPath() const { return m_folder.Path() + "agent.log"; }
    DWORD RunLogLevel(const std::wstring& args) const
    {
        return KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + L"loglevel.exe\" " + args);
    }

    KsxTest::CTempFolder m_folder;
    KsxTest::CLevelWord m_word{0};
};

TEST_F(LogServerTest, FilesEveryRecordFromManyClientsOnOneLineEach)
{
    KsxTest::CLogServerProcess server(LogPath());
    ASSERT_TRUE(server.Started());

    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i)
                DebugLogA(LOG_LEVEL_I, "srv.cpp", static_cast<DWORD>(i), "%s - %d\tline\r\nbreak %s", "Srv::Run", t,
                          std::string(1500, 'k').c_str());
        });
    for (auto& th : threads)
        th.join();
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_E, L"srv.cpp", 99, L"%s - last", L"Srv::Run"));

    ASSERT_TRUE(KsxTest::WaitForLines(LogPath(), kThreads * kEach + 1));
    EXPECT_EQ(server.Stop(), 0u);
    const auto lines = KsxTest::ReadLines(LogPath());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach + 1));
    size_t last = 0;
    for (const auto& line : lines) {
        EXPECT_EQ(Fields(line), 8u) << line;
        EXPECT_EQ(line.rfind("LOG_WRITE\t", 0), 0u) << line;
        last += line.find("\tsrv.cpp\t99\t[][") != std::string::npos;
    }
    EXPECT_EQ(last, 1u);
    EXPECT_NE(server.Output().find(std::to_string(kThreads * kEach + 1) + " records filed, 0 malformed"),
              std::string::npos)
        << server.Output();
}

TEST_F(LogServerTest, MalformedCommandsAreCountedAndServingGoesOn)
{
    KsxTest::CLogServerProcess server(LogPath(), L"--max-size 0");
    ASSERT_TRUE(server.Started());

    auto sendRaw = [](const void* bytes, DWORD count) {
        CLogPipeClient client;
        ASSERT_TRUE(client.Connect(L"Log_ServerNamePipe"));
        EXPECT_TRUE(client.Send(bytes, count));
    };
    const wchar_t unknown[] = L"HELLO\t1";
    sendRaw(unknown, sizeof(unknown));
    const wchar_t shortOne[] = L"LOG_WRITE\t1\t2\t3";
    sendRaw(shortOne, sizeof(shortOne));
    sendRaw(L"LOG_WRITE\t1\t2", 10);  // closed before the terminator
    sendRaw("\x41\x00\x00", 3);           // odd byte count
    {
        CLogPipeClient probe;                // connects and sends nothing: not a command
        ASSERT_TRUE(probe.Connect(L"Log_ServerNamePipe"));
    }
    EXPECT_TRUE(SendLogRecordW(1, 2, 3, 87, L"ok.cpp", 4, L"[][t.exe]still serving"));

    ASSERT_TRUE(KsxTest::WaitForLines(LogPath(), 1));
    EXPECT_EQ(server.Stop(), 0u);
    const auto lines = KsxTest::ReadLines(LogPath());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "LOG_WRITE\t1\t2\t3\t87\tok.cpp\t4\t[][t.exe]still serving");
    EXPECT_NE(server.Output().find("1 records filed, 4 malformed"), std::string::npos) << server.Output();
}

TEST_F(LogServerTest, RotatesAtTheSizeLimitAndKeepsTheNewestFiles)
{
    KsxTest::CLogServerProcess server(LogPath(), L"--max-size 1500 --keep 2");
    ASSERT_TRUE(server.Started());
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(SendLogRecordW(i, 1, 2, 73, L"rot.cpp", static_cast<DWORD>(i), std::wstring(150, L'r').c_str()));
    EXPECT_EQ(server.Stop(), 0u);

    const auto current = KsxTest::ReadLines(LogPath());
    const auto older = KsxTest::ReadLines(LogPath() + ".1");
    const auto oldest = KsxTest::ReadLines(LogPath() + ".2");
    EXPECT_FALSE(current.empty());
    EXPECT_FALSE(older.empty());
    EXPECT_FALSE(oldest.empty());
    EXPECT_EQ(::GetFileAttributesA((LogPath() + ".3").c_str()), INVALID_FILE_ATTRIBUTES);
    for (const auto& name : {LogPath(), LogPath() + ".1", LogPath() + ".2"}) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_TRUE(::GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data));
        EXPECT_LE(data.nFileSizeLow, 1500u) << name;
    }
    // Records arrive on parallel instances, so only the set is checked: whole
    // lines, none twice, and the oldest file at most one limit's worth.
    std::set<std::string> seen;
    for (const auto* file : {&current, &older, &oldest})
        for (const auto& line : *file) {
            EXPECT_EQ(Fields(line), 8u) << line;
            EXPECT_TRUE(seen.insert(line).second) << line;
        }
    EXPECT_LT(seen.size(), 30u);
}

TEST_F(LogServerTest, OneServerOwnsThePipeAndStopIsReported)
{
    EXPECT_EQ(KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + L"logserver.exe\" --stop"), 2u);  // none running

    KsxTest::CLogServerProcess first(LogPath());
    ASSERT_TRUE(first.Started());
    const std::string secondLog = m_folder.Path() + "second.log";
    EXPECT_EQ(KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + L"logserver.exe\" --log \"" +
                                  std::wstring(secondLog.begin(), secondLog.end()) + L"\""),
              3u);
    EXPECT_EQ(KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + L"logserver.exe\" --instances 0"), 1u);
    // The refused server left the first one serving.
    EXPECT_TRUE(SendLogRecordW(1, 2, 3, 73, L"own.cpp", 1, L"[][t.exe]first still serves"));
    EXPECT_TRUE(KsxTest::WaitForLines(LogPath(), 1));
    EXPECT_EQ(first.Stop(), 0u);
    EXPECT_EQ(KsxTest::ReadLines(secondLog).size(), 0u);
    EXPECT_FALSE(KsxTest::LogPipeExists());
}

TEST_F(LogServerTest, LevelCommandTurnsLevelsOffForEveryProcess)
{
    KsxTest::CLogServerProcess server(LogPath());
    ASSERT_TRUE(server.Started());

    ASSERT_EQ(RunLogLevel(L"threshold W"), 0u);
    EXPECT_EQ(m_word.Get(), 0x00010005u);
    DebugLogA(LOG_LEVEL_D, "lvl.cpp", 1, "debug");
    DebugLogA(LOG_LEVEL_I, "lvl.cpp", 2, "info");
    DebugLogA(LOG_LEVEL_W, "lvl.cpp", 3, "warning");
    ASSERT_EQ(RunLogLevel(L"word 0x0001ffff"), 0u);
    DebugLogA(LOG_LEVEL_F, "lvl.cpp", 4, "fatal");
    ASSERT_EQ(RunLogLevel(L"off"), 0u);
    EXPECT_EQ(m_word.Get(), 0u);
    DebugLogA(LOG_LEVEL_D, "lvl.cpp", 5, "debug again");
    EXPECT_EQ(RunLogLevel(L"threshold loud"), 1u);
    EXPECT_EQ(RunLogLevel(L"word -1"), 1u);
    EXPECT_EQ(m_word.Get(), 0u);

    ASSERT_TRUE(KsxTest::WaitForLines(LogPath(), 2));
    EXPECT_EQ(server.Stop(), 0u);
    std::set<std::string> kept;
    for (const auto& line : KsxTest::ReadLines(LogPath()))
        kept.insert(line.substr(line.find("\tlvl.cpp\t")));
    EXPECT_EQ(kept, (std::set<std::string>{"\tlvl.cpp\t3\t[][logserver_tests.exe]warning",
                                           "\tlvl.cpp\t5\t[][logserver_tests.exe]debug again"}));
}

}  // namespace
