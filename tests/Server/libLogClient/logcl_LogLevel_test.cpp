#include <gtest/gtest.h>

#include "log_fixtures.h"
#include "logcl_LogLevel.h"
#include "test_support.h"

namespace {

TEST(LogLevelTest, RankTable)
{
    struct Case {
        DWORD level;
        int rank;
    } const cases[] = {{0, 2}, {1, 2}, {2, 2},   {'F', 2},  {3, 4},   {4, 4}, {'E', 4}, {5, 5},   {'W', 5},
                       {6, 7}, {7, 7}, {'I', 7}, {'N', -1}, {'D', 9}, {8, 9}, {'A', 9}, {'Z', 9}, {255, 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        EXPECT_EQ(LogLevelRank(c.level), c.rank);
    }
}

TEST(LogLevelTest, SharedWordDecidesForEveryRankedLevel)
{
    ASSERT_NE(CLogLevelMap::Instance().View(), nullptr);
    KsxTest::CLevelWord word(0);
    const CLogLevelMap& holder = CLogLevelMap::Instance();

    struct Case {
        DWORD word;
        const char* passing;  // of the levels F E W I D N, 255 and 300
        const char* blocked;
    } const cases[] = {
        {0x00000000, "FEWIDN\xff", ""}, {0x00000002, "FEWIDN\xff", ""},
        {0x00010005, "FEWN", "ID\xff"}, {0x00010009, "FEWIDN\xff", ""},
        {0x0001FFFF, "N", "FEWID\xff"}, {0x00018000, "", "FEWIDN\xff"},  // threshold -32768 blocks 'N' too
        {0xFFFE0005, "FEWIDN\xff", ""},                                  // bits 17-31 ignored: inactive
        {0xFFFF0005, "FEWN", "ID\xff"},                                  // bits 17-31 ignored: active, 5
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.word);
        word.Set(c.word);
        for (const char* p = c.passing; *p; ++p)
            EXPECT_TRUE(IsLogLevelEnabled(holder, static_cast<BYTE>(*p))) << static_cast<int>(static_cast<BYTE>(*p));
        for (const char* p = c.blocked; *p; ++p)
            EXPECT_FALSE(IsLogLevelEnabled(holder, static_cast<BYTE>(*p))) << static_cast<int>(static_cast<BYTE>(*p));
        // Levels above 255 are never ranked.
        EXPECT_TRUE(IsLogLevelEnabled(holder, 256));
        EXPECT_TRUE(IsLogLevelEnabled(holder, 300));
        EXPECT_TRUE(IsLogLevelEnabled(holder, 0xFFFFFFFF));
    }
}

// A process that cannot map the word (here the name is taken by an event)
// lets every record through and shows no error.
TEST(LogLevelTest, UnavailableMappingPassesEverything)
{
    const DWORD rc = KsxTest::RunProcess(L"\"" + KsxTest::ExeDir() + L"logcl_nomap_probe.exe\"");
    if (rc == 2)
        GTEST_SKIP() << "another process (maybe this one) holds the level word; run this case on its own";
    EXPECT_EQ(rc, 0u);
}

}  // namespace
