#include <gtest/gtest.h>

#include "logsrv_Record.h"

using LogServer::CLogRecord;
using LogServer::FormatLogLine;
using LogServer::ParseLogWrite;

namespace {

// The filed line shows every field: a field split in the wrong place shows
// as a raw tab where an escaped one belongs, or the other way round.
TEST(LogServerRecordTest, ParsesTheEightFieldsAndFilesOneLine)
{
    struct Case {
        const wchar_t* command;
        const char* line;
    } const cases[] = {
        {L"LOG_WRITE\t-2147483648\t4294967295\t7\t300\tsrc/a.cpp\t-1\t[][x.exe]A::B - >>>",
         "LOG_WRITE\t-2147483648\t4294967295\t7\t300\tsrc/a.cpp\t-1\t[][x.exe]A::B - >>>\r\n"},
        // Tabs stay in their fields; control characters are escaped onto one line.
        {L"LOG_WRITE\t1\t2\t3\t68\tod\td.cpp\t12\ttext\t34\tmore\r\nnext\x01\u00e9",
         "LOG_WRITE\t1\t2\t3\t68\tod\\td.cpp\t12\ttext\\t34\\tmore\\r\\nnext\\x01\xc3\xa9\r\n"},
        {L"LOG_WRITE\t1\t2\t3\t68\t\t0\t", "LOG_WRITE\t1\t2\t3\t68\t\t0\t\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        CLogRecord r;
        std::string reason;
        ASSERT_TRUE(ParseLogWrite(c.command, r, reason)) << reason;
        EXPECT_EQ(FormatLogLine(r), c.line);
    }
}

TEST(LogServerRecordTest, MalformedCommandsSayWhy)
{
    const wchar_t* bad[] = {
        L"",
        L"LOG_WRITE",
        L"LOG_READ\t1\t2\t3\t4\tf\t5\tt",
        L"LOG_WRITE\t1\t2\t3\t4\tf\t5",              // seven fields
        L"LOG_WRITE\tx\t2\t3\t4\tf\t5\tt",           // time not a number
        L"LOG_WRITE\t2147483648\t2\t3\t4\tf\t5\tt",  // time out of range
        L"LOG_WRITE\t1\t-2\t3\t4\tf\t5\tt",          // process id signed
        L"LOG_WRITE\t1\t4294967296\t3\t4\tf\t5\tt",
        L"LOG_WRITE\t1\t2\t\t4\tf\t5\tt",  // empty thread id
        L"LOG_WRITE\t1\t2\t3\t+4\tf\t5\tt",
        L"LOG_WRITE\t1\t2\t3\t4\tf\tline\tt",
    };
    for (const wchar_t* command : bad) {
        SCOPED_TRACE(testing::Message() << static_cast<const void*>(command));
        CLogRecord r;
        r.text = L"untouched";
        std::string reason;
        EXPECT_FALSE(ParseLogWrite(command, r, reason));
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(r.text, L"untouched");
    }
}

}  // namespace
