#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include <functional>
#include <set>
#include <thread>

#include "log_fixtures.h"
#include "logcl_Command.h"
#include "logcl_DebugLog.h"

namespace {

std::wstring ExeName()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

std::wstring Prefix() { return L"[][" + ExeName() + L"]"; }

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.Listening()); }

    KsxTest::CLevelWord m_word{0};
    KsxTest::CLogCapture m_capture;
};

// Each record whole in one command: its time, process, thread, level, source
// path relative to the repository, and text behind the executable name, cut
// at 4095 characters.
TEST_F(DebugLogTest, RecordCarriesEightFieldsAndTheExecutableName)
{
    const std::string longA(6000, 'a');
    const std::wstring longW(6000, L'w');
    const struct {
        std::function<void()> log;
        std::wstring text;
    } cases[] = {
        {[] { LOGA(LOG_LEVEL_W, "%s - value %d of %s", "A::B", -42, "x\ty"); }, L"A::B - value -42 of x\ty"},
        {[] { LOGW(LOG_LEVEL_W, L"%s - value %d of %s", L"A::B", -42, L"x\ty"); }, L"A::B - value -42 of x\ty"},
        {[] { LOGA(LOG_LEVEL_W, nullptr); }, L""},
        {[&] { LOGA(LOG_LEVEL_W, "%s", longA.c_str()); }, std::wstring(4095 - Prefix().size(), L'a')},
        {[&] { LOGW(LOG_LEVEL_W, L"%s", longW.c_str()); }, std::wstring(4095 - Prefix().size(), L'w')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        m_capture.Clear();
        const __time64_t before = _time64(nullptr);
        c.log();
        const __time64_t after = _time64(nullptr);
        ASSERT_TRUE(m_capture.WaitForCommands(1));
        const auto command = m_capture.Commands().at(0);
        EXPECT_TRUE(command.Terminated());
        KsxTest::LogWriteFields f;
        ASSERT_TRUE(KsxTest::SplitLogWrite(command.Text(), f));
        EXPECT_EQ(f.word, L"LOG_WRITE");
        const long long t = _wtoi64(f.time.c_str());
        EXPECT_GE(t, static_cast<long long>(before));
        EXPECT_LE(t, static_cast<long long>(after));
        EXPECT_EQ(f.pid, std::to_wstring(::GetCurrentProcessId()));
        EXPECT_EQ(f.tid, std::to_wstring(::GetCurrentThreadId()));
        EXPECT_EQ(f.level, L"87");
        EXPECT_EQ(f.file, L"tests/Server/libLogClient/logcl_DebugLog_test.cpp");
        EXPECT_EQ(f.text, Prefix() + c.text);
    }
}

TEST_F(DebugLogTest, GatedLevelsSendNothingAndKeepTheLastError)
{
    m_word.Set(0x00010005);

    ::SetLastError(0xdeadbeef);
    EXPECT_FALSE(DebugLogW(LOG_LEVEL_D, L"f", 1, L"dropped"));
    EXPECT_EQ(::GetLastError(), 0xdeadbeefu);
    DebugLogA(LOG_LEVEL_I, "f", 2, "dropped");
    EXPECT_EQ(::GetLastError(), 0xdeadbeefu);
    DebugLogA(LOG_LEVEL_E, "f", 3, "kept");
    EXPECT_EQ(::GetLastError(), 0xdeadbeefu);
    DebugLogW(300, L"f", 4, L"kept");  // above 255: always written, sent as 300

    ASSERT_TRUE(m_capture.WaitForCommands(2));
    auto records = m_capture.Records();
    ASSERT_EQ(records.size(), 2u);
    std::set<std::wstring> levels = {records[0].level, records[1].level};
    EXPECT_EQ(levels, (std::set<std::wstring>{L"69", L"300"}));
}

TEST_F(DebugLogTest, ManyThreadsLoseAndMixNothing)
{
    constexpr int kThreads = 6;
    constexpr int kEach = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                if (i % 2)
                    DebugLogA(LOG_LEVEL_I, "mt.cpp", static_cast<DWORD>(t), "%s - thread %d record %d %s", "MT::Run", t,
                              i, std::string(300 + 97 * i % 900, 'a' + t).c_str());
                else
                    DebugLogW(LOG_LEVEL_I, L"mt.cpp", static_cast<DWORD>(t), L"%s - thread %d record %d %s", L"MT::Run",
                              t, i, std::wstring(300 + 97 * i % 900, L'a' + t).c_str());
            }
        });
    for (auto& th : threads)
        th.join();

    ASSERT_TRUE(m_capture.WaitForCommands(kThreads * kEach, 60000));
    std::set<std::pair<int, int>> seen;
    for (const auto& command : m_capture.Commands()) {
        ASSERT_TRUE(command.Terminated());
        KsxTest::LogWriteFields f;
        ASSERT_TRUE(KsxTest::SplitLogWrite(command.Text(), f));
        int t = -1, i = -1;
        ASSERT_EQ(swscanf(f.text.c_str() + Prefix().size(), L"MT::Run - thread %d record %d", &t, &i), 2) << f.text;
        EXPECT_EQ(f.line, std::to_wstring(t));
        const std::wstring expected = Prefix() + L"MT::Run - thread " + std::to_wstring(t) + L" record " +
                                      std::to_wstring(i) + L" " + std::wstring(300 + 97 * i % 900, L'a' + t);
        EXPECT_EQ(f.text, expected);
        seen.insert({t, i});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
