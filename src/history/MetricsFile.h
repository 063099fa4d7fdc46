#pragma once

#include "history/RunRecord.h"
#include "history/Verdict.h"

#include <string>
#include <vector>

namespace history {

// The Prometheus textfile (the node exporter's textfile collector format) of
// the listed databases, with HELP and TYPE lines; labels `database` and
// `server`, and `result` on corvella_runs_total. Per database:
//   corvella_last_success_timestamp_seconds  end of the newest completed run (0: none)
//   corvella_last_run_timestamp_seconds      start of the newest finished run
//   corvella_last_run_success                1 when that run completed, else 0
//   corvella_last_run_duration_seconds       its duration (0 when interrupted)
//   corvella_last_backup_bytes               backup file of the newest completed run
//   corvella_last_archive_bytes              its zip archive (0: not zipped)
//   corvella_runs_total{result=...}          runs ended, by result
// The last-run gauges are left out for a database that has not finished a
// run. Label values are escaped (backslash, double quote, line break) and
// bytes that are not UTF-8 become U+FFFD. Pure: no file access.
std::string RenderMetrics(const std::vector<WatchedDatabase>& watched, const std::vector<DatabaseSummary>& known);

// Replaces `path` with `text` atomically: written to "<path>.<pid>.tmp" in
// the same folder (a name the collector does not read), made readable by
// all (mode 0644: the collector usually runs as another account), then
// renamed over it. False, with the reason, when any step fails; the old file
// is then left as it was.
bool WriteMetricsFile(const std::string& path, const std::string& text, std::string& error);

} // namespace history
