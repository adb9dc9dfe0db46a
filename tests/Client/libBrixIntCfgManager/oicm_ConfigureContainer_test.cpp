#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <utility>

#include "oicm_ConfigureContainer.h"

namespace {

using namespace BrixIntegration;

int Callback(int) { return 0; }

// Loads rows of its own in place of the built-in table.
class CRowsContainer : public CConfigureContainer {
public:
    using CConfigureContainer::Load;
};

TEST(ConfigureContainerTest, FindsTableIdsOnlyAndKeepsTheFirstRowOfAnIdInAscendingOrder)
{
    CRowsContainer table;
    for (int id : {100, 170, 172, 175, 238, 0, -1, INT_MIN, INT_MAX})
        EXPECT_EQ(table.Find(id), nullptr) << id;
    const std::pair<int, const wchar_t*> names[] = {
        {101, L"ShowWdxntPlugInManagerButton"},
        {CConfigureId::ID_ENABLE_MANUAL_LANGUAGE_SWITCH, L"EnableManualLanguageSwitch"},
        {213, L"EnableSableUINotifySettingReadOnly"},
        {214, L"EnableSableUINotifySettingSKBSSSync"}};
    for (const auto& [id, name] : names) {
        ASSERT_NE(table.Find(id), nullptr) << id;
        EXPECT_EQ(table.Find(id)->GetKeyName(), name);
    }
    ASSERT_EQ(table.GetTable().size(), 134u);
    EXPECT_EQ(table.GetTable().begin()->first, 101);
    EXPECT_EQ(table.GetTable().rbegin()->first, 237);

    const CConfigureRow rows[] = {
        {237, L"Last", 0, nullptr, 0},
        {101, L"First", 1, nullptr, 0},
        {150, L"Middle", 1, Callback, 1},
        {101, L"Again", 0, nullptr, 1},
    };
    ASSERT_EQ(table.Load(rows, std::size(rows)), 1);
    ASSERT_EQ(table.GetTable().size(), 3u);
    auto it = table.GetTable().begin();
    EXPECT_EQ(it->first, 101);
    EXPECT_EQ(it->second.GetKeyName(), L"First");
    EXPECT_EQ((++it)->first, 150);
    EXPECT_EQ(it->second.GetUpdateCallback(), &Callback);
    EXPECT_EQ(it->second.GetBastionClientFlag(), 1);
    EXPECT_EQ((++it)->first, 237);

    // Initialize brings the built-in table back.
    ASSERT_EQ(table.Initialize(), 1);
    EXPECT_EQ(table.GetTable().size(), 134u);
    EXPECT_EQ(table.Find(101)->GetKeyName(), L"ShowWdxntPlugInManagerButton");
    table.DeInitialize();
    EXPECT_TRUE(table.GetTable().empty());
}

}  // namespace
