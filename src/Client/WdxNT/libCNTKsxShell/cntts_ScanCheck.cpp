#include "cntts_ScanCheck.h"

namespace KsxShell {

// The agent's busy flags and service state are not consulted yet: the item is
// always offered.
bool IsScanBusy() { return false; }

}  // namespace KsxShell
