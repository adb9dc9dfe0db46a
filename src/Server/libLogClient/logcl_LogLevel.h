// The level gate: one 32-bit word shared by every process of the agent.
#pragma once

#include <windows.h>

#include "ut_Handle.h"

// Name of the shared mapping that holds the level word.
constexpr const wchar_t kLogLevelMapName[] = L"Global\\log_level_map_file";

// Bits 0-15: signed threshold; bit 16: control active; bits 17-31 unused.
constexpr DWORD kLogLevelActiveBit = 0x00010000;
constexpr DWORD kLogLevelThresholdMask = 0x0000FFFF;

// Rank of a level code 0..255 (lower is more severe): 2, 4, 5, 7, -1 for 'N',
// 9 for every other code. Levels above 255 have no rank; call only with <= 255.
int LogLevelRank(DWORD level);

// Creates or opens the shared 4-byte mapping (paging-file backed, null DACL,
// inheritable handle). Null on failure, with the thread's last error set.
// The caller owns the handle.
HANDLE CreateLogLevelMapping();

// The process's view of the level word: created on first use, torn down when
// the module is unloaded or the process ends.
class CLogLevelMap {
public:
    static CLogLevelMap& Instance();

    // Null when the mapping could not be created or mapped.
    volatile LONG* View() const { return static_cast<volatile LONG*>(m_pView.get()); }

    CLogLevelMap(const CLogLevelMap&) = delete;
    CLogLevelMap& operator=(const CLogLevelMap&) = delete;

private:
    CLogLevelMap();
    ~CLogLevelMap();

    SRWLOCK m_lock;
    UTIL::CUniqueHandle m_hMapping;
    UTIL::CUniqueMappedView m_pView;
};

// True when a record of this level is to be written. A table lookup and one
// read of the shared word: no system call, lock or allocation.
bool IsLogLevelEnabled(const CLogLevelMap& holder, DWORD level);
