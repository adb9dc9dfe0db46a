#include <gtest/gtest.h>

#include <cwchar>

#include "log_fixtures.h"
#include "mbwc_MBWC.h"

namespace {

constexpr DWORD kMarker = 0xdeadbeef;

// Counts include the terminator; a failure gives 0, keeps the destination and
// reports the error (either of two where Wine and Windows differ).
TEST(MBWCTest, StringFormsCountTheTerminatorAndFailuresKeepTheDestination)
{
    const struct {
        const char* source;
        UINT codePage;
        DWORD flags;
        int count;
        const wchar_t* text;
        DWORD error, orError;
    } toWide[] = {
        {"abc", CP_ACP, 0, 4, L"abc", kMarker, kMarker},
        {"", CP_ACP, 0, 1, L"", kMarker, kMarker},
        {"\xc3\xa9", CP_UTF8, 0, 2, L"\u00e9", kMarker, kMarker},
        {"a\xff", CP_UTF8, MB_ERR_INVALID_CHARS, 0, L"kept", ERROR_NO_UNICODE_TRANSLATION, ERROR_INSUFFICIENT_BUFFER},
        {nullptr, CP_ACP, 0, 0, L"kept", ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    };
    for (const auto& row : toWide) {
        SCOPED_TRACE(row.source ? row.source : "null");
        std::wstring wide = L"kept";
        DWORD error = kMarker;
        EXPECT_EQ(MBWC::MBToWC(row.source, wide, row.codePage, row.flags, &error), row.count);
        EXPECT_EQ(wide, row.text);
        EXPECT_TRUE(error == row.error || error == row.orError) << error;
        EXPECT_EQ(MBWC::MBToWC(row.source, static_cast<DWORD*>(nullptr), row.codePage, row.flags),
                  row.count ? row.text : L"");
    }
    const struct {
        const wchar_t* source;
        UINT codePage;
        int count;
        const char* text;
        bool fails;
    } toNarrow[] = {
        {L"abc", CP_ACP, 4, "abc", false},
        {L"", CP_ACP, 1, "", false},
        {L"\u00e9t\u00e9", CP_UTF8, 6, "\xc3\xa9t\xc3\xa9", false},
        {L"a\u4e2d", 1252, 3, "a?", false},  // the system's default character, not a failure
        {L"abc", 12345, 0, "kept", true},    // no such code page
        {nullptr, CP_ACP, 0, "kept", true},
    };
    for (const auto& row : toNarrow) {
        SCOPED_TRACE(row.text);
        std::string narrow = "kept";
        DWORD error = 0;
        EXPECT_EQ(MBWC::WCToMB(row.source, narrow, row.codePage, 0, &error), row.count);
        EXPECT_EQ(narrow, row.text);
        EXPECT_EQ(error != 0, row.fails);
        EXPECT_EQ(MBWC::WCToMB(row.source, static_cast<DWORD*>(nullptr), row.codePage, 0), row.count ? row.text : "");
    }
}

TEST(MBWCTest, BufferFormFillsWhatFitsAndLogsOneFatalLineForTooSmall)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    // Unconvertible or null sources: 0, nothing written, nothing logged.
    EXPECT_EQ(MBWC::MBToWC("\xff", buffer, 8, CP_UTF8, MB_ERR_INVALID_CHARS), 0);
    EXPECT_EQ(MBWC::MBToWC(nullptr, buffer, 8), 0);
    EXPECT_EQ(MBWC::MBToWC("abc", static_cast<wchar_t*>(nullptr), 8), 0);
    EXPECT_EQ(MBWC::MBToWC("abc", buffer, 3), 0);
    EXPECT_EQ(std::wstring(buffer, 8), std::wstring(8, L'#'));
    EXPECT_FALSE(capture.WaitForCommands(2, 300));
    EXPECT_EQ(MBWC::MBToWC("abc", buffer, -1), 0);

    EXPECT_EQ(MBWC::MBToWC("abc", buffer, 4), 4);
    EXPECT_EQ(std::wstring(buffer, 5), std::wstring(L"abc\0#", 5));
    EXPECT_EQ(MBWC::MBToWC("\xc3\xa9", buffer, 2, CP_UTF8, 0), 2);
    EXPECT_EQ(buffer[0], L'\u00e9');

    ASSERT_TRUE(capture.WaitForCommands(2));
    const std::wstring message =
        L"[MBWC::MBToWC] MBWC error. Not enough buffer or wrong function was called. pszMultiByteStr=abc, "
        L"nWideCharLength=3, CodePage=0, dwFlags=0";
    int matching = 0;
    for (const auto& r : capture.Records()) {
        EXPECT_EQ(r.level, L"70");
        EXPECT_EQ(r.file, L"src/Server/libMBAndWC/mbwc_MBWC.cpp");
        matching += KsxTest::EndsWith(r.text, message);
    }
    EXPECT_EQ(matching, 1);
}

}  // namespace
