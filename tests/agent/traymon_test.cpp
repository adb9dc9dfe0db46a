#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using KsxTest::ReadBytes;

// The tray monitor stand-in, started as its own process.
class TrayMonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_process.Ready());
        m_window = ::FindWindowA("WdxNTMonClass", "WdxNTMon.MainFrame");
        ASSERT_NE(m_window, nullptr);
    }
    void TearDown() override
    {
        ::PostMessageA(m_window, WM_CLOSE, 0, 0);
        EXPECT_EQ(m_process.Wait(10000), 0u);
    }

    LRESULT Send(const std::string& bytes, ULONG_PTR code = 3, WPARAM wParam = 3)
    {
        COPYDATASTRUCT cds = {code, static_cast<DWORD>(bytes.size()),
                              bytes.empty() ? nullptr : const_cast<char*>(bytes.data())};
        return ::SendMessageA(m_window, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&cds));
    }

    KsxTest::CTempFolder m_temp;
    const std::string m_journal = m_temp.Path() + "traymon.journal";
    KsxTest::CReadyProcess m_process{
        L"\"" + KsxTest::ExeDir() + L"traymon.exe\" --journal \"" + KsxTest::Wide(m_journal) + L"\"", 10000};
    HWND m_window = nullptr;
};

// As strict as the request's format: cbData is the length plus one NUL, the
// last byte; dwData and wParam are 3.
TEST_F(TrayMonitorTest, JournalsEachRequestedPathAndRejectsMalformedRequests)
{
    const std::string ok("C:\\x", 5);
    const struct {
        const char* reason;
        std::string bytes;
        ULONG_PTR code;
        WPARAM wParam;
    } cases[] = {
        {"not-terminated", "C:\\x", 3, 3},
        {"nul-not-last", std::string("C:\\x\0junk", 9), 3, 3},
        {"nul-not-last", std::string("C:\\x\0\0", 6), 3, 3},
        {"unknown-request-code", ok, 4, 3},
        {"unknown-wparam", ok, 3, 0},
        {"empty", "", 3, 3},
        {"empty-path", std::string("C:\\x??C:\\y", 11), 3, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Send(c.bytes, c.code, c.wParam), FALSE) << c.reason;
    EXPECT_EQ(Send(std::string("C:\\a.txt?C:\\b?D:\\", 18)), TRUE);  // still serving after all that

    const std::string journal = ReadBytes(m_journal);
    for (const auto& c : cases)
        EXPECT_NE(journal.find(std::string("REJECT ") + c.reason + " "), std::string::npos) << c.reason;
    EXPECT_NE(journal.find("(rejected so far: 7)"), std::string::npos) << journal;
    EXPECT_NE(
        journal.find("REQUEST paths=3 cbData=18 dwData=3 wParam=3\r\nPATH C:\\a.txt\r\nPATH C:\\b\r\nPATH D:\\\r\n"),
        std::string::npos);
}

}  // namespace
