// The agent's log server as the module's tests, the tour and the benchmark
// use it: records filed one per line, the level command, one server, --stop.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "log_fixtures.h"
#include "logcl_Command.h"
#include "logcl_DebugLog.h"
#include "test_support.h"

namespace {

class LogServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(KsxTest::LogPipeExists()) << "a log server already runs in this prefix"; }

    std::string LogPath() const { return m_folder.Path() + "agent.log"; }
    static DWORD Run(const wchar_t* program, const std::wstring& args)
    {
        return KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + program + L"\" " + args);
    }

    KsxTest::CTempFolder m_folder;
    KsxTest::CLevelWord m_word{0};
};

TEST_F(LogServerTest, FilesEveryRecordOnOneLineAndCountsMalformedCommands)
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

    const std::pair<const void*, DWORD> malformed[] = {
        {L"HELLO\t1", sizeof(L"HELLO\t1")},
        {L"LOG_WRITE\t1\t2\t3", sizeof(L"LOG_WRITE\t1\t2\t3")},
        {L"LOG_WRITE\t1\t2", 10},  // closed before the terminator
        {"\x41\x00\x00", 3},       // odd byte count
        {"", 0},                   // a probe that sends nothing is not a command
    };
    for (const auto& m : malformed) {
        SCOPED_TRACE(m.second);
        CLogPipeClient client;
        ASSERT_TRUE(client.Connect(kLogServerPipeName));
        EXPECT_TRUE(client.Send(m.first, m.second));
    }
    EXPECT_TRUE(DebugLogW(LOG_LEVEL_E, L"srv.cpp", 99, L"%s - last", L"Srv::Run"));

    ASSERT_TRUE(KsxTest::WaitForLines(LogPath(), kThreads * kEach + 1));
    EXPECT_EQ(server.Stop(), 0u);
    const auto lines = KsxTest::ReadLines(LogPath());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach + 1));
    size_t last = 0;
    for (const auto& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.rfind("LOG_WRITE\t", 0), 0u);
        EXPECT_NE(line.find("\tsrv.cpp\t"), std::string::npos);
        last += line.find("\tsrv.cpp\t99\t[][logserver_tests.exe]Srv::Run - last") != std::string::npos;
    }
    EXPECT_EQ(last, 1u);
    EXPECT_NE(server.Output().find(std::to_string(kThreads * kEach + 1) + " records filed, 4 malformed"),
              std::string::npos)
        << server.Output();
}

TEST_F(LogServerTest, OneServerOwnsThePipeAndTheLevelCommandReachesEveryProcess)
{
    EXPECT_EQ(Run(L"logserver.exe", L"--stop"), 2u);  // none running
    KsxTest::CLogServerProcess server(LogPath());
    ASSERT_TRUE(server.Started());
    const std::string secondLog = m_folder.Path() + "second.log";
    EXPECT_EQ(Run(L"logserver.exe", L"--log \"" + std::wstring(secondLog.begin(), secondLog.end()) + L"\""), 3u);
    EXPECT_EQ(Run(L"logserver.exe", L"--instances 0"), 1u);

    // The refused servers left the first one serving.
    ASSERT_EQ(Run(L"loglevel.exe", L"threshold W"), 0u);
    EXPECT_EQ(m_word.Get(), 0x00010005u);
    DebugLogA(LOG_LEVEL_D, "lvl.cpp", 1, "debug");
    DebugLogA(LOG_LEVEL_I, "lvl.cpp", 2, "info");
    DebugLogA(LOG_LEVEL_W, "lvl.cpp", 3, "warning");
    ASSERT_EQ(Run(L"loglevel.exe", L"word 0x0001ffff"), 0u);
    DebugLogA(LOG_LEVEL_F, "lvl.cpp", 4, "fatal");
    ASSERT_EQ(Run(L"loglevel.exe", L"off"), 0u);
    EXPECT_EQ(m_word.Get(), 0u);
    DebugLogA(LOG_LEVEL_D, "lvl.cpp", 5, "debug again");
    EXPECT_EQ(Run(L"loglevel.exe", L"threshold loud"), 1u);
    EXPECT_EQ(Run(L"loglevel.exe", L"word -1"), 1u);
    EXPECT_EQ(m_word.Get(), 0u);

    ASSERT_TRUE(KsxTest::WaitForLines(LogPath(), 2));
    EXPECT_EQ(server.Stop(), 0u);
    EXPECT_FALSE(KsxTest::LogPipeExists());
    EXPECT_TRUE(KsxTest::ReadLines(secondLog).empty());
    std::set<std::string> kept;
    for (const auto& line : KsxTest::ReadLines(LogPath()))
        kept.insert(line.substr(line.find("\tlvl.cpp\t")));
    EXPECT_EQ(kept, (std::set<std::string>{"\tlvl.cpp\t3\t[][logserver_tests.exe]warning",
                                           "\tlvl.cpp\t5\t[][logserver_tests.exe]debug again"}));
}

}  // namespace
