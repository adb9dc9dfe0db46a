#include "smu_CCvNotifyDLL.h"

#include <string>

#include "ds_BsnDSManager.h"
#include "ds_LoadLibWithIssuerCheck.h"
#include "logcl_DebugLog.h"
#include "mbwc_MBWC.h"
#include "ut_ProcAddress.h"

namespace {

constexpr DWORD kTraceLevel = '5';

// The host executable's folder, without trailing separators; empty on failure.
std::wstring HostDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash);
    return path;
}

const char* OrNull(const char* s) { return s ? s : "NULL"; }

}  // namespace

CCvNotifyDLL::~CCvNotifyDLL()
{
    if (m_hModule && ::FreeLibrary(m_hModule))
        m_hModule = nullptr;
}

void CCvNotifyDLL::Unbind()
{
    m_pfnInitDefaultEventSource = nullptr;
    m_pfnReportEventLog = nullptr;
    m_pfnOpenEventSource = nullptr;
    m_pfnCloseEventSource = nullptr;
    m_pfnReportEventLogEx = nullptr;
}

int CCvNotifyDLL::Init(const char* directory)
{
    const wchar_t* const name = L"CCvNotifyDLL::Init";
    if (m_bInitialized)
        return 1;
    m_bInitialized = true;

    std::wstring folder = directory ? MBWC::MBToWC(directory) : HostDirectory();
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    if (folder.empty()) {
        LOGW('E', L"%s - failed to call GetModuleName()", name);
        return 0;
    }
    const std::wstring path = folder + L"\\cvnotify.dll";

    if (!m_hModule) {
        const SignatureCheckResult check =
            CBsnDigitalSignatureManagerEx::VerifyDigitalSignature(path.c_str(), DS_SIGNER_VENDOR, false);
        if (check.bVerified)
            m_hModule = LoadLibraryWithIssuerCheckW(kCorvaneIssuer, path.c_str());
        else
            LOGW('E', L"%s - CCvNotifyDLL:CCvNotifyDLL() Verify DigitalSignature Failed(cvnotify.dll) error = 0x%x",
                 name, check.dwError);
    }
    if (!m_hModule) {
        LOGW('E', L"%s - CCvNotifyDLL::CCvNotifyDLL() LoadLibrary(cvnotify.dll) error = %d", name,
             static_cast<int>(::GetLastError()));
        return 0;
    }

    m_pfnInitDefaultEventSource = UTIL::GetProc<PFN_InitDefaultEventSource>(m_hModule, "InitDefaultEventSource");
    m_pfnReportEventLog = UTIL::GetProc<PFN_ReportEventLog>(m_hModule, "ReportEventLog");
    m_pfnOpenEventSource = UTIL::GetProc<PFN_OpenEventSource>(m_hModule, "OpenEventSource");
    m_pfnCloseEventSource = UTIL::GetProc<PFN_CloseEventSource>(m_hModule, "CloseEventSource");
    m_pfnReportEventLogEx = UTIL::GetProc<PFN_ReportEventLogEx>(m_hModule, "ReportEventLogEx");
    if (!m_pfnInitDefaultEventSource || !m_pfnReportEventLog || !m_pfnOpenEventSource || !m_pfnCloseEventSource ||
        !m_pfnReportEventLogEx) {
        LOGW('E', L"%s - CCvNotifyDLL::CCvNotifyDLL() GetProcAddress error = %d", name,
             static_cast<int>(::GetLastError()));
        ::FreeLibrary(m_hModule);
        m_hModule = nullptr;
        Unbind();
        return 0;
    }
    return 1;
}

int CCvNotifyDLL::InitDefaultEventSource(const char* sourceName, BYTE flag)
{
    LOGA(kTraceLevel, "CCvNotifyDLL::InitDefaultEventSource(%s)", OrNull(sourceName));
    const int result = m_pfnInitDefaultEventSource ? m_pfnInitDefaultEventSource(sourceName, flag) : kNotBound;
    LOGA(kTraceLevel, "CCvNotifyDLL::InitDefaultEventSource(%s) return %d", OrNull(sourceName), result);
    return result;
}

int CCvNotifyDLL::OpenEventSource(const char* serverName, const char* sourceName, HANDLE* handle)
{
    LOGA(kTraceLevel, "CCvNotifyDLL::OpenEventSource(%s, %s, %X)", OrNull(serverName), OrNull(sourceName),
         static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle)));
    const int result = m_pfnOpenEventSource ? m_pfnOpenEventSource(serverName, sourceName, handle) : kNotBound;
    LOGA(kTraceLevel, "CCvNotifyDLL::OpenEventSource(%s, %s, %X) return %d", OrNull(serverName), OrNull(sourceName),
         static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle)), result);
    return result;
}

int CCvNotifyDLL::CloseEventSource(HANDLE handle)
{
    const int h = static_cast<int>(reinterpret_cast<INT_PTR>(handle));
    LOGA(kTraceLevel, "CCvNotifyDLL::CloseEventSource(%d)", h);
    const int result = m_pfnCloseEventSource ? m_pfnCloseEventSource(handle) : kNotBound;
    LOGA(kTraceLevel, "CCvNotifyDLL::CloseEventSource(%d) return %d", h, result);
    return result;
}

int CCvNotifyDLL::ReportEventLogEx(HANDLE handle, WORD type, WORD category, DWORD eventId, const char* message)
{
    const int h = static_cast<int>(reinterpret_cast<INT_PTR>(handle));
    LOGA(kTraceLevel, "CCvNotifyDLL::ReportEventLogEx(%d, %d, %d, %d, %s)", h, type, category,
         static_cast<int>(eventId), OrNull(message));
    const int result =
        m_pfnReportEventLogEx ? m_pfnReportEventLogEx(handle, type, category, eventId, message, 0) : kNotBound;
    LOGA(kTraceLevel, "CCvNotifyDLL::ReportEventLogEx(%d, %d, %d, %d, %s) return %d", h, type, category,
         static_cast<int>(eventId), OrNull(message), result);
    return result;
}
