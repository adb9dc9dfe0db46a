// Takes the level word's name with an event, so that this process cannot map
// the word, then checks that the gate passes everything.
// Exit 0: as expected; 1: the gate blocked something; 2: the name was already
// taken by a mapping (the probe proves nothing); 3: the view exists.
#include <windows.h>

#include <initializer_list>

#include "logcl_DebugLog.h"
#include "logcl_LogLevel.h"
#include "ut_Handle.h"

int main()
{
    UTIL::CUniqueHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, kLogLevelMapName));
    if (!squatter)
        return 2;
    if (CLogLevelMap::Instance().View())
        return 3;
    for (DWORD level : {0ul, 5ul, 68ul, 69ul, 70ul, 73ul, 78ul, 87ul, 255ul, 300ul})
        if (!IsLogLevelEnabled(CLogLevelMap::Instance(), level) || IsLogLevelHeldBack(level))
            return 1;
    // Logging still works as a call: nothing listens, the error code stays.
    ::SetLastError(0xdeadbeef);
    LOGA(LOG_LEVEL_D, "%s - >>>", "probe");
    return ::GetLastError() == 0xdeadbeef ? 0 : 1;
}
