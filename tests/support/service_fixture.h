// A Windows service installed (stopped) for a test through the service control
// manager and stopped and deleted afterwards; by default the agent's NTRtWatch
// from bin\ntrtwatch.exe.
#pragma once

#include <windows.h>

#include <string>

#include "ut_Handle.h"

namespace KsxTest {

class CServiceFixture {
public:
    explicit CServiceFixture(const std::wstring& name = L"NTRtWatch", const std::wstring& exePath = L"");
    ~CServiceFixture();
    CServiceFixture(const CServiceFixture&) = delete;
    CServiceFixture& operator=(const CServiceFixture&) = delete;

    bool Installed() const { return m_installed; }

    // Each sends its request and waits (at most `timeoutMs`) for the state it
    // leads to: SERVICE_RUNNING, SERVICE_STOPPED, SERVICE_PAUSED, SERVICE_RUNNING.
    bool Start(DWORD timeoutMs = 20000);
    bool Stop(DWORD timeoutMs = 20000);
    bool Pause(DWORD timeoutMs = 20000);
    bool Continue(DWORD timeoutMs = 20000);

    // The current dwCurrentState, or 0 when it cannot be queried.
    DWORD State() const;

    // Stops and deletes the service if it exists; true once it is gone.
    static bool Remove(const std::wstring& name, DWORD timeoutMs = 20000);

private:
    UTIL::CUniqueServiceHandle Open(DWORD access) const;
    bool Control(DWORD control, DWORD target, DWORD timeoutMs);

    std::wstring m_strName;
    bool m_installed = false;
};

}  // namespace KsxTest
