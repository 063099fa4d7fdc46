#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace history {

// Milliseconds since the Unix epoch, UTC: every time the history keeps.
using Millis = std::int64_t;

// How a run ended, as the history keeps it. Started is a run without its
// end: one still under way, as long as the process that wrote it lives;
// otherwise it was interrupted (killed, power lost), and the history says
// Interrupted from then on.
enum class Outcome { Started, Completed, Failed, Cancelled, Stopped, Interrupted };
inline constexpr int kOutcomeCount = 6;

// The stored names: "started", "completed", "failed", "cancelled",
// "stopped", "interrupted".
std::string_view OutcomeName(Outcome outcome);
std::optional<Outcome> OutcomeFromName(std::string_view name);

// One run of one database: a row of the history. A database is known by its
// name as shown (trimmed) together with its server, as the list has them.
struct RunRecord {
    std::int64_t id = 0; // 0 until stored
    std::string database;
    std::string server;
    Millis startedAt = 0;
    std::optional<Millis> endedAt;
    Outcome outcome = Outcome::Started;
    bool running = false;     // read back: Started, and its process still lives
    std::string statusText;   // the run's final "Backup Status" cell
    std::string backupFile;   // the file the rotation kept, without folder
    std::int64_t backupBytes = 0;
    std::int64_t archiveBytes = 0;
    std::string verification; // "passed", "failed", empty when not asked
    std::string restoreTest;  // the restore test's result, empty when none ran
    std::optional<Millis> restoreTestAt;
    std::string mailStatus;   // the "Email Status" cell, empty when not asked
    std::string errorText;    // why a run did not complete

    std::optional<Millis> duration() const
    {
        if (!endedAt)
            return std::nullopt;
        return *endedAt - startedAt;
    }
};

// What the history knows of one database.
struct DatabaseSummary {
    std::string database;
    std::string server;
    std::optional<RunRecord> lastRun;      // the newest run, possibly still under way
    std::optional<RunRecord> lastFinished; // the newest run that is not under way
    std::optional<RunRecord> lastSuccess;  // the newest completed run
    std::optional<Millis> firstRunAt;      // the oldest run still kept
    // Runs ever ended, by outcome (index: Outcome); never decreases, pruning
    // aside. Started is always 0.
    std::array<std::int64_t, kOutcomeCount> totals{};
};

// Blanks at both ends removed: database names and servers are kept trimmed.
std::string Trimmed(std::string_view text);

} // namespace history
