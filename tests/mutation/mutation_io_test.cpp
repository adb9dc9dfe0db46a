// Hostile selections handed to the tray monitor, and hostile LOG_WRITE
// commands sent to the agent's log server.
#include <algorithm>
#include <sstream>

#include "cntts_ScanDispatch.h"
#include "log_fixtures.h"
#include "logsrv_Record.h"
#include "mutation.h"
#include "shell_fixtures.h"
#include "test_support.h"

using namespace Mutation;

namespace {

// A path of exactly `bytes` ANSI bytes below `root`.
std::wstring PathOfBytes(const std::wstring& root, size_t bytes, wchar_t fill = L'p')
{
    std::wstring path = root;
    while (path.size() < bytes)
        path += (path.size() % 100 == 99 && path.size() + 1 < bytes) ? L'\\' : fill;
    return path;
}

bool Ascii(const std::wstring& s)
{
    return std::all_of(s.begin(), s.end(), [](wchar_t c) { return c > 0 && c < 0x80; });
}

// Paths of 259 to 521 bytes, prefixed, UNC, outside the ANSI code page, with
// the request's own separator, and random characters.
std::vector<std::wstring> HostilePaths(CMutator& m, size_t count)
{
    const std::wstring roots[] = {L"C:\\",
                                  L"\\\\?\\C:\\",
                                  L"\\\\server\\share\\",
                                  L"\\\\?\\UNC\\server\\share\\",
                                  L"\\\\?\\GLOBALROOT\\Device\\",
                                  L"\\\\?\\",
                                  L"",
                                  L"C:"};
    const wchar_t odd[] = {L'\u691c', L'\u00fc', L'\u03a9', L'\xD83D', L'\xDC0D', L'?', L'\u0301', L'\x1'};
    const size_t lengths[] = {1, 3, 8, 259, 260, 261, 519, 520, 521, 1000};
    std::vector<std::wstring> paths;
    for (size_t i = 0; i < count; ++i) {
        std::wstring p = PathOfBytes(roots[m.Pick(8)], lengths[m.Pick(10)]);
        for (size_t k = 0, n = m.Pick(3); k < n && !p.empty(); ++k)
            p[m.Pick(p.size())] = m.Pick(4) ? odd[m.Pick(8)] : static_cast<wchar_t>(1 + m.Pick(0xFFFE));
        paths.push_back(p);
    }
    return paths;
}

TEST(IoMutationTest, HostileSelectionsReachTheMonitorAsSendablePathsOnly)
{
    CArea area("selections and paths");
    KsxTest::CAgentRegistry registry;
    CMutator m(260);
    // One path at a time: what is sent is one ANSI path of at most 519 bytes
    // without the separator; a plain ASCII path is sent unchanged or refused
    // by its length or its "?" (none of them exists, so no short form).
    const std::vector<std::wstring> singles = HostilePaths(m, 600);
    for (const std::wstring& path : singles) {
        area.Case("path of " + std::to_string(path.size()) + " characters", [&] {
            std::string out = "untouched";
            const char* reason = nullptr;
            if (KsxShell::MonitorPathFromWide(path, out, &reason)) {
                EXPECT_TRUE(!out.empty() && out.size() <= KsxShell::kMaxRequestPathBytes);
                EXPECT_EQ(out.find_first_of(std::string("?\0", 2)), std::string::npos);
            } else {
                EXPECT_EQ(out, "untouched");
                EXPECT_NE(reason, nullptr);
            }
            if (Ascii(path) && path.compare(0, 4, L"\\\\?\\") != 0) {
                EXPECT_EQ(out == std::string(path.begin(), path.end()),
                          path.size() <= KsxShell::kMaxRequestPathBytes && path.find(L'?') == std::wstring::npos);
            }
        });
    }
    // Whole selections of 1,000 paths: the request carries exactly the
    // sendable ones, in order, joined by "?", ending in one NUL.
    ShellTest::CFakeMonitor monitor;
    std::vector<std::vector<std::wstring>> selections = {
        std::vector<std::wstring>(1000, L"C:\\a.txt"),
        std::vector<std::wstring>(1000, PathOfBytes(L"C:\\", 519)),
        std::vector<std::wstring>(1000, PathOfBytes(L"C:\\", 520)),
    };
    for (int i = 0; i < 5; ++i)
        selections.push_back(HostilePaths(m, 1000));
    for (size_t s = 0; s < selections.size(); ++s) {
        area.Case("selection " + std::to_string(s), [&] {
            std::vector<std::string> sendable;
            for (const std::wstring& path : selections[s]) {
                std::string out;
                if (KsxShell::MonitorPathFromWide(path, out, nullptr))
                    sendable.push_back(out);
            }
            const int before = monitor.requests;
            {
                auto handler = ShellTest::NewHandlerWith(selections[s]);
                ASSERT_TRUE(handler);
                EXPECT_EQ(ShellTest::Invoke(handler.Get()), S_OK);
            }
            EXPECT_EQ(monitor.requests, before + (sendable.empty() ? 0 : 1));
            if (!sendable.empty()) {
                EXPECT_EQ(monitor.data, KsxShell::JoinMonitorRequest(sendable));
            }
        });
    }
}

constexpr wchar_t kPipe[] = L"\\\\.\\pipe\\Log_ServerNamePipe";

// One connection, one message.
bool SendMessage(const std::string& bytes)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        UTIL::CUniqueFile pipe(::CreateFileW(kPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!pipe) {
            ::WaitNamedPipeW(kPipe, 100);
            continue;
        }
        DWORD written = 0;
        return ::WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    return false;
}

// What the server must make of a message: each command up to a U+0000 at an
// even offset is filed when it parses, else counted malformed, and so is an
// unterminated rest or a command past the server's 1 MiB limit.
void Expect(const std::string& bytes, std::vector<std::string>& lines, unsigned long& malformed)
{
    size_t begin = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        if (bytes[i] || bytes[i + 1])
            continue;
        std::wstring command((i - begin) / 2, L'\0');
        if (!command.empty())
            memcpy(&command[0], bytes.data() + begin, i - begin);
        begin = i + 2;
        LogServer::CLogRecord record;
        std::string reason;
        if (command.size() * 2 > (1u << 20) || !LogServer::ParseLogWrite(command, record, reason)) {
            ++malformed;
            continue;
        }
        const std::string line = LogServer::FormatLogLine(record);
        // One record, one line.
        EXPECT_EQ(line.find_first_of("\r\n"), line.size() - 2) << line;
        lines.push_back(line.substr(0, line.size() - 2));
    }
    malformed += begin < bytes.size();
}

TEST(IoMutationTest, HostileLogWriteCommandsAreFiledOrCountedNeverLost)
{
    CArea area("LOG_WRITE commands");
    KsxTest::CLevelWord quiet(0);  // only this test's own commands reach the server
    KsxTest::CTempFolder folder;
    const std::string logFile = folder.Path() + "server.log";
    KsxTest::CLogServerProcess server(logFile);
    ASSERT_TRUE(server.Started());

    const std::wstring good[] = {
        L"LOG_WRITE\t1700000000\t4242\t17\t68\tsrc\\a.cpp\t12\t[][x.exe]A::B - text",
        L"LOG_WRITE\t-2147483648\t4294967295\t0\t300\t\t0\t",
        L"LOG_WRITE\t1\t2\t3\t68\tod\td.cpp\t12\ttext\t34\tmore\r\nnext\x01\u00e9",
    };
    const std::wstring fields[] = {L"-1",
                                   L"2147483648",
                                   L"4294967296",
                                   L"+4",
                                   L"",
                                   L"0x10",
                                   L"99999999999999999999",
                                   L"\t",
                                   L"\U0001F50D",
                                   std::wstring(1, L'\xD800'),
                                   std::wstring(70000, L'9')};
    std::vector<std::string> expected;
    unsigned long malformed = 0;
    auto send = [&](const std::string& what, const std::string& bytes) {
        area.Case(what, [&] {
            Expect(bytes, expected, malformed);
            EXPECT_TRUE(SendMessage(bytes));
        });
    };
    CMutator m(68);
    for (int i = 0; i < 220; ++i) {
        std::wstring command = good[m.Pick(3)];
        std::string bytes;
        switch (i % 5) {
        case 0: {  // one field replaced
            size_t tab = 0;
            for (size_t k = 0, n = m.Pick(7); k < n; ++k)
                tab = command.find(L'\t', tab + 1);
            const size_t end = command.find(L'\t', tab + 1);
            command.replace(tab + 1, end == std::wstring::npos ? std::wstring::npos : end - tab - 1,
                            fields[m.Pick(11)]);
            bytes = KsxTest::Utf16z(command);
            break;
        }
        case 1:  // several commands in one message, the last one maybe cut
            for (size_t k = 0, n = 2 + m.Pick(4); k < n; ++k)
                bytes += KsxTest::Utf16z(good[m.Pick(3)]);
            bytes.resize(bytes.size() - m.Pick(5));
            break;
        case 2:  // a text of up to 100,000 characters (the log file rotates at 16 MiB)
            bytes =
                KsxTest::Utf16z(command + std::wstring(m.Pick(100000), static_cast<wchar_t>(0x20 + m.Pick(0x7F00))));
            break;
        default:
            bytes = m.Mutate(KsxTest::Utf16z(command), i);
            break;
        }
        send("message " + std::to_string(i), bytes);
    }
    // Well past the server's 1 MiB limit (where exactly it cuts depends on its reads).
    send("past the limit", KsxTest::Utf16z(good[0] + std::wstring(1500000, L'x')));
    send("past the limit, unterminated", Utf16(good[0] + std::wstring(1500000, L'y')));
    area.Case("the server's count", [&] {
        EXPECT_TRUE(KsxTest::WaitForLines(logFile, expected.size()));
        EXPECT_EQ(server.Stop(), 0u);
        std::vector<std::string> lines = KsxTest::ReadLines(logFile);
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(lines == expected) << lines.size() << " lines filed, " << expected.size() << " expected";
        std::ostringstream summary;
        summary << expected.size() << " records filed, " << malformed << " malformed commands";
        EXPECT_NE(server.Output().find(summary.str()), std::string::npos) << server.Output().substr(0, 2000);
    });
}

}  // namespace
