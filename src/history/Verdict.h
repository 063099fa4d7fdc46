#pragma once

#include "history/RunRecord.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace history {

// A database as the settings list it: what the verdicts judge. Name and
// server trimmed, as the history keeps them.
struct WatchedDatabase {
    std::string database;
    std::string server;
    int intervalMinutes = 0; // below 1 counts as 1, as the scheduler does
};

// How one database stands:
//   Ok        a good backup within twice its interval plus 10 minutes
//   Pending   no good backup yet, but its first interval has not passed
//   Overdue   no good backup within twice its interval plus 10 minutes, and
//             its last run did not fail (WARNING)
//   Failed    its last finished run failed (CRITICAL)
//   Never     no good backup ever, and its first interval since its first
//             run has passed, or it never ran at all (CRITICAL)
enum class Health { Ok, Pending, Overdue, Failed, Never };

// The monitoring-plugin states, whose values are the exit codes.
enum class CheckState { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

struct DatabaseVerdict {
    WatchedDatabase watched;
    DatabaseSummary summary; // empty (no runs) when the history does not know it
    Health health = Health::Never;
    std::string problem;     // "Sales: last run failed 2 h ago"; empty for Ok and Pending
    // When the next run is due: its last start plus its interval, as the
    // scheduler counts; empty before the first run.
    std::optional<Millis> nextStart;
};

struct Verdict {
    CheckState state = CheckState::Ok;
    std::vector<DatabaseVerdict> databases; // in the order listed, each database once
    int ok = 0;      // Ok and Pending
    int failed = 0;  // Failed and Never
    int overdue = 0;
};

// Judges every listed database at `now` from what the history knows. A
// database listed twice (same name and server) counts once.
Verdict Evaluate(const std::vector<WatchedDatabase>& watched, const std::vector<DatabaseSummary>& known, Millis now);

// "OK", "WARNING", "CRITICAL", "UNKNOWN".
std::string_view StateName(CheckState state);

// The one line of `--check`, in the monitoring-plugin form:
// "CORVELLA CRITICAL - Sales: last run failed 2 h ago; 11 OK | ok=11 failed=1 overdue=0".
std::string CheckLine(const Verdict& verdict);
// "CORVELLA UNKNOWN - <reason>".
std::string UnknownLine(const std::string& reason);

// A time span as the verdicts show it: "5 min", "7 h", "3 d".
std::string AgeText(Millis span);
// A UTC time in the local time zone: "2024-07-14 09:05".
std::string LocalTimeText(Millis at);
// The text of one health: "ok", "first backup pending", "overdue", "failed", "no good backup".
std::string_view HealthText(Health health);

// The table of `--status`: one line per database (its last good backup with
// its age, its last result, its next start and its health), then a line
// per database whose last run did not complete, with the reason, then the
// check line.
std::string StatusTable(const Verdict& verdict, Millis now);

} // namespace history
