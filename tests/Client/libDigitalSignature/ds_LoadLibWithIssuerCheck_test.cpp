// The issuer-checked load over the signed corpus: the refusal matrix with its
// event and record, names without extension, and the file held from the check
// to the load.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "corpus_manifest.h"
#include "ds_CreateProcWithIssuerCheck.h"
#include "ds_LoadLibWithIssuerCheck.h"
#include "ds_TestHooks.h"
#include "ds_test_provider.h"
#include "test_support.h"

using namespace KsxCorpus;

namespace {

using DsTest::Corpus;
using KsxTest::Wide;
const std::wstring kCvNotify = L"..\\agent\\cvnotify\\cvnotify.dll";

// Lines of cvnotify.journal that report an event.
int EventCount(const std::wstring& journal, std::string& last)
{
    std::ifstream in(journal.c_str());
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("ReportEventLogEx|", 0) == 0)
            ++count, last = line;
    }
    return count;
}

class IssuerCheckTest : public DsTest::CInstalledAgentTest {
protected:
    void TearDown() override
    {
        ::DeleteFileW((KsxTest::ExeDir() + L"cvnotify.dll").c_str());
        ::DeleteFileW(m_journal.c_str());
    }
    std::wstring Scratch(const wchar_t* name, const wchar_t* from) const
    {
        const std::wstring path = Wide(m_scratch.Path()) + name;
        EXPECT_TRUE(::CopyFileW(Corpus(from).c_str(), path.c_str(), FALSE));
        return path;
    }

    const std::wstring m_journal = KsxTest::ExeDir() + L"cvnotify.journal";
};

TEST_F(IssuerCheckTest, RefusalMatrixWithEventAndRecord)
{
    const std::wstring folder = Wide(m_scratch.Path());
    struct CRow {
        const wchar_t* issuer;
        std::wstring file;
        bool notifier;  // cvnotify.dll installed
        DWORD error;    // 0: loaded
        int events;
    };
    const CRow rows[] = {
        {nullptr, Corpus(kVendorSha384Dll), true, ERROR_INVALID_PARAMETER, 0},
        {kCorvaneIssuer, folder, true, ERROR_FILE_NOT_FOUND, 0},
        {kCorvaneIssuer, folder + L"missing.dll", true, ERROR_FILE_NOT_FOUND, 0},
        {kCorvaneIssuer, Corpus(kUnsignedDll), true, ERROR_FAILED_ISSUER_CHECK, 1},
        {kCorvaneIssuer, Corpus(kTamperedDll), true, ERROR_FAILED_ISSUER_CHECK, 1},
        // A valid signature by a Microsoft name: the vendor alone is allowed.
        {kCorvaneIssuer, Corpus(kMsCorporationDll), true, ERROR_FAILED_ISSUER_CHECK, 1},
        // The event report fails; the error stays.
        {kCorvaneIssuer, Corpus(kUnsignedDll), false, ERROR_FAILED_ISSUER_CHECK, 0},
        // The issuer only names the signer in messages.
        {L"Microsoft Corporation", Corpus(kMsCorporationDll), true, ERROR_FAILED_ISSUER_CHECK, 1},
        {L"Someone Else", Corpus(kVendorSha384Dll), true, 0, 0},
        {kCorvaneIssuer, Corpus(kVendorSha384Dll), true, 0, 0},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.file + L" / " + (row.issuer ? row.issuer : L"(null)"));
        ::DeleteFileW(m_journal.c_str());
        ::DeleteFileA(RecordPath().c_str());
        // The event writer looks beside the test executable.
        ::DeleteFileW((KsxTest::ExeDir() + L"cvnotify.dll").c_str());
        ASSERT_TRUE(!row.notifier || ::CopyFileW((KsxTest::ExeDir() + kCvNotify).c_str(),
                                                 (KsxTest::ExeDir() + L"cvnotify.dll").c_str(), FALSE));

        ::SetLastError(0xdeadbeef);
        UTIL::CUniqueModule module(LoadLibraryWithIssuerCheckW(row.issuer, row.file.c_str()));
        const DWORD error = ::GetLastError();
        EXPECT_EQ(!!module, row.error == 0);
        if (row.error) {
            EXPECT_EQ(error, row.error);
        }
        std::string event;
        EXPECT_EQ(EventCount(m_journal, event), row.events);
        if (row.events) {
            const std::string file(row.file.begin(), row.file.end());
            const std::string issuer(row.issuer, row.issuer + wcslen(row.issuer));
            EXPECT_EQ(event,
                      "ReportEventLogEx||2|5|0x80050258|Bastion agent attempted to load a library not signed by "
                      "the expected issuer \"" +
                          issuer +
                          "\". The process was stopped. Verify the integrity of "
                          "the library and try again (" +
                          file + ").");
        }
        // Refused by its signature: the record names the file (no record before the check).
        EXPECT_EQ(Record().empty(), row.error != ERROR_FAILED_ISSUER_CHECK);
    }
    EXPECT_FALSE(CheckFileIssuer(nullptr, kCorvaneIssuer));
    EXPECT_FALSE(CheckFileIssuer(Corpus(kVendorSha384Dll).c_str(), nullptr));
}

// Without the "." the loader would look for "vendorlib.dll"; for a relative
// name it searches the executable's folder, where a decoy lies, before the
// current one.
TEST_F(IssuerCheckTest, TheFileCheckedIsTheFileLoaded)
{
    const std::wstring decoy = KsxTest::ExeDir() + L"relative.dll";
    ASSERT_TRUE(::CopyFileW(Corpus(kUnsignedDll).c_str(), decoy.c_str(), FALSE));
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(Wide(m_scratch.Path()).c_str());
    for (const bool relative : {false, true}) {
        const std::wstring checked = Scratch(relative ? L"relative.dll" : L"vendorlib", kVendorSha384Dll);
        UTIL::CUniqueModule module(
            LoadLibraryWithIssuerCheckW(kCorvaneIssuer, relative ? L"relative.dll" : checked.c_str()));
        EXPECT_TRUE(module) << ::GetLastError();
        wchar_t loaded[MAX_PATH] = {};
        ::GetModuleFileNameW(module.get(), loaded, MAX_PATH);
        EXPECT_EQ(_wcsicmp(loaded, checked.c_str()), 0) << loaded;
    }
    ::SetCurrentDirectoryW(previous);
    ::DeleteFileW(decoy.c_str());
}

// Replaces the library under check with one that has no version resource.
std::wstring g_target;
std::wstring g_replacement;
bool g_overwritten = true;
bool g_renamed = true;

void Intrude(const wchar_t*)
{
    std::thread([] {
        g_overwritten = ::CopyFileW(g_replacement.c_str(), g_target.c_str(), FALSE) != 0;
        g_renamed = ::MoveFileExW(g_target.c_str(), (g_target + L".old").c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        if (g_renamed)
            ::CopyFileW(g_replacement.c_str(), g_target.c_str(), FALSE);
    }).join();
}

TEST_F(IssuerCheckTest, FileCannotBeReplacedBetweenCheckAndLoad)
{
    g_target = Scratch(L"held.dll", kVendorSha384Dll);
    g_replacement = Corpus(kUnsignedNoVersionDll);
    const auto previous = DSTestHooks::SetAfterIssuerCheckHook(Intrude);
    UTIL::CUniqueModule module(LoadLibraryWithIssuerCheckW(kCorvaneIssuer, g_target.c_str()));
    DSTestHooks::SetAfterIssuerCheckHook(previous);

    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_FALSE(g_overwritten);
    EXPECT_FALSE(g_renamed);
    // The verified library carries a version resource; the intruder's does not.
    EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)), nullptr);
}

}  // namespace
