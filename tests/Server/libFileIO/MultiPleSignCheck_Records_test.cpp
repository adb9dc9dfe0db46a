// The invalid-signature records: where they go, their bytes, and the
// telemetry value.
#include <gtest/gtest.h>

#include <string>

#include "MultiPleSignCheck.h"
#include "log_fixtures.h"
#include "test_support.h"

namespace {

const char kServiceInformation[] = "SOFTWARE\\Corvane\\Bastion\\service\\Information";
const char kMisc[] = "SOFTWARE\\Corvane\\WardexNTCorp\\CurrentVersion\\Misc.";

using KsxTest::ReadBytes;
using KsxTest::Wide;
const auto RecordBytes = KsxTest::Utf16z;

void SetLocalPath(const std::string& folder)
{
    UTIL::CUniqueHKey key;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServiceInformation, 0, nullptr, 0,
                                KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExA(key.get(), "Local_Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                               static_cast<DWORD>(folder.size() + 1)),
              ERROR_SUCCESS);
}

struct CTelemetry {
    bool found = false;
    DWORD type = 0, cb = 0;
    std::wstring text;
};
CTelemetry ReadTelemetry()
{
    CTelemetry t;
    UTIL::CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kMisc, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return t;
    wchar_t data[300] = {};
    t.cb = sizeof(data);
    t.found = ::RegQueryValueExW(key.get(), L"TelemetryACSLocalVerifyFail", nullptr, &t.type,
                                 reinterpret_cast<BYTE*>(data), &t.cb) == ERROR_SUCCESS;
    t.text = data;
    return t;
}

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_registry.SetString("", "Application Path", m_app.Path());
        ::CreateDirectoryA((m_app.Path() + "Misc").c_str(), nullptr);
        ::CreateDirectoryA((m_local.Path() + "TEMP").c_str(), nullptr);
    }
    std::string AppRecord() const { return m_app.Path() + "Misc\\DSInvalidLogLastInfo.log"; }
    std::string LocalRecord() const { return m_local.Path() + "TEMP\\DSInvalidLogLastInfo.log"; }

    KsxTest::CAgentRegistry m_registry;
    KsxTest::CTempFolder m_app;
    KsxTest::CTempFolder m_local;
    CVerifyFileSignV2& m_verifier = *CVerifyFileSignV2::GetInstance();
};

TEST_F(RecordTest, TheFolderComesFromApplicationPathAndFromLocalPathOnlyWithoutTheAgentKey)
{
    struct Case {
        const char* what;
        bool agentKey;
        const char* appPath;  // null: no value
        bool localPath;
        int expected;  // 0 none, 1 Application Path\Misc, 2 Local_Path\TEMP
    };
    const std::string app = m_app.Path();
    const std::string bare = app.substr(0, app.size() - 1);
    const Case cases[] = {
        {"both keys", true, app.c_str(), true, 1},      {"no trailing backslash", true, bare.c_str(), true, 1},
        {"agent key missing", false, nullptr, true, 2}, {"value missing: Local_Path not tried", true, nullptr, true, 0},
        {"value empty: no folder", true, "", true, 0},  {"neither key", false, nullptr, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KsxTest::CAgentRegistry::RemoveAll();
        ::DeleteFileA(AppRecord().c_str());
        ::DeleteFileA(LocalRecord().c_str());
        if (c.agentKey) {
            m_registry.SetDword("", "Marker", 1);
            if (c.appPath)
                m_registry.SetString("", "Application Path", c.appPath);
        }
        if (c.localPath)
            SetLocalPath(m_local.Path());

        m_verifier.WriteDigitalSignInvalidLog(L"C:\\x.dll", 5);
        EXPECT_EQ(ReadBytes(AppRecord()), c.expected == 1 ? RecordBytes(L"C:\\x.dll\t5") : "");
        EXPECT_EQ(ReadBytes(LocalRecord()), c.expected == 2 ? RecordBytes(L"C:\\x.dll\t5") : "");
    }
}

TEST_F(RecordTest, RecordBytesAreOverwrittenInPlaceAndALongerOldRecordKeepsItsTail)
{
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\Program Files\\a-long-name.dll", static_cast<int>(0x800B0100));
    EXPECT_EQ(ReadBytes(AppRecord()), RecordBytes(L"C:\\Program Files\\a-long-name.dll\t-2146762496"));

    m_verifier.WriteDigitalSignInvalidLog(L"C:\\b.dll", static_cast<int>(0x20001447));
    const std::string fresh = RecordBytes(L"C:\\b.dll\t536876103");
    const std::string old = RecordBytes(L"C:\\Program Files\\a-long-name.dll\t-2146762496");
    EXPECT_EQ(ReadBytes(AppRecord()), fresh + old.substr(fresh.size()));
}

TEST_F(RecordTest, ALockedRecordFileIsLeftAloneWithAWarning)
{
    m_verifier.WriteDigitalSignInvalidLog(L"C:\\first.dll", 1);
    KsxTest::CLevelWord word(0);
    KsxTest::CLogCapture capture;
    ASSERT_TRUE(capture.Listening());
    {
        UTIL::CUniqueFile reader(
            ::CreateFileA(AppRecord().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        m_verifier.WriteDigitalSignInvalidLog(L"C:\\second.dll", 2);
        EXPECT_EQ(m_verifier.WriteShimBinaryInvalidLog(L"C:\\second.dll", -2), 1);  // another file
    }
    EXPECT_EQ(ReadBytes(AppRecord()), RecordBytes(L"C:\\first.dll\t1"));
    EXPECT_EQ(ReadBytes(m_app.Path() + "Misc\\SBInvalidLogLastInfo.log"), RecordBytes(L"C:\\second.dll\t-2"));
    ASSERT_TRUE(capture.WaitForCommands(1));
    const auto records = capture.Records();
    ASSERT_EQ(records.size(), 1u);  // the shim writer logs nothing
    EXPECT_EQ(records[0].level, L"87");
    EXPECT_NE(records[0].text.find(L"CVerifyFileSignV2::WriteDigitalSignInvalidLog - Failed to open file: " +
                                   Wide(AppRecord()) + L", Windows error code: 20"),
              std::wstring::npos);
}

TEST_F(RecordTest, TextLongerThanTheBuffersIsCutBeforeTheCodeAndNeverInsideASurrogatePair)
{
    m_registry.SetDword("Misc.", "Marker", 1);
    std::wstring path = L"C:\\" + std::wstring(600, L'p');
    // Record: 511 characters leave 508 for the path before "\t-7".
    path[507] = 0xD83D, path[508] = 0xDE00;
    // Telemetry: 259 characters leave 238 before "|0.0.0.0|0x00000000|0".
    path[237] = 0xD83D, path[238] = 0xDE00;

    const std::string record = RecordBytes(path.substr(0, 507) + L"\t-7");
    m_verifier.WriteDigitalSignInvalidLog(path.c_str(), -7);
    EXPECT_EQ(ReadBytes(AppRecord()), record);
    EXPECT_EQ(m_verifier.WriteShimBinaryInvalidLog(path.c_str(), -7), 1);
    EXPECT_EQ(ReadBytes(m_app.Path() + "Misc\\SBInvalidLogLastInfo.log"), record);

    m_verifier.WriteDigitalSignInvalidTelemetryInfo(path.c_str(), 0, 0);
    const CTelemetry t = ReadTelemetry();
    EXPECT_EQ(t.cb, 520u);
    EXPECT_EQ(t.text, path.substr(0, 237) + L"|0.0.0.0|0x00000000|0");
}

TEST_F(RecordTest, TelemetryIsA520ByteStringUnderAnExistingMiscKeyOnly)
{
    const std::wstring self = KsxTest::ExeDir() + L"libFileIO_tests.exe";
    const std::wstring noVersion = Wide(m_app.WriteFile("plain.dll", "MZ"));
    struct Case {
        const std::wstring* file;
        DWORD a, b;
        std::wstring text;
    };
    const Case cases[] = {
        {&noVersion, 0, 0, noVersion + L"|0.0.0.0|0x00000000|0"},
        {&self, 0xBEEF, static_cast<DWORD>(-3), self + L"|4.3.2.1|0x0000beef|-3"},
    };

    m_verifier.WriteDigitalSignInvalidTelemetryInfo(noVersion.c_str(), 0, 0);
    EXPECT_FALSE(KsxTest::KeyExists(HKEY_LOCAL_MACHINE, kMisc, KEY_WOW64_32KEY));

    m_registry.SetDword("Misc.", "Marker", 1);
    for (const Case& c : cases) {
        m_verifier.WriteDigitalSignInvalidTelemetryInfo(c.file->c_str(), c.a, c.b);
        const CTelemetry t = ReadTelemetry();
        ASSERT_TRUE(t.found);
        EXPECT_EQ(t.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(t.cb, 520u);
        EXPECT_EQ(t.text, c.text);
    }
}

}  // namespace
