// The level gate: one 32-bit word shared by every process of the agent.
#pragma once

#include <windows.h>

#include <atomic>

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

namespace LogLevelDetail {

// The word the entry points read: the mapped view once the holder exists, a
// private zero word (control inactive) before that and when there is no view.
extern std::atomic<const volatile LONG*> g_pWord;

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

inline constexpr CRankTable kRanks;

inline bool PassesWord(DWORD word, DWORD level)
{
    if (level > 255 || !(word & kLogLevelActiveBit))
        return true;
    return kRanks.rank[level] <= static_cast<SHORT>(word & kLogLevelThresholdMask);
}

}  // namespace LogLevelDetail

// The entry points' first test, before any other work: true when the shared
// word holds a record of this level back. Reads the word afresh on every call.
// Before the holder exists it holds nothing back; the writer's own test, which
// creates the holder, then decides.
inline bool IsLogLevelHeldBack(DWORD level)
{
    const DWORD word = static_cast<DWORD>(*LogLevelDetail::g_pWord.load(std::memory_order_acquire));
    return !LogLevelDetail::PassesWord(word, level);
}
