#include "engine/StoredRunHistory.h"

#include "config/DatabaseEntry.h"
#include "config/DatabaseList.h"
#include "config/RunOptions.h"
#include "config/SettingsFile.h"
#include "history/MetricsFile.h"
#include "history/Verdict.h"
#include "log/Log.h"

#include <algorithm>
#include <chrono>
#include <sys/stat.h>

namespace engine {

namespace {

constexpr history::Millis kDay = 24LL * 60 * 60 * 1000;

history::Millis SystemNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::vector<history::WatchedDatabase> WatchedDatabases(const config::DatabaseList& list)
{
    std::vector<history::WatchedDatabase> watched;
    watched.reserve(static_cast<std::size_t>(list.rowCount()));
    for (int row = 0; row < list.rowCount(); ++row) {
        const config::DatabaseEntry entry = config::DatabaseEntry::FromRow(list.row(row));
        watched.push_back({history::Trimmed(entry.databaseName), history::Trimmed(entry.databaseUrl), entry.intervalMinutes});
    }
    return watched;
}

StoredRunHistory::StoredRunHistory(std::string historyPath, std::string settingsPath, logging::Log& log, NowFn now)
    : m_historyPath(std::move(historyPath))
    , m_settingsPath(std::move(settingsPath))
    , m_log(log)
    , m_now(now ? std::move(now) : NowFn(SystemNow))
{
}

StoredRunHistory::~StoredRunHistory() = default;

bool StoredRunHistory::ensureOpen(std::string& error)
{
    // The file may have been replaced meanwhile (moved aside by another copy
    // that found it damaged, deleted by hand): runs go to the file the path
    // names now.
    struct stat status {};
    const bool same = ::stat(m_historyPath.c_str(), &status) == 0 && status.st_dev == m_device
        && status.st_ino == m_inode;
    if (m_store && !m_store->isDamaged() && same)
        return true;
    m_store.reset();
    history::HistoryStore::Opened opened
        = history::HistoryStore::open(m_historyPath, history::HistoryStore::Access::ReadWrite);
    for (const std::string& note : opened.notes)
        m_log.Write(note);
    if (!opened.store) {
        error = opened.error;
        return false;
    }
    m_store = std::move(opened.store);
    if (::stat(m_historyPath.c_str(), &status) == 0) {
        m_device = status.st_dev;
        m_inode = status.st_ino;
    }
    m_knownValid = false;
    m_lastPrune = 0;
    pruneIfDue();
    return true;
}

void StoredRunHistory::pruneIfDue()
{
    const history::Millis now = m_now();
    if (m_lastPrune != 0 && now - m_lastPrune < kDay)
        return;
    m_lastPrune = now;
    std::string error;
    const int pruned = m_store->prune(now - history::kKeepDays * kDay, error);
    if (pruned < 0)
        m_log.Write("Old runs not removed from the run history: " + error);
}

void StoredRunHistory::logProblem(RunTicket& ticket, const std::string& database, const std::string& reason)
{
    if (ticket.problemLogged)
        return;
    ticket.problemLogged = true;
    m_log.Write(kHistoryNotWrittenText + database + " (the backup goes on): " + reason);
}

RunTicket StoredRunHistory::runStarted(const history::RunRecord& run)
{
    std::lock_guard lock(m_mutex);
    RunTicket ticket;
    std::string error;
    if (!ensureOpen(error)) {
        logProblem(ticket, run.database, error);
        return ticket;
    }
    ticket.id = m_store->recordStart(run, error);
    if (ticket.id == 0)
        logProblem(ticket, run.database, error);
    return ticket;
}

void StoredRunHistory::runFinished(const RunTicket& started, history::RunRecord run)
{
    std::lock_guard lock(m_mutex);
    RunTicket ticket = started;
    run.id = ticket.id;
    std::string error;
    if (!ensureOpen(error)) {
        logProblem(ticket, run.database, error);
        return;
    }
    bool recorded = m_store->recordFinish(run, error);
    if (!recorded && m_store->isDamaged() && ensureOpen(error)) {
        // The damaged file went aside: the new history takes the whole run.
        run.id = 0;
        recorded = m_store->recordFinish(run, error);
    }
    if (!recorded) {
        logProblem(ticket, run.database, error);
        return;
    }
    pruneIfDue();
    writeMetricsLocked(&run);
}

void StoredRunHistory::writeMetrics()
{
    std::lock_guard lock(m_mutex);
    writeMetricsLocked();
}

bool StoredRunHistory::refreshSettings(std::string& error)
{
    struct stat status {};
    std::string identity;
    if (::stat(m_settingsPath.c_str(), &status) == 0)
        identity = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":"
            + std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "."
            + std::to_string(status.st_mtim.tv_nsec);
    if (!identity.empty() && identity == m_settingsIdentity)
        return true;
    config::DatabaseList list;
    if (!config::LoadDatabaseList(m_settingsPath, list, &error)) {
        m_settingsIdentity.clear();
        return false;
    }
    m_metricsFile = config::LoadRunOptions(m_settingsPath).metricsFile;
    m_watched = WatchedDatabases(list);
    m_settingsIdentity = identity;
    return true;
}

void StoredRunHistory::writeMetricsLocked(const history::RunRecord* changed)
{
    std::string error;
    if (!refreshSettings(error)) {
        m_log.Write(kMetricsNotWrittenText + error);
        return;
    }
    if (m_metricsFile.empty())
        return;
    if (!ensureOpen(error)) {
        // Without the history the file would claim that nothing was ever
        // backed up: it is left as it was.
        m_log.Write(kMetricsNotWrittenText + error);
        return;
    }
    bool read = true;
    if (changed && m_knownValid) {
        std::optional<history::DatabaseSummary> summary;
        read = m_store->summary(changed->database, changed->server, summary, error);
        if (read && summary) {
            const auto same = std::find_if(m_known.begin(), m_known.end(), [&](const history::DatabaseSummary& known) {
                return known.database == summary->database && known.server == summary->server;
            });
            if (same != m_known.end())
                *same = std::move(*summary);
            else
                m_known.push_back(std::move(*summary));
        }
    } else {
        read = m_store->summaries(m_known, error);
    }
    m_knownValid = read;
    if (!read) {
        m_log.Write(kMetricsNotWrittenText + error);
        return;
    }
    if (!history::WriteMetricsFile(m_metricsFile, history::RenderMetrics(m_watched, m_known), error))
        m_log.Write(kMetricsNotWrittenText + error);
}

} // namespace engine
