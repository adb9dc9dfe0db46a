#include <gtest/gtest.h>

#include "log_fixtures.h"
#include "sc_ServiceControl.h"
#include "service_fixture.h"

namespace {

TEST(ServiceControlTest, ReportsTheStateOfTheRealService)
{
    KsxTest::CServiceFixture service;
    ASSERT_TRUE(service.Installed());

    DWORD state = 0xdeadbeef;
    EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatch", &state), SC_OK);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));

    ASSERT_TRUE(service.Start());
    EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatch", &state), SC_OK);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_TRUE(service.Pause());
    EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatch", &state), SC_OK);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_PAUSED));
    ASSERT_TRUE(service.Continue());

    ASSERT_TRUE(service.Stop());
    EXPECT_EQ(scQueryServiceStatusW(L"NTRtWatch", &state), SC_OK);
    EXPECT_EQ(state, static_cast<DWORD>(SERVICE_STOPPED));
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
    auto records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    bool found = false;
    for (const auto& r : records) {
        EXPECT_EQ(r.level, L"5");
        EXPECT_EQ(r.file, L"src/Server/libServiceControl/sc_ServiceControl.cpp");
        const std::wstring message = L"[scQueryServiceStatusW] Open service failed [1060].";
        found = found || (r.text.size() >= message.size() &&
                          r.text.compare(r.text.size() - message.size(), message.size(), message) == 0);
    }
    EXPECT_TRUE(found);
}

}  // namespace
