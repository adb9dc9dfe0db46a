// The lock that guards creation of a process-wide singleton, and its scoped guard.
#pragma once

#include <windows.h>

namespace UTIL {

class CSingletonLocker {
public:
    CSingletonLocker() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CSingletonLocker() { ::DeleteCriticalSection(&m_cs); }
    CSingletonLocker(const CSingletonLocker&) = delete;
    CSingletonLocker& operator=(const CSingletonLocker&) = delete;

    void Lock() noexcept { ::EnterCriticalSection(&m_cs); }
    void Unlock() noexcept { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Locks on construction, unlocks on destruction. Re-entrant on one thread.
class CAutoSingletonLocker {
public:
    explicit CAutoSingletonLocker(CSingletonLocker& locker) noexcept : m_locker(locker) { m_locker.Lock(); }
    ~CAutoSingletonLocker() { m_locker.Unlock(); }
    CAutoSingletonLocker(const CAutoSingletonLocker&) = delete;
    CAutoSingletonLocker& operator=(const CAutoSingletonLocker&) = delete;

private:
    CSingletonLocker& m_locker;
};

}  // namespace UTIL
