// The notification library wrapper: where it looks, what it refuses, what the
// calls carry to the library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_fixtures.h"
#include "smu_CCvNotifyDLL.h"
#include "test_support.h"

namespace {

const std::string kBuilt = KsxTest::ExeDirA() + "..\\agent\\cvnotify\\";

TEST(CvNotifyDLL, RefusesMissingOrIncompleteLibraryAndEveryCallThenGivesMinusTwo)
{
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture(16);
    ASSERT_TRUE(capture.Listening());
    KsxTest::CTempFolder empty;
    struct CRow {
        std::string directory;
        bool loaded;
    };
    const CRow rows[] = {{empty.Path(), false}, {kBuilt + "noreport", false}, {kBuilt, true}};
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.directory);
        CCvNotifyDLL notify;
        EXPECT_EQ(notify.Init(row.directory.c_str()), row.loaded ? 1 : 0);
        EXPECT_EQ(notify.Init(row.directory.c_str()), 1);  // once per object
        EXPECT_EQ(notify.Loaded(), row.loaded);
        EXPECT_EQ(notify.AnyBound(), row.loaded);
        if (row.loaded)
            continue;
        HANDLE handle = nullptr;
        EXPECT_EQ(notify.InitDefaultEventSource("Corvane Bastion", 0), CCvNotifyDLL::kNotBound);
        EXPECT_EQ(notify.OpenEventSource(nullptr, "Corvane Bastion", &handle), CCvNotifyDLL::kNotBound);
        EXPECT_EQ(notify.ReportEventLogEx(handle, 2, 5, 0x80050258, "x"), CCvNotifyDLL::kNotBound);
        EXPECT_EQ(notify.CloseEventSource(handle), CCvNotifyDLL::kNotBound);
        EXPECT_EQ(handle, nullptr);
    }
    for (const wchar_t* part :
         {L"CCvNotifyDLL::Init - CCvNotifyDLL:CCvNotifyDLL() Verify DigitalSignature Failed(cvnotify.dll) error = 0x",
          L"CCvNotifyDLL::Init - CCvNotifyDLL::CCvNotifyDLL() LoadLibrary(cvnotify.dll) error = ",
          L"CCvNotifyDLL::Init - CCvNotifyDLL::CCvNotifyDLL() GetProcAddress error = 127",
          L"CCvNotifyDLL::OpenEventSource(NULL, Corvane Bastion, "})
        EXPECT_TRUE(capture.WaitForText(part)) << part;
}

TEST(CvNotifyDLL, CallsReachTheLibraryUnchanged)
{
    const std::string journal = kBuilt + "cvnotify.journal";
    ::DeleteFileA(journal.c_str());
    CCvNotifyDLL notify;
    ASSERT_EQ(notify.Init(kBuilt.c_str()), 1);  // trailing backslash: joined once
    EXPECT_EQ(notify.InitDefaultEventSource("Corvane Bastion", 0), 0);
    HANDLE handle = nullptr;
    EXPECT_EQ(notify.OpenEventSource(nullptr, "Corvane Bastion", &handle), 0);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(notify.ReportEventLogEx(handle, 2, 5, 0x80050258, "one event"), 0);
    EXPECT_EQ(notify.CloseEventSource(handle), 0);

    EXPECT_EQ(KsxTest::ReadLines(journal),
              (std::vector<std::string>{"InitDefaultEventSource|Corvane Bastion|0|0|0x00000000|",
                                        "ReportEventLogEx||2|5|0x80050258|one event"}));
}

}  // namespace
