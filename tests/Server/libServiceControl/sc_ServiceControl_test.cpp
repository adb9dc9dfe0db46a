#include <gtest/gtest.h>

#include "log_fixtures.h"
#include "sc_ServiceControl.h"
#include "service_fixture.h"

namespace {

TEST(ServiceControlTest, ReportsTheStateOfTheRealService)
{
    KsxTest::CServiceFixture service;
    ASSERT_TRUE(service.Installed());

    using CStep = bool (KsxTest::CServiceFixture::*)(DWORD);
    using F = KsxTest::CServiceFixture;
    const std::pair<CStep, DWORD> steps[] = {{nullptr, SERVICE_STOPPED},
                                             {&F::Start, SERVICE_RUNNING},
                                             {&F::Pause, SERVICE_PAUSED},
                                             {&F::Continue, SERVICE_RUNNING},
                                             {&F::Stop, SERVICE_STOPPED}};
    for (const auto& [step, expected] : steps) {
        ASSERT_TRUE(!step || (service.*step)(20000));
        DWORD state = 0xdeadbeef;
        EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatch", &state), SC_OK);
        EXPECT_EQ(state, expected);
    }
}

TEST(ServiceControlTest, MissingServiceLogsOneLineWithTheSystemError)
{
    ASSERT_TRUE(KsxTest::CServiceFixture::Remove(L"NTRtWatchMissing"));
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());

    DWORD state = 0xdeadbeef;
    ::SetLastError(0);
    EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatchMissing", &state), SC_ERR_OPEN_SERVICE);
    EXPECT_EQ(state, 0xdeadbeefu);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(scQueryServiceStatusW(nullptr, &state), SC_ERR_OPEN_SERVICE);
    EXPECT_EQ(state, 0xdeadbeefu);

    ASSERT_TRUE(capture.WaitForCommands(2));
    EXPECT_FALSE(capture.WaitForCommands(3, 300));
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    int found = 0;
    for (const auto& r : records) {
        EXPECT_EQ(r.level, L"5");
        EXPECT_EQ(r.file, L"src/Server/libServiceControl/sc_ServiceControl.cpp");
        found += KsxTest::EndsWith(r.text, L"[scQueryServiceStatusW] Open service failed [1060].");
    }
    EXPECT_EQ(found, 1);
}

}  // namespace
