#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_fixtures.h"
#include "oicm_ConfigureManager.h"
#include "test_support.h"

namespace {

using namespace BrixIntegration;

constexpr DWORD kMarker = 0xDEADBEEF;

struct RegValue {
    LONG rc = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    DWORD value = kMarker;
};

RegValue ReadSwitch(const std::wstring& name)
{
    RegValue out;
    UTIL::CUniqueHKey key;
    out.rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kIntegrationKeyW, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
    DWORD size = sizeof(out.value);
    if (out.rc == ERROR_SUCCESS)
        out.rc =
            ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &out.type, reinterpret_cast<BYTE*>(&out.value), &size);
    return out;
}

void CreateKey(const wchar_t* path, REGSAM view = KEY_WOW64_32KEY)
{
    UTIL::CUniqueHKey key;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
}

const char kSwitches[] = "BrixIntegrationConfiguration";
const wchar_t kRookKey[] = L"SOFTWARE\\Corvane\\Rook";

// Counts reads and writes through the slots; fails the writes it is told to.
class CProbeManager : public CConfigureManager {
public:
    using CConfigureContainer::Load;

    int GetRegistryValueInteger(const wchar_t* name, DWORD& value) override
    {
        ++m_nReads;
        return CConfigureManager::GetRegistryValueInteger(name, value);
    }
    int SetRegistryValueInteger(const wchar_t* name, DWORD value) override
    {
        ++m_nWrites;
        if (name && m_failing.count(name))
            return BRIX_CFG_ERR_WRITE_VALUE;
        return CConfigureManager::SetRegistryValueInteger(name, value);
    }

    int m_nReads = 0;
    int m_nWrites = 0;
    std::set<std::wstring> m_failing;
};

class ConfigureManagerTest : public ::testing::Test {
protected:
    std::wstring WriteIni(const std::string& content)
    {
        const std::string path = m_folder.WriteFile("brix.ini", content);
        return std::wstring(path.begin(), path.end());
    }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_folder;
};

TEST_F(ConfigureManagerTest, TellsTheClientKindFromTheThirtyTwoBitView)
{
    EXPECT_EQ(CConfigureManager().IsRunAsBastionClient(), 1);

    CreateKey(kRookKey, KEY_WOW64_64KEY);
    EXPECT_EQ(CConfigureManager().IsRunAsBastionClient(), 1);
    KsxTest::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane", KEY_WOW64_64KEY);

    m_registry.SetString("Misc.", "ProductName", "Corvane Skiff Business Security");
    EXPECT_EQ(CConfigureManager().IsRunAsBastionClient(), 0);
    m_registry.DeleteValue("Misc.", "ProductName");

    CreateKey(L"SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion\\HostedAgent");
    EXPECT_EQ(CConfigureManager().IsRunAsBastionClient(), 0);

    CreateKey(kRookKey);
    EXPECT_FALSE(CConfigureManager().IsPlainBastionClient());
}

TEST_F(ConfigureManagerTest, PlainClientReadsOnlyFlaggedSwitches)
{
    m_registry.SetDword(kSwitches, "EnableManualLanguageSwitch", 1);
    m_registry.SetDword(kSwitches, "ShowWdxntPlugInManagerButton", 0);
    CProbeManager manager;
    ASSERT_TRUE(manager.IsPlainBastionClient());
    EXPECT_EQ(manager.IsEnable(CConfigureId::ID_ENABLE_MANUAL_LANGUAGE_SWITCH), 0);
    EXPECT_EQ(manager.IsEnable(101), 1);
    EXPECT_EQ(manager.m_nReads, 0);
    // 206 is flagged: a missing value gives its default 1, a value 0 gives 0.
    EXPECT_EQ(manager.IsEnable(206), 1);
    m_registry.SetDword(kSwitches, "SendToHttpServerWithComputerName", 0);
    EXPECT_EQ(manager.IsEnable(206), 0);
    EXPECT_EQ(manager.m_nReads, 2);
}

TEST_F(ConfigureManagerTest, RookClientReadsEverySwitchAndUnknownIdsAnswerZeroAndSaySo)
{
    CreateKey(kRookKey);
    CProbeManager manager;
    // No integration key: the defaults.
    EXPECT_EQ(manager.IsEnable(101), 1);
    EXPECT_EQ(manager.IsEnable(159), 0);
    EXPECT_EQ(manager.m_nReads, 2);
    for (DWORD on : {1u, 2u, 0xFFFFFFFFu}) {
        m_registry.SetDword(kSwitches, "EnableManualLanguageSwitch", on);
        EXPECT_EQ(manager.IsEnable(159), 1) << on;
    }
    m_registry.SetDword(kSwitches, "ShowWdxntPlugInManagerButton", 0);
    EXPECT_EQ(manager.IsEnable(101), 0);
    // The type is not looked at, but a value longer than 4 bytes is not read.
    const wchar_t text[] = L"00000000";
    m_registry.SetRaw(kSwitches, L"ShowWdxntPlugInManagerButton", REG_SZ, text, sizeof(text));
    EXPECT_EQ(manager.IsEnable(101), 1);
    const DWORD one = 1;
    m_registry.SetRaw(kSwitches, L"PurgeLogVeltraBmRook", REG_BINARY, &one, sizeof(one));
    EXPECT_EQ(manager.IsEnable(108), 1);

    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    manager.m_nReads = 0;
    EXPECT_EQ(manager.IsEnable(170), 0);
    ASSERT_TRUE(capture.WaitForCommands(2));
    // Records may arrive on different pipe instances: match them by text.
    std::wstring notFound, information;
    for (const auto& r : capture.Records()) {
        if (r.text.find(L"BrixIntegration::CConfigureManager::IsEnable - Configure ID: [170] is not found in "
                        L"configuration table.") != std::wstring::npos)
            notFound = r.level;
        if (r.text.find(L"IsEnable - Configure information - ID:[170], Value:[0].") != std::wstring::npos)
            information = r.level;
    }
    EXPECT_EQ(notFound, L"69");
    EXPECT_EQ(information, L"68");
    for (int id : {0, -1, 172, 238})
        EXPECT_EQ(manager.IsEnable(id), 0) << id;
    EXPECT_EQ(manager.m_nReads, 0);
}

TEST_F(ConfigureManagerTest, AccessorsAndIniUpdatesRefuseBadInputAndLeaveTheValueOnFailure)
{
    CProbeManager manager;
    DWORD value = kMarker;
    EXPECT_EQ(manager.GetRegistryValueInteger(nullptr, value), BRIX_CFG_ERR_INPUT_NULL);
    EXPECT_EQ(manager.GetRegistryValueInteger(L"", value), BRIX_CFG_ERR_INPUT_EMPTY);
    EXPECT_EQ(manager.CConfigureManager::SetRegistryValueInteger(nullptr, 1), BRIX_CFG_ERR_INPUT_NULL);
    EXPECT_EQ(manager.CConfigureManager::SetRegistryValueInteger(L"", 1), BRIX_CFG_ERR_INPUT_EMPTY);
    EXPECT_EQ(manager.GetRegistryValueInteger(L"EnableDC", value), BRIX_CFG_ERR_OPEN_KEY);
    // The write creates the key, in the 32-bit view, as REG_DWORD.
    ASSERT_EQ(manager.SetRegistryValueInteger(L"EnableDC", 0x80000001), BRIX_CFG_SUCCESS);
    EXPECT_EQ(ReadSwitch(L"EnableDC").type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(manager.GetRegistryValueInteger(L"EnableAOS", value), BRIX_CFG_ERR_READ_VALUE);
    EXPECT_EQ(value, kMarker);
    ASSERT_EQ(manager.GetRegistryValueInteger(L"EnableDC", value), BRIX_CFG_SUCCESS);
    EXPECT_EQ(value, 0x80000001u);

    manager.m_nWrites = 0;
    EXPECT_EQ(manager.UpdateKeyFromIniW(nullptr, 0), BRIX_CFG_ERR_INPUT_NULL);
    EXPECT_EQ(manager.CreateKeyFromIniW(L"", 0), BRIX_CFG_ERR_INPUT_EMPTY);
    EXPECT_EQ(manager.CreateKeyFromIniA(nullptr, 0), BRIX_CFG_ERR_INPUT_NULL);
    EXPECT_EQ(manager.UpdateKeyFromIniA("", 0), BRIX_CFG_ERR_INPUT_EMPTY);
    // Not UTF-8: refused rather than read as another, missing, file.
    EXPECT_EQ(manager.UpdateKeyFromIniA("C:\\M\xFCller\\brix.ini", 0), BRIX_CFG_ERR_CONVERT_PATH);
    // A null file name does not make the profile API fall back to WIN.INI.
    EXPECT_EQ(manager.GetIniValueInteger(L"Global Setting", L"EnableDC", 3, nullptr), 3u);
    manager.DeInitialize();
    EXPECT_EQ(manager.UpdateKeyFromIniW(L"C:\\brix.ini", 0), BRIX_CFG_ERR_TABLE_EMPTY);
    EXPECT_EQ(manager.m_nWrites, 0);
}

TEST_F(ConfigureManagerTest, IniWithoutTheSectionWritesEveryDefault)
{
    // The right key names in another section do not count.
    const std::wstring ini = WriteIni("[Other]\r\nEnableManualLanguageSwitch=1\r\nShowWdxntPlugInManagerButton=0\r\n");
    CProbeManager manager;
    EXPECT_EQ(manager.UpdateKeyFromIniW(ini.c_str(), 0), BRIX_CFG_SUCCESS);
    EXPECT_EQ(manager.m_nWrites, 134);
    for (const auto& entry : manager.GetTable()) {
        const RegValue stored = ReadSwitch(entry.second.GetKeyName());
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD)) << entry.first;
        EXPECT_EQ(stored.value, entry.second.GetDefaultValue()) << entry.first;
    }
}

std::vector<std::pair<int, DWORD>> g_calls;
int RecordCall(int argument)
{
    g_calls.emplace_back(argument, ReadSwitch(L"WithCallback").value);
    return 0;
}

// A failed write is logged and the entries after it are written; the last
// entry decides the result. Callbacks run after their own write, when asked.
TEST_F(ConfigureManagerTest, WritesGoOnPastFailuresAndCallbacksRunOnlyWhenAsked)
{
    const std::wstring ini = WriteIni("[Global Setting]\r\nWithCallback=5\r\n");
    const CConfigureRow rows[] = {
        {1, L"Refused", 0, RecordCall, 0},
        {2, L"Plain", 0, nullptr, 0},
        {3, L"WithCallback", 0, RecordCall, 0},
        {4, L"Last", 0, nullptr, 0},
    };
    CProbeManager manager;
    manager.Load(rows, std::size(rows));
    manager.m_failing = {L"Refused"};
    g_calls.clear();
    EXPECT_EQ(manager.UpdateKeyFromIniW(ini.c_str(), 0), BRIX_CFG_SUCCESS);
    EXPECT_EQ(ReadSwitch(L"WithCallback").value, 5u);
    EXPECT_EQ(ReadSwitch(L"Refused").rc, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(g_calls.empty());

    m_registry.RemoveAll();
    manager.m_failing = {L"Refused", L"Last"};
    EXPECT_EQ(manager.UpdateKeyFromIniW(ini.c_str(), 1), BRIX_CFG_ERR_WRITE_VALUE);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0], std::make_pair(0, DWORD(5)));
}

TEST_F(ConfigureManagerTest, NarrowIniPathIsUtf8)
{
    const std::wstring path =
        std::wstring(m_folder.Path().begin(), m_folder.Path().end()) + L"M\u00fcller \u65e5\u672c.ini";
    ASSERT_TRUE(::WritePrivateProfileStringW(L"Global Setting", L"EnableDC", L"7", path.c_str()));
    char utf8[MAX_PATH * 3] = {};
    ASSERT_GT(::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr), 0);

    CreateKey(kRookKey);
    CConfigureManager manager;
    EXPECT_EQ(manager.CreateKeyFromIniA(utf8, 0), BRIX_CFG_SUCCESS);
    EXPECT_EQ(ReadSwitch(L"EnableDC").value, 7u);
    EXPECT_EQ(manager.IsEnable(233), 1);
}

TEST_F(ConfigureManagerTest, OneInstancePerProcess)
{
    m_registry.SetDword(kSwitches, "SendToHttpServerWithComputerName", 0);
    std::vector<CConfigureManager*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = CConfigureManager::GetInstance(); });
    for (auto& t : threads)
        t.join();
    for (CConfigureManager* p : seen)
        EXPECT_EQ(p, CConfigureManager::GetInstance());
    EXPECT_EQ(seen[0]->IsEnable(206), 0);
}

}  // namespace
