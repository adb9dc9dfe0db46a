#include <gtest/gtest.h>

#include "log_fixtures.h"
#include "mbwc_MBWC.h"

namespace {

TEST(MBWCTest, StringFormsCountTheTerminator)
{
    std::wstring wide = L"old";
    DWORD error = 0xdeadbeef;
    EXPECT_EQ(MBWC::MBToWC("abc", wide, CP_ACP, 0, &error), 4);
    EXPECT_EQ(wide, L"abc");
    EXPECT_EQ(error, 0xdeadbeefu);
    EXPECT_EQ(MBWC::MBToWC("abc"), L"abc");

    std::string narrow = "old";
    EXPECT_EQ(MBWC::WCToMB(L"abc", narrow), 4);
    EXPECT_EQ(narrow, "abc");
    EXPECT_EQ(MBWC::WCToMB(L"abc"), "abc");

    // Empty sources give empty strings and the count 1.
    EXPECT_EQ(MBWC::MBToWC("", wide), 1);
    EXPECT_EQ(wide, L"");
    EXPECT_EQ(MBWC::WCToMB(L"", narrow), 1);
    EXPECT_EQ(narrow, "");
}

TEST(MBWCTest, CodePagesAndSubstitution)
{
    std::wstring wide;
    EXPECT_EQ(MBWC::MBToWC("\xc3\xa9", wide, CP_UTF8, 0), 2);
    EXPECT_EQ(wide, L"\u00e9");

    std::string narrow;
    EXPECT_EQ(MBWC::WCToMB(L"\u00e9t\u00e9", narrow, CP_UTF8, 0), 6);
    EXPECT_EQ(narrow, "\xc3\xa9t\xc3\xa9");

    // Not representable in 1252: the system's default character, not a failure.
    EXPECT_EQ(MBWC::WCToMB(L"a\u4e2d", narrow, 1252, 0), 3);
    EXPECT_EQ(narrow, "a?");
}

TEST(MBWCTest, FailuresReportTheErrorAndKeepTheDestination)
{
    std::wstring wide = L"kept";
    DWORD error = 0;
    EXPECT_EQ(MBWC::MBToWC("a\xff", wide, CP_UTF8, MB_ERR_INVALID_CHARS, &error), 0);
    EXPECT_EQ(wide, L"kept");
    EXPECT_TRUE(error == ERROR_NO_UNICODE_TRANSLATION || error == ERROR_INSUFFICIENT_BUFFER) << error;
    EXPECT_EQ(MBWC::MBToWC("a\xff", static_cast<DWORD*>(nullptr), CP_UTF8, MB_ERR_INVALID_CHARS), L"");

    std::string narrow = "kept";
    error = 0;
    EXPECT_EQ(MBWC::WCToMB(L"abc", narrow, 12345, 0, &error), 0);  // no such code page
    EXPECT_EQ(narrow, "kept");
    EXPECT_NE(error, 0u);
    EXPECT_EQ(MBWC::WCToMB(L"abc", static_cast<DWORD*>(nullptr), 12345, 0), "");

    // A null source is refused, not dereferenced.
    error = 0;
    EXPECT_EQ(MBWC::MBToWC(nullptr, wide, CP_ACP, 0, &error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MBWC::WCToMB(nullptr, narrow, CP_ACP, 0, &error), 0);
    EXPECT_EQ(MBWC::MBToWC(nullptr), L"");
    EXPECT_EQ(MBWC::WCToMB(nullptr), "");
    EXPECT_EQ(wide, L"kept");
    EXPECT_EQ(narrow, "kept");
}

class MBWCBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Listening());
        for (auto& c : m_buffer)
            c = L'#';
    }

    KsxTest::CLevelWord m_word{0};
    KsxTest::CLogCapture m_capture;
    wchar_t m_buffer[8];
};

TEST_F(MBWCBufferTest, TooSmallBufferIsRefusedWithOneFatalLine)
{
    EXPECT_EQ(MBWC::MBToWC("abc", m_buffer, 3), 0);
    EXPECT_EQ(std::wstring(m_buffer, 8), std::wstring(8, L'#'));
    EXPECT_EQ(MBWC::MBToWC("abc", m_buffer, -1), 0);

    ASSERT_TRUE(m_capture.WaitForCommands(2));
    const std::wstring message =
        L"[MBWC::MBToWC] MBWC error. Not enough buffer or wrong function was called. pszMultiByteStr=abc, "
        L"nWideCharLength=3, CodePage=0, dwFlags=0";
    int matching = 0;
    for (const auto& r : m_capture.Records()) {
        EXPECT_EQ(r.level, L"70");
        EXPECT_EQ(r.file, L"src/Server/libMBAndWC/mbwc_MBWC.cpp");
        matching += KsxTest::EndsWith(r.text, message);
    }
    EXPECT_EQ(matching, 1);
}

TEST_F(MBWCBufferTest, BufferThatFitsIsFilled)
{
    EXPECT_EQ(MBWC::MBToWC("abc", m_buffer, 4), 4);
    EXPECT_EQ(std::wstring(m_buffer, 5), std::wstring(L"abc\0#", 5));
    EXPECT_EQ(MBWC::MBToWC("\xc3\xa9", m_buffer, 2, CP_UTF8, 0), 2);
    EXPECT_EQ(m_buffer[0], L'\u00e9');

    // Unconvertible or null sources: 0, nothing written, nothing logged.
    for (auto& c : m_buffer)
        c = L'#';
    EXPECT_EQ(MBWC::MBToWC("\xff", m_buffer, 8, CP_UTF8, MB_ERR_INVALID_CHARS), 0);
    EXPECT_EQ(MBWC::MBToWC(nullptr, m_buffer, 8), 0);
    EXPECT_EQ(MBWC::MBToWC("abc", static_cast<wchar_t*>(nullptr), 8), 0);
    EXPECT_EQ(std::wstring(m_buffer, 8), std::wstring(8, L'#'));
    EXPECT_FALSE(m_capture.WaitForCommands(1, 300));
}

}  // namespace
