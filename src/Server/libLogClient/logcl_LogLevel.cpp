#include "logcl_LogLevel.h"

namespace {

// Read by the entry points when there is no view: control inactive.
const volatile LONG s_zeroWord = 0;

}  // namespace

std::atomic<const volatile LONG*> LogLevelDetail::g_pWord{&s_zeroWord};

int LogLevelRank(DWORD level) { return LogLevelDetail::kRanks.rank[level & 0xFF]; }

HANDLE CreateLogLevelMapping()
{
    SECURITY_DESCRIPTOR sd = {};
    if (!::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE))
        return nullptr;

    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = TRUE;
    return ::CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(DWORD), kLogLevelMapName);
}

CLogLevelMap::CLogLevelMap() : m_lock(SRWLOCK_INIT)
{
    // Failing here is silent: without a view every record passes.
    const DWORD saved = ::GetLastError();
    m_hMapping.reset(CreateLogLevelMapping());
    if (m_hMapping)
        m_pView.reset(::MapViewOfFile(m_hMapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
    LogLevelDetail::g_pWord.store(m_pView ? View() : &s_zeroWord, std::memory_order_release);
    ::SetLastError(saved);
}

CLogLevelMap::~CLogLevelMap()
{
    ::AcquireSRWLockExclusive(&m_lock);
    LogLevelDetail::g_pWord.store(&s_zeroWord, std::memory_order_release);
    m_pView.reset();
    m_hMapping.reset();
    ::ReleaseSRWLockExclusive(&m_lock);
}

CLogLevelMap& CLogLevelMap::Instance()
{
    // Thread-safe one-time construction; the destructor runs at module unload.
    static CLogLevelMap s_instance;
    return s_instance;
}

bool IsLogLevelEnabled(const CLogLevelMap& holder, DWORD level)
{
    const volatile LONG* view = holder.View();
    return !view || LogLevelDetail::PassesWord(static_cast<DWORD>(*view), level);
}
