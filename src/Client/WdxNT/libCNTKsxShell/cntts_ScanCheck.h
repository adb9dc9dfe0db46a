// Whether the agent can take a scan request now.
#pragma once

namespace KsxShell {

// True while a scan, an update, a manual-scan instance or a scheduled or
// remote scan runs, or while the real-time scan service is not running.
bool IsScanBusy();

}  // namespace KsxShell
