// A Windows service installed for a test through the service control manager
// and removed afterwards; by default the agent's NTRtWatch from bin\ntrtwatch.exe.
//
//   KsxTest::CServiceFixture service;   // installed, stopped
//   ASSERT_TRUE(service.Start());       // waits for SERVICE_RUNNING
//   ... service.Pause(); service.Continue(); service.Stop();
//   // the destructor stops and deletes it
#pragma once

#include <windows.h>

#include <string>

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
    bool Control(DWORD control, DWORD target, DWORD timeoutMs);
    bool WaitForState(DWORD target, DWORD timeoutMs) const;

    std::wstring m_strName;
    bool m_installed = false;
};

}  // namespace KsxTest
