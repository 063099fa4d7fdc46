#include "engine/BackupScheduler.h"

#include "engine/BackupSession.h"
#include "engine/Clock.h"
#include "engine/SettingsStore.h"
#include "engine/RestoreTestRun.h"

#include "config/DatabaseEntry.h"
#include "config/DatabaseList.h"
#include "config/RunOptions.h"
#include "log/Log.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <deque>
#include <limits>
#include <queue>
#include <system_error>

namespace engine {

namespace {

constexpr std::chrono::milliseconds kDestructorShutdownBound{3000};
// A run counts as busy for this long after it left the backup lock.
constexpr std::chrono::milliseconds kPauseAfterRun{1000};
// Longer intervals are waited as this one: far beyond any real schedule, and
// short enough that its nanoseconds fit the steady clock.
constexpr std::int32_t kLongestIntervalMinutes = 100 * 366 * 24 * 60;

} // namespace

BackupJob ReadJobFromRow(const config::DatabaseList& list, int row, config::PasswordCodec& codec,
                         BackupSession* owner)
{
    return JobFromEntry(config::DatabaseEntry::FromRow(list.row(row)), codec, owner);
}

BackupJob JobFromEntry(const config::DatabaseEntry& entry, config::PasswordCodec& codec, BackupSession* owner,
                       const config::RunOptions& options)
{
    BackupJob job;
    job.databaseUrl = entry.databaseUrl;
    job.databaseName = entry.databaseName;
    job.userName = entry.userName;
    std::string decoded;
    if (codec.Decode(entry.storedPassword, decoded) == config::PasswordCodec::kOk)
        job.password = decoded;
    job.intervalMinutes = entry.intervalMinutes;
    job.backupPath = entry.backupPath;
    job.serverBackupPath = entry.serverBackupPath;
    job.zip = entry.zip;
    job.email = entry.email;
    job.keepOld = entry.keepOld;
    job.verify = options.verifyBackup;
    job.restoreTest = options.restoreTest;
    job.restoreTestDays = options.restoreTestDays;
    job.restoreTestDataPath = options.restoreTestDataPath;
    job.stallMinutes = options.stallMinutes;
    job.cancelStalled = options.cancelStalledBackups;
    job.offsite = options.offsite;
    job.owner = owner;
    return job;
}

// State shared by the scheduler and its thread; the thread holds it, so it
// outlives a scheduler destroyed while a run is still blocked.
struct BackupScheduler::Shared {
    Shared(BackupSession& o, BackupServices s)
        : owner(o)
        , services(std::move(s))
    {
    }

    // One database of the auto service.
    struct AutoEntry {
        config::DatabaseEntry entry; // what the job was made from, to know it again on a reload
        std::shared_ptr<const BackupJob> job;
        Clock::Duration interval{};
        Clock::TimePoint nextStart{};
        bool queued = false; // waiting in the queue or running
    };
    struct Item {
        std::shared_ptr<const BackupJob> job;
        std::shared_ptr<AutoEntry> entry; // null for a manual run
        bool restoreTestOnly = false;     // a restore test of the kept backup, no backup
    };

    BackupSession& owner;
    BackupServices services;
    std::stop_source shutdownStop; // ends the pauses of runs

    std::mutex mutex; // guards every member below
    std::condition_variable changed; // a run ended, the queue drained, the thread ended
    std::deque<Item> queue;
    std::vector<std::shared_ptr<AutoEntry>> autoEntries;
    // When the runs that ended stop counting as busy (the pause after a run).
    std::priority_queue<Clock::TimePoint, std::vector<Clock::TimePoint>, std::greater<>> busyEnds;
    bool running = false;
    bool stopping = false;
    bool threadStarted = false;
    bool threadEnded = false;
    int abandoned = 0;
    std::stop_source wake;    // requested to end the thread's wait early
    std::stop_source runStop; // requested to stop the run under way
    std::thread thread;

    void poke() { wake.request_stop(); }

    // Intervals below one minute count as one minute; the first run is due at `now`.
    static std::shared_ptr<AutoEntry> makeEntry(config::DatabaseEntry databaseEntry, BackupJob job,
                                                Clock::TimePoint now)
    {
        auto entry = std::make_shared<AutoEntry>();
        entry->entry = std::move(databaseEntry);
        entry->interval = std::chrono::duration_cast<Clock::Duration>(
            std::chrono::minutes(std::clamp<std::int32_t>(job.intervalMinutes, 1, kLongestIntervalMinutes)));
        entry->job = std::make_shared<const BackupJob>(std::move(job));
        entry->nextStart = now;
        return entry;
    }

    void releaseBusy(Clock::TimePoint now)
    {
        while (!busyEnds.empty() && busyEnds.top() <= now) {
            busyEnds.pop();
            owner.backupState().runsInProgress.fetch_sub(1);
        }
    }

    // Queues the service's runs that are due. Expects the mutex held: what
    // the queue does is told under it, so that views hear it in order.
    void queueDueEntries(Clock::TimePoint now)
    {
        std::vector<QueuedRun> queued;
        if (owner.backupState().autoServiceRunning.load() == 0)
            return;
        for (const auto& entry : autoEntries) {
            if (entry->queued || entry->nextStart > now)
                continue;
            // The next start is one interval after this one; a run that
            // outlasts the interval is followed at once by one more run.
            entry->queued = true;
            entry->nextStart = SaturatingAdd(now, entry->interval);
            owner.backupState().runsInProgress.fetch_add(1);
            queue.push_back({entry->job, entry});
            queued.push_back({entry->job->databaseUrl, entry->job->databaseName, false});
        }
        if (!queued.empty())
            owner.view().runsQueued(queued);
    }

    Clock::TimePoint nextWakeUp() const
    {
        Clock::TimePoint next = Clock::TimePoint::max();
        if (!busyEnds.empty())
            next = busyEnds.top();
        if (owner.backupState().autoServiceRunning.load() != 0) {
            for (const auto& entry : autoEntries) {
                if (!entry->queued)
                    next = std::min(next, entry->nextStart);
            }
        }
        return next;
    }

    RunResult runOne(const Item& item, std::stop_token stop)
    {
        RunResult result;
        if (item.restoreTestOnly) {
            result = RestoreTestRun(*item.job, services).run(stop);
        } else {
            BackupWorker worker(*item.job, services);
            result = worker.run(stop);
        }
        owner.view().runFinished(result);
        return result;
    }

    // The one thread that runs every backup, in the order they were asked
    // for, and starts the auto service's runs when they are due.
    void loop()
    {
        Clock& clock = *services.clock;
        std::unique_lock lock(mutex);
        while (!stopping) {
            const Clock::TimePoint now = clock.now();
            releaseBusy(now);
            queueDueEntries(now);
            if (!queue.empty()) {
                Item item = std::move(queue.front());
                queue.pop_front();
                running = true;
                const std::stop_token stop = runStop.get_token();
                lock.unlock();
                RunResult result;
                try {
                    result = runOne(item, stop);
                } catch (const std::exception& e) {
                    owner.log().Write(std::string("Backup thread: unexpected error: ") + e.what());
                }
                lock.lock();
                running = false;
                if (item.entry)
                    item.entry->queued = false;
                if (!result.completed() && stop.stop_requested())
                    ++abandoned;
                busyEnds.push(SaturatingAdd(clock.now(), kPauseAfterRun));
                changed.notify_all();
                continue;
            }
            changed.notify_all();
            const Clock::TimePoint deadline = nextWakeUp();
            const std::stop_token wakeToken = wake.get_token();
            lock.unlock();
            clock.waitUntil(deadline, wakeToken);
            lock.lock();
            if (wake.stop_requested())
                wake = std::stop_source();
        }
        // Runs that never started, and the pauses still counting, end here.
        BackupState& state = owner.backupState();
        state.runsInProgress.fetch_sub(static_cast<int>(queue.size() + busyEnds.size()));
        abandoned += static_cast<int>(queue.size());
        for (const Item& item : queue)
            owner.log().Write("Backup of database " + item.job->databaseName
                              + " was not started because the program is ending");
        queue.clear();
        busyEnds = {};
        threadEnded = true;
        changed.notify_all();
    }

    bool isIdle() const
    {
        const bool serviceActive = owner.backupState().autoServiceRunning.load() != 0 && !autoEntries.empty();
        return queue.empty() && !running && (!serviceActive || stopping);
    }
};

BackupScheduler::BackupScheduler(BackupSession& owner, BackupServices services)
    : m_owner(owner)
{
    if (services.applicationName.empty())
        services.applicationName = kDisplayName;
    m_shared = std::make_shared<Shared>(owner, std::move(services));
    if (!m_shared->services.pause) {
        Clock* clock = m_shared->services.clock;
        m_shared->services.pause = [clock, token = m_shared->shutdownStop.get_token()](std::chrono::milliseconds d) {
            clock->waitUntil(SaturatingAdd(clock->now(), d), token);
        };
    }
}

BackupScheduler::~BackupScheduler()
{
    shutdown(kDestructorShutdownBound);
    std::thread thread;
    bool ended = false;
    {
        std::lock_guard lock(m_shared->mutex);
        thread = std::move(m_shared->thread);
        ended = m_shared->threadEnded;
    }
    if (thread.joinable()) {
        if (ended)
            thread.join();
        else
            thread.detach();
    }
}

bool BackupScheduler::ensureThread()
{
    std::lock_guard lock(m_shared->mutex);
    if (m_shared->threadStarted)
        return true;
    try {
        m_shared->thread = std::thread([shared = m_shared] { shared->loop(); });
    } catch (const std::system_error& e) {
        const std::string text = std::string(kNoThreadText) + e.what();
        m_owner.log().Write(text);
        m_owner.view().showNotice(text, m_shared->services.applicationName);
        return false;
    }
    m_shared->threadStarted = true;
    return true;
}

int BackupScheduler::ManualBackup(const config::DatabaseList& list)
{
    if (list.rowCount() == 0) {
        m_owner.view().showNotice(kEmptyListText, m_shared->services.applicationName);
        return 0;
    }
    if (m_shared->shutdownStop.stop_requested() || !ensureThread())
        return 0;
    m_owner.log().Write(kManualBackupLogText);
    m_owner.backupState().manualRun.store(1);
    m_owner.view().manualRunStarted();

    const int rows = list.rowCount();
    const config::RunOptions options = m_owner.settings().current()->options;
    std::vector<QueuedRun> queued;
    {
        std::lock_guard lock(m_shared->mutex);
        for (int row = 0; row < rows; ++row) {
            // Waiting for its turn counts as busy, as waiting for the lock does.
            m_owner.backupState().runsInProgress.fetch_add(1);
            BackupJob job = JobFromEntry(config::DatabaseEntry::FromRow(list.row(row)), m_codec, &m_owner, options);
            queued.push_back({job.databaseUrl, job.databaseName, true});
            m_shared->queue.push_back({std::make_shared<const BackupJob>(std::move(job)), nullptr});
        }
        m_owner.view().runsQueued(queued);
        m_shared->poke();
    }
    return rows;
}

int BackupScheduler::StartAutoBackupService(const config::DatabaseList& list)
{
    if (list.rowCount() == 0) {
        m_owner.view().showNotice(kEmptyListText, m_shared->services.applicationName);
        return 0;
    }
    BackupState& state = m_owner.backupState();
    if (m_shared->shutdownStop.stop_requested() || state.autoServiceRunning.load() != 0 || !ensureThread())
        return 0;
    state.manualRun.store(0);
    const int rows = list.rowCount();
    const config::RunOptions options = m_owner.settings().current()->options;
    m_owner.log().Write(kAutoServiceLogText);
    {
        std::lock_guard lock(m_shared->mutex);
        const Clock::TimePoint now = m_shared->services.clock->now();
        for (int row = 0; row < rows; ++row) {
            config::DatabaseEntry entry = config::DatabaseEntry::FromRow(list.row(row));
            BackupJob job = JobFromEntry(entry, m_codec, &m_owner, options);
            m_shared->autoEntries.push_back(Shared::makeEntry(std::move(entry), std::move(job), now));
        }
        state.autoServiceRunning.store(1);
        m_owner.view().autoServiceStarted();
        m_shared->poke();
    }
    return rows;
}

int BackupScheduler::RestoreTests(const config::DatabaseList& list, const std::vector<int>& rows)
{
    if (list.rowCount() == 0) {
        m_owner.view().showNotice(kEmptyListText, m_shared->services.applicationName);
        return 0;
    }
    if (m_shared->shutdownStop.stop_requested() || !ensureThread())
        return 0;
    std::vector<int> wanted = rows;
    if (wanted.empty()) {
        for (int row = 0; row < list.rowCount(); ++row)
            wanted.push_back(row);
    }
    std::erase_if(wanted, [&](int row) { return row < 0 || row >= list.rowCount(); });
    if (wanted.empty())
        return 0;
    m_owner.log().Write("Restore test asked for " + std::to_string(wanted.size()) + " database(s)");
    const config::RunOptions options = m_owner.settings().current()->options;
    std::vector<QueuedRun> queued;
    std::lock_guard lock(m_shared->mutex);
    for (int row : wanted) {
        m_owner.backupState().runsInProgress.fetch_add(1);
        BackupJob job = JobFromEntry(config::DatabaseEntry::FromRow(list.row(row)), m_codec, &m_owner, options);
        queued.push_back({job.databaseUrl, job.databaseName, false});
        m_shared->queue.push_back({std::make_shared<const BackupJob>(std::move(job)), nullptr, true});
    }
    m_owner.view().runsQueued(queued);
    m_shared->poke();
    return static_cast<int>(wanted.size());
}

bool BackupScheduler::StopAutoBackupService()
{
    BackupState& state = m_owner.backupState();
    std::vector<QueuedRun> dropped;
    {
        std::lock_guard lock(m_shared->mutex);
        if (state.autoServiceRunning.load() == 0)
            return false;
        state.autoServiceRunning.store(0);
        m_shared->autoEntries.clear();
        // The service's runs that wait go; the one under way has been taken
        // off the queue already and ends as it would.
        std::erase_if(m_shared->queue, [&](const Shared::Item& item) {
            if (!item.entry)
                return false;
            dropped.push_back({item.job->databaseUrl, item.job->databaseName, false});
            state.runsInProgress.fetch_sub(1);
            return true;
        });
        if (!dropped.empty())
            m_owner.view().runsDropped(dropped);
        m_owner.view().autoServiceStopped();
        m_shared->poke();
        m_shared->changed.notify_all();
    }
    m_owner.log().Write(kAutoServiceStoppedLogText);
    return true;
}

BackupScheduler::ReloadSummary BackupScheduler::ReloadAutoService(const config::DatabaseList& list)
{
    ReloadSummary summary;
    if (m_owner.backupState().autoServiceRunning.load() == 0)
        return summary;
    const config::RunOptions options = m_owner.settings().current()->options;
    std::lock_guard lock(m_shared->mutex);
    const Clock::TimePoint now = m_shared->services.clock->now();
    // The new list is built aside and takes over only when whole, so that a
    // failure on the way (memory) leaves the service as it was.
    const std::vector<std::shared_ptr<Shared::AutoEntry>>& previous = m_shared->autoEntries;
    std::vector<bool> kept(previous.size(), false);
    std::vector<std::shared_ptr<Shared::AutoEntry>> next;
    next.reserve(static_cast<std::size_t>(list.rowCount()));
    for (int row = 0; row < list.rowCount(); ++row) {
        config::DatabaseEntry entry = config::DatabaseEntry::FromRow(list.row(row));
        // An entry is unchanged when its row and everything its runs take
        // from the options (verification, restore tests, the stall watch,
        // the offsite copy) are as before.
        BackupJob job = JobFromEntry(entry, m_codec, &m_owner, options);
        std::size_t same = 0;
        const auto matches = [&](const Shared::AutoEntry& known) { return known.entry == entry && *known.job == job; };
        while (same < previous.size() && (kept[same] || !previous[same] || !matches(*previous[same])))
            ++same;
        if (same < previous.size()) {
            // Unchanged: keeps its schedule.
            kept[same] = true;
            next.push_back(previous[same]);
            ++summary.unchanged;
            continue;
        }
        next.push_back(Shared::makeEntry(std::move(entry), std::move(job), now));
        ++summary.added;
    }
    // A database no longer listed finishes the run it has under way, if any,
    // and gets no further one.
    summary.removed = static_cast<int>(std::count(kept.begin(), kept.end(), false));
    m_shared->autoEntries.swap(next);
    m_shared->poke();
    return summary;
}

std::vector<BackupScheduler::ScheduledDatabase> BackupScheduler::autoSchedule() const
{
    std::vector<ScheduledDatabase> schedule;
    std::lock_guard lock(m_shared->mutex);
    if (m_owner.backupState().autoServiceRunning.load() == 0)
        return schedule;
    const Clock::TimePoint now = m_shared->services.clock->now();
    for (const auto& entry : m_shared->autoEntries) {
        const Clock::Duration startsIn = entry->nextStart > now ? entry->nextStart - now : Clock::Duration::zero();
        schedule.push_back(
            {entry->job->databaseUrl, entry->job->databaseName, entry->nextStart, startsIn, entry->queued});
    }
    return schedule;
}

bool BackupScheduler::waitUntilIdle(std::chrono::milliseconds bound)
{
    std::unique_lock lock(m_shared->mutex);
    const auto idle = [this] { return m_shared->isIdle() || m_shared->threadEnded; };
    if (bound >= std::chrono::hours(24 * 365))
        m_shared->changed.wait(lock, idle);
    else
        m_shared->changed.wait_for(lock, bound, idle);
    return idle();
}

bool BackupScheduler::shutdown(std::chrono::milliseconds bound)
{
    m_owner.backupState().autoServiceRunning.store(0);
    m_shared->shutdownStop.request_stop();
    std::unique_lock lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->runStop.request_stop();
    m_shared->poke();
    if (!m_shared->threadStarted)
        return true;
    m_shared->changed.wait_for(lock, bound, [this] { return m_shared->threadEnded; });
    return m_shared->threadEnded;
}

int BackupScheduler::abandonedRuns() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->abandoned + (m_shared->threadEnded || !m_shared->running ? 0 : 1);
}

bool BackupScheduler::isAutoServiceRunning() const
{
    return m_owner.backupState().autoServiceRunning.load() != 0;
}

} // namespace engine
