#include "logcl_LogLevel.h"

namespace {

struct CRankTable {
    signed char rank[256];

    constexpr CRankTable() : rank()
    {
        for (int i = 0; i < 256; ++i)
            rank[i] = 9;
        rank[0] = rank[1] = rank[2] = rank['F'] = 2;
        rank[3] = rank[4] = rank['E'] = 4;
        rank[5] = rank['W'] = 5;
        rank[6] = rank[7] = rank['I'] = 7;
        rank['N'] = -1;
    }
};

constexpr CRankTable kRanks;

}  // namespace

int LogLevelRank(DWORD level) { return kRanks.rank[level & 0xFF]; }

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
    ::SetLastError(saved);
}

CLogLevelMap::~CLogLevelMap()
{
    ::AcquireSRWLockExclusive(&m_lock);
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
    if (level > 255)
        return true;
    const volatile LONG* view = holder.View();
    if (!view)
        return true;
    const DWORD word = static_cast<DWORD>(*view);
    if (!(word & kLogLevelActiveBit))
        return true;
    const int threshold = static_cast<SHORT>(word & kLogLevelThresholdMask);
    return kRanks.rank[level] <= threshold;
}
