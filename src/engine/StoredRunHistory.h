#pragma once

#include "engine/RunHistory.h"
#include "history/HistoryStore.h"
#include "history/Verdict.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace config { class DatabaseList; }
namespace logging { class Log; }

namespace engine {

// Log texts, compared verbatim by tests.
inline constexpr const char* kHistoryNotWrittenText = "Run history not written for database ";
inline constexpr const char* kMetricsNotWrittenText = "Metrics file not written: ";

// The listed databases as the history knows them: name and server trimmed,
// with their intervals.
std::vector<history::WatchedDatabase> WatchedDatabases(const config::DatabaseList& list);

// The real run history: BackupHistory.db through history::HistoryStore, and
// the metrics file the settings file asks for (METRICS_FILE), written again
// after every run from what the history holds.
//
// The file is opened on first use and kept open; a file that could not be
// opened is tried again at the next run, one found damaged is reopened
// (which moves it aside), and so is one that another process replaced or
// removed. Runs started more than 400 days ago are pruned on
// opening and once a day. Every failure is one log line naming the
// database, the file and the reason; what opening did besides (a damaged file
// moved aside, runs of an earlier process marked interrupted) is logged too.
//
// Threads: any; calls are serialised. The log must outlive this object.
class StoredRunHistory final : public RunHistory {
public:
    using NowFn = std::function<history::Millis()>;

    // `settingsPath` is the settings file whose database list and
    // METRICS_FILE option the metrics follow. `now` gives the current UTC
    // time; empty means the system clock.
    StoredRunHistory(std::string historyPath, std::string settingsPath, logging::Log& log, NowFn now = {});
    ~StoredRunHistory() override;

    RunTicket runStarted(const history::RunRecord& run) override;
    void runFinished(const RunTicket& ticket, history::RunRecord run) override;

    // Writes the metrics file, when the settings name one; for the start of
    // the program. A failure is logged.
    void writeMetrics();

    const std::string& historyPath() const { return m_historyPath; }

private:
    // Expects m_mutex held. True with m_store open.
    bool ensureOpen(std::string& error);
    void pruneIfDue();
    // Writes the metrics file; after a run of `changed` only that database
    // is read again from the history.
    void writeMetricsLocked(const history::RunRecord* changed = nullptr);
    // Reads the metrics file's name and the listed databases again when the
    // settings file has changed; false, with the reason, when it cannot be read.
    bool refreshSettings(std::string& error);
    void logProblem(RunTicket& ticket, const std::string& database, const std::string& reason);

    const std::string m_historyPath;
    const std::string m_settingsPath;
    logging::Log& m_log;
    NowFn m_now;
    std::mutex m_mutex; // guards the members below
    std::unique_ptr<history::HistoryStore> m_store;
    dev_t m_device = 0; // the file m_store has open
    ino_t m_inode = 0;
    history::Millis m_lastPrune = 0;
    // The settings as last read, and how the file looked then.
    std::string m_settingsIdentity;
    std::string m_metricsFile;
    std::vector<history::WatchedDatabase> m_watched;
    // The summaries the metrics were last written from; empty: read them all.
    std::vector<history::DatabaseSummary> m_known;
    bool m_knownValid = false;
};

} // namespace engine
