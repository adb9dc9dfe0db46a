#include "service_fixture.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "ut_Handle.h"

namespace KsxTest {

namespace {

using UTIL::CUniqueServiceHandle;

CUniqueServiceHandle OpenManager()
{
    return CUniqueServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

DWORD QueryState(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool PollState(SC_HANDLE service, DWORD target, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (QueryState(service) == target)
            return true;
        if (::GetTickCount64() >= deadline)
            return false;
        ::Sleep(25);
    }
}

}  // namespace

CServiceFixture::CServiceFixture(const std::wstring& name, const std::wstring& exePath) : m_strName(name)
{
    if (!Remove(name)) {
        ADD_FAILURE() << "an earlier service could not be removed";
        return;
    }
    const std::wstring path = L"\"" + (exePath.empty() ? ExeDir() + L"ntrtwatch.exe" : exePath) + L"\"";
    CUniqueServiceHandle manager = OpenManager();
    if (!manager) {
        ADD_FAILURE() << "OpenSCManager failed, error " << ::GetLastError();
        return;
    }
    CUniqueServiceHandle service(::CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                  path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        ADD_FAILURE() << "CreateService failed, error " << ::GetLastError();
        return;
    }
    m_installed = true;
}

CServiceFixture::~CServiceFixture()
{
    if (m_installed) {
        EXPECT_TRUE(Remove(m_strName));
    }
}

bool CServiceFixture::Remove(const std::wstring& name, DWORD timeoutMs)
{
    CUniqueServiceHandle manager = OpenManager();
    if (!manager)
        return false;
    {
        CUniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!service)
            return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (QueryState(service.get()) != SERVICE_STOPPED) {
            SERVICE_STATUS status = {};
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            PollState(service.get(), SERVICE_STOPPED, timeoutMs);
        }
        if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return false;
    }
    // The entry goes once the last handle to it is closed.
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        CUniqueServiceHandle probe(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (!probe && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            return true;
        if (::GetTickCount64() >= deadline)
            return false;
        probe.reset();
        ::Sleep(25);
    }
}

UTIL::CUniqueServiceHandle CServiceFixture::Open(DWORD access) const
{
    CUniqueServiceHandle manager = OpenManager();
    return CUniqueServiceHandle(manager ? ::OpenServiceW(manager.get(), m_strName.c_str(), access) : nullptr);
}

DWORD CServiceFixture::State() const
{
    CUniqueServiceHandle service = Open(SERVICE_QUERY_STATUS);
    return service ? QueryState(service.get()) : 0;
}

bool CServiceFixture::Start(DWORD timeoutMs)
{
    CUniqueServiceHandle service = Open(SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service || (!::StartServiceW(service.get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING))
        return false;
    return PollState(service.get(), SERVICE_RUNNING, timeoutMs);
}

bool CServiceFixture::Control(DWORD control, DWORD target, DWORD timeoutMs)
{
    CUniqueServiceHandle service = Open(SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    if (!service ||
        (!::ControlService(service.get(), control, &status) && ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE))
        return false;
    return PollState(service.get(), target, timeoutMs);
}
bool CServiceFixture::Stop(DWORD timeoutMs) { return Control(SERVICE_CONTROL_STOP, SERVICE_STOPPED, timeoutMs); }
bool CServiceFixture::Pause(DWORD timeoutMs) { return Control(SERVICE_CONTROL_PAUSE, SERVICE_PAUSED, timeoutMs); }
bool CServiceFixture::Continue(DWORD timeoutMs)
{
    return Control(SERVICE_CONTROL_CONTINUE, SERVICE_RUNNING, timeoutMs);
}

}  // namespace KsxTest
