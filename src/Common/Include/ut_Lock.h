// Critical sections owned by an object, and their scoped guards. Re-entrant
// on one thread; neither copies nor moves.
#pragma once

#include <windows.h>

namespace UTIL {

class CNonCopyable {
protected:
    CNonCopyable() = default;
    ~CNonCopyable() = default;

public:
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;
};

class CCriticalSection : CNonCopyable {
public:
    CCriticalSection() noexcept { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { ::DeleteCriticalSection(&m_cs); }

    void Lock() noexcept { ::EnterCriticalSection(&m_cs); }
    void Unlock() noexcept { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Holds the lock from construction to destruction.
template <typename Lockable>
class CScopedLock : CNonCopyable {
public:
    explicit CScopedLock(Lockable& lock) noexcept : m_lock(lock) { m_lock.Lock(); }
    ~CScopedLock() { m_lock.Unlock(); }

private:
    Lockable& m_lock;
};

// The lock that guards creation of a process-wide singleton.
using CSingletonLocker = CCriticalSection;
using CAutoSingletonLocker = CScopedLock<CSingletonLocker>;

}  // namespace UTIL

namespace CLNUTIL {

using CCriticalSection = UTIL::CCriticalSection;
using CCriticalSectionSentry = UTIL::CScopedLock<CCriticalSection>;

}  // namespace CLNUTIL
