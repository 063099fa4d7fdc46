#pragma once

#include "app/Headless.h"

namespace app {

// corvella --status and --check: every database of the settings file judged
// from the run history, in the monitoring-plugin convention. --check prints
// one line ("CORVELLA CRITICAL - Sales: last run failed 2 h ago; 11 OK |
// ok=11 failed=1 overdue=0"); --status prints the table of each database's
// last good backup, last result, next start and state before it. Both exit
// 0 (OK), 1 (WARNING), 2 (CRITICAL) or 3 (UNKNOWN: the settings file or the
// history cannot be read, or the settings list no database).
//
// Reads only: takes no lock, opens no log, changes no file, so it runs beside
// the service, as any account that may read the two files.
int RunStatusCommand(const CommandLine& commandLine);

} // namespace app
