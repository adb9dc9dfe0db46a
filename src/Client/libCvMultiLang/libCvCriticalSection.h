// A critical section owned by an object, and a scoped enter/leave guard.
#pragma once

#include <windows.h>

namespace CLNUTIL {

class CCriticalSection {
public:
    CCriticalSection() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&m_cs); }
    void Leave() noexcept { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Enters on construction, leaves on destruction. Re-entrant on one thread.
class CCriticalSectionSentry {
public:
    explicit CCriticalSectionSentry(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
    ~CCriticalSectionSentry() { m_cs.Leave(); }
    CCriticalSectionSentry(const CCriticalSectionSentry&) = delete;
    CCriticalSectionSentry& operator=(const CCriticalSectionSentry&) = delete;

private:
    CCriticalSection& m_cs;
};

}  // namespace CLNUTIL
