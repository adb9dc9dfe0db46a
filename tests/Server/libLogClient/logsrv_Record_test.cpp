#include <gtest/gtest.h>

#include "logsrv_Record.h"

using LogServer::CLogRecord;
using LogServer::FormatLogLine;
using LogServer::ParseLogWrite;

namespace {

TEST(LogServerRecordTest, ParsesTheEightFields)
{
    CLogRecord r;
    std::string reason;
    ASSERT_TRUE(ParseLogWrite(L"LOG_WRITE\t-2147483648\t4294967295\t7\t300\tsrc/a.cpp\t-1\t[][x.exe]A::B - >>>", r,
                              reason))
        << reason;
    EXPECT_EQ(r.time, LONG(0x80000000));
    EXPECT_EQ(r.processId, 4294967295u);
    EXPECT_EQ(r.threadId, 7u);
    EXPECT_EQ(r.level, 300);
    EXPECT_EQ(r.file, L"src/a.cpp");
    EXPECT_EQ(r.line, -1);
    EXPECT_EQ(r.text, L"[][x.exe]A::B - >>>");
    EXPECT_EQ(FormatLogLine(r), "LOG_WRITE\t-2147483648\t4294967295\t7\t300\tsrc/a.cpp\t-1\t[][x.exe]A::B - >>>\r\n");
}

TEST(LogServerRecordTest, TabsInFileAndTextStayInTheirFieldsAndOnOneLine)
{
    CLogRecord r;
    std::string reason;
    ASSERT_TRUE(ParseLogWrite(L"LOG_WRITE\t1\t2\t3\t68\tod\td.cpp\t12\ttext\t34\tmore\r\nnext\x01\u00e9", r, reason));
    EXPECT_EQ(r.file, L"od\td.cpp");
    EXPECT_EQ(r.line, 12);
    EXPECT_EQ(r.text, L"text\t34\tmore\r\nnext\x01\u00e9");
    EXPECT_EQ(FormatLogLine(r), "LOG_WRITE\t1\t2\t3\t68\tod\\td.cpp\t12\ttext\\t34\\tmore\\r\\nnext\\x01\xc3\xa9\r\n");

    // Empty file and empty text.
    ASSERT_TRUE(ParseLogWrite(L"LOG_WRITE\t1\t2\t3\t68\t\t0\t", r, reason));
    EXPECT_EQ(r.file, L"");
    EXPECT_EQ(r.text, L"");
}

TEST(LogServerRecordTest, MalformedCommandsSayWhy)
{
    const wchar_t* bad[] = {
        L"",
        L"LOG_WRITE",
        L"LOG_READ\t1\t2\t3\t4\tf\t5\tt",
        L"LOG_WRITE\t1\t2\t3\t4\tf\t5",         // seven fields
        L"LOG_WRITE\tx\t2\t3\t4\tf\t5\tt",      // time not a number
        L"LOG_WRITE\t2147483648\t2\t3\t4\tf\t5\tt",  // time out of range
        L"LOG_WRITE\t1\t-2\t3\t4\tf\t5\tt",     // process id signed
        L"LOG_WRITE\t1\t4294967296\t3\t4\tf\t5\tt",
        L"LOG_WRITE\t1\t2\t\t4\tf\t5\tt",       // empty thread id
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
