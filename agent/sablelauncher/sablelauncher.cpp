// Stand-in for the agent's manual-scan launcher: journals how it was started.
//
//   PROGRAM <the program file it runs as>
//   COMMANDLINE <its command line, exactly>
//   TARGET <the -manual_scan_target argument, or (none)>

#include <windows.h>

#include <cstdio>
#include <string>

#include "journal.h"

int wmain()
{
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring commandLine = ::GetCommandLineW();

    const std::wstring option = L" -manual_scan_target ";
    const size_t at = commandLine.find(option);
    const std::string target =
        at == std::wstring::npos ? "(none)" : AgentStub::WideToUtf8(commandLine.substr(at + option.size()));

    const std::wstring journal = AgentStub::DefaultJournalPath();
    bool ok = AgentStub::AppendJournalLine(journal, "PROGRAM " + AgentStub::WideToUtf8(program));
    ok = AgentStub::AppendJournalLine(journal, "COMMANDLINE " + AgentStub::WideToUtf8(commandLine)) && ok;
    ok = AgentStub::AppendJournalLine(journal, "TARGET " + target) && ok;
    printf("sablelauncher: manual scan of \"%s\"\n", target.c_str());
    return ok ? 0 : 1;
}
